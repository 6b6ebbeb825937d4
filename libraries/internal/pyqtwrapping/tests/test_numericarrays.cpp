#include "pythontest.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <QVector>

using NumericArraysTest = PythonTest;

namespace {

// Numbers as "[a,b]" in their exact form, or "null" for no table; a table passed in is released.
template <typename T>
std::string show(T *values, long long n, bool owned = true)
{
    const std::unique_ptr<T[]> table(owned ? values : nullptr);
    std::string out;
    char text[32];
    for (long long i = 0; values && i < n; ++i) {
        const double value = values[i];
        unsigned long long bits; // a NaN with its payload
        std::memcpy(&bits, &value, sizeof bits);
        if (value == value)
            std::snprintf(text, sizeof text, "%s%.17g", i ? "," : "", value);
        else
            std::snprintf(text, sizeof text, "%snan:%llx", i ? "," : "", bits);
        out += text;
    }
    return values ? "[" + out + "]" : "null";
}

template <typename T>
std::string show(const QList<T> &list, bool ok = true)
{
    QVector<T> values = list.toVector();
    return show(values.data(), values.size(), false) + (ok ? "" : "?");
}

} // namespace

TEST_F(NumericArraysTest, SequencesToTablesAndNumberLists)
{
    // Before 3.8 the float units do not fall back to __index__.
    const std::string indexAsFloat = PY_VERSION_HEX >= 0x03080000 ? "[0,7] [0,7]" : "null null";
    const std::string nullInt = typeError("PyObject2int: Error trying to convert null to an integer!");
    // The double, float, int and short tables | PyObject2QListDouble and PyObject2QListInt ('?': ok false).
    expectEach(Cases<>{
        {"[1, 2.5, True]", "[1,2.5,1] [1,2.5,1] null null | [-9999,2.5,-9999] [1,-9999,-9999]"},
        {"[-32768, 32767]", "[-32768,32767] [-32768,32767] [-32768,32767] [-32768,32767] | [-9999,-9999] [-32768,32767]"},
        {"[-32769]", "[-32769] [-32769] [-32769] null | [-9999] [-32769]"},
        {"[32768]", "[32768] [32768] [32768] null | [-9999] [32768]"},
        {"[2**31 - 1, -2**31]", "[2147483647,-2147483648] [2147483648,-2147483648] [2147483647,-2147483648] null | "
                                "[-9999,-9999] [2147483647,-2147483648]"},
        {"[2**31]", "[2147483648] [2147483648] null null | [-9999] [-9999]"},
        {"[-2**31 - 1]", "[-2147483649] [-2147483648] null null | [-9999] [-9999]"},
        {"[False, Inty()]", indexAsFloat + " [0,7] [0,7] | [-9999,-9999] [-9999,-9999]"},
        {"[Floaty(), -0.0]", "[4.5,-0] [4.5,-0] null null | [-9999,-0] [-9999,-9999]"},
        {"[0.1, 1e39]", "[0.10000000000000001,9.9999999999999994e+38] [0.10000000149011612,inf] null null | "
                        "[0.10000000000000001,9.9999999999999994e+38] [-9999,-9999]"},
        {"[1, 'x']", "null null null null | [-9999,-9999] [1,-9999]"},
        {"[10**400, None]", "null null null null | [-9999,-9999] [-9999,-9999]"}, {"[]", "null null null null | [] []"},
        {"(1, 2.0)", "null null null null | [-9999,2] [1,-9999]"},
        {"type('L', (list,), {'__getitem__': lambda s, i: 'x'})([1])", "[1] [1] [1] [1] | [-9999] [-9999]"},
        {"'ab'", "null null null null | [-9999,-9999] [-9999,-9999]"},
        {"range(2)", "null null null null | [-9999,-9999] [0,1]"},
        {"Raising()", "null null null null | [-9999,-9999,2.5] [-9999,-9999,-9999]" + nullInt},
        {"5", "null null null null | []? []?"}, {"None", "null null null null | []? []?"},
        {"{1: 2}", "null null null null | []? []?"},
    }, [&](const char *e) {
        PyObject *o = in(e);
        const long long n = PyList_Check(o) ? PyList_GET_SIZE(o) : 0;
        unsigned long long count = 99;
        const std::string doubles = show(W::PyObject2DoubleTable(o, count), n);
        EXPECT_EQ(count, (unsigned long long)n);
        bool doublesOk = false, intsOk = false;
        const QList<double> qdoubles = W::PyObject2QListDouble(o, &doublesOk);
        const QList<int> qints = W::PyObject2QListInt(o, &intsOk);
        return doubles + " " + show(W::PyObject2FloatTable(o), n) + " " + show(W::PyObject2IntTable(o), n) + " " +
               show(W::PyObject2ShortIntTable(o), n) + " | " + show(qdoubles, doublesOk) + " " + show(qints, intsOk) +
               printed();
    });
    // An element that shrinks the list refuses the rest: a gone index is never read.
    // An element that shrinks the list refuses the rest: a gone index is never read.
    unsigned long long count = 0;
    EXPECT_EQ(show(W::PyObject2IntTable(in("shrinking(2, 3)")), 3) + show(W::PyObject2DoubleTable(in("shrinking(2.0)"), count), 2),
              "nullnull");
    EXPECT_EQ(W::PyObject2DoubleTable(nullptr, count), nullptr);
    EXPECT_EQ(count, 0u);
    bool ok = true;
    EXPECT_TRUE(W::PyObject2QListInt(nullptr, &ok).isEmpty() && !ok);
}

