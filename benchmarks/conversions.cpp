// Conversion speed against the practical limit and the peers, measured in one run.
//
// For each conversion it times the library, the practical limit (a plain loop that does only the
// unavoidable work on the same data), pybind11's casts and PyQt's QVariant (PyQt5 in the Qt 5
// build, PyQt6 in the Qt 6 one) where they do the same job, all from one embedded interpreter. It prints one table of medians in ns per element and the
// ratios. `--smoke` runs every case once on small data, so the program cannot rot.
#include "tpyqtwrapping.h"
#include "varianttopython.h"

#include <benchmark/benchmark.h>
#include <numpy/ndarraytypes.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <QStringList>
#include <QVector>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

bool smoke = false;
std::string loadAtStart = "unknown";

// The machine's CPU time so far, all cores, in clock ticks: the total and the part the hypervisor
// gave to other guests (steal). Zeros where /proc/stat does not tell.
struct CpuTime {
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
    for (int field = 0; field < 8 && stat >> ticks; ++field) { // user nice system idle iowait irq softirq steal
        time.total += ticks;
        if (field == 7)
            time.stolen = ticks;
    }
    return time;
}

CpuTime cpuAtStart;
long N = 1000000;         // elements of the large inputs
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

struct Row {
    std::string conversion;
    double elements = 1;
    std::string goal; // which ratio must hold, for the last column
    std::map<std::string, double> ns;
};
std::vector<Row> rows;

Row &row(const std::string &conversion)
{
    for (Row &r : rows)
        if (r.conversion == conversion)
            return r;
    rows.push_back(Row{conversion});
    return rows.back();
}

void add(const std::string &conversion, const char *column, double elements,
         std::function<void(benchmark::State &)> body)
{
    row(conversion).elements = elements;
    auto *b = benchmark::RegisterBenchmark((conversion + "|" + column).c_str(),
                                           [body](benchmark::State &state) { body(state); });
    b->Unit(benchmark::kNanosecond);
    if (smoke)
        b->Iterations(1);
    else
        b->MinTime(0.05)->Repetitions(9)->ReportAggregatesOnly(true);
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
            if (runFailed(run, 0))
                continue;
            const bool wanted = smoke ? run.run_type == Run::RT_Iteration
                                      : run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!wanted)
                continue;
            const std::string name = run.run_name.function_name;
            const size_t bar = name.find('|');
            Row &r = row(name.substr(0, bar));
            r.ns[name.substr(bar + 1)] = run.GetAdjustedRealTime() / r.elements;
        }
    }
};

// Ratios of conversions that do the very same interpreter work sit at 0.98 to 1.02 from run
// to run; a goal counts as met within this margin.
constexpr double NoiseMargin = 0.02;

void printTable()
{
    int width = 32;
    for (const Row &r : rows)
        width = std::max(width, int(r.conversion.size()));
    std::printf("\n%-*s %9s %9s %9s %9s %10s %10s %10s  %s\n", width, "conversion (ns/element, median)",
                "ours", "limit", "pybind11", PyQt, "ours/limit", "ours/pyb11", (std::string("ours/") + PyQt).c_str(), "goal");
    int missed = 0;
    for (const Row &r : rows) {
        auto cell = [&](const char *column) -> std::string {
            auto it = r.ns.find(column);
            if (it == r.ns.end())
                return "-";
            char text[32];
            std::snprintf(text, sizeof text, "%.2f", it->second);
            return text;
        };
        auto ratio = [&](const char *column) -> double {
            auto ours = r.ns.find("ours"), other = r.ns.find(column);
            return ours == r.ns.end() || other == r.ns.end() ? 0 : ours->second / other->second;
        };
        auto ratioText = [&](const char *column) -> std::string {
            const double value = ratio(column);
            if (value == 0)
                return "-";
            char text[32];
            std::snprintf(text, sizeof text, "%.2f", value);
            return text;
        };
        // Goals: "limit<=1.3 pybind11<=1" means ours/limit at most 1.3 and ours/pybind11 at most 1.
        bool met = true;
        size_t pos = 0;
        while (pos < r.goal.size()) {
            const size_t end = r.goal.find(' ', pos);
            const std::string term = r.goal.substr(pos, end == std::string::npos ? end : end - pos);
            const size_t le = term.find("<=");
            const double value = ratio(term.substr(0, le).c_str());
            if (value != 0 && value > std::stod(term.substr(le + 2)) * (1 + NoiseMargin))
                met = false;
            pos = end == std::string::npos ? r.goal.size() : end + 1;
        }
        if (!met)
            ++missed;
        std::printf("%-*s %9s %9s %9s %9s %10s %10s %10s  %s%s\n", width, r.conversion.c_str(),
                    cell("ours").c_str(), cell("limit").c_str(), cell("pybind11").c_str(),
                    cell(PyQt).c_str(), ratioText("limit").c_str(), ratioText("pybind11").c_str(),
                    ratioText(PyQt).c_str(), r.goal.c_str(), r.goal.empty() ? "" : met ? "  met" : "  MISSED");
    }
    std::printf("\n%d goal%s missed (ratios within %.0f%% of a goal count as met)\n", missed,
                missed == 1 ? "" : "s", NoiseMargin * 100);
    std::printf("machine at start: load average %s (1, 5, 15 min), %ld cores\n", loadAtStart.c_str(),
                sysconf(_SC_NPROCESSORS_ONLN));
    const CpuTime now = cpuTime();
    if (now.total > cpuAtStart.total)
        std::printf("during the run: %.1f%% of the machine's CPU time went to other guests (steal)\n",
                    100.0 * double(now.stolen - cpuAtStart.stolen) / double(now.total - cpuAtStart.total));
}

