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
    if (!present)
        return "null"; // a null row's range is not walked
    std::string out = "[";
    for (Iterator it = begin; it != end; ++it)
        out += (it == begin ? "" : ", ") + numberText(double(*it)).toStdString();
    return out + "]";
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

// A variant tree as one line: type name and value, containers with their members, as
// "list[int(1), map{k: QString("a")}]"; "invalid" for the invalid variant.
inline std::string variantText(const QVariant &v)
{
    std::string out;
    const QVariantMap map = v.toMap(); // empty unless a map
    for (auto it = map.begin(); it != map.end(); ++it)
        out += (out.empty() ? "" : ", ") + it.key().toStdString() + ": " + variantText(it.value());
    for (const QVariant &member : v.userType() == QMetaType::QVariantList ? v.toList() : QVariantList())
        out += (out.empty() ? "" : ", ") + variantText(member);
    if (v.userType() == QMetaType::QVariantList)
        return "list[" + out + "]";
    if (v.userType() == QMetaType::QVariantMap)
        return "map{" + out + "}";
    return v.isValid() ? (typeName(v) + QLatin1Char('(') + leafText(v) + QLatin1Char(')')).toStdString()
                       : "invalid";
}

} // namespace HostSupport

#endif // VALUETEXT_H
