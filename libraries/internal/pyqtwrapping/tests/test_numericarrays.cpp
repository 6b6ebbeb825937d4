// Tests: sequences and NumPy arrays to tables, matrices and number lists, and those back to Python.
#include "pythontest.h"

#include <cmath>
#include <memory>
#include <vector>

using HostSupport::numbers;

namespace {

// A table's first n numbers, or "null"; the table is released.
template <typename T>
std::string table(T *values, long long n)
{
    const std::unique_ptr<T[]> owned(values);
    return numbers(values, values + (values ? n : 0), values != nullptr);
}

} // namespace

using NumericArraysTest = PythonTest;

// Every member that reads a sequence of numbers, by its result: Double[] is PyObject2DoubleTable,
// and so on; '?' after a list whose ok flag is false. An element that shrinks the list refuses the
// rest. An object with only __index__ ($index, $shrunk): the parse units take it from 3.8 on, none
// before.
TEST_F(NumericArraysTest, SequencesToTablesAndNumberLists)
{
    exec("class L(list): __getitem__ = lambda s, i: 'x'\n");
    const auto convert = [&](const char *e) {
        PyObject *o = in(e);
        const auto list = [](const auto &values) { return numbers(values.begin(), values.end()); };
        // A table has as many numbers as the list has when the member returns.
        const auto sized = [&](auto *values) {
            return table(values, o && PyList_Check(o) ? PyList_GET_SIZE(o) : 0);
        };
        unsigned long long count = 99, length = o && PyList_Check(o) ? PyList_GET_SIZE(o) : 0;
        Results results{{"Double[]", sized(W::PyObject2DoubleTable(o, count))}};
        EXPECT_EQ(count, length);
        results["Float[]"] = sized(W::PyObject2FloatTable(o));
        results["Int[]"] = sized(W::PyObject2IntTable(o));
        results["ShortInt[]"] = sized(W::PyObject2ShortIntTable(o));
        results["QListDouble"] = withOk([&](bool *ok) { return W::PyObject2QListDouble(o, ok); }, list);
        results["QListInt"] = withOk([&](bool *ok) { return W::PyObject2QListInt(o, ok); }, list);
        results["report"] = printed();
        return results;
    };
    const char *const members = "PyObject2DoubleTable, PyObject2FloatTable, PyObject2IntTable, "
                                "PyObject2ShortIntTable, PyObject2QListDouble, PyObject2QListInt";
    expectTable(members, convert, R"(
        input              Double[]         Float[]                Int[]            ShortInt[]       QListDouble          QListInt               report
        [1, 2.5, True]     [1, 2.5, 1]      [1, 2.5, 1]            null             null             [-9999, 2.5, -9999]  [1, -9999, -9999]
        [-32768, 32767]    [-32768, 32767]  [-32768, 32767]        [-32768, 32767]  [-32768, 32767]  [-9999, -9999]       [-32768, 32767]
        [-32769]           [-32769]         [-32769]               [-32769]         null             [-9999]              [-32769]
        [32768]            [32768]          [32768]                [32768]          null             [-9999]              [32768]
        [2**31 - 1]        [2147483647]     [2147483648]           [2147483647]     null             [-9999]              [2147483647]
        [-2**31]           [-2147483648]    [-2147483648]          [-2147483648]    null             [-9999]              [-2147483648]
        [2**31]            [2147483648]     [2147483648]           null             null             [-9999]              [-9999]
        [-2**31 - 1]       [-2147483649]    [-2147483648]          null             null             [-9999]              [-9999]
        [False, Inty()]    $index           $index                 $index           $index           [-9999, -9999]       [-9999, -9999]
        [Floaty(), -0.0]   [4.5, -0]        [4.5, -0]              null             null             [-9999, -0]          [-9999, -9999]
        [1e39]             [1e+39]          [inf]                  null             null             [1e+39]              [-9999]
        [10**400, None]    null             null                   null             null             [-9999, -9999]       [-9999, -9999]
        []                 null             null                   null             null             []                   []
        L([1])             [1]              [1]                    [1]              [1]              [-9999]              [-9999]
        (1, 2.0)           null             null                   null             null             [-9999, 2]           [1, -9999]
        Raising()          null             null                   null             null             [-9999, -9999, 2.5]  [-9999, -9999, -9999]  $null
        None | 5 | {1: 2} | null  null             null                   null             null             []?                  []?
        shrinking(2, 3.0)  null             [1]                    $shrunk              $shrunk              [-9999]              [-9999]
    )",
                {{"$index", PY_VERSION_HEX >= 0x03080000 ? "[0, 7]" : "null"},
                 {"$shrunk", PY_VERSION_HEX >= 0x03080000 ? "[1]" : "null"},
                 {"$null", QString::fromStdString(
                               typeError("PyObject2int: Error trying to convert null to an integer!"))
                               .repeated(3) // once for each call of withOk
                               .toStdString()}});
}