// ---- Cases --------------------------------------------------------------------------------------

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

// The unavoidable work of a list to a table: fetch, exact type test, read, store.
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

void listToTableCases()
{
    const double n = double(N);
    PyObject *floats = var("floats");
    PyObject *ints = var("ints");
    PyObject *smallInts = var("small_ints");

    const std::string d = "float list -> PyObject2DoubleTable";
    row(d).goal = "limit<=1.3 pybind11<=1";
    add(d, "ours", n, [=](benchmark::State &s) {
        for (auto _ : s) {
            unsigned long long count = 0;
            releaseTable(s, TPyQtWrapping::PyObject2DoubleTable(floats, count));
        }
    });
    add(d, "limit", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseTable(s, limitFloatListToTable<double>(floats));
    });
    add(d, "pybind11", n, [=](benchmark::State &s) {
        for (auto _ : s)
            benchmark::DoNotOptimize(py::cast<std::vector<double>>(py::handle(floats)));
    });

    const std::string f = "float list -> PyObject2FloatTable";
    row(f).goal = "limit<=1.3 pybind11<=1";
    add(f, "ours", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseTable(s, TPyQtWrapping::PyObject2FloatTable(floats));
    });
    add(f, "limit", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseTable(s, limitFloatListToTable<float>(floats));
    });
    add(f, "pybind11", n, [=](benchmark::State &s) {
        for (auto _ : s)
            benchmark::DoNotOptimize(py::cast<std::vector<float>>(py::handle(floats)));
    });

    const std::string qd = "float list -> PyObject2QListDouble";
    row(qd).goal = "limit<=1.3 pybind11<=1";
    add(qd, "ours", n, [=](benchmark::State &s) {
        for (auto _ : s)
            benchmark::DoNotOptimize(TPyQtWrapping::PyObject2QListDouble(floats));
    });
    add(qd, "limit", n, [=](benchmark::State &s) {
        for (auto _ : s) {
            QList<double> list;
            list.reserve(int(PyList_GET_SIZE(floats)));
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(floats); ++i) {
                PyObject *item = PyList_GET_ITEM(floats, i);
                list.append(Py_TYPE(item) == &PyFloat_Type ? PyFloat_AS_DOUBLE(item) : -9999.0);
            }
            benchmark::DoNotOptimize(list);
        }
    });
    add(qd, "pybind11", n, [=](benchmark::State &s) {
        for (auto _ : s)
            benchmark::DoNotOptimize(py::cast<std::vector<double>>(py::handle(floats)));
    });

    const std::string i = "int list -> PyObject2IntTable";
    row(i).goal = "limit<=1.3 pybind11<=1";
    add(i, "ours", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseTable(s, TPyQtWrapping::PyObject2IntTable(ints));
    });
    add(i, "limit", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseTable(s, limitIntListToTable<int>(ints, INT32_MIN, INT32_MAX));
    });
    add(i, "pybind11", n, [=](benchmark::State &s) {
        for (auto _ : s)
            benchmark::DoNotOptimize(py::cast<std::vector<int>>(py::handle(ints)));
    });

    const std::string h = "small int list -> PyObject2ShortIntTable";
    row(h).goal = "limit<=1.3 pybind11<=1";
    add(h, "ours", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseTable(s, TPyQtWrapping::PyObject2ShortIntTable(smallInts));
    });
    add(h, "limit", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseTable(s, limitIntListToTable<short>(smallInts, -32768, 32767));
    });
    add(h, "pybind11", n, [=](benchmark::State &s) {
        for (auto _ : s)
            benchmark::DoNotOptimize(py::cast<std::vector<short>>(py::handle(smallInts)));
    });

    const std::string qi = "int list -> PyObject2QListInt";
    row(qi).goal = "limit<=1.3 pybind11<=1";
    add(qi, "ours", n, [=](benchmark::State &s) {
        for (auto _ : s)
            benchmark::DoNotOptimize(TPyQtWrapping::PyObject2QListInt(ints));
    });
    add(qi, "limit", n, [=](benchmark::State &s) {
        for (auto _ : s) {
            QList<int> list;
            list.reserve(int(PyList_GET_SIZE(ints)));
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(ints); ++k) {
                PyObject *item = PyList_GET_ITEM(ints, k);
                list.append(Py_TYPE(item) == &PyLong_Type ? int(PyLong_AsLong(item)) : -9999);
            }
            benchmark::DoNotOptimize(list);
        }
    });
    add(qi, "pybind11", n, [=](benchmark::State &s) {
        for (auto _ : s)
            benchmark::DoNotOptimize(py::cast<std::vector<int>>(py::handle(ints)));
    });
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

