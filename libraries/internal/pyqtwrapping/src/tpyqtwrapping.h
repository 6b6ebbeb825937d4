// Value conversions between an embedded CPython interpreter and Qt 5 or Qt 6.
//
// TPyQtWrapping is a class of conversion functions and nothing else: it has no data, keeps no
// state between calls, starts no threads and never takes the interpreter lock itself.
//
// Conventions shared by every member:
//  - Python objects passed in are borrowed; on return every reference count is what it was,
//    except for the new references handed back as results, which the caller releases.
//  - Plain arrays and matrices returned are made with array new; the caller releases them with
//    delete[] (a matrix: every non-null row, then the row-pointer array).
//  - The ok flag (the last bool* parameter) may be null and is then never written; otherwise it
//    holds true on return exactly when the input was accepted.
//  - The strict flag accepts only the one Python type that matches the target. Python types are
//    recognised by exact identity: subclasses of int, float and str are not taken for their base,
//    and True/False are not ints.
//  - Failed conversions to int or double give -9999 (-9999.0); the value is an ordinary one, so use
//    the ok flag to tell a real -9999 from a refusal.
//  - Reported failures are raised as a Python TypeError, printed by the interpreter and cleared at
//    once (see showErrorMessage); many refusals are silent and told only by result and ok flag.
//  - No member throws. When memory runs out (an allocation of the library's or of Qt's containers
//    fails), the member gives its refusal instead: a null table (count 0), an empty list with the
//    ok flag false, a null QString, the invalid variant, or null with a MemoryError pending for
//    the members that make a Python str (QString2PyObject, QString2PyUnicode, QStringList2PyObject,
//    QStringTable2PyObject, QVariant2PyObject, voidType2PyObjectInternal, QObject2PyObject); lists of
//    numbers and variants keep None in a slot they cannot fill, as their comments say. A report
//    whose text cannot be made is printed as a MemoryError. bool2PyObject, the scalar readers,
//    isNumpyArray, PyObject2NumPyArray and QObjectPtr2QObjectID allocate nothing. One exception is
//    Qt's: a key sequence's text is made by Qt's Gui library, which is built without exceptions, so
//    memory running out inside it ends the program on 32-bit ARM, whose unwinder stops there (and
//    elsewhere leaves Qt's temporaries of that call unfreed).
//  - A length that Python code reports (__len__ of anything but an exact list or tuple) is only a
//    claim: the list made from such a sequence grows with the items it delivers.
//  - A QString holds at most INT_MAX UTF-16 units under Qt 5 and PTRDIFF_MAX / 2 under Qt 6 (less
//    what memory allows); a longer str or bytes is refused as a null QString, never cut.
//  - Every member that touches a Python object or can report must be called with the interpreter
//    initialised and the interpreter lock held. qstringToPythonString, QObjectPtr2QObjectID and
//    QObjectIDQObjectPtr touch no Python state.
//  - A Python error stays pending after a member only where its comment says so: the MemoryError
//    of the members above that make a Python str and of PyObject2QString, and the errors
//    PyObject2QVariant passes on from a length query or an items() call. Every other member
//    returns with no error pending, whatever Python code it ran.
//  - Python ints are read by the int conversions and the integer variants as 32-bit signed
//    values, whatever the width of the platform's long; PyObject2double and the double variant
//    read an int's whole value (2**40 is 1099511627776.0).
//  - Type ids are the QMetaType ids of the Qt the library is built with: QMetaType::QKeySequence is
//    75 in Qt 5 and 4107 in Qt 6. Name them by enum, never by number.
//  - The names are uneven (PyObject2int beside QString2PyUnicode, doubleTable2PyObject beside
//    numPyArray2DoubleTable) because hosts already call the members by these names; they stay as
//    they are so that no host has to change a call. For the same reason PyObject2QListOfQStringList
//    is the one instance member: hosts call it on an object, so it needs one, though it uses no
//    state (a default-constructed TPyQtWrapping serves).
#ifndef TPYQTWRAPPING_H
#define TPYQTWRAPPING_H

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include "pyqtwrapping_export.h"

