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

void PyQtWrappingPrivate::printPendingError() noexcept
{
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    const PyRef typeRef(type), valueRef(value), tracebackRef(traceback);
    if (!type)
        return;
    value = value ? value : Py_None;
    traceback = traceback ? traceback : Py_None;
    if (traceback != Py_None)
        PyException_SetTraceback(value, traceback);
    recordLastException(type, value, traceback);
    // Held: the hook may replace itself in sys while it runs.
    const PyRef hook = PyRef::borrowed(PySys_GetObject("excepthook"));
    const PyRef result(hook ? PyObject_CallFunctionObjArgs(hook.get(), type, value, traceback, nullptr)
                            : nullptr);
    if (!result) {
        // The interpreter's words for a hook that is missing or raised, without its exit on a
        // SystemExit from the hook. Writing to sys.stderr leaves no error, whatever write does.
        PyObject *hookType = nullptr, *hookValue = nullptr, *hookTraceback = nullptr;
        PyErr_Fetch(&hookType, &hookValue, &hookTraceback);
        PyErr_NormalizeException(&hookType, &hookValue, &hookTraceback);
        const PyRef hookTypeRef(hookType), hookValueRef(hookValue), hookTracebackRef(hookTraceback);
        if (hookType) {
            PySys_WriteStderr("Error in sys.excepthook:\n");
            PyErr_Display(hookType, hookValue ? hookValue : Py_None, hookTraceback);
            PySys_WriteStderr("\nOriginal exception was:\n");
        } else {
            PySys_WriteStderr("sys.excepthook is missing\n");
        }
        PyErr_Display(type, value, traceback);
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