void numpyCases()
{
    const double n = double(N);
    struct Case {
        const char *name;
        const char *variable;
        double *(*limit)(PyArrayObject *);
        const char *goal;
    } const cases[] = {
        {"numpy float64 -> numPyArray2DoubleTable", "a_f64", limitArray<double>, "limit<=1.1"},
        {"numpy float32 -> numPyArray2DoubleTable", "a_f32", limitArray<float>, "limit<=1.3"},
        {"numpy int32 -> numPyArray2DoubleTable", "a_i32", limitArray<int32_t>, "limit<=1.3"},
        {"numpy int64 -> numPyArray2DoubleTable", "a_i64", limitArray<int64_t>, "limit<=1.3"},
        {"numpy float64 [::2] view -> numPyArray2DoubleTable", "a_strided", limitArray<double>, "limit<=1.3"},
    };
    for (const Case &c : cases) {
        auto *a = TPyQtWrapping::PyObject2NumPyArray(var(c.variable));
        const double elements = double(PyArray_DIMS(a)[0]);
        row(c.name).goal = c.goal;
        add(c.name, "ours", elements, [=](benchmark::State &s) {
            for (auto _ : s) {
                unsigned long long count = 0;
                releaseTable(s, TPyQtWrapping::numPyArray2DoubleTable(a, count));
            }
        });
        auto limit = c.limit;
        add(c.name, "limit", elements, [=](benchmark::State &s) {
            for (auto _ : s)
                releaseTable(s, limit(a));
        });
    }
    (void)n;
}

