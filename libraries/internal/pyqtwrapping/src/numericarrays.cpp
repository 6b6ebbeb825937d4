#include "tpyqtwrapping_p.h"

// Only the layout of NumPy's objects and its type numbers are used: no NumPy function is
// called and its C API is never imported, so the library works where NumPy is absent.
#include <numpy/ndarraytypes.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <type_traits>

using namespace PyQtWrappingPrivate;

// ---- Python lists to tables and matrices --------------------------------------------------------

namespace {

// One element by PyArg_Parse and its format unit. Exact floats and ints are read directly where
// that is exactly what the unit gives for them; everything else takes the interpreter's own path,
// whose error is cleared on refusal.
template <typename T>
bool parseElement(PyObject *item, T &value);

bool parseGeneric(PyObject *item, const char *unit, void *value)
{
    if (PyArg_Parse(item, unit, value))
        return true;
    PyErr_Clear();
    return false;
}

template <>
bool parseElement<double>(PyObject *item, double &value)
{
    if (isExactFloat(item)) {
        value = PyFloat_AS_DOUBLE(item);
        return true;
    }
    return parseGeneric(item, "d", &value);
}

template <>
bool parseElement<float>(PyObject *item, float &value)
{
    if (isExactFloat(item)) {
        value = static_cast<float>(PyFloat_AS_DOUBLE(item));
        return true;
    }
    return parseGeneric(item, "f", &value);
}

template <>
bool parseElement<int>(PyObject *item, int &value)
{
    if (isExactInt(item))
        return readInt32(item, value);
    return parseGeneric(item, "i", &value);
}

template <>
bool parseElement<short>(PyObject *item, short &value)
{
    if (isExactInt(item)) {
        int wide = 0;
        if (!readInt32(item, wide) || wide < SHRT_MIN || wide > SHRT_MAX)
            return false;
        value = static_cast<short>(wide);
        return true;
    }
    return parseGeneric(item, "h", &value);
}

// The items of a list of n elements (n taken before the call) as a table, or null as soon as one
// is refused. An element's conversion may run Python code that changes the list: the item is
// held while it converts, and an index that no longer exists is a refusal.
template <typename T>
T *listToTable(PyObject *list, Py_ssize_t n)
{
    std::unique_ptr<T[]> table(new T[size_t(n)]);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i >= PyList_GET_SIZE(list))
            return nullptr;
        PyObject *item = PyList_GET_ITEM(list, i);
        // Exact floats and ints convert without running Python code; nothing else needs holding.
        if (std::is_floating_point<T>::value && isExactFloat(item)) {
            table[i] = static_cast<T>(PyFloat_AS_DOUBLE(item));
            continue;
        }
        if (isExactInt(item) || isExactFloat(item)) {
            if (!parseElement(item, table[i]))
                return nullptr;
            continue;
        }
        PyRef held = PyRef::borrowed(item);
        if (!parseElement(held.get(), table[i]))
            return nullptr;
    }
    return table.release();
}

// The tables that report no size read the list's length as a 32-bit count.
template <typename T>
T *listToTable(PyObject *object)
{
    if (!object || !PyList_Check(object))
        return nullptr;
    const int n = count32(PyList_GET_SIZE(object));
    return n > 0 ? listToTable<T>(object, n) : nullptr;
}

} // namespace

float *TPyQtWrapping::PyObject2FloatTable(PyObject *pyObject)
{
    return listToTable<float>(pyObject);
}

short *TPyQtWrapping::PyObject2ShortIntTable(PyObject *pyObject)
{
    return listToTable<short>(pyObject);
}

int *TPyQtWrapping::PyObject2IntTable(PyObject *pyObject)
{
    return listToTable<int>(pyObject);
}

double *TPyQtWrapping::PyObject2DoubleTable(PyObject *pyObject, unsigned long long &count)
{
    count = 0;
    if (isNumpyArray(pyObject))
        return numPyArray2DoubleTable(PyObject2NumPyArray(pyObject), count);
    if (!pyObject || !PyList_Check(pyObject))
        return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(pyObject);
    count = static_cast<unsigned long long>(n);
    return n > 0 ? listToTable<double>(pyObject, n) : nullptr;
}

