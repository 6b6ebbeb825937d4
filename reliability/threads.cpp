// Threads: four QThreads converting every family in one interpreter, taking its lock in turn, and
// (from CPython 3.12) four sub-interpreters with a lock each, converting at the same time. Every
// result, every input's reference count and where every report goes are checked.
#include "pyobjectref.h"
#include "tpyqtwrapping.h"
#include "varianttopython.h"

#include <gtest/gtest.h>

#include <QObject>
#include <QThread>

#include <iterator>
#include <memory>
#include <string>
#include <vector>

using HostSupport::PyObjectRef;
using HostSupport::runPython;
using W = TPyQtWrapping;

namespace {

constexpr int Threads = 4;
constexpr int Rounds = 40;

// The inputs of a round, made in the interpreter that runs it.
const char *const Inputs = "values = {'text': 'h\\xe9llo \\U0001F600', 'floats': [1.5, 2.5, 3.0],\n"
                           "          'nested': {'k': [None, True, 'x']}}\n"
                           "cyclic = [1]\n"
                           "cyclic.append(cyclic)\n"
                           "floats = [0.5 * i for i in range(64)]\n"
                           "ints = list(range(-32, 32))\n"
                           "matrix = [[1.0, 2.0], [3.0, 4.0]]\n"
                           "strings = ['s%d' % i for i in range(16)]\n"
                           "tables = [['a'], ('b', 'c')]\n"
                           "array = None\n";

// An array input where NumPy imports. NumPy refuses sub-interpreters that check their extensions,
// and on Debian 13's debug CPython 3.13 even the refused import corrupts the debug allocator's
// blocks, so sub-interpreters do not try it.
const char *const ArrayInput = "try:\n"
                               "    import numpy\n"
                               "    array = numpy.arange(64, dtype=numpy.int32)[::-2]\n"
                               "except ImportError:\n"
                               "    pass\n";

// What a thread saw go wrong, told to the test's thread once the thread has ended.
struct Outcome
{
    std::vector<std::string> failures;
    std::string printed; // a sub-interpreter's own sys.stderr
};

// Rounds of every family in the current interpreter, with its lock held, against inputs of its own.
class Converter
{
public:
    Converter(int id, Outcome &outcome, bool withArray) : m_id(id), m_outcome(outcome)
    {
        m_globals = PyObjectRef(PyDict_New());
        PyDict_SetItemString(m_globals.get(), "__builtins__", PyEval_GetBuiltins());
        runPython(Inputs, Py_file_input, m_globals.get());
        if (withArray)
            runPython(ArrayInput, Py_file_input, m_globals.get());
        check(!PyErr_Occurred(), "inputs made");
        PyErr_Clear();
        m_child->setObjectName(QStringLiteral("child"));
    }
    ~Converter() { PyDict_Clear(m_globals.get()); } // the cycle would outlive the interpreter otherwise

    void round();

private:
    PyObject *input(const char *name) { return PyDict_GetItemString(m_globals.get(), name); }
    PyObjectRef eval(const char *expression) { return runPython(expression, Py_eval_input, m_globals.get()); }
    void check(bool ok, const char *what)
    {
        if (!ok)
            m_outcome.failures.push_back(what);
    }
    // Whether a new reference equals a Python expression's value; the reference is released. An
    // error the conversion left pending is a failure of its own, never cleared unseen.
    bool equals(PyObject *result, const char *expression)
    {
        check(!PyErr_Occurred(), "no error pending after a conversion");
        PyObjectRef owned(result), expected = eval(expression);
        const bool same =
            owned && expected && PyObject_RichCompareBool(owned.get(), expected.get(), Py_EQ) == 1;
        PyErr_Clear();
        return same;
    }

    void scalarsAndText();
    void stringLists();
    void numbers();
    void variants();
    void objects();