void tableToListCases()
{
    const double n = double(N);
    auto doubles = std::make_shared<std::vector<double>>();
    auto floats = std::make_shared<std::vector<float>>();
    for (long i = 0; i < N; ++i) {
        doubles->push_back(i * 0.25 + 0.1);
        floats->push_back(float(i * 0.25 + 0.1));
    }
    auto qdoubles = std::make_shared<QList<double>>();
    auto qints = std::make_shared<QList<int>>();
    auto ints = std::make_shared<std::vector<int>>();
    for (long i = 0; i < N; ++i) {
        qdoubles->append(doubles->at(size_t(i)));
        qints->append(int(i * 7 - 3000000));
        ints->push_back(int(i * 7 - 3000000));
    }

    const std::string d = "double[] -> doubleTable2PyObject";
    row(d).goal = "limit<=1.3 pybind11<=1";
    add(d, "ours", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseObject(s, TPyQtWrapping::doubleTable2PyObject(doubles->data(), doubles->size()));
    });
    add(d, "limit", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseObject(s, limitBuildList(Py_ssize_t(doubles->size()),
                                            [&](Py_ssize_t i) { return PyFloat_FromDouble((*doubles)[size_t(i)]); }));
    });
    add(d, "pybind11", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseObject(s, py::cast(*doubles).release().ptr());
    });

    const std::string f = "float[] -> floatTable2PyObject";
    row(f).goal = "limit<=1.3 pybind11<=1";
    add(f, "ours", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseObject(s, TPyQtWrapping::floatTable2PyObject(floats->data(), floats->size()));
    });
    add(f, "limit", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseObject(s, limitBuildList(Py_ssize_t(floats->size()),
                                            [&](Py_ssize_t i) { return PyFloat_FromDouble((*floats)[size_t(i)]); }));
    });
    add(f, "pybind11", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseObject(s, py::cast(*floats).release().ptr());
    });

    const std::string qd = "QList<double> -> QListDouble2PyObject";
    row(qd).goal = "limit<=1.3 pybind11<=1";
    add(qd, "ours", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseObject(s, TPyQtWrapping::QListDouble2PyObject(*qdoubles));
    });
    add(qd, "limit", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseObject(s, limitBuildList(qdoubles->size(),
                                            [&](Py_ssize_t i) { return PyFloat_FromDouble(qdoubles->at(int(i))); }));
    });
    add(qd, "pybind11", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseObject(s, py::cast(*doubles).release().ptr());
    });

    const std::string qi = "QList<int> -> QListInt2PyObject";
    row(qi).goal = "limit<=1.3 pybind11<=1";
    add(qi, "ours", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseObject(s, TPyQtWrapping::QListInt2PyObject(*qints));
    });
    add(qi, "limit", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseObject(s, limitBuildList(qints->size(),
                                            [&](Py_ssize_t i) { return PyLong_FromLong(qints->at(int(i))); }));
    });
    add(qi, "pybind11", n, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseObject(s, py::cast(*ints).release().ptr());
    });
}

