#include "pythontest.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

class NumericArraysTest : public PythonTest
{
protected:
    void SetUp() override
    {
        PythonTest::SetUp();
        exec("import numpy as np\n"
             "class Floaty:\n"
             "    def __float__(self): return 4.5\n"
             "class Inty:\n"
             "    def __index__(self): return 7\n"
             "class Shrinker:\n"
             "    def __init__(self, target): self.target = target\n"
             "    def __float__(self):\n"
             "        del self.target[:]\n"
             "        return 1.0\n"
             "    def __index__(self):\n"
             "        del self.target[:]\n"
             "        return 1\n");
    }
    // Every item's reference count, to check that a conversion leaves them all as they were.
    std::vector<Py_ssize_t> itemRefs(PyObject *list)
    {
        std::vector<Py_ssize_t> refs;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
            refs.push_back(Py_REFCNT(PyList_GET_ITEM(list, i)));
        return refs;
    }
};

namespace {
using Values = std::vector<double>;
const Values Refused{}; // the conversion gives null
const Values IndexAsFloat = PY_VERSION_HEX >= 0x03080000 ? Values{0, 7} : Refused;

template <typename T>
Values tableValues(T *table, size_t n)
{
    std::unique_ptr<T[]> owned(table);
    return table ? Values(table, table + n) : Refused;
}
} // namespace

TEST_F(NumericArraysTest, ListsToTablesAcceptWhatTheirParseUnitAccepts)
{
    struct {
        const char *expression;
        Values asDouble, asFloat, asInt, asShort;
    } const cases[] = {
        {"[1, 2.5, True]", {1, 2.5, 1}, {1, 2.5, 1}, Refused, Refused},
        {"[1, 2]", {1, 2}, {1, 2}, {1, 2}, {1, 2}},
        {"[-32768, 32767]", {-32768, 32767}, {-32768, 32767}, {-32768, 32767}, {-32768, 32767}},
        {"[40000]", {40000}, {40000}, {40000}, Refused},
        {"[2**31]", {2147483648.0}, {2147483648.0}, Refused, Refused},
        // Since 3.8 the float units fall back to __index__.
        {"[False, Inty()]", IndexAsFloat, IndexAsFloat, {0, 7}, {0, 7}},
        {"[Floaty()]", {4.5}, {4.5}, Refused, Refused},
        {"[0.1]", {0.1}, {double(0.1f)}, Refused, Refused},
        {"[1, 'x']", Refused, Refused, Refused, Refused},
        {"[10**400]", Refused, Refused, Refused, Refused},
        {"[None]", Refused, Refused, Refused, Refused},
        {"[]", Refused, Refused, Refused, Refused},
        {"(1, 2)", Refused, Refused, Refused, Refused},
        {"np.array([1.0])", {1.0}, Refused, Refused, Refused},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression);
        PyRef object = eval(c.expression);
        const size_t n = PyList_Check(object.get()) ? size_t(PyList_GET_SIZE(object.get())) : 1;
        unsigned long long count = 99;
        EXPECT_EQ(tableValues(TPyQtWrapping::PyObject2DoubleTable(object.get(), count), n), c.asDouble);
        EXPECT_EQ(count, PyList_Check(object.get()) || !c.asDouble.empty() ? n : 0);
        EXPECT_EQ(tableValues(TPyQtWrapping::PyObject2FloatTable(object.get()), n), c.asFloat);
        EXPECT_EQ(tableValues(TPyQtWrapping::PyObject2IntTable(object.get()), n), c.asInt);
        EXPECT_EQ(tableValues(TPyQtWrapping::PyObject2ShortIntTable(object.get()), n), c.asShort);
        EXPECT_FALSE(errorPending());
    }
    unsigned long long count = 99;
    EXPECT_EQ(TPyQtWrapping::PyObject2DoubleTable(nullptr, count), nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(TPyQtWrapping::PyObject2IntTable(nullptr), nullptr);
}

