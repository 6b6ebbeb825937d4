// pyqtwrap: shows what a Python value becomes on the Qt side, and what comes back.
//
// It embeds the interpreter the way a host does: the program initialises it and the calling
// thread holds the interpreter lock throughout.
#include "metatypes.h"
#include "pyobjectref.h"
#include "reference.h"
#include "valuetext.h"
#include "varianttopython.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>

using namespace HostSupport;
using HostSupport::PyObjectRef;

namespace {

const char *const Example = "{'text': 'hello', 'values': [1.5, 2.5], 'names': ('a', 'b')}";

const char *const Description =
    R"(Evaluates a Python value (an expression, '-' to read it from standard input, or a
variable of a script run with --file; without input, a dict of a text, a list of two floats and
a tuple of two texts), converts it with Orn.Kestra.Pyqtwrapping and shows what it became.

By default it converts with PyObject2QVariant and back with QVariant2PyObject (lists and maps
member by member through QVariantList2PyObject). --as uses another conversion family and prints
what it returns, sentinels and ok flags included.

Messages that the library reports are printed by the interpreter to standard error, and so is a
Python error the conversion left pending (the exit status is still 0). An error in the Python
code is printed as the interpreter prints it and the exit status is 2; so is a bad option. An
expression that starts with '-' goes after '--'.)";

const char *const Examples = R"(
Examples:
  pyqtwrap '{"a": [1, 2.5, "x"], "b": (True, None)}'
  pyqtwrap --json '[1, "two", 3.0]'
  pyqtwrap --type QStringList '("x", "y")'
  pyqtwrap --as double-table '[1, 2.5, True]'
  echo 'list(range(3))' | pyqtwrap -
  pyqtwrap -f script.py --var data
  pyqtwrap --reference > conversions.md
)";

std::string text(const QString &s) { return s.toStdString(); }

std::string repr(PyObject *object)
{
    PyObjectRef r(object ? PyObject_Repr(object) : nullptr);
    const char *utf8 = r ? PyUnicode_AsUTF8(r.get()) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return object ? "<unprintable>" : "<null>";
    }
    return utf8;
}

// ---- The default conversion: a variant tree --------------------------------------------------------

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
        return std::isfinite(d) ? QJsonValue(d) : QJsonValue(numberText(d));
    }
    case QMetaType::QString:
        return v.toString().isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(v.toString());
    case QMetaType::QStringList: return QJsonArray::fromStringList(v.toStringList());
    case QMetaType::QKeySequence: return leafText(v);
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

struct Options
{
    int type = -1;
    bool json = false;
    bool strict = false;
};

void showVariant(PyObject *value, const Options &options)
{
    const QVariant variant = TPyQtWrapping::PyObject2QVariant(value, options.type);
    if (PyErr_Occurred()) {
        std::cout.flush();
        std::cerr << "pyqtwrap: the conversion left this Python error pending:\n";
        PyErr_Print();
    }
    PyObjectRef back(variantToPython(variant));
    if (options.json) {
        const QJsonObject out{{QStringLiteral("input"), QString::fromStdString(repr(value))},
                              {QStringLiteral("type"), options.type},
                              {QStringLiteral("variant"), jsonTree(variant)},
                              {QStringLiteral("roundTrip"), QString::fromStdString(repr(back.get()))}};
        std::cout << QJsonDocument(out).toJson(QJsonDocument::Indented).toStdString();
        return;
    }
    std::cout << "Python:     " << repr(value) << '\n';
    std::cout << "QVariant:\n";
    printTree(variant, QString(), 1);
    std::cout << "round trip: " << repr(back.get()) << '\n';
}

// ---- The other families ----------------------------------------------------------------------------

void showStringList(PyObject *value, const Options &options)
{
    bool ok = false;
    const QStringList list = TPyQtWrapping::PyObject2QStringList(value, options.strict, &ok);
    std::cout << "PyObject2QStringList (strict " << boolText(options.strict) << "): ok " << boolText(ok)
              << ", " << list.size() << " strings\n";
    for (int i = 0; i < list.size(); ++i)
        std::cout << "  [" << i << "] " << text(quoted(list.at(i))) << '\n';
}

void showDoubleTable(PyObject *value, const Options &)
{
    unsigned long long count = 0;
    std::unique_ptr<double[]> table(TPyQtWrapping::PyObject2DoubleTable(value, count));
    std::cout << "PyObject2DoubleTable: count " << count << ", "
              << numbers(table.get(), table.get() + count, bool(table)) << '\n';
}

