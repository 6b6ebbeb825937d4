#include "pythontest.h"

#include <cstdio>

using ScalarsTest = PythonTest;

namespace {

// A member's result with an ok flag, with '?' after a refusal; without the flag it must agree.
template <typename T>
std::string convert(T (*member)(PyObject *, bool, bool *), PyObject *object, bool strict)
{
    bool ok = false;
    const T value = member(object, strict, &ok);
    EXPECT_EQ(value == member(object, strict, nullptr) || value != value, true);
    char text[32];
    if (std::is_floating_point<T>::value)
        std::snprintf(text, sizeof text, "%.17g", double(value));
    else
        std::snprintf(text, sizeof text, std::is_signed<T>::value ? "%lld" : "%llu", static_cast<long long>(value));
    return (std::is_same<T, bool>::value ? (value ? "true" : "false") : std::string(text)) + (ok ? "" : "?");
}

// Every scalar member, non-strict and then strict.
std::string convertAll(PyObject *o)
{
    std::string out;
    for (const bool strict : {false, true}) {
        out += (strict ? " | " : "") + convert(W::PyObject2int, o, strict) + " " + convert(W::PyObject2LongLong, o, strict) +
               " " + convert(W::PyObject2ULongLong, o, strict) + " " + convert(W::PyObject2double, o, strict) + " " +
               convert(W::PyObject2bool, o, strict);
    }
    return out;
}

} // namespace

TEST_F(ScalarsTest, EveryScalarMemberAtTheEdgesOfItsRange)
{
    // int, long long, unsigned long long, double, bool: non-strict | strict
    expectEach(Cases<>{
        {"0", "0 0 0 0 false | 0 0 0 -9999? false?"},
        {"-1", "-1 -1 18446744073709551615 -1 true | -1 -1 18446744073709551615 -9999? false?"},
        {"-2**30", "-1073741824 -1073741824 18446744072635809792 -1073741824 true | -1073741824 -1073741824 18446744072635809792 -9999? false?"},
        {"2**31 - 1", "2147483647 2147483647 2147483647 2147483647 true | 2147483647 2147483647 2147483647 -9999? false?"},
        {"-2**31", "-2147483648 -2147483648 18446744071562067968 -2147483648 true | -2147483648 -2147483648 18446744071562067968 -9999? false?"},
        {"2**31", "-9999? 2147483648 2147483648 2147483648 true? | -9999? 2147483648 2147483648 -9999? false?"},
        {"-2**31 - 1", "-9999? -2147483649 18446744071562067967 -2147483649 true? | -9999? -2147483649 18446744071562067967 -9999? false?"},
        {"2**63 - 1", "-9999? 9223372036854775807 9223372036854775807 9.2233720368547758e+18 true? | -9999? 9223372036854775807 9223372036854775807 -9999? false?"},
        {"-2**63", "-9999? -9223372036854775808 9223372036854775808 -9.2233720368547758e+18 true? | -9999? -9223372036854775808 9223372036854775808 -9999? false?"},
        {"2**63", "-9999? 0? 9223372036854775808 9.2233720368547758e+18 true? | -9999? 0? 9223372036854775808 -9999? false?"},
        {"-2**63 - 1", "-9999? 0? 0? -9.2233720368547758e+18 true? | -9999? 0? 0? -9999? false?"},
        {"2**64 - 1", "-9999? 0? 18446744073709551615 1.8446744073709552e+19 true? | -9999? 0? 18446744073709551615 -9999? false?"},
        {"2**64", "-9999? 0? 0? 1.8446744073709552e+19 true? | -9999? 0? 0? -9999? false?"},
        {"2**53 + 1", "-9999? 9007199254740993 9007199254740993 9007199254740992 true? | -9999? 9007199254740993 9007199254740993 -9999? false?"},
        {"10**400", "-9999? 0? 0? -9999? true? | -9999? 0? 0? -9999? false?"},
        {"2.5", "2 2 2 2.5 true | -9999? 0? 0? 2.5 false?"},
        {"-2.5", "-3 -3 18446744073709551613 -2.5 true | -9999? 0? 0? -2.5 false?"},
        {"0.5", "0 0 0 0.5 false | -9999? 0? 0? 0.5 false?"},
        {"-0.5", "-1 -1 18446744073709551615 -0.5 true | -9999? 0? 0? -0.5 false?"},
        {"2147483647.9", "2147483647 2147483647 2147483647 2147483647.9000001 true | -9999? 0? 0? 2147483647.9000001 false?"},
        {"2147483648.0", "-2147483648 2147483648 2147483648 2147483648 true | -9999? 0? 0? 2147483648 false?"},
        {"-2147483649.0", "-2147483648 -2147483649 18446744071562067967 -2147483649 true | -9999? 0? 0? -2147483649 false?"},
        {"float(2**63)", "-2147483648 -9223372036854775808 9223372036854775808 9.2233720368547758e+18 true | -9999? 0? 0? 9.2233720368547758e+18 false?"},
        {"-float(2**63)", "-2147483648 -9223372036854775808 9223372036854775808 -9.2233720368547758e+18 true | -9999? 0? 0? -9.2233720368547758e+18 false?"},
        {"float(2**64)", "-2147483648 -9223372036854775808 9223372036854775808 1.8446744073709552e+19 true | -9999? 0? 0? 1.8446744073709552e+19 false?"},
        {"1e19", "-2147483648 -9223372036854775808 10000000000000000000 1e+19 true | -9999? 0? 0? 1e+19 false?"},
        {"float('nan')", "-2147483648 -9223372036854775808 9223372036854775808 nan true | -9999? 0? 0? nan false?"},
        {"True", "1 1 1 1 true | -9999? 0? 0? -9999? true"}, {"False", "0 0 0 0 false | -9999? 0? 0? -9999? false"},
        {"None", "-9999? 0? 0? -9999? true? | -9999? 0? 0? -9999? false?"},
        {"I(7)", "-9999? 0? 0? -9999? true? | -9999? 0? 0? -9999? false?"},
        {"F(7.5)", "-9999? 0? 0? -9999? true? | -9999? 0? 0? -9999? false?"},
    }, [&](const char *e) { return convertAll(in(e)); });
}

TEST_F(ScalarsTest, NullIsRefusedAndOnlyTheIntReadingReportsIt)
{
    const std::string report = typeError("PyObject2int: Error trying to convert null to an integer!");
    EXPECT_EQ(convertAll(nullptr), "-9999? 0? 0? -9999? true? | -9999? 0? 0? -9999? false?");
    // The int reading in both modes and the lenient bool, each with and without the ok flag.
    EXPECT_EQ(printed(), report + report + report + report + report + report);
}

TEST_F(ScalarsTest, BoolToPythonHandsOverOneReference)
{
    for (const bool value : {true, false}) {
        PyObject *expected = value ? Py_True : Py_False;
        const Py_ssize_t before = Py_REFCNT(expected);
        EXPECT_EQ(hold(W::bool2PyObject(value)), expected);
#if PY_VERSION_HEX < 0x030C0000 // immortal from 3.12: the count no longer moves
        EXPECT_EQ(Py_REFCNT(expected), before + 1);
#endif
    }
}
