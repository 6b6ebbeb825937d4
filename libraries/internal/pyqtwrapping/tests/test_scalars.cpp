#include "pythontest.h"

#include <cstdio>

using ScalarsTest = PythonTest;

namespace {

// A result as text, with '?' after a refused one.
template <typename T>
std::string result(T value, bool ok)
{
    char text[40];
    if (std::is_same<T, double>::value)
        std::snprintf(text, sizeof text, "%.17g", double(value));
    else if (std::is_same<T, bool>::value)
        std::snprintf(text, sizeof text, "%s", value ? "true" : "false");
    else if (std::is_signed<T>::value)
        std::snprintf(text, sizeof text, "%lld", (long long)value);
    else
        std::snprintf(text, sizeof text, "%llu", (unsigned long long)value);
    return std::string(text) + (ok ? "" : "?");
}

// Calls a member with an ok flag and without one; both must give the same value.
template <typename T>
std::string convert(T (*member)(PyObject *, bool, bool *), PyObject *object, bool strict)
{
    bool ok = false;
    const T value = member(object, strict, &ok);
    const T withoutFlag = member(object, strict, nullptr);
    EXPECT_EQ(result(value, true), result(withoutFlag, true));
    return result(value, ok);
}

} // namespace

TEST_F(ScalarsTest, EveryScalarMemberAtTheEdgesOfItsRange)
{
    exec("class I(int): pass\nclass F(float): pass\n");
    const struct {
        const char *expression;
        bool strict;
        const char *asInt, *asLongLong, *asULongLong, *asDouble, *asBool;
    } cases[] = {
        {"0", true, "0", "0", "0", "-9999?", "false?"},
        {"-1", true, "-1", "-1", "18446744073709551615", "-9999?", "false?"},
        {"-1", false, "-1", "-1", "18446744073709551615", "-1", "true"},
        {"2**30 - 1", false, "1073741823", "1073741823", "1073741823", "1073741823", "true"},
        {"-2**30", false, "-1073741824", "-1073741824", "18446744072635809792", "-1073741824", "true"},
        {"2**31 - 1", true, "2147483647", "2147483647", "2147483647", "-9999?", "false?"},
        {"-2**31", false, "-2147483648", "-2147483648", "18446744071562067968", "-2147483648", "true"},
        {"2**31", false, "-9999?", "2147483648", "2147483648", "2147483648", "true?"},
        {"-2**31 - 1", false, "-9999?", "-2147483649", "18446744071562067967", "-2147483649", "true?"},
        {"2**63 - 1", false, "-9999?", "9223372036854775807", "9223372036854775807", "9.2233720368547758e+18", "true?"},
        {"-2**63", false, "-9999?", "-9223372036854775808", "9223372036854775808", "-9.2233720368547758e+18", "true?"},
        {"2**63", true, "-9999?", "0?", "9223372036854775808", "-9999?", "false?"},
        {"-2**63 - 1", false, "-9999?", "0?", "0?", "-9.2233720368547758e+18", "true?"},
        {"2**64 - 1", false, "-9999?", "0?", "18446744073709551615", "1.8446744073709552e+19", "true?"},
        {"2**64", false, "-9999?", "0?", "0?", "1.8446744073709552e+19", "true?"},
        {"2**53 + 1", false, "-9999?", "9007199254740993", "9007199254740993", "9007199254740992", "true?"},
        {"10**400", false, "-9999?", "0?", "0?", "-9999?", "true?"},
        {"2.5", true, "-9999?", "0?", "0?", "2.5", "false?"},
        {"2.5", false, "2", "2", "2", "2.5", "true"},
        {"-2.5", false, "-3", "-3", "18446744073709551613", "-2.5", "true"},
        {"0.5", false, "0", "0", "0", "0.5", "false"},
        {"-0.5", false, "-1", "-1", "18446744073709551615", "-0.5", "true"},
        {"2147483647.9", false, "2147483647", "2147483647", "2147483647", "2147483647.9000001", "true"},
        {"2147483648.0", false, "-2147483648", "2147483648", "2147483648", "2147483648", "true"},
        {"-2147483649.0", false, "-2147483648", "-2147483649", "18446744071562067967", "-2147483649", "true"},
        {"float(2**63)", false, "-2147483648", "-9223372036854775808", "9223372036854775808", "9.2233720368547758e+18", "true"},
        {"-float(2**63)", false, "-2147483648", "-9223372036854775808", "9223372036854775808", "-9.2233720368547758e+18", "true"},
        {"float(2**64)", false, "-2147483648", "-9223372036854775808", "9223372036854775808", "1.8446744073709552e+19", "true"},
        {"1e19", false, "-2147483648", "-9223372036854775808", "10000000000000000000", "1e+19", "true"},
        {"float('nan')", false, "-2147483648", "-9223372036854775808", "9223372036854775808", "nan", "true"},
        {"float('-inf')", true, "-9999?", "0?", "0?", "-inf", "false?"},
        {"True", false, "1", "1", "1", "1", "true"},
        {"False", false, "0", "0", "0", "0", "false"},
        {"True", true, "-9999?", "0?", "0?", "-9999?", "true"},
        {"False", true, "-9999?", "0?", "0?", "-9999?", "false"},
        {"'5'", false, "-9999?", "0?", "0?", "-9999?", "true?"},
        {"None", false, "-9999?", "0?", "0?", "-9999?", "true?"},
        {"I(7)", false, "-9999?", "0?", "0?", "-9999?", "true?"},
        {"F(7.5)", false, "-9999?", "0?", "0?", "-9999?", "true?"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression + std::string(c.strict ? " strict" : ""));
        PyObject *o = in(c.expression);
        EXPECT_EQ(convert(W::PyObject2int, o, c.strict), c.asInt);
        EXPECT_EQ(convert(W::PyObject2LongLong, o, c.strict), c.asLongLong);
        EXPECT_EQ(convert(W::PyObject2ULongLong, o, c.strict), c.asULongLong);
        EXPECT_EQ(convert(W::PyObject2double, o, c.strict), c.asDouble);
        EXPECT_EQ(convert(W::PyObject2bool, o, c.strict), c.asBool);
    }
}

TEST_F(ScalarsTest, NullIsRefusedAndOnlyTheIntReadingReportsIt)
{
    const std::string report = typeError("PyObject2int: Error trying to convert null to an integer!");
    EXPECT_EQ(convert(W::PyObject2LongLong, nullptr, false) + convert(W::PyObject2ULongLong, nullptr, false) +
                  convert(W::PyObject2double, nullptr, false) + convert(W::PyObject2bool, nullptr, true),
              "0?0?-9999?false?");
    EXPECT_EQ(printed(), "");
    EXPECT_EQ(convert(W::PyObject2int, nullptr, true), "-9999?");
    EXPECT_EQ(printed(), report + report);
    EXPECT_EQ(convert(W::PyObject2bool, nullptr, false), "true?");
    EXPECT_EQ(printed(), report + report);
}

TEST_F(ScalarsTest, BoolToPythonHandsOverOneReference)
{
    for (const bool value : {true, false}) {
        PyObject *expected = value ? Py_True : Py_False;
        const Py_ssize_t before = Py_REFCNT(expected);
        PyObject *result = hold(W::bool2PyObject(value));
        EXPECT_EQ(result, expected);
#if PY_VERSION_HEX < 0x030C0000 // immortal from 3.12: the count no longer moves
        EXPECT_EQ(Py_REFCNT(expected), before + 1);
#endif
    }
}
