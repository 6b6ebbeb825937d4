#include "pythontest.h"

using TextTest = PythonTest;

namespace {

QString units(std::initializer_list<char16_t> codeUnits)
{
    return QString(reinterpret_cast<const QChar *>(codeUnits.begin()), int(codeUnits.size()));
}

// A string list with null strings shown as "<null>".
std::string show(const QStringList &list)
{
    std::string out;
    for (const QString &s : list)
        out += (out.empty() ? "" : ",") + (s.isNull() ? std::string("<null>") : s.toStdString());
    return "[" + out + "]";
}

} // namespace

// Every storage kind of str and every code-point class boundary, against what QString::fromUtf16
// makes of the str's UTF-16 form up to its first NUL (byte-order marks included).
TEST_F(TextTest, StrToQStringIsFromUtf16OfItsCodeUnits)
{
    for (const char *expression :
         {"''", "'\\x7f\\x80'", "'caf\\xff'", "'a\\x00b'", "'\\x00'", "'\\u0100'", "'\\ud7ff\\ue000'",
          "'\\ud800'", "'\\udfff'", "'\\uffff'", "'\\U00010000'", "'\\uffff\\U00010000'", "'\\U0010ffff'",
          "'x\\U0001F600y\\x00z'", "'\\udc00\\ud800a'", "'\\ud83d' + '\\ude00'", "'\\ud800\\U0001F600'",
          "'\\ufeffab'", "'\\ufffeab'", "'\\ufeff\\U0001F600'", "'\\ufffe\\U0001F600'", "'a\\ufeff'"}) {
        SCOPED_TRACE(expression);
        PyObject *utf16 = in(std::string("(") + expression + ").encode('utf-16-le', 'surrogatepass')");
        std::u16string buffer(size_t(PyBytes_GET_SIZE(utf16)) / 2, u'\0');
        memcpy(&buffer[0], PyBytes_AS_STRING(utf16), buffer.size() * 2);
        const QString expected = QString::fromUtf16(buffer.c_str());
        const QString actual = W::PyObject2QString(in(expression));
        EXPECT_EQ(actual, expected);
        EXPECT_FALSE(actual.isNull());
    }
    EXPECT_EQ(W::PyObject2QString(in("'\\U00010000\\U0010ffff'")), units({0xD800, 0xDC00, 0xDBFF, 0xDFFF}));
}

TEST_F(TextTest, BytesAreUtf8UpToTheirFirstZeroAndEverythingElseIsNull)
{
    const struct {
        const char *expression;
        const char *expected; // null: a null QString
    } cases[] = {
        {"b'\\xc3\\xa9'", "\u00e9"}, {"b'a\\x00b'", "a"}, {"b'a\\xffb'", "a\ufffdb"}, {"b''", ""},
        {"type('B', (bytes,), {})(b'sub')", "sub"}, {"None", nullptr}, {"42", nullptr}, {"['a']", nullptr},
        {"type('S', (str,), {})('abc')", nullptr}, {"bytearray(b'a')", nullptr},
    };
    for (const auto &c : cases) {
        const QString actual = W::PyObject2QString(in(c.expression));
        EXPECT_EQ(actual.isNull(), c.expected == nullptr) << c.expression;
        EXPECT_EQ(actual, QString::fromUtf8(c.expected)) << c.expression;
    }
    EXPECT_TRUE(W::PyObject2QString(nullptr).isNull());
}

