#include "pythontest.h"

#include <QKeySequence>

#include <cmath>

using VariantsTest = PythonTest;

namespace {

// A variant tree as one line: type name and value, containers with their members.
std::string describe(const QVariant &v)
{
    if (!v.isValid())
        return "invalid";
    std::string out;
    switch (v.userType()) {
    case QMetaType::QVariantList: {
        out = "list[";
        const QVariantList list = v.toList();
        for (int i = 0; i < list.size(); ++i)
            out += (i ? ", " : "") + describe(list.at(i));
        return out + "]";
    }
    case QMetaType::QVariantMap: {
        out = "map{";
        const QVariantMap map = v.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            out += (it == map.begin() ? "" : ", ") + it.key().toStdString() + ": " + describe(it.value());
        return out + "}";
    }
    case QMetaType::QString:
        return v.toString().isNull() ? "QString(null)" : "QString(" + v.toString().toStdString() + ")";
    case QMetaType::QStringList:
        return "QStringList(" + v.toStringList().join(QLatin1Char(',')).toStdString() + ")";
    case QMetaType::Char:
    case QMetaType::UChar:
        return std::string(v.typeName()) + "(" + std::to_string(v.toInt()) + ")";
    case QMetaType::QKeySequence:
        return "QKeySequence(" + v.value<QKeySequence>().toString().toStdString() + ")";
    default:
        return std::string(v.typeName()) + "(" + v.toString().toStdString() + ")";
    }
}

} // namespace

TEST_F(VariantsTest, PythonToVariantByInferenceAndRequest)
{
    exec("class S(str): pass\n"
         "class I(int): pass\n"
         "class D(dict): pass\n");
    struct {
        const char *expression;
        int type;
        const char *expected;
    } const cases[] = {
        {"5", -1, "int(5)"},
        {"5.5", -1, "double(5.5)"},
        {"True", -1, "bool(true)"},
        {"'s'", -1, "QString(s)"},
        {"b'b'", -1, "QString(b)"},
        {"None", -1, "invalid"},
        {"[]", -1, "list[]"},
        {"{}", -1, "map{}"},
        {"(1, 'a', [2.5])", -1, "list[int(1), QString(a), list[double(2.5)]]"},
        {"{'k': {'j': None}}", -1, "map{k: map{j: invalid}}"},
        {"S('ab')", -1, "list[QString(a), QString(b)]"},
        {"bytearray(b'ab')", -1, "list[int(97), int(98)]"},
        {"range(2)", -1, "list[int(0), int(1)]"},
        {"I(3)", -1, "invalid"},
        {"2**31", -1, "invalid"},
        {"object()", -1, "invalid"},
        {"{b'k': 1, 'k': 2}", -1, "map{k: int(2)}"},
        {"'s'", 12, "QString(s)"},
        {"None", 10, "QString(null)"},
        {"D(a=1)", -1, "invalid"},
        {"D(a=1)", 8, "map{a: int(1)}"},
        {"'ab'", 11, "QStringList(a,b)"},
        {"5", 11, "invalid"},
        {"{'a': 1}", 11, "invalid"},
        {"5", 4, "invalid"}, {"5", 5, "invalid"}, {"'a'", 7, "invalid"},
        {"5", -2, "invalid"}, {"5", 76, "invalid"}, {"5", 0, "invalid"},
        {"70000", 33, "short(4464)"}, {"40000", 33, "short(-25536)"},
        {"-1", 37, "uchar(255)"}, {"-1", 3, "uint(4294967295)"},
        {"300", 36, "ushort(300)"}, {"-129", 34, "char(127)"}, {"200", 34, "char(-56)"},
        {"2.7", 32, "long(2)"}, {"-2.5", 32, "long(-3)"}, {"float('nan')", 32, "long(0)"},
        {"2.0**32 + 5", 32, "long(5)"}, {"1e19", 32, "long(0)"}, {"True", 32, "long(1)"},
        {"-3.0", 35, "ulong(4294967293)"}, {"float('nan')", 35, "ulong(0)"},
        {"1.5e19", 35, "ulong(3470524416)"}, {"-1", 35, "ulong(4294967295)"},
        {"2**40", 32, "invalid"}, {"2**40", 35, "invalid"}, {"'1'", 32, "invalid"},
        {"None", 1, "invalid"}, {"0.5", 1, "bool(false)"}, {"-0.5", 1, "bool(true)"},
        {"2", 1, "bool(true)"},
        {"2**40", 6, "double(1099511627776)"}, {"10**400", 6, "invalid"}, {"True", 6, "double(1)"},
        {"2.5", 6, "double(2.5)"}, {"'2'", 6, "invalid"},
        {"2.5", 38, "float(2.5)"}, {"7", 38, "float(7)"}, {"10**400", 38, "invalid"},
        {"{'a': 1}", 9, "invalid"},
        {"'Ctrl+S'", 75, "QKeySequence(Ctrl+S)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.expression) + " as " + std::to_string(c.type));
        PyRef object = eval(c.expression);
        const Py_ssize_t refs = Py_REFCNT(object.get());
        EXPECT_EQ(describe(TPyQtWrapping::PyObject2QVariant(object.get(), c.type)), c.expected);
        EXPECT_EQ(Py_REFCNT(object.get()), refs);
        EXPECT_FALSE(errorPending());
    }
    EXPECT_EQ(TPyQtWrapping::PyObject2QVariant(eval("'s'").get(), 12).userType(), int(QMetaType::QString));
    EXPECT_EQ(TPyQtWrapping::PyObject2QVariant(eval("5").get(), 32).userType(), int(QMetaType::Long));
}

TEST_F(VariantsTest, FloatsAreRoundedOnceToTheNearestFloat)
{
    struct {
        const char *expression;
        float expected;
    } const cases[] = {
        {"0.1", 0.1f},
        {"1e39", HUGE_VALF},
        {"-1e39", -HUGE_VALF},
        {"2**64 + 2**40 + 1", std::ldexp(1.0f + std::ldexp(1.0f, -23), 64)}, // a detour through double ties to 2^64
        {"-(2**64 + 2**40 + 1)", -std::ldexp(1.0f + std::ldexp(1.0f, -23), 64)},
        {"2**64 + 2**40", std::ldexp(1.0f, 64)},
        {"2**63 - 1", std::ldexp(1.0f, 63)},
        {"2**200", HUGE_VALF},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expression);
        const QVariant v = TPyQtWrapping::PyObject2QVariant(eval(c.expression).get(), 38);
        ASSERT_EQ(v.userType(), int(QMetaType::Float));
        EXPECT_EQ(v.value<float>(), c.expected);
    }
    EXPECT_FALSE(errorPending());
}

