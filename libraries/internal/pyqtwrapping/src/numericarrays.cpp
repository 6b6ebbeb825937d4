// Sequences and NumPy arrays to tables, matrices and number lists, and those back to Python lists.
#include "tpyqtwrapping_p.h"

// Only the layout of NumPy's objects and its type numbers are used: no NumPy function is
// called and its C API is never imported, so the library works where NumPy is absent.
#include <numpy/ndarraytypes.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <type_traits>

using namespace PyQtWrappingPrivate;

// ---- Python lists to tables and matrices --------------------------------------------------------

namespace {

template <typename T>
constexpr const char *formatUnit()
{
    return std::is_same<T, double>::value  ? "d"
           : std::is_same<T, float>::value ? "f"
           : std::is_same<T, int>::value   ? "i"
                                           : "h";
}

// Whether an element is read directly rather than parsed: an exact float for the float units, an
// exact int for the integer units. Reading one runs no Python code and gives exactly what the
// format unit gives.
template <typename T>
bool isDirectElement(PyObject *item)
{
    return std::is_floating_point<T>::value ? isExactFloat(item) : isExactInt(item);
}

// A direct element's value; false for an int out of the unit's range.
template <typename T>
bool readDirectElement(PyObject *item, T &value)
{
    if constexpr (std::is_floating_point<T>::value) {
        value = static_cast<T>(PyFloat_AS_DOUBLE(item));
        return true;
    } else {
        return readExactInt(item, value);
    }
}

// One element as PyArg_Parse reads it with the table's format unit: direct elements are read
// directly, everything else takes the interpreter's own path, its error cleared on refusal.
template <typename T>
bool parseElement(PyObject *item, T &value)
{
    if (isDirectElement<T>(item))
        return readDirectElement(item, value);
    if (PyArg_Parse(item, formatUnit<T>(), &value))
        return true;
    PyErr_Clear();
    return false;
}

// Items from i on, up to n, while they are direct elements: with no Python code run, the list's
// storage is taken once for the whole run, under its critical section. Returns the index the run
// stops at; whole is set when it reached n with the list still n long, a table of the list as it
// was at that moment.
template <typename T>
Py_ssize_t readDirectRun(PyObject *list, Py_ssize_t i, Py_ssize_t n, T *table, bool &whole)
{
    const CriticalSection section(list);
    PyObject *const *items = reinterpret_cast<PyListObject *>(list)->ob_item;
    const Py_ssize_t size = PyList_GET_SIZE(list);
    const Py_ssize_t end = std::min(n, size);
    while (i < end && isDirectElement<T>(items[i]) && readDirectElement(items[i], table[i]))
        ++i;
    whole = i == n && size == n;
    return i;
}

// The first n items of a list (n taken before the call) as a table, or null as soon as one is
// refused or gone. Converting an element may run Python code that changes the list, and so may
// another thread: a list whose length is no longer n at the end is refused too, so that a table
// handed back always has as many elements as its list had when the call returned.
template <typename T>
T *listToTable(PyObject *list, Py_ssize_t n)
{
    std::unique_ptr<T[]> table(newArray<T>(size_t(n)));
    bool whole = false;
    for (Py_ssize_t i = readDirectRun(list, 0, n, table.get(), whole); !whole;
         i = readDirectRun(list, i + 1, n, table.get(), whole)) {
        // Anything but an exact float or int is held while its __float__ or __index__ runs.
        const PyRef item = i < n ? sequenceItem(list, i, ItemAccess::ListStorage) : PyRef();
        if (!item || !parseElement(item.get(), table[i]))
            return nullptr;
    }
    return table.release();
}

// The tables that report no size read the list's length as a 32-bit count; a table that cannot be
// allocated is null.
template <typename T>
T *listToTable(PyObject *object)
{
    if (!object || !PyList_Check(object))
        return nullptr;
    const int n = count32(PyList_GET_SIZE(object));
    return n > 0 ? orRefusal([&] { return listToTable<T>(object, n); }, nothing<T *>) : nullptr;
}

// Whether a list of rows is a matrix: lists, all as long as the first. rows and width are read
// with the shape, under the list's critical section; the message for a list that is not one is
// set. No Python code runs here.
bool isMatrixShape(PyObject *list, int &rows, Py_ssize_t &width, QString &message)
{
    const CriticalSection section(list);
    rows = count32(PyList_GET_SIZE(list));
    for (int i = 0; i < rows; ++i) {
        PyObject *row = PyList_GET_ITEM(list, i);
        if (!PyList_Check(row)) {
            message = QStringLiteral("The list must contain lists to be a matrix");
            return false;
        }
        if (i == 0) {
            width = PyList_GET_SIZE(row);
        } else if (PyList_GET_SIZE(row) != width) {
            message = QStringLiteral("The list must contain lists (same size) to be a matrix");
            return false;
        }
    }
    return rows > 0;
}

// A row array whose rows are released with it unless it is handed over.
struct MatrixGuard
{
    double **rows;
    int count;
    ~MatrixGuard()
    {
        for (int i = 0; rows && i < count; ++i)
            delete[] rows[i];
        delete[] rows;
    }
};

// The rows of a list that has the shape of a matrix, each as a table of width doubles.
double **matrixRows(PyObject *list, int rows, Py_ssize_t width)
{
    // Converting an element may run Python code that changes the lists. A row that is gone, or
    // no longer a list of the column count when its turn comes, is a null row, so that every
    // row handed back holds exactly the column count of doubles.
    if (!fitsInMemory(double(rows) * double(width) * sizeof(double))) // rows may all be one list
        throw std::bad_alloc();
    MatrixGuard guard{newArray<double *>(size_t(rows), true), rows};
    for (int i = 0; i < rows; ++i) {
        const PyRef row = sequenceItem(list, i, ItemAccess::ListStorage);
        if (row && PyList_Check(row.get()) && PyList_GET_SIZE(row.get()) == width)
            guard.rows[i] = width > 0 ? listToTable<double>(row.get(), width) : nullptr;
    }
    return std::exchange(guard.rows, nullptr);
}

} // namespace

