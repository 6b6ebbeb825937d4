// Internals shared by the conversion sources; not installed, not exported. One primitive per
// concept, in the order a conversion meets them: results, references and type tests, integers,
// sequences in, lists out.
#ifndef TPYQTWRAPPING_P_H
#define TPYQTWRAPPING_P_H

#include "pythoncompat_p.h"
#include "qtcompat_p.h"
#include "tpyqtwrapping.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace PyQtWrappingPrivate {

// ---- Results --------------------------------------------------------------------------------------

constexpr int InvalidInt = -9999;
constexpr double InvalidDouble = -9999.0;

inline void setOk(bool *ok, bool value)
{
    if (ok)
        *ok = value;
}

// Whether a member touches Python state, and so may clear a Python error on its way out.
enum class Touches { Python, QtOnly };

// Runs a member's work and never lets an exception out. Memory running out inside it (array new,
// std::vector, or a Qt container, which throws std::bad_alloc) ends the member with refuse()'s
// result instead: whatever the work held is released by its owner on the way out, and, for a
// member that touches Python, a Python error it left pending is cleared before refuse() runs, so
// that refuse() alone says what stays pending. refuse() must not throw.
template <Touches touches = Touches::Python, typename Work, typename Refuse>
auto orRefusal(Work &&work, Refuse &&refuse) noexcept -> decltype(work())
{
    try {
        return work();
    } catch (const std::exception &) {}
    if constexpr (touches == Touches::Python)
        PyErr_Clear();
    return refuse();
}

// The plainest refusals: a default value (null pointer, null QString, invalid variant), and the
// empty list with the ok flag false.
template <typename T>
T nothing() noexcept
{
    return T();
}
template <typename List>
auto emptyAndNotOk(bool *ok) noexcept
{
    return [ok] {
        setOk(ok, false);
        return List();
    };
}

// A new[] array of n elements (value-initialised when init is set), or std::bad_alloc. It asks
// with the nothrow form and throws itself, so that a failure is the same exception whichever
// operator new the process has: a sanitizer's reports running out as a fatal error instead.
template <typename T>
T *newArray(size_t n, bool init = false)
{
    T *array = init ? new (std::nothrow) T[n]() : new (std::nothrow) T[n];
    if (!array)
        throw std::bad_alloc();
    return array;
}

// Whether a result of this many bytes could be held in the machine's memory at all. A result made
// piece by piece (a matrix, row by row) is granted by the system on credit, piece by piece, and
// one made of shared parts can be far larger than its input ([row] * 10000): such a result is
// refused when it is larger than the memory, rather than ending the host when the memory is gone.
bool fitsInMemory(double bytes) noexcept;

// Prints the pending Python error as the interpreter's PyErr_Print does (recorded as the last
// exception, handed to sys.excepthook) and clears it, but so that nothing the hook or sys.stderr
// does can end the process or leave an error pending: PyErr_Print exits the process when the hook
// raises SystemExit. A hook that raises anything is passed by, and the error is printed by the
// interpreter's own printer instead (which gives up quietly when sys.stderr cannot be written).
void printPendingError() noexcept;

// Reports the message that make() gives; one that cannot be made for lack of memory is reported as
// a MemoryError, so that reporting never ends a conversion.
template <typename Make>
void reportMade(Make &&make) noexcept
{
    orRefusal([&] { TPyQtWrapping::showErrorMessage(make()); },
              [] {
                  PyErr_NoMemory();
                  printPendingError();
              });
}

// ---- Text ------------------------------------------------------------------------------------------

// PyObject2QString's reading, for conversions that read texts as parts of a larger value: it lets
// std::bad_alloc out, so that the larger value is refused as a whole rather than holding a null
// text where memory ran out.
QString textOfObject(PyObject *object);

// ---- References and type tests ----------------------------------------------------------------------

// The rule for borrowed references: none outlives a call that can run Python code. Such calls are
// any call on an object that is not of an exact built-in type (the PyObject_, PySequence_,
// PyMapping_, PyNumber_ functions and PyArg_Parse on it), any comparison or hash, and any
// allocation of a Python object, since the collector may run a __del__ then. Python code may
// clear the container a borrowed item came from and free the item. So an item is held with a PyRef
// before any such call: sequenceItem() and the variant conversion's mapping walk hand out held
// items, and the loops that read a container's storage in place read exact built-in values only
// and call nothing that runs Python code.

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

inline PyObject *newNone()
{
    Py_INCREF(Py_None);
    return Py_None;
}

