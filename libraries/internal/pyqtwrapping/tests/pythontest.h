// Test fixture: one embedded interpreter for the whole run, Python inputs built from expressions,
// sys.stderr captured, and the end-of-test checks made once for every test: nothing printed that
// the test did not take, no Python error pending, every input's reference counts as they were.
#ifndef PYTHONTEST_H
#define PYTHONTEST_H

#include "tpyqtwrapping_p.h"

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <string>
#include <vector>

using PyQtWrappingPrivate::PyRef;
using W = TPyQtWrapping;

inline void PrintTo(const QString &text, std::ostream *out) { *out << text.toStdString(); }

class PythonTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // The value of an expression evaluated in __main__, held until the end of the test.
    PyObject *in(const std::string &expression);
    void exec(const std::string &code) { PyRef(run(code, Py_file_input)); }
    // A result (a new reference, or null) held until the end of the test.
    PyObject *hold(PyObject *result) { return m_held.emplace_back(result).get(); }
    // Python's ascii() of an object, "<null>" for null; reprOf releases the new reference it is given.
    static std::string ascii(PyObject *object);
    static std::string reprOf(PyObject *result) { return ascii(PyRef(result).get()); }
    // What was printed to sys.stderr since the last call.
    std::string printed();
    static std::string typeError(const std::string &message) { return "TypeError: " + message + "\n"; }
    static bool numpyAvailable();
    // The int result of a function of the sys module, such as gettotalrefcount.
    static long sysCall(const char *function)
    {
        PyRef sys(PyImport_ImportModule("sys"));
        return PyLong_AsLong(PyRef(PyObject_CallMethod(sys.get(), function, nullptr)).get());
    }

    // A table of cases: an input and the text its conversion is expected to give.
    template <typename Input = const char *>
    using Cases = std::vector<std::pair<Input, std::string>>;
    template <typename Input, typename Convert>
    static void expectEach(const Cases<Input> &cases, Convert convert)
    {
        for (const auto &c : cases) {
            // Names the case on every failure, those inside convert included.
            SCOPED_TRACE("for " + ::testing::PrintToString(c.first));
            EXPECT_EQ(convert(c.first), c.second);
        }
    }

    // A table whose expected texts give each member's result in turn, separated by spaces (a "|"
    // between groups is only for the reader; the last member takes the rest of the line). convert
    // gives the members' results in the same order. A failure names the case and the member.
    template <typename Convert>
    static void expectMembers(const std::vector<std::string> &members, const Cases<> &cases, Convert convert)
    {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string("for ") + c.first);
            const std::vector<std::string> results = convert(c.first);
            std::istringstream expected(c.second);
            for (size_t k = 0; k < members.size(); ++k) {
                std::string field;
                while (expected >> field && field == "|") {}
                if (k + 1 == members.size() && expected)
                    field += std::string(std::istreambuf_iterator<char>(expected), {});
                EXPECT_EQ(results.at(k), field) << "from " << members[k];
            }
        }
    }

private:
    // A new reference to the result of running code in __main__; null, the error printed, on failure.
    PyObject *run(const std::string &code, int start);
    std::vector<PyRef> m_held;
    std::vector<PyRef> m_watched;
};

#define REQUIRE_NUMPY()                                                                  \
    if (!numpyAvailable())                                                               \
    GTEST_SKIP() << "NumPy cannot be imported by this interpreter"

#endif // PYTHONTEST_H