float *TPyQtWrapping::PyObject2FloatTable(PyObject *pyObject) { return listToTable<float>(pyObject); }

short *TPyQtWrapping::PyObject2ShortIntTable(PyObject *pyObject) { return listToTable<short>(pyObject); }

int *TPyQtWrapping::PyObject2IntTable(PyObject *pyObject) { return listToTable<int>(pyObject); }

double *TPyQtWrapping::PyObject2DoubleTable(PyObject *pyObject, unsigned long long &count)
{
    count = 0;
    if (isNumpyArray(pyObject))
        return numPyArray2DoubleTable(PyObject2NumPyArray(pyObject), count);
    if (!pyObject || !PyList_Check(pyObject))
        return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(pyObject);
    count = static_cast<unsigned long long>(n);
    if (n < 1)
        return nullptr;
    return orRefusal([&] { return listToTable<double>(pyObject, n); },
                     [&]() -> double * {
                         count = 0;
                         return nullptr;
                     });
}

double **TPyQtWrapping::PyObject2DoubleMatrix(PyObject *pyObject, int &rows, int &columns)
{
    if (!pyObject || !PyList_Check(pyObject))
        return nullptr;
    Py_ssize_t width = 0;
    QString message; // reported once the list's critical section is left: a report runs Python code
    if (!isMatrixShape(pyObject, rows, width, message)) {
        if (!message.isNull())
            showErrorMessage(message);
        return nullptr;
    }
    columns = count32(width);
    return orRefusal([&] { return matrixRows(pyObject, rows, width); }, nothing<double **>);
}

// ---- Python sequences to number lists -----------------------------------------------------------

namespace {

// Every item through convert(item), null for an item that cannot be fetched. A list that cannot be
// allocated is the empty list with the ok flag false.
template <typename T, typename Convert>
QList<T> sequenceToNumberList(PyObject *sequence, bool *ok, Convert convert)
{
    const bool accepted = sequence && PySequence_Check(sequence);
    setOk(ok, accepted);
    if (!accepted)
        return QList<T>();
    return orRefusal([&] { return convertItems<T>(sequence, convert); }, emptyAndNotOk<QList<T>>(ok));
}

} // namespace

