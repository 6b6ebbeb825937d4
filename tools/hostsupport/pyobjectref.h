// An owning Python reference for hosts of the library, which include only its public header.
#ifndef PYOBJECTREF_H
#define PYOBJECTREF_H

#include "tpyqtwrapping.h"

#include <utility>

namespace HostSupport {

// Owns one strong reference (or null) and releases it on every path out of a scope.
class PyObjectRef
{
public:
    PyObjectRef() noexcept = default;
    // Takes over a new reference, such as every PyObject* the library returns.
    explicit PyObjectRef(PyObject *object) noexcept : m_object(object) {}
    static PyObjectRef borrowed(PyObject *object) noexcept
    {
        Py_XINCREF(object);
        return PyObjectRef(object);
    }
    PyObjectRef(const PyObjectRef &) = delete;
    PyObjectRef &operator=(const PyObjectRef &) = delete;
    PyObjectRef(PyObjectRef &&other) noexcept : m_object(other.release()) {}
    PyObjectRef &operator=(PyObjectRef &&other) noexcept
    {
        std::swap(m_object, other.m_object);
        return *this;
    }
    ~PyObjectRef() { Py_XDECREF(m_object); }

    PyObject *get() const noexcept { return m_object; }
    explicit operator bool() const noexcept { return m_object != nullptr; }
    // Hands the reference over to the caller.
    PyObject *release() noexcept { return std::exchange(m_object, nullptr); }

private:
    PyObject *m_object = nullptr;
};

} // namespace HostSupport

#endif // PYOBJECTREF_H
