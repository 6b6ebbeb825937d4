// Tests: str and bytes to QString and back, the literal codec, string lists and tables.
#include "pythontest.h"

using TextTest = PythonTest;

namespace {

QString units(std::initializer_list<char16_t> codeUnits)
{
    return QString(reinterpret_cast<const QChar *>(codeUnits.begin()), int(codeUnits.size()));
}

// A text with its code units outside printable ASCII as \uXXXX; "<null>" for a null one.
std::string show(const QString &text)
{
    std::string out;
    for (const QChar c : text)
        out += c.unicode() >= 0x20 && c.unicode() < 0x7F
                   ? std::string(1, char(c.unicode()))
                   : QString::asprintf("\\u%04x", c.unicode()).toStdString();
    return text.isNull() ? "<null>" : out;
}

std::string times(const char *piece, int n) { return QString::fromLatin1(piece).repeated(n).toStdString(); }

std::string show(const QStringList &list)
{
    std::string out;
    for (const QString &s : list)
        out += (out.empty() ? "" : ",") + show(s);
    return "[" + out + "]";
}

// Both string-list members in one mode, '?' after a result whose ok flag is false. With the flag
// set beforehand, each must give the same flag.
std::vector<std::string> stringLists(PyObject *o, bool strict)
{
    TPyQtWrapping wrapping;
    bool ok = false, listsOk = false, okBefore = true, listsOkBefore = true;
    W::PyObject2QStringList(o, strict, &okBefore);
    wrapping.PyObject2QListOfQStringList(o, strict, &listsOkBefore);
    const QStringList list = W::PyObject2QStringList(o, strict, &ok);
    std::string lists;
    for (const QStringList &inner : wrapping.PyObject2QListOfQStringList(o, strict, &listsOk))
        lists += show(inner);
    EXPECT_TRUE(ok == okBefore && listsOk == listsOkBefore);
    return {show(list) + (ok ? "" : "?"), "[" + lists + (listsOk ? "]" : "]?")};
}

} // namespace

// Every storage kind of str up to its first U+0000, every code-point class boundary, the byte-order
// marks that QString::fromUtf16 interprets at the start; bytes as UTF-8; nothing else.
TEST_F(TextTest, PythonToQString)
{
    // Texts of a cache line and more are copied and searched in one pass.
    const Values values{{"$ab*32", times("ab", 32)},
                        {"$ab*40", times("ab", 40)},
                        {"$e9*64", times("\\u00e9", 64)},
                        {"$65e5*32", times("\\u65e5", 32)},
                        {"$65e5*33", times("\\u65e5", 33)}};
    const auto convert = [&](const char *e) {
        return Results{{"QString", show(W::PyObject2QString(in(e)))}};
    };
    expectTable(convert, values, R"(
        input                       QString
        ''
        '\x7f\x80\xff'              \u007f\u0080\u00ff
        'a\x00b'                    a
        '\x00'
        '\u0100\ud7ff\ue000\uffff'  \u0100\ud7ff\ue000\uffff
        '\ud800'                    \ud800
        '\udfff'                    \udfff
        '\U00010000\U0010ffff'      \ud800\udc00\udbff\udfff
        '\uffff\U00010000'          \uffff\ud800\udc00
        'x\U0001F600y\x00z'         x\ud83d\ude00y
        '\udc00\ud800a'             \udc00\ud800a
        '\ud83d' + '\ude00'         \ud83d\ude00
        '\ud800\U0001F600'          \ud800\ud83d\ude00
        '\ufeffab'                  ab
        '\ufffeab'                  \u6100\u6200
        '\ufeff\U0001F600'          \ud83d\ude00
        '\ufffe\U0001F600'          \u3dd8\u00de
        'a\ufeff'                   a\ufeff
        '\ufeff'
        '\ufffe'
        b'\xc3\xa9'                 \u00e9
        b'a\x00b'                   a
        b'a\xffb'                   a\ufffdb
        b''
        B(b'sub')                   sub
        None                        <null>
        42                          <null>
        ['a']                       <null>
        S('abc')                    <null>
        bytearray(b'a')             <null>
        'ab' * 32 + '\x00'          $ab*32
        '\xe9' * 64                 $e9*64
        '\u65e5' * 32 + '\x00' * 2  $65e5*32
        '\u65e5' * 33               $65e5*33
        b'ab' * 40 + b'\x00'        $ab*40
    )");
    EXPECT_TRUE(W::PyObject2QString(nullptr).isNull());
}

