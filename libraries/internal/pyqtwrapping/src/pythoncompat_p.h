// The differences between the CPython versions the library builds against (3.7 to 3.15), in one
// place, so that the conversions read the same for every interpreter.
#ifndef PYTHONCOMPAT_P_H
#define PYTHONCOMPAT_P_H

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

// A debug interpreter counts every reference; code built against it with the release configuration
// would not, and its counts would drift. The build says which kind of interpreter it found.
#if defined(PYQTWRAPPING_PYTHON_DEBUG) && PYQTWRAPPING_PYTHON_DEBUG && !defined(Py_REF_DEBUG)
#error "The interpreter is a debug build, but its headers were read with the release configuration"
#endif

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h> // PyLongObject's digits; Python.h includes it from 3.11 on
#endif

namespace PyQtWrappingPrivate {

// The value of an int of at most one 30-bit digit, read straight from the object, which is much
// faster than the general reading; false for larger ints. The layout changed in 3.12.
inline bool compactIntValue(PyObject *o, long long &value)
{
#if PY_VERSION_HEX >= 0x030C0000
    auto *integer = reinterpret_cast<PyLongObject *>(o);
    if (!PyUnstable_Long_IsCompact(integer))
        return false;
    value = static_cast<long long>(PyUnstable_Long_CompactValue(integer));
    return true;
#else
    const Py_ssize_t digits = Py_SIZE(o);
    if (digits < -1 || digits > 1)
        return false;
    value = static_cast<long long>(digits) * reinterpret_cast<PyLongObject *>(o)->ob_digit[0];
    return true;
#endif
}

// Makes a str's canonical storage available; before 3.12 a str made by the legacy API may not
// have it yet. False, with a MemoryError pending, when that fails.
inline bool strStorageReady(PyObject *str)
{
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(str) == 0;
#else
    (void)str;
    return true;
#endif
}

// Records an exception as the interpreter's last one, as PyErr_Print does: sys.last_type,
// sys.last_value and sys.last_traceback, and from 3.12 sys.last_exc. Leaves no error pending.
inline void recordLastException(PyObject *type, PyObject *value, PyObject *traceback)
{
#if PY_VERSION_HEX >= 0x030C0000
    if (PySys_SetObject("last_exc", value) < 0)
        PyErr_Clear();
#endif
    if (PySys_SetObject("last_type", type) < 0 || PySys_SetObject("last_value", value) < 0 ||
        PySys_SetObject("last_traceback", traceback) < 0)
        PyErr_Clear();
}

} // namespace PyQtWrappingPrivate

#endif // PYTHONCOMPAT_P_H
