#include "pythontest.h"

#include <cmath>

using ScalarsTest = PythonTest;

namespace {
template <typename T>
struct Case {
    const char *expression;
    bool strict;
    T expected;
    bool ok;
};
} // namespace

// Runs each case with an ok flag and without one: both give the same value, and neither
// prints or leaves an error pending.
#define CHECK_CASES(member, cases)                                                        \
    for (const auto &c : cases) {                                                         \
        SCOPED_TRACE(c.expression + std::string(c.strict ? " strict" : " lenient"));      \
        PyRef object = eval(c.expression);                                                \
        const Py_ssize_t refs = Py_REFCNT(object.get());                                  \
        bool ok = !c.ok;                                                                  \
        EXPECT_EQ(TPyQtWrapping::member(object.get(), c.strict, &ok), c.expected);        \
        EXPECT_EQ(ok, c.ok);                                                              \
        EXPECT_EQ(TPyQtWrapping::member(object.get(), c.strict, nullptr), c.expected);    \
        EXPECT_EQ(Py_REFCNT(object.get()), refs);                                         \
        EXPECT_FALSE(errorPending());                                                     \
        EXPECT_EQ(takeStderr(), "");                                                      \
    }

TEST_F(ScalarsTest, Int)
{
    const Case<int> cases[] = {
        {"5", true, 5, true},          {"-9999", true, -9999, true},
        {"2**31-1", true, 2147483647, true}, {"-2**31", false, -2147483648, true},
        {"2**31", false, -9999, false}, {"-2**31-1", true, -9999, false},
        {"2**100", false, -9999, false},
        {"3.7", false, 3, true},        {"-3.2", false, -4, true},
        {"3.7", true, -9999, false},    {"-3.2", true, -9999, false},
        {"1e10", false, -2147483648, true}, {"float('nan')", false, -2147483648, true},
        {"float('-inf')", false, -2147483648, true},
        {"True", false, 1, true},       {"False", false, 0, true},
        {"True", true, -9999, false},   {"False", true, -9999, false},
        {"'5'", false, -9999, false},   {"None", false, -9999, false},
        {"[1]", false, -9999, false},
        {"type('I', (int,), {})(7)", false, -9999, false},
        {"type('F', (float,), {})(7.5)", false, -9999, false},
    };
    CHECK_CASES(PyObject2int, cases)
}

TEST_F(ScalarsTest, IntOfNullIsReportedOnce)
{
    bool ok = true;
    EXPECT_EQ(TPyQtWrapping::PyObject2int(nullptr, false, &ok), -9999);
    EXPECT_FALSE(ok);
    EXPECT_EQ(takeStderr(),
              typeError("PyObject2int: Error trying to convert null to an integer!"));
    EXPECT_FALSE(errorPending());
}

TEST_F(ScalarsTest, LongLong)
{
    const Case<long long> cases[] = {
        {"2**40", true, 1099511627776LL, true},
        {"2**63-1", true, INT64_MAX, true}, {"-2**63", true, INT64_MIN, true},
        {"2**63", false, 0, false},         {"-2**63-1", false, 0, false},
        {"-2.5", false, -3, true},          {"-2.5", true, 0, false},
        {"1e19", false, INT64_MIN, true},   {"float('nan')", false, INT64_MIN, true},
        {"-9.3e18", false, INT64_MIN, true},
        {"None", false, 0, false},          {"False", false, 0, true},
        {"True", false, 1, true},           {"True", true, 0, false},
    };
    CHECK_CASES(PyObject2LongLong, cases)
    bool ok = true;
    EXPECT_EQ(TPyQtWrapping::PyObject2LongLong(nullptr, false, &ok), 0);
    EXPECT_FALSE(ok);
}

TEST_F(ScalarsTest, ULongLong)
{
    const Case<unsigned long long> cases[] = {
        {"-1", true, 18446744073709551615ULL, true},
        {"2**64-1", true, 18446744073709551615ULL, true},
        {"-2**63", true, 1ULL << 63, true},
        {"2**64", false, 0, false},          {"-2**63-1", false, 0, false},
        {"1e19", false, 10000000000000000000ULL, true},
        {"1e20", false, 1ULL << 63, true},   {"-1.0", false, 18446744073709551615ULL, true},
        {"-1e19", false, 1ULL << 63, true},  {"float('nan')", false, 1ULL << 63, true},
        {"9.3e18", false, 9300000000000000000ULL, true},
        {"1e19", true, 0, false},            {"True", false, 1, true},
        {"'1'", false, 0, false},
    };
    CHECK_CASES(PyObject2ULongLong, cases)
}

TEST_F(ScalarsTest, Double)
{
    const Case<double> cases[] = {
        {"2.5", true, 2.5, true},        {"2.5", false, 2.5, true},
        {"5", false, 5.0, true},         {"5", true, -9999.0, false},
        {"2**31", false, 2147483648.0, true},
        {"2**53+1", false, 9007199254740992.0, true}, // nearest double of the whole value
        {"10**400", false, -9999.0, false},
        {"float('inf')", true, HUGE_VAL, true},
        {"True", false, 1.0, true},      {"False", true, -9999.0, false},
        {"'2.5'", false, -9999.0, false}, {"type('F', (float,), {})(7.5)", false, -9999.0, false},
    };
    CHECK_CASES(PyObject2double, cases)

    PyRef nan = eval("float('nan')");
    bool ok = false;
    EXPECT_TRUE(std::isnan(TPyQtWrapping::PyObject2double(nan.get(), true, &ok)));
    EXPECT_TRUE(ok);
    EXPECT_EQ(TPyQtWrapping::PyObject2double(nullptr, false, &ok), -9999.0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(takeStderr(), "");
}

TEST_F(ScalarsTest, Bool)
{
    const Case<bool> cases[] = {
        {"True", true, true, true},   {"False", true, false, true},
        {"0", false, false, true},    {"2", false, true, true},
        {"0", true, false, false},    {"2", true, false, false},
        {"0.5", false, false, true},  {"-0.5", false, true, true},
        {"'s'", false, true, false},  {"None", true, false, false},
    };
    CHECK_CASES(PyObject2bool, cases)

    bool ok = true;
    EXPECT_TRUE(TPyQtWrapping::PyObject2bool(nullptr, false, &ok));
    EXPECT_FALSE(ok);
    EXPECT_EQ(takeStderr(),
              typeError("PyObject2int: Error trying to convert null to an integer!"));
    EXPECT_FALSE(TPyQtWrapping::PyObject2bool(nullptr, true, &ok));
    EXPECT_EQ(takeStderr(), "");
}

TEST_F(ScalarsTest, BoolToPythonHandsOverOneReference)
{
    for (const bool value : {true, false}) {
        PyObject *expected = value ? Py_True : Py_False;
        const Py_ssize_t before = Py_REFCNT(expected);
        PyRef result(TPyQtWrapping::bool2PyObject(value));
        EXPECT_EQ(result.get(), expected);
        if (!PYQTW_IMMORTAL_SINGLETONS) {
            EXPECT_EQ(Py_REFCNT(expected), before + 1);
        }
    }
}