    const int m_id;
    Outcome &m_outcome;
    PyObjectRef m_globals;
    QObject m_root;
    QObject *m_child = new QObject(&m_root);
};

void Converter::scalarsAndText()
{
    check(W::PyObject2int(eval("-7").get()) == -7, "PyObject2int");
    check(W::PyObject2LongLong(eval("2**40").get()) == 1LL << 40, "PyObject2LongLong");
    check(W::PyObject2ULongLong(eval("2**64 - 1").get()) == ~0ULL, "PyObject2ULongLong");
    check(W::PyObject2double(eval("2.5").get()) == 2.5 && W::PyObject2bool(Py_True), "PyObject2double, bool");
    check(equals(W::bool2PyObject(false), "False"), "bool2PyObject");
    const QString text = W::PyObject2QString(PyDict_GetItemString(input("values"), "text"));
    check(text == QStringLiteral("h\u00e9llo ") + QChar(0xD83D) + QChar(0xDE00), "PyObject2QString");
    check(equals(W::QString2PyObject(text), "values['text']"), "QString2PyObject");
    check(equals(W::QString2PyUnicode(text), "values['text']"), "QString2PyUnicode");
    const QString path = QStringLiteral("C:\\dir");
    check(W::pythonStringToQString(W::qstringToPythonString(path).mid(1).chopped(1)) == path,
          "literal codec");
}

void Converter::stringLists()
{
    const QStringList list = W::PyObject2QStringList(input("strings"));
    check(list.size() == 16 && list.last() == QStringLiteral("s15"), "PyObject2QStringList");
    check(equals(W::QStringList2PyObject(list), "strings"), "QStringList2PyObject");
    bool ok = false;
    const QList<QStringList> lists = TPyQtWrapping().PyObject2QListOfQStringList(input("tables"), false, &ok);
    check(ok && lists.size() == 2 && lists.at(1).size() == 2, "PyObject2QListOfQStringList");
    std::unique_ptr<QString[]> table(W::PyObject2QStringTable(eval("[b'a', 2.5]").get()));
    check(table && table[0] == QStringLiteral("a") && table[1] == QStringLiteral("2.5"),
          "PyObject2QStringTable");
    check(equals(W::QStringTable2PyObject(table.get(), 2), "['a', '2.5']"), "QStringTable2PyObject");
}

void Converter::numbers()
{
    unsigned long long count = 0;
    std::unique_ptr<double[]> doubles(W::PyObject2DoubleTable(input("floats"), count));
    check(doubles && count == 64 && doubles[63] == 31.5, "PyObject2DoubleTable");
    check(equals(W::doubleTable2PyObject(doubles.get(), count), "floats"), "doubleTable2PyObject");
    std::unique_ptr<float[]> floats(W::PyObject2FloatTable(input("floats")));
    check(equals(W::floatTable2PyObject(floats.get(), 64), "floats"), "floatTable2PyObject");
    std::unique_ptr<int[]> ints(W::PyObject2IntTable(input("ints")));
    std::unique_ptr<short[]> shorts(W::PyObject2ShortIntTable(input("ints")));
    check(ints && shorts && ints[0] == -32 && shorts[63] == 31, "PyObject2IntTable, ShortIntTable");
    check(equals(W::QListDouble2PyObject(W::PyObject2QListDouble(input("floats"))), "floats"), "QListDouble");
    check(equals(W::QListInt2PyObject(W::PyObject2QListInt(input("ints"))), "ints"), "QListInt");
    int rows = 0, columns = 0;
    double **matrix = W::PyObject2DoubleMatrix(input("matrix"), rows, columns);
    check(rows == 2 && columns == 2 && equals(W::doubleMatrix2PyObject(matrix, 2, 2), "matrix"), "matrices");
    float row[] = {0.5f, -1.0f}, *floatRows[] = {row, row};
    check(equals(W::floatMatrix2PyObject(floatRows, 2, 2), "[[0.5, -1.0]] * 2"), "floatMatrix2PyObject");
    check(equals(W::QListFloat2PyObject({0.5f, -1.0f}), "[0.5, -1.0]"), "QListFloat2PyObject");
    for (int r = 0; matrix && r < rows; ++r)
        delete[] matrix[r];
    delete[] matrix;
    check(W::isNumpyArray(input("array")) == (input("array") != Py_None), "isNumpyArray");
    if (input("array") != Py_None) {
        std::unique_ptr<double[]> array(
            W::numPyArray2DoubleTable(W::PyObject2NumPyArray(input("array")), count));
        check(array && count == 32 && array[0] == 63 && array[31] == 1, "numPyArray2DoubleTable");
    }
}

void Converter::variants()
{
    check(equals(variantToPython(W::PyObject2QVariant(input("values"))), "values"),
          "variant tree round trip");
    const QVariantList cyclic = W::PyObject2QVariant(input("cyclic")).toList();
    check(cyclic.size() == 2 && cyclic.at(0) == QVariant(1) && !cyclic.at(1).isValid(), "cyclic variant");
    check(equals(W::QVariant2PyObject(QVariant(QStringLiteral("v"))), "'v'"), "QVariant2PyObject");
    const double value = 2.5;
    check(equals(W::voidType2PyObjectInternal(QMetaType::Double, const_cast<double *>(&value)), "2.5"),
          "voidType2PyObjectInternal");
    check(equals(W::QVariantList2PyObject({QVariant(1), QVariant(2.5)}), "[1, 2.5]"),
          "QVariantList2PyObject");
}

void Converter::objects()
{
    check(W::QObjectIDQObjectPtr(QStringLiteral("child"), &m_root) == m_child, "QObjectIDQObjectPtr");
    check(W::QObjectPtr2QObjectID(m_child) == QStringLiteral("child"), "QObjectPtr2QObjectID");
    PyObjectRef handle(W::QObject2PyObject(m_child));
    check(W::PyObject2QObject(handle.get()) == m_child, "object handles");
    // A refusal reported through this interpreter, marked with the thread's number.
    // not covered: showErrorMessage (this report runs through it)
    W::pythonStringToQString(QStringLiteral("\\uzz%1").arg(m_id));
}

void Converter::round()
{
    const char *names[] = {"values", "cyclic", "floats", "ints", "matrix", "strings", "tables", "array"};
    std::vector<Py_ssize_t> before;
    for (const char *name : names)
        before.push_back(Py_REFCNT(input(name)));
    scalarsAndText();
    stringLists();
    numbers();
    variants();
    objects();
    check(!PyErr_Occurred(), "no error pending");
    PyErr_Clear();
    // None (the array where NumPy is missing) is shared with the other threads, whose rounds may
    // interleave with this one's Python code; every other input is this thread's alone.
    for (size_t i = 0; i < before.size(); ++i)
        check(input(names[i]) == Py_None || Py_REFCNT(input(names[i])) == before[i], names[i]);
}

// The line a round's refusal prints, for thread id.
std::string reportOf(int id)
{
    return "TypeError: pythonStringToQString: Error with character zz" + std::to_string(id) + ": 0\n";
}

// Runs code in the current interpreter's __main__ (start: Py_eval_input or Py_file_input).
PyObjectRef runInMain(const char *code, int start)
{
    PyObject *globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObjectRef result = runPython(code, start, globals);
    if (!result)
        PyErr_Clear();
    return result;
}

// Text that a Python expression gives in the current interpreter.
std::string textOf(const char *expression)
{
    const PyObjectRef text = runInMain(expression, Py_eval_input);
    const char *utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    PyErr_Clear();
    return utf8 ? utf8 : "";
}

void runCode(const char *code) { runInMain(code, Py_file_input); }

// Starts one QThread per outcome running work(id, outcome), with no interpreter lock held by the
// test's thread meanwhile, and waits for them all.
//
// Under Qt 5 a finished QThread object is kept, never destroyed: QThread::wait() learns that a
// thread is done through QMutex, which ThreadSanitizer cannot see into, so destroying the object at
// once is reported as a race with the thread's last wake-up of its waiters. Under Qt 6.11 deleting
// them raises no report.
template <typename Work>
void onThreads(std::vector<Outcome> &outcomes, Work work)
{
    std::vector<std::unique_ptr<QThread>> threads;
    for (int id = 0; id < int(outcomes.size()); ++id)
        threads.emplace_back(QThread::create([&outcomes, work, id] { work(id, outcomes[size_t(id)]); }));
    PyThreadState *state = PyEval_SaveThread();
    for (auto &thread : threads)
        thread->start();
    for (auto &thread : threads)
        thread->wait();
    PyEval_RestoreThread(state);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    static auto *finished = new std::vector<std::unique_ptr<QThread>>;
    std::move(threads.begin(), threads.end(), std::back_inserter(*finished));
#endif
}

void expectNoFailures(const std::vector<Outcome> &outcomes)
{
    for (size_t id = 0; id < outcomes.size(); ++id)
        EXPECT_EQ(outcomes[id].failures, std::vector<std::string>()) << "on thread " << id;
}

class ThreadsTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (!Py_IsInitialized())
            Py_InitializeEx(0);
    }
};

} // namespace