// Exact type tests: identity with the built-in type, never a subclass test.
inline bool isExactInt(PyObject *o) { return Py_TYPE(o) == &PyLong_Type; }
inline bool isExactFloat(PyObject *o) { return Py_TYPE(o) == &PyFloat_Type; }
inline bool isExactStr(PyObject *o) { return Py_TYPE(o) == &PyUnicode_Type; }
inline bool isExactBytes(PyObject *o) { return Py_TYPE(o) == &PyBytes_Type; }
inline bool isBool(PyObject *o) { return o == Py_False || o == Py_True; }

// ---- Integers ---------------------------------------------------------------------------------------
//
// Widths are those of the target type, never that of the platform's long. No reader leaves a
// Python error pending.

// Reads an exact int into T, refusing a value outside T's range. unsigned long long takes every
// int from -2^63 to 2^64-1, modulo 2^64, so that a 64-bit pattern may be given signed or not.
template <typename T>
bool readExactInt(PyObject *o, T &value)
{
    long long v = 0;
    if (!compactIntValue(o, v)) {
        int overflow = 0;
        v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
            if constexpr (std::is_unsigned<T>::value) {
                if (overflow > 0) { // above 2^63-1: the unsigned reading, which refuses 2^64 and up
                    const unsigned long long u = PyLong_AsUnsignedLongLong(o);
                    if (!(u == ~0ULL && PyErr_Occurred())) {
                        value = u;
                        return true;
                    }
                }
            }
            PyErr_Clear();
            return false;
        }
    }
    if constexpr (std::is_signed<T>::value) {
        if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max())
            return false;
    }
    value = static_cast<T>(v);
    return true;
}

constexpr double TwoPow63 = 9223372036854775808.0;
constexpr double TwoPow64 = 18446744073709551616.0;

// A float floored to T; false for NaN and for values outside T's range, which for unsigned long
// long is, as for ints, from -2^63 to below 2^64, modulo 2^64.
template <typename T>
bool floorToInteger(double d, T &value)
{
    const double f = std::floor(d);
    if constexpr (std::is_unsigned<T>::value) {
        long long asSigned = 0;
        if (f >= TwoPow63 && f < TwoPow64)
            value = static_cast<T>(f);
        else if (floorToInteger(d, asSigned))
            value = static_cast<T>(asSigned);
        else
            return false;
        return true;
    } else {
        constexpr double low = double(std::numeric_limits<T>::min()); // -2^(bits-1), exactly
        if (!(f >= low && f < -low))
            return false;
        value = static_cast<T>(f);
        return true;
    }
}

// The integer conversions' acceptance: an exact int by its value; non-strict, a float floored
// (outOfRange for NaN and floats beyond T) and False/True as 0 and 1.
template <typename T>
bool readInteger(PyObject *o, bool strict, T outOfRange, T &value)
{
    if (isExactInt(o))
        return readExactInt(o, value);
    if (strict)
        return false;
    if (isExactFloat(o)) {
        if (!floorToInteger(PyFloat_AS_DOUBLE(o), value))
            value = outOfRange;
        return true;
    }
    if (isBool(o)) {
        value = o == Py_True ? 1 : 0;
        return true;
    }
    return false;
}

// ---- Sequences in -----------------------------------------------------------------------------------

// Lengths are handled as 32-bit signed counts, as the conversions always have: a length beyond
// that range wraps, and a negative count means no elements.
inline int count32(Py_ssize_t length) { return static_cast<int>(static_cast<int32_t>(length)); }

// A sequence's length as a 32-bit count; a failed length query counts as empty, its error cleared.
inline int sequenceCount(PyObject *sequence)
{
    const Py_ssize_t length = PySequence_Size(sequence);
    if (length < 0) {
        PyErr_Clear();
        return 0;
    }
    return count32(length);
}

// How an item is fetched: through the sequence protocol (a user-defined sequence's item access
// runs), or from a list's own storage (an override of item access in a list subclass is not used).
enum class ItemAccess { Protocol, ListStorage };

// Item i of a sequence, held, or null (with no error pending) when it cannot be fetched. Exact
// lists and tuples are read from their storage; a tuple cannot change, and a list's index may have
// gone since its length was taken (Python code run by converting an item, or another thread).
inline PyRef sequenceItem(PyObject *sequence, Py_ssize_t i, ItemAccess access = ItemAccess::Protocol)
{
    if (PyTuple_CheckExact(sequence))
        return PyRef::borrowed(PyTuple_GET_ITEM(sequence, i));
    if (access == ItemAccess::ListStorage ? PyList_Check(sequence) : PyList_CheckExact(sequence))
        return PyRef(listItemRef(sequence, i));
    PyRef item(PySequence_GetItem(sequence, i));
    if (!item)
        PyErr_Clear();
    return item;
}

