#include "pythontest.h"

#include <vector>

using TextTest = PythonTest;

namespace {
QString units(std::initializer_list<char16_t> codeUnits)
{
    return QString(reinterpret_cast<const QChar *>(codeUnits.begin()), int(codeUnits.size()));
}
} // namespace

// Every storage kind of str, checked against what QString::fromUtf16 makes of the str's UTF-16
// form read up to its first NUL, byte-order marks included.
TEST_F(TextTest, StrToQStringMatchesFromUtf16OfItsCodeUnits)
{
    const char *strings[] = {
        "''", "'a'", "'caf\\xe9'", "'a\\x00b'", "'\\x00'", "'\\u65e5\\u672c'",
        "'\\U0001F600'", "'x\\U0001F600y\\x00z'", "'\\ud800'", "'\\udc00\\ud800a'",
        "'\\ud83d' + '\\ude00'", "'\\ud800\\U0001F600'", "'\\ufeffab'", "'\\ufffeab'",
        "'\\ufeff\\U0001F600'", "'\\ufffe\\U0001F600'", "'a\\ufeff'", "'\\ufeff'",
        "'\\u0100' * 3", "'\\x7f\\x80\\xff'",
    };
    for (const char *expression : strings) {
        SCOPED_TRACE(expression);
        PyRef str = eval(expression);
        PyRef utf16 = eval(std::string("(") + expression + ").encode('utf-16-le', 'surrogatepass')");
        std::vector<char16_t> buffer(size_t(PyBytes_GET_SIZE(utf16.get())) / 2 + 1, 0);
        memcpy(buffer.data(), PyBytes_AS_STRING(utf16.get()), size_t(PyBytes_GET_SIZE(utf16.get())));
        const QString expected = QString::fromUtf16(buffer.data());

        const Py_ssize_t refs = Py_REFCNT(str.get());
        const QString actual = TPyQtWrapping::PyObject2QString(str.get());
        EXPECT_EQ(actual, expected);
        EXPECT_EQ(actual.isNull(), expected.isNull());
        EXPECT_EQ(Py_REFCNT(str.get()), refs);
    }
}

TEST_F(TextTest, StrToQStringExamples)
{
    EXPECT_EQ(TPyQtWrapping::PyObject2QString(eval("'\\U0001F600'").get()), units({0xD83D, 0xDE00}));
}

TEST_F(TextTest, BytesDecodeAsUtf8UpToTheFirstZeroByte)
{
    EXPECT_EQ(TPyQtWrapping::PyObject2QString(eval("b'\\xc3\\xa9'").get()), QStringLiteral("\u00e9"));
    EXPECT_EQ(TPyQtWrapping::PyObject2QString(eval("b'a\\x00b'").get()), QStringLiteral("a"));
    EXPECT_EQ(TPyQtWrapping::PyObject2QString(eval("b'a\\xffb'").get()), QStringLiteral("a\ufffdb"));
    EXPECT_EQ(TPyQtWrapping::PyObject2QString(eval("type('B', (bytes,), {})(b'sub')").get()),
              QStringLiteral("sub"));
    EXPECT_EQ(takeStderr(), "");
}

TEST_F(TextTest, EverythingElseIsANullString)
{
    const Py_ssize_t noneRefs = Py_REFCNT(Py_None);
    EXPECT_TRUE(TPyQtWrapping::PyObject2QString(nullptr).isNull());
    EXPECT_TRUE(TPyQtWrapping::PyObject2QString(Py_None).isNull());
    EXPECT_EQ(Py_REFCNT(Py_None), noneRefs);
    for (const char *expression : {"42", "['a']", "type('S', (str,), {})('abc')", "bytearray(b'a')"}) {
        SCOPED_TRACE(expression);
        EXPECT_TRUE(TPyQtWrapping::PyObject2QString(eval(expression).get()).isNull());
    }
    EXPECT_EQ(takeStderr(), "");
}

