// An owning Python reference for hosts of the library, which include only its public header: the
// tool, the benchmark, the tests and the harnesses own references through it.
#ifndef PYOBJECTREF_H
#define PYOBJECTREF_H

#include "tpyqtwrapping.h"

#include <memory>

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

} // namespace HostSupport

#endif // PYOBJECTREF_H