// Whether a list still holds the n items a table was made for. A table carries no count of its own
// (the host takes it from the list), and converting its elements may run Python code that changes
// the list: a table is handed back only when this holds at the end.
inline bool listStillHolds(PyObject *list, Py_ssize_t n) { return PyList_GET_SIZE(list) == n; }

inline bool isExactListOrTuple(PyObject *o) { return PyList_CheckExact(o) || PyTuple_CheckExact(o); }

// How many entries to reserve for the n items of a sequence. An exact list's or tuple's length is
// its storage, so it is trusted; any other sequence's length comes from Python code (__len__) and is
// only a claim, so at most ClaimedReservation entries are reserved on its word and the result grows
// with what the items actually deliver (a few doublings more for a long honest one).
constexpr int ClaimedReservation = 64;
inline int reservationFor(PyObject *sequence, int n)
{
    return isExactListOrTuple(sequence) ? n : std::min(n, ClaimedReservation);
}

// Every item of a sequence (its length taken once) through convert(item) into a QList; convert
// gets null for an item that cannot be fetched. An exact list or tuple is read in place, under its
// critical section, into a list made at its length: the items as they were at one moment. convert
// must run no Python code then. Any other sequence is read through its item access, and its list
// grows as the items come.
template <typename T, typename Convert>
QList<T> convertItems(PyObject *sequence, Convert &&convert)
{
    if (isExactListOrTuple(sequence)) {
        const CriticalSection section(sequence);
        const int n = count32(PySequence_Fast_GET_SIZE(sequence));
        ListFiller<T> result(n);
        PyObject **items = PySequence_Fast_ITEMS(sequence);
        for (int i = 0; i < n; ++i)
            result.add(convert(items[i]));
        return result.take();
    }
    const int n = sequenceCount(sequence);
    QList<T> result;
    result.reserve(reservationFor(sequence, n));
    for (int i = 0; i < n; ++i)
        result.append(convert(sequenceItem(sequence, i).get()));
    return result;
}

// ---- Objects met again -------------------------------------------------------------------------------
//
// One Python object can stand in many places of one input: [row] * 1000, or a list whose two items
// are the same list, 64 levels down, which is 65 objects and 2**64 paths. A conversion that builds
// a Qt value per object it meets keeps the value it made for each container and long text, and
// gives it again, shared by Qt's implicit sharing, when it meets the object again: its cost follows
// the distinct objects, never the paths.

// Values made from objects during one conversion. Each object is held until the conversion ends,
// so that while it runs no other object can take a remembered address. An open-addressing table of
// indexes into the entries, at most half full.
template <typename T>
class SeenObjects
{
public:
    // The value made from the object, or null; valid until the next add().
    T *find(PyObject *object)
    {
        for (size_t i = slotOf(object); !m_slots.empty() && m_slots[i]; i = (i + 1) & mask())
            if (m_entries[m_slots[i] - 1].object.get() == object)
                return &m_entries[m_slots[i] - 1].value;
        return nullptr;
    }
    void add(PyObject *object, T value)
    {
        if (2 * (m_entries.size() + 1) > m_slots.size())
            rehash(std::max<size_t>(16, 2 * m_slots.size()));
        m_entries.push_back({PyRef::borrowed(object), std::move(value)});
        place(object, m_entries.size());
    }

private:
    struct Entry
    {
        PyRef object;
        T value;
    };
    size_t mask() const { return m_slots.size() - 1; }
    size_t slotOf(PyObject *object) const
    {
        const uint64_t key = uint64_t(reinterpret_cast<uintptr_t>(object) >> 4);
        return m_slots.empty() ? 0 : size_t((key * 0x9E3779B97F4A7C15ULL) >> 32) & mask();
    }
    void place(PyObject *object, size_t entry)
    {
        size_t i = slotOf(object);
        while (m_slots[i])
            i = (i + 1) & mask();
        m_slots[i] = entry;
    }
    void rehash(size_t size)
    {
        m_slots.assign(size, 0);
        for (size_t e = 0; e < m_entries.size(); ++e)
            place(m_entries[e].object.get(), e + 1);
    }
    std::vector<Entry> m_entries;
    std::vector<size_t> m_slots; // an entry's index + 1, or 0 for a free slot
};