TEST_F(TextTest, QStringToStrKeepsEveryCodeUnit)
{
    struct {
        QString text;
        const char *expected;
    } const cases[] = {
        {QStringLiteral("a"), "'a'"},
        {QStringLiteral("caf\u00e9"), "'caf\\xe9'"},
        {QStringLiteral("\u65e5\u672c"), "'\\u65e5\\u672c'"},
        {units({0xD83D, 0xDE00}), "'\\U0001F600'"},
        {units({0xD800}), "'\\ud800'"},
        {units({0xDE00, 0xD83D}), "'\\ude00\\ud83d'"},
        {units({'a', 0, 'b'}), "'a\\x00b'"},
        {units({0xD800, 'x', 0xDBFF, 0xDFFF}), "'\\ud800x\\U0010FFFF'"},
        {units({0xD83D, 0xDE00, 0xD800}), "'\\U0001F600\\ud800'"},
        {units({0xFEFF, 'a'}), "'\\ufeffa'"},
        {QString(70, QChar(0xE9)), "'\\xe9' * 70"},
        {QString(63, QLatin1Char('a')) + QChar(0x100), "'a' * 63 + '\\u0100'"},
        {QString(64, QLatin1Char('a')) + QChar(0xD83D) + QChar(0xDE00), "'a' * 64 + '\\U0001F600'"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        PyRef expected = eval(c.expected);
        for (auto convert : {TPyQtWrapping::QString2PyObject, TPyQtWrapping::QString2PyUnicode}) {
            PyRef actual(convert(c.text));
            ASSERT_TRUE(actual);
            EXPECT_TRUE(PyUnicode_CheckExact(actual.get()));
            EXPECT_EQ(PyObject_RichCompareBool(actual.get(), expected.get(), Py_EQ), 1)
                << repr(actual.get());
            EXPECT_EQ(Py_REFCNT(actual.get()), 1);
            // Round trip back, as long as nothing stops the reading early.
            if (!c.text.contains(QChar(0)) && c.text.at(0) != QChar(0xFEFF)) {
                EXPECT_EQ(TPyQtWrapping::PyObject2QString(actual.get()), c.text);
            }
        }
    }
}

TEST_F(TextTest, EmptyQStringGivesAnEmptyStrOrNull)
{
    for (const QString &empty : {QString(), QString(QLatin1String(""))}) {
        PyRef str(TPyQtWrapping::QString2PyObject(empty));
        ASSERT_TRUE(str);
        EXPECT_TRUE(PyUnicode_CheckExact(str.get()));
        EXPECT_EQ(PyUnicode_GET_LENGTH(str.get()), 0);
        EXPECT_EQ(TPyQtWrapping::QString2PyUnicode(empty), nullptr);
        EXPECT_FALSE(errorPending());
    }
}

// ---- Python string literals ---------------------------------------------------------------------

TEST_F(TextTest, LiteralCodecWorkedExamples)
{
    const QString u100 = QString(QChar(0x100));
    struct {
        QString (*member)(const QString &);
        QString input;
        QString expected;
        std::string printed;
    } const cases[] = {
        {TPyQtWrapping::qstringToPythonString, QStringLiteral("C:\\temp\\new"), QStringLiteral("\"C:\\\\temp\\\\new\""), ""},
        {TPyQtWrapping::qstringToPythonString, QStringLiteral("say \"hi\""), QStringLiteral("\"say \"hi\"\""), ""},
        {TPyQtWrapping::qstringToPythonString, QString(), QStringLiteral("\"\""), ""},
        {TPyQtWrapping::qstringToPythonString, QStringLiteral("a\\b") + u100, QStringLiteral("u\"a\\b") + u100 + QStringLiteral("\""), ""},
        {TPyQtWrapping::qstringToPythonString, QStringLiteral("\u00ff\\%1"), QStringLiteral("\"\u00ff\\\\%1\""), ""},
        {TPyQtWrapping::pythonStringToQString, QStringLiteral("C:\\\\temp\\\\new"), QStringLiteral("C:\\temp\\new"), ""},
        {TPyQtWrapping::pythonStringToQString, QStringLiteral("\"C:\\\\temp\""), QStringLiteral("\"C:\\temp\""), ""},
        {TPyQtWrapping::pythonStringToQString, QStringLiteral("a\\\\\\b"), QStringLiteral("a\\\\b"), ""},
        {TPyQtWrapping::pythonStringToQString, QStringLiteral("\\u0041\\u42"), QStringLiteral("AB"), ""},
        {TPyQtWrapping::pythonStringToQString, QStringLiteral("\\u65e5\\u672c"), QStringLiteral("\u65e5\u672c"), ""},
        {TPyQtWrapping::pythonStringToQString, QStringLiteral("\\u0041\\uzz\\u0042"), QStringLiteral("AB"),
         typeError("pythonStringToQString: Error with character zz: 0")},
        {TPyQtWrapping::pythonStringToQString, QStringLiteral("\\u0041\\u\\u0042"), QStringLiteral("AB"),
         typeError("pythonStringToQString: Error with character : 0")},
        {TPyQtWrapping::pythonStringToQString, QStringLiteral("\\u"), QString(),
         typeError("pythonStringToQString: Error with character : 0")},
        {TPyQtWrapping::pythonStringToQString, QStringLiteral("\\u%1x\\u80000000"), QString(),
         typeError("pythonStringToQString: Error with character %1x: 0") +
             typeError("pythonStringToQString: Error with character 80000000: 0")},
        {TPyQtWrapping::pythonStringToQString, QStringLiteral("\\u1F600"), QString(QChar(0xF600)), ""},
        {TPyQtWrapping::pythonStringToQString, QStringLiteral("\\u0041B"), QString(QChar(0x41B)), ""},
        {TPyQtWrapping::pythonStringToQString, QStringLiteral("a\\u0041"), QStringLiteral("a\\u0041"), ""},
        {TPyQtWrapping::pythonStringToQString, QStringLiteral("\\U0041\\\\"), QStringLiteral("\\U0041\\"), ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.input.toStdString());
        EXPECT_EQ(c.member(c.input), c.expected);
        EXPECT_EQ(takeStderr(), c.printed);
        EXPECT_FALSE(errorPending());
    }
    const QString latin1 = QStringLiteral("x\\y\u00e9");
    EXPECT_EQ(TPyQtWrapping::pythonStringToQString(TPyQtWrapping::qstringToPythonString(latin1)),
              QLatin1Char('"') + latin1 + QLatin1Char('"'));
}

// ---- String lists and tables --------------------------------------------------------------------

TEST_F(TextTest, StringListToPython)
{
    PyRef list(TPyQtWrapping::QStringList2PyObject({QStringLiteral("a"), QLatin1String(""), QString(),
                                                    QString(QChar(0)) + QLatin1Char('b')}));
    EXPECT_EQ(repr(list.get()), "['a', '', '', '\\x00b']");
    EXPECT_EQ(Py_REFCNT(list.get()), 1);
    PyRef empty(TPyQtWrapping::QStringList2PyObject({}));
    EXPECT_EQ(repr(empty.get()), "[]");
}

TEST_F(TextTest, PythonToStringList)
{
    exec("class RaisingSeq:\n"
         "    def __len__(self): return 3\n"
         "    def __getitem__(self, i):\n"
         "        if i == 1: raise IndexError(i)\n"
         "        return 'v%d' % i\n"
         "class BadLen:\n"
         "    def __len__(self): raise ValueError('len')\n"
         "    def __getitem__(self, i): return 'x'\n");
    const QString null;
    struct {
        const char *expression;
        bool strict;
        QStringList expected;
        bool ok;
    } const cases[] = {
        {"['a', b'b', 1, None]", false, {"a", "b", null, null}, true},
        {"['a', b'b', 1, None]", true, {"a", "b", null, null}, true},
        {"('x', 'y')", true, {"x", "y"}, true},
        {"'abc'", false, {"a", "b", "c"}, true},
        {"'abc'", true, {}, false},
        {"type('S', (str,), {})('ab')", true, {}, false},
        {"b'ab'", false, {null, null}, true},
        {"b'ab'", true, {}, false},
        {"type('B', (bytes,), {})(b'a')", true, {null}, true},
        {"[]", true, {}, true},
        {"None", false, {}, false},
        {"{'a': 1}", false, {}, false},
        {"RaisingSeq()", false, {"v0", null, "v2"}, true},
        {"BadLen()", false, {}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression + std::string(c.strict ? " strict" : ""));
        PyRef object = eval(c.expression);
        const Py_ssize_t refs = Py_REFCNT(object.get());
        bool ok = !c.ok;
        const QStringList actual = TPyQtWrapping::PyObject2QStringList(object.get(), c.strict, &ok);
        EXPECT_EQ(actual, c.expected);
        for (int i = 0; i < actual.size() && i < c.expected.size(); ++i)
            EXPECT_EQ(actual.at(i).isNull(), c.expected.at(i).isNull()) << i;
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(Py_REFCNT(object.get()), refs);
        EXPECT_FALSE(errorPending());
    }
    bool ok = true;
    EXPECT_TRUE(TPyQtWrapping::PyObject2QStringList(nullptr, false, &ok).isEmpty());
    EXPECT_FALSE(ok);
}

TEST_F(TextTest, PythonToListOfStringLists)
{
    using Lists = QList<QStringList>;
    struct {
        const char *expression;
        bool strict;
        Lists expected;
        bool ok;
    } const cases[] = {
        {"[['a', 'b'], ('c',)]", false, Lists{{"a", "b"}, {"c"}}, true},
        {"[['a'], 'bc', ['d']]", false, Lists{{"a"}}, false},
        {"[['a'], 5]", false, Lists{{"a"}}, false},
        {"[[1, None]]", true, Lists{{QString(), QString()}}, true},
        {"''", false, Lists{}, true},
        {"''", true, Lists{}, false},
        {"'ab'", false, Lists{}, false},
        {"None", false, Lists{}, false},
    };
    TPyQtWrapping wrapping;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression);
        PyRef object = eval(c.expression);
        bool ok = !c.ok;
        EXPECT_EQ(wrapping.PyObject2QListOfQStringList(object.get(), c.strict, &ok), c.expected);
        EXPECT_EQ(ok, c.ok);
        EXPECT_FALSE(errorPending());
    }
}

