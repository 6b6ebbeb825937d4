// Threads converting at once, against one: how the throughput of a conversion grows when N threads
// (N = the core count) convert at once. With the interpreter lock, each thread runs a sub-interpreter
// with a lock of its own (CPython 3.12 or later); on a free-threaded interpreter, all threads run in
// the one interpreter, which has no lock.
//
// Each thread makes its own inputs, then converts for a fixed time after all threads are ready.
// One thread alone and N at once are measured in turn, three rounds; the ratio of the N threads'
// summed throughput to one thread's alone is printed as its spread over the rounds beside the goal
// of 0.9 x N, with the machine's load and steal. As in the benchmark table, freed memory stays in
// the process, so that the figures are of conversion rather than of the kernel mapping, clearing
// and unmapping each 8 MB result for every call.
#include "tpyqtwrapping.h"

#include <QVariant>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <malloc.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double Seconds = 1.0;
constexpr int Rounds = 3;

struct Conversion
{
    const char *name;
    const char *input; // a Python expression
    double items; // items converted per call
    void (*convert)(PyObject *);
};

void dictToVariant(PyObject *dict) { TPyQtWrapping::PyObject2QVariant(dict, -1); }

void strsToStringList(PyObject *list) { TPyQtWrapping::PyObject2QStringList(list); }

void floatsToTable(PyObject *list)
{
    unsigned long long count = 0;
    delete[] TPyQtWrapping::PyObject2DoubleTable(list, count);
}

// The same list read by a plain loop, the least work its conversion can do: how that scales is
// what the machine allows, since a million floats are read from memory rather than from cache.
void floatsToTableByPlainLoop(PyObject *list)
{
    const Py_ssize_t n = PyList_GET_SIZE(list);
    double *table = new double[size_t(n)];
    for (Py_ssize_t i = 0; i < n; ++i)
        table[i] = PyFloat_AS_DOUBLE(PyList_GET_ITEM(list, i));
    asm volatile("" : : "r"(table) : "memory"); // the table's stores are kept, as a caller would read them
    delete[] table;
}

const Conversion Conversions[] = {
    {"dict {str: [float, float, str]} -> PyObject2QVariant",
     "{'key%d' % i: [i * 0.5, i * 0.25, 'v%d' % i] for i in range(10000)}", 10000, dictToVariant},
    {"str list -> PyObject2QStringList", "['text %d' % i for i in range(10000)]", 10000, strsToStringList},
    {"float list -> PyObject2DoubleTable", "[i * 0.25 for i in range(1000000)]", 1000000, floatsToTable},
    {"float list -> a plain loop into double[] (the machine)", "[i * 0.25 for i in range(1000000)]", 1000000,
     floatsToTableByPlainLoop},
    {"float list of 10,000 (in cache) -> PyObject2DoubleTable", "[i * 0.25 for i in range(10000)]", 10000,
     floatsToTable},
};

