// pyqtwrap --reference: the conversion reference. A fixed catalogue of inputs goes through every
// member of every family, and what each gives (its result, its ok flag, what it reported and what
// it left pending) is written as Markdown, one table per family. The project keeps the output as
// docs/conversions.md and the test command writes it again and compares, so the reference always
// says what the library does.
#include "reference.h"

#include "members.h"
#include "metatypes.h"
#include "pyobjectref.h"
#include "valuetext.h"

#include <QObject>

#include <cctype>
#include <cmath>
#include <cstring>

#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

using namespace HostSupport;
using HostSupport::PyObjectRef;
using W = TPyQtWrapping;

namespace {

PyObject *mainDict() { return PyModule_GetDict(PyImport_AddModule("__main__")); }

PyObject *evaluate(const std::string &expression)
{
    return PyRun_String(expression.c_str(), Py_eval_input, mainDict(), mainDict());
}

std::string ascii(PyObject *object)
{
    PyObjectRef text(object ? PyObject_ASCII(object) : nullptr);
    return text ? PyUnicode_AsUTF8(text.get()) : "null";
}

// A new reference's ascii(), the reference released.
std::string owned(PyObject *object) { return ascii(PyObjectRef(object).get()); }

std::string withOk(const std::string &value, bool ok) { return ok ? value : value + ", not ok"; }

// What the interpreter printed to sys.stderr since the last call, on one line, and the class of
// an error left pending (then cleared).
std::string reported()
{
    std::string out;
    if (PyErr_Occurred()) {
        out = std::string("pending ") + reinterpret_cast<PyTypeObject *>(PyErr_Occurred())->tp_name;
        PyErr_Clear();
    }
    PyObjectRef printed(evaluate("_printed()"));
    std::string lines = printed ? PyUnicode_AsUTF8(printed.get()) : "";
    while (!lines.empty() && lines.back() == '\n')
        lines.pop_back();
    for (char &c : lines)
        c = c == '\n' ? ' ' : c;
    return lines.empty() ? out : out.empty() ? lines : lines + "; " + out;
}

// A table cell: code where the text has more than letters, digits and plain punctuation, so that
// Markdown takes nothing in it for markup; "|" escaped either way.
std::string cell(const std::string &s)
{
    std::string out;
    bool plain = true;
    for (char c : s) {
        out += c == '|' ? std::string("\\|") : std::string(1, c);
        plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || std::strchr(" ,.+-[]", c));
    }
    return plain ? out : "`" + out + "`";
}

void heading(const char *title, const char *rules, const std::vector<std::string> &columns)
{
    std::cout << "\n## " << title << "\n\n" << rules << "\n\n|";
    std::string rule = "|";
    for (const std::string &c : columns) {
        std::cout << ' ' << c << " |";
        rule += "---|";
    }
    std::cout << '\n' << rule << '\n';
}

void row(const std::vector<std::string> &cells)
{
    std::cout << '|';
    for (const std::string &c : cells)
        std::cout << ' ' << cell(c) << " |";
    std::cout << '\n';
}

// What the calls of a table reported, printed under it: one item per input and message, naming
// the members that printed it, wrapped to fit a narrow terminal.
class Reports
{
public:
    void add(const std::string &input, const std::string &member, const std::string &message)
    {
        if (message.empty())
            return;
        for (Item &item : m_items) {
            if (item.input == input && item.message == message) {
                item.members += ", " + member;
                return;
            }
        }
        m_items.push_back({input, member, message});
    }
    ~Reports()
    {
        if (!m_items.empty())
            std::cout << "\nReported:\n\n";
        for (const Item &item : m_items)
            print("- `" + item.input + "`" + (item.members.empty() ? "" : ", " + item.members) + ": " +
                  item.message);
    }

private:
    struct Item
    {
        std::string input, members, message;
    };
    static void print(const std::string &text)
    {
        std::string line;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find(' ', start);
            end = end == std::string::npos ? text.size() : end;
            const std::string word = text.substr(start, end - start);
            if (!line.empty() && line.size() + 1 + word.size() > 100) {
                std::cout << line << '\n';
                line = " ";
            }
            line += (line.empty() ? "" : " ") + word;
            start = end + 1;
        }
        std::cout << line << '\n';
    }
    std::vector<Item> m_items;
};

