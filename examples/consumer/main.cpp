// A tiny host: embeds the interpreter, converts a Python dict to a QVariantMap and prints it.
#include <tpyqtwrapping.h>

#include <cstdio>

int main()
{
    Py_InitializeEx(0);
    PyObject *globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObject *dict = PyRun_String("{'name': 'kestra', 'sizes': [1, 2.5]}", Py_eval_input, globals, globals);
    if (!dict) {
        PyErr_Print();
        return 1;
    }
    const QVariantMap map = TPyQtWrapping::PyObject2QVariant(dict, -1).toMap();
    Py_DECREF(dict);
    const QVariantList sizes = map.value(QStringLiteral("sizes")).toList();
    std::printf("qt=%d name=%s sizes=%d first=%d second=%g\n", QT_VERSION_MAJOR,
                map.value(QStringLiteral("name")).toString().toUtf8().constData(), int(sizes.size()),
                sizes.value(0).toInt(), sizes.value(1).toDouble());
    return map.size() == 2 ? 0 : 1;
}
