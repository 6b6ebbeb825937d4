// pyqtwrap: shows what a Python value becomes on the Qt side, and what comes back.
//
// It embeds the interpreter the way a host does: the interpreter is initialised by the program,
// the calling thread holds the interpreter lock throughout, and no QCoreApplication is needed.
#include "tpyqtwrapping.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeySequence>
#include <QLocale>
#include <QTextStream>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>

namespace {

const char *const Usage = R"(usage: pyqtwrap [options] [EXPR | -]
       pyqtwrap [options] -f SCRIPT [--var NAME]

Evaluates a Python value, converts it to the Qt side with Orn.Kestra.Pyqtwrapping and shows what it
became and what comes back to Python.

Input:
  EXPR               a Python expression
  -                  read the expression from standard input
  -f, --file SCRIPT  run a Python file and take the value of a variable
  --var NAME         the variable --file takes (default: result)
  (none)             the built-in example: a dict of a text, a list of two floats and a tuple of
                     two texts

Conversion (default: PyObject2QVariant, then back with QVariant2PyObject; lists and maps come
back through QVariantList2PyObject member by member, nested containers rebuilt by the tool):
  --type ID|NAME     request a type id, as a number (10) or a Qt type name (QStringList);
                     default -1, infer it from the value
  --json             print the variant tree, input and round trip as JSON, types kept
  --as FAMILY        use another conversion family and print what it returns, sentinels and ok
                     flags included:
                       stringlist    PyObject2QStringList (with --strict: strict flag on)
                       double-table  PyObject2DoubleTable (lists and NumPy arrays)
                       int-table     PyObject2IntTable
                       double-matrix PyObject2DoubleMatrix
                       qlist-double  PyObject2QListDouble
                       qlist-int     PyObject2QListInt
                       literal       qstringToPythonString and pythonStringToQString of the text
  --strict           the strict flag, for --as stringlist
  -h, --help         this text

Messages that the library reports are printed by the interpreter to standard error. An error in
the Python code is printed as the interpreter prints it and the exit status is 2; so is a bad
option.

Examples:
  pyqtwrap
  pyqtwrap '{"a": [1, 2.5, "x"], "b": (True, None)}'
  pyqtwrap --json '[1, "two", 3.0]'
  pyqtwrap --type QStringList '("x", "y")'
  pyqtwrap --type 33 70000
  pyqtwrap --as double-table '[1, 2.5, True]'
  pyqtwrap --as literal '"C:\\temp"'
  echo 'list(range(3))' | pyqtwrap -
  pyqtwrap -f script.py --var data
)";

const char *const Example = "{'text': 'hello', 'values': [1.5, 2.5], 'names': ('a', 'b')}";

// Owns one Python reference.
struct Ref {
    explicit Ref(PyObject *o = nullptr) : object(o) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(object); }
    PyObject *get() const { return object; }
    PyObject *object;
};

struct Options {
    QString expression;
    QString script;
    QString variable = QStringLiteral("result");
    QString family;
    bool fromStdin = false;
    bool json = false;
    bool strict = false;
    int type = -1;
};

int badUsage(const std::string &why)
{
    std::cerr << "pyqtwrap: " << why << "\n\n" << Usage;
    return 2;
}

std::string text(const QString &s) { return s.toStdString(); }

std::string repr(PyObject *object)
{
    if (!object)
        return "<null>";
    Ref r(PyObject_Repr(object));
    const char *utf8 = r.get() ? PyUnicode_AsUTF8(r.get()) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return utf8;
}

QString number(double value) { return QString::number(value, 'g', QLocale::FloatingPointShortest); }

QString quoted(const QString &s)
{
    return s.isNull() ? QStringLiteral("null") : TPyQtWrapping::qstringToPythonString(s);
}

QString typeName(const QVariant &v)
{
    return v.isValid() ? QString::fromLatin1(QMetaType::typeName(v.userType()))
                       : QStringLiteral("invalid");
}

