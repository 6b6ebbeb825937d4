// Tests: sequences and NumPy arrays to tables, matrices and number lists, and those back to Python.
#include "pythontest.h"

#include <cmath>
#include <cstring>
#include <iomanip>
#include <memory>
#include <sstream>
#include <vector>

namespace {

// Numbers as "[a,b]" in their exact form, or "null" for no table; a table passed in is released.
template <typename T>
std::string show(T *values, long long n, bool owned = true)
{
    const std::unique_ptr<T[]> table(owned ? values : nullptr);
    std::ostringstream out;
    for (long long i = 0; values && i < n; ++i) {
        const double value = values[i];
        unsigned long long bits; // a NaN with its payload
        std::memcpy(&bits, &value, sizeof bits);
        out << (i ? "," : "") << std::setprecision(17);
        (value == value ? out << value : out << "nan:" << std::hex << bits << std::dec);
    }
    return values ? "[" + out.str() + "]" : "null";
}

template <typename T>
std::string show(const QList<T> &list, bool ok = true)
{
    const std::vector<T> values(list.begin(), list.end());
    return (values.empty() ? "[]" : show(values.data(), values.size(), false)) + (ok ? "" : "?");
}

} // namespace

class NumericArraysTest : public PythonTest
{
protected:
    // Every member that reads a sequence of numbers, by its result: Double[] is PyObject2DoubleTable,
    // and so on; '?' after a list whose ok flag is false.
    Results sequence(const char *e)
    {
        PyObject *o = in(e);
        const long long n = PyList_Check(o) ? PyList_GET_SIZE(o) : 0;
        unsigned long long count = 99;
        Results results{{"Double[]", show(W::PyObject2DoubleTable(o, count), n)}};
        EXPECT_EQ(count, (unsigned long long)n);
        bool doublesOk = false, intsOk = false;
        const QList<double> doubles = W::PyObject2QListDouble(o, &doublesOk);
        const QList<int> ints = W::PyObject2QListInt(o, &intsOk);
        results["QListDouble"] = show(doubles, doublesOk);
        results["QListInt"] = show(ints, intsOk);
        results["Float[]"] = show(W::PyObject2FloatTable(o), n);
        results["Int[]"] = show(W::PyObject2IntTable(o), n);
        results["ShortInt[]"] = show(W::PyObject2ShortIntTable(o), n);
        results["report"] = printed();
        return results;
    }
    // An object with only __index__ ($index): the parse units take it from 3.8 on, none before.
    void expectSequences(const char *table)
    {
        exec("class L(list): __getitem__ = lambda s, i: 'x'\n");
        const Values values{
            {"$index", PY_VERSION_HEX >= 0x03080000 ? "[0,7]" : "null"},
            {"$null", typeError("PyObject2int: Error trying to convert null to an integer!")}};
        expectTable([&](const char *e) { return sequence(e); }, values, table);
    }
};

TEST_F(NumericArraysTest, SequencesToTables)
{
    expectSequences(R"(
        input             Double[]                  Float[]                Int[]           ShortInt[]  report
        [1, 2.5, True]    [1,2.5,1]                 [1,2.5,1]              null            null
        [-32768, 32767]   [-32768,32767]            [-32768,32767]         [-32768,32767]  [-32768,32767]
        [-32769]          [-32769]                  [-32769]               [-32769]        null
        [32768]           [32768]                   [32768]                [32768]         null
        [2**31 - 1]       [2147483647]              [2147483648]           [2147483647]    null
        [-2**31]          [-2147483648]             [-2147483648]          [-2147483648]   null
        [2**31]           [2147483648]              [2147483648]           null            null
        [-2**31 - 1]      [-2147483649]             [-2147483648]          null            null
        [False, Inty()]   $index                    $index                 $index          $index
        [Floaty(), -0.0]  [4.5,-0]                  [4.5,-0]               null            null
        [0.1]             [0.10000000000000001]     [0.10000000149011612]  null            null
        [1e39]            [9.9999999999999994e+38]  [inf]                  null            null
        [1, 'x']          null                      null                   null            null
        [10**400, None]   null                      null                   null            null
        []                null                      null                   null            null
        L([1])            [1]                       [1]                    [1]             [1]
        (1, 2.0)          null                      null                   null            null
        Raising()         null                      null                   null            null        $null
        None              null                      null                   null            null
    )");
    // An element that shrinks the list refuses the rest: a gone index is never read.
    unsigned long long count = 0;
    EXPECT_EQ(W::PyObject2IntTable(in("shrinking(2, 3)")), nullptr);
    EXPECT_EQ(W::PyObject2DoubleTable(in("shrinking(2.0)"), count), nullptr);
    EXPECT_EQ(W::PyObject2DoubleTable(nullptr, count), nullptr);
    EXPECT_EQ(count, 0u);
}

