// Tests: str and bytes to QString and back, the literal codec, string lists and tables.
#include "pythontest.h"

using TextTest = PythonTest;

// Every storage kind of str up to its first U+0000, every code-point class boundary, the byte-order
// marks that QString::fromUtf16 interprets at the start; bytes as UTF-8; nothing else. Each str's
// code units also go back: QString2PyObject must give the str Python decodes from them, of the
// same storage kind, and QString2PyUnicode the same but null for an empty text.
TEST_F(TextTest, StrAndBytesToQStringAndBack)
{
    const auto convert = [&](const char *e) {
        PyObject *o = in(e);
        if (o && (PyUnicode_Check(o) || o == Py_None)) {
            const QString text = units(e);
            PyObject *str = hold(W::QString2PyObject(text)), *unicode = hold(W::QString2PyUnicode(text));
            EXPECT_TRUE(str && PyUnicode_CheckExact(str) &&
                        PyObject_RichCompareBool(str, decoded(text), Py_EQ));
            EXPECT_TRUE(text.isEmpty() ? !unicode : unicode && PyObject_RichCompareBool(unicode, str, Py_EQ));
        }
        return Results{{"QString", show(W::PyObject2QString(o))}};
    };
    expectTable("PyObject2QString, QString2PyObject, QString2PyUnicode", convert, R"(
        input                                            QString
        '' | '\x00' | '\ufeff' | '\ufffe' | b''          ''
        '\x7f\x80\xff'                                   '\x7f\x80\xff'
        'a\x00b' | b'a\x00b'                             'a'
        '\ud7ff\udc00\udbff\ue000'                       '\ud7ff\udc00\udbff\ue000'
        '\ud800x\udbff\udfff\ud800'                      '\ud800x\U0010ffff\ud800'
        '\uffff\U00010000\U0010ffff'                     '\uffff\U00010000\U0010ffff'
        'x\U0001F600y\x00z'                              'x\U0001f600y'
        '\ud800\U0001F600'                               '\ud800\U0001f600'
        '\ufeffab'                                       'ab'
        '\ufffeab'                                       '\u6100\u6200'
        '\ufffe\U0001F600'                               '\u3dd8\xde'
        b'\xc3\xa9' | B(b'\xc3\xa9')                     '\xe9'
        b'a\xffb'                                        'a\ufffdb'
        None | 42 | ['a'] | S('abc') | bytearray(b'a') | null   <null>
        '\xff' * 70                                      ='\xff' * 70
        'a' * 63 + '\u0100'                              ='a' * 63 + '\u0100'
        '\u65e5' * 32 + '\x00' * 2                       ='\u65e5' * 32
        '\u65e5' * 33                                    ='\u65e5' * 33
        b'ab' * 40 + b'\x00'                             ='ab' * 40
    )");
    const QString firstOfPair = QString::fromRawData(reinterpret_cast<const QChar *>(u"\xD800\xDC00"), 1);
    EXPECT_EQ(reprOf(W::QString2PyObject(firstOfPair)), "'\\ud800'"); // no unit read past the end
}