TEST_F(NumericArraysTest, Matrices)
{
    struct {
        const char *expression;
        int rows, columns;
        std::vector<Values> expected; // empty row vector: null row pointer
        bool isNull;
        std::string printed;
    } const cases[] = {
        {"[[1, 2], [3, 4]]", 2, 2, {{1, 2}, {3, 4}}, false, ""},
        {"[[1, 'a'], [2, 3]]", 2, 2, {{}, {2, 3}}, false, ""},
        {"[[], []]", 2, 0, {{}, {}}, false, ""},
        {"[[1, 2], [3]]", 2, -1, {}, true,
         typeError("The list must contain lists (same size) to be a matrix")},
        {"[[1, 2], 5]", 2, -1, {}, true, typeError("The list must contain lists to be a matrix")},
        {"[(1, 2)]", 1, -1, {}, true, typeError("The list must contain lists to be a matrix")},
        {"[]", 0, -1, {}, true, ""},
        {"(1, 2)", -1, -1, {}, true, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression);
        int rows = -1, columns = -1;
        double **matrix = TPyQtWrapping::PyObject2DoubleMatrix(eval(c.expression).get(), rows, columns);
        EXPECT_EQ(rows, c.rows);
        EXPECT_EQ(columns, c.columns);
        EXPECT_EQ(matrix == nullptr, c.isNull);
        for (size_t r = 0; matrix && r < c.expected.size(); ++r) {
            EXPECT_EQ(matrix[r] == nullptr, c.expected[r].empty()) << r;
            if (matrix[r]) {
                EXPECT_EQ(tableValues(matrix[r], size_t(columns)), c.expected[r]);
            }
        }
        delete[] matrix;
        EXPECT_EQ(takeStderr(), c.printed);
    }
    // A row whose element empties the outer list: later rows are gone and come back null.
    exec("outer = [[1.0], [2.0]]\nouter[0][0] = Shrinker(outer)\n");
    int rows = 0, columns = 0;
    std::unique_ptr<double *[]> matrix(TPyQtWrapping::PyObject2DoubleMatrix(eval("outer").get(), rows, columns));
    ASSERT_TRUE(matrix);
    EXPECT_EQ(tableValues(matrix[0], 1), Values{1.0});
    EXPECT_EQ(matrix[1], nullptr);
    EXPECT_FALSE(errorPending());
}

TEST_F(NumericArraysTest, SequencesToNumberLists)
{
    exec("class Raising:\n"
         "    def __len__(self): return 3\n"
         "    def __getitem__(self, i):\n"
         "        if i == 1: raise IndexError(i)\n"
         "        return 5 if i == 0 else 2.5\n");
    const double X = -9999.0;
    struct {
        const char *expression;
        QList<double> doubles;
        QList<int> ints;
        bool ok;
        std::string printedByInts;
    } const cases[] = {
        {"[1.5, 2.5]", {1.5, 2.5}, {-9999, -9999}, true, ""},
        {"[1, 2.0]", {X, 2.0}, {1, -9999}, true, ""},
        {"(1, True, 2.0, 3, 2**31)", {X, X, 2.0, X, X}, {1, -9999, -9999, 3, -9999}, true, ""},
        {"'ab'", {X, X}, {-9999, -9999}, true, ""},
        {"np.array([1.0, 2.0])", {X, X}, {-9999, -9999}, true, ""},
        {"[]", {}, {}, true, ""},
        {"()", {}, {}, true, ""},
        {"Raising()", {X, X, 2.5}, {5, -9999, -9999}, true,
         typeError("PyObject2int: Error trying to convert null to an integer!")},
        {"np.float64(1.0)", {}, {}, false, ""},
        {"np.array(1.0)", {}, {}, true, ""}, // a sequence whose length query raises
        {"5", {}, {}, false, ""},
        {"None", {}, {}, false, ""},
        {"{1: 2}", {}, {}, false, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression);
        PyRef object = eval(c.expression);
        bool ok = !c.ok;
        EXPECT_EQ(TPyQtWrapping::PyObject2QListDouble(object.get(), &ok), c.doubles);
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(takeStderr(), "");
        ok = !c.ok;
        EXPECT_EQ(TPyQtWrapping::PyObject2QListInt(object.get(), &ok), c.ints);
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(takeStderr(), c.printedByInts);
        EXPECT_FALSE(errorPending());
    }
    PyRef list = eval("[1000, 2000.5, 'x']");
    const auto refs = itemRefs(list.get());
    TPyQtWrapping::PyObject2QListInt(list.get());
    TPyQtWrapping::PyObject2QListDouble(list.get());
    EXPECT_EQ(itemRefs(list.get()), refs);
}

