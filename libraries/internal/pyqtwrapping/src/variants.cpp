// Python values, nested containers included, to QVariant trees, and variants back to Python.
#include "tpyqtwrapping_p.h"

#include <QKeySequence>
#include <QMap>

#include <algorithm>
#include <cfloat>
#include <vector>

#if defined(__linux__)
#include <pthread.h> // the thread's stack bounds
#endif

using namespace PyQtWrappingPrivate;

// ---- Python to variant --------------------------------------------------------------------------

namespace {

constexpr int InferType = -1;
constexpr unsigned HighestKnownType = QMetaType::QKeySequence; // 75 in Qt 5, 4107 in Qt 6

// Containers nest at most DepthCap levels, and never deeper than the interpreter's recursion limit.
constexpr int DepthCap = 5000;
// The conversion's own frames take at most this share of the stack that the thread has left when
// it starts, and at most MaxStack bytes, so that Python code that it calls at its deepest level (an
// item's __len__, __index__ or __del__) keeps the rest, whatever sys.setrecursionlimit lets that
// code do. Where the platform does not tell the stack's bounds, FallbackStack bytes.
constexpr uintptr_t StackShare = 8;
constexpr uintptr_t MaxStack = 1024 * 1024;
constexpr uintptr_t FallbackStack = 512 * 1024;
// Below this depth the stack is not looked at: so few frames cannot matter, and finding the
// thread's stack bounds costs more than a small conversion.
constexpr size_t ShallowDepth = 64;

uintptr_t stackPosition() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)); }

// The bytes of stack below `here` that the calling thread may still use; 0 where it is not known.
// Every processor the library runs on grows its stack downwards.
uintptr_t stackLeft(uintptr_t here)
{
#if defined(__linux__)
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0)
        return 0;
    void *low = nullptr;
    size_t size = 0;
    const bool known = pthread_attr_getstack(&attributes, &low, &size) == 0;
    pthread_attr_destroy(&attributes);
    return known && here > reinterpret_cast<uintptr_t>(low) ? here - reinterpret_cast<uintptr_t>(low) : 0;
#else
    (void)here;
    return 0;
#endif
}

// How deep one conversion may nest containers.
class NestingBudget
{
public:
    bool allows(size_t depth)
    {
        if (depth >= m_levels)
            return false;
        if (depth < ShallowDepth)
            return true;
        if (!m_bytes) {
            const uintptr_t left = stackLeft(m_start);
            m_bytes = left ? std::min(left / StackShare, MaxStack) : FallbackStack;
        }
        return m_start - stackPosition() <= m_bytes;
    }

private:
    const uintptr_t m_start = stackPosition();
    const size_t m_levels = size_t(std::max(0, std::min(Py_GetRecursionLimit(), DepthCap)));
    uintptr_t m_bytes = 0; // found when the conversion first goes deep
};

// The nearest float to a double, with IEEE rounding: beyond the float range gives an infinity.
float toNearestFloat(double value)
{
    constexpr double overflowThreshold = 340282356779733661637539395458142568448.0; // 2^128 - 2^103
    if (std::isfinite(value) && std::fabs(value) >= overflowThreshold)
        return value > 0 ? HUGE_VALF : -HUGE_VALF;
    return static_cast<float>(value);
}

