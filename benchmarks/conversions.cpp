// Conversion speed against the practical limit and the peers, measured in one run.
//
// For each conversion it times the library, the practical limit (a plain loop that does only the
// unavoidable work on the same data), pybind11's and nanobind's casts and PyQt's and PySide6's
// QVariant conversions (PyQt5 in the Qt 5 build, PyQt6 in the Qt 6 one) where they do the same
// job and are found, all from one embedded interpreter. It prints one table of medians in ns per
// element and the ratios, repeated until two runs in a row agree (see main). `--smoke` runs every
// case once on small data, so the program cannot rot.
#include "tpyqtwrapping.h"
#include "varianttopython.h"

#include <benchmark/benchmark.h>
#include <numpy/ndarraytypes.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#ifdef PYQTWRAPPING_HAVE_NANOBIND
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>
#endif

#include <QStringList>
#include <QVector>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <malloc.h>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace py = pybind11;
#ifdef PYQTWRAPPING_HAVE_NANOBIND
namespace nb = nanobind;
#endif

namespace {

bool smoke = false;
std::string loadAtStart = "unknown";

// The machine's CPU time so far, all cores, in clock ticks: the total and the part the hypervisor
// gave to other guests (steal). Zeros where /proc/stat does not tell.
struct CpuTime
{
    long long total = 0;
    long long stolen = 0;
};

CpuTime cpuTime()
{
    std::ifstream stat("/proc/stat");
    std::string label;
    CpuTime time;
    long long ticks = 0;
    if (!(stat >> label) || label != "cpu")
        return time;
    // The fields: user nice system idle iowait irq softirq steal.
    for (int field = 0; field < 8 && stat >> ticks; ++field) {
        time.total += ticks;
        if (field == 7)
            time.stolen = ticks;
    }
    return time;
}

CpuTime cpuAtStart;
long N = 1000000; // elements of the large inputs
long StringListSize = 100000;
long DictItems = 10000;
long LongStringChars = 8 * 1024 * 1024;

PyObject *globals() { return PyModule_GetDict(PyImport_AddModule("__main__")); }

void run(const std::string &code)
{
    PyObject *r = PyRun_String(code.c_str(), Py_file_input, globals(), globals());
    if (!r) {
        PyErr_Print();
        std::exit(1);
    }
    Py_DECREF(r);
}

PyObject *var(const char *name) { return PyDict_GetItemString(globals(), name); }

// The interpreter hands an emptied arena of small objects back to the kernel and maps a fresh one
// for the next: every new list of strs or floats would then pay for page faults and page clearing,
// which cost as much as the conversion itself and vary with the machine's state. Emptied arenas
// are kept for reuse instead, as the C heap keeps its freed memory (see main).
std::vector<void *> keptArenas;

void *reuseArena(void *, size_t size)
{
    if (!keptArenas.empty()) {
        void *arena = keptArenas.back();
        keptArenas.pop_back();
        return arena;
    }
    void *arena = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return arena == MAP_FAILED ? nullptr : arena;
}

void keepArena(void *, void *arena, size_t) { keptArenas.push_back(arena); }

// ---- The table ----------------------------------------------------------------------------------

// The PyQt of the Qt the benchmark is built with: one process never loads two Qt majors.
const char *const PyQt = QT_VERSION_MAJOR == 6 ? "PyQt6" : "PyQt5";

// One timed repetition of a column's work; the state lets it release a result untimed.
using Step = std::function<void(benchmark::State &)>;

struct Column
{
    std::string name; // "ours", "limit", "pybind11", "nanobind", the PyQt's name or "PySide6"
    Step step;
};

// A row of the table: a conversion, the elements one repetition converts, the ratios it must keep
// ("limit<=1.3 pybind11<=1": ours/limit at most 1.3, ours/pybind11 at most 1) and its columns.
struct Case
{
    std::string conversion;
    double elements;
    std::string goal;
    std::vector<Column> columns;
};

// The medians measured, in ns per element, by row, run of the table and column. A column named
// "X empty" is X's fixed cost per call, measured on an empty value and taken off X's figure.
struct Result
{
    const Case *row;
    std::vector<std::map<std::string, double>> runs;
};
std::vector<Result> results;
size_t currentRun = 0;

// Importing PyQt6 6.4 (seen under Debian 12's Qt 6.4 on an Intel Xeon) leaves the upper halves of
// this thread's vector registers dirty, and until the next vzeroupper every SSE instruction then
// pays for merging them: the short text rows ran 4 to 6 times slower, limit included, whoever's
// code it was. A host that imports it pays that too; the table measures conversions, so the state
// is cleared before each repetition of every column.
void clearUpperVectorState()
{
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    static const bool haveAvx = __builtin_cpu_supports("avx");
    if (haveAvx)
        asm volatile("vzeroupper");
#endif
}

void registerColumns(const Case &row)
{
    results.push_back(Result{&row, {}});
    for (const Column &column : row.columns) {
        const Step step = column.step;
        auto *b = benchmark::RegisterBenchmark((row.conversion + "|" + column.name).c_str(),
                                               [step](benchmark::State &state) {
                                                   clearUpperVectorState();
                                                   for (auto _ : state)
                                                       step(state);
                                               });
        b->Unit(benchmark::kNanosecond);
        if (smoke)
            b->Iterations(1);
        else
            b->MinTime(0.05)->Repetitions(9)->ReportAggregatesOnly(true);
    }
}

Result &resultOf(const std::string &conversion)
{
    return *std::find_if(results.begin(), results.end(),
                         [&](const Result &r) { return r.row->conversion == conversion; });
}

// Whether a run ended in an error: Google Benchmark 1.8 replaced the run's error_occurred flag by
// skipped (an error or a skip); whichever member the installed version has is read.
template <typename Run>
auto runFailed(const Run &run, int) -> decltype(bool(run.skipped))
{
    return bool(run.skipped);
}
template <typename Run>
bool runFailed(const Run &run, long)
{
    return run.error_occurred;
}

class TableReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        if (!smoke)
            ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const bool wanted = smoke ? run.run_type == Run::RT_Iteration
                                      : run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (runFailed(run, 0) || !wanted)
                continue;
            const std::string name = run.run_name.function_name;
            const size_t bar = name.find('|');
            Result &r = resultOf(name.substr(0, bar));
            r.runs.resize(currentRun + 1);
            r.runs[currentRun][name.substr(bar + 1)] = run.GetAdjustedRealTime() / r.row->elements;
        }
    }
};

