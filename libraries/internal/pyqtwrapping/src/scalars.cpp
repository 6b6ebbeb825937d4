#include "tpyqtwrapping_p.h"

using namespace PyQtWrappingPrivate;

int TPyQtWrapping::PyObject2int(PyObject *pyObject, bool strict, bool *ok)
{
    if (!pyObject) {
        showErrorMessage(QStringLiteral("PyObject2int: Error trying to convert null to an integer!"));
        setOk(ok, false);
        return InvalidInt;
    }
    if (isExactInt(pyObject)) {
        int value = 0;
        const bool inRange = readInt32(pyObject, value);
        setOk(ok, inRange);
        return inRange ? value : InvalidInt;
    }
    if (!strict) {
        if (isExactFloat(pyObject)) {
            setOk(ok, true);
            return flooredToInt32(PyFloat_AS_DOUBLE(pyObject));
        }
        if (isBool(pyObject)) {
            setOk(ok, true);
            return pyObject == Py_True ? 1 : 0;
        }
    }
    setOk(ok, false);
    return InvalidInt;
}

bool TPyQtWrapping::PyObject2bool(PyObject *pyObject, bool strict, bool *ok)
{
    setOk(ok, false);
    if (pyObject && isBool(pyObject)) {
        setOk(ok, true);
        return pyObject == Py_True;
    }
    if (strict)
        return false;
    return PyObject2int(pyObject, false, ok) != 0;
}

long long TPyQtWrapping::PyObject2LongLong(PyObject *pyObject, bool strict, bool *ok)
{
    setOk(ok, false);
    if (!pyObject)
        return 0;
    if (isExactInt(pyObject)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(pyObject, &overflow);
        if (overflow != 0 || (value == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return 0;
        }
        setOk(ok, true);
        return value;
    }
    if (strict)
        return 0;
    if (isExactFloat(pyObject)) {
        long long value = 0;
        if (!flooredToInt64(PyFloat_AS_DOUBLE(pyObject), value))
            value = INT64_MIN;
        setOk(ok, true);
        return value;
    }
    if (isBool(pyObject)) {
        setOk(ok, true);
        return pyObject == Py_True ? 1 : 0;
    }
    return 0;
}

unsigned long long TPyQtWrapping::PyObject2ULongLong(PyObject *pyObject, bool strict, bool *ok)
{
    setOk(ok, false);
    if (!pyObject)
        return 0;
    if (isExactInt(pyObject)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(pyObject, &overflow);
        if (overflow == 0 && !(value == -1 && PyErr_Occurred())) {
            setOk(ok, true);
            return static_cast<unsigned long long>(value);
        }
        if (overflow > 0) {
            const unsigned long long large = PyLong_AsUnsignedLongLong(pyObject);
            if (!(large == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                setOk(ok, true);
                return large;
            }
        }
        PyErr_Clear();
        return 0;
    }
    if (strict)
        return 0;
    if (isExactFloat(pyObject)) {
        unsigned long long value = 0;
        if (!flooredToUInt64(PyFloat_AS_DOUBLE(pyObject), value))
            value = 1ULL << 63;
        setOk(ok, true);
        return value;
    }
    if (isBool(pyObject)) {
        setOk(ok, true);
        return pyObject == Py_True ? 1 : 0;
    }
    return 0;
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