// All threads start converting together, once every interpreter and input is made.
class StartLine
{
public:
    explicit StartLine(int threads) : m_waiting(threads) {}
    void arriveAndWait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (--m_waiting == 0)
            m_ready.notify_all();
        m_ready.wait(lock, [this] { return m_waiting == 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    int m_waiting;
};

// The interpreter a thread converts in, for as long as it lives: a new one with a lock of its own,
// or, without the lock, the one interpreter, which the thread joins. ok() is false when a
// sub-interpreter could not be made.
class ThreadInterpreter
{
public:
    ThreadInterpreter() : m_gil(PyGILState_Ensure())
    {
#ifndef Py_GIL_DISABLED
        m_main = PyThreadState_Get();
        PyInterpreterConfig config = {};
        config.check_multi_interp_extensions = 1;
        config.gil = PyInterpreterConfig_OWN_GIL;
        if (PyStatus_Exception(Py_NewInterpreterFromConfig(&m_own, &config)))
            m_own = nullptr;
#endif
    }
    ~ThreadInterpreter()
    {
        if (m_own) {
            Py_EndInterpreter(m_own);
            PyEval_RestoreThread(m_main);
        }
        PyGILState_Release(m_gil);
    }
    bool ok() const { return m_own || FreeThreaded; }

private:
#ifdef Py_GIL_DISABLED
    static constexpr bool FreeThreaded = true;
#else
    static constexpr bool FreeThreaded = false;
#endif
    PyGILState_STATE m_gil;
    PyThreadState *m_main = nullptr;
    PyThreadState *m_own = nullptr;
};

// Items per second of one conversion on this thread, on inputs of its own.
double throughputOnThread(const Conversion &conversion, StartLine &start)
{
    ThreadInterpreter interpreter;
    if (!interpreter.ok()) {
        start.arriveAndWait();
        return 0;
    }
    PyObject *globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject *input = PyRun_String(conversion.input, Py_eval_input, globals, globals);
    conversion.convert(input); // warm up
    // Waiting for the others with the thread detached: a free-threaded interpreter's collector
    // stops every attached thread, and one waiting here would hold it up.
    PyThreadState *state = PyEval_SaveThread();
    start.arriveAndWait();
    PyEval_RestoreThread(state);
    long calls = 0;
    const Clock::time_point begin = Clock::now();
    Clock::duration elapsed;
    do {
        conversion.convert(input);
        ++calls;
        elapsed = Clock::now() - begin;
    } while (elapsed < std::chrono::duration<double>(Seconds));
    Py_XDECREF(input);
    Py_DECREF(globals);
    return double(calls) * conversion.items / std::chrono::duration<double>(elapsed).count();
}

// Summed items per second of `threads` threads converting at once.
double throughput(const Conversion &conversion, int threads)
{
    StartLine start(threads);
    std::vector<double> each(size_t(threads), 0.0);
    std::vector<std::thread> running;
    PyThreadState *state = PyEval_SaveThread();
    for (int t = 0; t < threads; ++t)
        running.emplace_back([&, t] { each[size_t(t)] = throughputOnThread(conversion, start); });
    for (std::thread &thread : running)
        thread.join();
    PyEval_RestoreThread(state);
    double sum = 0;
    for (double value : each)
        sum += value;
    return sum;
}

// The machine's CPU time so far in clock ticks, all cores: the total and the part stolen by the
// hypervisor for other guests.
std::pair<long long, long long> cpuTicks()
{
    std::ifstream stat("/proc/stat");
    std::string label;
    long long ticks = 0, total = 0, stolen = 0;
    if (stat >> label && label == "cpu")
        for (int field = 0; field < 8 && stat >> ticks; ++field) {
            total += ticks;
            stolen = field == 7 ? ticks : stolen;
        }
    return {total, stolen};
}

// Measures one conversion's scaling over the rounds and prints its row; false when the goal is
// missed, that is when the whole spread lies below it (a goal inside the spread is within noise).
bool printScaling(const Conversion &conversion, int cores)
{
    double alone = 0, together = 0, lowest = 1e300, highest = 0;
    for (int round = 0; round < Rounds; ++round) {
        alone = throughput(conversion, 1);
        together = throughput(conversion, cores);
        const double ratio = alone > 0 ? together / alone : 0;
        lowest = std::min(lowest, ratio);
        highest = std::max(highest, ratio);
    }
    const double goal = 0.9 * cores;
    const char *verdict = lowest >= goal ? "met" : highest >= goal ? "within noise" : "MISSED";
    std::printf("%-56s %12.4g %12.4g %4.2f-%4.2f  >= %.1f (0.9 x %d)  %s\n", conversion.name, alone, together,
                lowest, highest, goal, cores, verdict);
    return highest >= goal;
}

} // namespace

int main()
{
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    std::string load = "unknown";
    std::ifstream loadAverage("/proc/loadavg");
    std::string one, five, fifteen;
    if (loadAverage >> one >> five >> fifteen)
        load = one + " " + five + " " + fifteen;
    const auto cpuAtStart = cpuTicks();
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, -1);
    Py_InitializeEx(0);
    std::printf("%-56s %12s %12s %9s  %s\n", "conversion (items/s, last round)", "1 thread", "N threads",
                "ratio", "goal");
    int missed = 0;
    for (const Conversion &conversion : Conversions)
        missed += printScaling(conversion, cores) ? 0 : 1;
    const auto cpuNow = cpuTicks();
    const std::string version = Py_GetVersion();
    std::printf("\n%d goal%s missed; CPython %s, %d cores, load average at start %s\n", missed,
                missed == 1 ? "" : "s", version.substr(0, version.find(' ')).c_str(), cores, load.c_str());
    if (cpuNow.first > cpuAtStart.first)
        std::printf("during the run: %.1f%% of the machine's CPU time went to other guests (steal)\n",
                    100.0 * double(cpuNow.second - cpuAtStart.second) /
                        double(cpuNow.first - cpuAtStart.first));
    return 0;
}
