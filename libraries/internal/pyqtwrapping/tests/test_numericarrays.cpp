#include "pythontest.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

using NumericArraysTest = PythonTest;

namespace {

// Numbers as "[a,b]" in the shortest exact form, or "null" for a null table.
template <typename T>
std::string show(const T *values, long long n)
{
    if (!values)
        return "null";
    std::string out;
    char text[32];
    for (long long i = 0; i < n; ++i) {
        std::snprintf(text, sizeof text, "%.17g", double(values[i]));
        out += (i ? "," : "") + std::string(text);
    }
    return "[" + out + "]";
}

template <typename T>
std::string take(T *table, long long n)
{
    std::unique_ptr<T[]> owned(table);
    return show(table, n);
}

template <typename T>
std::string show(const QList<T> &list)
{
    std::vector<T> values(list.begin(), list.end());
    values.reserve(1); // never a null pointer, which would show as "null"
    return show(values.data(), values.size());
}

} // namespace

TEST_F(NumericArraysTest, ListsToTablesAcceptWhatTheirParseUnitAccepts)
{
    exec("class Floaty:\n    def __float__(self): return 4.5\n"
         "class Inty:\n    def __index__(self): return 7\n"
         "class Shrinker:\n"
         "    def __float__(self):\n        del shrinking[:]\n        return 1.0\n"
         "    def __index__(self):\n        del shrinking[:]\n        return 1\n");
    // Before 3.8 the float units do not fall back to __index__.
    const char *indexAsFloat = PY_VERSION_HEX >= 0x03080000 ? "[0,7]" : "null";
    const struct {
        const char *expression;
        const char *asDouble, *asFloat, *asInt, *asShort;
    } cases[] = {
        {"[1, 2.5, True]", "[1,2.5,1]", "[1,2.5,1]", "null", "null"},
        {"[-32768, 32767]", "[-32768,32767]", "[-32768,32767]", "[-32768,32767]", "[-32768,32767]"},
        {"[-32769]", "[-32769]", "[-32769]", "[-32769]", "null"},
        {"[32768]", "[32768]", "[32768]", "[32768]", "null"},
        {"[2**31 - 1, -2**31]", "[2147483647,-2147483648]", "[2147483648,-2147483648]", "[2147483647,-2147483648]", "null"},
        {"[2**31]", "[2147483648]", "[2147483648]", "null", "null"},
        {"[-2**31 - 1]", "[-2147483649]", "[-2147483648]", "null", "null"},
        {"[False, Inty()]", indexAsFloat, indexAsFloat, "[0,7]", "[0,7]"},
        {"[Floaty()]", "[4.5]", "[4.5]", "null", "null"},
        {"[0.1, 1e39]", "[0.10000000000000001,9.9999999999999994e+38]", "[0.10000000149011612,inf]", "null", "null"},
        {"[0.1]", "[0.10000000000000001]", "[0.10000000149011612]", "null", "null"},
        {"[1, 'x']", "null", "null", "null", "null"},
        {"[10**400]", "null", "null", "null", "null"},
        {"[None]", "null", "null", "null", "null"},
        {"[]", "null", "null", "null", "null"},
        {"(1, 2)", "null", "null", "null", "null"},
        {"type('L', (list,), {'__getitem__': lambda s, i: 'x'})([1])", "[1]", "[1]", "[1]", "[1]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression);
        PyObject *o = in(c.expression);
        const long long n = PyList_Check(o) ? PyList_GET_SIZE(o) : 0;
        unsigned long long count = 99;
        EXPECT_EQ(take(W::PyObject2DoubleTable(o, count), n), c.asDouble);
        EXPECT_EQ(count, (unsigned long long)n);
        EXPECT_EQ(take(W::PyObject2FloatTable(o), n), c.asFloat);
        EXPECT_EQ(take(W::PyObject2IntTable(o), n), c.asInt);
        EXPECT_EQ(take(W::PyObject2ShortIntTable(o), n), c.asShort);
    }
    for (const char *unit : {"d", "i"}) { // an element that empties the list refuses the rest
        exec("shrinking = [Shrinker(), 2, 3]\n");
        PyObject *list = in("shrinking");
        unsigned long long count = 0;
        EXPECT_EQ(*unit == 'd' ? take(W::PyObject2DoubleTable(list, count), 3) : take(W::PyObject2IntTable(list), 3), "null");
    }
    unsigned long long count = 99;
    EXPECT_EQ(W::PyObject2DoubleTable(nullptr, count), nullptr);
    EXPECT_EQ(count, 0u);
}

TEST_F(NumericArraysTest, Matrices)
{
    exec("class Shrinker:\n"
         "    def __float__(self):\n        del outer[1:]\n        return 1.0\n"
         "outer = [[Shrinker()], [2.0]]\n");
    const struct {
        const char *expression;
        int rows, columns;
        const char *expected; // rows as tables, or "null"
        std::string printed;
    } cases[] = {
        {"[[1, 2], [3, 4]]", 2, 2, "[1,2][3,4]", ""},
        {"[[1, 'a'], [2, 3]]", 2, 2, "null[2,3]", ""},
        {"[[], []]", 2, 0, "nullnull", ""},
        {"outer", 2, 1, "[1]null", ""},
        {"[[1, 2], [3]]", 2, -1, "null", typeError("The list must contain lists (same size) to be a matrix")},
        {"[[1, 2], 5]", 2, -1, "null", typeError("The list must contain lists to be a matrix")},
        {"[(1, 2)]", 1, -1, "null", typeError("The list must contain lists to be a matrix")},
        {"[]", 0, -1, "null", ""},
        {"(1, 2)", -1, -1, "null", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression);
        int rows = -1, columns = -1;
        std::unique_ptr<double *[]> matrix(W::PyObject2DoubleMatrix(in(c.expression), rows, columns));
        std::string shown = matrix ? "" : "null";
        for (int r = 0; matrix && r < rows; ++r)
            shown += take(matrix[r], columns);
        EXPECT_EQ(shown, c.expected);
        EXPECT_EQ(rows, c.rows);
        EXPECT_EQ(columns, c.columns);
        EXPECT_EQ(printed(), c.printed);
    }
}

TEST_F(NumericArraysTest, SequencesToNumberLists)
{
    exec("class Raising:\n"
         "    def __len__(self): return 3\n"
         "    def __getitem__(self, i):\n"
         "        if i == 1: raise IndexError(i)\n"
         "        return 5 if i == 0 else 2.5\n");
    const struct {
        const char *expression;
        const char *doubles, *ints; // '?' after a list whose ok flag is false
        std::string printed;
    } cases[] = {
        {"[1.5, -0.0]", "[1.5,-0]", "[-9999,-9999]", ""},
        {"(1, True, 2.0, 2**31 - 1, 2**31, -2**31, 'x')", "[-9999,-9999,2,-9999,-9999,-9999,-9999]",
         "[1,-9999,-9999,2147483647,-9999,-2147483648,-9999]", ""},
        {"'ab'", "[-9999,-9999]", "[-9999,-9999]", ""},
        {"[]", "[]", "[]", ""},
        {"range(2)", "[-9999,-9999]", "[0,1]", ""},
        {"Raising()", "[-9999,-9999,2.5]", "[5,-9999,-9999]",
         typeError("PyObject2int: Error trying to convert null to an integer!")},
        {"5", "[]?", "[]?", ""},
        {"None", "[]?", "[]?", ""},
        {"{1: 2}", "[]?", "[]?", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression);
        PyObject *o = in(c.expression);
        bool doublesOk = false, intsOk = false;
        const QList<double> doubles = W::PyObject2QListDouble(o, &doublesOk);
        const QList<int> ints = W::PyObject2QListInt(o, &intsOk);
        EXPECT_EQ(show(doubles) + (doublesOk ? "" : "?"), c.doubles);
        EXPECT_EQ(show(ints) + (intsOk ? "" : "?"), c.ints);
        EXPECT_EQ(printed(), c.printed);
    }
    bool ok = true;
    EXPECT_TRUE(W::PyObject2QListInt(nullptr, &ok).isEmpty());
    EXPECT_FALSE(ok);
}

TEST_F(NumericArraysTest, TablesMatricesAndNumberListsToPythonLists)
{
    double doubles[] = {1.5, -2.0, NAN};
    float floats[] = {0.1f, 2.0f};
    double row0[] = {1, 2}, row1[] = {3, 4};
    double *matrix[] = {row0, row1}, *secondNull[] = {row0, nullptr};
    float *floatMatrix[] = {floats};
    const unsigned long long huge = 1ULL << 61;
    const struct {
        PyObject *result;
        const char *expected;
        std::string printed;
    } cases[] = {
        {W::doubleTable2PyObject(doubles, 3), "[1.5, -2.0, nan]", ""},
        {W::floatTable2PyObject(floats, 2), "[0.10000000149011612, 2.0]", ""},
        {W::doubleTable2PyObject(doubles, 0), "[]", ""},
        {W::doubleTable2PyObject(nullptr, 3), "None", ""},
        {W::floatTable2PyObject(nullptr, 0), "None", ""},
        {W::doubleMatrix2PyObject(matrix, 2, 2), "[[1.0, 2.0], [3.0, 4.0]]", ""},
        {W::doubleMatrix2PyObject(secondNull, 2, 1), "[[1.0], None]", ""},
        {W::doubleMatrix2PyObject(matrix, 0, 2), "[]", ""},
        {W::floatMatrix2PyObject(floatMatrix, 1, 2), "[[0.10000000149011612, 2.0]]", ""},
        {W::floatMatrix2PyObject(nullptr, 1, 1), "None", ""},
        {W::QListDouble2PyObject({1.5, -0.0, NAN}), "[1.5, -0.0, nan]", ""},
        {W::QListFloat2PyObject({0.1f}), "[0.10000000149011612]", ""},
        {W::QListInt2PyObject({INT32_MIN, 0, INT32_MAX}), "[-2147483648, 0, 2147483647]", ""},
        {W::QListInt2PyObject({}), "[]", ""},
        // Lists beyond what the interpreter can allocate: null for tables, None for the others.
        {W::doubleTable2PyObject(doubles, huge), "<null>",
         typeError("ERROR: converting double[] to Python list: null list returned for size 2305843009213693952")},
        {W::floatTable2PyObject(floats, ~0ULL), "<null>",
         typeError("ERROR: converting float[] to Python list: null list returned for size 18446744073709551615")},
        {W::doubleMatrix2PyObject(matrix, huge, 3), "None",
         typeError("ERROR: converting double** to Python list: null list returned for size 2305843009213693952")},
        {W::floatMatrix2PyObject(floatMatrix, ~0ULL, 3), "None",
         typeError("ERROR: converting float** to Python list: null list returned for size 18446744073709551615")},
    };
    const std::string messages = printed();
    std::string expectedMessages;
    for (const auto &c : cases) {
        EXPECT_EQ(reprOf(c.result), c.expected);
        expectedMessages += c.printed;
    }
    EXPECT_EQ(messages, expectedMessages);
}

// A slot whose element cannot be made holds None, and the list still comes back.
TEST_F(NumericArraysTest, FailedSlotsHoldNoneAndAreReported)
{
    auto sweep = [] {
        int slotsFailed = 0;
        for (long k = 0; k < 50; ++k) {
            FailingAllocator::arm(k);
            PyRef list(W::QListInt2PyObject({100000, 200000, 300000}));
            if (!FailingAllocator::disarm())
                break;
            for (Py_ssize_t i = 0; list && PyList_Check(list.get()) && i < 3; ++i)
                slotsFailed += PyList_GET_ITEM(list.get(), i) == Py_None;
        }
        return slotsFailed;
    };
    FailingAllocator::install();
    sweep(); // the first report fills the interpreter's caches
    const Py_ssize_t noneCount = Py_REFCNT(Py_None);
    EXPECT_EQ(sweep(), 3);
    EXPECT_EQ(Py_REFCNT(Py_None), noneCount);
    FailingAllocator::uninstall();
    const std::string messages = printed();
    for (const char *value : {"100000' at index 0", "200000' at index 1", "300000' at index 2"})
        EXPECT_NE(messages.find(std::string("QList<int> to Python list: invalid value '") + value), std::string::npos) << messages;
}

TEST_F(NumericArraysTest, NumpyArraysToDoubleTables)
{
    REQUIRE_NUMPY();
    exec("import numpy as np\nclass Sub(np.ndarray): pass\n"
         "payloads = np.array([0x7ff8000000001234, 0x8000000000000000], dtype=np.uint64).view(np.float64)\n");
    const struct {
        const char *expression;
        const char *expected;
        unsigned long long count;
        std::string printed;
    } cases[] = {
        {"np.array([1, -2, 2**31 - 1], dtype=np.int32)", "[1,-2,2147483647]", 3, ""},
        {"np.array([4294967295], dtype=np.uint32)", "[4294967295]", 1, ""},
        {"np.arange(3)", "[0,1,2]", 3, ""},
        {"np.array([-5, 2**40], dtype=np.longlong)", "[-5,1099511627776]", 2, ""},
        {"np.array([2**64 - 1], dtype=np.uint64)", "[-1]", 1, ""},
        {"np.array([2**64 - 1], dtype=np.ulonglong)", "[-1]", 1, ""},
        {"np.array([9007199254740993], dtype=np.uint64)", "[9007199254740992]", 1, ""},
        {"np.array([0.1], dtype=np.float32)", "[0.10000000149011612]", 1, ""},
        {"np.arange(4.0)[::-1]", "[3,2,1,0]", 4, ""},
        {"np.arange(10, dtype=np.int32)[1::3]", "[1,4,7]", 3, ""},
        {"np.arange(6.0).reshape(2, 3)[:, 1]", "[1,4]", 2, ""},
        {"np.array([1.5, -2.25], dtype='>f8')", "[1.5,-2.25]", 2, ""},
        {"np.array([1, -7], dtype='>i4')", "[1,-7]", 2, ""},
        {"np.array([2**33], dtype='>u8')[::-1]", "[8589934592]", 1, ""},
        {"np.array([0.5], dtype='>f4')", "[0.5]", 1, ""},
        {"np.zeros(2, dtype=bool)", "[0,0]", 2, typeError("Unknown type 0 of NumPy array")},
        {"np.array([1, 2], dtype=np.int16)", "[0,0]", 2, typeError("Unknown type 3 of NumPy array")},
        {"np.zeros((1, 3))", "null", 0, ""},
        {"np.array(1.0)", "null", 0, ""},
        {"np.array([])", "null", 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression);
        PyObject *array = in(c.expression);
        ASSERT_TRUE(W::isNumpyArray(array));
        EXPECT_EQ(W::PyObject2NumPyArray(array), reinterpret_cast<PyArrayObject *>(array));
        unsigned long long count = 99;
        EXPECT_EQ(take(W::numPyArray2DoubleTable(W::PyObject2NumPyArray(array), count), c.count), c.expected);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(take(W::PyObject2DoubleTable(array, count), c.count), c.expected);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(printed(), c.printed + c.printed);
    }
    unsigned long long count = 99;
    std::unique_ptr<double[]> bits(W::PyObject2DoubleTable(in("payloads"), count));
    const unsigned long long expectedBits[] = {0x7ff8000000001234ULL, 0x8000000000000000ULL};
    ASSERT_TRUE(bits && count == 2);
    EXPECT_EQ(std::memcmp(bits.get(), expectedBits, sizeof expectedBits), 0);
    for (const char *notArray : {"[1.0]", "np.float64(1.0)", "np.arange(3.0).view(Sub)"})
        EXPECT_FALSE(W::isNumpyArray(in(notArray))) << notArray;
    EXPECT_EQ(W::PyObject2DoubleTable(in("np.arange(3.0).view(Sub)"), count), nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(W::isNumpyArray(nullptr));
    EXPECT_EQ(W::numPyArray2DoubleTable(nullptr, count), nullptr);
}