TEST_F(TextTest, QStringToStrKeepsEveryCodeUnit)
{
    const struct {
        QString text;
        const char *expected;
    } cases[] = {
        {units({0x7F, 0x80}), "'\\x7f\\x80'"}, {QString(70, QChar(0xFF)), "'\\xff' * 70"},
        {units({0xFF, 0x100}), "'\\xff\\u0100'"}, {QString(63, QLatin1Char('a')) + QChar(0x100), "'a' * 63 + '\\u0100'"},
        {units({0xD7FF}), "'\\ud7ff'"}, {units({0xE000, 0xFFFF}), "'\\ue000\\uffff'"},
        {units({0xD800, 0xDC00}), "'\\U00010000'"}, {units({0xD800, 0xDFFF}), "'\\U000103ff'"},
        {units({0xDBFF, 0xDFFF}), "'\\U0010ffff'"}, {units({0xD7FF, 0xDC00}), "'\\ud7ff\\udc00'"},
        {units({0xD800}), "'\\ud800'"}, {units({0xDE00, 0xD83D}), "'\\ude00\\ud83d'"},
        {units({0xDBFF, 0xE000}), "'\\udbff\\ue000'"}, {units({'a', 0, 'b'}), "'a\\x00b'"},
        {units({0xD800, 'x', 0xDBFF, 0xDFFF}), "'\\ud800x\\U0010FFFF'"},
        {units({0xD83D, 0xDE00, 0xD800}), "'\\U0001F600\\ud800'"}, {units({0xFEFF, 'a'}), "'\\ufeffa'"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        for (auto convert : {W::QString2PyObject, W::QString2PyUnicode}) {
            PyObject *actual = hold(convert(c.text));
            ASSERT_TRUE(actual && PyUnicode_CheckExact(actual));
            EXPECT_EQ(PyObject_RichCompareBool(actual, in(c.expected), Py_EQ), 1) << reprOf(PyObject_Repr(actual));
            if (!c.text.contains(QChar(0)) && c.text.at(0) != QChar(0xFEFF))
                EXPECT_EQ(W::PyObject2QString(actual), c.text);
        }
    }
    for (const QString &empty : {QString(), QString(QLatin1String(""))}) {
        EXPECT_EQ(reprOf(W::QString2PyObject(empty)), "''");
        EXPECT_EQ(W::QString2PyUnicode(empty), nullptr);
    }
}

TEST_F(TextTest, LiteralCodec)
{
    const QString u100 = QString(QChar(0x100));
    const struct {
        QString (*member)(const QString &);
        QString input, expected;
        std::string printed;
    } cases[] = {
        {W::qstringToPythonString, QStringLiteral("C:\\temp\\new"), QStringLiteral("\"C:\\\\temp\\\\new\""), ""},
        {W::qstringToPythonString, QStringLiteral("say \"hi\""), QStringLiteral("\"say \"hi\"\""), ""},
        {W::qstringToPythonString, QString(), QStringLiteral("\"\""), ""},
        {W::qstringToPythonString, QStringLiteral("a\\b") + u100, QStringLiteral("u\"a\\b") + u100 + QStringLiteral("\""), ""},
        {W::qstringToPythonString, QStringLiteral("\u00ff\\%1"), QStringLiteral("\"\u00ff\\\\%1\""), ""},
        {W::pythonStringToQString, QStringLiteral("C:\\\\temp\\\\new"), QStringLiteral("C:\\temp\\new"), ""},
        {W::pythonStringToQString, QStringLiteral("a\\\\\\b"), QStringLiteral("a\\\\b"), ""},
        {W::pythonStringToQString, QStringLiteral("\\u0041\\u42"), QStringLiteral("AB"), ""},
        {W::pythonStringToQString, QStringLiteral("\\u65e5\\uFFFF"), QStringLiteral("\u65e5\uffff"), ""},
        {W::pythonStringToQString, QStringLiteral("\\u0041\\uzz\\u0042"), QStringLiteral("AB"),
         typeError("pythonStringToQString: Error with character zz: 0")},
        {W::pythonStringToQString, QStringLiteral("\\u"), QString(), typeError("pythonStringToQString: Error with character : 0")},
        {W::pythonStringToQString, QStringLiteral("\\u%1x\\u80000000"), QString(),
         typeError("pythonStringToQString: Error with character %1x: 0") +
             typeError("pythonStringToQString: Error with character 80000000: 0")},
        {W::pythonStringToQString, QStringLiteral("\\u1F600"), QString(QChar(0xF600)), ""},
        {W::pythonStringToQString, QStringLiteral("a\\u0041"), QStringLiteral("a\\u0041"), ""},
        {W::pythonStringToQString, QStringLiteral("\\U0041\\\\"), QStringLiteral("\\U0041\\"), ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.member(c.input), c.expected) << c.input.toStdString();
        EXPECT_EQ(printed(), c.printed) << c.input.toStdString();
    }
}

TEST_F(TextTest, SequencesToStringLists)
{
    exec("class RaisingSeq:\n"
         "    def __len__(self): return 3\n"
         "    def __getitem__(self, i):\n"
         "        if i == 1: raise IndexError(i)\n"
         "        return 'v%d' % i\n"
         "class BadLen:\n"
         "    def __len__(self): raise ValueError('len')\n"
         "    def __getitem__(self, i): return 'x'\n");
    const struct {
        const char *expression;
        bool strict;
        const char *list, *lists; // PyObject2QStringList, PyObject2QListOfQStringList; '?' when ok is false
    } cases[] = {
        {"['a', b'b', 1, None]", false, "[a,b,<null>,<null>]", "[]?"},
        {"('x', 'y')", true, "[x,y]", "[]?"},
        {"[['a', 'b'], ('c',)]", false, "[<null>,<null>]", "[[a,b][c]]"},
        {"[['a'], 'bc', ['d']]", false, "[<null>,bc,<null>]", "[[a]]?"},
        {"[[1, None]]", true, "[<null>]", "[[<null>,<null>]]"},
        {"'ab'", false, "[a,b]", "[]?"},
        {"''", false, "[]", "[]"},
        {"'abc'", true, "[]?", "[]?"},
        {"type('S', (str,), {})('ab')", true, "[]?", "[]?"},
        {"b'ab'", false, "[<null>,<null>]", "[]?"},
        {"b'ab'", true, "[]?", "[]?"},
        {"type('B', (bytes,), {})(b'a')", true, "[<null>]", "[]?"},
        {"[]", true, "[]", "[]"},
        {"None", false, "[]?", "[]?"},
        {"{'a': 1}", false, "[]?", "[]?"},
        {"RaisingSeq()", false, "[v0,<null>,v2]", "[]?"},
        {"BadLen()", false, "[]", "[]"},
    };
    TPyQtWrapping wrapping;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression + std::string(c.strict ? " strict" : ""));
        PyObject *o = in(c.expression);
        bool ok = false, listsOk = false;
        const QStringList list = W::PyObject2QStringList(o, c.strict, &ok);
        EXPECT_EQ(show(list) + (ok ? "" : "?"), c.list);
        std::string lists;
        for (const QStringList &inner : wrapping.PyObject2QListOfQStringList(o, c.strict, &listsOk))
            lists += show(inner);
        EXPECT_EQ("[" + lists + "]" + (listsOk ? "" : "?"), c.lists);
    }
    bool ok = true;
    EXPECT_TRUE(W::PyObject2QStringList(nullptr, false, &ok).isEmpty());
    EXPECT_FALSE(ok);
}