void stringCases()
{
    struct Case {
        const char *name;
        const char *variable;
    } const cases[] = {
        {"short ASCII", "s_ascii"},
        {"short Latin-1", "s_latin1"},
        {"short BMP", "s_bmp"},
        {"short astral", "s_astral"},
    };
    for (const Case &c : cases) {
        PyObject *list = var(c.variable);
        const Py_ssize_t count = PyList_GET_SIZE(list);
        auto qstrings = std::make_shared<QVector<QString>>();
        for (Py_ssize_t i = 0; i < count; ++i)
            qstrings->append(TPyQtWrapping::PyObject2QString(PyList_GET_ITEM(list, i)));

        const std::string to = std::string("str (") + c.name + ") -> PyObject2QString";
        row(to).goal = "limit<=1.5";
        add(to, "ours", double(count), [=](benchmark::State &s) {
            for (auto _ : s)
                for (Py_ssize_t i = 0; i < count; ++i)
                    benchmark::DoNotOptimize(TPyQtWrapping::PyObject2QString(PyList_GET_ITEM(list, i)));
        });
        add(to, "limit", double(count), [=](benchmark::State &s) {
            for (auto _ : s)
                for (Py_ssize_t i = 0; i < count; ++i)
                    benchmark::DoNotOptimize(limitReadStr(PyList_GET_ITEM(list, i)));
        });
        add(to, "pybind11", double(count), [=](benchmark::State &s) {
            for (auto _ : s)
                for (Py_ssize_t i = 0; i < count; ++i)
                    benchmark::DoNotOptimize(py::cast<std::string>(py::handle(PyList_GET_ITEM(list, i))));
        });

        if (std::string(c.variable) == "s_astral")
            continue; // building astral strings needs the pair scan; the limit below has none
        const std::string back = std::string("QString (") + c.name + ") -> QString2PyObject";
        row(back).goal = "limit<=1.5";
        add(back, "ours", double(count), [=](benchmark::State &s) {
            for (auto _ : s)
                for (const QString &q : *qstrings)
                    Py_DECREF(TPyQtWrapping::QString2PyObject(q));
        });
        add(back, "limit", double(count), [=](benchmark::State &s) {
            for (auto _ : s)
                for (const QString &q : *qstrings)
                    Py_DECREF(limitWriteStr(q));
        });
    }

    PyObject *longString = var("s_long");
    const double chars = double(PyUnicode_GET_LENGTH(longString));
    const QString longQString = TPyQtWrapping::PyObject2QString(longString);
    const std::string to = "one 8 MB str -> PyObject2QString (per char)";
    row(to).goal = "limit<=1.5";
    add(to, "ours", chars, [=](benchmark::State &s) {
        for (auto _ : s)
            benchmark::DoNotOptimize(TPyQtWrapping::PyObject2QString(longString));
    });
    add(to, "limit", chars, [=](benchmark::State &s) {
        for (auto _ : s)
            benchmark::DoNotOptimize(limitReadStr(longString));
    });
    const std::string back = "one 8 MB QString -> QString2PyObject (per char)";
    row(back).goal = "limit<=1.5";
    add(back, "ours", chars, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseObject(s, TPyQtWrapping::QString2PyObject(longQString));
    });
    add(back, "limit", chars, [=](benchmark::State &s) {
        for (auto _ : s)
            releaseObject(s, limitWriteStr(longQString));
    });

    PyObject *list = var("s_list");
    const Py_ssize_t count = PyList_GET_SIZE(list);
    const QStringList qlist = TPyQtWrapping::PyObject2QStringList(list);
    std::vector<std::string> strings;
    for (const QString &q : qlist)
        strings.push_back(q.toStdString());
    // pybind11 makes std::strings, which keep short texts inline; every QString is a heap block,
    // so the string lists are held to their limit, which makes the same QStrings.
    const std::string sl = "str list -> PyObject2QStringList";
    row(sl).goal = "limit<=1.3";
    add(sl, "ours", double(count), [=](benchmark::State &s) {
        for (auto _ : s)
            benchmark::DoNotOptimize(TPyQtWrapping::PyObject2QStringList(list));
    });
    add(sl, "limit", double(count), [=](benchmark::State &s) {
        for (auto _ : s) {
            QStringList out;
            out.reserve(int(count));
            for (Py_ssize_t i = 0; i < count; ++i)
                out.append(limitReadStr(PyList_GET_ITEM(list, i)));
            benchmark::DoNotOptimize(out);
        }
    });
    add(sl, "pybind11", double(count), [=](benchmark::State &s) {
        for (auto _ : s)
            benchmark::DoNotOptimize(py::cast<std::vector<std::string>>(py::handle(list)));
    });
    const std::string ls = "QStringList -> QStringList2PyObject";
    row(ls).goal = "limit<=1.3 pybind11<=1";
    add(ls, "ours", double(count), [=](benchmark::State &s) {
        for (auto _ : s)
            releaseObject(s, TPyQtWrapping::QStringList2PyObject(qlist));
    });
    add(ls, "limit", double(count), [=](benchmark::State &s) {
        for (auto _ : s)
            releaseObject(s, limitBuildList(qlist.size(), [&](Py_ssize_t i) { return limitWriteStr(qlist.at(int(i))); }));
    });
    add(ls, "pybind11", double(count), [=](benchmark::State &s) {
        for (auto _ : s)
            releaseObject(s, py::cast(strings).release().ptr());
    });
}

void variantCases(bool havePyQt)
{
    struct Case {
        const char *name;
        const char *variable;
        double elements;
    } const cases[] = {
        {"dict {str: [float, float, str]}", "v_dict", double(DictItems)},
        {"float list", "floats", double(N)},
    };
    for (const Case &c : cases) {
        PyObject *value = var(c.variable);
        const QVariant variant = TPyQtWrapping::PyObject2QVariant(value, -1);
        const std::string to = std::string(c.name) + " -> PyObject2QVariant (per item)";
        const std::string back = std::string(c.name) + " QVariant -> Python (per item)";
        const std::string goal = std::string("limit<=1.5") + (havePyQt ? std::string(" ") + PyQt + "<=0.5" : "");
        row(to).goal = goal;
        row(back).goal = goal;
        // Every side releases its result untimed, as the PyQt side's wrapper is.
        add(to, "ours", c.elements, [=](benchmark::State &s) {
            for (auto _ : s) {
                QVariant result = TPyQtWrapping::PyObject2QVariant(value, -1);
                s.PauseTiming();
                result = QVariant();
                s.ResumeTiming();
            }
        });
        add(to, "limit", c.elements, [=](benchmark::State &s) {
            for (auto _ : s) {
                QVariant result = limitToVariant(value);
                s.PauseTiming();
                result = QVariant();
                s.ResumeTiming();
            }
        });
        add(back, "ours", c.elements, [=](benchmark::State &s) {
            for (auto _ : s)
                releaseObject(s, variantToPython(variant));
        });
        add(back, "limit", c.elements, [=](benchmark::State &s) {
            for (auto _ : s)
                releaseObject(s, limitFromVariant(variant));
        });
        if (!havePyQt)
            continue;
        PyObject *toQVariant = var("pyqt_to");
        PyObject *fromQVariant = var("pyqt_back");
        PyObject *wrapped = PyObject_CallFunctionObjArgs(toQVariant, value, nullptr);
        add(to, PyQt, c.elements, [=](benchmark::State &s) {
            for (auto _ : s)
                releaseObject(s, PyObject_CallFunctionObjArgs(toQVariant, value, nullptr));
        });
        add(back, PyQt, c.elements, [=](benchmark::State &s) {
            for (auto _ : s)
                releaseObject(s, PyObject_CallFunctionObjArgs(fromQVariant, wrapped, nullptr));
        });
    }
}