void showIntTable(PyObject *value, const Options &)
{
    std::unique_ptr<int[]> table(TPyQtWrapping::PyObject2IntTable(value));
    const Py_ssize_t n = table ? PyList_GET_SIZE(value) : 0;
    std::cout << "PyObject2IntTable: " << numbers(table.get(), table.get() + n, bool(table)) << '\n';
}

void showDoubleMatrix(PyObject *value, const Options &)
{
    int rows = -1, columns = -1;
    double **matrix = TPyQtWrapping::PyObject2DoubleMatrix(value, rows, columns);
    std::cout << "PyObject2DoubleMatrix: rows " << rows << ", columns " << columns << (matrix ? "" : ", null")
              << '\n';
    for (int r = 0; matrix && r < rows; ++r) {
        std::cout << "  [" << r << "] " << numbers(matrix[r], matrix[r] + columns, matrix[r]) << '\n';
        delete[] matrix[r];
    }
    delete[] matrix;
}

template <typename T>
void printNumberList(const char *member, bool ok, const QList<T> &list)
{
    std::cout << member << ": ok " << boolText(ok) << ", " << numbers(list.begin(), list.end()) << '\n';
}

void showQListDouble(PyObject *value, const Options &)
{
    bool ok = false;
    const QList<double> list = TPyQtWrapping::PyObject2QListDouble(value, &ok);
    printNumberList("PyObject2QListDouble", ok, list);
}

void showQListInt(PyObject *value, const Options &)
{
    bool ok = false;
    const QList<int> list = TPyQtWrapping::PyObject2QListInt(value, &ok);
    printNumberList("PyObject2QListInt", ok, list);
}

void showLiteral(PyObject *value, const Options &)
{
    const QString source = TPyQtWrapping::PyObject2QString(value);
    std::cout << "text:                  " << text(source) << '\n';
    std::cout << "qstringToPythonString: " << text(TPyQtWrapping::qstringToPythonString(source)) << '\n';
    std::cout.flush();
    const QString unescaped = TPyQtWrapping::pythonStringToQString(source);
    std::cout << "pythonStringToQString: " << text(unescaped) << '\n';
}

struct Family
{
    const char *name;
    const char *help;
    void (*show)(PyObject *value, const Options &options);
};

const Family Families[] = {
    {"variant", "PyObject2QVariant and back (default)", showVariant},
    {"stringlist", "PyObject2QStringList (--strict: strict flag)", showStringList},
    {"double-table", "PyObject2DoubleTable (lists, NumPy arrays)", showDoubleTable},
    {"int-table", "PyObject2IntTable", showIntTable},
    {"double-matrix", "PyObject2DoubleMatrix", showDoubleMatrix},
    {"qlist-double", "PyObject2QListDouble", showQListDouble},
    {"qlist-int", "PyObject2QListInt", showQListInt},
    {"literal", "the literal codec both ways", showLiteral},
};

const Family *findFamily(const QString &name)
{
    for (const Family &family : Families) {
        if (name == QLatin1String(family.name))
            return &family;
    }
    return nullptr;
}

// ---- Command line and input ------------------------------------------------------------------------

struct CommandLine
{
    Options options;
    const Family *family = &Families[0];
    QString expression = QString::fromLatin1(Example);
    QString script;
    QString variable;
    bool fromStdin = false;
    bool reference = false;
};

int badUsage(const QCommandLineParser &parser, const QString &why)
{
    std::cerr << "pyqtwrap: " << text(why) << '\n'
              << text(parser.helpText().section(QLatin1Char('\n'), 0, 0))
              << "\n(pyqtwrap --help shows the options)\n";
    return 2;
}

bool parseType(const QString &argument, int &type)
{
    bool isNumber = false;
    type = argument.toInt(&isNumber);
    if (!isNumber)
        type = metaTypeId(argument.toLatin1().constData());
    return type != QMetaType::UnknownType || isNumber;
}

QString familyHelp()
{
    QString help = QStringLiteral("conversion family, one of:");
    for (const Family &family : Families)
        help +=
            QStringLiteral("\n %1 %2").arg(QLatin1String(family.name), -13).arg(QLatin1String(family.help));
    return help;
}