// A column's figure in one run, its fixed cost per call taken off; 0 where it was not measured.
double nsOf(const std::map<std::string, double> &ns, const std::string &column)
{
    const auto value = ns.find(column), empty = ns.find(column + " empty");
    return value == ns.end() ? 0 : value->second - (empty == ns.end() ? 0 : empty->second);
}

// ours / column in each run, where both were measured.
std::vector<double> ratios(const Result &r, const std::string &column)
{
    std::vector<double> values;
    for (const auto &ns : r.runs) {
        const double ours = nsOf(ns, "ours"), other = nsOf(ns, column);
        if (ours > 0 && other > 0)
            values.push_back(ours / other);
    }
    return values;
}

// The spread of a ratio over the runs, as "lo-hi" (one figure after one run), "-" if unmeasured.
std::string spread(const std::vector<double> &values)
{
    if (values.empty())
        return "-";
    const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    char text[32];
    std::snprintf(text, sizeof text, *lo == *hi ? "%.2f" : "%.2f-%.2f", *lo, *hi);
    return text;
}

std::string figure(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return value <= 0 ? "-" : text;
}

// A row meets its goal when every ratio's spread lies at or below its bound, misses it when one
// spread lies wholly above, and is within noise when a bound falls inside a spread.
enum class Verdict { Met, WithinNoise, Missed };

Verdict verdictOf(const Result &r)
{
    Verdict verdict = Verdict::Met;
    std::istringstream terms(r.row->goal);
    for (std::string term; terms >> term;) {
        const size_t le = term.find("<=");
        const std::vector<double> values = ratios(r, term.substr(0, le));
        const double bound = std::stod(term.substr(le + 2));
        if (values.empty() || *std::max_element(values.begin(), values.end()) <= bound)
            continue;
        if (*std::min_element(values.begin(), values.end()) > bound)
            return Verdict::Missed;
        verdict = Verdict::WithinNoise;
    }
    return verdict;
}

// Whether the last two runs agree within 5% on every ratio of every row.
bool lastRunsAgree(const std::vector<std::string> &columns)
{
    for (const Result &r : results) {
        for (const std::string &column : columns) {
            const std::vector<double> values = ratios(r, column);
            const size_t n = values.size();
            if (n >= 2 && std::abs(values[n - 1] / values[n - 2] - 1) > 0.05)
                return false;
        }
    }
    return true;
}

void printMachine()
{
    std::printf("machine at start: load average %s (1, 5, 15 min), %ld cores\n", loadAtStart.c_str(),
                sysconf(_SC_NPROCESSORS_ONLN));
    const CpuTime now = cpuTime();
    if (now.total > cpuAtStart.total)
        std::printf("during the run: %.1f%% of the machine's CPU time went to other guests (steal)\n",
                    100.0 * double(now.stolen - cpuAtStart.stolen) / double(now.total - cpuAtStart.total));
}

// The peer columns in the order printed, as the build and the interpreter have them.
std::vector<std::string> peerColumns()
{
    std::vector<std::string> columns{"limit", "pybind11"};
#ifdef PYQTWRAPPING_HAVE_NANOBIND
    columns.push_back("nanobind");
#endif
    columns.push_back(PyQt);
    columns.push_back("PySide6");
    return columns;
}

