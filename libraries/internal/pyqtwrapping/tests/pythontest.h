// Test fixture: one embedded interpreter for the whole run, Python inputs built from expressions,
// sys.stderr captured, and the end-of-test checks made once for every test: nothing printed that
// the test did not take, no Python error pending, every input's reference counts as they were.
#ifndef PYTHONTEST_H
#define PYTHONTEST_H

#include "tpyqtwrapping_p.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using PyQtWrappingPrivate::PyRef;
using W = TPyQtWrapping;

inline void PrintTo(const QString &text, std::ostream *out) { *out << text.toStdString(); }

class PythonTest : public ::testing::Test
{
public:
    // Each member's result by its name.
    using Results = std::map<std::string, std::string>;

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

    // A table of cases, one to a line, in columns two or more spaces apart: a heading row naming the
    // members, then an input and each member's result. A cell that is a key of values stands for its
    // text; missing cells are empty. convert gives each member's result by its heading. A failure
    // names the case and the member.
    using Values = std::map<std::string, std::string>;
    template <typename Convert>
    static void expectTable(Convert convert, const char *table)
    {
        expectTable(convert, {}, table);
    }
    template <typename Convert>
    static void expectTable(Convert convert, const Values &values, const char *table)
    {
        const std::vector<std::vector<std::string>> rows = tableRows(table, values);
        EXPECT_GT(rows.size(), 1u) << "a table without cases";
        for (size_t r = 1; r < rows.size(); ++r) {
            SCOPED_TRACE("for " + rows[r][0]);
            const Results results = convert(rows[r][0].c_str());
            for (size_t k = 1; k < rows[0].size(); ++k) {
                const std::string &result = results.at(rows[0][k]),
                                  expected = k < rows[r].size() ? rows[r][k] : "";
                EXPECT_EQ(result, expected) << "from " << rows[0][k];
            }
        }
    }

private:
    static std::vector<std::vector<std::string>> tableRows(const std::string &table, const Values &values);
    // A new reference to the result of running code in __main__; null, the error printed, on failure.
    PyObject *run(const std::string &code, int start);
    std::vector<PyRef> m_held;
    std::vector<PyRef> m_watched;
};

#define REQUIRE_NUMPY() \
    if (!numpyAvailable()) \
    GTEST_SKIP() << "NumPy cannot be imported by this interpreter"

#endif // PYTHONTEST_H
