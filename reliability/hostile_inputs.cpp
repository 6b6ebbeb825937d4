// Reliability: a catalogue of hostile Python values, by family, one row per kind of hostility:
// lengths that lie, fake array types, huge zero-stride views, lists that change while they are read,
// and texts at the length limits. Each ends in a result or the member's refusal, never a crash.
#include "cppallocations.h"
#include "pythontest.h"
#include "threadstack.h"

#include <algorithm>
#include <fstream>

#include <pthread.h>

namespace {

// Makes every later allocation of Qt's or the library's fail: called by a lying sequence once it
// has delivered some items, so that a conversion which grows with what it is given ends in a
// refusal for memory at once rather than after 2**31 items.
PyObject *exhaustHeap(PyObject *, PyObject *)
{
    CppAllocations::arm(0, true);
    Py_RETURN_NONE;
}
PyMethodDef exhaustHeapDef{"_exhaust_heap", &exhaustHeap, METH_NOARGS, nullptr};

// The lowest stack address that Python code has reported through _stack_here() since it was reset.
uintptr_t lowestStack = 0;
PyObject *stackHere(PyObject *, PyObject *)
{
    lowestStack = std::min(lowestStack, reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
    Py_RETURN_NONE;
}
PyMethodDef stackHereDef{"_stack_here", &stackHere, METH_NOARGS, nullptr};

// The bytes of stack below the caller's frame that its thread may still use.
uintptr_t stackLeft()
{
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) - HostSupport::lowestStackAddress();
}

// Requests above this are refused in every test here, as on a machine without the memory.
constexpr size_t Ceiling = size_t(1) << 30;

// Available memory in bytes, from /proc/meminfo.
unsigned long long availableMemory()
{
    std::ifstream meminfo("/proc/meminfo");
    std::string key, unit;
    unsigned long long kib = 0;
    while (meminfo >> key >> kib && std::getline(meminfo, unit))
        if (key == "MemAvailable:")
            return kib * 1024;
    return 0;
}

} // namespace

class HostileInputTest : public PythonTest
{
protected:
    void SetUp() override
    {
        PythonTest::SetUp();
        for (PyMethodDef *def : {&exhaustHeapDef, &stackHereDef})
            PyDict_SetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), def->ml_name,
                                 PyObjectRef(PyCFunction_New(def, nullptr)).get());
        exec(R"(
class Lying:  # claims `claim` items (None: raises), and delivers as many as it is asked for
    def __init__(s, claim, trip=0, item=('x',)): s.claim, s.trip, s.item, s.fetched = claim, trip, item, 0
    def __len__(s):
        if s.claim is None: raise ValueError('no length')
        return s.claim
    def __getitem__(s, i):
        s.fetched += 1
        if s.fetched == s.trip: _exhaust_heap()
        return s.item
class LyingList(Lying, list): pass
class LyingTuple(Lying, tuple): __new__ = lambda c, *a, **k: tuple.__new__(c, ())
class Appender:  # appends to the list that holds it when it is read
    def __init__(s, target): s.target = target
    def __index__(s): s.target.append(1); return 1
    __float__ = lambda s: float(s.__index__())
def growing(*items):
    items = [*items, None]
    items[-1] = Appender(items)
    return items
import functools, gc
class OwnItems:  # a mapping, no dict, whose items() is a list of its own that its values may change
    def __init__(s, *pairs): s.pairs = list(pairs)
    def items(s): return s.pairs
    __getitem__ = lambda s, k: dict(s.pairs)[k]
class Replacing:  # a sequence whose first item access replaces every pair of the mapping it is in
    def __init__(s, owner): s.owner = owner
    def __len__(s): return 1
    def __getitem__(s, i):
        if i: raise IndexError(i)
        s.owner.pairs[:] = [('z', 0)] * 3
        gc.collect()
        return 5
def own_items():
    o = OwnItems()
    o.pairs += [('a', Replacing(o)), (b'b', [1])]
    return o
nested = lambda n, pair, bottom: functools.reduce(lambda a, _: pair(a), range(n), bottom)
class Level(list):  # tells where the stack stands when its length is asked
    def __len__(s): _stack_here(); return 1
)");
        CppAllocations::setCeiling(Ceiling);
        CppAllocations::takeLargestRequest();
    }
    void TearDown() override
    {
        CppAllocations::disarm();
        CppAllocations::setCeiling(0);
        PythonTest::TearDown();
    }

    // A member's outcome, then what went wrong around it: a request over the ceiling, a trip
    // never reached, a Python error left pending.
    std::string outcome(const std::string &result, PyObject *input)
    {
        CppAllocations::disarm();
        std::string out = result;
        if (CppAllocations::takeLargestRequest() > Ceiling)
            out += " asked beyond the ceiling";
        if (PyErr_Occurred()) {
            out += " +error";
            PyErr_Clear();
        }
        PyObjectRef trip(PyObject_GetAttrString(input, "trip")),
            fetched(PyObject_GetAttrString(input, "fetched"));
        PyErr_Clear();
        if (trip && fetched && PyLong_AsLong(fetched.get()) < PyLong_AsLong(trip.get()))
            out += " before its trip";
        return out;
    }
};