// One interpreter: each thread takes its lock for a round and lets it go after, so the rounds of
// the four threads interleave. Their reports all reach the interpreter's one sys.stderr, whole.
TEST_F(ThreadsTest, QThreadsShareOneInterpreter)
{
    runCode("import io, sys\nsys.stderr = io.StringIO()\n");
    std::vector<Outcome> outcomes(Threads);
    onThreads(outcomes, [](int id, Outcome &outcome) {
        PyGILState_STATE gil = PyGILState_Ensure();
        auto converter = std::make_unique<Converter>(id, outcome, true);
        PyGILState_Release(gil);
        for (int round = 0; round < Rounds; ++round) {
            gil = PyGILState_Ensure();
            converter->round();
            PyGILState_Release(gil);
        }
        gil = PyGILState_Ensure();
        converter.reset();
        PyGILState_Release(gil);
    });
    expectNoFailures(outcomes);
    const std::string printed = textOf("sys.stderr.getvalue()");
    runCode("sys.stderr = sys.__stderr__\n");
    size_t length = 0;
    for (int id = 0; id < Threads; ++id) {
        size_t count = 0;
        for (size_t at = printed.find(reportOf(id)); at != std::string::npos;
             at = printed.find(reportOf(id), at + 1))
            ++count;
        EXPECT_EQ(count, size_t(Rounds)) << "reports of thread " << id;
        length += count * reportOf(id).size();
    }
    EXPECT_EQ(printed.size(), length) << "nothing else printed";
}

