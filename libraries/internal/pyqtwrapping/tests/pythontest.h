// Test fixture: one embedded interpreter for the whole run, Python inputs built from expressions,
// sys.stderr captured, and the end-of-test checks made once for every test: nothing printed that
// the test did not take, no Python error pending, every input's reference counts as they were.
#ifndef PYTHONTEST_H
#define PYTHONTEST_H

#include "tpyqtwrapping_p.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using PyQtWrappingPrivate::PyRef;
using W = TPyQtWrapping;

class PythonTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // The value of an expression evaluated in __main__, held until the end of the test.
    PyObject *in(const std::string &expression);
    void exec(const std::string &code);
    // A result (a new reference, or null) held until the end of the test.
    PyObject *hold(PyObject *result);
    // The repr of a new reference, which it releases; "<null>" for null.
    static std::string reprOf(PyObject *result);
    // What was printed to sys.stderr since the last call.
    std::string printed();
    static std::string typeError(const std::string &message) { return "TypeError: " + message + "\n"; }
    static bool numpyAvailable();

private:
    struct Watched {
        PyRef object;
        Py_ssize_t count;
    };
    void watch(PyObject *object);
    PyRef m_stderr;
    std::vector<PyRef> m_held;
    std::vector<Watched> m_watched;
};

#define REQUIRE_NUMPY()                                                                  \
    if (!numpyAvailable())                                                               \
    GTEST_SKIP() << "NumPy cannot be imported by this interpreter"

// Fails the interpreter's allocations on demand: armed with k, it lets k allocations through and
// fails the next one, or, persistent, every one from then on.
class FailingAllocator
{
public:
    static void install();
    static void uninstall();
    static void arm(long k, bool persistent = false);
    // Disarms; whether an allocation failed since arm().
    static bool disarm();
    static long liveBlocks();
};

#endif // PYTHONTEST_H