TEST_F(VariantsTest, TypicalRoadFromPythonAndBack)
{
    PyRef dict = eval("{'text': 'hello', 'values': [1.5, 2.5], 'names': ('a', 'b')}");
    PyRef values(PyDict_Values(dict.get()));
    std::vector<Py_ssize_t> refs{Py_REFCNT(dict.get())};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i)
        refs.push_back(Py_REFCNT(PyList_GET_ITEM(values.get(), i)));

    const QVariant v = TPyQtWrapping::PyObject2QVariant(dict.get(), -1);
    EXPECT_EQ(v.userType(), int(QMetaType::QVariantMap));
    EXPECT_EQ(describe(v), "map{names: list[QString(a), QString(b)], text: QString(hello), "
                           "values: list[double(1.5), double(2.5)]}");
    std::vector<Py_ssize_t> after{Py_REFCNT(dict.get())};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i)
        after.push_back(Py_REFCNT(PyList_GET_ITEM(values.get(), i)));
    EXPECT_EQ(after, refs);

    PyRef back(TPyQtWrapping::QVariantList2PyObject({QVariant(1), QVariant(QStringLiteral("x"))}));
    EXPECT_EQ(repr(back.get()), "[1, 'x']");
    EXPECT_EQ(takeStderr(), "");
}

TEST_F(VariantsTest, CyclesAndDeepNestingEndInInvalidMembers)
{
    exec("cyclic = []\ncyclic.append(cyclic)\ncyclic.append(1)\n"
         "selfmap = {}\nselfmap['me'] = selfmap\n"
         "a = []\nb = [a]\na.append(b)\n");
    EXPECT_EQ(describe(TPyQtWrapping::PyObject2QVariant(eval("cyclic").get())), "list[invalid, int(1)]");
    EXPECT_EQ(describe(TPyQtWrapping::PyObject2QVariant(eval("selfmap").get())), "map{me: invalid}");
    EXPECT_EQ(describe(TPyQtWrapping::PyObject2QVariant(eval("a").get())), "list[list[invalid]]");
    // A shared member that is no cycle converts in every place.
    EXPECT_EQ(describe(TPyQtWrapping::PyObject2QVariant(eval("[[1]] * 2").get())), "list[list[int(1)], list[int(1)]]");

    exec("deep = []\nfor _ in range(100000):\n    deep = [deep]\n");
    PyRef deep = eval("deep");
    for (const char *limit : {"1000", "200000"}) {
        exec(std::string("sys.setrecursionlimit(") + limit + ")\n");
        QVariant v = TPyQtWrapping::PyObject2QVariant(deep.get());
        int depth = 0;
        while (v.userType() == QMetaType::QVariantList) {
            ++depth;
            const QVariantList members = v.toList();
            ASSERT_EQ(members.size(), 1);
            v = members.at(0);
        }
        EXPECT_FALSE(v.isValid());
        // At most the recursion limit and 5000 levels, fewer where frames are large.
        EXPECT_LE(depth, std::min(std::atoi(limit), 5000)) << limit;
        EXPECT_GE(depth, 1000) << limit;
    }
    exec("sys.setrecursionlimit(1000)\n");
    EXPECT_FALSE(errorPending());
}