double **TPyQtWrapping::PyObject2DoubleMatrix(PyObject *pyObject, int &rows, int &columns)
{
    if (!pyObject || !PyList_Check(pyObject))
        return nullptr;
    rows = count32(PyList_GET_SIZE(pyObject));
    if (rows < 1)
        return nullptr;

    // The shape is checked before anything is allocated; no Python code runs in this pass.
    Py_ssize_t width = 0;
    for (int i = 0; i < rows; ++i) {
        PyObject *row = PyList_GET_ITEM(pyObject, i);
        if (!PyList_Check(row)) {
            showErrorMessage(QStringLiteral("The list must contain lists to be a matrix"));
            return nullptr;
        }
        if (i == 0) {
            width = PyList_GET_SIZE(row);
        } else if (PyList_GET_SIZE(row) != width) {
            showErrorMessage(QStringLiteral("The list must contain lists (same size) to be a matrix"));
            return nullptr;
        }
    }
    columns = count32(width);

    // Converting an element may run Python code that changes the lists. A row that is gone, or
    // no longer a list of the column count when its turn comes, is a null row, so that every
    // row handed back holds exactly the column count of doubles.
    // If a row's allocation throws, the rows made so far are released with the row array.
    struct Rows {
        double **rows;
        int count;
        ~Rows()
        {
            for (int i = 0; rows && i < count; ++i)
                delete[] rows[i];
            delete[] rows;
        }
    } guard{new double *[size_t(rows)](), rows};
    for (int i = 0; i < rows; ++i) {
        PyRef row = PyRef::borrowed(PyList_GetItem(pyObject, i));
        if (!row) {
            PyErr_Clear();
            continue;
        }
        if (PyList_Check(row.get()) && PyList_GET_SIZE(row.get()) == width) {
            unsigned long long ignored = 0;
            guard.rows[i] = PyObject2DoubleTable(row.get(), ignored);
        }
    }
    return std::exchange(guard.rows, nullptr);
}

// ---- Python sequences to number lists -----------------------------------------------------------

namespace {

// Every item of a sequence through convert(item), null for an item that cannot be fetched;
// converting an item runs no Python code.
template <typename T, typename Convert>
QList<T> sequenceToNumberList(PyObject *sequence, bool *ok, Convert convert)
{
    QList<T> result;
    if (!sequence || !PySequence_Check(sequence)) {
        setOk(ok, false);
        return result;
    }
    const int n = sequenceCount(sequence);
    result.reserve(std::max(n, 0));
    forEachItem(sequence, n, [&](PyObject *item) { result.append(convert(item)); });
    setOk(ok, true);
    return result;
}

} // namespace

QList<double> TPyQtWrapping::PyObject2QListDouble(PyObject *pyObject, bool *ok)
{
    return sequenceToNumberList<double>(
        pyObject, ok, [](PyObject *item) { return PyObject2double(item, true, nullptr); });
}

QList<int> TPyQtWrapping::PyObject2QListInt(PyObject *pyObject, bool *ok)
{
    // A failed fetch reaches PyObject2int as null, which reports it.
    return sequenceToNumberList<int>(
        pyObject, ok, [](PyObject *item) { return PyObject2int(item, true, nullptr); });
}

// ---- Tables, matrices and number lists to Python lists ------------------------------------------

namespace {

PyObject *floatObject(double value) { return PyFloat_FromDouble(value); }

// A table of count elements as a list of Python floats; None for a null table; null, reported,
// when the list cannot be made.
template <typename T>
PyObject *tableToList(const T *table, unsigned long long count, const char *source)
{
    if (!table)
        Py_RETURN_NONE;
    const ListReport report(source);
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(count));
    if (!list) {
        report.nullList(QString::number(count));
        return nullptr;
    }
    fillListReporting(
        list, Py_ssize_t(count), report, [&](Py_ssize_t i) { return floatObject(double(table[i])); },
        [&](Py_ssize_t i) { return QStringLiteral("%1").arg(double(table[i])); });
    return list;
}

// Rows through the table conversion, which reports its own failures; a row whose list cannot be
// made stands as None. A list that cannot be made at all gives None, reported.
template <typename T, typename RowToList>
PyObject *matrixToList(T **matrix, unsigned long long rows, const char *source, RowToList rowToList)
{
    if (!matrix)
        Py_RETURN_NONE;
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(rows));
    if (!list) {
        ListReport(source).nullList(QString::number(rows));
        Py_RETURN_NONE;
    }
    for (unsigned long long i = 0; i < rows; ++i) {
        PyObject *row = rowToList(matrix[i]);
        if (!row) {
            Py_INCREF(Py_None);
            row = Py_None;
        }
        PyList_SET_ITEM(list, Py_ssize_t(i), row);
    }
    return list;
}

// A number list as a Python list; None, reported, when the list cannot be made.
template <typename T, typename Make>
PyObject *numberListToList(const QList<T> &values, const char *source, Make make)
{
    const ListReport report(source);
    PyObject *list = PyList_New(values.size());
    if (!list) {
        report.nullList(QString::number(values.size()));
        Py_RETURN_NONE;
    }
    fillListReporting(
        list, values.size(), report, [&](Py_ssize_t i) { return make(values.at(int(i))); },
        [&](Py_ssize_t i) { return QStringLiteral("%1").arg(values.at(int(i))); });
    return list;
}

} // namespace

PyObject *TPyQtWrapping::floatTable2PyObject(float *table, unsigned long long count)
{
    return tableToList(table, count, "float[]");
}

PyObject *TPyQtWrapping::doubleTable2PyObject(double *table, unsigned long long count)
{
    return tableToList(table, count, "double[]");
}