// A family whose inputs are Python expressions: a row per input, a column per member.
struct Member
{
    std::string name;
    std::function<std::string(PyObject *)> convert;
};

void pythonFamily(const char *title, const char *rules, const std::vector<Member> &members,
                  const std::vector<const char *> &inputs)
{
    std::vector<std::string> columns{"input"};
    for (const Member &m : members)
        columns.push_back(m.name);
    heading(title, rules, columns);
    Reports reports;
    for (const char *input : inputs) {
        PyObjectRef value(std::string(input) == "null" ? nullptr : evaluate(input));
        std::vector<std::string> cells{input};
        for (const Member &m : members) {
            cells.push_back(m.convert(value.get()));
            reports.add(input, m.name, reported());
        }
        row(cells);
    }
}

// A family whose inputs are Qt values: a row is the call and what it gives.
struct QtCase
{
    const char *input;
    std::function<std::string()> convert;
};

void qtFamily(const char *title, const char *rules, const char *result, const std::vector<QtCase> &cases)
{
    heading(title, rules, {"member and input", result});
    Reports reports;
    for (const QtCase &c : cases) {
        const std::string out = c.convert();
        row({c.input, out});
        reports.add(c.input, "", reported());
    }
}

// A QString as its UTF-16 units: printable ASCII as itself (" and \ escaped), others as \uXXXX;
// null for a null one.
std::string units(const QString &s)
{
    if (s.isNull())
        return "null";
    std::string out = "\"";
    for (const QChar c : s) {
        const unsigned u = c.unicode();
        out += u == '"' || u == '\\' ? std::string{'\\', char(u)}
               : u >= 0x20 && u < 0x7F
                   ? std::string(1, char(u))
                   : QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0')).toStdString();
    }
    return out + "\"";
}

std::string unitsList(const QStringList &list)
{
    std::string out;
    for (const QString &s : list)
        out += (out.empty() ? "" : ", ") + units(s);
    return "[" + out + "]";
}

template <typename T>
std::string table(const T *t, PyObject *list)
{
    return numbers(t, t ? t + PyList_Size(list) : t, t != nullptr);
}

const char *const Prelude = R"(
import io, sys
sys.stderr = io.StringIO()
def _printed(): text = sys.stderr.getvalue(); sys.stderr.seek(0); sys.stderr.truncate(); return text
I, F, S = (type(name, (base,), {}) for name, base in zip('IFS', (int, float, str)))
class Inty: __index__ = lambda s: 7
class Lying: __len__ = lambda s: 3; __getitem__ = lambda s, i: [1.5, 'x'][i]
cyclic = []; cyclic += [cyclic, 1]
)";

void scalars()
{
    auto number = [](auto read) {
        return [read](PyObject *o) {
            bool ok = false;
            const auto v = read(o, &ok);
            // Integers in full: a 64-bit value through double would be rounded.
            if constexpr (std::is_integral_v<decltype(v)>)
                return withOk(std::to_string(v), ok);
            else
                return withOk(numberText(v).toStdString(), ok);
        };
    };
    pythonFamily(
        "Scalars",
        "Non-strict readers take ints, floats (floored; out of range or NaN give the member's minimum,\n"
        "ok true: 2**63 for PyObject2ULongLong) and bools; strict ones the exact type alone. An int out\n"
        "of a member's range is refused (PyObject2double reads its whole value); a refusal is silent\n"
        "except for null.",
        {{"PyObject2int", number([](PyObject *o, bool *ok) { return W::PyObject2int(o, false, ok); })},
         {"strict", number([](PyObject *o, bool *ok) { return W::PyObject2int(o, true, ok); })},
         {"PyObject2LongLong",
          number([](PyObject *o, bool *ok) { return W::PyObject2LongLong(o, false, ok); })},
         {"PyObject2ULongLong",
          [](PyObject *o) {
              bool ok = false;
              const unsigned long long value = W::PyObject2ULongLong(o, false, &ok);
              return withOk(std::to_string(value), ok);
          }},
         {"PyObject2double", number([](PyObject *o, bool *ok) { return W::PyObject2double(o, false, ok); })},
         {"PyObject2bool",
          [](PyObject *o) {
              bool ok = false;
              const bool value = W::PyObject2bool(o, false, &ok);
              return withOk(boolText(value), ok);
          }}},
        {"42", "-2**31", "2**31", "2**63", "2**64", "2.7", "-2.5", "float('nan')", "1e300", "True", "I(3)",
         "F(1.5)", "'5'", "None", "null"});
}

