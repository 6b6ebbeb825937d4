// Test fixture: one embedded interpreter for the whole run, Python inputs built from expressions,
// sys.stderr captured, and the end-of-test checks made once for every test: nothing printed that
// the test did not take, no Python error pending, every input's reference counts as they were.
#ifndef PYTHONTEST_H
#define PYTHONTEST_H

#include "pyobjectref.h"
#include "valuetext.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

using HostSupport::PyObjectRef;
using W = TPyQtWrapping;

class PythonTest : public ::testing::Test
{
public:
    // Results by column name; texts that table cells name with a leading '$'.
    using Results = std::map<std::string, std::string>;
    using Values = std::map<std::string, std::string>;

protected:
    void SetUp() override;
    void TearDown() override;

    // The value of an expression evaluated in __main__, held until the end of the test; "null"
    // gives a null pointer.
    PyObject *in(const std::string &expression);
    void exec(const std::string &code) { PyObjectRef(run(code, Py_file_input)); }
    // A result (a new reference, or null) held until the end of the test.
    PyObject *hold(PyObject *result) { return m_held.emplace_back(result).get(); }
    // Python's ascii() of an object, "<null>" for null; reprOf releases the new reference it is given.
    static std::string ascii(PyObject *object);
    static std::string reprOf(PyObject *result) { return ascii(PyObjectRef(result).get()); }
    // What was printed to sys.stderr since the last call.
    std::string printed();
    static std::string typeError(const std::string &message) { return "TypeError: " + message + "\n"; }
    static bool numpyAvailable();
    // Runs work on a thread of its own with a stack of the given size, holding the interpreter lock.
    static void onThread(size_t stack, const std::function<void()> &work);

    // The UTF-16 code units of a str expression (lone surrogates included) as a QString; None gives
    // a null QString. Texts are shown back as the str Python decodes from their units, so a
    // surrogate pair shows as one character and a lone surrogate as itself; "<null>" for null.
    QString units(const std::string &expression);
    PyObject *decoded(const QString &text);
    std::string show(const QString &text) { return text.isNull() ? "<null>" : ascii(decoded(text)); }
    std::string show(const QStringList &list);
    std::string show(const QList<QStringList> &lists);

    // A member called with its ok flag set false, set true and absent: every call must give the
    // same result, the first two the same flag. The result as print gives it, '?' after it when
    // the flag is false.
    template <typename Call, typename Print>
    static std::string withOk(Call call, Print print)
    {
        bool ok = false, okBefore = true;
        const auto result = call(&ok), again = call(&okBefore), unflagged = call(nullptr);
        const bool nan = !(result == result); // NaN is itself only by its bits
        EXPECT_TRUE(((again == result && unflagged == result) || nan) && ok == okBefore);
        return print(result) + (ok ? "" : "?");
    }

    // A table of cases in columns two or more spaces apart: a heading row naming the results, then
    // rows of an input and the results expected. Inputs that share every result share a row, as
    // "a | b". A cell "$name" stands for values' text, or the platform's ($wideLong and
    // $wideULong, a long variant of 2**33 - 1 as Qt makes it); a cell "=expression" for the Python ascii()
    // of the expression; missing cells are empty. convert gives each result by its heading. The
    // table starts on the line of the call; a failure points at its row's line and names the
    // members tested, the column, the input, and what was expected and got.
    template <typename Convert>
    void expectTable(const char *members, Convert convert, const char *table, const Values &values = {},
                     const char *file = __builtin_FILE(), int line = __builtin_LINE())
    {
        const std::vector<TableRow> rows = tableRows(table, values);
        EXPECT_GT(rows.size(), 1u) << "a table without cases";
        const std::vector<std::string> &heading = rows.front().cells;
        for (size_t r = 1; r < rows.size(); ++r) {
            for (const std::string &input : split(rows[r].cells[0], " | ")) {
                const Results results = convert(input.c_str());
                for (size_t k = 1; k < heading.size(); ++k) {
                    const std::string expected = k < rows[r].cells.size() ? rows[r].cells[k] : "";
                    const std::string got = results.at(heading[k]);
                    if (got != expected)
                        ADD_FAILURE_AT(file, line + int(rows[r].line))
                            << members << ", column " << heading[k] << ", for " << input
                            << "\n  expected: " << expected << "\n  got:      " << got;
                }
            }
        }
    }

private:
    static std::vector<std::string> split(const std::string &text, const std::string &separator);
    struct TableRow
    {
        size_t line; // lines after the table's first
        std::vector<std::string> cells;
    };
    std::vector<TableRow> tableRows(const std::string &table, const Values &values);
    // A new reference to the result of running code in __main__; null, the error printed, on failure.
    PyObject *run(const std::string &code, int start);
    std::vector<PyObjectRef> m_held;
    std::vector<PyObjectRef> m_watched;
};

#define REQUIRE_NUMPY() \
    if (!numpyAvailable()) \
    GTEST_SKIP() << "NumPy cannot be imported by this interpreter"

#endif // PYTHONTEST_H
