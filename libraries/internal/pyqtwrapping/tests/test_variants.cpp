// Tests: Python values to variants by inference and by request, and variants back to Python.
#include "pythontest.h"

#include <QKeySequence>

#include <climits>
#include <cstring>
#include <map>

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
    case QMetaType::Char:
    case QMetaType::UChar: out = std::to_string(v.toInt()); break;
    case QMetaType::Float: out = QString::number(v.toFloat(), 'g', 9).toStdString(); break;
    case QMetaType::QKeySequence: out = v.value<QKeySequence>().toString().toStdString(); break;
    default: out = v.toString().toStdString();
    }
    return std::string(v.typeName()) + "(" + out + ")";
}

// A requested type id by its QMetaType name, "+1" for the id after it, or a number.
int typeId(const std::string &name)
{
#define TYPE(t) \
    { \
#t, QMetaType::t \
    }
    static const std::map<std::string, int> ids = {
        TYPE(UnknownType), TYPE(Bool),        TYPE(Int),        TYPE(UInt),        TYPE(LongLong),
        TYPE(ULongLong),   TYPE(Double),      TYPE(QChar),      TYPE(QVariantMap), TYPE(QVariantList),
        TYPE(QString),     TYPE(QStringList), TYPE(QByteArray), TYPE(Long),        TYPE(Short),
        TYPE(Char),        TYPE(ULong),       TYPE(UShort),     TYPE(UChar),       TYPE(Float),
        TYPE(QKeySequence)};
#undef TYPE
    const size_t plus = name.find('+');
    const auto it = ids.find(name.substr(0, plus));
    return it == ids.end() ? std::stoi(name) : it->second + (plus == name.npos ? 0 : 1);
}

} // namespace

class VariantsTest : public PythonTest
{
protected:
    // A case is an expression, with " as " and the type id requested (none: inferred); it gives a
    // variant tree and may leave an error pending, named by its class.
    Results variant(const char *c)
    {
        const char *as = std::strstr(c, " as ");
        const std::string expression(c, as ? as - c : std::strlen(c));
        Results results{
            {"variant", describe(W::PyObject2QVariant(in(expression), as ? typeId(as + 4) : -1))}};
        results["error"] =
            PyErr_Occurred() ? reinterpret_cast<PyTypeObject *>(PyErr_Occurred())->tp_name : "";
        PyErr_Clear();
        return results;
    }
    void expectVariants(const char *table)
    {
        expectTable([&](const char *c) { return variant(c); }, table);
    }
};

TEST_F(VariantsTest, PythonToVariantByInferenceOrUnsupportedRequest)
{
    // Requests for types the library does not make (64-bit integers among them) give invalid.
    expectVariants(R"(
        input                     variant  error
        5                         int(5)
        5.5                       double(5.5)
        True                      bool(true)
        's'                       QString(s)
        b'b'                      QString(b)
        None                      invalid
        []                        list[]
        {}                        map{}
        (1, 'a', [2.5])           list[int(1), QString(a), list[double(2.5)]]
        {'k': {'j': None}}        map{k: map{j: invalid}}
        S('ab')                   list[QString(a), QString(b)]
        bytearray(b'a')           list[int(97)]
        I(3)                      invalid
        2**31                     invalid
        -2**31                    int(-2147483648)
        object()                  invalid
        {b'k': 1, 'k': 2}         map{k: int(2)}
        D(a=1)                    invalid
        D(a=1) as QVariantMap     map{a: int(1)}
        {'a': 1} as QVariantList  invalid
        5 as LongLong             invalid
        5 as ULongLong            invalid
        5 as -2                   invalid
        5 as QKeySequence+1       invalid
        5 as UnknownType          invalid
    )");
    EXPECT_EQ(describe(W::PyObject2QVariant(nullptr, -1)), "invalid");
}

// Requested integers wrap to their width; floats go toward minus infinity.
TEST_F(VariantsTest, RequestedIntegerWidths)
{
    expectVariants(R"(
        input                 variant  error
        70000 as Short        short(4464)
        40000 as Short        short(-25536)
        -1 as UChar           uchar(255)
        -1 as UInt            uint(4294967295)
        300 as UShort         ushort(300)
        -129 as Char          char(127)
        200 as Char           char(-56)
        2.7 as Int            int(2)
        2.7 as Long           long(2)
        float('nan') as Long  long(0)
        2.0**32 + 5 as Long   long(5)
        True as Long          long(1)
        2**31 as Long         invalid
        '1' as Long           invalid
        -3.0 as ULong         ulong(4294967293)
        1.5e19 as ULong       ulong(3470524416)
        -1 as ULong           ulong(4294967295)
        -2**31 - 1 as ULong   invalid
        None as Bool          invalid
        0.5 as Bool           bool(false)
        2 as Bool             bool(true)
    )");
}

// Floats are rounded once from the whole int: a detour through double would tie 2**64 + 2**40 + 1
// to 2**64.
TEST_F(VariantsTest, RequestedFloatWidths)
{
    expectVariants(R"(
        input                          variant  error
        2**40 as Double                double(1099511627776)
        10**400 as Double              invalid
        True as Double                 double(1)
        '2' as Double                  invalid
        0.1 as Float                   float(0.100000001)
        1e39 as Float                  float(inf)
        -1e39 as Float                 float(-inf)
        -7 as Float                    float(-7)
        10**400 as Float               invalid
        2**64 + 2**40 + 1 as Float     float(1.84467463e+19)
        -(2**64 + 2**40 + 1) as Float  float(-1.84467463e+19)
        2**64 + 2**40 as Float         float(1.84467441e+19)
        2**200 as Float                float(inf)
    )");
}

