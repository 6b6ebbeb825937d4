// Every conversion member of TPyQtWrapping, once, with what it takes and what it gives:
// X(name, takes, gives). The conversion reference (pyqtwrap --reference) prints it as its table of
// members. scripts/checks/members.py compares the list with the library's exported symbols and
// with the members each harness calls (the allocation sweeps, the threads harness, the fuzzer, the
// conversion reference), so a member added to the class and left out of the list or of a harness
// fails the test command. A harness that leaves a member out on purpose says so in a comment
// "not covered: NAME (why)". The harnesses call each member in code of their own rather than
// through the list, since each member needs inputs and checks of its own.
#ifndef MEMBERS_H
#define MEMBERS_H

#define PYQTWRAPPING_MEMBERS(X) \
    X(showErrorMessage, "message", "a Python TypeError, printed") \
    X(PyObject2int, "object, strict, ok", "int") \
    X(PyObject2bool, "object, strict, ok", "bool") \
    X(PyObject2LongLong, "object, strict, ok", "long long") \
    X(PyObject2ULongLong, "object, strict, ok", "unsigned long long") \
    X(PyObject2double, "object, strict, ok", "double") \
    X(bool2PyObject, "bool", "True or False") \
    X(PyObject2QString, "str or bytes", "QString") \
    X(QString2PyObject, "QString", "str") \
    X(QString2PyUnicode, "QString", "str, null for an empty text") \
    X(qstringToPythonString, "text", "a Python literal") \
    X(pythonStringToQString, "a Python literal", "text") \
    X(QStringList2PyObject, "QStringList", "list of str") \
    X(PyObject2QStringList, "sequence, strict, ok", "QStringList") \
    X(PyObject2QListOfQStringList, "sequence of sequences, strict, ok", "QList<QStringList>") \
    X(PyObject2QStringTable, "list", "new[] QString table") \
    X(QStringTable2PyObject, "QString table, count", "list of str") \
    X(PyObject2FloatTable, "list", "new[] float table") \
    X(PyObject2ShortIntTable, "list", "new[] short table") \
    X(PyObject2IntTable, "list", "new[] int table") \
    X(PyObject2DoubleTable, "list or NumPy array, count", "new[] double table") \
    X(PyObject2DoubleMatrix, "list of lists, rows, columns", "new[] rows of new[] doubles") \
    X(PyObject2QListDouble, "sequence, ok", "QList<double>") \
    X(PyObject2QListInt, "sequence, ok", "QList<int>") \
    X(floatTable2PyObject, "float table, count", "list of float") \
    X(doubleTable2PyObject, "double table, count", "list of float") \
    X(doubleMatrix2PyObject, "double matrix, rows, columns", "list of lists of float") \
    X(floatMatrix2PyObject, "float matrix, rows, columns", "list of lists of float") \
    X(QListDouble2PyObject, "QList<double>", "list of float") \
    X(QListInt2PyObject, "QList<int>", "list of int") \
    X(QListFloat2PyObject, "QList<float>", "list of float") \
    X(isNumpyArray, "object", "bool") \
    X(PyObject2NumPyArray, "object", "the array, borrowed") \
    X(numPyArray2DoubleTable, "array, count", "new[] double table") \
    X(PyObject2QVariant, "object, type id", "QVariant") \
    X(QVariant2PyObject, "QVariant", "Python value") \
    X(voidType2PyObjectInternal, "type id, data", "Python value") \
    X(QVariantList2PyObject, "QVariantList", "list") \
    X(QObjectPtr2QObjectID, "QObject", "object path") \
    X(QObjectIDQObjectPtr, "object path, root", "QObject") \
    X(QObject2PyObject, "QObject", "str handle") \
    X(PyObject2QObject, "str handle", "QObject")

#endif // MEMBERS_H