// Texts of at least this many units are read once per object by a TextReader; a shorter one costs
// less to read again than to look up.
constexpr Py_ssize_t LongText = 256;

// textOfObject for a conversion that reads many texts: a long str or bytes met again gives the
// text it gave the first time.
class TextReader
{
public:
    QString operator()(PyObject *object) { return isLong(object) ? longText(object) : textOfObject(object); }

private:
    Q_NEVER_INLINE QString longText(PyObject *object)
    {
        if (const QString *seen = m_seen.find(object))
            return *seen;
        QString text = textOfObject(object);
        m_seen.add(object, text);
        return text;
    }
    static bool isLong(PyObject *o)
    {
        if (!o)
            return false;
        if (isExactStr(o))
            return strStorageReady(o) && PyUnicode_GET_LENGTH(o) >= LongText;
        return PyBytes_Check(o) && PyBytes_GET_SIZE(o) >= LongText;
    }
    SeenObjects<QString> m_seen;
};

// ---- Lists out --------------------------------------------------------------------------------------
//
// Every conversion into a Python list makes it at its final length and fills it slot by slot. When
// an item cannot be made, one of two things happens:
//  - a list of strings is discarded whole: null is returned with the MemoryError pending, since
//    a str fails only when memory is gone and a caller must never meet an empty slot;
//  - a list of numbers or variants keeps going: the slot holds None and the failure is reported
//    (the first value and its index, then how many failed), so the caller still gets its list.
// A list that cannot be made at all gives null, reported where the conversion has a ListReport.

// The family of three messages of a conversion into a Python list, for one source type word such
// as "double[]" or "QList<int>".
class ListReport
{
public:
    explicit ListReport(const char *source) : m_source(source) {}
    void nullList(unsigned long long size) const
    {
        report("null list returned for size %1", [size] { return QString::number(size); });
    }
    // The value, describe()'s text, is substituted first and the index then, each into the lowest
    // place marker left.
    template <typename Describe>
    void invalidValue(Describe &&describe, Py_ssize_t index) const
    {
        report("invalid value '%1' at index %2", describe, [index] { return QString::number(index); });
    }
    void failures(unsigned count) const
    {
        report("conversion failed for %1 indices", [count] { return QString::number(count); });
    }

private:
    // Each argument is a function giving its text, made only when the report is.
    template <typename... Arguments>
    void report(const char *tail, Arguments &&...arguments) const noexcept
    {
        reportMade([&] {
            QString message = QLatin1String("ERROR: converting ") + QLatin1String(m_source) +
                              QLatin1String(" to Python list: ") + QLatin1String(tail);
            ((message = message.arg(arguments())), ...);
            return message;
        });
    }
    const char *m_source;
};

// The one list builder: slot i takes over make(i); a null item becomes failedSlot(i), and a null
// from that discards the list. A count beyond the signed size range is refused like an allocation.
template <typename Make, typename FailedSlot>
PyObject *buildList(unsigned long long count, const ListReport *report, Make &&make, FailedSlot &&failedSlot)
{
    const bool representable = count <= static_cast<unsigned long long>(PY_SSIZE_T_MAX);
    const auto n = static_cast<Py_ssize_t>(count);
    PyRef list(representable ? PyList_New(n) : PyErr_NoMemory());
    if (!list) {
        if (report)
            report->nullList(count);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = make(i);
        if (!item && !(item = failedSlot(i)))
            return nullptr;
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
}

// A list of strings, discarded whole when an item fails.
template <typename Make>
PyObject *buildStrList(unsigned long long count, const ListReport *report, Make &&make)
{
    return buildList(count, report, std::forward<Make>(make),
                     [](Py_ssize_t) -> PyObject * { return nullptr; });
}

// A list whose failed slots hold None, reported with describe(i), the text of value i.
template <typename Make, typename Describe>
PyObject *buildReportedList(unsigned long long count, const ListReport &report, Make &&make,
                            Describe &&describe)
{
    unsigned failures = 0;
    PyObject *list = buildList(count, &report, std::forward<Make>(make), [&](Py_ssize_t i) {
        if (failures++ == 0)
            report.invalidValue([&] { return describe(i); }, i);
        return newNone();
    });
    if (failures >= 2)
        report.failures(failures);
    return list;
}

// The result itself, or None for a null one.
inline PyObject *orNone(PyObject *result) { return result ? result : newNone(); }

} // namespace PyQtWrappingPrivate

#endif // TPYQTWRAPPING_P_H
