// Free-threaded CPython: host threads convert shared lists and dicts while Python threads change
// them (append, pop, insert, clear, slices, item replacement, sort; dict insertion, deletion,
// clear, update), all at once, with no interpreter lock. Every result is checked against what the
// library promises then: each element was an element of the input at some moment, a refused or
// gone item is the member's refusal value, a table holds as many elements as its count says, and
// at the end every item's reference count is what it was. Built for free-threaded interpreters
// only; PYQTWRAPPING_FT_ROUNDS sets the rounds of each converting thread.
#include "pyobjectref.h"
#include "tpyqtwrapping.h"

#include <gtest/gtest.h>

#include <QVariant>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

using HostSupport::PyObjectRef;
using W = TPyQtWrapping;

namespace {

constexpr int Converters = 2;
constexpr int Mutators = 2;

// The shared inputs and the Python threads that change them. Every float is a whole number below
// Values, every int Values more than one, every str 's' and digits: a converted element is checked
// by its kind alone. The pools hold the items whose reference counts are checked at the end; the
// mutators also put in fresh objects, which are freed when they are taken out again.
const char *const Pools = R"(
import random, sys, threading
Values = 1000
FLOATS = [float(i) for i in range(Values)]
INTS = [10**6 + i for i in range(Values)]
STRS = ['s%d' % i for i in range(Values)]
)";

const char *const Containers = R"(
floats, ints, strs = FLOATS[:64], INTS[:64], STRS[:64]
matrix = [FLOATS[:8] for _ in range(8)]
tables = [STRS[:4] for _ in range(8)]
tree = {'k%d' % i: FLOATS[i:i + 8] for i in range(16)}
flat = {STRS[i]: FLOATS[i] for i in range(32)}
STOP = False
# The matrix's refusals are reported, thousands of them, to a hook that drops them: CPython 3.13's
# own display of an exception writes a flag of the whole runtime unlocked.
sys.excepthook = lambda *exception: None

def fresh(pool, r):
    item = r.choice(pool)
    return type(item)(item + 0) if not isinstance(item, str) else ''.join(list(item))

def change_list(target, pool, r):
    move = r.randrange(9)
    if move == 0: target.append(r.choice(pool))
    elif move == 1 and target: target.pop(r.randrange(len(target)))
    elif move == 2: target.insert(r.randrange(len(target) + 1), fresh(pool, r))
    elif move == 3 and r.random() < 0.1: target.clear()
    elif move == 4: target[1:5] = [fresh(pool, r) for _ in range(r.randrange(9))]
    elif move == 5 and target: target[r.randrange(len(target))] = fresh(pool, r)
    elif move == 6: target.sort(reverse=r.random() < 0.5)
    elif move == 7: target.extend(r.choice(pool) for _ in range(r.randrange(40)))
    elif len(target) > 200: del target[100:]

def change_row(row, r):  # a matrix row keeps its length, most of the time
    move = r.randrange(20)
    if move < 8: row[r.randrange(len(row))] = fresh(FLOATS, r)
    elif move < 12: row.sort(reverse=move % 2 == 0)
    elif move < 19: row[2:6] = [fresh(FLOATS, r) for _ in range(4)]
    else: change_list(row, FLOATS, r)

def change_dict(target, keys, pool, r):
    move = r.randrange(5)
    key = r.choice(keys)
    if move == 0: target[key] = pool(r)
    elif move == 1: target.pop(key, None)
    elif move == 2 and r.random() < 0.1: target.clear()
    elif move == 3: target.update({r.choice(keys): pool(r) for _ in range(4)})
    else: target[key] = pool(r)

def mutate(me):
    r = random.Random(me)
    tree_keys = ['k%d' % i for i in range(24)]
    while not STOP:
        which = r.randrange(10)
        if which < 2: change_list(floats, FLOATS, r)
        elif which == 2: change_list(ints, INTS, r)
        elif which < 5: change_list(strs, STRS, r)
        elif which == 5: change_row(r.choice(matrix), r)
        elif which == 6: change_list(r.choice(tables), STRS, r)
        elif which < 9:
            change_dict(tree, tree_keys, lambda r: FLOATS[:r.randrange(12)], r)
            inner = tree.get(r.choice(tree_keys))
            if inner is not None: change_list(inner, FLOATS, r)
        else: change_dict(flat, STRS[:48], lambda r: fresh(FLOATS, r), r)
        _moved()

mutators = [threading.Thread(target=mutate, args=(i,)) for i in range(MUTATORS)]
for m in mutators: m.start()
)";