// The nearest float to an exact int, rounded once from the whole value (a detour through double
// could round twice). False, with no error pending, for an int beyond the double range.
bool intToNearestFloat(PyObject *integer, float &value)
{
    long long small = 0;
    if (readExactInt(integer, small)) {
        value = static_cast<float>(small);
        return true;
    }
    const double asDouble = PyLong_AsDouble(integer);
    if (asDouble == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    // Round the top 64 bits, with every lower bit folded into a sticky bit, then scale.
    PyRef magnitude(PyNumber_Absolute(integer));
    PyRef bitLength(magnitude ? PyObject_CallMethod(magnitude.get(), "bit_length", nullptr) : nullptr);
    const long shift = bitLength ? PyLong_AsLong(bitLength.get()) - 64 : -1;
    PyRef shiftObject(shift >= 0 ? PyLong_FromLong(shift) : nullptr);
    PyRef top(shiftObject ? PyNumber_Rshift(magnitude.get(), shiftObject.get()) : nullptr);
    PyRef back(top ? PyNumber_Lshift(top.get(), shiftObject.get()) : nullptr);
    const int exact = back ? PyObject_RichCompareBool(back.get(), magnitude.get(), Py_EQ) : -1;
    const unsigned long long topBits = top ? PyLong_AsUnsignedLongLong(top.get()) : 0;
    if (exact < 0 || PyErr_Occurred()) {
        PyErr_Clear();
        value = toNearestFloat(asDouble);
        return true;
    }
    const float rounded = std::ldexp(static_cast<float>(topBits | (exact ? 0u : 1u)), int(shift));
    value = asDouble < 0 ? -rounded : rounded;
    return true;
}

// Keeps the first Python error left by a container's members aside while the others convert,
// and makes it pending again when the container is done.
class DeferredError
{
public:
    DeferredError() = default;
    DeferredError(const DeferredError &) = delete;
    DeferredError &operator=(const DeferredError &) = delete;
    void collect()
    {
        if (!PyErr_Occurred())
            return;
        if (m_type)
            PyErr_Clear();
        else
            PyErr_Fetch(&m_type, &m_value, &m_traceback);
    }
    ~DeferredError()
    {
        if (m_type)
            PyErr_Restore(m_type, m_value, m_traceback);
    }

private:
    PyObject *m_type = nullptr;
    PyObject *m_value = nullptr;
    PyObject *m_traceback = nullptr;
};

int inferType(PyObject *o)
{
    if (isExactBytes(o) || isExactStr(o))
        return QMetaType::QString;
    if (isExactInt(o))
        return QMetaType::Int;
    if (isExactFloat(o))
        return QMetaType::Double;
    if (isBool(o))
        return QMetaType::Bool;
    if (PyDict_CheckExact(o))
        return QMetaType::QVariantMap;
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o) || PySequence_Check(o))
        return QMetaType::QVariantList;
    return QMetaType::UnknownType;
}

template <typename T>
QVariant typedVariant(QMetaType::Type type, T value)
{
    return variantOf(type, &value);
}

// A value of an exact built-in scalar type, or None.
bool isPlainScalar(PyObject *o)
{
    return isExactStr(o) || isExactFloat(o) || isExactInt(o) || isBool(o) || o == Py_None || isExactBytes(o);
}

// Whether converting the object can run no Python code: a built-in scalar, or an exact list or
// tuple of them. Only a sequence that is no exact built-in container runs code (its length and items
// are Python methods), and such code could change a dict whose items are being read.
bool convertsWithoutPython(PyObject *o)
{
    if (isPlainScalar(o))
        return true;
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o))
        return false;
    // On a free-threaded interpreter this is the list as it was: another thread may change it after.
    const CriticalSection section(o);
    PyObject **items = PySequence_Fast_ITEMS(o);
    return std::all_of(items, items + PySequence_Fast_GET_SIZE(o), isPlainScalar);
}

// An exact list or tuple of at most a few plain values.
bool isShortPlainSequence(PyObject *o)
{
    constexpr Py_ssize_t Short = 16;
    return isExactListOrTuple(o) && PySequence_Fast_GET_SIZE(o) <= Short && convertsWithoutPython(o);
}

// One conversion call: the values made so far, for containers and long texts met again (a container
// on the current path holds the invalid variant until it is done, which stops cycles), and the
// depth, for the nesting budget.
class VariantConverter
{
public:
    // plain: the object is known to convert without running Python code (convertsWithoutPython).
    QVariant convert(PyObject *o, int type, bool plain = false);

private:
    // Each kind of value is converted out of line, so that the frames of the recursion through
    // nested lists hold no locals of the other kinds (AddressSanitizer pads every local).
    Q_NEVER_INLINE QVariant toMap(PyObject *o);
    Q_NEVER_INLINE QVariant toList(PyObject *o, bool plain);
    Q_NEVER_INLINE QVariant toLeaf(PyObject *o, int type);
    QVariant toText(PyObject *o, int type);
    // A container's value, made by build() the first time it is met; the invalid variant for a
    // container on the current path (a cycle) or beyond the nesting budget.
    template <typename Build>
    QVariant container(PyObject *o, bool plain, Build &&build);
    // Whether a container is to be built now: false for one met before (its value in seen), on the
    // current path (a cycle, seen invalid) or beyond the nesting budget (seen left invalid). Out of
    // line, as above.
    Q_NEVER_INLINE bool enter(PyObject *o, QVariant &seen);
    Q_NEVER_INLINE void leave(PyObject *o, const QVariant &value);

