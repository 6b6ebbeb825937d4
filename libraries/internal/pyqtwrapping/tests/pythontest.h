// Test fixture: one embedded interpreter for the whole run, Python inputs built from
// expressions, and what the interpreter prints to sys.stderr captured per test.
#ifndef PYTHONTEST_H
#define PYTHONTEST_H

#include "tpyqtwrapping_p.h"

#include <gtest/gtest.h>

#include <string>

using PyQtWrappingPrivate::PyRef;

class PythonTest : public ::testing::Test
{
protected:
    void SetUp() override;
    // Fails the test if a Python error is still pending or stderr output was left unchecked.
    void TearDown() override;

    // A new reference to the value of a Python expression, evaluated in __main__.
    PyRef eval(const std::string &expression);
    // Runs statements in __main__.
    void exec(const std::string &code);
    // What the interpreter printed to sys.stderr since the last call; clears it.
    std::string takeStderr();
    static std::string repr(PyObject *object);
    static bool errorPending() { return PyErr_Occurred() != nullptr; }
    // The text a report prints: "TypeError: <message>\n".
    static std::string typeError(const std::string &message)
    {
        return "TypeError: " + message + "\n";
    }

private:
    PyRef m_stderr;
};

// Reference counts that a Python version tracks at all (3.12 made some objects immortal).
#if PY_VERSION_HEX >= 0x030C0000
#define PYQTW_IMMORTAL_SINGLETONS 1
#else
#define PYQTW_IMMORTAL_SINGLETONS 0
#endif

#endif // PYTHONTEST_H
