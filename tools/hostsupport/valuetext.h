// Qt values as short texts, the way the tool prints them and the tests compare them: numbers in
// their shortest exact form, texts quoted, variants by type name and value.
#ifndef VALUETEXT_H
#define VALUETEXT_H

#include "metatypes.h"
#include "tpyqtwrapping.h"

#include <QKeySequence>
#include <QLocale>
#include <QStringList>
#include <QVariant>

#include <cmath>
#include <string>

namespace HostSupport {

// The shortest text that reads back as the same double: 0.1, -0, 1e+39, nan.
inline QString numberText(double value)
{
    if (value == 0 && std::signbit(value))
        return QStringLiteral("-0"); // QString::number drops the sign of zero
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

// Numbers as "[a, b, ...]", or "null" for a table that is not there.
template <typename Iterator>
std::string numbers(Iterator begin, Iterator end, bool present = true)
{
    std::string out = "[";
    for (Iterator it = begin; it != end; ++it)
        out += (it == begin ? "" : ", ") + numberText(double(*it)).toStdString();
    return present ? out + "]" : "null";
}

inline const char *boolText(bool b) { return b ? "true" : "false"; }

// A text as a double-quoted literal; "null" for a null QString.
inline QString quoted(const QString &s)
{
    return s.isNull() ? QStringLiteral("null") : TPyQtWrapping::qstringToPythonString(s);
}

inline QString typeName(const QVariant &v)
{
    return v.isValid() ? metaTypeName(v.userType()) : QStringLiteral("invalid");
}

// The value of a leaf variant as one piece of text. A char is shown signed on every platform, as
// the library reads it.
inline QString leafText(const QVariant &v)
{
    switch (v.userType()) {
    case QMetaType::UnknownType: return QStringLiteral("(QVariant())");
    case QMetaType::Bool: return QLatin1String(boolText(v.toBool()));
    case QMetaType::Double:
    case QMetaType::Float: return numberText(v.toDouble());
    case QMetaType::Char: return QString::number(static_cast<signed char>(v.value<char>()));
    case QMetaType::UChar: return QString::number(v.toInt());
    case QMetaType::QChar:
        return QStringLiteral("U+%1").arg(uint(v.toChar().unicode()), 4, 16, QLatin1Char('0'));
    case QMetaType::QString: return quoted(v.toString());
    case QMetaType::QByteArray: return quoted(QString::fromUtf8(v.toByteArray()));
    case QMetaType::QStringList: {
        QStringList items;
        for (const QString &s : v.toStringList())
            items << quoted(s);
        return QLatin1Char('[') + items.join(QStringLiteral(", ")) + QLatin1Char(']');
    }
    case QMetaType::QKeySequence: return quoted(v.value<QKeySequence>().toString(QKeySequence::PortableText));
    default: return v.toString();
    }
}

} // namespace HostSupport

#endif // VALUETEXT_H