void texts()
{
    pythonFamily(
        "Texts",
        "A str gives its UTF-16 units up to its first U+0000, bytes their UTF-8 text; anything else a null\n"
        "QString. Back to Python every unit is kept; QString2PyUnicode gives null for an empty text.",
        {{"PyObject2QString", [](PyObject *o) { return units(W::PyObject2QString(o)); }},
         {"QString2PyObject of it",
          [](PyObject *o) { return owned(W::QString2PyObject(W::PyObject2QString(o))); }},
         {"QString2PyUnicode of it",
          [](PyObject *o) { return owned(W::QString2PyUnicode(W::PyObject2QString(o))); }}},
        {"'h\\xe9llo'", "'a\\x00b'", "'\\U0001f600'", "'\\ud800'", "''", "b'caf\\xc3\\xa9'", "b'\\xff'",
         "S('s')", "5", "None", "null"});
    pythonFamily("Python string literals",
                 "Latin-1 text is quoted with its backslashes doubled, other text as u\"...\" unchanged; the "
                 "way back\n"
                 "undoes doubled backslashes or a run of \\uXXXX escapes, reporting a bad one.",
                 {{"qstringToPythonString",
                   [](PyObject *o) { return units(W::qstringToPythonString(W::PyObject2QString(o))); }},
                  {"pythonStringToQString",
                   [](PyObject *o) { return units(W::pythonStringToQString(W::PyObject2QString(o))); }}},
                 {"'plain'", "'back\\\\slash'", "'caf\\xe9'", "'\\u03a9'", "'\\\\u0041\\\\u00e9'",
                  "'\\\\u0041\\\\uzz'"});
}

void stringLists()
{
    auto list = [](bool strict) {
        return [strict](PyObject *o) {
            bool ok = false;
            const QStringList l = W::PyObject2QStringList(o, strict, &ok);
            return withOk(unitsList(l), ok);
        };
    };
    pythonFamily(
        "String lists and tables",
        "Any sequence gives a list of its items' texts (null for items that are no text); strict refuses a\n"
        "str and bytes. A table is made from a list only: numbers as their float's text.",
        {{"PyObject2QStringList", list(false)},
         {"strict", list(true)},
         {"PyObject2QListOfQStringList",
          [](PyObject *o) {
              bool ok = false;
              std::string out;
              for (const QStringList &l : W().PyObject2QListOfQStringList(o, false, &ok))
                  out += (out.empty() ? "" : ", ") + unitsList(l);
              return withOk("[" + out + "]", ok);
          }},
         {"PyObject2QStringTable",
          [](PyObject *o) {
              std::unique_ptr<QString[]> t(W::PyObject2QStringTable(o));
              return t ? unitsList(QStringList(t.get(), t.get() + PyList_Size(o))) : "null";
          }}},
        {"['a', b'b', 1.5]", "('x', S('y'), None)", "'ab'", "b'ab'", "[]", "[['a'], ('b', 'c')]",
         "[['a'], 'bc']", "Lying()", "5", "None", "null"});
}

void tables()
{
    pythonFamily(
        "Tables",
        "A list (never another sequence) becomes a new[] table when every element converts as "
        "PyArg_Parse's\n\"i\", \"h\", \"f\" or \"d\" unit would; otherwise null, silently. The double "
        "table also takes a NumPy array.",
        {{"PyObject2IntTable",
          [](PyObject *o) { return table(std::unique_ptr<int[]>(W::PyObject2IntTable(o)).get(), o); }},
         {"PyObject2ShortIntTable",
          [](PyObject *o) { return table(std::unique_ptr<short[]>(W::PyObject2ShortIntTable(o)).get(), o); }},
         {"PyObject2FloatTable",
          [](PyObject *o) { return table(std::unique_ptr<float[]>(W::PyObject2FloatTable(o)).get(), o); }},
         {"PyObject2DoubleTable",
          [](PyObject *o) {
              unsigned long long count = 0;
              std::unique_ptr<double[]> t(W::PyObject2DoubleTable(o, count));
              return "count " + std::to_string(count) + ", " +
                     numbers(t.get(), t.get() + (t ? count : 0), bool(t));
          }}},
        {"[1, 2.5, True]", "[Inty()]", "[2**31]", "[40000]", "[1e40]", "[float('nan')]", "[1, 'x']", "[]",
         "(1, 2)", "None"});
    pythonFamily(
        "Matrices",
        "A list of equally long lists becomes a table of row tables; a row with a refused element is a "
        "null row,\nand a malformed shape is reported and gives null.",
        {{"PyObject2DoubleMatrix",
          [](PyObject *o) {
              int rows = -1, columns = -1;
              const std::unique_ptr<double *[]> m(W::PyObject2DoubleMatrix(o, rows, columns));
              std::string out;
              for (int r = 0; m && r < rows; ++r) {
                  const std::unique_ptr<double[]> row(m[r]);
                  out += (r ? ", " : "") + numbers(row.get(), row.get() + columns, row != nullptr);
              }
              const std::string shape = std::to_string(rows) + " x " + std::to_string(columns);
              return shape + (m ? ", [" + out + "]" : ", null");
          }}},
        {"[[1, 2], [3, 4]]", "[[1, 'x'], [3, 4]]", "[[1, 2], [3]]", "[[]]", "[]", "[1, 2]", "([1], [2])"});
}

