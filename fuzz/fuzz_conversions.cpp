// libFuzzer harness: the input is a small program that builds a graph of Python objects (ints of
// every size, floats with NaN and infinities, str with NUL, BOMs and lone surrogates, bytes,
// subclasses, containers that contain themselves, hostile objects, objects whose hooks fight back
// by changing the input's containers while they convert, graphs of shared parts 2**60 paths wide,
// nesting deeper than any budget, hostile exception hooks and streams, and NumPy arrays of every
// dtype, shape, stride, byte order and alignment). Every member that takes a Python object is fed
// every object (but a container that became part of a later one) with both strict flags and a
// spread of type ids, and text members get the texts. Inputs run on a worker thread of 512 KiB.
// Besides the sanitizers it checks that no Python error is left pending where none is promised,
// that the inputs' reference counts are unchanged, that every table is as long as its list (read
// as a host reads it), and that the variant conversion leaves Python code the stack it promises.
// not covered: bool2PyObject, QString2PyUnicode, QStringTable2PyObject, floatTable2PyObject,
// doubleTable2PyObject, floatMatrix2PyObject, QListFloat2PyObject, voidType2PyObjectInternal,
// QObjectPtr2QObjectID, QObject2PyObject, showErrorMessage (they take C++ values the input does
// not make, whose conversions the unit tests and the sweeps cover; reports run under every member
// that refuses)
#include "threadstack.h"
#include "tpyqtwrapping.h"

#include <QObject>
#include <QTimer>

#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <pthread.h>
#include <sched.h>

