#include "pythontest.h"

#include <QKeySequence>

#include <cmath>

using VariantsTest = PythonTest;

namespace {

// A variant tree as one line: type name and value, containers with their members.
std::string describe(const QVariant &v)
{
    std::string out;
    switch (v.userType()) {
    case QMetaType::UnknownType: return "invalid";
    case QMetaType::QVariantList:
        for (const QVariant &member : v.toList())
            out += (out.empty() ? "" : ", ") + describe(member);
        return "list[" + out + "]";
    case QMetaType::QVariantMap: {
        const QVariantMap map = v.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            out += (out.empty() ? "" : ", ") + it.key().toStdString() + ": " + describe(it.value());
        return "map{" + out + "}";
    }
    case QMetaType::QString: out = v.toString().isNull() ? "null" : v.toString().toStdString(); break;
    case QMetaType::QStringList: out = v.toStringList().join(QLatin1Char(',')).toStdString(); break;
    case QMetaType::Char:
    case QMetaType::UChar: out = std::to_string(v.toInt()); break;
    case QMetaType::Float: out = QString::number(v.toFloat(), 'g', 9).toStdString(); break;
    case QMetaType::QKeySequence: out = v.value<QKeySequence>().toString().toStdString(); break;
    default: out = v.toString().toStdString();
    }
    return std::string(v.typeName()) + "(" + out + ")";
}

} // namespace