// The value of a leaf variant as one piece of text.
QString leafText(const QVariant &v)
{
    switch (v.userType()) {
    case QMetaType::UnknownType: return QStringLiteral("(QVariant())");
    case QMetaType::Bool: return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::Double:
    case QMetaType::Float: return number(v.toDouble());
    case QMetaType::Char:
    case QMetaType::UChar: return QString::number(v.toInt());
    case QMetaType::QString: return quoted(v.toString());
    case QMetaType::QByteArray: return quoted(QString::fromUtf8(v.toByteArray()));
    case QMetaType::QStringList: {
        QStringList items;
        for (const QString &s : v.toStringList())
            items << quoted(s);
        return QLatin1Char('[') + items.join(QStringLiteral(", ")) + QLatin1Char(']');
    }
    case QMetaType::QKeySequence:
        return quoted(v.value<QKeySequence>().toString(QKeySequence::PortableText));
    default: return v.toString();
    }
}

void printTree(const QVariant &v, const QString &label, int depth)
{
    const std::string indent(size_t(depth) * 2, ' ');
    std::cout << indent << text(label) << text(typeName(v));
    if (v.userType() == QMetaType::QVariantList) {
        const QVariantList list = v.toList();
        std::cout << " (" << list.size() << ")\n";
        for (int i = 0; i < list.size(); ++i)
            printTree(list.at(i), QStringLiteral("[%1] ").arg(i), depth + 1);
    } else if (v.userType() == QMetaType::QVariantMap) {
        const QVariantMap map = v.toMap();
        std::cout << " (" << map.size() << ")\n";
        for (auto it = map.begin(); it != map.end(); ++it)
            printTree(it.value(), quoted(it.key()) + QStringLiteral(": "), depth + 1);
    } else {
        std::cout << ' ' << text(leafText(v)) << '\n';
    }
}

QJsonValue jsonValue(const QVariant &v)
{
    switch (v.userType()) {
    case QMetaType::UnknownType: return QJsonValue::Null;
    case QMetaType::Bool: return v.toBool();
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = v.toDouble();
        return std::isfinite(d) ? QJsonValue(d) : QJsonValue(number(d));
    }
    case QMetaType::QString: {
        const QString s = v.toString();
        return s.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(s);
    }
    case QMetaType::QStringList: return QJsonArray::fromStringList(v.toStringList());
    case QMetaType::QKeySequence:
        return v.value<QKeySequence>().toString(QKeySequence::PortableText);
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::UChar: return double(v.toLongLong());
    default: return v.toString();
    }
}

QJsonObject jsonTree(const QVariant &v)
{
    QJsonObject node{{QStringLiteral("type"), typeName(v)}};
    if (v.userType() == QMetaType::QVariantList) {
        QJsonArray members;
        for (const QVariant &member : v.toList())
            members.append(jsonTree(member));
        node.insert(QStringLiteral("value"), members);
    } else if (v.userType() == QMetaType::QVariantMap) {
        QJsonObject members;
        const QVariantMap map = v.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            members.insert(it.key(), jsonTree(it.value()));
        node.insert(QStringLiteral("value"), members);
    } else {
        node.insert(QStringLiteral("value"), jsonValue(v));
    }
    return node;
}

bool isContainer(const QVariant &v)
{
    return v.userType() == QMetaType::QVariantList || v.userType() == QMetaType::QVariantMap;
}

// Back to Python with what the library offers: QVariant2PyObject for a value, QVariantList2PyObject
// for a list's members; the library does not recurse, so nested lists and maps are rebuilt here.
PyObject *toPython(const QVariant &v)
{
    if (v.userType() == QMetaType::QVariantList) {
        const QVariantList members = v.toList();
        PyObject *list = TPyQtWrapping::QVariantList2PyObject(members);
        if (list && PyList_Check(list)) {
            for (int i = 0; i < members.size(); ++i) {
                if (isContainer(members.at(i)))
                    PyList_SetItem(list, i, toPython(members.at(i)));
            }
        }
        return list;
    }
    if (v.userType() == QMetaType::QVariantMap) {
        PyObject *dict = PyDict_New();
        const QVariantMap map = v.toMap();
        for (auto it = map.begin(); dict && it != map.end(); ++it) {
            Ref key(TPyQtWrapping::QString2PyObject(it.key()));
            Ref value(toPython(it.value()));
            if (key.get() && value.get())
                PyDict_SetItem(dict, key.get(), value.get());
        }
        return dict;
    }
    return TPyQtWrapping::QVariant2PyObject(v);
}

