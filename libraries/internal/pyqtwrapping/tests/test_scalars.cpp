// Tests: ints, floats and bools both ways, at the edges of every range.
#include "pythontest.h"

#include <iomanip>
#include <sstream>

using ScalarsTest = PythonTest;

namespace {

// A member's result with '?' after a refusal. Without the ok flag, or with it set beforehand, the
// member must give the same.
template <typename T>
std::string convert(T (*member)(PyObject *, bool, bool *), PyObject *object, bool strict)
{
    bool ok = false, okSetBefore = true;
    const T value = member(object, strict, &ok);
    const bool same =
        member(object, strict, &okSetBefore) == value && member(object, strict, nullptr) == value;
    EXPECT_TRUE((same || value != value) && ok == okSetBefore);
    std::ostringstream out;
    out << std::boolalpha << std::setprecision(17) << value << (ok ? "" : "?");
    return out.str();
}

// Every scalar member, in one mode.
PythonTest::Results convertAll(PyObject *o, bool strict)
{
    return {{"int", convert(W::PyObject2int, o, strict)},
            {"LongLong", convert(W::PyObject2LongLong, o, strict)},
            {"ULongLong", convert(W::PyObject2ULongLong, o, strict)},
            {"double", convert(W::PyObject2double, o, strict)},
            {"bool", convert(W::PyObject2bool, o, strict)}};
}

} // namespace

TEST_F(ScalarsTest, EveryScalarMemberAtTheEdgesOfItsRange)
{
    // '?' after a refusal.
    expectTable([&](const char *e) { return convertAll(in(e), false); }, R"(
        input          int          LongLong              ULongLong             double                   bool
        0              0            0                     0                     0                        false
        -1             -1           -1                    18446744073709551615  -1                       true
        -2**30         -1073741824  -1073741824           18446744072635809792  -1073741824              true
        2**31 - 1      2147483647   2147483647            2147483647            2147483647               true
        -2**31         -2147483648  -2147483648           18446744071562067968  -2147483648              true
        2**31          -9999?       2147483648            2147483648            2147483648               true?
        -2**31 - 1     -9999?       -2147483649           18446744071562067967  -2147483649              true?
        2**63 - 1      -9999?       9223372036854775807   9223372036854775807   9.2233720368547758e+18   true?
        -2**63         -9999?       -9223372036854775808  9223372036854775808   -9.2233720368547758e+18  true?
        2**63          -9999?       0?                    9223372036854775808   9.2233720368547758e+18   true?
        -2**63 - 1     -9999?       0?                    0?                    -9.2233720368547758e+18  true?
        2**64 - 1      -9999?       0?                    18446744073709551615  1.8446744073709552e+19   true?
        2**64          -9999?       0?                    0?                    1.8446744073709552e+19   true?
        2**53 + 1      -9999?       9007199254740993      9007199254740993      9007199254740992         true?
        10**400        -9999?       0?                    0?                    -9999?                   true?
        2.5            2            2                     2                     2.5                      true
        -2.5           -3           -3                    18446744073709551613  -2.5                     true
        0.5            0            0                     0                     0.5                      false
        -0.5           -1           -1                    18446744073709551615  -0.5                     true
        2147483647.9   2147483647   2147483647            2147483647            2147483647.9000001       true
        2147483648.0   -2147483648  2147483648            2147483648            2147483648               true
        -2147483649.0  -2147483648  -2147483649           18446744071562067967  -2147483649              true
        float(2**63)   -2147483648  -9223372036854775808  9223372036854775808   9.2233720368547758e+18   true
        -float(2**63)  -2147483648  -9223372036854775808  9223372036854775808   -9.2233720368547758e+18  true
        float(2**64)   -2147483648  -9223372036854775808  9223372036854775808   1.8446744073709552e+19   true
        1e19           -2147483648  -9223372036854775808  10000000000000000000  1e+19                    true
        float('nan')   -2147483648  -9223372036854775808  9223372036854775808   nan                      true
        True           1            1                     1                     1                        true
        False          0            0                     0                     0                        false
        None           -9999?       0?                    0?                    -9999?                   true?
        I(7)           -9999?       0?                    0?                    -9999?                   true?
        F(7.5)         -9999?       0?                    0?                    -9999?                   true?
    )");
    // Strict: only the exact type of the target.
    expectTable([&](const char *e) { return convertAll(in(e), true); }, R"(
        input       int     LongLong  ULongLong             double  bool
        -1          -1      -1        18446744073709551615  -9999?  false?
        2**63       -9999?  0?        9223372036854775808   -9999?  false?
        -2**63 - 1  -9999?  0?        0?                    -9999?  false?
        2**64 - 1   -9999?  0?        18446744073709551615  -9999?  false?
        2.5         -9999?  0?        0?                    2.5     false?
        True        -9999?  0?        0?                    -9999?  true
        False       -9999?  0?        0?                    -9999?  false
        None        -9999?  0?        0?                    -9999?  false?
        F(7.5)      -9999?  0?        0?                    -9999?  false?
    )");
}

TEST_F(ScalarsTest, NullIsRefusedAndOnlyTheIntReadingReportsIt)
{
    expectTable([](const char *e) { return convertAll(nullptr, e[4] == ','); }, R"(
        input         int     LongLong  ULongLong  double  bool
        null          -9999?  0?        0?         -9999?  true?
        null, strict  -9999?  0?        0?         -9999?  false?
    )");
    // The int reading in both modes and the lenient bool, each three times.
    const QString report =
        QStringLiteral("TypeError: PyObject2int: Error trying to convert null to an integer!\n");
    EXPECT_EQ(printed(), report.repeated(9).toStdString());
}

TEST_F(ScalarsTest, BoolToPythonHandsOverOneReference)
{
    const Py_ssize_t before = Py_REFCNT(Py_True);
    EXPECT_EQ(hold(W::bool2PyObject(true)), Py_True);
    EXPECT_EQ(hold(W::bool2PyObject(false)), Py_False);
    EXPECT_TRUE(PY_VERSION_HEX >= 0x030C0000 || Py_REFCNT(Py_True) == before + 1); // immortal from 3.12
}
