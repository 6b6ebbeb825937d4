// An owning Python reference for hosts of the library, which include only its public header: the
// tool, the benchmark, the tests and the harnesses own references through it.
#ifndef PYOBJECTREF_H
#define PYOBJECTREF_H

#include "tpyqtwrapping.h"

#include <memory>
#include <mutex>

namespace HostSupport {

struct PyObjectRelease
{
    void operator()(PyObject *object) const noexcept { Py_XDECREF(object); }
};

// Owns one strong reference (or null) and releases it on every path out of a scope. It takes over
// a new reference, such as every PyObject* the library returns; release() hands it back.
using PyObjectRef = std::unique_ptr<PyObject, PyObjectRelease>;

// A new owning reference to an object the caller only borrows (or null).
inline PyObjectRef borrowedRef(PyObject *object)
{
    Py_XINCREF(object);
    return PyObjectRef(object);
}

// Runs Python code (start: Py_file_input, Py_eval_input) in a globals dict; its result, or null
// with the error pending. Compiled and evaluated as two steps: PyRun_String also writes a flag of
// the whole runtime on every call, a data race between threads of a free-threaded interpreter.
// Compiled by one thread at a time: CPython 3.13t's parser interns new names unlocked, a race
// between two threads compiling at once. The thread lets the interpreter go while it waits, so
// that a collection another thread starts never waits on it.
inline PyObjectRef runPython(const char *code, int start, PyObject *globals)
{
    static std::mutex compiling;
    PyThreadState *state = PyEval_SaveThread();
    std::unique_lock<std::mutex> lock(compiling);
    PyEval_RestoreThread(state);
    PyObjectRef compiled(Py_CompileString(code, "<host>", start));
    lock.unlock();
    if (!compiled)
        return nullptr;
    if (!PyDict_GetItemString(globals, "__builtins__"))
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    return PyObjectRef(PyEval_EvalCode(compiled.get(), globals, globals));
}

} // namespace HostSupport

#endif // PYOBJECTREF_H