// Both directions of the literal codec on each text: "\\" reads as "\", and a text that starts with
// "\u" as the 16-bit code units its "\u" pieces name.
TEST_F(TextTest, LiteralCodec)
{
    const std::string bad = "TypeError: pythonStringToQString: Error with character ";
    const auto convert = [&](const char *e) {
        const QString literal = W::qstringToPythonString(units(e)), text = W::pythonStringToQString(units(e));
        return Results{{"literal", show(literal)}, {"text", show(text)}, {"report", printed()}};
    };
    expectTable("qstringToPythonString, pythonStringToQString", convert, R"(
        input                literal                        text    report
        'say "hi"'           '"say "hi""'                   'say "hi"'
        None                 '""'                           <null>
        'a\\b\u0100'         'u"a\\b\u0100"'                'a\\b\u0100'
        '\xff\\%1'           '"\xff\\\\%1"'                 '\xff\\%1'
        '\x00a'              '"\x00a"'                      '\x00a'
        r'a\\\b'             '"a\\\\\\\\\\\\b"'             'a\\\\b'
        r'\u0041\uzz\u0042'  '"\\\\u0041\\\\uzz\\\\u0042"'  'AB'    $zz
        r'\u'                '"\\\\u"'                      <null>  $nothing
        r'\u%1x\u80000000'   '"\\\\u%1x\\\\u80000000"'     <null>  $two
        r'\u1F600'           '"\\\\u1F600"'                 '\uf600'
        r'a\u0041'           '"a\\\\u0041"'                 'a\\u0041'
        '\\u4\x001\\u42'     '"\\\\u4\x001\\\\u42"'         'B'     $zero
    )",
                {{"$zz", bad + "zz: 0\n"},
                 {"$nothing", bad + ": 0\n"},
                 {"$two", bad + "%1x: 0\n" + bad + "80000000: 0\n"},
                 {"$zero", bad + "4\n"}});
}

TEST_F(TextTest, SequencesToStringLists)
{
    const auto convert = [&](const char *e) {
        PyObject *o = in(e);
        Results results;
        const auto print = [&](const auto &value) { return show(value); };
        for (const bool strict : {false, true}) {
            const std::string mode = strict ? "strict " : "";
            results[mode + "list"] =
                withOk([&](bool *ok) { return W::PyObject2QStringList(o, strict, ok); }, print);
            results[mode + "lists"] =
                withOk([&](bool *ok) { return W().PyObject2QListOfQStringList(o, strict, ok); }, print);
        }
        return results;
    };
    // list: PyObject2QStringList, lists: PyObject2QListOfQStringList; '?' after a list: ok false.
    expectTable("PyObject2QStringList, PyObject2QListOfQStringList", convert, R"(
        input                  list                     lists                strict list              strict lists
        ['a', b'b', 1, None]   ['a','b',<null>,<null>]  []?                  ['a','b',<null>,<null>]  []?
        [['a', 'b'], ('c',)]   [<null>,<null>]          [['a','b']['c']]     [<null>,<null>]          [['a','b']['c']]
        [['a'], 'bc', ['d']]   [<null>,'bc',<null>]     [['a']]?             [<null>,'bc',<null>]     [['a']]?
        [[1, None]]            [<null>]                 [[<null>,<null>]]    [<null>]                 [[<null>,<null>]]
        'ab' | S('ab')         ['a','b']                []?                  []?                      []?
        ''                     []                       []                   []?                      []?
        b'ab'                  [<null>,<null>]          []?                  []?                      []?
        B(b'a')                [<null>]                 []?                  [<null>]                 []?
        [] | BadLen()          []                       []                   []                       []
        None | {'a': 1} | null        []?                      []?                  []?                      []?
        Raising()              ['v0',<null>,<null>]     []?                  ['v0',<null>,<null>]     []?
    )");
}

TEST_F(TextTest, StringTablesAndListsBothWays)
{
    const auto convert = [&](const char *e) {
        PyObject *o = in(e);
        const int n = o && PyList_Check(o) ? int(PyList_GET_SIZE(o)) : 0;
        std::unique_ptr<QString[]> table(W::PyObject2QStringTable(o));
        return Results{
            {"table", table ? show(QStringList(QList<QString>(table.get(), table.get() + n))) : "null"}};
    };
    expectTable("PyObject2QStringTable, QStringTable2PyObject", convert, R"(
        input                               table
        [b'x', 2.5, 1, True, 's', None]     ['x','2.5','1','1',<null>,<null>]
        [0.1, 123456789, 1e10, 1e39, -0.0]  ['0.1','1.23457e+08','1e+10','inf','0']
        [b'x']                              ['x']
        [] | (b'x',) | None | null | shrinking(2.0, b'x')  null
    )");

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