TEST_F(NumericArraysTest, SequencesToNumberLists)
{
    expectSequences(R"(
        input                QListDouble               QListInt             report
        [1, 2.5, True]       [-9999,2.5,-9999]         [1,-9999,-9999]
        [-32768, 32767]      [-9999,-9999]             [-32768,32767]
        [2**31 - 1, -2**31]  [-9999,-9999]             [2147483647,-2147483648]
        [2**31]              [-9999]                   [-9999]
        [False, Inty()]      [-9999,-9999]             [-9999,-9999]
        [Floaty(), -0.0]     [-9999,-0]                [-9999,-9999]
        [0.1]                [0.10000000000000001]     [-9999]
        [1e39]               [9.9999999999999994e+38]  [-9999]
        [1, 'x']             [-9999,-9999]             [1,-9999]
        [10**400, None]      [-9999,-9999]             [-9999,-9999]
        []                   []                        []
        (1, 2.0)             [-9999,2]                 [1,-9999]
        L([1])               [-9999]                   [-9999]
        'ab'                 [-9999,-9999]             [-9999,-9999]
        range(2)             [-9999,-9999]             [0,1]
        Raising()            [-9999,-9999,2.5]         [-9999,-9999,-9999]  $null
        5                    []?                       []?
        None                 []?                       []?
        {1: 2}               []?                       []?
    )");
    bool ok = true;
    EXPECT_TRUE(W::PyObject2QListInt(nullptr, &ok).isEmpty() && !ok);
}

TEST_F(NumericArraysTest, Matrices)
{
    exec("outer = [[None], [2.0]]\nouter[0][0] = Shrinker(outer)\n");
    const Values values{{"$ragged", typeError("The list must contain lists (same size) to be a matrix")},
                        {"$notLists", typeError("The list must contain lists to be a matrix")}};
    const auto convert = [&](const char *e) {
        int rows = -1, columns = -1;
        std::unique_ptr<double *[]> matrix(W::PyObject2DoubleMatrix(in(e), rows, columns));
        std::string shown = matrix ? "" : "null";
        for (int r = 0; matrix && r < rows; ++r)
            shown += (r ? " " : "") + show(matrix[r], columns);
        return Results{{"rows", shown},
                       {"shape", std::to_string(rows) + "x" + std::to_string(columns)},
                       {"report", printed()}};
    };
    expectTable(convert, values, R"(
        input               rows         shape  report
        [[1, 2], [3, 4]]    [1,2] [3,4]  2x2
        [[1, 'a'], [2, 3]]  null [2,3]   2x2
        [[], []]            null null    2x0
        outer               [1] null     2x1
        [[1, 2], [3]]       null         2x-1   $ragged
        [[1, 2], 5]         null         2x-1   $notLists
        [(1, 2)]            null         1x-1   $notLists
        []                  null         0x-1
        (1, 2)              null         -1x-1
    )");
}