TEST_F(VariantsTest, RequestedTextTypes)
{
    expectVariants(R"(
        input                     variant  error
        's' as QByteArray         QString(s)
        None as QString           QString(null)
        'ab' as QStringList       QStringList(a,b)
        5 as QStringList          invalid
        {'a': 1} as QStringList   invalid
        'a' as QChar              invalid
        'Ctrl+S' as QKeySequence  QKeySequence(Ctrl+S)
    )");
}

TEST_F(VariantsTest, ContainersWithCyclesDeepNestingAndFailingMembers)
{
    exec(R"(
cyclic = []
cyclic.append(cyclic)
cyclic.append(1)
selfmap = {}
selfmap['me'] = selfmap
a = []
b = [a]
a.append(b)
deep = []
for _ in range(100000):
    deep = [deep]
class Clears(list):
    def __len__(self):
        target.clear()
        target['z'] = 9
        return 0
def clearing():
    global target
    target = {'b': 1, 'a': Clears(), 'c': 2}
    return target
)");
    // The first error of a nested member stays pending; a dict that changes while it is read gives
    // the items it had at the start.
    expectVariants(R"(
        input                          variant                       error
        cyclic                         list[invalid, int(1)]
        selfmap                        map{me: invalid}
        a                              list[list[invalid]]
        [[1]] * 2                      list[list[int(1)], list[int(1)]]
        Raising()                      list[QString(v0), invalid, double(2.5)]
        BadItems() as QVariantMap      map{: invalid, j: invalid, k: int(2)}
        [1, 2] as QVariantMap          invalid                       AttributeError
        [BadLen(), 7, NoLen()]         list[list[], int(7), list[]]  IndexError
        [{'k': 1}] * 2                 list[map{k: int(1)}, map{k: int(1)}]
        {'a': BadLen(), 'b': NoLen()}  map{a: list[], b: list[]}     IndexError
        clearing()                     map{a: list[], b: int(1), c: int(2)}
    )");
    // At most the limit and 5000 levels, fewer where frames are large.
    for (const char *limit : {"1000", "200000"}) {
        exec(std::string("sys.setrecursionlimit(") + limit + ")\n");
        QVariant v = W::PyObject2QVariant(in("deep"));
        int depth = 0;
        for (; v.userType() == QMetaType::QVariantList && v.toList().size() == 1; ++depth)
            v = v.toList().at(0);
        EXPECT_TRUE(!v.isValid() && depth >= 1000 && depth <= std::min(std::atoi(limit), 5000))
            << limit << ": " << depth;
    }
    exec("sys.setrecursionlimit(1000)\n");
}

TEST_F(VariantsTest, ValuesToPythonWithTheirWidthAndSign)
{
    expectEach(
        Cases<QVariant>{
            {QVariant(true), "True"},
            {QVariant(false), "False"},
            {QVariant(INT32_MIN), "-2147483648"},
            {QVariant(4294967295u), "-1"},
            {QVariant(2147483647u), "2147483647"},
            {QVariant(-(qlonglong(1) << 40)), "-1099511627776"},
            {QVariant(~qulonglong(0)), "18446744073709551615"},
            {QVariant(2.5), "2.5"},
            {QVariant(0.1f), "0.10000000149011612"},
            {QVariant(QChar(0x7FFF)), "32767"},
            {QVariant(QChar(0x8000)), "-32768"},
            {QVariant(QStringLiteral("s")), "'s'"},
            {QVariant(QString()), "''"},
            {QVariant(QStringList{QStringLiteral("a"), QString()}), "['a', '']"},
            {QVariant(QByteArray("ab\0c", 4)), "b'ab'"},
            {QVariant(QByteArray()), "b''"},
            {QVariant::fromValue(0x1FFFFFFFFL), "-1"},
            {QVariant::fromValue(long(INT32_MIN)), "-2147483648"},
            {QVariant::fromValue(0x1FFFFFFFFUL), "4294967295"},
            {QVariant::fromValue(short(-5)), "-5"},
            {QVariant::fromValue(short(SHRT_MIN)), "-32768"},
            {QVariant::fromValue(char(-1)), "-1"},
            {QVariant::fromValue(char(127)), "127"},
            {QVariant::fromValue(ushort(65535)), "65535"},
            {QVariant::fromValue(uchar(255)), "255"},
            {QVariant(QKeySequence(QStringLiteral("Ctrl+S"))), "'Ctrl+S'"},
            {QVariant(), "None"},
            {QVariant(QVariantList{1}), "None"},
            {QVariant(QVariantMap()), "None"},
            {QVariant::fromValue(QObjectList()), "None"},
        },
        [](const QVariant &v) { return reprOf(W::QVariant2PyObject(v)); });
    EXPECT_EQ(reprOf(W::voidType2PyObjectInternal(QMetaType::Int, nullptr)), "None");
    EXPECT_EQ(reprOf(W::QVariantList2PyObject({})), "None");
    EXPECT_EQ(reprOf(W::QVariantList2PyObject({QVariant(1), QVariant(QStringLiteral("s")), QVariant(true),
                                               QVariant(QVariantList{2}), QVariant()})),
              "[1, 's', True, None, None]");
}