TEST_F(NumericArraysTest, Matrices)
{
    exec("outer = [[None], [2.0]]\nouter[0][0] = Shrinker(outer)\n");
    const auto convert = [&](const char *e) {
        int rows = -1, columns = -1;
        std::unique_ptr<double *[]> matrix(W::PyObject2DoubleMatrix(in(e), rows, columns));
        std::string shown = matrix ? "" : "null";
        for (int r = 0; matrix && r < rows; ++r)
            shown += (r ? " " : "") + table(matrix[r], columns);
        return Results{{"rows", shown},
                       {"shape", std::to_string(rows) + "x" + std::to_string(columns)},
                       {"report", printed()}};
    };
    expectTable("PyObject2DoubleMatrix", convert, R"(
        input               rows            shape  report
        [[1, 2], [3, 4]]    [1, 2] [3, 4]   2x2
        [[1, 'a'], [2, 3]]  null [2, 3]     2x2
        [[], []]            null null       2x0
        outer               [1] null        2x1
        [[1, 2], [3]]       null            2x-1   $ragged
        [[1, 2], 5]         null            2x-1   $notLists
        []                  null            0x-1
        (1, 2) | null       null            -1x-1
    )",
                {{"$ragged", typeError("The list must contain lists (same size) to be a matrix")},
                 {"$notLists", typeError("The list must contain lists to be a matrix")}});
}

// Tables, number lists, and matrices of two rows, from a list of floats; null tables for null.
TEST_F(NumericArraysTest, TablesMatricesAndNumberListsToPythonLists)
{
    const auto convert = [&](const char *e) {
        PyObject *o = in(e);
        std::vector<double> doubles;
        for (Py_ssize_t i = 0; o && i < PyList_GET_SIZE(o); ++i)
            doubles.push_back(PyFloat_AsDouble(PyList_GET_ITEM(o, i)));
        std::vector<float> floats(doubles.begin(), doubles.end());
        doubles.reserve(8), floats.reserve(8); // rows of no columns are still rows
        const size_t half = doubles.size() / 2;
        double *rows[] = {doubles.data(), doubles.data() + half}, *table = o ? rows[0] : nullptr;
        float *floatRows[] = {floats.data(), floats.data() + half}, *floatTable = o ? floatRows[0] : nullptr;
        return Results{
            {"double[]", reprOf(W::doubleTable2PyObject(table, doubles.size()))},
            {"float[]", reprOf(W::floatTable2PyObject(floatTable, floats.size()))},
            {"QListDouble", reprOf(W::QListDouble2PyObject(QList<double>(doubles.begin(), doubles.end())))},
            {"QListFloat", reprOf(W::QListFloat2PyObject(QList<float>(floats.begin(), floats.end())))},
            {"double**", reprOf(W::doubleMatrix2PyObject(o ? rows : nullptr, 2, half))},
            {"float**", reprOf(W::floatMatrix2PyObject(o ? floatRows : nullptr, 2, half))}};
    };
    const char *const members = "doubleTable2PyObject, floatTable2PyObject, QListDouble2PyObject, "
                                "QListFloat2PyObject, doubleMatrix2PyObject, floatMatrix2PyObject";
    expectTable(members, convert, R"(
        input                           double[]               float[]                                QListDouble            QListFloat                             double**                   float**
        [1.5, -0.0, float('nan'), 0.1]  [1.5, -0.0, nan, 0.1]  [1.5, -0.0, nan, 0.10000000149011612]  [1.5, -0.0, nan, 0.1]  [1.5, -0.0, nan, 0.10000000149011612]  [[1.5, -0.0], [nan, 0.1]]  [[1.5, -0.0], [nan, 0.10000000149011612]]
        []                              []                     []                                     []                     []                                     [[], []]                   [[], []]
        null                            None                   None                                   []                     []                                     None                       None
    )");
    double row[] = {1, 2}, *secondNull[] = {row, nullptr};
    EXPECT_EQ(reprOf(W::doubleMatrix2PyObject(secondNull, 2, 1)), "[[1.0], None]");
    EXPECT_EQ(reprOf(W::doubleMatrix2PyObject(secondNull, 0, 2)), "[]");
    EXPECT_EQ(reprOf(W::QListInt2PyObject({INT32_MIN, 0, INT32_MAX})), "[-2147483648, 0, 2147483647]");
    // Lists beyond what the interpreter can allocate: null for a table, None for a matrix, reported.
    EXPECT_EQ(reprOf(W::doubleTable2PyObject(row, 1ULL << 61)), "<null>");
    EXPECT_EQ(reprOf(W::doubleMatrix2PyObject(secondNull, ~0ULL, 3)), "None");
    EXPECT_EQ(printed(),
              typeError("ERROR: converting double[] to Python list: null list returned for size "
                        "2305843009213693952") +
                  typeError("ERROR: converting double** to Python list: null list returned for size "
                            "18446744073709551615"));
}

