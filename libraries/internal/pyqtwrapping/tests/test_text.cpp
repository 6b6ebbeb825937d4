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
    EXPECT_EQ(TPyQtWrapping::PyObject2QString(eval("'a\\x00b'").get()), QStringLiteral("a"));
    EXPECT_EQ(TPyQtWrapping::PyObject2QString(eval("'\\U0001F600'").get()), units({0xD83D, 0xDE00}));
    EXPECT_EQ(TPyQtWrapping::PyObject2QString(eval("'\\ufeffab'").get()), QStringLiteral("ab"));
    const QString empty = TPyQtWrapping::PyObject2QString(eval("''").get());
    EXPECT_TRUE(empty.isEmpty());
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
