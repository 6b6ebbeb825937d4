// The fixture every test runs on: one interpreter, inputs from expressions, the end-of-test checks.
#include "pythontest.h"

#include <algorithm>

#include <pthread.h>

namespace {
// What cases depend on the platform for, stated once: the byte order of UTF-16 units; the width of
// long (Qt makes a long of 2**33 - 1 only where long has 64 bits, and keeps the low 32 elsewhere);
// in Python, below, element counts of views too large to copy here.
const char *const NativeUtf16 = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? "utf-16-le" : "utf-16-be";
constexpr bool WideLong = sizeof(long) == 8;
PyObject *mainDict() { return PyModule_GetDict(PyImport_AddModule("__main__")); }
} // namespace

void PythonTest::SetUp()
{
    if (!Py_IsInitialized())
        Py_InitializeEx(0); // for the whole run: finalising would only add noise
    exec(R"(
import io, sys
sys.stderr = io.StringIO()
# Table lengths beyond memory (64 GiB of doubles, or the 32-bit address space) and beyond size_t.
uncopyable, unsizable = (2**33, 2**61) if sys.maxsize > 2**32 else (2**29 - 1, 2**29)
def _printed(): text = sys.stderr.getvalue(); sys.stderr.seek(0); sys.stderr.truncate(); return text
# Inputs the tests share: subclasses of the built-in types, and hostile objects.
I, F, S, B, D = (type(name, (base,), {}) for name, base in zip('IFSBD', (int, float, str, bytes, dict)))
class Floaty: __float__ = lambda s: 4.5
class Inty: __index__ = lambda s: 7
class NoLen: __getitem__ = lambda s, i: i
class BadLen: __len__ = lambda s: [][0]; __getitem__ = lambda s, i: 'x'
class BadItems(dict): items = lambda s: [(1,), 5, ('k', 2), ('j',)]
class Raising: __len__ = lambda s: 3; __getitem__ = lambda s, i: ('v0', 0, 2.5)[i] if i != 1 else [][0]
class Shrinker: # cuts the list it is given down to one item when it is converted
    def __init__(s, target): s.cut = lambda: target.__delitem__(slice(1, None))
    __float__, __index__ = (lambda s: s.cut() or 1.0), (lambda s: s.cut() or 1)
def shrinking(*items): items = [None, *items]; items[0] = Shrinker(items); return items
# Containers that hold themselves, one nested 100000 deep, and a dict that a member clears.
cyclic = []; cyclic += [cyclic, 1]
selfmap = {}; selfmap['me'] = selfmap
a = []; a.append([a])
deep = globals().get('deep') or __import__('functools').reduce(lambda d, _: [d], range(100000), [])
class Clears(list): __len__ = lambda s: (target.clear(), target.update(z=9), 0)[2]
def clearing(): global target; target = {'b': 1, 'a': Clears(), 'c': 2}; return target
class Empties(list): __len__ = lambda s: (target.clear(), 0)[1]
# Values met again: n levels of a list (or dict) holding the level below twice, 2**n paths.
shared = lambda n, pair=lambda a: [a, a]: __import__('functools').reduce(lambda a, _: pair(a), range(n), [])
# A mapping whose items() is its own list, which the first value's __len__ empties: the only
# references to that pair and value go with it.
def own_items():
    pairs = [('k', Empties()), ('j', 'v')]
    global target; target = pairs
    return type('M', (dict,), {'items': lambda s: pairs})()
)");
}

void PythonTest::TearDown()
{
    if (PyErr_Occurred()) {
        ADD_FAILURE() << "a Python error is pending at the end of the test";
        PyErr_Print();
    }
    EXPECT_EQ(printed(), "") << "output on sys.stderr that the test did not expect";
    for (const PyObjectRef &watched : m_watched)
        EXPECT_EQ(Py_REFCNT(watched.get()), 2) << "reference count of " << ascii(watched.get());
    m_watched.clear();
    m_held.clear();
    exec("sys.stderr = sys.__stderr__\n");
}

PyObject *PythonTest::run(const std::string &code, int start)
{
    PyObject *result = PyRun_String(code.c_str(), start, mainDict(), mainDict());
    if (!result) {
        PyErr_Print();
        ADD_FAILURE() << "Python raised running " << code;
    }
    return result;
}