void prepareData()
{
    run("import random, sys\n"
        "random.seed(7)\n"
        "N = " + std::to_string(N) + "\n"
        "floats = [random.random() * 1000 for _ in range(N)]\n"
        "ints = [random.randrange(-2**31, 2**31) for _ in range(N)]\n"
        "small_ints = [random.randrange(-30000, 30000) for _ in range(N)]\n"
        "s_ascii = ['item%d' % i for i in range(N)]\n"
        "s_latin1 = ['caf\\xe9%d' % i for i in range(N)]\n"
        "s_bmp = ['\\u65e5\\u672c%d' % i for i in range(N)]\n"
        "s_astral = ['\\U0001F600%d' % i for i in range(N)]\n"
        "s_long = 'x' * " + std::to_string(LongStringChars) + "\n"
        "s_list = ['name%d' % i for i in range(" + std::to_string(StringListSize) + ")]\n"
        "v_dict = {'key%d' % i: [i * 0.5, i * 0.25, 'v%d' % i] for i in range(" + std::to_string(DictItems) + ")}\n"
        "import numpy as np\n"
        "a_f64 = np.array(floats)\n"
        "a_f32 = a_f64.astype(np.float32)\n"
        "a_i32 = np.array(small_ints, dtype=np.int32)\n"
        "a_i64 = np.array(ints, dtype=np.int64)\n"
        "a_strided = np.array(floats + floats)[::2]\n"
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

bool preparePyQt()
{
    const std::string code = std::string("from ") + PyQt + ".QtCore import QVariant\n"
                             "def pyqt_to(v): return QVariant(v)\n"
                             "def pyqt_back(q): return q.value()\n";
    PyObject *r = PyRun_String(code.c_str(), Py_file_input, globals(), globals());
    if (!r) {
        std::printf("note: %s cannot be imported here, its column is skipped:\n", PyQt);
        PyErr_Print();
        return false;
    }
    Py_DECREF(r);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    // Repetitions of all cases are interleaved in random order, so that drifts of the machine
    // (frequency, other load, heap state) spread over every column alike.
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    static char noColor[] = "--benchmark_color=false";
    std::vector<char *> args{argv[0], interleave, noColor};
    int profileRounds = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0)
            smoke = true;
        else if (std::strcmp(argv[i], "--profile-dict") == 0 && i + 1 < argc)
            profileRounds = std::atoi(argv[++i]);
        else
            args.push_back(argv[i]);
    }
    // What the benchmark cannot control, for a reader to tell a noisy run.
    std::ifstream loadAverage("/proc/loadavg");
    std::string one, five, fifteen;
    if (loadAverage >> one >> five >> fifteen)
        loadAtStart = one + " " + five + " " + fifteen;
    cpuAtStart = cpuTime();
    if (smoke) {
        N = 1000;
        StringListSize = 100;
        DictItems = 10;
        LongStringChars = 1000;
    }
    // Keep freed memory in the process: otherwise every large result is fresh pages from the kernel
    // and the figures measure page clearing rather than conversion.
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, -1);
    keptArenas.reserve(1 << 16);
    PyObjectArenaAllocator arenas{nullptr, reuseArena, keepArena};
    PyObject_SetArenaAllocator(&arenas);
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());

    Py_InitializeEx(0);
    prepareData();
    if (profileRounds > 0)
        return profileDict(profileRounds);
    const bool havePyQt = preparePyQt();
    listToTableCases();
    numpyCases();
    tableToListCases();
    stringCases();
    variantCases(havePyQt);

    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printTable();
    return 0;
}
