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

def make_hostile(kind, n, inner):
    kind %= 9
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
    static const uint32_t specials[] = {0, 0xFEFF, 0xFFFE, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0x1F600,
                                        0x10FFFF, 0xFF, 0x100, '\\', 'u', '"', '.', ':', 'a', 'Q'};
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
struct Built {
    PyObject *object;
    bool hostile;
};

// Builds the objects; every one of them is also kept in `all`, to be fed to the members.
void build(Input &in, std::vector<Built> &stack, std::vector<Built> &all)
{
    bool taint = false; // set by pop() for what the next push is built of
    auto push = [&](PyObject *o, bool hostile = false) {
        if (!o) {
            PyErr_Clear();
            return;
        }
        hostile = hostile || taint;
        taint = false;
        stack.push_back({o, hostile});
        Py_INCREF(o);
        all.push_back({o, hostile});
    };
    auto pop = [&]() -> PyObject * {
        if (stack.empty())
            return nullptr;
        const Built b = stack.back();
        stack.pop_back();
        taint = taint || b.hostile;
        return b.object;
    };
    for (int step = 0; step < 48 && !in.empty(); ++step) {
        const uint8_t op = in.byte() % 14;
        switch (op) {
        case 0: push(makeInt(in)); break;
        case 1: {
            const uint64_t bits = in.bytes(8);
            double d;
            std::memcpy(&d, &bits, 8);
            push(PyFloat_FromDouble(d));
            break;
        }
        case 2: push(makeStr(in)); break;
        case 3: {
            const std::string s = in.chunk(16);
            push(PyBytes_FromStringAndSize(s.data(), Py_ssize_t(s.size())));
            break;
        }
        case 4: {
            PyObject *singletons[] = {Py_True, Py_False, Py_None};
            PyObject *o = singletons[in.byte() % 3];
            Py_INCREF(o);
            push(o);
            break;
        }
        case 5:
        case 6: {
            const int n = std::min<int>(in.byte() % 5, int(stack.size()));
            PyObject *c = op == 5 ? PyList_New(n) : PyTuple_New(n);
            for (int i = n - 1; i >= 0; --i) {
                PyObject *item = pop();
                if (op == 5)
                    PyList_SET_ITEM(c, i, item);
                else
                    PyTuple_SET_ITEM(c, i, item);
            }
            push(c);
            break;
        }
        case 7: {
            PyObject *d = PyDict_New();
            const int n = std::min<int>(in.byte() % 4, int(stack.size()) / 2);
            for (int i = 0; i < n; ++i) {
                PyObject *value = pop();
                PyObject *key = pop();
                if (PyDict_SetItem(d, key, value) < 0)
                    PyErr_Clear(); // unhashable key
                Py_DECREF(key);
                Py_DECREF(value);
            }
            push(d);
            break;
        }
        case 8: { // a list or dict that contains itself
            if (in.byte() & 1) {
                PyObject *l = PyList_New(0);
                PyList_Append(l, l);
                push(l);
            } else {
                PyObject *d = PyDict_New();
                PyDict_SetItemString(d, "self", d);
                push(d);
            }
            break;
        }
        case 9: {
            PyObject *inner = pop();
            push(PyObject_CallFunction(makeSubclass, "iO", int(in.byte()), inner ? inner : Py_None));
            Py_XDECREF(inner);
            break;
        }
        case 10: {
            PyObject *inner = pop();
            push(PyObject_CallFunction(makeHostile, "iiO", int(in.byte()), int(in.byte()),
                                       inner ? inner : Py_None),
                 true);
            Py_XDECREF(inner);
            break;
        }
        case 11: {
            const int selector = in.byte();
            const int count = in.byte();
            const std::string data = in.chunk(32);
            push(PyObject_CallFunction(makeArray, "iiy#", selector, count, data.data(), Py_ssize_t(data.size())));
            break;
        }
        case 12: { // a list of lists, for the matrix
            const int rows = in.byte() % 4, columns = in.byte() % 4;
            PyObject *m = PyList_New(rows);
            for (int r = 0; r < rows; ++r) {
                PyObject *row = PyList_New(columns);
                for (int c = 0; c < columns; ++c)
                    PyList_SET_ITEM(row, c, PyFloat_FromDouble(in.byte() - 128.0));
                PyList_SET_ITEM(m, r, row);
            }
            push(m);
            break;
        }
        default: { // a text used as itself and as an object path
            push(makeStr(in));
            break;
        }
        }
    }
    for (const Built &b : stack)
        Py_DECREF(b.object);
    stack.clear();
}

