// Python values, nested containers included, to QVariant trees, and variants back to Python.
#include "tpyqtwrapping_p.h"

#include <QKeySequence>
#include <QMap>

#include <algorithm>
#include <cfloat>
#include <vector>

using namespace PyQtWrappingPrivate;

// ---- Python to variant --------------------------------------------------------------------------

namespace {

constexpr int InferType = -1;
constexpr unsigned HighestKnownType = QMetaType::QKeySequence; // 75 in Qt 5, 4107 in Qt 6

// Containers nest at most this deep, never deeper than the interpreter's recursion limit, and
// the conversion uses at most StackBudget bytes of stack (frames are larger in some builds), so
// that neither the conversion nor the destruction of the variant tree exhausts the stack.
constexpr int DepthCap = 5000;
// AddressSanitizer surrounds every local with guard zones, which makes frames some times larger.
#if defined(__SANITIZE_ADDRESS__)
#define PYQTWRAPPING_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PYQTWRAPPING_ASAN 1
#endif
#endif
#ifdef PYQTWRAPPING_ASAN
constexpr uintptr_t StackBudget = 4 * 1024 * 1024;
#else
constexpr uintptr_t StackBudget = 2 * 1024 * 1024;
#endif

uintptr_t stackPosition() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)); }

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

// One conversion call: the containers on the current path and the depth, for cycles and nesting.
class VariantConverter
{
public:
    QVariant convert(PyObject *o, int type);

private:
    QVariant toMap(PyObject *o);
    QVariant toList(PyObject *o);
    bool enter(PyObject *container);
    void leave() { m_path.pop_back(); }

    std::vector<PyObject *> m_path;
    const uintptr_t m_stackStart = stackPosition();
};

bool VariantConverter::enter(PyObject *container)
{
    const int limit = std::min(Py_GetRecursionLimit(), DepthCap);
    const uintptr_t here = stackPosition();
    const uintptr_t used = here < m_stackStart ? m_stackStart - here : here - m_stackStart;
    if (int(m_path.size()) >= limit || used > StackBudget ||
        std::find(m_path.begin(), m_path.end(), container) != m_path.end())
        return false;
    m_path.push_back(container);
    return true;
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
    PyObject **items = PySequence_Fast_ITEMS(o);
    return std::all_of(items, items + PySequence_Fast_GET_SIZE(o), isPlainScalar);
}

// Calls visit(key, value) for the items of a mapping as PyMapping_Items lists them when the
// conversion begins, both null for an item that is no pair. An exact dict is read in place for as
// long as its values convert without running Python code; before one that may, the items left are
// taken aside, held, as they are then. False, with the error of the items call pending, when the
// items of another mapping cannot be listed.
template <typename Visit>
bool forEachMappingItem(PyObject *o, Visit &&visit)
{
    if (PyDict_CheckExact(o)) {
        Py_ssize_t position = 0;
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        while (PyDict_Next(o, &position, &key, &value)) {
            if (!convertsWithoutPython(value)) {
                std::vector<std::pair<PyRef, PyRef>> rest;
                do
                    rest.emplace_back(PyRef::borrowed(key), PyRef::borrowed(value));
                while (PyDict_Next(o, &position, &key, &value));
                for (const auto &pair : rest)
                    visit(pair.first.get(), pair.second.get());
                break;
            }
            visit(key, value);
        }
        return true;
    }
    PyRef items(PyMapping_Items(o)); // a list no Python code can reach
    if (!items)
        return false;
    const int n = count32(PyList_Size(items.get()));
    for (int i = 0; i < n; ++i) {
        PyObject *pair = PyList_GetItem(items.get(), i);
        PyObject *key = pair ? PyTuple_GetItem(pair, 0) : nullptr;
        PyObject *value = key ? PyTuple_GetItem(pair, 1) : nullptr;
        if (!value)
            PyErr_Clear();
        visit(key, value);
    }
    return true;
}

QVariant VariantConverter::toMap(PyObject *o)
{
    if (!PyMapping_Check(o) || !enter(o))
        return QVariant();
    QVariantMap map;
    bool listed = false;
    {
        DeferredError deferred;
        listed = forEachMappingItem(o, [&](PyObject *key, PyObject *value) {
            // The value first, then the key; a later equal key replaces the value.
            QVariant converted = value ? convert(value, InferType) : QVariant();
            deferred.collect();
            map.insert(textOfObject(key), std::move(converted));
        });
    }
    leave();
    return listed ? QVariant(map) : QVariant(); // a failed items call stays pending
}

QVariant VariantConverter::toList(PyObject *o)
{
    if (!PySequence_Check(o) || !enter(o))
        return QVariant();
    QVariantList list;
    const int n = count32(PySequence_Size(o)); // a failed size query stays pending
    if (n > 0) {
        DeferredError deferred;
        list.reserve(reservationFor(o, n));
        for (int i = 0; i < n; ++i) {
            const PyRef member = sequenceItem(o, i);
            list.append(member ? convert(member.get(), InferType) : QVariant());
            deferred.collect();
        }
    }
    leave();
    return QVariant(list);
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

QVariant toText(PyObject *o, int type)
{
    const QString text = textOfObject(o);
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

QVariant VariantConverter::convert(PyObject *o, int type)
{
    if (!o)
        return QVariant();
    if (type == InferType)
        type = inferType(o);
    else if (unsigned(type) > HighestKnownType)
        return QVariant();

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
    case QMetaType::QVariantMap: return toMap(o);
    case QMetaType::QVariantList: return toList(o);
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