PyObject *PythonTest::in(const std::string &expression)
{
    if (expression == "null")
        return nullptr;
    PyObject *value = hold(run(expression, Py_eval_input));
    if (!value)
        return Py_None; // a borrowed stand-in, so that no test meets a null it did not ask for
    // Objects that the test alone holds, so that nothing but a conversion may change their counts:
    // the value, and the items of such a list or tuple that it alone holds. An interned str is left
    // out: every expression that names it again shares it.
    const bool sole = Py_REFCNT(value) == 1, sequence = PyList_CheckExact(value) || PyTuple_CheckExact(value);
    for (Py_ssize_t i = -1; sole && i < (sequence ? PySequence_Fast_GET_SIZE(value) : 0); ++i) {
        PyObject *object = i < 0 ? value : PySequence_Fast_ITEMS(value)[i];
        if (Py_REFCNT(object) == 1 && !(PyUnicode_Check(object) && PyUnicode_CHECK_INTERNED(object)))
            m_watched.push_back(HostSupport::borrowedRef(object));
    }
    return value;
}

std::string PythonTest::ascii(PyObject *object)
{
    PyObjectRef text(object ? PyObject_ASCII(object) : nullptr);
    const char *utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8)
        PyErr_Clear();
    return object ? (utf8 ? utf8 : "<repr failed>") : "<null>";
}

std::string PythonTest::printed()
{
    PyObjectRef text(run("_printed()", Py_eval_input));
    const char *utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    return utf8 ? utf8 : "<stderr lost>";
}

bool PythonTest::numpyAvailable()
{
    static const bool available = PyObjectRef(PyImport_ImportModule("numpy")) || (PyErr_Clear(), false);
    return available;
}

void PythonTest::onThread(size_t stack, const std::function<void()> &work)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, stack);
    pthread_t thread;
    const auto run = [](void *w) -> void * {
        const PyGILState_STATE state = PyGILState_Ensure();
        (*static_cast<const std::function<void()> *>(w))();
        PyGILState_Release(state);
        return nullptr;
    };
    Py_BEGIN_ALLOW_THREADS;
    if (pthread_create(&thread, &attributes, run, const_cast<std::function<void()> *>(&work)) == 0)
        pthread_join(thread, nullptr);
    Py_END_ALLOW_THREADS;
    pthread_attr_destroy(&attributes);
}

QString PythonTest::units(const std::string &expression)
{
    PyObject *str = in(expression);
    PyObject *bytes =
        str == Py_None ? nullptr : hold(PyUnicode_AsEncodedString(str, NativeUtf16, "surrogatepass"));
    return bytes ? QString(reinterpret_cast<const QChar *>(PyBytes_AS_STRING(bytes)),
                           int(PyBytes_GET_SIZE(bytes) / 2))
                 : QString();
}

PyObject *PythonTest::decoded(const QString &text)
{
    int order = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? -1 : 1; // any byte-order mark is a character
    return hold(PyUnicode_DecodeUTF16(reinterpret_cast<const char *>(text.utf16()), text.size() * 2,
                                      "surrogatepass", &order));
}

std::string PythonTest::show(const QStringList &list)
{
    std::string out;
    for (const QString &s : list)
        out += (out.empty() ? "" : ",") + show(s);
    return "[" + out + "]";
}

std::string PythonTest::show(const QList<QStringList> &lists)
{
    std::string out;
    for (const QStringList &list : lists)
        out += show(list);
    return "[" + out + "]";
}

std::vector<std::string> PythonTest::split(const std::string &text, const std::string &separator)
{
    std::vector<std::string> pieces;
    for (size_t start = 0, end; start <= text.size(); start = end + separator.size()) {
        end = std::min(text.find(separator, start), text.size());
        pieces.push_back(text.substr(start, end - start));
    }
    return pieces;
}

// Cells are split at two or more spaces.
std::vector<PythonTest::TableRow> PythonTest::tableRows(const std::string &table, const Values &values)
{
    std::vector<TableRow> rows;
    const std::vector<std::string> lines = split(table, "\n");
    for (size_t n = 0; n < lines.size(); ++n) {
        const std::string &line = lines[n];
        std::vector<std::string> cells;
        for (size_t start = line.find_first_not_of(' '), end; start != line.npos;
             start = line.find_first_not_of(' ', end)) {
            end = line.find("  ", start);
            const std::string cell = line.substr(start, end - start);
            static const Values platform{
                {"$wideLong", WideLong ? "long(8589934591)" : "long(-1)"},
                {"$wideULong", WideLong ? "ulong(8589934591)" : "ulong(4294967295)"}};
            cells.push_back(values.count(cell)     ? values.at(cell)
                            : platform.count(cell) ? platform.at(cell)
                            : cell[0] == '='       ? reprOf(run(cell.substr(1), Py_eval_input))
                                                   : cell);
        }
        if (!cells.empty())
            rows.push_back({n, cells});
    }
    return rows;
}
