#include "pythontest.h"

namespace {

PyObject *mainDict() { return PyModule_GetDict(PyImport_AddModule("__main__")); }

class InterpreterEnvironment : public ::testing::Environment
{
public:
    void SetUp() override { Py_InitializeEx(0); }
    // The interpreter stays up until the process exits: finalising would only add noise.
};

const auto *const interpreter = ::testing::AddGlobalTestEnvironment(new InterpreterEnvironment);

} // namespace

void PythonTest::SetUp()
{
    exec("import io, sys\n_captured_stderr = io.StringIO()\nsys.stderr = _captured_stderr\n");
    m_stderr = PyRef::borrowed(PyDict_GetItemString(mainDict(), "_captured_stderr"));
}

void PythonTest::TearDown()
{
    if (PyErr_Occurred()) {
        ADD_FAILURE() << "a Python error is pending at the end of the test";
        PyErr_Print();
    }
    EXPECT_EQ(printed(), "") << "output on sys.stderr that the test did not expect";
    for (const Watched &w : m_watched)
        EXPECT_EQ(Py_REFCNT(w.object.get()), w.count) << "reference count of " << reprOf(PyObject_Repr(w.object.get()));
    m_watched.clear();
    m_held.clear();
    exec("sys.stderr = sys.__stderr__\n");
    m_stderr = PyRef();
}

// Only objects that one reference holds: nothing but the conversions may change their counts.
void PythonTest::watch(PyObject *object)
{
    if (Py_REFCNT(object) == 1)
        m_watched.push_back({PyRef::borrowed(object), 2});
}

PyObject *PythonTest::in(const std::string &expression)
{
    PyRef value(PyRun_String(expression.c_str(), Py_eval_input, mainDict(), mainDict()));
    if (!value) {
        PyErr_Print();
        ADD_FAILURE() << "Python raised evaluating " << expression;
        return Py_None; // a borrowed stand-in, so that no test meets a null it did not ask for
    }
    const size_t first = m_watched.size();
    watch(value.get());
    if (first < m_watched.size() && (PyList_CheckExact(value.get()) || PyTuple_CheckExact(value.get()))) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(value.get()); ++i)
            watch(PySequence_Fast_ITEMS(value.get())[i]);
    }
    return hold(value.release());
}

void PythonTest::exec(const std::string &code)
{
    PyRef result(PyRun_String(code.c_str(), Py_file_input, mainDict(), mainDict()));
    if (!result) {
        PyErr_Print();
        ADD_FAILURE() << "Python raised running " << code;
    }
}

PyObject *PythonTest::hold(PyObject *result)
{
    m_held.emplace_back(result);
    return result;
}

std::string PythonTest::reprOf(PyObject *result)
{
    const PyRef owned(result);
    PyRef text(result ? PyObject_Repr(result) : nullptr);
    const char *utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8)
        PyErr_Clear();
    return result ? (utf8 ? utf8 : "<repr failed>") : "<null>";
}

std::string PythonTest::printed()
{
    PyRef text(m_stderr ? PyObject_CallMethod(m_stderr.get(), "getvalue", nullptr) : nullptr);
    if (m_stderr) {
        PyRef(PyObject_CallMethod(m_stderr.get(), "seek", "i", 0));
        PyRef(PyObject_CallMethod(m_stderr.get(), "truncate", nullptr));
    }
    const char *utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8)
        PyErr_Clear();
    return utf8 ? utf8 : "";
}

bool PythonTest::numpyAvailable()
{
    static const bool available = [] {
        PyRef numpy(PyImport_ImportModule("numpy"));
        PyErr_Clear();
        return bool(numpy);
    }();
    return available;
}

// ---- FailingAllocator ------------------------------------------------------------------------------

namespace {

constexpr PyMemAllocatorDomain Domains[3] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};
PyMemAllocatorEx originals[3];
long countdown = -1;
bool persistentFailure = false;
bool failed = false;
long live = 0;

bool shouldFail()
{
    if (countdown < 0)
        return false;
    if (countdown > 0) {
        --countdown;
        return false;
    }
    failed = true;
    if (!persistentFailure)
        countdown = -1;
    return true;
}

PyMemAllocatorEx *original(void *ctx) { return static_cast<PyMemAllocatorEx *>(ctx); }

void *failingMalloc(void *ctx, size_t size)
{
    void *p = shouldFail() ? nullptr : original(ctx)->malloc(original(ctx)->ctx, size);
    live += p != nullptr;
    return p;
}

void *failingCalloc(void *ctx, size_t n, size_t size)
{
    void *p = shouldFail() ? nullptr : original(ctx)->calloc(original(ctx)->ctx, n, size);
    live += p != nullptr;
    return p;
}

void *failingRealloc(void *ctx, void *old, size_t size)
{
    void *p = shouldFail() ? nullptr : original(ctx)->realloc(original(ctx)->ctx, old, size);
    live += (p != nullptr) - (old != nullptr && p != nullptr);
    return p;
}

void failingFree(void *ctx, void *p)
{
    live -= p != nullptr;
    original(ctx)->free(original(ctx)->ctx, p);
}

} // namespace

void FailingAllocator::install()
{
    for (int d = 0; d < 3; ++d) {
        PyMem_GetAllocator(Domains[d], &originals[d]);
        PyMemAllocatorEx hook{&originals[d], &failingMalloc, &failingCalloc, &failingRealloc, &failingFree};
        PyMem_SetAllocator(Domains[d], &hook);
    }
}

void FailingAllocator::uninstall()
{
    for (int d = 0; d < 3; ++d)
        PyMem_SetAllocator(Domains[d], &originals[d]);
}

void FailingAllocator::arm(long k, bool persistent)
{
    countdown = k;
    persistentFailure = persistent;
    failed = false;
}

bool FailingAllocator::disarm()
{
    countdown = -1;
    return failed;
}

long FailingAllocator::liveBlocks() { return live; }