int showVariant(PyObject *value, const Options &options)
{
    const QVariant variant = TPyQtWrapping::PyObject2QVariant(value, options.type);
    if (PyErr_Occurred()) {
        std::cout.flush();
        std::cerr << "pyqtwrap: the conversion left this Python error pending:\n";
        PyErr_Print();
    }
    Ref back(toPython(variant));
    if (options.json) {
        const QJsonObject out{{QStringLiteral("input"), QString::fromStdString(repr(value))},
                              {QStringLiteral("type"), options.type},
                              {QStringLiteral("variant"), jsonTree(variant)},
                              {QStringLiteral("roundTrip"), QString::fromStdString(repr(back.get()))}};
        std::cout << QJsonDocument(out).toJson(QJsonDocument::Indented).toStdString();
        return 0;
    }
    std::cout << "Python:     " << repr(value) << '\n';
    std::cout << "QVariant:\n";
    printTree(variant, QString(), 1);
    std::cout << "round trip: " << repr(back.get()) << '\n';
    return 0;
}

template <typename T>
std::string join(const T *values, unsigned long long n)
{
    std::string out = "[";
    for (unsigned long long i = 0; i < n; ++i)
        out += (i ? ", " : "") + text(number(double(values[i])));
    return out + "]";
}

template <typename List>
std::string joinList(const List &values)
{
    std::string out = "[";
    for (int i = 0; i < values.size(); ++i)
        out += (i ? ", " : "") + text(number(double(values.at(i))));
    return out + "]";
}

const char *boolText(bool b) { return b ? "true" : "false"; }

int showFamily(PyObject *value, const Options &options)
{
    std::cout << "Python: " << repr(value) << '\n';
    const QString &family = options.family;
    bool ok = false;
    if (family == QLatin1String("stringlist")) {
        const QStringList list = TPyQtWrapping::PyObject2QStringList(value, options.strict, &ok);
        std::cout << "PyObject2QStringList (strict " << boolText(options.strict) << "): ok "
                  << boolText(ok) << ", " << list.size() << " strings\n";
        for (int i = 0; i < list.size(); ++i)
            std::cout << "  [" << i << "] " << text(quoted(list.at(i))) << '\n';
    } else if (family == QLatin1String("double-table")) {
        unsigned long long count = 0;
        std::unique_ptr<double[]> table(TPyQtWrapping::PyObject2DoubleTable(value, count));
        std::cout << "PyObject2DoubleTable: count " << count << ", "
                  << (table ? join(table.get(), count) : std::string("null")) << '\n';
    } else if (family == QLatin1String("int-table")) {
        std::unique_ptr<int[]> table(TPyQtWrapping::PyObject2IntTable(value));
        const unsigned long long n = PyList_Check(value) ? PyList_GET_SIZE(value) : 0;
        std::cout << "PyObject2IntTable: " << (table ? join(table.get(), n) : std::string("null"))
                  << '\n';
    } else if (family == QLatin1String("double-matrix")) {
        int rows = -1, columns = -1;
        double **matrix = TPyQtWrapping::PyObject2DoubleMatrix(value, rows, columns);
        std::cout << "PyObject2DoubleMatrix: rows " << rows << ", columns " << columns
                  << (matrix ? "" : ", null") << '\n';
        for (int r = 0; matrix && r < rows; ++r) {
            std::cout << "  [" << r << "] "
                      << (matrix[r] ? join(matrix[r], unsigned(columns)) : std::string("null")) << '\n';
            delete[] matrix[r];
        }
        delete[] matrix;
    } else if (family == QLatin1String("qlist-double")) {
        const QList<double> list = TPyQtWrapping::PyObject2QListDouble(value, &ok);
        std::cout << "PyObject2QListDouble: ok " << boolText(ok) << ", " << joinList(list) << '\n';
    } else if (family == QLatin1String("qlist-int")) {
        const QList<int> list = TPyQtWrapping::PyObject2QListInt(value, &ok);
        std::cout << "PyObject2QListInt: ok " << boolText(ok) << ", " << joinList(list) << '\n';
    } else {
        const QString source = TPyQtWrapping::PyObject2QString(value);
        std::cout << "text:                  " << text(source) << '\n';
        std::cout << "qstringToPythonString: " << text(TPyQtWrapping::qstringToPythonString(source))
                  << '\n';
        std::cout.flush();
        const QString unescaped = TPyQtWrapping::pythonStringToQString(source);
        std::cout << "pythonStringToQString: " << text(unescaped) << '\n';
    }
    if (PyErr_Occurred())
        PyErr_Print();
    return 0;
}

