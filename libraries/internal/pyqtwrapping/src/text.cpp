#include "tpyqtwrapping_p.h"

#include <algorithm>
#include <cstring>

using namespace PyQtWrappingPrivate;

namespace {

bool isByteOrderMark(char32_t unit) { return unit == 0xFEFF || unit == 0xFFFE; }

// The length up to the first zero unit of a run of units that is followed by a zero unit, as the
// interpreter keeps every str's and bytes' storage.
template <typename Unit>
Py_ssize_t lengthToNul(const Unit *units, Py_ssize_t length)
{
    if (sizeof(Unit) == 1)
        return Py_ssize_t(std::strlen(reinterpret_cast<const char *>(units)));
    Py_ssize_t n = 0;
    while (n < length && units[n] != 0)
        ++n;
    return n;
}

// A str's characters up to its first U+0000, read straight from the interpreter's storage.
// A leading U+FEFF or U+FFFE goes through QString::fromUtf16, whose byte-order-mark handling
// decides what it means; every other text is copied code unit for code unit, which is what
// fromUtf16 gives for it.
QString strToQString(PyObject *str)
{
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(str) < 0)
        return QString(); // MemoryError stays pending
#endif
    const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    const void *data = PyUnicode_DATA(str);
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND: {
        const auto *chars = static_cast<const char *>(data);
        return QString::fromLatin1(chars, int(lengthToNul(chars, length)));
    }
    case PyUnicode_2BYTE_KIND: {
        const auto *units = static_cast<const Py_UCS2 *>(data);
        const int n = int(lengthToNul(units, length));
        if (n > 0 && isByteOrderMark(units[0]))
            return QString::fromUtf16(units, n);
        return QString(reinterpret_cast<const QChar *>(units), n);
    }
    default: {
        const auto *points = static_cast<const Py_UCS4 *>(data);
        const Py_UCS4 *end = points + lengthToNul(points, length);
        const Py_ssize_t astral =
            std::count_if(points, end, [](Py_UCS4 c) { return c > 0xFFFF; });
        QString result(int(end - points + astral), Qt::Uninitialized);
        auto *out = reinterpret_cast<char16_t *>(result.data());
        for (const Py_UCS4 *p = points; p != end; ++p) {
            if (*p > 0xFFFF) {
                *out++ = char16_t(0xD800 + ((*p - 0x10000) >> 10));
                *out++ = char16_t(0xDC00 + ((*p - 0x10000) & 0x3FF));
            } else {
                *out++ = char16_t(*p);
            }
        }
        if (!result.isEmpty() && isByteOrderMark(result.at(0).unicode()))
            return QString::fromUtf16(result.utf16(), result.size());
        return result;
    }
    }
}

bool isHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

} // namespace

QString TPyQtWrapping::PyObject2QString(PyObject *pyObject)
{
    if (!pyObject || pyObject == Py_None)
        return QString();
    if (isExactStr(pyObject))
        return strToQString(pyObject);
    if (PyBytes_Check(pyObject)) {
        const char *bytes = PyBytes_AS_STRING(pyObject);
        return QString::fromUtf8(bytes, int(lengthToNul(bytes, PyBytes_GET_SIZE(pyObject))));
    }
    return QString();
}

PyObject *TPyQtWrapping::QString2PyObject(const QString &text)
{
    if (text.isEmpty())
        return Py_BuildValue("s", "");
    return QString2PyUnicode(text);
}