TEST_F(NumericArraysTest, TablesAndMatricesToPythonLists)
{
    double doubles[] = {1.5, -2.0, NAN};
    float floats[] = {0.1f, 2.0f};
    EXPECT_EQ(repr(PyRef(TPyQtWrapping::doubleTable2PyObject(doubles, 3)).get()), "[1.5, -2.0, nan]");
    EXPECT_EQ(repr(PyRef(TPyQtWrapping::floatTable2PyObject(floats, 2)).get()), "[0.10000000149011612, 2.0]");
    EXPECT_EQ(repr(PyRef(TPyQtWrapping::doubleTable2PyObject(doubles, 0)).get()), "[]");
    EXPECT_EQ(PyRef(TPyQtWrapping::doubleTable2PyObject(nullptr, 3)).get(), Py_None);
    EXPECT_EQ(PyRef(TPyQtWrapping::floatTable2PyObject(nullptr, 0)).get(), Py_None);

    double row0[] = {1, 2, 3}, row1[] = {4, 5, 6};
    double *matrix[] = {row0, row1};
    double *nullRows[] = {nullptr, nullptr};
    double *secondNull[] = {row0, nullptr};
    float frow[] = {0.5f};
    float *fmatrix[] = {frow};
    EXPECT_EQ(repr(PyRef(TPyQtWrapping::doubleMatrix2PyObject(matrix, 2, 3)).get()),
              "[[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]");
    EXPECT_EQ(repr(PyRef(TPyQtWrapping::doubleMatrix2PyObject(nullRows, 2, 0)).get()), "[None, None]");
    EXPECT_EQ(repr(PyRef(TPyQtWrapping::doubleMatrix2PyObject(matrix, 2, 0)).get()), "[[], []]");
    EXPECT_EQ(repr(PyRef(TPyQtWrapping::doubleMatrix2PyObject(secondNull, 2, 1)).get()), "[[1.0], None]");
    EXPECT_EQ(repr(PyRef(TPyQtWrapping::doubleMatrix2PyObject(matrix, 0, 3)).get()), "[]");
    EXPECT_EQ(repr(PyRef(TPyQtWrapping::floatMatrix2PyObject(fmatrix, 1, 1)).get()), "[[0.5]]");
    EXPECT_EQ(PyRef(TPyQtWrapping::floatMatrix2PyObject(nullptr, 1, 1)).get(), Py_None);
    EXPECT_EQ(takeStderr(), "");

    // Lists beyond what the interpreter can allocate: null for tables, None for matrices.
    const unsigned long long huge = 1ULL << 61;
    EXPECT_EQ(TPyQtWrapping::doubleTable2PyObject(doubles, huge), nullptr);
    EXPECT_EQ(TPyQtWrapping::floatTable2PyObject(floats, ~0ULL), nullptr);
    EXPECT_EQ(PyRef(TPyQtWrapping::doubleMatrix2PyObject(matrix, huge, 3)).get(), Py_None);
    EXPECT_EQ(takeStderr(),
              typeError("ERROR: converting double[] to Python list: null list returned for size 2305843009213693952") +
                  typeError("ERROR: converting float[] to Python list: null list returned for size 18446744073709551615") +
                  typeError("ERROR: converting double** to Python list: null list returned for size 2305843009213693952"));
    EXPECT_FALSE(errorPending());
}

TEST_F(NumericArraysTest, NumberListsToPythonLists)
{
    const QList<double> doubles{1.5, -0.0, NAN};
    EXPECT_EQ(repr(PyRef(TPyQtWrapping::QListDouble2PyObject(doubles)).get()), "[1.5, -0.0, nan]");
    EXPECT_EQ(repr(PyRef(TPyQtWrapping::QListFloat2PyObject({0.1f})).get()), "[0.10000000149011612]");
    EXPECT_EQ(repr(PyRef(TPyQtWrapping::QListInt2PyObject({INT32_MIN, 0, INT32_MAX})).get()),
              "[-2147483648, 0, 2147483647]");
    for (PyObject *empty : {TPyQtWrapping::QListDouble2PyObject({}), TPyQtWrapping::QListFloat2PyObject({}),
                            TPyQtWrapping::QListInt2PyObject({})}) {
        EXPECT_EQ(repr(empty), "[]");
        Py_DECREF(empty);
    }
    EXPECT_EQ(doubles.size(), 3);
    EXPECT_EQ(takeStderr(), "");
}