void numberLists()
{
    auto list = [](auto read) {
        return [read](PyObject *o) {
            bool ok = false;
            const auto l = read(o, &ok);
            return withOk(numbers(l.begin(), l.end()), ok);
        };
    };
    pythonFamily(
        "Number lists",
        "Any sequence becomes a QList; an element that is not an exact float (int) is -9999 in its "
        "slot. The ok\nflag is false only for null and non-sequences.",
        {{"PyObject2QListDouble", list([](PyObject *o, bool *ok) { return W::PyObject2QListDouble(o, ok); })},
         {"PyObject2QListInt", list([](PyObject *o, bool *ok) { return W::PyObject2QListInt(o, ok); })}},
        {"[1, 2.5, 'x', None]", "(True, I(4))", "range(3)", "'ab'", "b'ab'", "Lying()", "{1: 2}", "5", "None",
         "null"});
}

void backToPython()
{
    static double doubles[] = {1.5, -0.0, std::nan("")}, row[] = {1, 2}, *rows[] = {row, nullptr};
    static float floats[] = {0.1f};
    qtFamily(
        "Qt values to Python",
        "Every result is a new reference. Tables and lists become lists of Python numbers; a null table "
        "gives\nNone, and a list that cannot be made null (the tables) or None (the matrices), reported.",
        "result",
        {{"doubleTable2PyObject({1.5, -0.0, nan}, 3)",
          [] { return owned(W::doubleTable2PyObject(doubles, 3)); }},
         {"floatTable2PyObject({0.1f}, 1)", [] { return owned(W::floatTable2PyObject(floats, 1)); }},
         {"doubleTable2PyObject(null, 0)", [] { return owned(W::doubleTable2PyObject(nullptr, 0)); }},
         {"doubleTable2PyObject(table, 2**61)",
          [] { return owned(W::doubleTable2PyObject(doubles, 1ULL << 61)); }},
         {"doubleMatrix2PyObject({{1, 2}, null}, 2, 2)",
          [] { return owned(W::doubleMatrix2PyObject(rows, 2, 2)); }},
         {"floatMatrix2PyObject(null, 2, 2)", [] { return owned(W::floatMatrix2PyObject(nullptr, 2, 2)); }},
         {"QListInt2PyObject({1, -2})",
          [] {
              return owned(W::QListInt2PyObject({1, -2}));
          }},
         {"QListFloat2PyObject({0.5f})", [] { return owned(W::QListFloat2PyObject({0.5f})); }},
         {"QListDouble2PyObject({})", [] { return owned(W::QListDouble2PyObject({})); }},
         {"QStringList2PyObject({\"a\", null})",
          [] {
              return owned(W::QStringList2PyObject({QStringLiteral("a"), QString()}));
          }},
         {"QStringTable2PyObject(null, 3)", [] { return owned(W::QStringTable2PyObject(nullptr, 3)); }},
         {"QString2PyObject(null)", [] { return owned(W::QString2PyObject(QString())); }},
         {"QString2PyUnicode(\"\")", [] { return owned(W::QString2PyUnicode(QStringLiteral(""))); }},
         {"bool2PyObject(true)", [] { return owned(W::bool2PyObject(true)); }},
         {"showErrorMessage(\"disk full\")",
          [] { return W::showErrorMessage(QStringLiteral("disk full")), ""; }}});
}