namespace {

PyObject *mainDict = nullptr;
PyObject *reach = nullptr; // the containers fighting hooks change (REACH)
PyObject *makeFighting = nullptr;
PyObject *makeHostile = nullptr; // helper functions defined below, in Python
PyObject *makeArray = nullptr;
PyObject *makeSubclass = nullptr;
PyObject *reportSink = nullptr; // where reports go, whatever an input did to sys.stderr
QObject *objectTree = nullptr;

// The interpreter's recursion limit for every input (an input may raise it): a value nesting
// without end stops this deep, past the depth where the variant conversion starts to watch its
// stack, and each level of it runs Python code, so it is kept low.
constexpr int RecursionLimit = 100;

const char *const Helpers = R"(
import os, sys
# Reports go nowhere: a sequence that claims a thousand items and fails to deliver them makes a
# thousand reports in a number list, by design, and kept text would grow by megabytes an input.
sys.stderr = open(os.devnull, 'w')
sys.setrecursionlimit(RECURSION_LIMIT)  # endless nesting stops soon; the bound is what is tested
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
        # alternating them would grow the graph exponentially, so both are cut short. Only a
        # scalar's text is taken: str() of a graph of shared parts takes as long as its paths are
        # many, and a subclass's str() can be anything.
        if kind == 2 and not isinstance(value, str):
            value = (repr(value) if isinstance(value, (int, float, bytes)) else type(value).__name__)[:64]
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

# A sequence that claims `claim` items (its length raises for None) and delivers `delivered` of
# them; the harness checks that nothing was sized by the claim before the first item came. Its
# hooks are the harness's C functions, bound to its state by functools.partial (not a descriptor,
# so called without the instance): hundreds of items cost microseconds, not the milliseconds of
# as many calls into Python code in every member.
def make_lying(kind, n, inner):
    # A claim larger than any table a first item may justify is delivered in full; one a little
    # larger than what a claim may reserve, in full or only three items (every failed item of a
    # number list is reported, by design, and hundreds of reports cost milliseconds).
    claim = (BIG_CLAIM + n, 65 + n % 64, 2, -1, None)[kind % 5]
    delivered = 3 if kind % 5 == 1 and kind // 5 % 2 else claim or 0  # None: no items either
    item = inner if inner is None or isinstance(inner, (int, float, str, bytes)) else ('x',)
    state = (claim, delivered, item)
    hooks = {'__len__': functools.partial(_lying_length, state),
             '__getitem__': functools.partial(_lying_item, state)}
    return type('Lying', ((), (list,))[kind // 10 % 2], hooks)()

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

# Objects that fight back. REACH holds the containers of the current input (the harness empties it
# after each input); a fighting hook changes any of them: clears, extends, shrinks or replaces
# their items, drops every reference they hold to the hook's own object, collects garbage, raises,
# or hands back the object itself. FIGHTS counts the moves, so that the harness knows when
# reference counts may have changed.
import functools, gc
REACH = []
FIGHTS = 0

# A collection that frees garbage of earlier inputs may drop references it held to this input's
# objects (a one-character str or a small int is shared by every input): the harness knows from
# FIGHTS that reference counts may have changed.
def count_collection(phase, info):
    global FIGHTS
    if phase == 'stop' and info['collected']:
        FIGHTS += 1
gc.callbacks.append(count_collection)

def fight(plan, me):
    global FIGHTS
    FIGHTS += 1
    move, t = plan % 9, REACH[plan // 9 % len(REACH)] if REACH else None
    if move == 5: gc.collect(0)
    elif move == 6: raise ValueError('fight')
    elif move == 7: return me
    elif move == 4:  # drops the references the input holds to me, maybe the last ones
        for c in REACH:
            if isinstance(c, list): c[:] = [x for x in c if x is not me]
            else:
                for k in [k for k, v in c.items() if v is me]: del c[k]
    elif isinstance(t, list):
        if move == 0: t.clear()
        elif move == 1: t.extend((1.5, me, t))
        elif move == 2: del t[len(t) // 2:]
        elif move == 3: t[:] = [object(), 2**70, 'y' * 300, b'z'][:len(t)]
        else: t.reverse()
    elif isinstance(t, dict):
        if move == 0: t.clear()
        elif move == 1: t.update({'x': me, 7: t})
        elif move == 2 and t: t.popitem()
        elif move == 3:
            for k in list(t): t[k] = 2.5
    return None

class Fighter:
    # A sequence, a number and a mapping at once, each of whose hooks makes a move.
    def __init__(s, plan, inner): s.plan, s.inner, s.calls = plan, inner, 0
    def move(s):
        s.calls += 1
        return fight(s.plan + 7 * s.calls, s) if s.calls <= 32 else None
    def __len__(s): s.move(); return s.plan % 3
    def __getitem__(s, i):
        got = s.move()
        if not 0 <= i < s.plan % 3: raise IndexError(i)
        return s.inner if got is None else got
    def __index__(s): s.move(); return s.plan
    def __float__(s): s.move(); return 0.5
    def __iter__(s): s.move(); return iter((s.inner,))
    def items(s): s.move(); return [('f', s.inner)]
    def keys(s): s.move(); return ['f']

class FightingList(list):
    def __init__(s, plan, items): list.__init__(s, items); s.fighter = Fighter(plan, None)
    def __len__(s): s.fighter.move(); return list.__len__(s)
    def __getitem__(s, i): s.fighter.move(); return list.__getitem__(s, i)

class OwnItems(dict):  # items() is a list that the input's fighters reach
    def __init__(s, pairs): s.pairs = pairs
    def items(s): return s.pairs
class OwnItemsMapping:
    def __init__(s, pairs): s.pairs = pairs
    def items(s): return s.pairs
    def __getitem__(s, k): return dict(s.pairs)[k]

class Raiser:  # a hook and a stream that raise
    def __init__(s, e): s.e = e
    def __call__(s, *a): raise s.e
    write = __call__

class Level(list):  # tells the harness where the stack stands when its length is asked
    def __len__(s): _stack_here(); return list.__len__(s)

def nested(n, pair, bottom):
    a = bottom
    for _ in range(n): a = pair(a)
    return a

def reached(c):
    REACH.append(c)
    return c

def make_fighting(kind, n, inner):
    kind %= 8
    fresh = lambda i: Fighter(n + i, inner)  # only the container made here refers to it
    if kind == 0: return reached([fresh(0), inner, fresh(1), 2.5, b'x'])
    if kind == 1:
        pairs = reached([('k%d' % i, fresh(i)) for i in range(n % 3 + 1)] + [(b'j', inner)])
        return (OwnItems, OwnItemsMapping)[n % 2](pairs)
    if kind == 2: return reached({'k%d' % i: fresh(i) for i in range(n % 3 + 1)})
    if kind == 3: return reached(FightingList(n, [inner, fresh(0), [inner]]))
    if kind == 4:  # 2**depth paths through depth + 1 objects
        pair = (lambda a: [a, a], lambda a: (a, {'x': a, 'y': [a]}), lambda a: {'a': a, 'b': (a, inner)})[n % 3]
        return nested(20 + n % 40, pair, [])
    if kind == 5:  # deeper than the budget of the harness's thread, with Python code at every level
        sys.setrecursionlimit(10**6)
        return nested(400, lambda a: Level([a]), [inner])
    if kind == 6:
        if n % 3 != 1: sys.excepthook = Raiser((SystemExit(3), KeyboardInterrupt, ValueError)[n % 3])
        if n % 3 != 0: sys.stderr = Raiser(SystemExit(4))
        return inner
    return reached([fresh(i) for i in range(n % 4 + 1)])

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
    view = (selector // len(dtypes)) % 11
    if view >= 8 and dt.kind in 'OUS': view = 1
    if view == 8:  # one byte past alignment, as a file parser makes it
        a = np.frombuffer(b'_' + a.tobytes(), dtype=dt, offset=1)
    elif view == 9: a.setflags(write=False)
    elif view == 10 and len(a) >= 2:  # a view of a view, one element in
        a = np.frombuffer(a.tobytes(), np.uint8)[dt.itemsize // 2:][:dt.itemsize * (len(a) - 1)].view(dt)
    elif view == 1: a = a[::-1]
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
// while a member runs: Python's own list() sizes its result by the length, as it may. On a claim's
// word the library reserves at most 64 entries, the largest a QVariant; a claim of BigClaim items
// or more sized at four bytes an entry (a float or int table) is over the line.
size_t largestSinceMark = 0;
bool inMember = false;
constexpr size_t LargestBeforeFirstItem = 64 * sizeof(QVariant) + 256;
constexpr size_t BigClaim = LargestBeforeFirstItem / 4 + 1;

void noteAllocation(const volatile void *, size_t size)
{
    if (size > largestSinceMark)
        largestSinceMark = size;
}
void noteFree(const volatile void *) {}

// A lying sequence's length: marks the heap, then gives the claim of its state (claim, delivered,
// item), or raises for a claim of None.
PyObject *lyingLength(PyObject *, PyObject *state)
{
    largestSinceMark = 0;
    PyObject *claim = PyTuple_GET_ITEM(state, 0);
    if (claim == Py_None) {
        PyErr_SetString(PyExc_ValueError, "len");
        return nullptr;
    }
    Py_INCREF(claim);
    return claim;
}

// A lying sequence's item i: its item while i is below the delivered count, else IndexError. The
// first fetch checks that nothing was sized by the claim.
PyObject *lyingItem(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "an item of a lying sequence takes its state and an index");
        return nullptr;
    }
    PyObject *state = args[0];
    const Py_ssize_t i = PyNumber_AsSsize_t(args[1], PyExc_IndexError);
    if (i == 0 && inMember && largestSinceMark > LargestBeforeFirstItem) {
        std::fprintf(
            stderr,
            "fuzz check failed: %zu bytes allocated before the first item of a sequence claiming %zd\n",
            largestSinceMark, PyLong_AsSsize_t(PyTuple_GET_ITEM(state, 0)));
        std::abort();
    }
    if (PyErr_Occurred())
        return nullptr;
    if (i < 0 || i >= PyLong_AsSsize_t(PyTuple_GET_ITEM(state, 1))) {
        PyErr_SetString(PyExc_IndexError, "lying");
        return nullptr;
    }
    PyObject *item = PyTuple_GET_ITEM(state, 2);
    Py_INCREF(item);
    return item;
}

// The lowest stack address Python code has reported (a Level's length) since it was reset, and the
// lowest the thread may use.
uintptr_t lowestStack = UINTPTR_MAX;
uintptr_t stackBottom = 0;

PyObject *stackHere(PyObject *, PyObject *)
{
    lowestStack = std::min(lowestStack, reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
    Py_RETURN_NONE;
}

PyMethodDef HarnessFunctions[] = {{"_lying_length", &lyingLength, METH_O, nullptr},
                                  {"_lying_item",
                                   reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&lyingItem)),
                                   METH_FASTCALL, nullptr},
                                  {"_stack_here", &stackHere, METH_NOARGS, nullptr},
                                  {nullptr, nullptr, 0, nullptr}};

void fail(const char *what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    PySys_SetObject("excepthook", PySys_GetObject("__excepthook__")); // the input's may exit
    PySys_SetObject("stderr", PySys_GetObject("__stderr__"));
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
    bool consumed = false; // made part of a later object (a container's item, a maker's input)
    size_t entry = 0; // where it is in the list of every object built
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
            buildOne(m_in.byte() % 15);
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
        case 13: pushMade(makeFighting, true); break;
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
        m_stack.push_back({o, hostile, false, m_all.size()});
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
        m_all[b.entry].consumed = true;
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

    // A container of the input, which fighting hooks may change.
    static PyObject *reached(PyObject *container)
    {
        if (container && PyList_Append(reach, container) < 0)
            PyErr_Clear();
        return container;
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
        push(list ? reached(c) : c);
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
        push(reached(d));
    }

    // A list or dict that contains itself.
    void pushSelfContaining()
    {
        PyObject *o = (m_in.byte() & 1) ? PyList_New(0) : PyDict_New();
        if (PyList_Check(o))
            PyList_Append(o, o);
        else
            PyDict_SetItemString(o, "self", o);
        push(reached(o));
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
            PyList_SET_ITEM(m, r, reached(row));
        }
        push(reached(m));
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
long fightsBefore = 0;

// How many moves fighting hooks and the collector have made.
long fights()
{
    PyObject *count = PyDict_GetItemString(mainDict, "FIGHTS");
    return count ? PyLong_AsLong(count) : 0;
}

// Reference counts may change when Python code of the input ran, a fighting hook moved or a
// collection freed something.
void checkRefs(PyObject *o, Py_ssize_t refs, const char *member)
{
    if (!hostileInput && fights() == fightsBefore && Py_REFCNT(o) != refs) {
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

// Reads a table as a host does, to the length its list has when the member returns, and releases
// it: a table shorter than its list is read past its end.
template <typename T>
void readAsHost(T *table, PyObject *list)
{
    volatile unsigned char sink = 0;
    for (Py_ssize_t i = 0; table && i < PyList_GET_SIZE(list); ++i) {
        unsigned char first;
        std::memcpy(&first, static_cast<const void *>(&table[i]), 1);
        sink = sink + first;
    }
    delete[] table;
}

void feedTablesAndLists(PyObject *o)
{
    const bool list = PyList_Check(o);
    if (list)
        readAsHost(TPyQtWrapping::PyObject2QStringTable(o), o);
    noErrorPending("PyObject2QStringTable");
    unsigned long long count = 0;
    double *doubles = TPyQtWrapping::PyObject2DoubleTable(o, count);
    if (doubles && list && count != static_cast<unsigned long long>(PyList_GET_SIZE(o)))
        fail("PyObject2DoubleTable: a count other than its list's length");
    delete[] doubles;
    if (list) {
        readAsHost(TPyQtWrapping::PyObject2FloatTable(o), o);
        readAsHost(TPyQtWrapping::PyObject2IntTable(o), o);
        readAsHost(TPyQtWrapping::PyObject2ShortIntTable(o), o);
    }
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
    PyObject *doubleList = TPyQtWrapping::QListDouble2PyObject(TPyQtWrapping::PyObject2QListDouble(o, &ok));
    PyObject *ints = TPyQtWrapping::QListInt2PyObject(TPyQtWrapping::PyObject2QListInt(o, &ok));
    Py_XDECREF(doubleList);
    Py_XDECREF(ints);
    noErrorPending("number lists");
    if (TPyQtWrapping::isNumpyArray(o)) {
        delete[] TPyQtWrapping::numPyArray2DoubleTable(TPyQtWrapping::PyObject2NumPyArray(o), count);
        noErrorPending("numPyArray2DoubleTable");
    }
}

// The variant conversion's own frames take at most an eighth of the stack its thread has left, so
// that Python code it calls at its deepest level keeps the rest (and the frames of that call).
void checkStackLeftToPython(uintptr_t start)
{
    constexpr uintptr_t CallIntoPython = 64 * 1024;
    if (lowestStack != UINTPTR_MAX && start - lowestStack > (start - stackBottom) / 8 + CallIntoPython) {
        std::fprintf(stderr, "the conversion took %zu bytes of the %zu bytes of stack it had\n",
                     size_t(start - lowestStack), size_t(start - stackBottom));
        fail("PyObject2QVariant: stack");
    }
}

void feedVariants(PyObject *o)
{
    for (const int type : TypeIds) {
        const uintptr_t start = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        lowestStack = UINTPTR_MAX;
        const QVariant v = TPyQtWrapping::PyObject2QVariant(o, type);
        checkStackLeftToPython(start);
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
    fightsBefore = fights();
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

// A number, a text or a singleton, of any subclass: what no member walks into.
bool isScalar(PyObject *o)
{
    return PyLong_Check(o) || PyFloat_Check(o) || PyUnicode_Check(o) || PyBytes_Check(o) || o == Py_None;
}

void runOne(const uint8_t *data, size_t size)
{
    Input in(data, size);
    const std::vector<Built> all = Builder(in).build();
    for (const Built &b : all) {
        // A container made part of a later object is walked there by every member that walks
        // containers; fed again on its own, nested containers would cost the square of their depth.
        if (b.consumed && !isScalar(b.object))
            continue;
        hostileInput = b.hostile;
        feed(b.object);
    }
    // The hooks, stream, recursion limit and reach that the input set, as they were.
    PySys_SetObject("excepthook", PySys_GetObject("__excepthook__"));
    PySys_SetObject("stderr", reportSink);
    Py_SetRecursionLimit(RecursionLimit);
    PyList_SetSlice(reach, 0, PY_SSIZE_T_MAX, nullptr);
    for (const Built &b : all)
        Py_DECREF(b.object);
    noErrorPending("harness");
}

// Runs every input on a thread of its own with a stack of WorkerStack bytes, as a host's worker
// thread would: the variant conversion's nesting budget is an eighth of the stack, so nesting that
// reaches the budget costs about a hundred levels instead of the main thread's thousands, and the
// inputs that reach it stay cheap enough for the fuzzer's rate.
constexpr size_t WorkerStack = 512 * 1024;

class Worker
{
public:
    void start()
    {
        PyEval_SaveThread(); // the worker takes the interpreter from here on
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstacksize(&attributes, WorkerStack);
        if (pthread_create(&m_thread, &attributes, &Worker::loop, this) != 0)
            std::abort();
        pthread_attr_destroy(&attributes);
    }

    // The two threads hand each input over by spinning on a flag: waiting on a condition variable
    // took two trips through the scheduler an input, 90 microseconds, a twentieth of an input.
    void run(const uint8_t *data, size_t size)
    {
        m_data = data;
        m_size = size;
        m_pending.store(true, std::memory_order_release);
        while (m_pending.load(std::memory_order_acquire))
            sched_yield();
    }

private:
    static void *loop(void *self)
    {
        static_cast<Worker *>(self)->serve();
        return nullptr;
    }

    void serve()
    {
        PyGILState_Ensure(); // held for the life of the process: no other thread runs Python code
        stackBottom = HostSupport::lowestStackAddress();
        for (;;) {
            while (!m_pending.load(std::memory_order_acquire))
                sched_yield();
            runOne(m_data, m_size);
            m_pending.store(false, std::memory_order_release);
        }
    }

    pthread_t m_thread{};
    const uint8_t *m_data = nullptr;
    size_t m_size = 0;
    std::atomic<bool> m_pending{false};
};

Worker &worker = *new Worker; // never destroyed: the thread waits on it until the process ends

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
    for (const auto &constant :
         {std::make_pair("BIG_CLAIM", BigClaim), std::make_pair("RECURSION_LIMIT", size_t(RecursionLimit))}) {
        PyObject *value = PyLong_FromSize_t(constant.second);
        PyDict_SetItemString(mainDict, constant.first, value);
        Py_DECREF(value);
    }
    PyObject *r = PyRun_String(Helpers, Py_file_input, mainDict, mainDict);
    if (!r) {
        PyErr_Print();
        std::abort();
    }
    Py_DECREF(r);
    reach = PyDict_GetItemString(mainDict, "REACH");
    makeFighting = PyDict_GetItemString(mainDict, "make_fighting");
    makeHostile = PyDict_GetItemString(mainDict, "make_hostile");
    makeArray = PyDict_GetItemString(mainDict, "make_array");
    makeSubclass = PyDict_GetItemString(mainDict, "make_subclass");
    reportSink = PyObject_GetAttrString(PyImport_AddModule("sys"), "stderr");

    objectTree = new QObject;
    auto *model = new QObject(objectTree);
    model->setObjectName(QStringLiteral("model"));
    new QTimer(model);
    (new QObject(model))->setObjectName(QStringLiteral("cache"));
    new QTimer(objectTree);
    new QObject(objectTree);
    worker.start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    worker.run(data, size);
    return 0;
}
