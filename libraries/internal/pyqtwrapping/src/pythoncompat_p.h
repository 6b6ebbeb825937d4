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

// ---- Free-threaded interpreters ----------------------------------------------------------------
//
// Without the interpreter lock (CPython built with --disable-gil) another thread may change a list
// or dict at any moment, not only when Python code runs: an item read from a container's storage
// may be freed under the reader. A container's storage is read only under its critical section
// (other threads' changes to it wait), and an item kept beyond it is a new reference taken while
// the container still held it. With the lock, holding the lock is all of that, and these compile
// to nothing.

#ifdef Py_GIL_DISABLED
constexpr bool FreeThreaded = true;
#else
constexpr bool FreeThreaded = false;
#endif

// Makes other threads' changes to one container wait while it lives. Nothing within it may run
// Python code or block: the interpreter would suspend the section, and the container could change.
class CriticalSection
{
public:
#ifdef Py_GIL_DISABLED
    explicit CriticalSection(PyObject *container) { PyCriticalSection_Begin(&m_section, container); }
    ~CriticalSection() { PyCriticalSection_End(&m_section); }

private:
    PyCriticalSection m_section;
#else
    explicit CriticalSection(PyObject *) {}
#endif
public:
    CriticalSection(const CriticalSection &) = delete;
    CriticalSection &operator=(const CriticalSection &) = delete;
};

// Item i of a list's own storage as a new reference, or null for an index the list no longer has.
// Taken under the list's critical section, while the list still holds the item.
inline PyObject *listItemRef(PyObject *list, Py_ssize_t i)
{
    const CriticalSection section(list);
    if (i < 0 || i >= PyList_GET_SIZE(list))
        return nullptr;
    PyObject *item = PyList_GET_ITEM(list, i);
    Py_INCREF(item);
    return item;
}

// An object of the sys module (sys.excepthook, say) as a new reference, or null with no error
// pending. Another thread may replace it meanwhile, and a borrowed one could be freed before it
// is held: without the lock it is read as an attribute, which hands over a new reference.
inline PyObject *sysObjectRef(const char *name)
{
#ifdef Py_GIL_DISABLED
    PyObject *sys = PyImport_ImportModule("sys");
    PyObject *object = sys ? PyObject_GetAttrString(sys, name) : nullptr;
    Py_XDECREF(sys);
    if (!object)
        PyErr_Clear();
    return object;
#else
    PyObject *object = PySys_GetObject(name);
    Py_XINCREF(object);
    return object;
#endif
}

} // namespace PyQtWrappingPrivate

#endif // PYTHONCOMPAT_P_H
