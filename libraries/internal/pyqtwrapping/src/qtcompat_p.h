// The differences between the Qt majors the library builds against (5 and 6), in one place, so that
// the conversions read the same and behave the same under both.
#ifndef QTCOMPAT_P_H
#define QTCOMPAT_P_H

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QVariant>

#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace PyQtWrappingPrivate {

// A text's length as QString counts it (int in Qt 5, qsizetype in Qt 6), and the most UTF-16 code
// units a QString may hold: a longer text is refused, never cut or wrapped. Qt 6 allows a block of
// up to the largest signed size in bytes, header included.
using TextSize = decltype(std::declval<QString>().size());
// An index into a Qt container, of the same type: a Qt 6 list may hold more than 2**31 elements.
using QtIndex = TextSize;
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
constexpr size_t MaxTextUnits = (size_t(std::numeric_limits<qsizetype>::max()) - 64) / sizeof(char16_t);
#else
constexpr size_t MaxTextUnits = size_t(std::numeric_limits<int>::max());
#endif

// A variant of the given type holding a copy of the value at the pointer.
inline QVariant variantOf(int type, const void *value)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QVariant(QMetaType(type), value);
#else
    return QVariant(type, value);
#endif
}

// Fills a QList of a known length front to back, as fast as each version allows: Qt 6's QList is
// an array, sized once and written in place (from Qt 6.8 a list of numbers without clearing it
// first, which costs it a fifth of its time); Qt 5's is reserved once and appended to. Qt 6 gives a
// list whose storage could not be allocated no capacity rather than an exception, so that is thrown
// here, before anything is written.
template <typename T>
class ListFiller
{
public:
    explicit ListFiller(int n)
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        : m_list(sized(n > 0 ? n : 0)), m_next(m_list.data())
    {}
    void add(T value) { *m_next++ = std::move(value); }
#else
    {
        m_list.reserve(n); // a negative count reserves nothing
    }
    void add(T value) { m_list.append(std::move(value)); }
#endif
    QList<T> take() { return std::move(m_list); }

private:
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    static QList<T> sized(int n)
    {
        QList<T> list;
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
        if constexpr (std::is_trivial_v<T>)
            list = QList<T>(n, Qt::Uninitialized);
        else
#endif
            list.reserve(n);
        if (list.capacity() < n)
            throw std::bad_alloc();
        list.resize(n); // within the capacity: nothing more is allocated
        return list;
    }
#endif
    QList<T> m_list;
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    T *m_next;
#endif
};

// A text to read a number from, the same under both majors: Qt 5 reads no number from a text that
// holds U+0000, Qt 6 reads up to the U+0000 and takes what came before ("4", U+0000, "1" gives 4).
// The library keeps the refusal.
inline QString numberText(const QString &text) { return text.contains(QChar(0)) ? QString() : text; }

// A variant's text, the same under both majors: Qt 6 keeps a QByteArray's zero bytes in its text,
// Qt 5 ends the text at the first; the library ends it there.
inline QString variantText(const QVariant &variant)
{
    if (variant.userType() != QMetaType::QByteArray)
        return variant.toString();
    const QByteArray bytes = variant.toByteArray();
    const char *data = bytes.constData();
    const void *zero = std::memchr(data, 0, size_t(bytes.size())); // no uint cut of a 4 GiB array
    return QString::fromUtf8(data, zero ? QtIndex(static_cast<const char *>(zero) - data) : bytes.size());
}

} // namespace PyQtWrappingPrivate

#endif // QTCOMPAT_P_H
