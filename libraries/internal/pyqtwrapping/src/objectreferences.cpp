// QObjects named by object paths in a tree, and carried through Python as text handles.
#include "tpyqtwrapping_p.h"

#include <limits>

#include <QObject>

using PyQtWrappingPrivate::nothing;
using PyQtWrappingPrivate::numberText;
using PyQtWrappingPrivate::orRefusal;
using PyQtWrappingPrivate::Touches;

QString TPyQtWrapping::QObjectPtr2QObjectID(QObject *object)
{
    return object ? object->objectName() : QString();
}

namespace {

// The direct child of parent that one path step names, or null. Named children match by name;
// unnamed ones count by class name and the N-th of them matches. The last match wins.
const QObject *resolveStep(const QObject *parent, const QString &step)
{
    QString target = step;
    uint occurrence = 1;
    if (step.contains(QLatin1Char(':'))) {
        const QStringList pieces = step.split(QLatin1Char(':'), Qt::KeepEmptyParts);
        target = pieces.at(0);
        occurrence = numberText(pieces.at(1)).toUInt(nullptr, 10);
    }
    const QObject *found = nullptr;
    uint unnamedCount = 0;
    for (const QObject *child : parent->children()) {
        if (!child)
            continue;
        const QString name = child->objectName();
        if (!name.isEmpty()) {
            if (name == target)
                found = child;
            continue;
        }
        const QMetaObject *meta = child->metaObject();
        if (meta && QLatin1String(meta->className()) == target && ++unnamedCount == occurrence)
            found = child;
    }
    return found;
}

const QObject *resolvePath(const QString &path, const QObject *root)
{
    const QObject *current = root;
    for (const QString &step : path.split(QLatin1Char('.'), Qt::SkipEmptyParts)) {
        if (!current)
            return nullptr;
        current = resolveStep(current, step);
        if (!current)
            return nullptr;
    }
    return current;
}

} // namespace

// Memory running out while the path is read gives null, as a path that names nothing.
const QObject *TPyQtWrapping::QObjectIDQObjectPtr(const QString &path, const QObject *root)
{
    return orRefusal<Touches::QtOnly>([&] { return resolvePath(path, root); }, nothing<const QObject *>);
}

PyObject *TPyQtWrapping::QObject2PyObject(QObject *object)
{
    return orRefusal(
        [object] {
            return QString2PyObject(
                QString::number(static_cast<qulonglong>(reinterpret_cast<quintptr>(object)), 16));
        },
        PyErr_NoMemory);
}

QObject *TPyQtWrapping::PyObject2QObject(PyObject *pyObject)
{
    const qulonglong value = orRefusal(
        [pyObject] { return PyObject2QString(pyObject).toULongLong(nullptr, 16); }, nothing<qulonglong>);
    // A value wider than a pointer names no object here (a handle from a 64-bit process read by a
    // 32-bit one), rather than the object its low bits would name.
    return value <= std::numeric_limits<quintptr>::max()
               ? reinterpret_cast<QObject *>(static_cast<quintptr>(value))
               : nullptr;
}