void printTable()
{
    const std::vector<std::string> peers = peerColumns();
    int width = 32;
    for (const Result &r : results)
        width = std::max(width, int(r.row->conversion.size()));
    std::printf("\n%-*s %9s", width, "conversion (ns/element, median)", "ours");
    for (const std::string &peer : peers)
        std::printf(" %9s", peer.c_str());
    for (const std::string &peer : peers)
        std::printf(" %11s", ("/" + peer.substr(0, 10)).c_str());
    std::printf("  goal\n");
    int counts[3] = {0, 0, 0};
    for (const Result &r : results) {
        const auto &last = r.runs.empty() ? std::map<std::string, double>() : r.runs.back();
        std::printf("%-*s %9s", width, r.row->conversion.c_str(), figure(nsOf(last, "ours")).c_str());
        for (const std::string &peer : peers)
            std::printf(" %9s", figure(nsOf(last, peer)).c_str());
        for (const std::string &peer : peers)
            std::printf(" %11s", spread(ratios(r, peer)).c_str());
        const Verdict verdict = verdictOf(r);
        counts[int(verdict)] += r.row->goal.empty() ? 0 : 1;
        const char *said[] = {"met", "within noise", "MISSED"};
        std::printf("  %s%s%s\n", r.row->goal.c_str(), r.row->goal.empty() ? "" : "  ",
                    r.row->goal.empty() ? "" : said[int(verdict)]);
    }
    std::printf("\n%zu run%s of the table; ratios are ours / column, as their spread over the runs\n",
                currentRun + 1, currentRun ? "s" : "");
    std::printf("%d met, %d within noise (a bound inside the spread), %d missed\n", counts[0], counts[1],
                counts[2]);
    printMachine();
}

// ---- Cases --------------------------------------------------------------------------------------

using W = TPyQtWrapping;

template <typename T>
void releaseTable(benchmark::State &state, T *table)
{
    state.PauseTiming();
    delete[] table;
    state.ResumeTiming();
}

void releaseObject(benchmark::State &state, PyObject *object)
{
    state.PauseTiming();
    Py_XDECREF(object);
    state.ResumeTiming();
}

// Steps that release what make() gives untimed, or only keep it from being optimised away.
template <typename Make>
Step tableOf(Make make)
{
    return [make](benchmark::State &s) { releaseTable(s, make()); };
}
template <typename Make>
Step objectOf(Make make)
{
    return [make](benchmark::State &s) { releaseObject(s, make()); };
}
template <typename Make>
Step valueOf(Make make)
{
    return [make](benchmark::State &) { benchmark::DoNotOptimize(make()); };
}
// Every side releases a variant untimed, as the PyQt side's wrapper is.
template <typename Make>
Step variantOf(Make make)
{
    return [make](benchmark::State &s) {
        QVariant result = make();
        s.PauseTiming();
        result = QVariant();
        s.ResumeTiming();
    };
}

// PyQt's column: a Python function called on one argument.
Step pythonCall(PyObject *function, PyObject *argument)
{
    return objectOf([=] { return PyObject_CallFunctionObjArgs(function, argument, nullptr); });
}

// pybind11's column: a Python object loaded into T, or a T made into a Python object; and
// nanobind's column likewise, where the build has nanobind.
template <typename T>
std::vector<Column> bindingsLoad(PyObject *object)
{
    std::vector<Column> columns{{"pybind11", valueOf([object] { return py::cast<T>(py::handle(object)); })}};
#ifdef PYQTWRAPPING_HAVE_NANOBIND
    columns.push_back({"nanobind", valueOf([object] { return nb::cast<T>(nb::handle(object)); })});
#endif
    return columns;
}
template <typename T>
std::vector<Column> bindingsMake(std::shared_ptr<T> values)
{
    std::vector<Column> columns{
        {"pybind11", objectOf([values] { return py::cast(*values).release().ptr(); })}};
#ifdef PYQTWRAPPING_HAVE_NANOBIND
    columns.push_back({"nanobind", objectOf([values] { return nb::cast(*values).release().ptr(); })});
#endif
    return columns;
}

template <typename T>
T *limitFloatListToTable(PyObject *list)
{
    const Py_ssize_t n = PyList_GET_SIZE(list);
    T *table = new T[size_t(n)];
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(list, i);
        if (Py_TYPE(item) != &PyFloat_Type) {
            delete[] table;
            return nullptr;
        }
        table[i] = T(PyFloat_AS_DOUBLE(item));
    }
    return table;
}

template <typename T>
T *limitIntListToTable(PyObject *list, long low, long high)
{
    const Py_ssize_t n = PyList_GET_SIZE(list);
    T *table = new T[size_t(n)];
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(list, i);
        const long value = Py_TYPE(item) == &PyLong_Type ? PyLong_AsLong(item) : low - 1;
        if (value < low || value > high) {
            delete[] table;
            return nullptr;
        }
        table[i] = T(value);
    }
    return table;
}

template <typename Make>
PyObject *limitBuildList(Py_ssize_t n, Make make)
{
    PyObject *list = PyList_New(n);
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(list, i, make(i));
    return list;
}