TEST_F(NumericArraysTest, Matrices)
{
    exec("outer = [[None], [2.0]]\nouter[0][0] = Shrinker(outer)\n");
    const std::string ragged = typeError("The list must contain lists (same size) to be a matrix");
    const std::string notLists = typeError("The list must contain lists to be a matrix");
    // The rows as tables (or null), rows x columns, and what was reported.
    expectEach(Cases<>{
        {"[[1, 2], [3, 4]]", "[1,2][3,4] 2x2 "}, {"[[1, 'a'], [2, 3]]", "null[2,3] 2x2 "}, {"[[], []]", "nullnull 2x0 "},
        {"outer", "[1]null 2x1 "}, {"[[1, 2], [3]]", "null 2x-1 " + ragged}, {"[[1, 2], 5]", "null 2x-1 " + notLists},
        {"[(1, 2)]", "null 1x-1 " + notLists}, {"[]", "null 0x-1 "}, {"(1, 2)", "null -1x-1 "},
    }, [&](const char *e) {
        int rows = -1, columns = -1;
        std::unique_ptr<double *[]> matrix(W::PyObject2DoubleMatrix(in(e), rows, columns));
        std::string shown = matrix ? "" : "null";
        for (int r = 0; matrix && r < rows; ++r)
            shown += show(matrix[r], columns);
        return shown + " " + std::to_string(rows) + "x" + std::to_string(columns) + " " + printed();
    });
}

TEST_F(NumericArraysTest, TablesMatricesAndNumberListsToPythonLists)
{
    double doubles[] = {1.5, -2.0, NAN}, row0[] = {1, 2}, row1[] = {3, 4};
    float floats[] = {0.1f, 2.0f};
    double *matrix[] = {row0, row1}, *secondNull[] = {row0, nullptr};
    float *floatMatrix[] = {floats};
    const unsigned long long huge = 1ULL << 61;
    const std::string nullList = "TypeError: ERROR: converting %1 to Python list: null list returned for size ";
    auto tooLarge = [&](const char *source, unsigned long long size) {
        return QString::fromStdString(nullList).arg(QLatin1String(source)).toStdString() + std::to_string(size) + "\n";
    };
    // Lists beyond what the interpreter can allocate give null for tables, None for the others, reported.
    expectEach(Cases<std::function<PyObject *()>>{
        {[&] { return W::doubleTable2PyObject(doubles, 3); }, "[1.5, -2.0, nan]"},
        {[&] { return W::floatTable2PyObject(floats, 2); }, "[0.10000000149011612, 2.0]"},
        {[&] { return W::doubleTable2PyObject(doubles, 0); }, "[]"}, {[&] { return W::doubleTable2PyObject(nullptr, 3); }, "None"},
        {[&] { return W::floatTable2PyObject(nullptr, 0); }, "None"},
        {[&] { return W::doubleMatrix2PyObject(matrix, 2, 2); }, "[[1.0, 2.0], [3.0, 4.0]]"},
        {[&] { return W::doubleMatrix2PyObject(secondNull, 2, 1); }, "[[1.0], None]"},
        {[&] { return W::doubleMatrix2PyObject(matrix, 0, 2); }, "[]"}, {[&] { return W::floatMatrix2PyObject(nullptr, 1, 1); }, "None"},
        {[&] { return W::floatMatrix2PyObject(floatMatrix, 1, 2); }, "[[0.10000000149011612, 2.0]]"},
        {[&] { return W::QListDouble2PyObject({1.5, -0.0, NAN}); }, "[1.5, -0.0, nan]"},
        {[&] { return W::QListFloat2PyObject({0.1f}); }, "[0.10000000149011612]"},
        {[&] { return W::QListInt2PyObject({INT32_MIN, 0, INT32_MAX}); }, "[-2147483648, 0, 2147483647]"},
        {[&] { return W::QListInt2PyObject({}); }, "[]"},
        {[&] { return W::doubleTable2PyObject(doubles, huge); }, "<null>" + tooLarge("double[]", huge)},
        {[&] { return W::floatTable2PyObject(floats, ~0ULL); }, "<null>" + tooLarge("float[]", ~0ULL)},
        {[&] { return W::doubleMatrix2PyObject(matrix, huge, 3); }, "None" + tooLarge("double**", huge)},
        {[&] { return W::floatMatrix2PyObject(floatMatrix, ~0ULL, 3); }, "None" + tooLarge("float**", ~0ULL)},
    }, [&](const std::function<PyObject *()> &make) {
        const std::string result = reprOf(make());
        return result + printed();
    });
}