// NumPy's array object, as NumPy declares it with its modern API. A host that includes NumPy's
// headers itself must define NPY_NO_DEPRECATED_API as NPY_1_7_API_VERSION or later, otherwise
// NumPy's PyArrayObject is another type than the one these members take.
#if defined(NPY_NDARRAYTYPES_H) && \
    (!defined(NPY_NO_DEPRECATED_API) || NPY_NO_DEPRECATED_API < NPY_1_7_API_VERSION)
#error "Define NPY_NO_DEPRECATED_API=NPY_1_7_API_VERSION (or later) before including NumPy headers"
#endif
typedef struct tagPyArrayObject PyArrayObject;

class QObject;

class PYQTWRAPPING_EXPORT TPyQtWrapping
{
public:
    // Assignment between objects of the class changes nothing; both return *this. They are
    // defined in the library so that they are exported with the class. Declaring a move
    // assignment would delete the implicit copy constructor, so the constructors are restated as
    // defaulted: they stay trivial and the class stays an empty aggregate.
    TPyQtWrapping() = default;
    TPyQtWrapping(const TPyQtWrapping &) = default;
    TPyQtWrapping(TPyQtWrapping &&) = default;
    TPyQtWrapping &operator=(const TPyQtWrapping &);
    TPyQtWrapping &operator=(TPyQtWrapping &&);

    // ---- Error reporting ----------------------------------------------------------------------

    // Raises the message as a Python TypeError, lets the interpreter print it through its
    // exception hook (to sys.stderr by default), records it as the last exception (sys.last_value)
    // and clears it. A Python error pending before the call is discarded unprinted; none is
    // pending afterwards. Hosts may use it for their own reports. It does not call PyErr_Print,
    // which ends the process when the hook raises SystemExit: a hook that raises anything
    // (SystemExit and KeyboardInterrupt included) is passed by, and the report is printed as the
    // interpreter prints an error whose hook failed ("Error in sys.excepthook:"); a sys.stderr
    // whose write raises gets nothing, and the interpreter then prints to the process's stderr.
    static void showErrorMessage(const QString &message);

    // ---- Scalars --------------------------------------------------------------------------------
    //
    // Strict mode accepts an exact int (exact float for PyObject2double); non-strict also accepts
    // a float (floored for the integer targets; out of range and NaN give the target's minimum,
    // 2^63 for PyObject2ULongLong), False and True (0 and 1) and, for PyObject2double, an int.
    // An exact int outside the range a member reads is refused like any other refused object: ok
    // flag false, the member's refusal value, nothing printed, and the OverflowError cleared, so
    // these members never leave a Python error pending. PyObject2double reads an int as the
    // nearest double of its whole value; only an int too large for a double is refused.

    // 32-bit signed value; -9999 on refusal. A null object is reported
    // ("PyObject2int: Error trying to convert null to an integer!"); other refusals are silent.
    static int PyObject2int(PyObject *pyObject, bool strict = false, bool *ok = nullptr);
    // False/True in either mode; non-strict, whatever PyObject2int accepts, true when non-zero.
    // false on refusal (true for a refused non-strict object, whose sentinel is non-zero).
    static bool PyObject2bool(PyObject *pyObject, bool strict = false, bool *ok = nullptr);
    // 64-bit signed value; 0 on refusal, silently.
    static long long PyObject2LongLong(PyObject *pyObject, bool strict = false, bool *ok = nullptr);
    // The value modulo 2^64 for ints from -2^63 to 2^64-1; 0 on refusal, silently.
    static unsigned long long PyObject2ULongLong(PyObject *pyObject, bool strict = false, bool *ok = nullptr);
    // The stored double of a float, unchanged (NaN and infinities included); -9999.0 on refusal.
    static double PyObject2double(PyObject *pyObject, bool strict = false, bool *ok = nullptr);
    // A new reference to True or False.
    static PyObject *bool2PyObject(bool value);

    // ---- Strings --------------------------------------------------------------------------------