TEST_F(HostileInputTest, LengthsThatLie)
{
    // The size of what a member gave, or "refused"; each member is given its own fresh input.
    auto sized = [](bool ok, qsizetype size) { return ok ? std::to_string(size) : std::string("refused"); };
    const auto convert = [&](const char *expression) {
        Results r;
        auto run = [&](const char *member, auto convert) {
            PyObject *o = in(expression);
            r[member] = outcome(convert(o), o);
        };
        auto okList = [&](const char *member, auto convert) {
            run(member, [&](PyObject *o) {
                bool ok = false;
                const auto size = convert(o, &ok).size();
                return sized(ok, size);
            });
        };
        okList("QListDouble", [](PyObject *o, bool *ok) { return W::PyObject2QListDouble(o, ok); });
        okList("QListInt", [](PyObject *o, bool *ok) { return W::PyObject2QListInt(o, ok); });
        okList("QStringList", [](PyObject *o, bool *ok) { return W::PyObject2QStringList(o, false, ok); });
        okList("table", [](PyObject *o, bool *ok) { return W().PyObject2QListOfQStringList(o, true, ok); });
        const std::pair<const char *, int> variants[] = {
            {"variant", -1}, {"list", QMetaType::QVariantList}, {"strings", QMetaType::QStringList}};
        for (const auto &variant : variants)
            run(variant.first, [&](PyObject *o) {
                const QVariant v = W::PyObject2QVariant(o, variant.second);
                return sized(v.isValid(), v.toList().size());
            });
        printed(); // the int list reports items it cannot fetch
        return r;
    };
    const char *const members = "PyObject2QListDouble, PyObject2QListInt, PyObject2QStringList, "
                                "PyObject2QListOfQStringList, PyObject2QVariant";
    expectTable(members, convert, R"(
input                          QListDouble  QListInt  QStringList  table    variant   list      strings
Lying(2**31 - 1, trip=5)       refused      refused   refused      refused  refused   refused   refused
LyingList(2**31 - 1, trip=5)   refused      refused   refused      refused  refused   refused   refused
LyingTuple(2**31 - 1, trip=5)  refused      refused   refused      refused  refused   refused   refused
Lying(2)                       2            2         2            2        2         2         2
Lying(-1)                      0            0         0            0        0 +error  0 +error  0
Lying(None)                    0            0         0            0        0 +error  0 +error  0
)");
}

TEST_F(HostileInputTest, FakeArrayTypes)
{
    unsigned long long count = 99;
    for (const char *fake :
         {"type('numpy.ndarray', (), {})()", "type('numpy.ndarray', (bytearray,), {})(b'x' * 200)"}) {
        SCOPED_TRACE(fake);
        PyObject *o = in(fake);
        EXPECT_TRUE(W::isNumpyArray(o)); // the name alone makes an array by the documented rule
        EXPECT_EQ(W::PyObject2DoubleTable(o, count), nullptr);
        EXPECT_EQ(count, 0u);
        count = 99;
        EXPECT_EQ(W::numPyArray2DoubleTable(W::PyObject2NumPyArray(o), count), nullptr);
        EXPECT_EQ(count, 0u);
    }
}

