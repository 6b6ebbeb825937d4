// str and bytes to QString and back, the Python string-literal codec, string lists and tables.
#include "textunits_p.h"
#include "tpyqtwrapping_p.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

using namespace PyQtWrappingPrivate;

// ---- Strings ------------------------------------------------------------------------------------

namespace {

bool isByteOrderMark(char32_t unit) { return unit == 0xFEFF || unit == 0xFFFE; }
bool isHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The length of units 0 to n-1 up to the first zero unit.
template <typename Unit>
size_t lengthToNul(const Unit *units, size_t n)
{
    return TextUnits::lengthToZero(units, n);
}

QString textOf(const Py_UCS1 *chars, size_t n)
{
    return QString::fromLatin1(reinterpret_cast<const char *>(chars), TextSize(n));
}
QString textOf(const Py_UCS2 *units, size_t n)
{
    return QString(reinterpret_cast<const QChar *>(units), TextSize(n));
}

// The text of a 1-byte or 2-byte str's storage up to its first zero, for a long one: copied and
// searched in one pass, since a str seldom holds a zero and searching first reads it twice. Kept
// out of line, away from the short texts' path.
template <typename Unit>
Q_NEVER_INLINE QString longTextUpToNul(const Unit *units, size_t n)
{
    if (n > MaxTextUnits && (n = lengthToNul(units, n)) > MaxTextUnits)
        return QString(); // longer than a QString holds, even up to its first zero
    QString text(TextSize(n), Qt::Uninitialized);
    if (TextUnits::copyToUtf16(units, n, reinterpret_cast<char16_t *>(text.data())))
        text.truncate(TextSize(lengthToNul(units, n)));
    return text;
}

// The same for any length: a short text is searched first, then copied by Qt, which is quicker at
// that size.
template <typename Unit>
QString textUpToNul(const Unit *units, size_t n)
{
    if (n >= TextUnits::UnitsPerLine<Unit>)
        return longTextUpToNul(units, n);
    return textOf(units, lengthToNul(units, n));
}

// The text as QString::fromUtf16 would read it. Only a text that starts with U+FEFF or U+FFFE goes
// through fromUtf16, which takes that unit for a byte-order mark; any other text would come back
// unchanged, so it is returned as it is. Taken by value and moved out, so that the usual text
// costs no reference counting.
QString readByteOrderMark(QString text)
{
    if (!text.isEmpty() && isByteOrderMark(text.at(0).unicode()))
        return QString::fromUtf16(reinterpret_cast<const char16_t *>(text.utf16()), text.size());
    return text;
}

// Code points of a 4-byte str, with those beyond U+FFFF as surrogate pairs; null when that makes
// more units than a QString holds.
QString fromCodePoints(const Py_UCS4 *points, size_t n)
{
    const auto astral = size_t(std::count_if(points, points + n, [](Py_UCS4 c) { return c > 0xFFFF; }));
    if (n + astral > MaxTextUnits)
        return QString();
    QString text(TextSize(n + astral), Qt::Uninitialized);
    auto *out = reinterpret_cast<char16_t *>(text.data());
    for (const Py_UCS4 *p = points; p != points + n; ++p) {
        if (QChar::requiresSurrogates(*p)) {
            *out++ = QChar::highSurrogate(*p);
            *out++ = QChar::lowSurrogate(*p);
        } else {
            *out++ = char16_t(*p);
        }
    }
    return readByteOrderMark(std::move(text));
}

// A str's characters up to its first U+0000, read straight from the interpreter's storage.
QString strToQString(PyObject *str)
{
    if (!strStorageReady(str))
        return QString(); // the MemoryError stays pending
    const void *data = PyUnicode_DATA(str);
    const auto n = size_t(PyUnicode_GET_LENGTH(str));
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND: return textUpToNul(static_cast<const Py_UCS1 *>(data), n);
    case PyUnicode_2BYTE_KIND: return readByteOrderMark(textUpToNul(static_cast<const Py_UCS2 *>(data), n));
    default: {
        const auto *points = static_cast<const Py_UCS4 *>(data);
        return fromCodePoints(points, lengthToNul(points, n));
    }
    }
}

// Text without surrogates, a code point per unit, into the 1-byte or 2-byte storage that the OR of
// its units calls for.
PyObject *strOfNarrowUnits(const char16_t *units, Py_ssize_t n, char16_t bits)
{
    PyObject *str = PyUnicode_New(n, bits);
    if (!str)
        return nullptr;
    if (bits <= 0xFF)
        TextUnits::narrowToLatin1(units, size_t(n), PyUnicode_1BYTE_DATA(str));
    else
        std::memcpy(PyUnicode_2BYTE_DATA(str), units, size_t(n) * 2);
    return str;
}