TEST_F(VariantsTest, MembersThatCannotBeFetchedAndErrorsThatStayPending)
{
    exec("class Raising:\n"
         "    def __len__(self): return 3\n"
         "    def __getitem__(self, i):\n"
         "        if i == 1: raise IndexError(i)\n"
         "        return i\n"
         "class BadItems(dict):\n"
         "    def items(self): return [(1,), 5, ('k', 2)]\n"
         "class NoLen:\n"
         "    def __getitem__(self, i): return i\n");
    EXPECT_EQ(describe(TPyQtWrapping::PyObject2QVariant(eval("Raising()").get())), "list[int(0), invalid, int(2)]");
    EXPECT_FALSE(errorPending());
    EXPECT_EQ(describe(TPyQtWrapping::PyObject2QVariant(eval("BadItems()").get(), 8)), "map{: invalid, k: int(2)}");
    EXPECT_FALSE(errorPending());

    EXPECT_EQ(describe(TPyQtWrapping::PyObject2QVariant(eval("[1, 2]").get(), 8)), "invalid");
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_AttributeError));
    PyErr_Clear();
    // The first error of a nested member stays pending once the whole tree is converted.
    EXPECT_EQ(describe(TPyQtWrapping::PyObject2QVariant(eval("[NoLen(), 7, NoLen()]").get())),
              "list[list[], int(7), list[]]");
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_TypeError));
    PyErr_Clear();
}

TEST_F(VariantsTest, ValuesToPythonWithTheirWidthAndSign)
{
    const QKeySequence keys(QStringLiteral("Ctrl+S"));
    const char bytes[] = {'a', 'b', 0, 'c'};
    struct {
        QVariant variant;
        const char *expected;
    } const cases[] = {
        {QVariant(true), "True"}, {QVariant(false), "False"},
        {QVariant(-7), "-7"},
        {QVariant(4294967295u), "-1"}, {QVariant(2147483647u), "2147483647"},
        {QVariant(-(qlonglong(1) << 40)), "-1099511627776"},
        {QVariant(~qulonglong(0)), "18446744073709551615"},
        {QVariant(2.5), "2.5"},
        {QVariant(QChar(0xE9)), "233"}, {QVariant(QChar(0x8000)), "-32768"},
        {QVariant(QStringLiteral("s")), "'s'"}, {QVariant(QString()), "''"},
        {QVariant(QStringList{QStringLiteral("a"), QString()}), "['a', '']"},
        {QVariant(QByteArray(bytes, 4)), "b'ab'"}, {QVariant(QByteArray()), "b''"},
        {QVariant(QMetaType::Long, &static_cast<const long &>(long(0x1FFFFFFFFL))), "-1"},
        {QVariant(QMetaType::ULong, &static_cast<const unsigned long &>(0x1FFFFFFFFUL)), "4294967295"},
        {QVariant(QMetaType::Short, &static_cast<const short &>(short(-5))), "-5"},
        {QVariant(QMetaType::Char, &static_cast<const char &>(char(-1))), "-1"},
        {QVariant(QMetaType::UShort, &static_cast<const ushort &>(ushort(65535))), "65535"},
        {QVariant(QMetaType::UChar, &static_cast<const uchar &>(uchar(255))), "255"},
        {QVariant(0.1f), "0.10000000149011612"},
        {QVariant(keys), "'Ctrl+S'"},
        {QVariant(), "None"}, {QVariant(QVariantList{1}), "None"}, {QVariant(QVariantMap()), "None"},
        {QVariant::fromValue(QObjectList()), "None"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        PyRef object(TPyQtWrapping::QVariant2PyObject(c.variant));
        EXPECT_EQ(repr(object.get()), c.expected);
    }
    EXPECT_EQ(PyRef(TPyQtWrapping::voidType2PyObjectInternal(QMetaType::Int, nullptr)).get(), Py_None);
    EXPECT_EQ(PyRef(TPyQtWrapping::voidType2PyObjectInternal(-5, nullptr)).get(), Py_None);
}

TEST_F(VariantsTest, VariantListsToPython)
{
    EXPECT_EQ(PyRef(TPyQtWrapping::QVariantList2PyObject({})).get(), Py_None);
    PyRef list(TPyQtWrapping::QVariantList2PyObject(
        {QVariant(1), QVariant(QStringLiteral("s")), QVariant(true), QVariant(QVariantList{2}),
         QVariant(QVariantMap{{QStringLiteral("k"), 1}}), QVariant()}));
    EXPECT_EQ(repr(list.get()), "[1, 's', True, None, None, None]");
    EXPECT_EQ(takeStderr(), "");
}