TEST_F(TextTest, StringTablesAndListsBothWays)
{
    exec("class Shrinker:\n"
         "    def __float__(self):\n"
         "        del shrinking[1:]\n"
         "        return 1.0\n"
         "shrinking = [Shrinker(), 2.0, b'x']\n");
    const struct {
        const char *expression;
        const char *table; // the table's strings; "null" for no table
    } cases[] = {
        {"[b'x', 2.5, 1, True, 's', None, 0.1, 123456789, 1e10, 1e39, -0.0]",
         "[x,2.5,1,1,<null>,<null>,0.1,1.23457e+08,1e+10,inf,0]"},
        {"shrinking", "[1,<null>,<null>]"}, {"[]", "null"}, {"(b'x',)", "null"}, {"None", "null"},
    };
    for (const auto &c : cases) {
        PyObject *o = in(c.expression);
        const int n = PyList_Check(o) ? int(PyList_GET_SIZE(o)) : 0;
        std::unique_ptr<QString[]> table(W::PyObject2QStringTable(o));
        QStringList strings;
        for (int i = 0; table && i < n; ++i)
            strings << table[i];
        EXPECT_EQ(table ? show(strings) : "null", c.table) << c.expression;
    }
    EXPECT_EQ(W::PyObject2QStringTable(nullptr), nullptr);

    QString table[] = {QStringLiteral("a"), QString(), QStringLiteral("\u00e9")};
    EXPECT_EQ(reprOf(W::QStringList2PyObject({table[0], table[1], QString(QChar(0)) + table[2]})), "['a', '', '\\x00\u00e9']");
    EXPECT_EQ(reprOf(W::QStringList2PyObject({})), "[]");
    EXPECT_EQ(reprOf(W::QStringTable2PyObject(table, 3)), "['a', '', '\u00e9']");
    EXPECT_EQ(reprOf(W::QStringTable2PyObject(table, 0)), "[]");
    EXPECT_EQ(reprOf(W::QStringTable2PyObject(nullptr, 5)), "None");
    EXPECT_EQ(reprOf(W::QStringTable2PyObject(table, ~0ULL)), "<null>");
    EXPECT_EQ(printed(), typeError("ERROR: converting QString* to Python list: null list returned for size 18446744073709551615"));
}