    size_t m_depth = 0;
    NestingBudget m_budget;
    SeenObjects<QVariant> m_containers;
    TextReader m_texts;
};

template <typename Build>
QVariant VariantConverter::container(PyObject *o, bool plain, Build &&build)
{
    // A list or tuple of plain values that nothing refers to but its holder and this conversion
    // can be met only once and holds no cycle: it goes without the bookkeeping, which would cost
    // the usual leaf of a large tree a third more. A long one is not looked through for that: its
    // bookkeeping is nothing beside it, and the look would read every item twice.
    const bool once = Py_REFCNT(o) <= 2 && (plain || isShortPlainSequence(o));
    QVariant value;
    if (once || enter(o, value)) {
        value = build();
        if (!once)
            leave(o, value);
    }
    return value;
}

bool VariantConverter::enter(PyObject *o, QVariant &seen)
{
    // A container met before gives its value; one still being built, its place holder, the
    // invalid variant: it is on the current path, and meeting it again is a cycle.
    if (const QVariant *value = m_containers.find(o)) {
        seen = *value;
        return false;
    }
    if (!m_budget.allows(m_depth))
        return false;
    m_containers.add(o, QVariant());
    ++m_depth;
    return true;
}

void VariantConverter::leave(PyObject *o, const QVariant &value)
{
    --m_depth;
    *m_containers.find(o) = value;
}

// Key-value pairs, each held.
using HeldItems = std::vector<std::pair<PyRef, PyRef>>;

// The items of a mapping's items list, held, both null for an item that is no pair. The list may
// be the mapping's own (PyMapping_Items hands on the exact list that items() returns), which any
// Python code may change, so every pair is taken and held before any value converts.
HeldItems heldPairs(PyObject *items)
{
    HeldItems held;
    const CriticalSection section(items);
    const int n = count32(PyList_GET_SIZE(items));
    held.reserve(size_t(std::max(n, 0)));
    for (int i = 0; i < n; ++i) {
        PyObject *pair = PyList_GET_ITEM(items, i);
        const Py_ssize_t size = PyTuple_Check(pair) ? PyTuple_GET_SIZE(pair) : 0;
        held.emplace_back(PyRef::borrowed(size > 0 ? PyTuple_GET_ITEM(pair, 0) : nullptr),
                          PyRef::borrowed(size > 1 ? PyTuple_GET_ITEM(pair, 1) : nullptr));
    }
    return held;
}

// Appends the items of an exact dict from position on, each held: taken under the dict's critical
// section, so that no other thread changes the dict meanwhile.
void holdDictItems(PyObject *dict, Py_ssize_t position, HeldItems &held)
{
    const CriticalSection section(dict);
    held.reserve(held.size() + size_t(PyDict_GET_SIZE(dict)));
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value))
        held.emplace_back(PyRef::borrowed(key), PyRef::borrowed(value));
}

// Calls visit(key, value, plain) for the items of a mapping as PyMapping_Items lists them when the
// conversion begins. With the interpreter lock, an exact dict is read in place for as long as its
// values convert without running Python code; before one that may, the items left are taken
// aside, held, as they are then. Without the lock, another thread may change the dict at any
// moment, so its items are all taken aside first. False, with the error of the items call pending,
// when the items of another mapping cannot be listed.
template <typename Visit>
bool forEachMappingItem(PyObject *o, Visit &&visit)
{
    HeldItems held;
    if (PyDict_CheckExact(o) && FreeThreaded) {
        holdDictItems(o, 0, held);
    } else if (PyDict_CheckExact(o)) {
        Py_ssize_t position = 0;
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        while (PyDict_Next(o, &position, &key, &value)) {
            if (!convertsWithoutPython(value)) {
                held.emplace_back(PyRef::borrowed(key), PyRef::borrowed(value));
                holdDictItems(o, position, held);
                break;
            }
            visit(key, value, true);
        }
    } else {
        PyRef items(PyMapping_Items(o));
        if (!items)
            return false;
        held = heldPairs(items.get());
    }
    for (const auto &item : held)
        visit(item.first.get(), item.second.get(), false);
    return true;
}

