// Tests: ints, floats and bools both ways, at the edges of every range.
#include "pythontest.h"

#include <iomanip>
#include <sstream>

class ScalarsTest : public PythonTest
{
protected:
    // Every scalar member in one mode; '?' after a refusal.
    static Results scalars(PyObject *o, bool strict)
    {
        const auto text = [&](auto member) {
            return withOk([&](bool *ok) { return member(o, strict, ok); },
                          [](auto value) {
                              std::ostringstream out;
                              out << std::boolalpha << std::setprecision(17) << value;
                              return out.str();
                          });
        };
        return {{"int", text(W::PyObject2int)},
                {"LongLong", text(W::PyObject2LongLong)},
                {"ULongLong", text(W::PyObject2ULongLong)},
                {"double", text(W::PyObject2double)},
                {"bool", text(W::PyObject2bool)}};
    }
};

TEST_F(ScalarsTest, EveryScalarMemberAtTheEdgesOfItsRange)
{
    // strict: the five members again in strict mode, which takes only the exact type of the target.
    const auto convert = [&](const char *e) {
        PyObject *o = in(e);
        Results results = scalars(o, false), strict = scalars(o, true);
        results["strict"] = strict["int"] + " " + strict["LongLong"] + " " + strict["ULongLong"] + " " +
                            strict["double"] + " " + strict["bool"];
        return results;
    };
    const char *const members =
        "PyObject2int, PyObject2LongLong, PyObject2ULongLong, PyObject2double, PyObject2bool";
    expectTable(members, convert, R"(
        input                        int          LongLong              ULongLong             double                   bool   strict
        False                        0            0                     0                     0                        false  -9999? 0? 0? -9999? false
        -1                           -1           -1                    18446744073709551615  -1                       true   -1 -1 18446744073709551615 -9999? false?
        2**31 - 1                    2147483647   2147483647            2147483647            2147483647               true   2147483647 2147483647 2147483647 -9999? false?
        -2**31                       -2147483648  -2147483648           18446744071562067968  -2147483648              true   -2147483648 -2147483648 18446744071562067968 -9999? false?
        2**31                        -9999?       2147483648            2147483648            2147483648               true?  -9999? 2147483648 2147483648 -9999? false?
        -2**31 - 1                   -9999?       -2147483649           18446744071562067967  -2147483649              true?  -9999? -2147483649 18446744071562067967 -9999? false?
        2**63                        -9999?       0?                    9223372036854775808   9.2233720368547758e+18   true?  -9999? 0? 9223372036854775808 -9999? false?
        -2**63 - 1                   -9999?       0?                    0?                    -9.2233720368547758e+18  true?  -9999? 0? 0? -9999? false?
        2**64 - 1                    -9999?       0?                    18446744073709551615  1.8446744073709552e+19   true?  -9999? 0? 18446744073709551615 -9999? false?
        2**64                        -9999?       0?                    0?                    1.8446744073709552e+19   true?  -9999? 0? 0? -9999? false?
        10**400                      -9999?       0?                    0?                    -9999?                   true?  -9999? 0? 0? -9999? false?
        0.5                          0            0                     0                     0.5                      false  -9999? 0? 0? 0.5 false?
        -0.5                         -1           -1                    18446744073709551615  -0.5                     true   -9999? 0? 0? -0.5 false?
        2147483648.0                 -2147483648  2147483648            2147483648            2147483648               true   -9999? 0? 0? 2147483648 false?
        float(2**63)                 -2147483648  -9223372036854775808  9223372036854775808   9.2233720368547758e+18   true   -9999? 0? 0? 9.2233720368547758e+18 false?
        float(2**64)                 -2147483648  -9223372036854775808  9223372036854775808   1.8446744073709552e+19   true   -9999? 0? 0? 1.8446744073709552e+19 false?
        float('nan')                 -2147483648  -9223372036854775808  9223372036854775808   nan                      true   -9999? 0? 0? nan false?
        True                         1            1                     1                     1                        true   -9999? 0? 0? -9999? true
        None | I(7) | F(7.5) | null  -9999?       0?                    0?                    -9999?                   true?  -9999? 0? 0? -9999? false?
    )");
    // Null: the int reading in both modes and the lenient bool, each three times.
    EXPECT_EQ(
        QString::fromStdString(printed()),
        QStringLiteral("TypeError: PyObject2int: Error trying to convert null to an integer!\n").repeated(9));
    EXPECT_EQ(hold(W::bool2PyObject(true)), Py_True);
    EXPECT_EQ(hold(W::bool2PyObject(false)), Py_False);
}