QString limitReadStr(PyObject *s)
{
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const void *data = PyUnicode_DATA(s);
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: return QString::fromLatin1(static_cast<const char *>(data), int(n));
    case PyUnicode_2BYTE_KIND: return QString(static_cast<const QChar *>(data), int(n));
    default: return QString::fromUcs4(static_cast<const char32_t *>(data), int(n));
    }
}

PyObject *limitWriteStr(const QString &s)
{
    const ushort *u = s.utf16();
    const int n = s.size();
    const ushort widest = *std::max_element(u, u + n);
    PyObject *str = PyUnicode_New(n, widest);
    if (widest <= 0xFF)
        std::copy(u, u + n, PyUnicode_1BYTE_DATA(str));
    else
        std::memcpy(PyUnicode_2BYTE_DATA(str), u, size_t(n) * 2);
    return str;
}

// A variant tree from the benchmark's values: exact type tests and direct reads, nothing more.
QVariant limitToVariant(PyObject *o)
{
    if (PyFloat_CheckExact(o))
        return QVariant(PyFloat_AS_DOUBLE(o));
    if (PyUnicode_CheckExact(o))
        return QVariant(limitReadStr(o));
    if (PyList_CheckExact(o)) {
        const Py_ssize_t n = PyList_GET_SIZE(o);
        QVariantList list;
        list.reserve(int(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            list.append(limitToVariant(PyList_GET_ITEM(o, i)));
        return QVariant(list);
    }
    if (PyDict_CheckExact(o)) {
        QVariantMap map;
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(o, &position, &key, &value))
            map.insert(limitReadStr(key), limitToVariant(value));
        return QVariant(map);
    }
    return QVariant();
}

PyObject *limitFromVariant(const QVariant &v)
{
    switch (v.userType()) {
    case QMetaType::Double: return PyFloat_FromDouble(*static_cast<const double *>(v.constData()));
    case QMetaType::QString: return limitWriteStr(*static_cast<const QString *>(v.constData()));
    case QMetaType::QVariantList: {
        const auto &list = *static_cast<const QVariantList *>(v.constData());
        return limitBuildList(list.size(), [&](Py_ssize_t i) { return limitFromVariant(list.at(int(i))); });
    }
    case QMetaType::QVariantMap: {
        PyObject *dict = PyDict_New();
        const auto &map = *static_cast<const QVariantMap *>(v.constData());
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            PyObject *key = limitWriteStr(it.key());
            PyObject *value = limitFromVariant(it.value());
            PyDict_SetItem(dict, key, value);
            Py_DECREF(key);
            Py_DECREF(value);
        }
        return dict;
    }
    default: Py_RETURN_NONE;
    }
}