TEST_F(NumericArraysTest, NumpyArraysToDoubleTables)
{
    REQUIRE_NUMPY();
    // odd(): the values' array one byte past an aligned address, as a file parser makes it.
    exec("import numpy as np\nSub = type('Sub', (np.ndarray,), {})\n"
         "odd = lambda v, t: np.frombuffer(b'_' + np.array(v, t).tobytes(), t, offset=1)\n");
    // PyObject2DoubleTable gives what numPyArray2DoubleTable gives.
    const auto results = [&](double *values, unsigned long long count) {
        return Results{
            {"table", table(values, count)}, {"count", std::to_string(count)}, {"report", printed()}};
    };
    const auto convert = [&](const char *e) {
        PyObject *array = in(e);
        EXPECT_TRUE(W::isNumpyArray(array));
        unsigned long long count = 99, listCount = 99;
        double *values = W::numPyArray2DoubleTable(W::PyObject2NumPyArray(array), count);
        const Results fromArray = results(values, count);
        double *listValues = W::PyObject2DoubleTable(array, listCount);
        EXPECT_EQ(results(listValues, listCount), fromArray) << "from the list member";
        return fromArray;
    };
    expectTable("numPyArray2DoubleTable, PyObject2DoubleTable", convert, R"(
        input                                                     table                      count  report
        np.array([1, -2, 2**31 - 1], dtype=np.int32)              [1, -2, 2147483647]        3
        np.array([4294967295], dtype=np.uint32)                   [4294967295]               1
        np.arange(3)                                              [0, 1, 2]                  3
        np.array([-5, 2**40], dtype=np.longlong)                  [-5, 1099511627776]        2
        np.array([2**64 - 1], dtype=np.uint64)                    [-1]                       1
        np.array([2**33], dtype=np.ulonglong)                     [8589934592]               1
        np.array([0.1], dtype=np.float32)                         [0.10000000149011612]      1
        np.arange(10, dtype=np.int32)[1::3]                       [1, 4, 7]                  3
        np.array([2**33], dtype='>u8')[::-1]                      [8589934592]               1
        np.array([0.5], dtype='>f4')                              [0.5]                      1
        np.zeros(2, dtype=bool)                                   [0, 0]                     2      $bool
        np.array([1, 2], dtype=np.int16)                          [0, 0]                     2      $int16
        np.array([0x7ff8000000001234, 1 << 63], 'u8').view('f8')  [nan, -0]                  2
        odd([1.5, -2], 'f4') | odd([1.5, -2], 'f8') | odd([1.5, -2], '>f4')  [1.5, -2]      2
        odd([7, -8], 'i4') | odd([7, -8], 'i8') | odd([7, -8], '>i8')        [7, -8]        2
        odd([7, 8], 'u2')                                         [0, 0]                     2      $uint16
        np.zeros((1, 3)) | np.array(1.0) | np.array([])           null                       0
    )",
                {{"$bool", typeError("Unknown type 0 of NumPy array")},
                 {"$int16", typeError("Unknown type 3 of NumPy array")},
                 {"$uint16", typeError("Unknown type 4 of NumPy array")}});
    unsigned long long count = 99;
    for (const char *notArray : {"[1.0]", "np.float64(1.0)", "np.arange(3.0).view(Sub)"})
        EXPECT_FALSE(W::isNumpyArray(in(notArray))) << notArray;
    EXPECT_EQ(W::PyObject2DoubleTable(in("np.arange(3.0).view(Sub)"), count), nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(W::isNumpyArray(nullptr));
    EXPECT_EQ(W::numPyArray2DoubleTable(nullptr, count), nullptr);
}