TEST_F(TextTest, QStringToStrKeepsEveryCodeUnit)
{
    expectEach(
        Cases<QString>{
            {units({0x7F, 0x80}), "'\\x7f\\x80'"},
            {QString(70, QChar(0xFF)), "'" + times("\\xff", 70) + "'"},
            {units({0xFF, 0x100}), "'\\xff\\u0100'"},
            {units({0x100}), "'\\u0100'"},
            {QString(63, QLatin1Char('a')) + QChar(0x100), "'" + times("a", 63) + "\\u0100'"},
            {units({0xD7FF}), "'\\ud7ff'"},
            {units({0xE000, 0xFFFF}), "'\\ue000\\uffff'"},
            {units({0xD800, 0xDC00}), "'\\U00010000'"},
            {units({0xD800, 0xDFFF}), "'\\U000103ff'"},
            {units({0xDBFF, 0xDFFF}), "'\\U0010ffff'"},
            {units({0xD7FF, 0xDC00}), "'\\ud7ff\\udc00'"},
            {units({0xD800}), "'\\ud800'"},
            {units({0xDE00, 0xD83D}), "'\\ude00\\ud83d'"},
            {QString::fromRawData(reinterpret_cast<const QChar *>(u"\xD800\xDC00"), 1),
             "'\\ud800'"}, // no unit read past the end
            {units({0xDBFF, 0xE000}), "'\\udbff\\ue000'"},
            {units({'a', 0, 'b'}), "'a\\x00b'"},
            {units({0xD800, 'x', 0xDBFF, 0xDFFF}), "'\\ud800x\\U0010ffff'"},
            {units({0xD83D, 0xDE00, 0xD800}), "'\\U0001f600\\ud800'"},
            {units({0xFEFF, 'a'}), "'\\ufeffa'"},
            {QString(16, QLatin1Char('b')) + QChar(0xD800), "'" + times("b", 16) + "\\ud800'"},
            {QString(), "''"},
            {QString(QLatin1String("")), "''"},
        },
        [&](const QString &text) {
            PyObject *str = hold(W::QString2PyObject(text));
            EXPECT_EQ(reprOf(W::QString2PyUnicode(text)), text.isEmpty() ? "<null>" : ascii(str));
            if (!text.isEmpty() && !text.contains(QChar(0)) && text.at(0) != QChar(0xFEFF)) {
                EXPECT_EQ(W::PyObject2QString(str), text); // and back
            }
            return std::string(PyUnicode_CheckExact(str) ? "" : "not a str: ") + ascii(str);
        });
}

TEST_F(TextTest, LiteralCodec)
{
    const std::string bad = "TypeError: pythonStringToQString: Error with character ";
    expectEach(Cases<QString>{{QStringLiteral("C:\\temp\\new"), "\"C:\\\\temp\\\\new\""},
                              {QStringLiteral("say \"hi\""), "\"say \"hi\"\""},
                              {QString(), "\"\""},
                              {QStringLiteral("a\\b\u0100"), "u\"a\\b\u0100\""},
                              {QStringLiteral("\u00ff\\%1"), "\"\u00ff\\\\%1\""},
                              {QChar(0) + QStringLiteral("a"), std::string("\"\0a\"", 4)}},
               [](const QString &text) { return W::qstringToPythonString(text).toStdString(); });
    expectEach(
        Cases<QString>{
            {QStringLiteral("C:\\\\temp\\\\new"), "C:\\temp\\new"},
            {QStringLiteral("a\\\\\\b"), "a\\\\b"},
            {QStringLiteral("\\u0041\\u42"), "AB"},
            {QStringLiteral("\\u65e5\\uFFFF"), "\u65e5\uffff"},
            {QStringLiteral("\\u0041\\uzz\\u0042"), "AB" + bad + "zz: 0\n"},
            {QStringLiteral("\\u"), bad + ": 0\n"},
            {QStringLiteral("\\u%1x\\u80000000"), bad + "%1x: 0\n" + bad + "80000000: 0\n"},
            {QStringLiteral("\\u1F600"), "\uf600"},
            {QStringLiteral("a\\u0041"), "a\\u0041"},
            {QStringLiteral("\\U0041\\\\"), "\\U0041\\"},
            {QStringLiteral("\\u4") + QChar(0) + QStringLiteral("1\\u42"),
             "B" + bad + "4\n"}, // U+0000: no number
        },
        [&](const QString &text) {
            const std::string unescaped = W::pythonStringToQString(text).toStdString();
            return unescaped + printed();
        });
}

