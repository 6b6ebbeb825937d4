// A variant tree back to Python the way a host does it with the library: QVariant2PyObject for a
// value, QVariantList2PyObject for a list's members. The library does not recurse in this
// direction, so nested lists and maps are rebuilt here. Shared by the tool and the benchmark.
#ifndef VARIANTTOPYTHON_H
#define VARIANTTOPYTHON_H

#include "tpyqtwrapping.h"

#include <QVariantMap>

inline bool isVariantContainer(const QVariant &v)
{
    return v.userType() == QMetaType::QVariantList || v.userType() == QMetaType::QVariantMap;
}

// A new reference; null only when the interpreter cannot allocate.
inline PyObject *variantToPython(const QVariant &v)
{
    if (v.userType() == QMetaType::QVariantList) {
        const QVariantList members = v.toList();
        PyObject *list = TPyQtWrapping::QVariantList2PyObject(members);
        // Nested lists and maps are the members the library gave None for: looking at the list's
        // items first spares a second walk over every member of a long flat list.
        for (int i = 0; list && PyList_Check(list) && i < members.size(); ++i) {
            const bool nested = PyList_GET_ITEM(list, i) == Py_None && isVariantContainer(members.at(i));
            PyObject *member = nested ? variantToPython(members.at(i)) : nullptr;
            if (member)
                PyList_SetItem(list, i, member);
        }
        return list;
    }
    if (v.userType() == QMetaType::QVariantMap) {
        PyObject *dict = PyDict_New();
        const QVariantMap map = v.toMap();
        for (auto it = map.cbegin(); dict && it != map.cend(); ++it) {
            PyObject *key = TPyQtWrapping::QString2PyObject(it.key());
            PyObject *value = variantToPython(it.value());
            if (key && value)
                PyDict_SetItem(dict, key, value);
            Py_XDECREF(key);
            Py_XDECREF(value);
        }
        return dict;
    }
    return TPyQtWrapping::QVariant2PyObject(v);
}

#endif // VARIANTTOPYTHON_H
