// What the interpreter's sys module counts, for the checks that the reliability tests make.
#ifndef SYSMODULE_H
#define SYSMODULE_H

#include "pyobjectref.h"

// The int result of a function of the sys module, such as gettotalrefcount.
inline long sysCall(const char *function)
{
    HostSupport::PyObjectRef sys(PyImport_ImportModule("sys"));
    return PyLong_AsLong(HostSupport::PyObjectRef(PyObject_CallMethod(sys.get(), function, nullptr)).get());
}

#endif // SYSMODULE_H