namespace {
// Fails the interpreter's object allocation number failAt (0 is the next), once.
PyMemAllocatorEx objectAllocator;
long failAt = -1;
void *failingMalloc(void *, size_t size)
{
    return failAt-- == 0 ? nullptr : objectAllocator.malloc(objectAllocator.ctx, size);
}
} // namespace

// A slot whose element cannot be made holds None, reported, and the list still comes back.
TEST_F(NumericArraysTest, FailedSlotsHoldNoneAndAreReported)
{
    auto sweep = [] {
        std::string lists;
        PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &objectAllocator);
        PyMemAllocatorEx failing = objectAllocator;
        failing.malloc = failingMalloc;
        for (long k = 0; k < 6; ++k) { // free lists decide which allocation makes what
            failAt = k;
            PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &failing);
            PyObject *list = W::QListInt2PyObject({100000, 200000, 300000});
            PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &objectAllocator);
            lists += reprOf(list);
        }
        return lists;
    };
    sweep(); // the first report fills the interpreter's caches
    const Py_ssize_t noneCount = Py_REFCNT(Py_None);
    const std::string lists = sweep();
    for (const char *slot : {"[None, 200000, 300000]", "[100000, None, 300000]", "[100000, 200000, None]"})
        EXPECT_NE(lists.find(slot), std::string::npos) << lists;
    EXPECT_EQ(Py_REFCNT(Py_None), noneCount);
    EXPECT_NE(printed().find("QList<int> to Python list: invalid value '200000' at index 1\n"), std::string::npos);
}

TEST_F(NumericArraysTest, NumpyArraysToDoubleTables)
{
    REQUIRE_NUMPY();
    exec("import numpy as np\n");
    // The table (numPyArray2DoubleTable and PyObject2DoubleTable agree), its count and what was reported.
    const std::string boolType = typeError("Unknown type 0 of NumPy array"), int16Type = typeError("Unknown type 3 of NumPy array");
    expectEach(Cases<>{
        {"np.array([1, -2, 2**31 - 1], dtype=np.int32)", "[1,-2,2147483647] 3 "},
        {"np.array([4294967295], dtype=np.uint32)", "[4294967295] 1 "}, {"np.arange(3)", "[0,1,2] 3 "},
        {"np.array([-5, 2**40], dtype=np.longlong)", "[-5,1099511627776] 2 "},
        {"np.array([2**64 - 1], dtype=np.uint64)", "[-1] 1 "}, {"np.array([2**64 - 1], dtype=np.ulonglong)", "[-1] 1 "},
        {"np.array([9007199254740993], dtype=np.uint64)", "[9007199254740992] 1 "},
        {"np.array([0.1], dtype=np.float32)", "[0.10000000149011612] 1 "}, {"np.arange(4.0)[::-1]", "[3,2,1,0] 4 "},
        {"np.arange(10, dtype=np.int32)[1::3]", "[1,4,7] 3 "}, {"np.arange(6.0).reshape(2, 3)[:, 1]", "[1,4] 2 "},
        {"np.array([1.5, -2.25], dtype='>f8')", "[1.5,-2.25] 2 "}, {"np.array([1, -7], dtype='>i4')", "[1,-7] 2 "},
        {"np.array([2**33], dtype='>u8')[::-1]", "[8589934592] 1 "}, {"np.array([0.5], dtype='>f4')", "[0.5] 1 "},
        {"np.zeros(2, dtype=bool)", "[0,0] 2 " + boolType}, {"np.array([1, 2], dtype=np.int16)", "[0,0] 2 " + int16Type},
        {"np.array([0x7ff8000000001234, 1 << 63], dtype=np.uint64).view(np.float64)", "[nan:7ff8000000001234,-0] 2 "},
        {"np.zeros((1, 3))", "null 0 "}, {"np.array(1.0)", "null 0 "}, {"np.array([])", "null 0 "},
    }, [&](const char *e) {
        PyObject *array = in(e);
        EXPECT_TRUE(W::isNumpyArray(array));
        unsigned long long count = 99, listCount = 99;
        double *values = W::numPyArray2DoubleTable(W::PyObject2NumPyArray(array), count);
        const std::string table = show(values, count) + " " + std::to_string(count) + " " + printed();
        double *listValues = W::PyObject2DoubleTable(array, listCount);
        EXPECT_EQ(show(listValues, listCount) + " " + std::to_string(listCount) + " " + printed(), table);
        return table;
    });
    unsigned long long count = 99;
    for (const char *notArray : {"[1.0]", "np.float64(1.0)", "np.arange(3.0).view(type('Sub', (np.ndarray,), {}))"})
        EXPECT_FALSE(W::isNumpyArray(in(notArray))) << notArray;
    EXPECT_EQ(W::PyObject2DoubleTable(in("np.arange(3.0).view(type('Sub', (np.ndarray,), {}))"), count), nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(W::isNumpyArray(nullptr));
    EXPECT_EQ(W::numPyArray2DoubleTable(nullptr, count), nullptr);
}
