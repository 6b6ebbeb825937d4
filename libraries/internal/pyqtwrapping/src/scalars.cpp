// Python ints, floats and bools to C++ scalars, and back.
#include "tpyqtwrapping_p.h"

using namespace PyQtWrappingPrivate;

namespace {

// An integer member's result: the value read by readInteger, or the refusal value.
template <typename T>
T integerOr(PyObject *o, bool strict, bool *ok, T outOfRange, T refusal)
{
    T value{};
    const bool accepted = o && readInteger(o, strict, outOfRange, value);
    setOk(ok, accepted);
    return accepted ? value : refusal;
}

} // namespace

int TPyQtWrapping::PyObject2int(PyObject *pyObject, bool strict, bool *ok)
{
    if (!pyObject)
        showErrorMessage(QStringLiteral("PyObject2int: Error trying to convert null to an integer!"));
    return integerOr<int>(pyObject, strict, ok, INT32_MIN, InvalidInt);
}

bool TPyQtWrapping::PyObject2bool(PyObject *pyObject, bool strict, bool *ok)
{
    if (pyObject && isBool(pyObject)) {
        setOk(ok, true);
        return pyObject == Py_True;
    }
    setOk(ok, false);
    if (strict)
        return false;
    return PyObject2int(pyObject, false, ok) != 0;
}

long long TPyQtWrapping::PyObject2LongLong(PyObject *pyObject, bool strict, bool *ok)
{
    return integerOr<long long>(pyObject, strict, ok, INT64_MIN, 0);
}

unsigned long long TPyQtWrapping::PyObject2ULongLong(PyObject *pyObject, bool strict, bool *ok)
{
    return integerOr<unsigned long long>(pyObject, strict, ok, 1ULL << 63, 0);
}

double TPyQtWrapping::PyObject2double(PyObject *pyObject, bool strict, bool *ok)
{
    setOk(ok, false);
    if (!pyObject)
        return InvalidDouble;
    if (isExactFloat(pyObject)) {
        setOk(ok, true);
        return PyFloat_AS_DOUBLE(pyObject);
    }
    if (strict)
        return InvalidDouble;
    if (isExactInt(pyObject)) {
        // Correctly rounded to the nearest double; only an int beyond the double range fails.
        const double value = PyLong_AsDouble(pyObject);
        if (value == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return InvalidDouble;
        }
        setOk(ok, true);
        return value;
    }
    if (isBool(pyObject)) {
        setOk(ok, true);
        return pyObject == Py_True ? 1.0 : 0.0;
    }
    return InvalidDouble;
}

PyObject *TPyQtWrapping::bool2PyObject(bool value)
{
    PyObject *result = value ? Py_True : Py_False;
    Py_INCREF(result);
    return result;
}
