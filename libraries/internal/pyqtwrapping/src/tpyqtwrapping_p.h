// Internals shared by the conversion sources; not installed, not exported.
#ifndef TPYQTWRAPPING_P_H
#define TPYQTWRAPPING_P_H

#include "tpyqtwrapping.h"

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h> // PyLongObject's digits; Python.h includes it from 3.11 on
#endif

#include <cmath>
#include <cstdint>
#include <utility>

namespace PyQtWrappingPrivate {

constexpr int InvalidInt = -9999;
constexpr double InvalidDouble = -9999.0;

inline void setOk(bool *ok, bool value)
{
    if (ok)
        *ok = value;
}

// Owns one strong reference and releases it on every path out of a scope.
class PyRef
{
public:
    PyRef() noexcept = default;
    // Takes over a new reference (or null).
    explicit PyRef(PyObject *object) noexcept : m_object(object) {}
    static PyRef borrowed(PyObject *object) noexcept
    {
        Py_XINCREF(object);
        return PyRef(object);
    }
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    PyRef(PyRef &&other) noexcept : m_object(other.release()) {}
    PyRef &operator=(PyRef &&other) noexcept
    {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    ~PyRef() { Py_XDECREF(m_object); }

    PyObject *get() const noexcept { return m_object; }
    explicit operator bool() const noexcept { return m_object != nullptr; }
    // Hands the reference over to the caller.
    PyObject *release() noexcept { return std::exchange(m_object, nullptr); }
    void swap(PyRef &other) noexcept { std::swap(m_object, other.m_object); }

private:
    PyObject *m_object = nullptr;
};

// Exact type tests: identity with the built-in type, never a subclass test.
inline bool isExactInt(PyObject *o) { return Py_TYPE(o) == &PyLong_Type; }
inline bool isExactFloat(PyObject *o) { return Py_TYPE(o) == &PyFloat_Type; }
inline bool isExactStr(PyObject *o) { return Py_TYPE(o) == &PyUnicode_Type; }
inline bool isExactBytes(PyObject *o) { return Py_TYPE(o) == &PyBytes_Type; }
inline bool isBool(PyObject *o) { return o == Py_False || o == Py_True; }

// Reads an exact int as a 32-bit signed value. Returns false for a value outside that range,
// whatever the width of the platform's long; no Python error is left pending either way.
inline bool readInt32(PyObject *o, int &value)
{
    // Ints of one digit (below 2^30 in magnitude) are read straight from the object.
#if PY_VERSION_HEX >= 0x030C0000
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(o))) {
        value = static_cast<int>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(o)));
        return true;
    }
#else
    const Py_ssize_t digits = Py_SIZE(o);
    if (digits >= -1 && digits <= 1) {
        value = static_cast<int>(digits * static_cast<Py_ssize_t>(reinterpret_cast<PyLongObject *>(o)->ob_digit[0]));
        return true;
    }
#endif
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
        return false;
    }
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    value = static_cast<int>(v);
    return true;
}

// Floored float to integer, with the fixed results outside the target's range (NaN included)
// that an x86 truncating conversion gives: the target's minimum, or 2^63 for the unsigned one.
constexpr double TwoPow63 = 9223372036854775808.0;
constexpr double TwoPow64 = 18446744073709551616.0;

inline int flooredToInt32(double d)
{
    const double f = std::floor(d);
    if (!(f >= -2147483648.0 && f <= 2147483647.0))
        return INT32_MIN;
    return static_cast<int>(f);
}

// False for NaN and floored values outside [-2^63, 2^63).
inline bool flooredToInt64(double d, long long &value)
{
    const double f = std::floor(d);
    if (!(f >= -TwoPow63 && f < TwoPow63))
        return false;
    value = static_cast<long long>(f);
    return true;
}