// Text with surrogates: each high-low pair is one code point, lone surrogates stay as they are.
// The interpreter picks the storage from the widest code point.
PyObject *strJoiningPairs(const char16_t *units, Py_ssize_t n)
{
    const std::unique_ptr<Py_UCS4[]> points(newArray<Py_UCS4>(size_t(n)));
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (isHighSurrogate(units[i]) && i + 1 < n && isLowSurrogate(units[i + 1])) {
            points[count++] = QChar::surrogateToUcs4(units[i], units[i + 1]);
            ++i;
        } else {
            points[count++] = units[i];
        }
    }
    return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, points.get(), count);
}

// A str of a text's n units, every code unit kept; no units give ''.
PyObject *makeStr(const char16_t *units, Py_ssize_t n)
{
    if (n == 0)
        return Py_BuildValue("s", "");
    const char16_t bits = TextUnits::unitsOr(units, size_t(n));
    const bool surrogates =
        bits >= 0xD800 && std::any_of(units, units + n, [](char16_t u) { return QChar::isSurrogate(u); });
    return surrogates ? strJoiningPairs(units, n) : strOfNarrowUnits(units, n, bits);
}

// The same, or null with a MemoryError pending when it cannot be made.
PyObject *strOf(const char16_t *units, Py_ssize_t n)
{
    return orRefusal([&] { return makeStr(units, n); }, PyErr_NoMemory);
}

const char16_t *unitsOf(const QString &text) { return reinterpret_cast<const char16_t *>(text.constData()); }

PyObject *strOf(const QString &text) { return strOf(unitsOf(text), text.size()); }

// Makes the strs of a run of texts, in order. To find a text's units the processor must load the
// QString and then the block it points to, one after the other. This class starts those loads for
// the next text before it converts the current one, so they run while the interpreter allocates
// the current str instead of after it. A long list of short texts converts about a quarter faster.
template <typename Texts>
class StrsInOrder
{
public:
    StrsInOrder(Texts first, Py_ssize_t count) : m_next(first), m_count(count) {}

    // The str of text i, for i = 0, 1, ... in turn.
    PyObject *str(Py_ssize_t i)
    {
        if (i == 0)
            readNext();
        const char16_t *units = m_units;
        const Py_ssize_t n = m_size;
        if (i + 1 < m_count)
            readNext();
        return strOf(units, n);
    }

private:
    void readNext()
    {
        m_units = unitsOf(*m_next);
        m_size = m_next->size();
        ++m_next;
    }

    Texts m_next;
    const Py_ssize_t m_count;
    const char16_t *m_units = nullptr;
    Py_ssize_t m_size = 0;
};

} // namespace

namespace {

// The UTF-8 of a bytes object up to its first zero byte; null when there are more bytes than a
// QString holds units (Qt 5 reads no more in one call, and a byte gives at most one unit).
QString bytesToQString(PyObject *bytes)
{
    const char *data = PyBytes_AS_STRING(bytes);
    const size_t n = lengthToNul(data, size_t(PyBytes_GET_SIZE(bytes)));
    return n > MaxTextUnits ? QString() : QString::fromUtf8(data, TextSize(n));
}

} // namespace

QString PyQtWrappingPrivate::textOfObject(PyObject *object)
{
    if (!object || object == Py_None)
        return QString();
    if (isExactStr(object))
        return strToQString(object);
    if (PyBytes_Check(object))
        return bytesToQString(object);
    return QString();
}

QString TPyQtWrapping::PyObject2QString(PyObject *pyObject)
{
    return orRefusal([pyObject] { return textOfObject(pyObject); }, nothing<QString>);
}

PyObject *TPyQtWrapping::QString2PyObject(const QString &text) { return strOf(text); }

PyObject *TPyQtWrapping::QString2PyUnicode(const QString &text)
{
    return text.isEmpty() ? nullptr : strOf(text);
}

// ---- Python string literals ---------------------------------------------------------------------

namespace {

QString quotedLiteral(const QString &text)
{
    // Latin-1 text is exactly the text that survives a round trip through Latin-1.
    const ushort *units = text.utf16();
    const bool latin1 = std::all_of(units, units + text.size(), [](ushort unit) { return unit <= 0xFF; });
    if (!latin1)
        return QLatin1String("u\"") + text + QLatin1Char('"');
    QString quoted = QLatin1Char('"') + text + QLatin1Char('"');
    return quoted.replace(QLatin1String("\\"), QLatin1String("\\\\"));
}

QString unescapedLiteral(const QString &text)
{
    const QLatin1String escape("\\u");
    if (!text.startsWith(escape))
        return QString(text).replace(QLatin1String("\\\\"), QLatin1String("\\"));

    const QStringList parts = text.split(escape, Qt::KeepEmptyParts);
    QString result;
    for (int i = 1; i < parts.size(); ++i) {
        bool parsed = false;
        const int value = numberText(parts.at(i)).toInt(&parsed, 16);
        if (parsed) {
            result.append(QChar(ushort(value)));
        } else {
            reportMade([&] {
                return QStringLiteral("pythonStringToQString: Error with character %1: %2")
                    .arg(parts.at(i), QString::number(value));
            });
        }
    }
    return result;
}

} // namespace