TEST_F(HostileInputTest, HugeZeroStrideViews)
{
    REQUIRE_NUMPY();
    exec("import numpy as np\n");
    // Tables larger than memory, of more bytes than size_t counts, and of an unknown type that would
    // be zero-filled. Views of narrow elements, since NumPy makes none of more bytes than a
    // Py_ssize_t counts, which on 32-bit machines is less than such a table.
    for (const char *view :
         {"np.broadcast_to(np.float32(1), uncopyable)", "np.broadcast_to(np.int16(1), uncopyable)",
          "np.lib.stride_tricks.as_strided(np.zeros(1, np.int8), shape=(unsizable,), strides=(0,))"}) {
        SCOPED_TRACE(view);
        unsigned long long count = 99;
        EXPECT_EQ(W::PyObject2DoubleTable(in(view), count), nullptr);
        EXPECT_EQ(count, 0u);
    }
    EXPECT_EQ(printed(), "");
}

TEST_F(HostileInputTest, ListsThatChangeWhileTheyAreRead)
{
    unsigned long long count = 0;
    int rows = 0, columns = 0;
    EXPECT_EQ(W::PyObject2IntTable(in("growing(1, 2)")), nullptr);
    EXPECT_EQ(W::PyObject2ShortIntTable(in("growing(1, 2)")), nullptr);
    EXPECT_EQ(W::PyObject2FloatTable(in("growing(1.5)")), nullptr);
    EXPECT_EQ(W::PyObject2DoubleTable(in("growing(1.5)"), count), nullptr);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(W::PyObject2IntTable(in("shrinking(1, 2)")), nullptr);
    double **matrix = W::PyObject2DoubleMatrix(in("[growing(1.5), [2.0, 3.0]]"), rows, columns);
    ASSERT_NE(matrix, nullptr);
    EXPECT_EQ(matrix[0], nullptr); // the row grew while it was read
    EXPECT_EQ(matrix[1][1], 3.0);
    delete[] matrix[1];
    delete[] matrix;
}

// A str of 2**30 + 1 astral characters is 4 GiB, and 2**31 + 2 UTF-16 units: more than a Qt 5
// QString holds, which is refused, and a text that Qt 6 holds.
TEST_F(HostileInputTest, TextsAtTheLengthLimits)
{
    constexpr unsigned long long Needed = 14ULL << 30;
    if (sizeof(void *) < 8 || availableMemory() < Needed)
        GTEST_SKIP() << "needs " << (Needed >> 30) << " GiB of available memory";
    CppAllocations::setCeiling(0);
    PyObject *text = in("'\\U0001F600' * (2**30 + 1)");
    const QString converted = W::PyObject2QString(text);
    if (QT_VERSION < QT_VERSION_CHECK(6, 0, 0)) { // a Qt 5 QString holds at most 2**31 - 1 units
        EXPECT_TRUE(converted.isNull());
        EXPECT_TRUE(W::PyObject2QVariant(text).toString().isNull());
    } else {
        ASSERT_EQ(static_cast<unsigned long long>(converted.size()), (1ULL << 31) + 2);
        EXPECT_EQ(converted.at(converted.size() - 1), QChar(0xDE00));
        EXPECT_EQ(converted.at(0), QChar(0xD83D));
    }
}

// Python code run while a mapping's items convert replaces them: every item taken is held first.
TEST_F(HostileInputTest, ItemsReplacedWhileTheyConvert)
{
    const QVariant v = W::PyObject2QVariant(in("own_items()"), QMetaType::QVariantMap);
    EXPECT_EQ(HostSupport::variantText(v), "map{a: list[int(5)], b: list[int(1)]}");
}

TEST_F(HostileInputTest, StringTableOfAListThatGrows)
{
    EXPECT_EQ(W::PyObject2QStringTable(in("growing(2.5, b'x')")), nullptr);
    EXPECT_EQ(W::PyObject2QStringTable(in("(lambda l: l.insert(0, l.pop()) or l)(growing(b'x'))")), nullptr);
}