TEST_F(TextTest, SequencesToStringLists)
{
    const auto convert = [&](const char *e) {
        PyObject *o = in(e);
        const std::vector<std::string> lenient = stringLists(o, false), strict = stringLists(o, true);
        return Results{{"list", lenient[0]},
                       {"lists", lenient[1]},
                       {"strict list", strict[0]},
                       {"strict lists", strict[1]}};
    };
    // list: PyObject2QStringList, lists: PyObject2QListOfQStringList; '?' after a list: ok false.
    expectTable(convert, R"(
        input                 list                 lists              strict list          strict lists
        ['a', b'b', 1, None]  [a,b,<null>,<null>]  []?                [a,b,<null>,<null>]  []?
        [['a', 'b'], ('c',)]  [<null>,<null>]      [[a,b][c]]         [<null>,<null>]      [[a,b][c]]
        [['a'], 'bc', ['d']]  [<null>,bc,<null>]   [[a]]?             [<null>,bc,<null>]   [[a]]?
        [[1, None]]           [<null>]             [[<null>,<null>]]  [<null>]             [[<null>,<null>]]
        'ab'                  [a,b]                []?                []?                  []?
        ''                    []                   []                 []?                  []?
        S('ab')               [a,b]                []?                []?                  []?
        b'ab'                 [<null>,<null>]      []?                []?                  []?
        B(b'a')               [<null>]             []?                [<null>]             []?
        []                    []                   []                 []                   []
        None                  []?                  []?                []?                  []?
        {'a': 1}              []?                  []?                []?                  []?
        Raising()             [v0,<null>,<null>]   []?                [v0,<null>,<null>]   []?
        BadLen()              []                   []                 []                   []
    )");
    bool ok = true;
    EXPECT_TRUE(W::PyObject2QStringList(nullptr, false, &ok).isEmpty() && !ok);
}

TEST_F(TextTest, StringTablesAndListsBothWays)
{
    const auto convert = [&](const char *e) {
        PyObject *o = in(e);
        const int n = PyList_Check(o) ? int(PyList_GET_SIZE(o)) : 0;
        std::unique_ptr<QString[]> table(W::PyObject2QStringTable(o));
        return Results{
            {"table", table ? show(QStringList(QList<QString>(table.get(), table.get() + n))) : "null"}};
    };
    expectTable(convert, R"(
        input                               table
        [b'x', 2.5, 1, True, 's', None]     [x,2.5,1,1,<null>,<null>]
        [0.1, 123456789, 1e10, 1e39, -0.0]  [0.1,1.23457e+08,1e+10,inf,0]
        shrinking(2.0, b'x')                [1,<null>,<null>]
        [b'x']                              [x]
        []                                  null
        (b'x',)                             null
        None                                null
    )");
    EXPECT_EQ(W::PyObject2QStringTable(nullptr), nullptr);

    QString table[] = {QStringLiteral("a"), QString(), QStringLiteral("\u00e9")};
    EXPECT_EQ(reprOf(W::QStringList2PyObject({table[0], table[1], QString(QChar(0)) + table[2]})),
              "['a', '', '\\x00\\xe9']");
    EXPECT_EQ(reprOf(W::QStringList2PyObject({})), "[]");
    EXPECT_EQ(reprOf(W::QStringTable2PyObject(table, 3)), "['a', '', '\\xe9']");
    EXPECT_EQ(reprOf(W::QStringTable2PyObject(table, 0)), "[]");
    EXPECT_EQ(reprOf(W::QStringTable2PyObject(nullptr, 5)), "None");
    EXPECT_EQ(reprOf(W::QStringTable2PyObject(table, ~0ULL)), "<null>");
    EXPECT_EQ(
        printed(),
        typeError(
            "ERROR: converting QString* to Python list: null list returned for size 18446744073709551615"));
}
