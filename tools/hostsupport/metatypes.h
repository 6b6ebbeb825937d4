// Qt type ids by name and back, as the tool names types on its command line, for Qt 5 and Qt 6.
#ifndef METATYPES_H
#define METATYPES_H

#include <QMetaType>
#include <QString>
#include <QVariant>

namespace HostSupport {

// The type id Qt registers under a type name ("QKeySequence", "short"), or 0 for none.
inline int metaTypeId(const char *name)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QMetaType::fromName(name).id();
#else
    return QMetaType::type(name);
#endif
}

inline QString metaTypeName(int type)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QString::fromLatin1(QMetaType(type).name());
#else
    return QString::fromLatin1(QMetaType::typeName(type)); // Qt 5's name() is a temporary QByteArray
#endif
}

// Qt's own conversion of a variant to the type with the given id.
inline bool convertVariant(QVariant &variant, int type)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return variant.convert(QMetaType(type));
#else
    return variant.convert(type);
#endif
}

} // namespace HostSupport

#endif // METATYPES_H