// The floored value modulo 2^64 for [-2^63, 2^64); false for NaN and everything else.
inline bool flooredToUInt64(double d, unsigned long long &value)
{
    long long signedValue = 0;
    if (flooredToInt64(d, signedValue)) {
        value = static_cast<unsigned long long>(signedValue);
        return true;
    }
    const double f = std::floor(d);
    if (f >= TwoPow63 && f < TwoPow64) {
        value = static_cast<unsigned long long>(f);
        return true;
    }
    return false;
}

// Sequence and list lengths are handled as 32-bit signed counts, as the conversions always have:
// a length beyond that range wraps, and a negative count means no elements.
inline int count32(Py_ssize_t length) { return static_cast<int>(static_cast<int32_t>(length)); }

// A sequence's length as a 32-bit count; a failed length query counts as empty and its Python
// error is cleared.
inline int sequenceCount(PyObject *sequence)
{
    const Py_ssize_t length = PySequence_Size(sequence);
    if (length < 0) {
        PyErr_Clear();
        return 0;
    }
    return count32(length);
}

// Calls visit(item) for items 0 to n-1 of a sequence, with null for an item that cannot be
// fetched (its error cleared). Exact lists and tuples are read in place, so visit must run no
// Python code that could change them.
template <typename Visit>
void forEachItem(PyObject *sequence, int n, Visit &&visit)
{
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
        PyObject **items = PySequence_Fast_ITEMS(sequence);
        for (int i = 0; i < n; ++i)
            visit(items[i]);
        return;
    }
    for (int i = 0; i < n; ++i) {
        PyRef item(PySequence_GetItem(sequence, i));
        if (!item)
            PyErr_Clear();
        visit(item.get());
    }
}

// A new list of n slots, slot i taking over the new reference make(i). When the list or any item
// cannot be made, the half-filled list is discarded and null returned with the Python error
// pending, so no caller ever sees an empty slot; onNoList() runs when the list itself fails.
template <typename Make, typename OnNoList>
PyObject *buildList(Py_ssize_t n, Make &&make, OnNoList &&onNoList)
{
    PyRef list(PyList_New(n));
    if (!list) {
        onNoList();
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = make(i);
        if (!item)
            return nullptr;
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
}

template <typename Make>
PyObject *buildList(Py_ssize_t n, Make &&make)
{
    return buildList(n, std::forward<Make>(make), [] {});
}

// The family of three messages of a conversion into a Python list, for one source type word
// such as "double[]" or "QList<int>".
class ListReport
{
public:
    explicit ListReport(const char *source) : m_source(source) {}
    void nullList(const QString &size) const
    {
        report("null list returned for size %1", size);
    }
    // The value is substituted first and the index then, each into the lowest place marker left.
    void invalidValue(const QString &value, const QString &index) const
    {
        TPyQtWrapping::showErrorMessage(
            (prefix() + QLatin1String("invalid value '%1' at index %2")).arg(value).arg(index));
    }
    void failures(unsigned count) const
    {
        report("conversion failed for %1 indices", QString::number(count));
    }

private:
    QString prefix() const
    {
        return QLatin1String("ERROR: converting ") + QLatin1String(m_source) +
               QLatin1String(" to Python list: ");
    }
    void report(const char *tail, const QString &argument) const
    {
        TPyQtWrapping::showErrorMessage((prefix() + QLatin1String(tail)).arg(argument));
    }
    const char *m_source;
};

// Fills every slot of a fresh list of n slots with make(i), a new reference or null. A slot whose
// element cannot be built holds None; the first such element is reported with describe(i) and,
// when two or more failed, their count after the last slot.
template <typename Make, typename Describe>
void fillListReporting(PyObject *list, Py_ssize_t n, const ListReport &report, Make &&make,
                       Describe &&describe)
{
    unsigned failures = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = make(i);
        if (!item) {
            if (failures == 0)
                report.invalidValue(describe(i), QString::number(i));
            ++failures;
            Py_INCREF(Py_None);
            item = Py_None;
        }
        PyList_SET_ITEM(list, i, item);
    }
    if (failures >= 2)
        report.failures(failures);
}

} // namespace PyQtWrappingPrivate

#endif // TPYQTWRAPPING_P_H
