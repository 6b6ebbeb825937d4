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

namespace {

// The 64-bit conversions: an exact int through readInt (false for a value out of range, with no
// error left), and non-strict a float through readFloat and False/True as 0 and 1.
template <typename T, typename ReadInt, typename ReadFloat>
T toInteger64(PyObject *o, bool strict, bool *ok, ReadInt readInt, ReadFloat readFloat)
{
    T value = 0;
    bool accepted = false;
    if (!o) {
    } else if (isExactInt(o)) {
        accepted = readInt(o, value);
    } else if (!strict && isExactFloat(o)) {
        value = readFloat(PyFloat_AS_DOUBLE(o));
        accepted = true;
    } else if (!strict && isBool(o)) {
        value = o == Py_True ? 1 : 0;
        accepted = true;
    }
    setOk(ok, accepted);
    return accepted ? value : 0;
}

} // namespace

long long TPyQtWrapping::PyObject2LongLong(PyObject *pyObject, bool strict, bool *ok)
{
    return toInteger64<long long>(
        pyObject, strict, ok,
        [](PyObject *o, long long &value) {
            int overflow = 0;
            value = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (overflow == 0 && !(value == -1 && PyErr_Occurred()))
                return true;
            PyErr_Clear();
            return false;
        },
        [](double d) {
            long long value = 0;
            return flooredToInt64(d, value) ? value : INT64_MIN;
        });
}

unsigned long long TPyQtWrapping::PyObject2ULongLong(PyObject *pyObject, bool strict, bool *ok)
{
    // Ints from -2^63 to 2^64-1, modulo 2^64.
    return toInteger64<unsigned long long>(
        pyObject, strict, ok,
        [](PyObject *o, unsigned long long &value) {
            int overflow = 0;
            const long long small = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (overflow == 0 && !(small == -1 && PyErr_Occurred())) {
                value = static_cast<unsigned long long>(small);
                return true;
            }
            if (overflow > 0) {
                value = PyLong_AsUnsignedLongLong(o);
                if (!(value == static_cast<unsigned long long>(-1) && PyErr_Occurred()))
                    return true;
            }
            PyErr_Clear();
            return false;
        },
        [](double d) {
            unsigned long long value = 0;
            return flooredToUInt64(d, value) ? value : 1ULL << 63;
        });
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