// A text that cannot be made for lack of memory is the null QString.
QString TPyQtWrapping::qstringToPythonString(const QString &text)
{
    return orRefusal<Touches::QtOnly>([&] { return quotedLiteral(text); }, nothing<QString>);
}

QString TPyQtWrapping::pythonStringToQString(const QString &text)
{
    return orRefusal([&] { return unescapedLiteral(text); }, nothing<QString>);
}

// ---- String lists and tables --------------------------------------------------------------------

namespace {

// The sequences a string-list conversion takes: strict, text is refused rather than split.
bool isStringListSource(PyObject *object, bool strict)
{
    if (!object || (strict && (isExactBytes(object) || PyUnicode_Check(object))))
        return false;
    return PySequence_Check(object);
}

// A number as the text of its 32-bit float value, the way PyArg_Parse's "f" unit reads it.
QString floatText(PyObject *item)
{
    float value = 0;
    if (PyArg_Parse(item, "f", &value))
        return QString::number(double(value), 'g', 6);
    PyErr_Clear();
    return QString();
}

} // namespace

PyObject *TPyQtWrapping::QStringList2PyObject(const QStringList &list)
{
    StrsInOrder<QStringList::const_iterator> texts(list.cbegin(), list.size());
    return buildStrList(list.size(), nullptr, [&](Py_ssize_t i) { return texts.str(i); });
}

QStringList TPyQtWrapping::PyObject2QStringList(PyObject *pyObject, bool strict, bool *ok)
{
    const bool accepted = isStringListSource(pyObject, strict);
    setOk(ok, accepted);
    if (!accepted)
        return QStringList();
    return orRefusal(
        [&] {
            TextReader texts;
            return convertItems<QString>(pyObject, texts);
        },
        emptyAndNotOk<QStringList>(ok));
}

namespace {

// The inner lists as PyObject2QStringList reads them in strict mode; an inner list met again gives
// the list it gave the first time.
QList<QStringList> stringTable(PyObject *pyObject, bool strict, bool *ok)
{
    QList<QStringList> result;
    setOk(ok, false);
    if (!isStringListSource(pyObject, strict))
        return result;
    SeenObjects<QStringList> seen;
    TextReader texts;
    const int n = sequenceCount(pyObject);
    for (int i = 0; i < n; ++i) {
        const PyRef item = sequenceItem(pyObject, i);
        if (!item || !isStringListSource(item.get(), true))
            return result;
        if (const QStringList *known = seen.find(item.get())) {
            result.append(*known);
            continue;
        }
        result.append(convertItems<QString>(item.get(), texts));
        seen.add(item.get(), result.last());
    }
    setOk(ok, true);
    return result;
}

// The n items of a list as texts, or null when the list no longer has n items at the end.
QString *listToTexts(PyObject *list, int n)
{
    std::unique_ptr<QString[]> table(newArray<QString>(size_t(n)));
    TextReader texts;
    for (int i = 0; i < n; ++i) {
        // An element's __float__ may change the list: a gone index gives a null string.
        const PyRef item = sequenceItem(list, i, ItemAccess::ListStorage);
        if (item)
            table[i] = isExactBytes(item.get()) ? texts(item.get()) : floatText(item.get());
    }
    return listStillHolds(list, n) ? table.release() : nullptr;
}

} // namespace

// Lists that cannot be allocated: the empty list with the ok flag false.
QList<QStringList> TPyQtWrapping::PyObject2QListOfQStringList(PyObject *pyObject, bool strict, bool *ok)
{
    return orRefusal([&] { return stringTable(pyObject, strict, ok); },
                     emptyAndNotOk<QList<QStringList>>(ok));
}

QString *TPyQtWrapping::PyObject2QStringTable(PyObject *pyObject)
{
    if (!pyObject || !PyList_Check(pyObject))
        return nullptr;
    const int n = count32(PyList_GET_SIZE(pyObject));
    if (n < 1)
        return nullptr;
    return orRefusal([&] { return listToTexts(pyObject, n); }, nothing<QString *>);
}

PyObject *TPyQtWrapping::QStringTable2PyObject(QString *table, unsigned long long count)
{
    if (!table)
        Py_RETURN_NONE;
    const ListReport report("QString*");
    StrsInOrder<const QString *> texts(table, Py_ssize_t(count));
    return buildStrList(count, &report, [&](Py_ssize_t i) { return texts.str(i); });
}