void numpyArrays()
{
    PyObjectRef numpy(PyImport_ImportModule("numpy"));
    PyErr_Clear();
    if (!numpy) {
        std::cout << "\n## NumPy arrays\n\nNumPy cannot be imported by this interpreter: no table.\n";
        return;
    }
    PyDict_SetItemString(mainDict(), "np", numpy.get());
    pythonFamily(
        "NumPy arrays",
        "An object of type numpy.ndarray (by name) is an array; a one-dimensional numeric one becomes "
        "a table of\ndoubles through its strides and byte order. No NumPy function is called.",
        {{"isNumpyArray", [](PyObject *o) { return std::string(boolText(W::isNumpyArray(o))); }},
         {"numPyArray2DoubleTable",
          [](PyObject *o) {
              unsigned long long count = 99;
              std::unique_ptr<double[]> t(W::numPyArray2DoubleTable(W::PyObject2NumPyArray(o), count));
              return "count " + std::to_string(count) + ", " + numbers(t.get(), t.get() + count, bool(t));
          }}},
        {"np.arange(3.0)", "np.array([1, 2], np.int32)", "np.array([2**40], np.uint64)",
         "np.array([1.5], '>f8')", "np.arange(6.0)[::-2]", "np.array([1], np.int8)", "np.zeros((2, 2))",
         "np.float64(1)", "type('ndarray', (), {'__module__': 'numpy'})()"});
}

// A request is an expression, then " as " and a type name; without one the type is inferred.
std::string variantOf(const std::string &request, PyObject *&back, Reports &reports)
{
    const size_t as = request.find(" as ");
    PyObjectRef value(evaluate(request.substr(0, as)));
    const QVariant v = W::PyObject2QVariant(
        value.get(), as == std::string::npos ? -1 : metaTypeId(request.substr(as + 4).c_str()));
    reports.add(request, "PyObject2QVariant", reported());
    back = v.userType() == QMetaType::QVariantList ? W::QVariantList2PyObject(v.toList())
                                                   : W::QVariant2PyObject(v);
    return variantText(v);
}

void variants()
{
    heading(
        "Variants",
        "PyObject2QVariant infers the type (-1) or makes the one requested: integers wrap to its "
        "width, floats\nround toward minus infinity. Back to Python, lists go through QVariantList2PyObject "
        "and everything else\nthrough QVariant2PyObject, which gives None for types it does not convert.",
        {"input", "PyObject2QVariant", "back to Python"});
    Reports reports;
    for (const char *request : {"True",
                                "7",
                                "2**40",
                                "2.5",
                                "'x'",
                                "b'b'",
                                "None",
                                "[1, 'a', [2.5]]",
                                "(1,)",
                                "[]",
                                "{'k': [1.5, None]}",
                                "{'k': {'j': 1}}",
                                "cyclic",
                                "I(3)",
                                "object()",
                                "40000 as short",
                                "200 as char",
                                "-1 as uint",
                                "2.7 as long",
                                "2**64 + 2**40 + 1 as float",
                                "'ab' as QStringList",
                                "'Ctrl+S' as QKeySequence",
                                "'s' as QByteArray",
                                "5 as QStringList",
                                "5 as qlonglong",
                                "{'a': 1} as QVariantList"}) {
        PyObject *back = nullptr;
        const std::string variant = variantOf(request, back, reports);
        const std::string backText = owned(back);
        row({request, variant, backText});
        reports.add(request, "back", reported());
    }
}

void variantsToPython()
{
    qtFamily(
        "Variants to Python",
        "Widths and signs as the variant's type has them, except UInt and QChar, read as signed.", "result",
        {{"QVariant2PyObject(QVariant(4294967295u))",
          [] { return owned(W::QVariant2PyObject(QVariant(4294967295u))); }},
         {"QVariant2PyObject(QVariant(QChar(0x8000)))",
          [] { return owned(W::QVariant2PyObject(QVariant(QChar(0x8000)))); }},
         {"QVariant2PyObject(QVariant(QByteArray(\"a\\0b\", 3)))",
          [] { return owned(W::QVariant2PyObject(QVariant(QByteArray("a\0b", 3)))); }},
         {"QVariant2PyObject(QVariant(qlonglong(-2**40)))",
          [] { return owned(W::QVariant2PyObject(QVariant(-(qlonglong(1) << 40)))); }},
         {"QVariant2PyObject(QVariant())", [] { return owned(W::QVariant2PyObject(QVariant())); }},
         {"QVariant2PyObject(QVariantList{1})", [] { return owned(W::QVariant2PyObject(QVariantList{1})); }},
         {"QVariantList2PyObject({})", [] { return owned(W::QVariantList2PyObject({})); }},
         {"voidType2PyObjectInternal(QMetaType::Int, null)",
          [] { return owned(W::voidType2PyObjectInternal(QMetaType::Int, nullptr)); }}});
}

