// Soak: a representative value of every family converted 100,000 times, both ways; the
// interpreter's allocated block count and the C heap in use must stay flat. Under a debug
// interpreter, the total reference count must stay flat over a round.
#include "pythontest.h"
#include "sysmodule.h"

#include <QKeySequence>
#include <QObject>

#include <iostream>
#include <malloc.h>

namespace {

long heapInUse()
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 33)
    return long(mallinfo2().uordblks);
#else
    return long(mallinfo().uordblks);
#endif
}

} // namespace

// Representative values of every family, and one round of converting them both ways.
class SoakTest : public PythonTest
{
protected:
    void SetUp() override
    {
        PythonTest::SetUp();
        exec("soak_values = {'text': 'h\\xe9llo \\U0001F600', 'values': [1.5, 2.5, 3], 'names': ('a', 'b'),\n"
             "               'nested': {'k': [None, True, b'x']}}\n"
             "soak_floats = [0.5 * i for i in range(64)]\n"
             "soak_ints = list(range(-32, 32))\n"
             "soak_matrix = [[1.0, 2.0], [3.0, 4.0]]\n"
             "soak_strings = ['s%d' % i for i in range(16)] + [b'bytes', 7]\n"
             "try:\n"
             "    import numpy as np\n"
             "    soak_array = np.arange(64, dtype=np.int32)[::-2]\n"
             "except ImportError:\n"
             "    soak_array = [1.0]\n");
        values = in("soak_values"), floats = in("soak_floats"), ints = in("soak_ints");
        matrix = in("soak_matrix"), strings = in("soak_strings"), array = in("soak_array");
        lists = in("[['a'], ('b', 'c')]");
        child->setObjectName(QStringLiteral("child"));
    }
    void round();
    PyObject *values = nullptr, *floats = nullptr, *ints = nullptr, *matrix = nullptr, *strings = nullptr,
             *array = nullptr, *lists = nullptr;
    const QVariantList variants{QVariant(7),    QVariant(QStringLiteral("t")),
                                QVariant(2.5),  QVariant(QStringList{QStringLiteral("x")}),
                                QVariant(true), QVariant(QKeySequence(QStringLiteral("Ctrl+S")))};
    const QList<double> qdoubles{1.0, 2.0, 3.0};
    const QList<int> qints{1, 2, 3};
    TPyQtWrapping wrapping;
    QObject root;
    QObject *child = new QObject(&root);
};

void SoakTest::round()
{
    const QVariant tree = TPyQtWrapping::PyObject2QVariant(values, -1);
    PyObjectRef(TPyQtWrapping::QVariantList2PyObject(tree.toMap().value(QStringLiteral("values")).toList()));
    PyObjectRef(TPyQtWrapping::QVariantList2PyObject(variants));
    unsigned long long n = 0;
    delete[] TPyQtWrapping::PyObject2DoubleTable(floats, n);
    delete[] TPyQtWrapping::PyObject2DoubleTable(array, n);
    delete[] TPyQtWrapping::PyObject2FloatTable(floats);
    delete[] TPyQtWrapping::PyObject2IntTable(ints);
    delete[] TPyQtWrapping::PyObject2ShortIntTable(ints);
    int rows = 0, columns = 0;
    double **m = TPyQtWrapping::PyObject2DoubleMatrix(matrix, rows, columns);
    PyObjectRef(TPyQtWrapping::doubleMatrix2PyObject(m, rows, columns));
    for (int r = 0; r < rows; ++r)
        delete[] m[r];
    delete[] m;
    const QList<double> ds = TPyQtWrapping::PyObject2QListDouble(floats);
    PyObjectRef(TPyQtWrapping::QListDouble2PyObject(ds));
    PyObjectRef(TPyQtWrapping::QListInt2PyObject(TPyQtWrapping::PyObject2QListInt(ints)));
    PyObjectRef(TPyQtWrapping::QListFloat2PyObject({0.5f, 1.5f}));
    PyObjectRef(TPyQtWrapping::QListInt2PyObject(qints));
    PyObjectRef(TPyQtWrapping::QListDouble2PyObject(qdoubles));
    const QStringList list = TPyQtWrapping::PyObject2QStringList(strings);
    PyObjectRef(TPyQtWrapping::QStringList2PyObject(list));
    wrapping.PyObject2QListOfQStringList(lists);
    QString *table = TPyQtWrapping::PyObject2QStringTable(strings);
    PyObjectRef(TPyQtWrapping::QStringTable2PyObject(table, unsigned(PyList_GET_SIZE(strings))));
    delete[] table;
    PyObjectRef text(TPyQtWrapping::QString2PyObject(
        TPyQtWrapping::PyObject2QString(PyDict_GetItemString(values, "text"))));
    TPyQtWrapping::pythonStringToQString(TPyQtWrapping::qstringToPythonString(QStringLiteral("a\\b")));
    PyObjectRef handle(TPyQtWrapping::QObject2PyObject(child));
    TPyQtWrapping::PyObject2QObject(handle.get());
    TPyQtWrapping::QObjectIDQObjectPtr(QStringLiteral("child"), &root);
}

TEST_F(SoakTest, EveryFamilyStaysFlat)
{
    for (int i = 0; i < 1000; ++i)
        round(); // warms the free lists and caches
    const long blocksBefore = sysCall("getallocatedblocks");
    const long heapBefore = heapInUse();
    for (int i = 0; i < 100000; ++i)
        round();
    const long blocksAfter = sysCall("getallocatedblocks");
    const long heapAfter = heapInUse();
    std::cout << "soak: interpreter blocks " << blocksBefore << " -> " << blocksAfter << ", C heap in use "
              << heapBefore << " -> " << heapAfter << " bytes" << std::endl;
    // A leak of one block or one small heap object per round would show as 100,000.
    EXPECT_LE(blocksAfter - blocksBefore, 100);
    EXPECT_LE(heapAfter - heapBefore, 4 * 1024);
}

// A debug interpreter counts every reference it holds: after a warm-up round, a second full round
// of every family leaves the total where it was, as CPython's own reference-leak hunting checks.
TEST_F(SoakTest, EveryFamilyKeepsTheTotalReferenceCount)
{
    if (!PySys_GetObject("gettotalrefcount"))
        GTEST_SKIP() << "sys.gettotalrefcount exists only in a debug build of the interpreter";
    round();
    const long before = sysCall("gettotalrefcount");
    round();
    const long after = sysCall("gettotalrefcount");
    std::cout << "total reference count: " << before << " -> " << after << std::endl;
    EXPECT_LE(std::labs(after - before), 5) << "references kept or lost by one round of every family";
}