#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)

namespace {

// A sub-interpreter with a lock of its own, which no extension module that does not support it
// may be imported into; created and ended on the calling thread.
void inOwnInterpreter(int id, Outcome &outcome)
{
    PyGILState_STATE gil = PyGILState_Ensure();
    PyThreadState *mainState = PyThreadState_Get();
    PyInterpreterConfig config = {};
    config.check_multi_interp_extensions = 1;
    config.allow_threads = 1;
    config.gil = PyInterpreterConfig_OWN_GIL;
    PyThreadState *own = nullptr;
    const PyStatus status = Py_NewInterpreterFromConfig(&own, &config);
    if (PyStatus_Exception(status)) { // the calling thread is back in the main interpreter
        outcome.failures.push_back("no sub-interpreter: " +
                                   std::string(status.err_msg ? status.err_msg : ""));
        PyGILState_Release(gil);
        return;
    }
    runCode("import io, sys\nsys.stderr = io.StringIO()\n");
    {
        Converter converter(id, outcome, false);
        for (int round = 0; round < Rounds; ++round) {
            converter.round();
            PyThreadState *state = PyEval_SaveThread();
            PyEval_RestoreThread(state);
        }
    }
    if (PyErr_Occurred())
        outcome.failures.push_back("error pending at the end");
    outcome.printed = textOf("sys.stderr.getvalue()");
    Py_EndInterpreter(own);
    PyEval_RestoreThread(mainState);
    PyGILState_Release(gil);
}

} // namespace

// Four interpreters at once, each on its own thread with its own lock. Each report reaches the
// sys.stderr of the interpreter that raised it.
TEST_F(ThreadsTest, SubinterpretersWithTheirOwnLockConvertAtOnce)
{
    std::vector<Outcome> outcomes(Threads);
    onThreads(outcomes, inOwnInterpreter);
    expectNoFailures(outcomes);
    for (int id = 0; id < Threads; ++id) {
        std::string ownReports;
        for (int round = 0; round < Rounds; ++round)
            ownReports += reportOf(id);
        EXPECT_EQ(outcomes[size_t(id)].printed, ownReports) << "sys.stderr of interpreter " << id;
    }
}

#else

TEST_F(ThreadsTest, SubinterpretersWithTheirOwnLockConvertAtOnce)
{
    GTEST_SKIP() << "sub-interpreters with a lock of their own need CPython 3.12 with its lock";
}

#endif