void objects()
{
    QObject root, a(&root), b(&a), unnamed(&a);
    root.setObjectName(QStringLiteral("root"));
    a.setObjectName(QStringLiteral("a"));
    b.setObjectName(QStringLiteral("b"));
    auto find = [&](const char *path) {
        return [&root, path] {
            const QObject *o = W::QObjectIDQObjectPtr(QString::fromLatin1(path), &root);
            if (!o)
                return std::string("null");
            return o->objectName().isEmpty() ? std::string("unnamed ") + o->metaObject()->className()
                                             : units(o->objectName());
        };
    };
    qtFamily(
        "Object paths",
        "A path of \".\"-separated steps names an object below the root: a step is a child's objectName, "
        "or\n\"Class:N\", the N-th unnamed child of that class (from 1). An empty path names the root.",
        "object",
        {{"QObjectIDQObjectPtr(\"a.b\", root)", find("a.b")},
         {"QObjectIDQObjectPtr(\"\", root)", find("")},
         {"QObjectIDQObjectPtr(\"a.QObject:1\", root)", find("a.QObject:1")},
         {"QObjectIDQObjectPtr(\"a.QObject:2\", root)", find("a.QObject:2")},
         {"QObjectIDQObjectPtr(\"a.x\", root)", find("a.x")},
         {"QObjectPtr2QObjectID(a)", [&a] { return units(W::QObjectPtr2QObjectID(&a)); }},
         {"QObjectPtr2QObjectID(null)", [] { return units(W::QObjectPtr2QObjectID(nullptr)); }},
         {"QObject2PyObject(null)", [] { return owned(W::QObject2PyObject(nullptr)); }}});
    pythonFamily(
        "Object handles",
        "A handle is the object's address in lowercase base 16, as a str; a str or bytes handle names "
        "the\nobject back, null when it does not parse or is wider than a pointer.",
        {{"PyObject2QObject",
          [](PyObject *o) { return QString::number(quintptr(W::PyObject2QObject(o)), 16).toStdString(); }}},
        {"'ff'", "b'1F'", "'0'", "'zz'", "''", "'f' * 17", "255", "None"});
}
// Every member, from the one list of them, with what it takes and gives.
void members()
{
    heading("Members",
            "Every member of TPyQtWrapping, with what it takes and what it gives; the tables below show "
            "what\nit makes of each input.",
            {"member", "takes", "gives"});
#define PYQTWRAPPING_MEMBER_ROW(name, takes, gives) row({#name, takes, gives});
    PYQTWRAPPING_MEMBERS(PYQTWRAPPING_MEMBER_ROW)
#undef PYQTWRAPPING_MEMBER_ROW
}
} // namespace

int writeReference()
{
    std::cout << "# Conversion reference\n\n"
                 "Every family of members on a fixed catalogue of inputs, as the library converts them: "
                 "the result\nof each member, \"not ok\" where its ok flag is false, and under each table "
                 "what the calls reported\nand what they left pending. Inputs are Python expressions; "
                 "`I`, `F` and `S` are subclasses of int,\nfloat and str, `null` a null pointer. "
                 "`pyqtwrap --reference` writes this page; the test command writes it\nagain with the "
                 "Debian 12 build (Qt "
              << QT_VERSION_MAJOR << ", CPython " << PY_MAJOR_VERSION << '.' << PY_MINOR_VERSION
              << ") and fails when it differs.\n";
    PyObjectRef(PyRun_String(Prelude, Py_file_input, mainDict(), mainDict()));
    for (void (*family)() : {members, scalars, texts, stringLists, tables, numberLists, backToPython,
                             numpyArrays, variants, variantsToPython, objects})
        family();
    return 0;
}
