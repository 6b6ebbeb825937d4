// libFuzzer harness: the input is a small program that builds a graph of Python objects (ints of
// every size, floats with NaN and infinities, str with NUL, BOMs and lone surrogates, bytes,
// subclasses, containers that contain themselves, hostile objects and NumPy arrays of every dtype,
// shape, stride and byte order). Every member that takes a Python object is fed every object with
// both strict flags and a spread of type ids, and text members get the texts. Besides the
// sanitizers it checks that no Python error is left pending where none is promised and that the
// inputs' reference counts are unchanged.
#include "tpyqtwrapping.h"

#include <QObject>
#include <QTimer>

#include <sanitizer/allocator_interface.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

PyObject *mainDict = nullptr;
PyObject *makeHostile = nullptr; // helper functions defined below, in Python
PyObject *makeArray = nullptr;
PyObject *makeSubclass = nullptr;
PyObject *capturedStderr = nullptr;
QObject *objectTree = nullptr;

const char *const Helpers = R"(
import io, sys
sys.stderr = io.StringIO()
sys.setrecursionlimit(300)  # keeps endless nesting short; the bound itself is what is tested
try:
    import numpy as np
except ImportError:
    np = None

class IntSub(int): pass
class FloatSub(float): pass
class StrSub(str): pass
class BytesSub(bytes): pass
class ListSub(list): pass
class DictSub(dict): pass
class TupleSub(tuple): pass

def make_subclass(kind, value):
    kind %= 7
    try:
        if kind == 3 and not isinstance(value, (bytes, list, tuple)):
            value = b'sub'  # bytes(n), of anything with __index__, is n zero bytes: keep it small
        # str() of a list, and a list of a str's characters, each come out ~5 times larger:
        # alternating them would grow the graph exponentially, so both are cut short.
        if kind == 2 and not isinstance(value, str):
            value = str(value)[:64]
        if kind in (4, 6) and isinstance(value, str):
            value = value[:64]
        return (IntSub, FloatSub, StrSub, BytesSub, ListSub, DictSub, TupleSub)[kind](value)
    except Exception:
        return value

class RaisingItem:
    def __init__(self, n): self.n = n
    def __len__(self): return self.n
    def __getitem__(self, i):
        if i % 2: raise IndexError(i)
        if i >= self.n: raise IndexError(i)
        return i * 1.5

class RaisingLen:
    def __len__(self): raise ValueError('len')
    def __getitem__(self, i): return 'x'

class RaisingNumber:
    def __float__(self): raise ValueError('float')
    def __index__(self): raise ValueError('index')
    def __int__(self): raise ValueError('int')

class Number:
    def __init__(self, v): self.v = v
    def __float__(self): return float(self.v)
    def __index__(self): return int(self.v)

class Shrinker:
    # Empties the list that holds it while it is being converted.
    def __init__(self, target): self.target = target
    def __float__(self):
        del self.target[:]
        return 1.0
    def __index__(self):
        del self.target[:]
        return 1

class Growing:
    # A sequence whose items are new sequences of the same kind, without end.
    def __len__(self): return 1
    def __getitem__(self, i):
        if i: raise IndexError(i)
        return Growing()

class BadItems(dict):
    def items(self): return [(1,), 5, ('k', 2), None]

class Lying:
    # Claims `claim` items and delivers them; the harness checks that nothing was sized by the
    # claim before the first item came.
    def __init__(self, claim, item): self.claim, self.item = claim, item
    def __len__(self):
        _heap_mark()
        if self.claim is None: raise ValueError('len')
        return self.claim
    def __getitem__(self, i):
        if i == 0: _first_item(self.claim)
        if not 0 <= i < self.claim: raise IndexError(i)
        return self.item
class LyingList(Lying, list): pass