int rounds()
{
    const char *text = std::getenv("PYQTWRAPPING_FT_ROUNDS");
    return text ? std::max(1, std::atoi(text)) : 4000;
}

bool wholeBelow(double value, double limit)
{
    return value >= 0 && value < limit && std::floor(value) == value;
}
bool isPoolFloat(double value) { return wholeBelow(value, 1000); }
bool isPoolInt(long long value) { return wholeBelow(double(value - 1000000), 1000); }
bool isPoolStr(const QString &text)
{
    bool ok = false;
    return text.startsWith(QLatin1Char('s')) && wholeBelow(text.mid(1).toInt(&ok), 1000) && ok;
}

// The changes the Python threads made, counted by a C function they call after each one.
std::atomic<long> changes{0};
std::atomic<long> roundsDone{0};
constexpr long EnoughChanges = 1000; // converting goes on past its rounds until this many were made

PyObject *moved(PyObject *, PyObject *)
{
    changes.fetch_add(1, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyMethodDef MovedDef = {"_moved", &moved, METH_NOARGS, nullptr};

bool isFloatText(const QString &text)
{
    bool ok = false;
    return text.isNull() || (isPoolFloat(text.toDouble(&ok)) && ok); // null: an index gone meanwhile
}

// What one converting thread found wrong, by kind, with one example each.
class Findings
{
public:
    void check(bool ok, const std::string &what)
    {
        if (!ok && m_seen.insert(what).second)
            m_list.push_back(what);
    }
    const std::vector<std::string> &list() const { return m_list; }

private:
    std::set<std::string> m_seen;
    std::vector<std::string> m_list;
};

PyObject *shared(const char *name)
{
    return PyDict_GetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), name);
}

template <typename T, typename Valid>
void checkList(Findings &f, const QList<T> &list, Valid valid, const char *member)
{
    for (const T &value : list)
        f.check(valid(value), member);
}

// A table of count elements, each valid or the refusal value; released.
template <typename T, typename Valid>
void checkTable(Findings &f, T *table, unsigned long long count, Valid valid, const char *member)
{
    for (unsigned long long i = 0; table && i < count; ++i)
        f.check(valid(table[i]), member);
    delete[] table;
}

// A variant made of the tree or the flat dict: maps of lists of pool floats, or of pool floats;
// an item gone while its list converted is the invalid variant.
bool validVariant(const QVariant &v, int depth)
{
    if (!v.isValid())
        return depth == 2;
    if (v.userType() == QMetaType::Double)
        return isPoolFloat(v.toDouble());
    if (depth == 0 && v.userType() == QMetaType::QVariantMap) {
        const QVariantMap map = v.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            if (!validVariant(it.value(), 1))
                return false;
        return true;
    }
    if (depth == 1 && v.userType() == QMetaType::QVariantList) {
        for (const QVariant &item : v.toList())
            if (!validVariant(item, 2))
                return false;
        return true;
    }
    return false;
}

// One round: every member that reads a container, on every shared container it takes.
void convertRound(Findings &f)
{
    bool ok = false;
    checkList(f, W::PyObject2QListDouble(shared("floats"), &ok), isPoolFloat, "PyObject2QListDouble");
    checkList(
        f, W::PyObject2QListInt(shared("ints"), &ok), [](int v) { return isPoolInt(v); },
        "PyObject2QListInt");
    checkList(f, W::PyObject2QStringList(shared("strs"), true, &ok), isPoolStr, "PyObject2QStringList");
    for (const QStringList &row : TPyQtWrapping().PyObject2QListOfQStringList(shared("tables"), true, &ok))
        checkList(f, row, isPoolStr, "PyObject2QListOfQStringList");
    unsigned long long count = 0;
    checkTable(f, W::PyObject2DoubleTable(shared("floats"), count), count, isPoolFloat,
               "PyObject2DoubleTable");
    // The tables without a count: a host reads as many as the list holds when the call returns,
    // which another thread has changed since; only their first element is read.
    checkTable(
        f, W::PyObject2FloatTable(shared("floats")), 1, [](float v) { return isPoolFloat(v); },
        "PyObject2FloatTable");
    checkTable(
        f, W::PyObject2IntTable(shared("ints")), 1, [](int v) { return isPoolInt(v); }, "PyObject2IntTable");
    checkTable(
        f, W::PyObject2ShortIntTable(shared("floats")), 1, [](short v) { return isPoolFloat(v); },
        "PyObject2ShortIntTable");
    checkTable(f, W::PyObject2QStringTable(shared("floats")), 1, isFloatText, "PyObject2QStringTable");
    int rows = 0, columns = 0;
    if (double **m = W::PyObject2DoubleMatrix(shared("matrix"), rows, columns)) {
        for (int r = 0; r < rows; ++r)
            checkTable(f, m[r], unsigned(columns), isPoolFloat, "PyObject2DoubleMatrix");
        delete[] m;
    }
    f.check(validVariant(W::PyObject2QVariant(shared("tree")), 0), "PyObject2QVariant (tree)");
    f.check(validVariant(W::PyObject2QVariant(shared("flat")), 0), "PyObject2QVariant (flat)");
    const QVariantList list = W::PyObject2QVariant(shared("floats")).toList();
    for (const QVariant &item : list)
        f.check(!item.isValid() || isPoolFloat(item.toDouble()), "PyObject2QVariant (list)");
    f.check(!PyErr_Occurred(), "an error left pending");
    PyErr_Clear();
}

