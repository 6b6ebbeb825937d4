#include "pythontest.h"

#include <QKeySequence>

#include <climits>

using VariantsTest = PythonTest;

namespace {

// A variant tree as one line: type name and value, containers with their members.
std::string describe(const QVariant &v)
{
    std::string out;
    const QVariantMap map = v.toMap(); // empty unless a map
    for (auto it = map.begin(); it != map.end(); ++it)
        out += (out.empty() ? "" : ", ") + it.key().toStdString() + ": " + describe(it.value());
    for (const QVariant &member : v.userType() == QMetaType::QVariantList ? v.toList() : QVariantList())
        out += (out.empty() ? "" : ", ") + describe(member);
    switch (v.userType()) {
    case QMetaType::UnknownType: return "invalid";
    case QMetaType::QVariantList: return "list[" + out + "]";
    case QMetaType::QVariantMap: return "map{" + out + "}";
    case QMetaType::QString: out = v.toString().isNull() ? "null" : v.toString().toStdString(); break;
    case QMetaType::QStringList: out = v.toStringList().join(QLatin1Char(',')).toStdString(); break;
    case QMetaType::Char: case QMetaType::UChar: out = std::to_string(v.toInt()); break;
    case QMetaType::Float: out = QString::number(v.toFloat(), 'g', 9).toStdString(); break;
    case QMetaType::QKeySequence: out = v.value<QKeySequence>().toString().toStdString(); break;
    default: out = v.toString().toStdString();
    }
    return std::string(v.typeName()) + "(" + out + ")";
}

} // namespace

TEST_F(VariantsTest, PythonToVariantByInferenceAndRequest)
{
    // An expression, with " as " and the type id requested (none: inferred), and the variant tree it gives.
    // Floats are rounded once from the whole int: a detour through double would tie 2**64 + 2**40 + 1 to 2**64.
    expectEach(Cases<>{
        {"5", "int(5)"}, {"5.5", "double(5.5)"}, {"True", "bool(true)"}, {"'s'", "QString(s)"},
        {"b'b'", "QString(b)"}, {"None", "invalid"}, {"[]", "list[]"}, {"{}", "map{}"},
        {"(1, 'a', [2.5])", "list[int(1), QString(a), list[double(2.5)]]"},
        {"{'k': {'j': None}}", "map{k: map{j: invalid}}"}, {"S('ab')", "list[QString(a), QString(b)]"},
        {"bytearray(b'a')", "list[int(97)]"}, {"I(3)", "invalid"}, {"2**31", "invalid"},
        {"-2**31", "int(-2147483648)"}, {"object()", "invalid"}, {"{b'k': 1, 'k': 2}", "map{k: int(2)}"},
        {"D(a=1)", "invalid"}, {"D(a=1) as 8", "map{a: int(1)}"}, {"{'a': 1} as 9", "invalid"},
        {"'s' as 12", "QString(s)"}, {"None as 10", "QString(null)"}, {"'ab' as 11", "QStringList(a,b)"},
        {"5 as 11", "invalid"}, {"{'a': 1} as 11", "invalid"}, {"5 as 4", "invalid"}, {"5 as 5", "invalid"},
        {"'a' as 7", "invalid"}, {"5 as -2", "invalid"}, {"5 as 76", "invalid"}, {"5 as 0", "invalid"},
        {"70000 as 33", "short(4464)"}, {"40000 as 33", "short(-25536)"}, {"-1 as 37", "uchar(255)"},
        {"-1 as 3", "uint(4294967295)"}, {"300 as 36", "ushort(300)"}, {"-129 as 34", "char(127)"},
        {"200 as 34", "char(-56)"}, {"2.7 as 2", "int(2)"}, {"'1' as 2", "invalid"}, {"2.7 as 32", "long(2)"},
        {"-2.5 as 32", "long(-3)"}, {"float('nan') as 32", "long(0)"}, {"2.0**32 + 5 as 32", "long(5)"},
        {"1e19 as 32", "long(0)"}, {"-float(2**63) as 32", "long(0)"}, {"True as 32", "long(1)"},
        {"2**31 - 1 as 32", "long(2147483647)"}, {"-2**31 as 32", "long(-2147483648)"},
        {"-3.0 as 35", "ulong(4294967293)"}, {"float('nan') as 35", "ulong(0)"},
        {"1.5e19 as 35", "ulong(3470524416)"}, {"-1 as 35", "ulong(4294967295)"}, {"False as 35", "ulong(0)"},
        {"2**31 as 32", "invalid"}, {"-2**31 - 1 as 35", "invalid"}, {"'1' as 32", "invalid"},
        {"None as 1", "invalid"}, {"0.5 as 1", "bool(false)"}, {"-0.5 as 1", "bool(true)"}, {"2 as 1", "bool(true)"},
        {"False as 1", "bool(false)"}, {"0 as 1", "bool(false)"}, {"-1 as 6", "double(-1)"},
        {"2**40 as 6", "double(1099511627776)"}, {"10**400 as 6", "invalid"}, {"True as 6", "double(1)"},
        {"2.5 as 6", "double(2.5)"}, {"'2' as 6", "invalid"}, {"0.1 as 38", "float(0.100000001)"},
        {"1e39 as 38", "float(inf)"}, {"-1e39 as 38", "float(-inf)"}, {"-7 as 38", "float(-7)"},
        {"True as 38", "float(1)"}, {"10**400 as 38", "invalid"}, {"'1' as 38", "invalid"},
        {"2**64 + 2**40 + 1 as 38", "float(1.84467463e+19)"},
        {"-(2**64 + 2**40 + 1) as 38", "float(-1.84467463e+19)"}, {"2**64 + 2**40 as 38", "float(1.84467441e+19)"},
        {"2**200 as 38", "float(inf)"}, {"'Ctrl+S' as 75", "QKeySequence(Ctrl+S)"},
    }, [&](const std::string &c) {
        const size_t as = c.find(" as ");
        return describe(W::PyObject2QVariant(in(c.substr(0, as)), as == c.npos ? -1 : std::stoi(c.substr(as + 4))));
    });
    EXPECT_EQ(describe(W::PyObject2QVariant(nullptr, -1)), "invalid");
}