TEST_F(NumericArraysTest, TablesMatricesAndNumberListsToPythonLists)
{
    double doubles[] = {1.5, -2.0, NAN}, row0[] = {1, 2}, row1[] = {3, 4};
    float floats[] = {0.1f, 2.0f};
    double *matrix[] = {row0, row1}, *secondNull[] = {row0, nullptr};
    float *floatMatrix[] = {floats};
    const unsigned long long huge = 1ULL << 61, all = ~0ULL;
    const std::pair<PyObject *, const char *> cases[] = {
        {W::doubleTable2PyObject(doubles, 3), "[1.5, -2.0, nan]"},
        {W::floatTable2PyObject(floats, 2), "[0.10000000149011612, 2.0]"},
        {W::doubleTable2PyObject(doubles, 0), "[]"},
        {W::doubleTable2PyObject(nullptr, 3), "None"},
        {W::floatTable2PyObject(nullptr, 0), "None"},
        {W::doubleMatrix2PyObject(matrix, 2, 2), "[[1.0, 2.0], [3.0, 4.0]]"},
        {W::doubleMatrix2PyObject(secondNull, 2, 1), "[[1.0], None]"},
        {W::doubleMatrix2PyObject(matrix, 0, 2), "[]"},
        {W::floatMatrix2PyObject(nullptr, 1, 1), "None"},
        {W::floatMatrix2PyObject(floatMatrix, 1, 2), "[[0.10000000149011612, 2.0]]"},
        {W::QListDouble2PyObject({1.5, -0.0, NAN}), "[1.5, -0.0, nan]"},
        {W::QListFloat2PyObject({0.1f}), "[0.10000000149011612]"},
        {W::QListInt2PyObject({INT32_MIN, 0, INT32_MAX}), "[-2147483648, 0, 2147483647]"},
        {W::QListInt2PyObject({}), "[]"},
        // Lists beyond what the interpreter can allocate: null for tables, None for the others, reported.
        {W::doubleTable2PyObject(doubles, huge), "<null>"},
        {W::floatTable2PyObject(floats, all), "<null>"},
        {W::doubleMatrix2PyObject(matrix, huge, 3), "None"},
        {W::floatMatrix2PyObject(floatMatrix, all, 3), "None"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(reprOf(c.first), c.second);
    const QString tooLarge =
        QStringLiteral("TypeError: ERROR: converting %1 to Python list: null list returned for size %2\n");
    EXPECT_EQ(
        printed(),
        (tooLarge.arg(QLatin1String("double[]")).arg(huge) + tooLarge.arg(QLatin1String("float[]")).arg(all) +
         tooLarge.arg(QLatin1String("double**")).arg(huge) + tooLarge.arg(QLatin1String("float**")).arg(all))
            .toStdString());
}

TEST_F(NumericArraysTest, NumpyArraysToDoubleTables)
{
    REQUIRE_NUMPY();
    exec("import numpy as np\nSub = type('Sub', (np.ndarray,), {})\n");
    // PyObject2DoubleTable gives what numPyArray2DoubleTable gives.
    const auto results = [&](double *values, unsigned long long count) {
        return Results{
            {"table", show(values, count)}, {"count", std::to_string(count)}, {"report", printed()}};
    };
    const auto convert = [&](const char *e) {
        PyObject *array = in(e);
        EXPECT_TRUE(W::isNumpyArray(array));
        unsigned long long count = 99, listCount = 99;
        double *values = W::numPyArray2DoubleTable(W::PyObject2NumPyArray(array), count);
        const Results table = results(values, count);
        double *listValues = W::PyObject2DoubleTable(array, listCount);
        EXPECT_EQ(results(listValues, listCount), table) << "from PyObject2DoubleTable";
        return table;
    };
    const Values values{{"$bool", typeError("Unknown type 0 of NumPy array")},
                        {"$int16", typeError("Unknown type 3 of NumPy array")}};
    expectTable(convert, values, R"(
        input                                                     table                      count  report
        np.array([1, -2, 2**31 - 1], dtype=np.int32)              [1,-2,2147483647]          3
        np.array([4294967295], dtype=np.uint32)                   [4294967295]               1
        np.arange(3)                                              [0,1,2]                    3
        np.array([-5, 2**40], dtype=np.longlong)                  [-5,1099511627776]         2
        np.array([2**64 - 1], dtype=np.uint64)                    [-1]                       1
        np.array([2**33], dtype=np.ulonglong)                     [8589934592]               1
        np.array([9007199254740993], dtype=np.uint64)             [9007199254740992]         1
        np.array([0.1], dtype=np.float32)                         [0.10000000149011612]      1
        np.arange(4.0)[::-1]                                      [3,2,1,0]                  4
        np.arange(10, dtype=np.int32)[1::3]                       [1,4,7]                    3
        np.arange(6.0).reshape(2, 3)[:, 1]                        [1,4]                      2
        np.array([1.5, -2.25], dtype='>f8')                       [1.5,-2.25]                2
        np.array([1, -7], dtype='>i4')                            [1,-7]                     2
        np.array([2**33], dtype='>u8')[::-1]                      [8589934592]               1
        np.array([0.5], dtype='>f4')                              [0.5]                      1
        np.zeros(2, dtype=bool)                                   [0,0]                      2      $bool
        np.array([1, 2], dtype=np.int16)                          [0,0]                      2      $int16
        np.array([0x7ff8000000001234, 1 << 63], 'u8').view('f8')  [nan:7ff8000000001234,-0]  2
        np.zeros((1, 3))                                          null                       0
        np.array(1.0)                                             null                       0
        np.array([])                                              null                       0
    )");
    unsigned long long count = 99;
    for (const char *notArray : {"[1.0]", "np.float64(1.0)", "np.arange(3.0).view(Sub)"})
        EXPECT_FALSE(W::isNumpyArray(in(notArray))) << notArray;
    EXPECT_EQ(W::PyObject2DoubleTable(in("np.arange(3.0).view(Sub)"), count), nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(W::isNumpyArray(nullptr));
    EXPECT_EQ(W::numPyArray2DoubleTable(nullptr, count), nullptr);
}
