// The class's special members, and the one way every conversion reports a refusal.
#include "tpyqtwrapping_p.h"

#include <unistd.h>

using PyQtWrappingPrivate::PyRef;
using PyQtWrappingPrivate::recordLastException;

TPyQtWrapping &TPyQtWrapping::operator=(const TPyQtWrapping &) = default;
TPyQtWrapping &TPyQtWrapping::operator=(TPyQtWrapping &&) = default;

void TPyQtWrapping::showErrorMessage(const QString &message)
{
    // A message whose UTF-8 cannot be made for lack of memory is printed as a MemoryError instead.
    PyQtWrappingPrivate::orRefusal([&] { PyErr_SetString(PyExc_TypeError, message.toUtf8().constData()); },
                                   [] { PyErr_NoMemory(); });
    PyQtWrappingPrivate::printPendingError();
}

namespace {

// The pending Python error, taken out of the indicator and normalised, owned until the scope ends;
// a missing value and traceback are None.
struct FetchedError
{
    FetchedError()
    {
        PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        type = PyRef(t), valueRef = PyRef(v), tracebackRef = PyRef(tb);
        value = v ? v : Py_None;
        traceback = tb ? tb : Py_None;
    }
    PyRef type, valueRef, tracebackRef;
    PyObject *value, *traceback;
};

} // namespace

void PyQtWrappingPrivate::printPendingError() noexcept
{
    const FetchedError error;
    if (!error.type)
        return;
    if (error.traceback != Py_None)
        PyException_SetTraceback(error.value, error.traceback);
    recordLastException(error.type.get(), error.value, error.traceback);
    // Held: the hook may replace itself in sys while it runs.
    const PyRef hook(sysObjectRef("excepthook"));
    const PyRef result(hook ? PyObject_CallFunctionObjArgs(hook.get(), error.type.get(), error.value,
                                                           error.traceback, nullptr)
                            : nullptr);
    if (!result) {
        // The interpreter's words for a hook that is missing or raised, without its exit on a
        // SystemExit from the hook. Writing to sys.stderr leaves no error, whatever write does.
        const FetchedError hookError;
        if (hookError.type) {
            PySys_WriteStderr("Error in sys.excepthook:\n");
            PyErr_Display(hookError.type.get(), hookError.value, hookError.traceback);
            PySys_WriteStderr("\nOriginal exception was:\n");
        } else {
            PySys_WriteStderr("sys.excepthook is missing\n");
        }
        PyErr_Display(error.type.get(), error.value, error.traceback);
    }
    PyErr_Clear();
}

bool PyQtWrappingPrivate::fitsInMemory(double bytes) noexcept
{
    constexpr double Small = 64.0 * 1024 * 1024; // not worth asking the system about
    if (bytes < Small)
        return true;
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    return pages <= 0 || pageSize <= 0 || bytes <= double(pages) * double(pageSize);
}