// Inference, every supported id, and unsupported ones on both sides of them, by the ids of the Qt
// the harness is built with.
const int TypeIds[] = {-1, -2, QMetaType::UnknownType, QMetaType::Bool, QMetaType::Int, QMetaType::UInt,
    QMetaType::LongLong, QMetaType::ULongLong, QMetaType::Double, QMetaType::QChar, QMetaType::QVariantMap,
    QMetaType::QVariantList, QMetaType::QString, QMetaType::QStringList, QMetaType::QByteArray,
    QMetaType::VoidStar, QMetaType::Long, QMetaType::Short, QMetaType::Char, QMetaType::ULong,
    QMetaType::UShort, QMetaType::UChar, QMetaType::Float, QMetaType::QObjectStar, QMetaType::QKeySequence,
    QMetaType::QKeySequence + 1, QMetaType::User};

bool hostileInput = false;

void checkRefs(PyObject *o, Py_ssize_t refs, const char *member)
{
    if (!hostileInput && Py_REFCNT(o) != refs) {
        std::fprintf(stderr, "reference count of a %s went from %zd to %zd\n", Py_TYPE(o)->tp_name,
                     refs, Py_REFCNT(o));
        fail(member);
    }
}

void feed(PyObject *o)
{
    const Py_ssize_t refs = Py_REFCNT(o);
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
        checkRefs(o, refs, "scalars and string lists");
    }
    const QString text = TPyQtWrapping::PyObject2QString(o);
    noErrorPending("PyObject2QString");
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
    PyObject *doubles = TPyQtWrapping::QListDouble2PyObject(TPyQtWrapping::PyObject2QListDouble(o, &ok));
    PyObject *ints = TPyQtWrapping::QListInt2PyObject(TPyQtWrapping::PyObject2QListInt(o, &ok));
    Py_XDECREF(doubles);
    Py_XDECREF(ints);
    noErrorPending("number lists");
    if (TPyQtWrapping::isNumpyArray(o)) {
        delete[] TPyQtWrapping::numPyArray2DoubleTable(TPyQtWrapping::PyObject2NumPyArray(o), count);
        noErrorPending("numPyArray2DoubleTable");
    }
    checkRefs(o, refs, "tables and lists");
    for (const int type : TypeIds) {
        const QVariant v = TPyQtWrapping::PyObject2QVariant(o, type);
        PyErr_Clear(); // a failed items or length call stays pending by design
        PyObject *back = TPyQtWrapping::QVariant2PyObject(v);
        PyObject *list = TPyQtWrapping::QVariantList2PyObject(v.toList());
        Py_XDECREF(back);
        Py_XDECREF(list);
        noErrorPending("variants back");
    }
    checkRefs(o, refs, "PyObject2QVariant");
    TPyQtWrapping::PyObject2QObject(o);
    noErrorPending("PyObject2QObject");

    // The text members, on whatever text the object gave.
    TPyQtWrapping::pythonStringToQString(text);
    TPyQtWrapping::qstringToPythonString(text);
    noErrorPending("literal codec");
    TPyQtWrapping::QObjectIDQObjectPtr(text, objectTree);
    PyObject *str = TPyQtWrapping::QString2PyObject(text);
    if (!str)
        fail("QString2PyObject");
    if (TPyQtWrapping::PyObject2QString(str) != text.left(text.indexOf(QChar(0)) < 0 ? text.size() : text.indexOf(QChar(0))) &&
        !(text.size() && (text.at(0) == QChar(0xFEFF) || text.at(0) == QChar(0xFFFE))))
        fail("str round trip");
    Py_DECREF(str);
    PyObject *list = TPyQtWrapping::QStringList2PyObject({text, QString(), text});
    Py_XDECREF(list);
    checkRefs(o, refs, "text members");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("PYTHONMALLOC", "malloc", 1); // every Python allocation is seen by the sanitizer
    Py_InitializeEx(0);
    mainDict = PyModule_GetDict(PyImport_AddModule("__main__"));
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
    std::vector<Built> stack, all;
    build(in, stack, all);
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