TEST_F(VariantsTest, PythonToVariantByInferenceAndRequest)
{
    exec("class S(str): pass\nclass I(int): pass\nclass D(dict): pass\n");
    const struct {
        const char *expression;
        int type;
        const char *expected;
    } cases[] = {
        {"5", -1, "int(5)"}, {"5.5", -1, "double(5.5)"}, {"True", -1, "bool(true)"},
        {"'s'", -1, "QString(s)"}, {"b'b'", -1, "QString(b)"}, {"None", -1, "invalid"},
        {"[]", -1, "list[]"}, {"{}", -1, "map{}"},
        {"(1, 'a', [2.5])", -1, "list[int(1), QString(a), list[double(2.5)]]"},
        {"{'k': {'j': None}}", -1, "map{k: map{j: invalid}}"},
        {"S('ab')", -1, "list[QString(a), QString(b)]"}, {"bytearray(b'a')", -1, "list[int(97)]"},
        {"I(3)", -1, "invalid"}, {"2**31", -1, "invalid"}, {"-2**31", -1, "int(-2147483648)"},
        {"object()", -1, "invalid"}, {"{b'k': 1, 'k': 2}", -1, "map{k: int(2)}"},
        {"D(a=1)", -1, "invalid"}, {"D(a=1)", 8, "map{a: int(1)}"}, {"{'a': 1}", 9, "invalid"},
        {"'s'", 12, "QString(s)"}, {"None", 10, "QString(null)"}, {"'ab'", 11, "QStringList(a,b)"},
        {"5", 11, "invalid"}, {"{'a': 1}", 11, "invalid"},
        {"5", 4, "invalid"}, {"5", 5, "invalid"}, {"'a'", 7, "invalid"},
        {"5", -2, "invalid"}, {"5", 76, "invalid"}, {"5", 0, "invalid"},
        {"70000", 33, "short(4464)"}, {"40000", 33, "short(-25536)"}, {"-1", 37, "uchar(255)"},
        {"-1", 3, "uint(4294967295)"}, {"300", 36, "ushort(300)"}, {"-129", 34, "char(127)"},
        {"200", 34, "char(-56)"}, {"2.7", 2, "int(2)"}, {"'1'", 2, "invalid"},
        {"2.7", 32, "long(2)"}, {"-2.5", 32, "long(-3)"}, {"float('nan')", 32, "long(0)"},
        {"2.0**32 + 5", 32, "long(5)"}, {"1e19", 32, "long(0)"}, {"-float(2**63)", 32, "long(0)"},
        {"True", 32, "long(1)"}, {"2**31 - 1", 32, "long(2147483647)"}, {"-2**31", 32, "long(-2147483648)"},
        {"-3.0", 35, "ulong(4294967293)"}, {"float('nan')", 35, "ulong(0)"}, {"1.5e19", 35, "ulong(3470524416)"},
        {"-1", 35, "ulong(4294967295)"}, {"False", 35, "ulong(0)"},
        {"2**31", 32, "invalid"}, {"-2**31 - 1", 35, "invalid"}, {"'1'", 32, "invalid"},
        {"None", 1, "invalid"}, {"0.5", 1, "bool(false)"}, {"-0.5", 1, "bool(true)"}, {"2", 1, "bool(true)"},
        {"False", 1, "bool(false)"}, {"0", 1, "bool(false)"},
        {"-1", 6, "double(-1)"}, {"2**40", 6, "double(1099511627776)"}, {"10**400", 6, "invalid"},
        {"True", 6, "double(1)"}, {"2.5", 6, "double(2.5)"}, {"'2'", 6, "invalid"},
        {"0.1", 38, "float(0.100000001)"}, {"1e39", 38, "float(inf)"}, {"-1e39", 38, "float(-inf)"},
        {"-7", 38, "float(-7)"}, {"True", 38, "float(1)"}, {"10**400", 38, "invalid"}, {"'1'", 38, "invalid"},
        // Rounded once from the whole int: a detour through double would tie to 2^64.
        {"2**64 + 2**40 + 1", 38, "float(1.84467463e+19)"}, {"-(2**64 + 2**40 + 1)", 38, "float(-1.84467463e+19)"},
        {"2**64 + 2**40", 38, "float(1.84467441e+19)"}, {"2**200", 38, "float(inf)"},
        {"'Ctrl+S'", 75, "QKeySequence(Ctrl+S)"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(describe(W::PyObject2QVariant(in(c.expression), c.type)), c.expected)
            << c.expression << " as " << c.type;
    EXPECT_EQ(describe(W::PyObject2QVariant(nullptr, -1)), "invalid");
}

TEST_F(VariantsTest, ContainersWithCyclesDeepNestingAndFailingMembers)
{
    exec("cyclic = []\ncyclic.append(cyclic)\ncyclic.append(1)\n"
         "selfmap = {}\nselfmap['me'] = selfmap\n"
         "a = []\nb = [a]\na.append(b)\n"
         "class Raising:\n"
         "    def __len__(self): return 3\n"
         "    def __getitem__(self, i):\n"
         "        if i == 1: raise IndexError(i)\n"
         "        return i\n"
         "class BadItems(dict):\n"
         "    def items(self): return [(1,), 5, ('k', 2), ('j',)]\n"
         "class NoLen:\n"
         "    def __getitem__(self, i): return i\n"
         "deep = []\nfor _ in range(100000):\n    deep = [deep]\n");
    const struct {
        const char *expression;
        int type;
        const char *expected;
        PyObject *pending; // the error class left pending, or null
    } cases[] = {
        {"cyclic", -1, "list[invalid, int(1)]", nullptr},
        {"selfmap", -1, "map{me: invalid}", nullptr},
        {"a", -1, "list[list[invalid]]", nullptr},
        {"[[1]] * 2", -1, "list[list[int(1)], list[int(1)]]", nullptr}, // shared, but no cycle
        {"Raising()", -1, "list[int(0), invalid, int(2)]", nullptr},
        {"BadItems()", 8, "map{: invalid, j: invalid, k: int(2)}", nullptr},
        {"[1, 2]", 8, "invalid", PyExc_AttributeError},
        {"[NoLen(), 7, NoLen()]", -1, "list[list[], int(7), list[]]", PyExc_TypeError},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(describe(W::PyObject2QVariant(in(c.expression), c.type)), c.expected) << c.expression;
        EXPECT_EQ(PyErr_Occurred(), c.pending) << c.expression;
        PyErr_Clear();
    }
    for (const char *limit : {"1000", "200000"}) {
        exec(std::string("sys.setrecursionlimit(") + limit + ")\n");
        QVariant v = W::PyObject2QVariant(in("deep"));
        int depth = 0;
        for (; v.userType() == QMetaType::QVariantList && v.toList().size() == 1; ++depth)
            v = v.toList().at(0);
        EXPECT_FALSE(v.isValid());
        // At most the recursion limit and 5000 levels, fewer where frames are large.
        EXPECT_LE(depth, std::min(std::atoi(limit), 5000)) << limit;
        EXPECT_GE(depth, 1000) << limit;
    }
    exec("sys.setrecursionlimit(1000)\n");
}

TEST_F(VariantsTest, ValuesToPythonWithTheirWidthAndSign)
{
    const char bytes[] = {'a', 'b', 0, 'c'};
    const long longs[] = {0x1FFFFFFFFL, long(INT32_MIN)};
    const unsigned long ulong = 0x1FFFFFFFFUL;
    const short shorts[] = {-5, SHRT_MIN};
    const signed char chars[] = {-1, 127};
    const ushort ushortMax = 65535;
    const uchar ucharMax = 255;
    const struct {
        QVariant variant;
        const char *expected;
    } cases[] = {
        {QVariant(true), "True"}, {QVariant(false), "False"}, {QVariant(INT32_MIN), "-2147483648"},
        {QVariant(4294967295u), "-1"}, {QVariant(2147483647u), "2147483647"},
        {QVariant(-(qlonglong(1) << 40)), "-1099511627776"}, {QVariant(~qulonglong(0)), "18446744073709551615"},
        {QVariant(2.5), "2.5"}, {QVariant(0.1f), "0.10000000149011612"},
        {QVariant(QChar(0x7FFF)), "32767"}, {QVariant(QChar(0x8000)), "-32768"},
        {QVariant(QStringLiteral("s")), "'s'"}, {QVariant(QString()), "''"},
        {QVariant(QStringList{QStringLiteral("a"), QString()}), "['a', '']"},
        {QVariant(QByteArray(bytes, 4)), "b'ab'"}, {QVariant(QByteArray()), "b''"},
        {QVariant(QMetaType::Long, &longs[0]), "-1"}, {QVariant(QMetaType::Long, &longs[1]), "-2147483648"},
        {QVariant(QMetaType::ULong, &ulong), "4294967295"},
        {QVariant(QMetaType::Short, &shorts[0]), "-5"}, {QVariant(QMetaType::Short, &shorts[1]), "-32768"},
        {QVariant(QMetaType::Char, &chars[0]), "-1"}, {QVariant(QMetaType::Char, &chars[1]), "127"},
        {QVariant(QMetaType::UShort, &ushortMax), "65535"}, {QVariant(QMetaType::UChar, &ucharMax), "255"},
        {QVariant(QKeySequence(QStringLiteral("Ctrl+S"))), "'Ctrl+S'"},
        {QVariant(), "None"}, {QVariant(QVariantList{1}), "None"}, {QVariant(QVariantMap()), "None"},
        {QVariant::fromValue(QObjectList()), "None"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(reprOf(W::QVariant2PyObject(c.variant)), c.expected) << c.expected;
    EXPECT_EQ(reprOf(W::voidType2PyObjectInternal(QMetaType::Int, nullptr)), "None");
    EXPECT_EQ(reprOf(W::QVariantList2PyObject({})), "None");
    EXPECT_EQ(reprOf(W::QVariantList2PyObject({QVariant(1), QVariant(QStringLiteral("s")), QVariant(true),
                                               QVariant(QVariantList{2}), QVariant()})),
              "[1, 's', True, None, None]");
}

TEST_F(VariantsTest, TypicalRoadFromPythonAndBack)
{
    const QVariant v = W::PyObject2QVariant(in("{'text': 'hello', 'values': [1.5, 2.5], 'names': ('a', 'b')}"), -1);
    EXPECT_EQ(describe(v), "map{names: list[QString(a), QString(b)], text: QString(hello), "
                           "values: list[double(1.5), double(2.5)]}");
    EXPECT_EQ(reprOf(W::QVariantList2PyObject({QVariant(1), QVariant(QStringLiteral("x"))})), "[1, 'x']");
}
