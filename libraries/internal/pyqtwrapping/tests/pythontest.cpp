// The fixture every test runs on: one interpreter, inputs from expressions, the end-of-test checks.
#include "pythontest.h"

#include <sstream>

namespace {
PyObject *mainDict() { return PyModule_GetDict(PyImport_AddModule("__main__")); }
} // namespace

void PythonTest::SetUp()
{
    if (!Py_IsInitialized())
        Py_InitializeEx(0); // for the whole run: finalising would only add noise
    exec(R"(
import io, sys
sys.stderr = io.StringIO()
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
    def __init__(s, target): s.target = target
    def __float__(s): del s.target[1:]; return 1.0
    def __index__(s): del s.target[1:]; return 1
def shrinking(*items):
    items = [None, *items]
    items[0] = Shrinker(items)
    return items
)");
}

void PythonTest::TearDown()
{
    if (PyErr_Occurred()) {
        ADD_FAILURE() << "a Python error is pending at the end of the test";
        PyErr_Print();
    }
    EXPECT_EQ(printed(), "") << "output on sys.stderr that the test did not expect";
    for (const PyRef &watched : m_watched)
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
    PyObject *value = hold(run(expression, Py_eval_input));
    if (!value)
        return Py_None; // a borrowed stand-in, so that no test meets a null it did not ask for
    // Objects that the test alone holds, so that nothing but a conversion may change their counts:
    // the value, and the items of such a list or tuple that it alone holds.
    const bool sole = Py_REFCNT(value) == 1, sequence = PyList_CheckExact(value) || PyTuple_CheckExact(value);
    for (Py_ssize_t i = -1; sole && i < (sequence ? PySequence_Fast_GET_SIZE(value) : 0); ++i) {
        PyObject *object = i < 0 ? value : PySequence_Fast_ITEMS(value)[i];
        if (Py_REFCNT(object) == 1)
            m_watched.push_back(PyRef::borrowed(object));
    }
    return value;
}

std::string PythonTest::ascii(PyObject *object)
{
    PyRef text(object ? PyObject_ASCII(object) : nullptr);
    const char *utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8)
        PyErr_Clear();
    return object ? (utf8 ? utf8 : "<repr failed>") : "<null>";
}

std::string PythonTest::printed()
{
    PyRef text(run("_printed()", Py_eval_input));
    const char *utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    return utf8 ? utf8 : "<stderr lost>";
}

bool PythonTest::numpyAvailable()
{
    static const bool available = PyRef(PyImport_ImportModule("numpy")) || (PyErr_Clear(), false);
    return available;
}

std::vector<std::vector<std::string>> PythonTest::tableRows(const std::string &table, const Values &values)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(table);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> cells;
        for (size_t start = line.find_first_not_of(' '), end; start != line.npos;
             start = line.find_first_not_of(' ', end)) {
            end = line.find("  ", start);
            const std::string cell = line.substr(start, end - start);
            cells.push_back(values.count(cell) ? values.at(cell) : cell);
        }
        if (!cells.empty())
            rows.push_back(cells);
    }
    return rows;
}