TEST_F(TextTest, PythonListToStringTable)
{
    PyRef list = eval("[b'x', 2.5, 1, True, 's', None, 0.1, 123456789, 1e10, 1e39]");
    std::unique_ptr<QString[]> table(TPyQtWrapping::PyObject2QStringTable(list.get()));
    ASSERT_TRUE(table);
    const char *expected[] = {"x", "2.5", "1", "1", nullptr, nullptr, "0.1", "1.23457e+08", "1e+10", "inf"};
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(table[i].isNull(), expected[i] == nullptr);
        if (expected[i]) {
            EXPECT_EQ(table[i], QLatin1String(expected[i]));
        }
    }
    EXPECT_FALSE(errorPending());

    for (const char *refused : {"[]", "(b'x',)", "None"})
        EXPECT_EQ(TPyQtWrapping::PyObject2QStringTable(eval(refused).get()), nullptr) << refused;
    EXPECT_EQ(TPyQtWrapping::PyObject2QStringTable(nullptr), nullptr);
    EXPECT_FALSE(errorPending());
}

TEST_F(TextTest, StringTableToPython)
{
    PyRef none(TPyQtWrapping::QStringTable2PyObject(nullptr, 5));
    EXPECT_EQ(none.get(), Py_None);
    QString table[] = {QStringLiteral("a"), QString()};
    EXPECT_EQ(repr(PyRef(TPyQtWrapping::QStringTable2PyObject(table, 0)).get()), "[]");
    EXPECT_EQ(repr(PyRef(TPyQtWrapping::QStringTable2PyObject(table, 2)).get()), "['a', '']");

    EXPECT_EQ(TPyQtWrapping::QStringTable2PyObject(table, ~0ULL), nullptr);
    EXPECT_EQ(takeStderr(),
              typeError("ERROR: converting QString* to Python list: null list returned for size "
                        "18446744073709551615"));
    EXPECT_FALSE(errorPending());
}