PyObject *TPyQtWrapping::doubleMatrix2PyObject(double **matrix, unsigned long long rows,
                                               unsigned long long columns)
{
    return matrixToList(matrix, rows, "double**",
                        [columns](double *row) { return doubleTable2PyObject(row, columns); });
}

PyObject *TPyQtWrapping::floatMatrix2PyObject(float **matrix, unsigned long long rows,
                                              unsigned long long columns)
{
    return matrixToList(matrix, rows, "float**",
                        [columns](float *row) { return floatTable2PyObject(row, columns); });
}

PyObject *TPyQtWrapping::QListDouble2PyObject(QList<double> list)
{
    return numberListToList(list, "QList<double>", floatObject);
}

PyObject *TPyQtWrapping::QListFloat2PyObject(QList<float> list)
{
    return numberListToList(list, "QList<float>", [](float v) { return floatObject(double(v)); });
}

PyObject *TPyQtWrapping::QListInt2PyObject(QList<int> list)
{
    return numberListToList(list, "QList<int>", [](int v) { return PyLong_FromLong(v); });
}

// ---- NumPy arrays -------------------------------------------------------------------------------

bool TPyQtWrapping::isNumpyArray(PyObject *pyObject)
{
    return pyObject && std::strcmp(Py_TYPE(pyObject)->tp_name, "numpy.ndarray") == 0;
}

PyArrayObject *TPyQtWrapping::PyObject2NumPyArray(PyObject *pyObject)
{
    return reinterpret_cast<PyArrayObject *>(pyObject);
}

namespace {

// Element i of a one-dimensional array, through its stride and with its bytes swapped when the
// array is not in the machine's byte order.
template <typename Element>
Element readElement(const char *data, npy_intp stride, npy_intp i, bool swapped)
{
    Element value;
    unsigned char bytes[sizeof(Element)];
    std::memcpy(bytes, data + i * stride, sizeof(Element));
    if (swapped)
        std::reverse(bytes, bytes + sizeof(Element));
    std::memcpy(&value, bytes, sizeof(Element));
    return value;
}

template <typename Element>
void convertElements(double *table, const char *data, npy_intp n, npy_intp stride, bool swapped)
{
    if (stride == npy_intp(sizeof(Element)) && !swapped) {
        if (std::is_same<Element, double>::value) {
            std::memcpy(table, data, size_t(n) * sizeof(double));
            return;
        }
        const auto *elements = reinterpret_cast<const Element *>(data);
        for (npy_intp i = 0; i < n; ++i)
            table[i] = static_cast<double>(elements[i]);
        return;
    }
    for (npy_intp i = 0; i < n; ++i)
        table[i] = static_cast<double>(readElement<Element>(data, stride, i, swapped));
}

// NumPy's long and unsigned long have the platform's long width: 64-bit integers here, read as
// signed like NPY_LONGLONG and NPY_ULONGLONG; 32-bit ones where long is 32 bits.
using NpyLongElement = std::conditional_t<NPY_SIZEOF_LONG == 8, npy_int64, npy_int32>;
using NpyULongElement = std::conditional_t<NPY_SIZEOF_LONG == 8, npy_int64, npy_uint32>;

} // namespace

double *TPyQtWrapping::numPyArray2DoubleTable(PyArrayObject *array, unsigned long long &count)
{
    count = 0;
    if (!array || PyArray_NDIM(array) != 1)
        return nullptr;
    const npy_intp n = PyArray_DIMS(array)[0];
    count = static_cast<unsigned long long>(n);
    if (n == 0)
        return nullptr;

    auto *table = new double[size_t(n)];
    const PyArray_Descr *descr = PyArray_DESCR(array);
    const auto *data = static_cast<const char *>(PyArray_DATA(array));
    const npy_intp stride = PyArray_STRIDES(array)[0];
    const bool swapped = descr->byteorder == NPY_OPPBYTE;
    switch (descr->type_num) {
    case NPY_INT: convertElements<npy_int32>(table, data, n, stride, swapped); break;
    case NPY_UINT: convertElements<npy_uint32>(table, data, n, stride, swapped); break;
    case NPY_LONG: convertElements<NpyLongElement>(table, data, n, stride, swapped); break;
    case NPY_ULONG: convertElements<NpyULongElement>(table, data, n, stride, swapped); break;
    case NPY_LONGLONG:
    case NPY_ULONGLONG: convertElements<npy_int64>(table, data, n, stride, swapped); break;
    case NPY_FLOAT: convertElements<npy_float32>(table, data, n, stride, swapped); break;
    case NPY_DOUBLE: convertElements<npy_float64>(table, data, n, stride, swapped); break;
    default:
        std::fill(table, table + n, 0.0);
        showErrorMessage(QStringLiteral("Unknown type %1 of NumPy array").arg(descr->type_num));
        break;
    }
    return table;
}
