// What the interpreter's sys module counts, for the checks that the reliability tests make.
#ifndef SYSMODULE_H
#define SYSMODULE_H

#include "tpyqtwrapping_p.h"

// The int result of a function of the sys module, such as gettotalrefcount.
inline long sysCall(const char *function)
{
    PyQtWrappingPrivate::PyRef sys(PyImport_ImportModule("sys"));
    return PyLong_AsLong(PyQtWrappingPrivate::PyRef(PyObject_CallMethod(sys.get(), function, nullptr)).get());
}

#endif // SYSMODULE_H