bool parseType(const QString &argument, int &type)
{
    bool isNumber = false;
    type = argument.toInt(&isNumber);
    if (isNumber)
        return true;
    type = QMetaType::type(argument.toLatin1().constData());
    return type != QMetaType::UnknownType;
}

// Parses the command line; returns -1 to go on, or the exit status.
int parseArguments(int argc, char **argv, Options &options)
{
    const QStringList families{
        QStringLiteral("stringlist"),   QStringLiteral("double-table"), QStringLiteral("int-table"),
        QStringLiteral("double-matrix"), QStringLiteral("qlist-double"), QStringLiteral("qlist-int"),
        QStringLiteral("literal")};
    bool haveInput = false;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        auto value = [&](QString &out) {
            if (i + 1 >= argc)
                return false;
            out = QString::fromLocal8Bit(argv[++i]);
            return true;
        };
        QString v;
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            std::cout << Usage;
            return 0;
        } else if (arg == QLatin1String("--json")) {
            options.json = true;
        } else if (arg == QLatin1String("--strict")) {
            options.strict = true;
        } else if (arg == QLatin1String("--type")) {
            if (!value(v) || !parseType(v, options.type))
                return badUsage("--type takes a type id or a Qt type name");
        } else if (arg == QLatin1String("--as")) {
            if (!value(options.family) || !families.contains(options.family))
                return badUsage("--as takes one of: " + text(families.join(QStringLiteral(", "))));
        } else if (arg == QLatin1String("-f") || arg == QLatin1String("--file")) {
            if (!value(options.script) || haveInput)
                return badUsage("-f takes one script, and no expression beside it");
            haveInput = true;
        } else if (arg == QLatin1String("--var")) {
            if (!value(options.variable))
                return badUsage("--var takes a variable name");
        } else if (arg == QLatin1String("-")) {
            if (haveInput)
                return badUsage("only one input");
            options.fromStdin = haveInput = true;
        } else if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1 && !arg.at(1).isDigit() &&
                   arg.at(1) != QLatin1Char('.')) {
            return badUsage("unknown option " + text(arg));
        } else {
            if (haveInput)
                return badUsage("only one input");
            options.expression = arg;
            haveInput = true;
        }
    }
    if (!haveInput)
        options.expression = QString::fromLatin1(Example);
    return -1;
}

// The value to convert, as a new reference; null with the Python error set.
PyObject *obtainValue(const Options &options, int &status)
{
    PyObject *globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    if (!options.script.isEmpty()) {
        QFile file(options.script);
        if (!file.open(QIODevice::ReadOnly)) {
            std::cerr << "pyqtwrap: cannot read " << text(options.script) << '\n';
            status = 2;
            return nullptr;
        }
        const QByteArray source = file.readAll();
        Ref code(Py_CompileString(source.constData(), options.script.toUtf8().constData(),
                                  Py_file_input));
        Ref result(code.get() ? PyEval_EvalCode(code.get(), globals, globals) : nullptr);
        if (!result.get())
            return nullptr;
        PyObject *value = PyDict_GetItemString(globals, options.variable.toUtf8().constData());
        if (!value) {
            std::cerr << "pyqtwrap: " << text(options.script) << " sets no variable '"
                      << text(options.variable) << "'\n";
            status = 2;
            return nullptr;
        }
        Py_INCREF(value);
        return value;
    }
    QByteArray expression = options.expression.toUtf8();
    if (options.fromStdin) {
        const std::string input((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
        expression = QByteArray::fromStdString(input).trimmed();
    }
    Ref code(Py_CompileString(expression.constData(), "<expression>", Py_eval_input));
    return code.get() ? PyEval_EvalCode(code.get(), globals, globals) : nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    const int parsed = parseArguments(argc, argv, options);
    if (parsed >= 0)
        return parsed;

    Py_InitializeEx(0);
    int status = 0;
    PyObject *value = obtainValue(options, status);
    if (!value) {
        if (PyErr_Occurred())
            PyErr_Print();
        return 2;
    }
    status = options.family.isEmpty() ? showVariant(value, options) : showFamily(value, options);
    Py_DECREF(value);
    std::cout.flush();
    return status;
}