QVariant VariantConverter::toMap(PyObject *o)
{
    if (!PyMapping_Check(o))
        return QVariant();
    return container(o, false, [&] {
        QVariantMap map;
        DeferredError deferred;
        const bool listed = forEachMappingItem(o, [&](PyObject *key, PyObject *value, bool plain) {
            // The value first, then the key; a later equal key replaces the value.
            QVariant converted = value ? convert(value, InferType, plain) : QVariant();
            deferred.collect();
            map.insert(m_texts(key), std::move(converted));
        });
        return listed ? QVariant(map) : QVariant(); // a failed items call stays pending
    });
}

QVariant VariantConverter::toList(PyObject *o, bool plain)
{
    if (!PySequence_Check(o))
        return QVariant();
    return container(o, plain, [&] {
        QVariantList list;
        const int n = count32(PySequence_Size(o)); // a failed size query stays pending
        DeferredError deferred;
        if (n > 0)
            list.reserve(reservationFor(o, n));
        for (int i = 0; i < n; ++i) {
            const PyRef member = sequenceItem(o, i);
            list.append(member ? convert(member.get(), InferType) : QVariant());
            deferred.collect();
        }
        return QVariant(list);
    });
}

QVariant toBool(PyObject *o)
{
    bool ok = false;
    const bool value = TPyQtWrapping::PyObject2bool(o, false, &ok);
    return ok ? QVariant(value) : QVariant();
}

// The 32-bit integer types, through the int reading with its wrap to the narrower widths.
QVariant toSmallInteger(PyObject *o, int type)
{
    bool ok = false;
    const int value = TPyQtWrapping::PyObject2int(o, false, &ok);
    if (!ok)
        return QVariant();
    switch (type) {
    case QMetaType::Int: return QVariant(value);
    case QMetaType::UInt: return QVariant(uint(value));
    case QMetaType::Short: return typedVariant(QMetaType::Short, short(value));
    case QMetaType::Char: return typedVariant(QMetaType::Char, char(value));
    case QMetaType::UShort: return typedVariant(QMetaType::UShort, ushort(value));
    default: return typedVariant(QMetaType::UChar, uchar(value));
    }
}

QVariant toDouble(PyObject *o)
{
    bool ok = false;
    const double value = TPyQtWrapping::PyObject2double(o, false, &ok);
    return ok ? QVariant(value) : QVariant();
}

QVariant toFloat(PyObject *o)
{
    float value;
    if (isExactFloat(o))
        value = toNearestFloat(PyFloat_AS_DOUBLE(o));
    else if (isBool(o))
        value = o == Py_True ? 1.0f : 0.0f;
    else if (!isExactInt(o) || !intToNearestFloat(o, value))
        return QVariant();
    return typedVariant(QMetaType::Float, value);
}

// Long and ULong hold 32-bit values whatever the width of long: the 32-bit reading of an int,
// the low 32 bits of a floored float (0 outside the 64-bit range of the type), False/True as 0/1.
template <typename Wide>
bool longBits(PyObject *o, uint32_t &bits)
{
    Wide wide;
    int narrow;
    if (isExactFloat(o))
        bits = floorToInteger(PyFloat_AS_DOUBLE(o), wide) ? uint32_t(wide) : 0;
    else if (readInteger(o, false, 0, narrow))
        bits = uint32_t(narrow);
    else
        return false;
    return true;
}

QVariant toLong(PyObject *o, int type)
{
    uint32_t bits = 0;
    if (type == QMetaType::Long)
        return longBits<long long>(o, bits) ? typedVariant(QMetaType::Long, long(int32_t(bits))) : QVariant();
    return longBits<unsigned long long>(o, bits)
               ? typedVariant(QMetaType::ULong, static_cast<unsigned long>(bits))
               : QVariant();
}

QVariant VariantConverter::toText(PyObject *o, int type)
{
    const QString text = m_texts(o);
    if (type == QMetaType::QKeySequence)
        return QVariant(QKeySequence::fromString(text, QKeySequence::PortableText));
    return QVariant(text);
}

QVariant toStringList(PyObject *o)
{
    bool ok = false;
    const QStringList list = TPyQtWrapping::PyObject2QStringList(o, false, &ok);
    return ok ? QVariant(list) : QVariant();
}

QVariant VariantConverter::convert(PyObject *o, int type, bool plain)
{
    if (!o)
        return QVariant();
    if (type == InferType)
        type = inferType(o);
    else if (unsigned(type) > HighestKnownType)
        return QVariant();
    switch (type) {
    case QMetaType::QVariantMap: return toMap(o);
    case QMetaType::QVariantList: return toList(o, plain);
    case QMetaType::Double: // the most common member of a large list, in line; it needs no local
        if (isExactFloat(o))
            return QVariant(PyFloat_AS_DOUBLE(o));
        return toLeaf(o, type);
    default: return toLeaf(o, type);
    }
}