// The limit of a list to a QList: the same loop into a QList of the final length, written in place
// and not cleared first where the Qt has that (6.8 on), appended to after one reserve before.
template <typename T>
QList<T> limitListToQList(PyObject *list)
{
    const auto value = [](PyObject *item) {
        if constexpr (std::is_same<T, double>::value)
            return Py_TYPE(item) == &PyFloat_Type ? PyFloat_AS_DOUBLE(item) : -9999.0;
        else
            return Py_TYPE(item) == &PyLong_Type ? int(PyLong_AsLong(item)) : -9999;
    };
    const Py_ssize_t n = PyList_GET_SIZE(list);
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    QList<T> out(n, Qt::Uninitialized);
    T *next = out.data();
    for (Py_ssize_t i = 0; i < n; ++i)
        next[i] = value(PyList_GET_ITEM(list, i));
#else
    QList<T> out;
    out.reserve(int(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        out.append(value(PyList_GET_ITEM(list, i)));
#endif
    return out;
}

// A list of Python numbers from a container of C++ numbers.
template <typename Numbers>
PyObject *limitNumberList(const Numbers &numbers)
{
    return limitBuildList(Py_ssize_t(numbers.size()), [&](Py_ssize_t i) {
        const auto value = numbers[decltype(numbers.size())(i)];
        if constexpr (std::is_integral<decltype(value)>::value)
            return PyLong_FromLong(value);
        else
            return PyFloat_FromDouble(value);
    });
}

QStringList limitReadStrs(PyObject *list)
{
    QStringList out;
    out.reserve(int(PyList_GET_SIZE(list)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
        out.append(limitReadStr(PyList_GET_ITEM(list, i)));
    return out;
}

// The limit of an array conversion: the same buffer read with the element type known at compile
// time; a contiguous float64 array is one memcpy into a fresh allocation.
template <typename Element>
double *limitArray(PyArrayObject *a)
{
    const npy_intp n = PyArray_DIMS(a)[0];
    const npy_intp stride = PyArray_STRIDES(a)[0];
    const char *data = static_cast<const char *>(PyArray_DATA(a));
    double *table = new double[size_t(n)];
    if (std::is_same<Element, double>::value && stride == 8) {
        std::memcpy(table, data, size_t(n) * 8);
        return table;
    }
    for (npy_intp i = 0; i < n; ++i)
        table[i] = double(*reinterpret_cast<const Element *>(data + i * stride));
    return table;
}

// What a list row is held to: its limit, and the bindings the build has.
#ifdef PYQTWRAPPING_HAVE_NANOBIND
const char *const BindingsGoal = "limit<=1.3 pybind11<=1 nanobind<=1";
#else
const char *const BindingsGoal = "limit<=1.3 pybind11<=1";
#endif

// A row; the columns of the bindings (pybind11, nanobind) follow the others.
Case row(std::string conversion, double elements, std::string goal, std::vector<Column> columns,
         std::vector<Column> bindings = {})
{
    columns.insert(columns.end(), bindings.begin(), bindings.end());
    return {std::move(conversion), elements, std::move(goal), std::move(columns)};
}

// A row of a list or table of N numbers, held to its limit and to the bindings.
Case listRow(std::string conversion, std::vector<Column> columns, std::vector<Column> bindings)
{
    return row(std::move(conversion), double(N), BindingsGoal, std::move(columns), std::move(bindings));
}

std::vector<Case> listToTableRows()
{
    PyObject *floats = var("floats"), *ints = var("ints"), *smallInts = var("small_ints");
    return {
        listRow("float list -> PyObject2DoubleTable",
                {{"ours", tableOf([=] {
                      unsigned long long count = 0;
                      return W::PyObject2DoubleTable(floats, count);
                  })},
                 {"limit", tableOf([=] { return limitFloatListToTable<double>(floats); })}},
                bindingsLoad<std::vector<double>>(floats)),
        listRow("float list -> PyObject2FloatTable",
                {{"ours", tableOf([=] { return W::PyObject2FloatTable(floats); })},
                 {"limit", tableOf([=] { return limitFloatListToTable<float>(floats); })}},
                bindingsLoad<std::vector<float>>(floats)),
        listRow("float list -> PyObject2QListDouble",
                {{"ours", valueOf([=] { return W::PyObject2QListDouble(floats); })},
                 {"limit", valueOf([=] { return limitListToQList<double>(floats); })}},
                bindingsLoad<std::vector<double>>(floats)),
        listRow("int list -> PyObject2IntTable",
                {{"ours", tableOf([=] { return W::PyObject2IntTable(ints); })},
                 {"limit", tableOf([=] { return limitIntListToTable<int>(ints, INT32_MIN, INT32_MAX); })}},
                bindingsLoad<std::vector<int>>(ints)),
        listRow("small int list -> PyObject2ShortIntTable",
                {{"ours", tableOf([=] { return W::PyObject2ShortIntTable(smallInts); })},
                 {"limit", tableOf([=] { return limitIntListToTable<short>(smallInts, -32768, 32767); })}},
                bindingsLoad<std::vector<short>>(smallInts)),
        listRow("int list -> PyObject2QListInt",
                {{"ours", valueOf([=] { return W::PyObject2QListInt(ints); })},
                 {"limit", valueOf([=] { return limitListToQList<int>(ints); })}},
                bindingsLoad<std::vector<int>>(ints)),
    };
}

std::vector<Case> numpyRows()
{
    if (!PyDict_GetItemString(globals(), "a_f64"))
        return {}; // NumPy does not import here
    struct Array
    {
        const char *name;
        const char *variable;
        double *(*limit)(PyArrayObject *);
        const char *goal;
    } const arrays[] = {
        {"numpy float64 -> numPyArray2DoubleTable", "a_f64", limitArray<double>, "limit<=1.1"},
        {"numpy float32 -> numPyArray2DoubleTable", "a_f32", limitArray<float>, "limit<=1.3"},
        {"numpy int32 -> numPyArray2DoubleTable", "a_i32", limitArray<int32_t>, "limit<=1.3"},
        {"numpy int64 -> numPyArray2DoubleTable", "a_i64", limitArray<int64_t>, "limit<=1.3"},
        {"numpy float64 [::2] view -> numPyArray2DoubleTable", "a_strided", limitArray<double>, "limit<=1.3"},
    };
    std::vector<Case> rows;
    for (const Array &array : arrays) {
        PyArrayObject *a = W::PyObject2NumPyArray(var(array.variable));
        const auto limit = array.limit;
        rows.push_back(row(array.name, double(PyArray_DIMS(a)[0]), array.goal,
                           {{"ours", tableOf([=] {
                                 unsigned long long count = 0;
                                 return W::numPyArray2DoubleTable(a, count);
                             })},
                            {"limit", tableOf([=] { return limit(a); })}}));
    }
    return rows;
}

std::vector<Case> tableToListRows()
{
    auto doubles = std::make_shared<std::vector<double>>();
    auto floats = std::make_shared<std::vector<float>>();
    auto ints = std::make_shared<std::vector<int>>();
    for (long i = 0; i < N; ++i) {
        doubles->push_back(i * 0.25 + 0.1);
        floats->push_back(float(i * 0.25 + 0.1));
        ints->push_back(int(i * 7 - 3000000));
    }
    auto qdoubles = std::make_shared<QList<double>>(doubles->begin(), doubles->end());
    auto qints = std::make_shared<QList<int>>(ints->begin(), ints->end());
    return {
        listRow(
            "double[] -> doubleTable2PyObject",
            {{"ours", objectOf([=] { return W::doubleTable2PyObject(doubles->data(), doubles->size()); })},
             {"limit", objectOf([=] { return limitNumberList(*doubles); })}},
            bindingsMake(doubles)),
        listRow("float[] -> floatTable2PyObject",
                {{"ours", objectOf([=] { return W::floatTable2PyObject(floats->data(), floats->size()); })},
                 {"limit", objectOf([=] { return limitNumberList(*floats); })}},
                bindingsMake(floats)),
        listRow("QList<double> -> QListDouble2PyObject",
                {{"ours", objectOf([=] { return W::QListDouble2PyObject(*qdoubles); })},
                 {"limit", objectOf([=] { return limitNumberList(*qdoubles); })}},
                bindingsMake(doubles)),
        listRow("QList<int> -> QListInt2PyObject",
                {{"ours", objectOf([=] { return W::QListInt2PyObject(*qints); })},
                 {"limit", objectOf([=] { return limitNumberList(*qints); })}},
                bindingsMake(ints)),
    };
}

// Every str of a list read, or every QString written and released.
template <typename Read>
Step eachStr(PyObject *list, Read read)
{
    return [list, read](benchmark::State &) {
        for (Py_ssize_t i = 0, n = PyList_GET_SIZE(list); i < n; ++i)
            benchmark::DoNotOptimize(read(PyList_GET_ITEM(list, i)));
    };
}
template <typename Write>
Step eachText(std::shared_ptr<QVector<QString>> texts, Write write)
{
    return [texts, write](benchmark::State &) {
        for (const QString &text : *texts)
            Py_DECREF(write(text));
    };
}

// nanobind's std::string for every str of a list, where the build has nanobind.
std::vector<Column> nanobindStrings(PyObject *list)
{
#ifdef PYQTWRAPPING_HAVE_NANOBIND
    return {{"nanobind", eachStr(list, [](PyObject *s) { return nb::cast<std::string>(nb::handle(s)); })}};
#else
    (void)list;
    return {};
#endif
}

std::vector<Case> shortStringRows()
{
    const std::pair<const char *, const char *> kinds[] = {{"short ASCII", "s_ascii"},
                                                           {"short Latin-1", "s_latin1"},
                                                           {"short BMP", "s_bmp"},
                                                           {"short astral", "s_astral"}};
    std::vector<Case> rows;
    for (const auto &kind : kinds) {
        PyObject *list = var(kind.second);
        const double count = double(PyList_GET_SIZE(list));
        auto texts = std::make_shared<QVector<QString>>();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
            texts->append(W::PyObject2QString(PyList_GET_ITEM(list, i)));
        rows.push_back(row(
            std::string("str (") + kind.first + ") -> PyObject2QString", count, "limit<=1.5",
            {{"ours", eachStr(list, [](PyObject *s) { return W::PyObject2QString(s); })},
             {"limit", eachStr(list, limitReadStr)},
             {"pybind11", eachStr(list, [](PyObject *s) { return py::cast<std::string>(py::handle(s)); })}},
            nanobindStrings(list)));
        if (std::string(kind.second) == "s_astral")
            continue; // building astral strings needs the pair scan; the limit below has none
        rows.push_back(
            row(std::string("QString (") + kind.first + ") -> QString2PyObject", count, "limit<=1.5",
                {{"ours", eachText(texts, [](const QString &q) { return W::QString2PyObject(q); })},
                 {"limit", eachText(texts, limitWriteStr)}}));
    }
    return rows;
}

std::vector<Case> longStringRows()
{
    PyObject *longString = var("s_long");
    const double chars = double(PyUnicode_GET_LENGTH(longString));
    const QString longText = W::PyObject2QString(longString);
    PyObject *list = var("s_list");
    const double count = double(PyList_GET_SIZE(list));
    const QStringList texts = W::PyObject2QStringList(list);
    auto strings = std::make_shared<std::vector<std::string>>();
    for (const QString &text : texts)
        strings->push_back(text.toStdString());
    // pybind11 makes std::strings, which keep short texts inline; every QString is a heap block,
    // so the string lists are held to their limit, which makes the same QStrings.
    return {
        row("one 8 MB str -> PyObject2QString (per char)", chars, "limit<=1.5",
            {{"ours", valueOf([=] { return W::PyObject2QString(longString); })},
             {"limit", valueOf([=] { return limitReadStr(longString); })}}),
        row("one 8 MB QString -> QString2PyObject (per char)", chars, "limit<=1.5",
            {{"ours", objectOf([=] { return W::QString2PyObject(longText); })},
             {"limit", objectOf([=] { return limitWriteStr(longText); })}}),
        row("str list -> PyObject2QStringList", count, "limit<=1.3",
            {{"ours", valueOf([=] { return W::PyObject2QStringList(list); })},
             {"limit", valueOf([=] { return limitReadStrs(list); })}},
            bindingsLoad<std::vector<std::string>>(list)),
        row("QStringList -> QStringList2PyObject", count, BindingsGoal,
            {{"ours", objectOf([=] { return W::QStringList2PyObject(texts); })},
             {"limit", objectOf([=] {
                  return limitBuildList(texts.size(),
                                        [&](Py_ssize_t i) { return limitWriteStr(texts.at(int(i))); });
              })}},
            bindingsMake(strings)),
    };
}

// The peers a variant row is held to: the PyQt and PySide6 where they import.
struct VariantPeers
{
    bool pyQt = false;
    bool pySide = false;
};

// PySide6 has no QVariant class in Python: a host hands values to Qt as QVariant arguments, as
// QObject::setProperty takes them, and gets them back from QVariant results, as property returns
// them. Its column times those two calls; "PySide6 empty" times them on an empty value of the same
// type, and that fixed cost of a call is taken off. The holders live for the whole run.
void addPySideColumns(Case &to, Case &back, PyObject *value, PyObject *empty)
{
    PyObject *held = PyObject_CallFunctionObjArgs(var("pyside_hold"), value, nullptr);
    PyObject *heldEmpty = PyObject_CallFunctionObjArgs(var("pyside_hold"), empty, nullptr);
    to.columns.push_back({"PySide6", pythonCall(var("pyside_to"), value)});
    to.columns.push_back({"PySide6 empty", pythonCall(var("pyside_to"), empty)});
    back.columns.push_back({"PySide6", pythonCall(var("pyside_back"), held)});
    back.columns.push_back({"PySide6 empty", pythonCall(var("pyside_back"), heldEmpty)});
}

std::vector<Case> variantRows(VariantPeers peers)
{
    const std::array<const char *, 3> values[] = {{"dict {str: [float, float, str]}", "v_dict", "{}"},
                                                  {"float list", "floats", "[]"}};
    std::string goal = "limit<=1.5";
    goal += peers.pyQt ? std::string(" ") + PyQt + "<=0.5" : "";
    goal += peers.pySide ? " PySide6<=0.5" : "";
    std::vector<Case> rows;
    for (const auto &named : values) {
        PyObject *value = var(named[1]);
        const QVariant variant = W::PyObject2QVariant(value, -1);
        const double items = double(PyObject_Size(value));
        Case to = row(std::string(named[0]) + " -> PyObject2QVariant (per item)", items, goal,
                      {{"ours", variantOf([=] { return W::PyObject2QVariant(value, -1); })},
                       {"limit", variantOf([=] { return limitToVariant(value); })}});
        Case back = row(std::string(named[0]) + " QVariant -> Python (per item)", items, goal,
                        {{"ours", objectOf([=] { return variantToPython(variant); })},
                         {"limit", objectOf([=] { return limitFromVariant(variant); })}});
        if (peers.pyQt) {
            PyObject *wrapped = PyObject_CallFunctionObjArgs(var("pyqt_to"), value, nullptr);
            to.columns.push_back({PyQt, pythonCall(var("pyqt_to"), value)});
            back.columns.push_back({PyQt, pythonCall(var("pyqt_back"), wrapped)});
        }
        if (peers.pySide)
            addPySideColumns(to, back, value, PyRun_String(named[2], Py_eval_input, globals(), globals()));
        rows.push_back(std::move(to));
        rows.push_back(std::move(back));
    }
    return rows;
}

void prepareData()
{
    run("import random, sys\n"
        "random.seed(7)\n"
        "N = " +
        std::to_string(N) +
        "\n"
        "floats = [random.random() * 1000 for _ in range(N)]\n"
        "ints = [random.randrange(-2**31, 2**31) for _ in range(N)]\n"
        "small_ints = [random.randrange(-30000, 30000) for _ in range(N)]\n"
        "s_ascii = ['item%d' % i for i in range(N)]\n"
        "s_latin1 = ['caf\\xe9%d' % i for i in range(N)]\n"
        "s_bmp = ['\\u65e5\\u672c%d' % i for i in range(N)]\n"
        "s_astral = ['\\U0001F600%d' % i for i in range(N)]\n"
        "s_long = 'x' * " +
        std::to_string(LongStringChars) +
        "\n"
        "s_list = ['name%d' % i for i in range(" +
        std::to_string(StringListSize) +
        ")]\n"
        "v_dict = {'key%d' % i: [i * 0.5, i * 0.25, 'v%d' % i] for i in range(" +
        std::to_string(DictItems) +
        ")}\n"
        "try:\n"
        "    import numpy as np\n"
        "    a_f64 = np.array(floats)\n"
        "    a_f32 = a_f64.astype(np.float32)\n"
        "    a_i32 = np.array(small_ints, dtype=np.int32)\n"
        "    a_i64 = np.array(ints, dtype=np.int64)\n"
        "    a_strided = np.array(floats + floats)[::2]\n"
        "except ImportError:\n" // the array rows are left out (a free-threaded interpreter has none)
        "    pass\n"
        // The data lives for the whole run: keep the collector from traversing it again and
        // again, as a host whose heap is not this benchmark's would not have it traversed.
        "import gc\n"
        "gc.collect()\n"
        "gc.freeze()\n");
}

// Only the dict's conversion to a variant tree, for an instruction count (scripts/callgrind-dict.sh).
int profileDict(int rounds)
{
    PyObject *dict = var("v_dict");
    for (int i = 0; i < rounds; ++i)
        benchmark::DoNotOptimize(TPyQtWrapping::PyObject2QVariant(dict, -1));
    std::printf("%d rounds of %zd items\n", rounds, PyDict_Size(dict));
    return 0;
}

// Defines the peer's helper functions in __main__; false, with a note, where it cannot import.
bool preparePeer(const char *name, const std::string &code)
{
    PyObject *r = PyRun_String(code.c_str(), Py_file_input, globals(), globals());
    if (!r) {
        std::printf("note: %s cannot be imported here, its column is skipped:\n", name);
        PyErr_Print();
        return false;
    }
    Py_DECREF(r);
    return true;
}

VariantPeers preparePeers()
{
    VariantPeers peers;
    peers.pyQt = preparePeer(PyQt, std::string("from ") + PyQt +
                                       ".QtCore import QVariant\n"
                                       "def pyqt_to(v): return QVariant(v)\n"
                                       "def pyqt_back(q): return q.value()\n");
    peers.pySide = preparePeer("PySide6", "from PySide6.QtCore import QObject\n"
                                          "pyside_holder = QObject()\n"
                                          "def pyside_to(v): pyside_holder.setProperty('v', v)\n"
                                          "def pyside_back(holder): return holder.property('v')\n"
                                          "def pyside_hold(v):\n"
                                          "    holder = QObject()\n"
                                          "    holder.setProperty('v', v)\n"
                                          "    return holder\n");
    return peers;
}

// Takes the benchmark's own options out of argv; the rest go to Google Benchmark.
std::vector<char *> parseArguments(int argc, char **argv, int &profileRounds)
{
    // Repetitions of all cases are interleaved in random order, so that drifts of the machine
    // (frequency, other load, heap state) spread over every column alike.
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    static char noColor[] = "--benchmark_color=false";
    std::vector<char *> args{argv[0], interleave, noColor};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0)
            smoke = true;
        else if (std::strcmp(argv[i], "--profile-dict") == 0 && i + 1 < argc)
            profileRounds = std::atoi(argv[++i]);
        else
            args.push_back(argv[i]);
    }
    if (smoke) {
        N = 1000;
        StringListSize = 100;
        DictItems = 10;
        LongStringChars = 1000;
    }
    return args;
}

// Keeps freed memory in the process: otherwise every large result is fresh pages from the kernel
// and the figures measure page clearing rather than conversion.
void keepFreedMemory()
{
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, -1);
    keptArenas.reserve(1 << 16);
    static PyObjectArenaAllocator arenas{nullptr, reuseArena, keepArena};
    PyObject_SetArenaAllocator(&arenas);
}

// What the benchmark cannot control, for a reader to tell a noisy run.
void noteMachineAtStart()
{
    std::ifstream loadAverage("/proc/loadavg");
    std::string one, five, fifteen;
    if (loadAverage >> one >> five >> fifteen)
        loadAtStart = one + " " + five + " " + fifteen;
    cpuAtStart = cpuTime();
}

// Every row of the table, in the order it is printed.
std::vector<Case> allRows(VariantPeers peers)
{
    std::vector<Case> rows;
    for (std::vector<Case> family : {listToTableRows(), numpyRows(), tableToListRows(), shortStringRows(),
                                     longStringRows(), variantRows(peers)})
        std::move(family.begin(), family.end(), std::back_inserter(rows));
    return rows;
}

} // namespace

int main(int argc, char **argv)
{
    int profileRounds = 0;
    std::vector<char *> args = parseArguments(argc, argv, profileRounds);
    noteMachineAtStart();
    keepFreedMemory();
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());

    Py_InitializeEx(0);
    prepareData();
    if (profileRounds > 0)
        return profileDict(profileRounds);
    const std::vector<Case> table = allRows(preparePeers());
    for (const Case &row : table)
        registerColumns(row);

    // The table is run again until two runs in a row agree within 5% on every ratio, three runs
    // at most; the verdicts are made on the spread of all of them.
    TableReporter reporter;
    for (currentRun = 0;; ++currentRun) {
        benchmark::RunSpecifiedBenchmarks(&reporter);
        if (smoke || currentRun == 2 || (currentRun > 0 && lastRunsAgree(peerColumns())))
            break;
    }
    printTable();
    return 0;
}