QList<double> TPyQtWrapping::PyObject2QListDouble(PyObject *pyObject, bool *ok)
{
    // PyObject2double's strict reading, in line: this loop is hot.
    return sequenceToNumberList<double>(pyObject, ok, [](PyObject *item) {
        return item && isExactFloat(item) ? PyFloat_AS_DOUBLE(item) : InvalidDouble;
    });
}

QList<int> TPyQtWrapping::PyObject2QListInt(PyObject *pyObject, bool *ok)
{
    // A failed fetch reaches PyObject2int as null, which reports it.
    return sequenceToNumberList<int>(pyObject, ok,
                                     [](PyObject *item) { return PyObject2int(item, true, nullptr); });
}

// ---- Tables, matrices and number lists to Python lists ------------------------------------------

namespace {

// A table of count elements as a list of Python floats; None for a null table; null, reported,
// when the list cannot be made.
template <typename T>
PyObject *tableToList(const T *table, unsigned long long count, const char *source)
{
    if (!table)
        Py_RETURN_NONE;
    return buildReportedList(
        count, ListReport(source), [&](Py_ssize_t i) { return PyFloat_FromDouble(double(table[i])); },
        [&](Py_ssize_t i) { return QStringLiteral("%1").arg(double(table[i])); });
}

// Rows through the table conversion, which reports its own failures; a row whose list cannot be
// made stands as None. A list that cannot be made at all gives None, reported.
template <typename T, typename RowToList>
PyObject *matrixToList(T **matrix, unsigned long long rows, const char *source, RowToList rowToList)
{
    if (!matrix)
        Py_RETURN_NONE;
    const ListReport report(source);
    return orNone(buildList(
        rows, &report, [&](Py_ssize_t i) { return rowToList(matrix[i]); },
        [](Py_ssize_t) { return newNone(); }));
}

// A number list as a Python list; None, reported, when the list cannot be made.
template <typename T, typename Make>
PyObject *numberListToList(const QList<T> &values, const char *source, Make make)
{
    return orNone(buildReportedList(
        values.size(), ListReport(source), [&](Py_ssize_t i) { return make(values.at(QtIndex(i))); },
        [&](Py_ssize_t i) { return QStringLiteral("%1").arg(values.at(QtIndex(i))); }));
}

PyObject *floatObject(double value) { return PyFloat_FromDouble(value); }

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

namespace {

// Whether an object named as an array is laid out as one, so that its fields may be read: NumPy's
// array type is a static type of C code, at least as large as the array structure. A class made
// in Python is a heap type, whatever name it takes.
bool isLaidOutAsArray(PyObject *object)
{
    PyTypeObject *type = Py_TYPE(object);
    return !(PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) &&
           type->tp_basicsize >= Py_ssize_t(sizeof(PyArrayObject_fields));
}

} // namespace

PyArrayObject *TPyQtWrapping::PyObject2NumPyArray(PyObject *pyObject)
{
    return reinterpret_cast<PyArrayObject *>(pyObject);
}

namespace {

// Element i of a one-dimensional array, through its stride and with its bytes swapped when the
// array is not in the machine's byte order.
template <typename Element, bool Swapped>
Element readElement(const char *data, npy_intp stride, npy_intp i)
{
    Element value;
    unsigned char bytes[sizeof(Element)];
    std::memcpy(bytes, data + i * stride, sizeof(Element));
    if (Swapped)
        std::reverse(bytes, bytes + sizeof(Element));
    std::memcpy(&value, bytes, sizeof(Element));
    return value;
}

// The byte order is a loop of its own, so that the loop over the elements tests nothing else.
template <typename Element, bool Swapped>
void convertStrided(double *table, const char *data, npy_intp n, npy_intp stride)
{
    for (npy_intp i = 0; i < n; ++i)
        table[i] = static_cast<double>(readElement<Element, Swapped>(data, stride, i));
}

// An array's elements need not be aligned (np.frombuffer at an odd offset, a view of a record's
// field): only an aligned contiguous array is read through a typed pointer, which some processors
// (32-bit ARM) cannot do at an unaligned address; any other goes element by element through
// memcpy, which is defined at every address.
template <typename Element>
void convertElements(double *table, const char *data, npy_intp n, npy_intp stride, bool swapped)
{
    const bool aligned = reinterpret_cast<uintptr_t>(data) % alignof(Element) == 0;
    if (stride == npy_intp(sizeof(Element)) && !swapped && aligned) {
        if (std::is_same<Element, double>::value) {
            std::memcpy(table, data, size_t(n) * sizeof(double));
            return;
        }
        const auto *elements = reinterpret_cast<const Element *>(data);
        for (npy_intp i = 0; i < n; ++i)
            table[i] = static_cast<double>(elements[i]);
        return;
    }
    if (swapped)
        convertStrided<Element, true>(table, data, n, stride);
    else
        convertStrided<Element, false>(table, data, n, stride);
}

// NumPy's long and unsigned long have the platform's long width: 64-bit integers here, read as
// signed like NPY_LONGLONG and NPY_ULONGLONG; 32-bit ones where long is 32 bits.
using NpyLongElement = std::conditional_t<NPY_SIZEOF_LONG == 8, npy_int64, npy_int32>;
using NpyULongElement = std::conditional_t<NPY_SIZEOF_LONG == 8, npy_int64, npy_uint32>;

} // namespace

namespace {

// The n elements of a one-dimensional array into the table; false for an element type that is
// not converted.
bool convertArray(double *table, PyArrayObject *array, npy_intp n)
{
    const PyArray_Descr *descr = PyArray_DESCR(array);
    const auto *data = static_cast<const char *>(PyArray_DATA(array));
    const npy_intp stride = PyArray_STRIDES(array)[0];
    const bool swapped = descr->byteorder == NPY_OPPBYTE;
    switch (descr->type_num) {
    case NPY_INT: convertElements<npy_int32>(table, data, n, stride, swapped); return true;
    case NPY_UINT: convertElements<npy_uint32>(table, data, n, stride, swapped); return true;
    case NPY_LONG: convertElements<NpyLongElement>(table, data, n, stride, swapped); return true;
    case NPY_ULONG: convertElements<NpyULongElement>(table, data, n, stride, swapped); return true;
    case NPY_LONGLONG:
    case NPY_ULONGLONG: convertElements<npy_int64>(table, data, n, stride, swapped); return true;
    case NPY_FLOAT: convertElements<npy_float32>(table, data, n, stride, swapped); return true;
    case NPY_DOUBLE: convertElements<npy_float64>(table, data, n, stride, swapped); return true;
    default: return false;
    }
}

} // namespace

double *TPyQtWrapping::numPyArray2DoubleTable(PyArrayObject *array, unsigned long long &count)
{
    count = 0;
    auto *object = reinterpret_cast<PyObject *>(array);
    if (!isNumpyArray(object) || !isLaidOutAsArray(object) || PyArray_NDIM(array) != 1)
        return nullptr;
    // A view can repeat one element any number of times at no cost to NumPy: a table of more
    // elements than can be addressed or allocated is refused.
    const npy_intp n = PyArray_DIMS(array)[0];
    if (n < 1 || static_cast<unsigned long long>(n) > std::numeric_limits<size_t>::max() / sizeof(double))
        return nullptr;
    double *table = orRefusal([n] { return newArray<double>(size_t(n)); }, nothing<double *>);
    if (!table)
        return nullptr;
    count = static_cast<unsigned long long>(n);
    if (!convertArray(table, array, n)) {
        std::fill(table, table + n, 0.0);
        const int type = PyArray_DESCR(array)->type_num;
        reportMade([type] { return QStringLiteral("Unknown type %1 of NumPy array").arg(type); });
    }
    return table;
}