def make_lying(kind, n, inner):
    # Its items are plain values: a thousand items that are each a long sequence would cost seconds.
    claim = (1025 + n, 2, -1, None)[kind % 4]
    item = inner if inner is None or isinstance(inner, (int, float, str, bytes)) else ('x',)
    return (Lying, LyingList)[(kind // 4) % 2](claim, item)

def make_hostile(kind, n, inner):
    kind %= 13
    if kind == 9: return make_lying(n, n, inner)
    if kind == 10: return type('numpy.ndarray', (), {})()
    if kind == 11: return type('numpy.ndarray', (bytearray,), {})(b'x' * (n % 200))
    if kind == 12: return make_view(n)
    if kind == 0: return RaisingItem(n % 8)
    if kind == 1: return RaisingLen()
    if kind == 2: return RaisingNumber()
    if kind == 3: return Number(n)
    if kind == 4:
        holder = [1.0, 2]
        holder.insert(n % 3, Shrinker(holder))
        return holder
    if kind == 5: return Growing()
    if kind == 6: return BadItems(a=1)
    if kind == 7: return range(n % 300)
    return iter([inner])

dtypes = ['bool', 'int8', 'uint8', 'int16', 'uint16', 'int32', 'uint32', 'int64', 'uint64',
          'float16', 'float32', 'float64', 'longdouble', 'complex64', 'complex128', 'object',
          'U3', 'S3', 'long', 'ulong', 'longlong', 'ulonglong', 'intc', 'uintc']

def make_view(n):
    # A zero-stride view whose table would be 64 GiB or more, or beyond what a size counts.
    if np is None:
        return None
    return np.broadcast_to(np.array(1.5, dtype=('float64', 'int16', 'int8')[n % 3]), (2**33, 2**34, 2**61)[n % 3])

def make_array(selector, count, data):
    if np is None:
        return None
    dt = np.dtype(dtypes[selector % len(dtypes)])
    if dt.kind == 'O':
        a = np.array([data[:i] for i in range(count % 5)], dtype=object)
    else:
        size = dt.itemsize * (count % 40)
        raw = (data * (size // max(len(data), 1) + 1))[:size] if data else bytes(size)
        a = np.frombuffer(raw, dtype=dt).copy()
    view = (selector // len(dtypes)) % 8
    if view == 1: a = a[::-1]
    elif view == 2: a = a[::2]
    elif view == 3 and dt.kind not in 'OUS': a = a.byteswap().view(dt.newbyteorder())
    elif view == 4: a = a.reshape(1, -1)
    elif view == 5: a = np.array(a[0]) if len(a) else a.reshape(0, 1)
    elif view == 6 and len(a) >= 2: a = np.lib.stride_tricks.as_strided(a, shape=(2,), strides=(0,))
    elif view == 7 and dt.kind not in 'OUS': a = a[::-3].byteswap().view(dt.newbyteorder())
    return a
)";

// The largest block allocated since the last mark: a sequence marks it when its length is taken
// and looks at it when its first item is fetched, so that a list sized by the claimed length, not
// by the items, is caught even though the claim is small enough to be delivered in full. Only
// while a member runs: Python's own list() sizes its result by the length, as it may.
size_t largestSinceMark = 0;
bool inMember = false;
constexpr size_t LargestBeforeFirstItem = 4096;

void noteAllocation(const volatile void *, size_t size)
{
    if (size > largestSinceMark)
        largestSinceMark = size;
}
void noteFree(const volatile void *) {}

PyObject *heapMark(PyObject *, PyObject *)
{
    largestSinceMark = 0;
    Py_RETURN_NONE;
}

PyObject *firstItem(PyObject *, PyObject *claim)
{
    if (inMember && largestSinceMark > LargestBeforeFirstItem) {
        std::fprintf(
            stderr,
            "fuzz check failed: %zu bytes allocated before the first item of a sequence claiming %s\n",
            largestSinceMark, PyUnicode_AsUTF8(PyObject_Repr(claim)));
        std::abort();
    }
    Py_RETURN_NONE;
}

PyMethodDef HarnessFunctions[] = {{"_heap_mark", &heapMark, METH_NOARGS, nullptr},
                                  {"_first_item", &firstItem, METH_O, nullptr},
                                  {nullptr, nullptr, 0, nullptr}};

void fail(const char *what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    PyErr_Print();
    std::abort();
}

void noErrorPending(const char *member)
{
    if (PyErr_Occurred())
        fail(member);
}

// Reads the input as a byte stream.
class Input
{
public:
    Input(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    bool empty() const { return m_pos >= m_size; }
    uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint64_t bytes(int n)
    {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 8) | byte();
        return v;
    }
    std::string chunk(size_t max)
    {
        const size_t n = std::min<size_t>(byte() % (max + 1), m_size - std::min(m_pos, m_size));
        std::string s(reinterpret_cast<const char *>(m_data + m_pos), n);
        m_pos += n;
        return s;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// An int of up to 192 bits of either sign, built from hexadecimal text.
PyObject *makeInt(Input &in)
{
    static const char digits[] = "0123456789abcdef";
    const int width = in.byte() % 24 + 1;
    std::string hex = (in.byte() & 1) ? "-" : "";
    for (int i = 0; i < width; ++i) {
        const uint8_t b = in.byte();
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return PyLong_FromString(hex.c_str(), nullptr, 16);
}

PyObject *makeStr(Input &in)
{
    static const uint32_t specials[] = {0,      0xFEFF,  0xFFFE,   0xD800, 0xDBFF, 0xDC00,
                                        0xDFFF, 0x1F600, 0x10FFFF, 0xFF,   0x100,  '\\',
                                        'u',    '"',     '.',      ':',    'a',    'Q'};
    const int n = in.byte() % 24;
    std::vector<uint32_t> points;
    for (int i = 0; i < n; ++i) {
        const uint8_t b = in.byte();
        if (b < 128)
            points.push_back(b);
        else if (b < 200)
            points.push_back(specials[b % (sizeof specials / sizeof *specials)]);
        else
            points.push_back(uint32_t(in.bytes(3) % 0x110000));
    }
    return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, points.data(), Py_ssize_t(points.size()));
}

// An object, and whether Python code run while it converts may change the object graph it
// belongs to (then its reference count may change legitimately).
struct Built
{
    PyObject *object;
    bool hostile;
};

// Builds objects from the input with a small stack machine; every object built is also kept in
// `all`, to be fed to the members.
class Builder
{
public:
    explicit Builder(Input &in) : m_in(in) {}

    std::vector<Built> build()
    {
        for (int step = 0; step < 48 && !m_in.empty(); ++step)
            buildOne(m_in.byte() % 14);
        for (const Built &b : m_stack)
            Py_DECREF(b.object);
        return std::move(m_all);
    }

private:
    void buildOne(uint8_t op)
    {
        switch (op) {
        case 0: push(makeInt(m_in)); break;
        case 1: push(PyFloat_FromDouble(doubleOfBits(m_in.bytes(8)))); break;
        case 2: push(makeStr(m_in)); break;
        case 3: pushBytes(); break;
        case 4: pushSingleton(); break;
        case 5: pushSequence(true); break;
        case 6: pushSequence(false); break;
        case 7: pushDict(); break;
        case 8: pushSelfContaining(); break;
        case 9: pushMade(makeSubclass, false); break;
        case 10: pushMade(makeHostile, true); break;
        case 11: pushArray(); break;
        case 12: pushMatrix(); break;
        default: push(makeStr(m_in)); break; // a text used as itself and as an object path
        }
    }

    static double doubleOfBits(uint64_t bits)
    {
        double d;
        std::memcpy(&d, &bits, 8);
        return d;
    }

    // Takes over a new reference (nothing for null), tainted by whatever pop() gave it.
    void push(PyObject *o, bool hostile = false)
    {
        if (!o) {
            PyErr_Clear();
            return;
        }
        hostile = hostile || m_taint;
        m_taint = false;
        m_stack.push_back({o, hostile});
        Py_INCREF(o);
        m_all.push_back({o, hostile});
    }

    // Hands the top object's reference to the caller; null when the stack is empty.
    PyObject *pop()
    {
        if (m_stack.empty())
            return nullptr;
        const Built b = m_stack.back();
        m_stack.pop_back();
        m_taint = m_taint || b.hostile;
        return b.object;
    }

    void pushBytes()
    {
        const std::string s = m_in.chunk(16);
        push(PyBytes_FromStringAndSize(s.data(), Py_ssize_t(s.size())));
    }

    void pushSingleton()
    {
        PyObject *singletons[] = {Py_True, Py_False, Py_None};
        PyObject *o = singletons[m_in.byte() % 3];
        Py_INCREF(o);
        push(o);
    }

    void pushSequence(bool list)
    {
        const int n = std::min<int>(m_in.byte() % 5, int(m_stack.size()));
        PyObject *c = list ? PyList_New(n) : PyTuple_New(n);
        for (int i = n - 1; i >= 0; --i) {
            PyObject *item = pop();
            if (list)
                PyList_SET_ITEM(c, i, item);
            else
                PyTuple_SET_ITEM(c, i, item);
        }
        push(c);
    }

    void pushDict()
    {
        PyObject *d = PyDict_New();
        const int n = std::min<int>(m_in.byte() % 4, int(m_stack.size()) / 2);
        for (int i = 0; i < n; ++i) {
            PyObject *value = pop();
            PyObject *key = pop();
            if (PyDict_SetItem(d, key, value) < 0)
                PyErr_Clear(); // unhashable key
            Py_DECREF(key);
            Py_DECREF(value);
        }
        push(d);
    }

    // A list or dict that contains itself.
    void pushSelfContaining()
    {
        PyObject *o = (m_in.byte() & 1) ? PyList_New(0) : PyDict_New();
        if (PyList_Check(o))
            PyList_Append(o, o);
        else
            PyDict_SetItemString(o, "self", o);
        push(o);
    }

    // A subclass instance or a hostile object made by Python code around the top object.
    void pushMade(PyObject *maker, bool hostile)
    {
        PyObject *inner = pop();
        const int first = m_in.byte();
        PyObject *made =
            hostile ? PyObject_CallFunction(maker, "iiO", first, int(m_in.byte()), inner ? inner : Py_None)
                    : PyObject_CallFunction(maker, "iO", first, inner ? inner : Py_None);
        push(made, hostile);
        Py_XDECREF(inner);
    }

    void pushArray()
    {
        const int selector = m_in.byte();
        const int count = m_in.byte();
        const std::string data = m_in.chunk(32);
        push(PyObject_CallFunction(makeArray, "iiy#", selector, count, data.data(), Py_ssize_t(data.size())));
    }

    // A list of lists of floats, for the matrix.
    void pushMatrix()
    {
        const int rows = m_in.byte() % 4, columns = m_in.byte() % 4;
        PyObject *m = PyList_New(rows);
        for (int r = 0; r < rows; ++r) {
            PyObject *row = PyList_New(columns);
            for (int c = 0; c < columns; ++c)
                PyList_SET_ITEM(row, c, PyFloat_FromDouble(m_in.byte() - 128.0));
            PyList_SET_ITEM(m, r, row);
        }
        push(m);
    }

    Input &m_in;
    std::vector<Built> m_stack;
    std::vector<Built> m_all;
    bool m_taint = false; // set by pop() for what the next push is built of
};

// Inference, every supported id, and unsupported ones on both sides of them, by the ids of the Qt
// the harness is built with.
const int TypeIds[] = {-1,
                       -2,
                       QMetaType::UnknownType,
                       QMetaType::Bool,
                       QMetaType::Int,
                       QMetaType::UInt,
                       QMetaType::LongLong,
                       QMetaType::ULongLong,
                       QMetaType::Double,
                       QMetaType::QChar,
                       QMetaType::QVariantMap,
                       QMetaType::QVariantList,
                       QMetaType::QString,
                       QMetaType::QStringList,
                       QMetaType::QByteArray,
                       QMetaType::VoidStar,
                       QMetaType::Long,
                       QMetaType::Short,
                       QMetaType::Char,
                       QMetaType::ULong,
                       QMetaType::UShort,
                       QMetaType::UChar,
                       QMetaType::Float,
                       QMetaType::QObjectStar,
                       QMetaType::QKeySequence,
                       QMetaType::QKeySequence + 1,
                       QMetaType::User};

bool hostileInput = false;

void checkRefs(PyObject *o, Py_ssize_t refs, const char *member)
{
    if (!hostileInput && Py_REFCNT(o) != refs) {
        std::fprintf(stderr, "reference count of a %s went from %zd to %zd\n", Py_TYPE(o)->tp_name, refs,
                     Py_REFCNT(o));
        fail(member);
    }
}

void feedScalarsAndStringLists(PyObject *o)
{
    bool ok = false;
    for (const bool strict : {false, true}) {
        TPyQtWrapping::PyObject2int(o, strict, &ok);
        TPyQtWrapping::PyObject2bool(o, strict, nullptr);
        TPyQtWrapping::PyObject2LongLong(o, strict, &ok);
        TPyQtWrapping::PyObject2ULongLong(o, strict, &ok);
        TPyQtWrapping::PyObject2double(o, strict, &ok);
        noErrorPending("scalars");
        TPyQtWrapping::PyObject2QStringList(o, strict, &ok);
        noErrorPending("PyObject2QStringList");
        TPyQtWrapping().PyObject2QListOfQStringList(o, strict, &ok);
        noErrorPending("PyObject2QListOfQStringList");
    }
}

void feedTablesAndLists(PyObject *o)
{
    delete[] TPyQtWrapping::PyObject2QStringTable(o);
    noErrorPending("PyObject2QStringTable");
    unsigned long long count = 0;
    delete[] TPyQtWrapping::PyObject2DoubleTable(o, count);
    delete[] TPyQtWrapping::PyObject2FloatTable(o);
    delete[] TPyQtWrapping::PyObject2IntTable(o);
    delete[] TPyQtWrapping::PyObject2ShortIntTable(o);
    noErrorPending("tables");
    int rows = -1, columns = -1;
    if (double **m = TPyQtWrapping::PyObject2DoubleMatrix(o, rows, columns)) {
        PyObject *back = TPyQtWrapping::doubleMatrix2PyObject(m, unsigned(rows), unsigned(columns));
        Py_XDECREF(back);
        for (int r = 0; r < rows; ++r)
            delete[] m[r];
        delete[] m;
    }
    noErrorPending("PyObject2DoubleMatrix");
    bool ok = false;
    PyObject *doubles = TPyQtWrapping::QListDouble2PyObject(TPyQtWrapping::PyObject2QListDouble(o, &ok));
    PyObject *ints = TPyQtWrapping::QListInt2PyObject(TPyQtWrapping::PyObject2QListInt(o, &ok));
    Py_XDECREF(doubles);
    Py_XDECREF(ints);
    noErrorPending("number lists");
    if (TPyQtWrapping::isNumpyArray(o)) {
        delete[] TPyQtWrapping::numPyArray2DoubleTable(TPyQtWrapping::PyObject2NumPyArray(o), count);
        noErrorPending("numPyArray2DoubleTable");
    }
}

void feedVariants(PyObject *o)
{
    for (const int type : TypeIds) {
        const QVariant v = TPyQtWrapping::PyObject2QVariant(o, type);
        PyErr_Clear(); // a failed items or length call stays pending by design
        PyObject *back = TPyQtWrapping::QVariant2PyObject(v);
        PyObject *list = TPyQtWrapping::QVariantList2PyObject(v.toList());
        Py_XDECREF(back);
        Py_XDECREF(list);
        noErrorPending("variants back");
    }
}

// The text members, on whatever text the object gave.
void feedText(const QString &text)
{
    TPyQtWrapping::pythonStringToQString(text);
    TPyQtWrapping::qstringToPythonString(text);
    noErrorPending("literal codec");
    TPyQtWrapping::QObjectIDQObjectPtr(text, objectTree);
    PyObject *str = TPyQtWrapping::QString2PyObject(text);
    if (!str)
        fail("QString2PyObject");
    const int zero = text.indexOf(QChar(0));
    const bool byteOrderMark = text.size() && (text.at(0) == QChar(0xFEFF) || text.at(0) == QChar(0xFFFE));
    if (TPyQtWrapping::PyObject2QString(str) != text.left(zero < 0 ? text.size() : zero) && !byteOrderMark)
        fail("str round trip");
    Py_DECREF(str);
    PyObject *list = TPyQtWrapping::QStringList2PyObject({text, QString(), text});
    Py_XDECREF(list);
}

void feed(PyObject *o)
{
    inMember = true;
    const Py_ssize_t refs = Py_REFCNT(o);
    feedScalarsAndStringLists(o);
    checkRefs(o, refs, "scalars and string lists");
    const QString text = TPyQtWrapping::PyObject2QString(o);
    noErrorPending("PyObject2QString");
    feedTablesAndLists(o);
    checkRefs(o, refs, "tables and lists");
    feedVariants(o);
    checkRefs(o, refs, "PyObject2QVariant");
    TPyQtWrapping::PyObject2QObject(o);
    noErrorPending("PyObject2QObject");
    feedText(text);
    checkRefs(o, refs, "text members");
    inMember = false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("PYTHONMALLOC", "malloc", 1); // every Python allocation is seen by the sanitizer
    Py_InitializeEx(0);
    mainDict = PyModule_GetDict(PyImport_AddModule("__main__"));
    __sanitizer_install_malloc_and_free_hooks(noteAllocation, noteFree);
    for (PyMethodDef *def = HarnessFunctions; def->ml_name; ++def) {
        PyObject *function = PyCFunction_New(def, nullptr);
        PyDict_SetItemString(mainDict, def->ml_name, function);
        Py_DECREF(function);
    }
    PyObject *r = PyRun_String(Helpers, Py_file_input, mainDict, mainDict);
    if (!r) {
        PyErr_Print();
        std::abort();
    }
    Py_DECREF(r);
    makeHostile = PyDict_GetItemString(mainDict, "make_hostile");
    makeArray = PyDict_GetItemString(mainDict, "make_array");
    makeSubclass = PyDict_GetItemString(mainDict, "make_subclass");
    capturedStderr = PyObject_GetAttrString(PyImport_AddModule("sys"), "stderr");

    objectTree = new QObject;
    auto *model = new QObject(objectTree);
    model->setObjectName(QStringLiteral("model"));
    new QTimer(model);
    (new QObject(model))->setObjectName(QStringLiteral("cache"));
    new QTimer(objectTree);
    new QObject(objectTree);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    const std::vector<Built> all = Builder(in).build();
    for (const Built &b : all) {
        hostileInput = b.hostile;
        feed(b.object);
    }
    for (const Built &b : all)
        Py_DECREF(b.object);
    // What the reports printed is not kept from one input to the next.
    PyObject *r = PyObject_CallMethod(capturedStderr, "truncate", "i", 0);
    Py_XDECREF(r);
    r = PyObject_CallMethod(capturedStderr, "seek", "i", 0);
    Py_XDECREF(r);
    noErrorPending("harness");
    return 0;
}