    // The text of an exact str (UTF-16, up to its first U+0000, with QString::fromUtf16's
    // byte-order-mark handling of the first code unit) or of a bytes object (UTF-8 up to its first
    // zero byte, malformed sequences as U+FFFD). A null QString for null, None and anything else;
    // also for a str whose text the interpreter cannot make for lack of memory (before Python 3.12,
    // a str of the legacy representation), with the MemoryError pending.
    static QString PyObject2QString(PyObject *pyObject);
    // A new str with every UTF-16 code unit of the text (pairs joined, lone surrogates and U+0000
    // kept); an empty or null text gives an empty str. Null only if the str cannot be made.
    static PyObject *QString2PyObject(const QString &text);
    // As QString2PyObject, but an empty or null text gives null with no Python error set.
    static PyObject *QString2PyUnicode(const QString &text);

    // ---- Python string literals ----------------------------------------------------------------

    // "text" with backslashes doubled for Latin-1 text, otherwise u"text" unchanged.
    static QString qstringToPythonString(const QString &text);
    // Undoes doubled backslashes, or, for a text starting with \u, the run of \uXXXX escapes
    // (each piece parsed whole in base 16, low 16 bits kept). A bad piece is reported and skipped.
    static QString pythonStringToQString(const QString &text);

    // ---- String lists and tables ----------------------------------------------------------------

    // A new list of str (empty strings as ''); null if the list cannot be made.
    static PyObject *QStringList2PyObject(const QStringList &list);
    // Each item of a sequence through PyObject2QString (non-text items give null strings). Strict
    // refuses a str and an exact bytes. ok: false for null, non-sequences and strict refusals.
    static QStringList PyObject2QStringList(PyObject *pyObject, bool strict = false, bool *ok = nullptr);
    // A sequence of sequences, each element through PyObject2QStringList in strict mode; stops at
    // the first refused element with the lists so far and ok false.
    QList<QStringList> PyObject2QListOfQStringList(PyObject *pyObject, bool strict = false,
                                                   bool *ok = nullptr);
    // A list's items as a new[] array of as many QStrings: exact bytes as text, numbers as the
    // "g"/6 text of their 32-bit float value, anything else null. Null for a non-list or [], and,
    // as for the numeric tables, for a list whose length changed while it was converted (an
    // element's __float__ can change it): the table has as many texts as the list has items when
    // the call returns.
    static QString *PyObject2QStringTable(PyObject *pyObject);
    // A new list of count str; None for a null table; null (reported) if the list cannot be made.
    static PyObject *QStringTable2PyObject(QString *table, unsigned long long count);

    // ---- Numeric arrays -------------------------------------------------------------------------

    // A list's items by PyArg_Parse "f", "h", "i" as a new[] table, or null when the object is no
    // list, the list is empty or any element is refused (silently, no Python error left). A table
    // has as many elements as its list has when the call returns (PyList_Size): a list whose length
    // changes while it is converted (an element's __index__ or __float__ can change it) is refused.
    static float *PyObject2FloatTable(PyObject *pyObject);
    static short *PyObject2ShortIntTable(PyObject *pyObject);
    static int *PyObject2IntTable(PyObject *pyObject);
    // As above with "d"; a numpy.ndarray goes to numPyArray2DoubleTable. count is the list length.
    static double *PyObject2DoubleTable(PyObject *pyObject, unsigned long long &count);
    // A list of equally long lists as row tables; a row with a refused element is a null row.
    // Malformed shapes are reported and give null. Null too for a matrix larger than the machine's
    // memory: rows may all be one list ([[0.0] * 10**6] * 10**5 is 8 MB of Python and 800 GB of
    // rows), and each row, granted on credit, would be refused only when the memory is gone.
    static double **PyObject2DoubleMatrix(PyObject *pyObject, int &rows, int &columns);

    // Every sequence item as an exact float (int) or the sentinel; ok false only for null and
    // non-sequences.
    static QList<double> PyObject2QListDouble(PyObject *pyObject, bool *ok = nullptr);
    static QList<int> PyObject2QListInt(PyObject *pyObject, bool *ok = nullptr);