// Runs Python code in __main__; false when it raised (the error printed).
bool run(const std::string &code)
{
    PyObject *globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObjectRef result = HostSupport::runPython(code.c_str(), Py_file_input, globals);
    if (!result)
        PyErr_Print();
    return bool(result);
}

bool gilEnabled()
{
    PyObjectRef sys(PyImport_ImportModule("sys"));
    PyObjectRef enabled(PyObject_CallMethod(sys.get(), "_is_gil_enabled", nullptr));
    return !enabled || enabled.get() != Py_False;
}

// The reference count of every pooled item.
std::vector<Py_ssize_t> poolCounts()
{
    std::vector<Py_ssize_t> counts;
    for (const char *pool : {"FLOATS", "INTS", "STRS"}) {
        PyObject *list = shared(pool);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
            counts.push_back(Py_REFCNT(PyList_GET_ITEM(list, i)));
    }
    return counts;
}

} // namespace

TEST(FreeThreadingTest, HostThreadsConvertWhatPythonThreadsChange)
{
    Py_InitializeEx(0);
    ASSERT_FALSE(gilEnabled()) << "the interpreter runs with its lock";
    // The pooled items' reference counts are taken before the shared containers exist and after
    // they are gone: only leaks and lost references show.
    ASSERT_TRUE(run(Pools));
    const std::vector<Py_ssize_t> before = poolCounts();
    PyObjectRef movedFunction(PyCFunction_New(&MovedDef, nullptr));
    PyDict_SetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), "_moved", movedFunction.get());
    ASSERT_TRUE(run("MUTATORS = " + std::to_string(Mutators) + "\n" + Containers));
    const int perThread = rounds();
    std::vector<Findings> findings(Converters);
    std::vector<std::thread> threads;
    const auto start = std::chrono::steady_clock::now();
    PyThreadState *main = PyEval_SaveThread();
    for (int t = 0; t < Converters; ++t)
        threads.emplace_back([&findings, t, perThread] {
            const PyGILState_STATE state = PyGILState_Ensure();
            // A slow machine (ThreadSanitizer, a busy neighbour) may starve the Python threads:
            // the rounds go on until they have changed the inputs often enough, within bounds.
            for (int round = 0;
                 round < perThread || (changes.load() < EnoughChanges && round < 50 * perThread); ++round) {
                convertRound(findings[size_t(t)]);
                roundsDone.fetch_add(1, std::memory_order_relaxed);
            }
            PyGILState_Release(state);
        });
    for (std::thread &thread : threads)
        thread.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    PyEval_RestoreThread(main);
    ASSERT_TRUE(run("STOP = True\nfor m in mutators: m.join()\n"));
    const long moves = changes.load();
    std::printf("%d converting threads, %ld rounds, %d changing threads, %ld changes: %.0f rounds/s, %.0f "
                "changes/s\n",
                Converters, roundsDone.load(), Mutators, moves, double(roundsDone.load()) / seconds,
                double(moves) / seconds);
    for (size_t t = 0; t < findings.size(); ++t)
        EXPECT_EQ(findings[t].list(), std::vector<std::string>()) << "converting thread " << t;
    EXPECT_GE(moves, EnoughChanges) << "the containers hardly changed";
    EXPECT_FALSE(gilEnabled()) << "the interpreter took its lock back during the run";
    ASSERT_TRUE(run("sys.excepthook = sys.__excepthook__\n"
                    "del floats, ints, strs, matrix, tables, tree, flat, mutators\n"
                    "import gc\ngc.collect()\n"));
    EXPECT_EQ(poolCounts(), before) << "reference counts of the pooled items";
}
