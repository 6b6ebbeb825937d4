#include "pythontest.h"

namespace {

PyObject *mainDict()
{
    return PyModule_GetDict(PyImport_AddModule("__main__"));
}

void failWithPythonError(const std::string &what)
{
    PyErr_Print();
    ADD_FAILURE() << "Python raised while running: " << what;
}

class InterpreterEnvironment : public ::testing::Environment
{
public:
    void SetUp() override { Py_InitializeEx(0); }
    // The interpreter stays up until the process exits: finalising would only add noise.
};

const auto *const interpreter =
    ::testing::AddGlobalTestEnvironment(new InterpreterEnvironment);

} // namespace

void PythonTest::SetUp()
{
    exec("import io, sys\n_captured_stderr = io.StringIO()\nsys.stderr = _captured_stderr\n");
    m_stderr = PyRef::borrowed(PyDict_GetItemString(mainDict(), "_captured_stderr"));
}

void PythonTest::TearDown()
{
    if (PyErr_Occurred()) {
        ADD_FAILURE() << "a Python error is pending at the end of the test";
        PyErr_Print();
    }
    const std::string rest = takeStderr();
    EXPECT_EQ(rest, "") << "unchecked output on sys.stderr";
    exec("sys.stderr = sys.__stderr__\n");
    m_stderr = PyRef();
}

PyRef PythonTest::eval(const std::string &expression)
{
    PyRef value(PyRun_String(expression.c_str(), Py_eval_input, mainDict(), mainDict()));
    if (!value)
        failWithPythonError(expression);
    return value;
}

void PythonTest::exec(const std::string &code)
{
    PyRef result(PyRun_String(code.c_str(), Py_file_input, mainDict(), mainDict()));
    if (!result)
        failWithPythonError(code);
}

std::string PythonTest::takeStderr()
{
    if (!m_stderr)
        return std::string();
    PyRef text(PyObject_CallMethod(m_stderr.get(), "getvalue", nullptr));
    PyRef(PyObject_CallMethod(m_stderr.get(), "seek", "i", 0));
    PyRef(PyObject_CallMethod(m_stderr.get(), "truncate", nullptr));
    if (!text) {
        PyErr_Clear();
        return std::string();
    }
    const char *utf8 = PyUnicode_AsUTF8(text.get());
    return utf8 ? std::string(utf8) : std::string();
}

std::string PythonTest::repr(PyObject *object)
{
    if (!object)
        return "<null>";
    PyRef text(PyObject_Repr(object));
    const char *utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return "<repr failed>";
    }
    return utf8;
}