TEST_F(NumericArraysTest, NumpyArraysToDoubleTables)
{
    struct {
        const char *expression;
        Values expected; // empty: null table
        unsigned long long count;
        std::string printed;
    } const cases[] = {
        {"np.array([1, -2, 3], dtype=np.int32)", {1, -2, 3}, 3, ""},
        {"np.array([4294967295], dtype=np.uint32)", {4294967295.0}, 1, ""},
        {"np.arange(5)", {0, 1, 2, 3, 4}, 5, ""},
        {"np.array([-5, 2**40], dtype=np.longlong)", {-5, 1099511627776.0}, 2, ""},
        {"np.array([2**64 - 1], dtype=np.uint64)", {-1.0}, 1, ""},
        {"np.array([2**64 - 1], dtype=np.ulonglong)", {-1.0}, 1, ""},
        {"np.array([9007199254740993], dtype=np.uint64)", {9007199254740992.0}, 1, ""},
        {"np.array([0.1], dtype=np.float32)", {double(0.1f)}, 1, ""},
        {"np.arange(6.0)[::-1]", {5, 4, 3, 2, 1, 0}, 6, ""},
        {"np.arange(10, dtype=np.int32)[1::3]", {1, 4, 7}, 3, ""},
        {"np.arange(6.0).reshape(2, 3)[:, 1]", {1, 4}, 2, ""},
        {"np.array([1.5, -2.25], dtype='>f8')", {1.5, -2.25}, 2, ""},
        {"np.array([1, -7], dtype='>i4')", {1, -7}, 2, ""},
        {"np.array([2**33], dtype='>u8')[::-1]", {8589934592.0}, 1, ""},
        {"np.array([0.5], dtype='>f4')", {0.5}, 1, ""},
        {"np.zeros(4, dtype=bool)", {0, 0, 0, 0}, 4, typeError("Unknown type 0 of NumPy array")},
        {"np.array([1, 2], dtype=np.int16)", {0, 0}, 2, typeError("Unknown type 3 of NumPy array")},
        {"np.zeros((1, 3))", {}, 0, ""},
        {"np.array(1.0)", {}, 0, ""},
        {"np.array([])", {}, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression);
        PyRef array = eval(c.expression);
        ASSERT_TRUE(TPyQtWrapping::isNumpyArray(array.get()));
        const Py_ssize_t refs = Py_REFCNT(array.get());
        unsigned long long count = 99;
        double *table = TPyQtWrapping::numPyArray2DoubleTable(TPyQtWrapping::PyObject2NumPyArray(array.get()), count);
        EXPECT_EQ(tableValues(table, size_t(count)), c.expected);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(takeStderr(), c.printed);
        table = TPyQtWrapping::PyObject2DoubleTable(array.get(), count);
        EXPECT_EQ(tableValues(table, size_t(count)), c.expected);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(takeStderr(), c.printed);
        EXPECT_EQ(Py_REFCNT(array.get()), refs);
    }
    unsigned long long count = 99;
    EXPECT_EQ(TPyQtWrapping::numPyArray2DoubleTable(nullptr, count), nullptr);
    EXPECT_EQ(count, 0u);
}

TEST_F(NumericArraysTest, Float64ArraysKeepTheirBits)
{
    exec("_bits = np.array([0x7ff8000000001234, 0x8000000000000000, 0xfff0000000000001], dtype=np.uint64)\n"
         "_payloads = _bits.view(np.float64)\n");
    PyRef payloads = eval("_payloads");
    unsigned long long count = 0;
    std::unique_ptr<double[]> table(TPyQtWrapping::PyObject2DoubleTable(payloads.get(), count));
    ASSERT_EQ(count, 3u);
    const unsigned long long expected[] = {0x7ff8000000001234ULL, 0x8000000000000000ULL, 0xfff0000000000001ULL};
    for (int i = 0; i < 3; ++i) {
        unsigned long long bits;
        std::memcpy(&bits, &table[i], 8);
        EXPECT_EQ(bits, expected[i]) << i;
    }
}

TEST_F(NumericArraysTest, OnlyExactNdarraysAreArrays)
{
    exec("class Sub(np.ndarray): pass\n");
    EXPECT_FALSE(TPyQtWrapping::isNumpyArray(nullptr));
    EXPECT_FALSE(TPyQtWrapping::isNumpyArray(eval("[1.0]").get()));
    EXPECT_FALSE(TPyQtWrapping::isNumpyArray(eval("np.float64(1.0)").get()));
    PyRef sub = eval("np.arange(3.0).view(Sub)");
    EXPECT_FALSE(TPyQtWrapping::isNumpyArray(sub.get()));
    unsigned long long count = 99;
    EXPECT_EQ(TPyQtWrapping::PyObject2DoubleTable(sub.get(), count), nullptr);
    EXPECT_EQ(count, 0u);
    PyRef array = eval("np.arange(3.0)");
    EXPECT_EQ(TPyQtWrapping::PyObject2NumPyArray(array.get()), reinterpret_cast<PyArrayObject *>(array.get()));
}