TEST_F(VariantsTest, ContainersWithCyclesDeepNestingAndFailingMembers)
{
    exec("cyclic = []\ncyclic.append(cyclic)\ncyclic.append(1)\n"
         "selfmap = {}\nselfmap['me'] = selfmap\n"
         "a = []\nb = [a]\na.append(b)\n"
         "deep = []\nfor _ in range(100000):\n    deep = [deep]\n");
    // The tree, and the class of the error left pending: the first error of a nested member stays.
    expectEach(Cases<>{
        {"cyclic", "list[invalid, int(1)]"}, {"selfmap", "map{me: invalid}"}, {"a", "list[list[invalid]]"},
        {"[[1]] * 2", "list[list[int(1)], list[int(1)]]"}, {"Raising()", "list[QString(v0), invalid, double(2.5)]"},
        {"BadItems() as 8", "map{: invalid, j: invalid, k: int(2)}"}, {"[1, 2] as 8", "invalid AttributeError"},
        {"[BadLen(), 7, NoLen()]", "list[list[], int(7), list[]] IndexError"}, {"[{'k': 1}] * 2", "list[map{k: int(1)}, map{k: int(1)}]"},
        {"{'a': BadLen(), 'b': NoLen()}", "map{a: list[], b: list[]} IndexError"},
    }, [&](const std::string &c) {
        const size_t as = c.find(" as ");
        std::string tree = describe(W::PyObject2QVariant(in(c.substr(0, as)), as == c.npos ? -1 : 8));
        if (PyErr_Occurred())
            tree += std::string(" ") + reinterpret_cast<PyTypeObject *>(PyErr_Occurred())->tp_name;
        PyErr_Clear();
        return tree;
    });
    for (const char *limit : {"1000", "200000"}) { // at most the limit and 5000 levels, fewer where frames are large
        exec(std::string("sys.setrecursionlimit(") + limit + ")\n");
        QVariant v = W::PyObject2QVariant(in("deep"));
        int depth = 0;
        for (; v.userType() == QMetaType::QVariantList && v.toList().size() == 1; ++depth)
            v = v.toList().at(0);
        EXPECT_TRUE(!v.isValid() && depth >= 1000 && depth <= std::min(std::atoi(limit), 5000)) << limit << ": " << depth;
    }
    exec("sys.setrecursionlimit(1000)\n");
}

TEST_F(VariantsTest, ValuesToPythonWithTheirWidthAndSign)
{
    expectEach(Cases<QVariant>{
        {QVariant(true), "True"}, {QVariant(false), "False"}, {QVariant(INT32_MIN), "-2147483648"},
        {QVariant(4294967295u), "-1"}, {QVariant(2147483647u), "2147483647"},
        {QVariant(-(qlonglong(1) << 40)), "-1099511627776"}, {QVariant(~qulonglong(0)), "18446744073709551615"},
        {QVariant(2.5), "2.5"}, {QVariant(0.1f), "0.10000000149011612"},
        {QVariant(QChar(0x7FFF)), "32767"}, {QVariant(QChar(0x8000)), "-32768"},
        {QVariant(QStringLiteral("s")), "'s'"}, {QVariant(QString()), "''"},
        {QVariant(QStringList{QStringLiteral("a"), QString()}), "['a', '']"},
        {QVariant(QByteArray("ab\0c", 4)), "b'ab'"}, {QVariant(QByteArray()), "b''"},
        {QVariant::fromValue(0x1FFFFFFFFL), "-1"}, {QVariant::fromValue(long(INT32_MIN)), "-2147483648"},
        {QVariant::fromValue(0x1FFFFFFFFUL), "4294967295"},
        {QVariant::fromValue(short(-5)), "-5"}, {QVariant::fromValue(short(SHRT_MIN)), "-32768"},
        {QVariant::fromValue(char(-1)), "-1"}, {QVariant::fromValue(char(127)), "127"},
        {QVariant::fromValue(ushort(65535)), "65535"}, {QVariant::fromValue(uchar(255)), "255"},
        {QVariant(QKeySequence(QStringLiteral("Ctrl+S"))), "'Ctrl+S'"},
        {QVariant(), "None"}, {QVariant(QVariantList{1}), "None"}, {QVariant(QVariantMap()), "None"},
        {QVariant::fromValue(QObjectList()), "None"},
    }, [](const QVariant &v) { return reprOf(W::QVariant2PyObject(v)); });
    EXPECT_EQ(reprOf(W::voidType2PyObjectInternal(QMetaType::Int, nullptr)), "None");
    EXPECT_EQ(reprOf(W::QVariantList2PyObject({})), "None");
    EXPECT_EQ(reprOf(W::QVariantList2PyObject({QVariant(1), QVariant(QStringLiteral("s")), QVariant(true),
                                               QVariant(QVariantList{2}), QVariant()})),
              "[1, 's', True, None, None]");
}