// Objects met on many paths cost once: with the heap allowed a few thousand allocations, graphs of
// 2**60 paths and lists that repeat one long part convert; a matrix of one repeated row larger than
// memory is refused before its rows are made.
TEST_F(HostileInputTest, SharedPartsCostOnce)
{
    // Whether convert() ran within the budget of allocations.
    const auto withinBudget = [](long budget, auto convert) {
        CppAllocations::arm(budget, true);
        convert();
        return !CppAllocations::disarm();
    };
    QVariant v;
    bool ok = false;
    QList<QStringList> lists;
    QStringList texts;
    double **matrix = nullptr;
    int rows = 0, columns = 0;
    EXPECT_TRUE(withinBudget(
        5000, [&] { v = W::PyObject2QVariant(in("nested(60, lambda a: (a, {'x': a, 'y': [a]}), ())")); }));
    EXPECT_TRUE(withinBudget(5000, [&] {
        lists = W().PyObject2QListOfQStringList(in("[['x' * 300] * 100] * 10**4"), false, &ok);
    }));
    EXPECT_TRUE(withinBudget(5000, [&] { texts = W::PyObject2QStringList(in("[b'y' * 300] * 10**5")); }));
    EXPECT_TRUE(withinBudget(
        10, [&] { matrix = W::PyObject2DoubleMatrix(in("[[0.0] * 10**7] * 10**5"), rows, columns); }));
    for (int level = 0; level < 60; ++level)
        v = v.toList().value(1).toMap().value("y").toList().value(0);
    EXPECT_EQ(HostSupport::variantText(v), "list[]");
    EXPECT_TRUE(ok && lists.size() == 10000 && lists.last().last().size() == 300);
    EXPECT_EQ(texts.size(), 100000);
    EXPECT_EQ(matrix, nullptr);
}

// No hook or stream ends the host from inside a member, nor leaves an error behind.
TEST_F(HostileInputTest, ReportsUnderHostileHooks)
{
    exec("class Exit:\n  def __call__(s, *a): raise SystemExit(3)\n  write = __call__\n"
         "_err = sys.stderr\nsys.excepthook = Exit()\n");
    for (const char *stream : {"_err", "Exit()"}) {
        exec(std::string("sys.stderr = ") + stream + "\n");
        W::pythonStringToQString(QStringLiteral("\\u12zz"));
        W::PyObject2QListInt(in("Lying(1, item=None)"));
        W::PyObject2int(nullptr);
        double table = 1;
        PyObjectRef(W::doubleTable2PyObject(&table, 1ULL << 61));
        exec("sys.stderr = _err\n");
        EXPECT_FALSE(PyErr_Occurred());
    }
    exec("sys.excepthook = sys.__excepthook__\n");
    EXPECT_NE(printed().find("Original exception was:"), std::string::npos);
}

// Elements at any address: one byte past alignment, views of views, a record's field.
TEST_F(HostileInputTest, MisalignedArrays)
{
    REQUIRE_NUMPY();
    exec("import numpy as np\nraw = np.arange(1, 41, dtype=np.uint8)\n");
    for (const char *array :
         {"np.frombuffer(raw.tobytes(), np.int64, 4, offset=1)", "raw[1:33].view(np.float64)",
          "raw[3:35].view('>f4')[::2]", "np.ndarray((8,), np.uint32, raw, offset=5)",
          "np.zeros(4, [('a', 'u1'), ('b', 'f8')])['b']"}) {
        SCOPED_TRACE(array);
        unsigned long long count = 0;
        const std::unique_ptr<double[]> table(W::PyObject2DoubleTable(in(array), count));
        PyObjectRef back(table ? W::doubleTable2PyObject(table.get(), count) : nullptr);
        PyObjectRef expected(
            PyObject_CallMethod(in(array + std::string(".astype(float)")), "tolist", nullptr));
        EXPECT_EQ(back && PyObject_RichCompareBool(back.get(), expected.get(), Py_EQ), 1);
    }
}

// However high the recursion limit, the conversion leaves Python code at its deepest level seven
// eighths of the stack it had (less the frames of the call into that code), on a thread with a
// small stack too.
TEST_F(HostileInputTest, PythonCodeAtTheDeepestLevelKeepsTheStack)
{
    exec("sys.setrecursionlimit(10**6)\n");
    PyObject *levels = in("nested(10**5, lambda a: Level([a]), [])");
    for (const size_t stack : {size_t(0), size_t(1) << 20}) {
        uintptr_t used = 0, left = 0;
        const auto convert = [&] {
            const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
            left = stackLeft();
            lowestStack = here;
            W::PyObject2QVariant(levels);
            used = here - lowestStack;
        };
        stack ? onThread(stack, convert) : convert();
        EXPECT_TRUE(used > 0 && used < left / 8 + 64 * 1024) << used << " of " << left;
    }
    exec("sys.setrecursionlimit(1000)\n");
}