PyObject *TPyQtWrapping::QString2PyUnicode(const QString &text)
{
    const int n = text.size();
    if (n == 0)
        return nullptr;
    const char16_t *units = reinterpret_cast<const char16_t *>(text.utf16());

    // A short text is narrowed on the stack while its widest unit is found, so that a one-byte
    // str is made with one pass and a block copy.
    constexpr int ShortText = 64;
    if (n <= ShortText) {
        unsigned char narrow[ShortText];
        char16_t widestShort = 0;
        int i = 0;
        for (; i < n && units[i] <= 0xFF; ++i) {
            narrow[i] = static_cast<unsigned char>(units[i]);
            widestShort = std::max(widestShort, units[i]);
        }
        if (i == n) {
            PyObject *str = PyUnicode_New(n, widestShort);
            if (str)
                std::memcpy(PyUnicode_1BYTE_DATA(str), narrow, size_t(n));
            return str;
        }
    }

    // The widest unit decides the storage; only a text with surrogates can hold pairs.
    const char32_t widest = *std::max_element(units, units + n);
    if (widest < 0xD800) {
        PyObject *str = PyUnicode_New(n, widest);
        if (!str)
            return nullptr;
        if (widest <= 0xFF)
            std::copy(units, units + n, PyUnicode_1BYTE_DATA(str));
        else
            std::memcpy(PyUnicode_2BYTE_DATA(str), units, size_t(n) * 2);
        return str;
    }

    Py_ssize_t pairs = 0;
    char32_t maxChar = 0;
    for (int i = 0; i < n; ++i) {
        char32_t c = units[i];
        if (isHighSurrogate(c) && i + 1 < n && isLowSurrogate(units[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++pairs;
            ++i;
        }
        maxChar = std::max(maxChar, c);
    }
    PyObject *str = PyUnicode_New(n - pairs, maxChar);
    if (!str)
        return nullptr;
    if (pairs == 0) {
        std::memcpy(PyUnicode_2BYTE_DATA(str), units, size_t(n) * 2);
        return str;
    }
    Py_UCS4 *out = PyUnicode_4BYTE_DATA(str);
    for (int i = 0; i < n; ++i) {
        char32_t c = units[i];
        if (isHighSurrogate(c) && i + 1 < n && isLowSurrogate(units[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        }
        *out++ = c;
    }
    return str;
}

// ---- Python string literals ---------------------------------------------------------------------

QString TPyQtWrapping::qstringToPythonString(const QString &text)
{
    // Latin-1 text is exactly the text that survives a round trip through Latin-1.
    const ushort *units = text.utf16();
    const bool latin1 =
        std::all_of(units, units + text.size(), [](ushort unit) { return unit <= 0xFF; });
    if (!latin1)
        return QLatin1String("u\"") + text + QLatin1Char('"');
    QString quoted = QLatin1Char('"') + text + QLatin1Char('"');
    return quoted.replace(QLatin1String("\\"), QLatin1String("\\\\"));
}

QString TPyQtWrapping::pythonStringToQString(const QString &text)
{
    const QLatin1String escape("\\u");
    if (!text.startsWith(escape))
        return QString(text).replace(QLatin1String("\\\\"), QLatin1String("\\"));

    const QStringList parts = text.split(escape, Qt::KeepEmptyParts);
    QString result;
    result.reserve(parts.size() - 1);
    for (int i = 1; i < parts.size(); ++i) {
        bool parsed = false;
        const int value = parts.at(i).toInt(&parsed, 16);
        if (parsed) {
            result.append(QChar(ushort(value)));
        } else {
            showErrorMessage(QStringLiteral("pythonStringToQString: Error with character %1: %2")
                                 .arg(parts.at(i), QString::number(value)));
        }
    }
    return result;
}

// ---- String lists and tables --------------------------------------------------------------------

namespace {

// Sequences that a strict string-list conversion refuses: text rather than a list of texts.
bool isTextRefusedWhenStrict(PyObject *object)
{
    return isExactBytes(object) || PyUnicode_Check(object);
}

// A failed fetch gives a null item, which converts to a null string.
PyRef sequenceItem(PyObject *sequence, Py_ssize_t index)
{
    PyRef item(PySequence_GetItem(sequence, index));
    if (!item)
        PyErr_Clear();
    return item;
}

} // namespace

PyObject *TPyQtWrapping::QStringList2PyObject(const QStringList &list)
{
    return buildList(list.size(), [&](Py_ssize_t i) { return QString2PyObject(list.at(int(i))); });
}

QStringList TPyQtWrapping::PyObject2QStringList(PyObject *pyObject, bool strict, bool *ok)
{
    QStringList result;
    setOk(ok, false);
    if (!pyObject || (strict && isTextRefusedWhenStrict(pyObject)) || !PySequence_Check(pyObject))
        return result;
    const int n = sequenceCount(pyObject);
    result.reserve(std::max(n, 0));
    forEachItem(pyObject, n, [&](PyObject *item) { result.append(PyObject2QString(item)); });
    setOk(ok, true);
    return result;
}

QList<QStringList> TPyQtWrapping::PyObject2QListOfQStringList(PyObject *pyObject, bool strict,
                                                              bool *ok)
{
    QList<QStringList> result;
    setOk(ok, false);
    if (!pyObject || (strict && isTextRefusedWhenStrict(pyObject)) || !PySequence_Check(pyObject))
        return result;
    const int n = sequenceCount(pyObject);
    for (int i = 0; i < n; ++i) {
        bool itemOk = false;
        QStringList inner = PyObject2QStringList(sequenceItem(pyObject, i).get(), true, &itemOk);
        if (!itemOk)
            return result;
        result.append(std::move(inner));
    }
    setOk(ok, true);
    return result;
}

QString *TPyQtWrapping::PyObject2QStringTable(PyObject *pyObject)
{
    if (!pyObject || !PyList_Check(pyObject))
        return nullptr;
    const int n = count32(PyList_GET_SIZE(pyObject));
    if (n < 1)
        return nullptr;
    auto *table = new QString[size_t(n)];
    for (int i = 0; i < n; ++i) {
        // An element's __float__ may shrink the list: hold the item while it converts, and let
        // an index that no longer exists give a null string.
        PyRef item = PyRef::borrowed(PyList_GetItem(pyObject, i));
        if (!item) {
            PyErr_Clear();
            continue;
        }
        if (isExactBytes(item.get())) {
            table[i] = PyObject2QString(item.get());
            continue;
        }
        float value = 0;
        if (PyArg_Parse(item.get(), "f", &value))
            table[i] = QString::number(double(value), 'g', 6);
        else
            PyErr_Clear();
    }
    return table;
}

PyObject *TPyQtWrapping::QStringTable2PyObject(QString *table, unsigned long long count)
{
    if (!table)
        Py_RETURN_NONE;
    // A count beyond the signed size range turns negative and is refused like an allocation.
    return buildList(
        static_cast<Py_ssize_t>(count), [&](Py_ssize_t i) { return QString2PyObject(table[i]); },
        [count] {
            showErrorMessage(QStringLiteral(
                "ERROR: converting QString* to Python list: null list returned for size %1")
                                 .arg(count));
        });
}