    // New lists of Python floats; None for a null table or matrix. The table conversions give
    // null, the matrix conversions None, when the list cannot be made (reported).
    static PyObject *floatTable2PyObject(float *table, unsigned long long count);
    static PyObject *doubleTable2PyObject(double *table, unsigned long long count);
    static PyObject *doubleMatrix2PyObject(double **matrix, unsigned long long rows,
                                           unsigned long long columns);
    static PyObject *floatMatrix2PyObject(float **matrix, unsigned long long rows,
                                          unsigned long long columns);

    // New lists of Python numbers; None (reported) if the list cannot be made.
    static PyObject *QListDouble2PyObject(QList<double> list);
    static PyObject *QListInt2PyObject(QList<int> list);
    static PyObject *QListFloat2PyObject(QList<float> list);

    // ---- NumPy arrays (no NumPy function is called; works where NumPy is absent) ----------------

    // True when the object's type is exactly numpy.ndarray (by type name).
    static bool isNumpyArray(PyObject *pyObject);
    // The same pointer viewed as an array; borrowed, unchecked.
    static PyArrayObject *PyObject2NumPyArray(PyObject *pyObject);
    // A one-dimensional numeric array as a new[] table of doubles, at any stride, byte order and
    // alignment (np.frombuffer at an odd offset is read too); null for other shapes. Null, count
    // 0, for an object that only carries the array type's name (its type is not NumPy's own, laid
    // out as an array), and for a table that cannot be allocated (a zero-stride view of 2**33
    // elements costs NumPy nothing and the table 64 GiB).
    static double *numPyArray2DoubleTable(PyArrayObject *array, unsigned long long &count);

    // ---- Variants -------------------------------------------------------------------------------

    // The object as a variant of the requested type id, or of the inferred one for -1; the
    // invalid variant when it cannot be converted. Dicts and sequences convert their members by
    // inference. A container met again within one call gives the value it gave the first time
    // (shared by Qt), so the cost follows the distinct objects: 64 levels of [a, a] are 65 lists,
    // not 2**64 paths. A container inside itself stands as the invalid variant where it recurs.
    // Nesting stops, with the invalid variant, at the interpreter's recursion limit, at 5000
    // levels, and where the conversion's own frames have taken an eighth of the stack its thread
    // had left (at most 1 MiB): Python code that it calls at its deepest level (a __len__, an
    // __index__) keeps the rest of the stack, whatever sys.setrecursionlimit allows.
    // It can leave a Python error pending, unlike the other readers: the first error raised
    // anywhere in the tree by a sequence's length query (__len__), where that sequence stands as an
    // empty list, or by the items() call of a mapping that is not a dict, where it stands as the
    // invalid variant. The rest of the tree still converts; every other error met (an item that
    // cannot be fetched, an int out of range) is cleared. Check PyErr_Occurred() after the call.
    static QVariant PyObject2QVariant(PyObject *pyObject, int type = -1);
    // A new reference to the Python value of the variant; None for unsupported types.
    static PyObject *QVariant2PyObject(const QVariant &variant);
    // A new reference to the Python value of a value of the given type id.
    static PyObject *voidType2PyObjectInternal(int type, void *data);
    // A new list of the members' Python values; None for an empty list.
    static PyObject *QVariantList2PyObject(const QList<QVariant> &list);

    // ---- Object references ----------------------------------------------------------------------

    // The object's objectName(); an empty string for a null object.
    static QString QObjectPtr2QObjectID(QObject *object);
    // The object that a "."-separated path of names or "Class:N" steps names below root; root
    // itself for a path without steps; null when a step matches nothing or root is null.
    static const QObject *QObjectIDQObjectPtr(const QString &path, const QObject *root);
    // A new str holding the pointer value in lowercase base 16 ("0" for null).
    static PyObject *QObject2PyObject(QObject *object);
    // The pointer a base-16 text (str or bytes) names; null when it does not parse or is wider
    // than a pointer.
    static QObject *PyObject2QObject(PyObject *pyObject);
};

#endif // TPYQTWRAPPING_H