// The tool's options, as its help lists them.
struct OptionSet
{
    const QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("this text")};
    // Ids are those of the Qt the tool runs with: QKeySequence is 75 in Qt 5 and 4107 in Qt 6.
    const QCommandLineOption type{QStringLiteral("type"),
                                  QStringLiteral("type id as a number (10; the ids of Qt %1) or a Qt type "
                                                 "name (QStringList); default -1, inferred")
                                      .arg(QLatin1String(qVersion())),
                                  QStringLiteral("ID|NAME")};
    const QCommandLineOption json{QStringLiteral("json"),
                                  QStringLiteral("print the variant tree, input and round trip as JSON")};
    const QCommandLineOption as{QStringLiteral("as"), familyHelp(), QStringLiteral("FAMILY")};
    const QCommandLineOption strict{QStringLiteral("strict"),
                                    QStringLiteral("the strict flag, for --as stringlist")};
    const QCommandLineOption file{{QStringLiteral("f"), QStringLiteral("file")},
                                  QStringLiteral("run a Python file and take one of its variables"),
                                  QStringLiteral("SCRIPT")};
    const QCommandLineOption var{QStringLiteral("var"),
                                 QStringLiteral("the variable --file takes; result by default"),
                                 QStringLiteral("NAME"), QStringLiteral("result")};
    const QCommandLineOption reference{
        QStringLiteral("reference"), QStringLiteral("write the conversion reference (every family on a fixed "
                                                    "catalogue of inputs) as Markdown")};
};

// Fills the command line from the arguments; -1 to go on, or the exit status.
int parseArguments(const QStringList &arguments, CommandLine &line)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(Description));
    const OptionSet o;
    parser.addOptions({o.help, o.type, o.json, o.as, o.strict, o.file, o.var, o.reference});
    parser.addPositionalArgument(QStringLiteral("EXPR"),
                                 QStringLiteral("a Python expression, or - for standard input"),
                                 QStringLiteral("[EXPR | -]"));

    if (!parser.parse(arguments))
        return badUsage(parser, parser.errorText());
    if (parser.isSet(o.help)) {
        std::cout << text(parser.helpText()) << Examples;
        return 0;
    }
    const QStringList inputs = parser.positionalArguments();
    if (inputs.size() + int(parser.isSet(o.file)) > 1)
        return badUsage(parser, QStringLiteral("only one input: an expression, - or --file"));
    if (parser.isSet(o.type) && !parseType(parser.value(o.type), line.options.type))
        return badUsage(parser, QStringLiteral("--type takes a type id or a Qt type name"));
    if (parser.isSet(o.as) && !(line.family = findFamily(parser.value(o.as))))
        return badUsage(parser, QStringLiteral("unknown family for --as: ") + parser.value(o.as));
    line.reference = parser.isSet(o.reference);
    line.options.json = parser.isSet(o.json);
    line.options.strict = parser.isSet(o.strict);
    line.script = parser.value(o.file);
    line.variable = parser.value(o.var);
    line.fromStdin = inputs.value(0) == QLatin1String("-");
    if (!inputs.isEmpty())
        line.expression = inputs.first();
    return -1;
}

PyObject *evaluate(const QByteArray &source, const char *name, int start)
{
    PyObject *globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObjectRef code(Py_CompileString(source.constData(), name, start));
    return code ? PyEval_EvalCode(code.get(), globals, globals) : nullptr;
}

// The script's variable as a new reference; null, with the reason printed or pending, on failure.
PyObject *scriptValue(const CommandLine &line)
{
    QFile file(line.script);
    if (!file.open(QIODevice::ReadOnly)) {
        std::cerr << "pyqtwrap: cannot read " << text(line.script) << '\n';
        return nullptr;
    }
    if (!PyObjectRef(evaluate(file.readAll(), line.script.toUtf8().constData(), Py_file_input)))
        return nullptr;
    PyObject *globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObject *value = PyDict_GetItemString(globals, line.variable.toUtf8().constData());
    if (!value)
        std::cerr << "pyqtwrap: " << text(line.script) << " sets no variable '" << text(line.variable)
                  << "'\n";
    Py_XINCREF(value);
    return value;
}

PyObject *inputValue(const CommandLine &line)
{
    if (!line.script.isEmpty())
        return scriptValue(line);
    QByteArray expression = line.expression.toUtf8();
    if (line.fromStdin)
        expression =
            QByteArray::fromStdString(std::string(std::istreambuf_iterator<char>(std::cin), {})).trimmed();
    return evaluate(expression, "<expression>", Py_eval_input);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    CommandLine line;
    const int parsed = parseArguments(QCoreApplication::arguments(), line);
    if (parsed >= 0)
        return parsed;

    Py_InitializeEx(0);
    if (line.reference)
        return writeReference();
    PyObjectRef value(inputValue(line));
    if (!value) {
        if (PyErr_Occurred())
            PyErr_Print();
        return 2;
    }
    if (line.family != &Families[0])
        std::cout << "Python: " << repr(value.get()) << '\n';
    line.family->show(value.get(), line.options);
    if (PyErr_Occurred())
        PyErr_Print();
    std::cout.flush();
    return 0;
}