QVariant VariantConverter::toLeaf(PyObject *o, int type)
{
    switch (type) {
    case QMetaType::Bool: return toBool(o);
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::UShort:
    case QMetaType::UChar: return toSmallInteger(o, type);
    case QMetaType::Double: return toDouble(o);
    case QMetaType::Float: return toFloat(o);
    case QMetaType::Long:
    case QMetaType::ULong: return toLong(o, type);
    case QMetaType::QString:
    case QMetaType::QByteArray:
    case QMetaType::QKeySequence: return toText(o, type);
    case QMetaType::QStringList: return toStringList(o);
    default: return QVariant();
    }
}

} // namespace

// A tree that cannot be allocated is the invalid variant, with no Python error pending.
QVariant TPyQtWrapping::PyObject2QVariant(PyObject *pyObject, int type)
{
    return orRefusal([&] { return VariantConverter().convert(pyObject, type); }, nothing<QVariant>);
}

// ---- Variant to Python --------------------------------------------------------------------------

namespace {

template <typename T>
T valueAt(const void *data)
{
    return *static_cast<const T *>(data);
}

} // namespace

namespace {

PyObject *valueToPython(int type, void *data)
{
    switch (type) {
    case QMetaType::Bool: return TPyQtWrapping::bool2PyObject(valueAt<unsigned char>(data) != 0);
    case QMetaType::Int:
    case QMetaType::UInt: return PyLong_FromLong(valueAt<int32_t>(data));
    case QMetaType::LongLong: return PyLong_FromLongLong(valueAt<qlonglong>(data));
    case QMetaType::ULongLong: return PyLong_FromUnsignedLongLong(valueAt<qulonglong>(data));
    case QMetaType::Double: return PyFloat_FromDouble(valueAt<double>(data));
    case QMetaType::QChar: return PyLong_FromLong(int16_t(valueAt<QChar>(data).unicode()));
    case QMetaType::QString: return TPyQtWrapping::QString2PyObject(valueAt<QString>(data));
    case QMetaType::QStringList: return TPyQtWrapping::QStringList2PyObject(valueAt<QStringList>(data));
    case QMetaType::QByteArray: return PyBytes_FromString(valueAt<QByteArray>(data).constData());
    case QMetaType::Long: return PyLong_FromLong(int32_t(valueAt<long>(data)));
    case QMetaType::Short: return PyLong_FromLong(valueAt<int16_t>(data));
    case QMetaType::Char: return PyLong_FromLong(valueAt<signed char>(data));
    case QMetaType::ULong: return PyLong_FromUnsignedLong(uint32_t(valueAt<unsigned long>(data)));
    case QMetaType::UShort: return PyLong_FromLong(valueAt<uint16_t>(data));
    case QMetaType::UChar: return PyLong_FromLong(valueAt<unsigned char>(data));
    case QMetaType::Float: return PyFloat_FromDouble(double(valueAt<float>(data)));
    case QMetaType::QKeySequence:
        return TPyQtWrapping::QString2PyObject(
            valueAt<QKeySequence>(data).toString(QKeySequence::PortableText));
    default: Py_RETURN_NONE;
    }
}

} // namespace

// A value whose Python object cannot be made gives null with a MemoryError pending.
PyObject *TPyQtWrapping::voidType2PyObjectInternal(int type, void *data)
{
    if (!data)
        Py_RETURN_NONE;
    return orRefusal([&] { return valueToPython(type, data); }, PyErr_NoMemory);
}

PyObject *TPyQtWrapping::QVariant2PyObject(const QVariant &variant)
{
    return voidType2PyObjectInternal(variant.userType(), const_cast<void *>(variant.constData()));
}

PyObject *TPyQtWrapping::QVariantList2PyObject(const QList<QVariant> &list)
{
    if (list.isEmpty())
        Py_RETURN_NONE;
    return buildReportedList(
        list.size(), ListReport("QList<QVariant>"),
        [&](Py_ssize_t i) { return QVariant2PyObject(list.at(QtIndex(i))); },
        [&](Py_ssize_t i) { return variantText(list.at(QtIndex(i))); });
}
