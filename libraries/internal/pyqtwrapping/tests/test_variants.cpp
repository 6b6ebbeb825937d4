// Tests: Python values to variants by inference and by request, and variants back to Python.
#include "pythontest.h"

#include <cstring>

namespace {

// A type id by its Qt name ("short"), or a number.
int typeId(const std::string &name)
{
    const int id = HostSupport::metaTypeId(name.c_str());
    return id || name == "UnknownType" ? id : std::stoi(name);
}

} // namespace

class VariantsTest : public PythonTest
{
protected:
    // A case is an expression, then " as " and the type requested (none: inferred), or " to " and
    // a type the variant is then converted to by Qt, for the values no request makes. It gives a
    // variant tree, the error it leaves pending by class, and the variant back in Python: a list's
    // members through QVariantList2PyObject, any other variant through QVariant2PyObject.
    Results variant(const char *c)
    {
        const char *as = std::strstr(c, " as "), *to = std::strstr(c, " to "), *end = as ? as : to;
        const std::string expression(c, end ? end - c : std::strlen(c));
        QVariant v = W::PyObject2QVariant(in(expression), as ? typeId(as + 4) : -1);
        Results results{
            {"error", PyErr_Occurred() ? reinterpret_cast<PyTypeObject *>(PyErr_Occurred())->tp_name : ""}};
        PyErr_Clear();
        if (to)
            HostSupport::convertVariant(v, typeId(to + 4));
        results["variant"] = HostSupport::variantText(v);
        results["back"] =
            reprOf(v.userType() == QMetaType::QVariantList ? W::QVariantList2PyObject(v.toList())
                                                           : W::QVariant2PyObject(v));
        return results;
    }
};

// Requests for types the library does not make (64-bit integers among them) give invalid. The
// first error of a nested member stays pending; a dict that changes while it is read gives the
// items it had at the start.
TEST_F(VariantsTest, InferredAndRequestedContainersAndTexts)
{
    expectTable(
        "PyObject2QVariant, QVariant2PyObject, QVariantList2PyObject",
        [&](const char *c) { return variant(c); }, R"(
        input                                                                                variant                                        back             error
        True                                                                                 bool(true)                                     True
        b'b'                                                                                 QString("b")                                   'b'
        []                                                                                   list[]                                         None
        (1, 'a', [2.5])                                                                      list[int(1), QString("a"), list[double(2.5)]]  [1, 'a', None]
        {'k': {'j': None}}                                                                   map{k: map{j: invalid}}                        None
        S('ab')                                                                              list[QString("a"), QString("b")]               ['a', 'b']
        bytearray(b'a')                                                                      list[int(97)]                                  [97]
        -2**31                                                                               int(-2147483648)                               -2147483648
        {b'k': 1, 'k': 2}                                                                    map{k: int(2)}                                 None
        D(a=1) as QVariantMap                                                                map{a: int(1)}                                 None
        None | I(3) | 2**31 | object() | D(a=1) | {'a': 1} as QVariantList | null                   invalid                                        None
        5 as qlonglong | 5 as qulonglong | 5 as -2 | 5 as QRect | 5 as UnknownType  invalid                                        None
        's' as QByteArray                                                                    QString("s")                                   's'
        None as QString                                                                      QString(null)                                  ''
        'ab' as QStringList                                                                  QStringList(["a", "b"])                        ['a', 'b']
        'Ctrl+S' as QKeySequence                                                             QKeySequence("Ctrl+S")                         'Ctrl+S'
        5 as QStringList | {'a': 1} as QStringList | 'a' as QChar                            invalid                                        None
        'ab' to QByteArray                                                                   QByteArray("ab")                               b'ab'
        cyclic                                                                               list[invalid, int(1)]                          [None, 1]
        selfmap | (lambda d: d.update(me=d) or d)({})                                       map{me: invalid}                               None
        [[1]] * 2                                                                            list[list[int(1)], list[int(1)]]               [None, None]
        Raising()                                                                            list[QString("v0"), invalid, double(2.5)]      ['v0', None, 2.5]
        BadItems() as QVariantMap                                                            map{: invalid, j: invalid, k: int(2)}          None
        [1, 2] as QVariantMap                                                                invalid                                        None             AttributeError
        [BadLen(), 7, NoLen()]                                                               list[list[], int(7), list[]]                   [None, 7, None]  IndexError
        {'a': BadLen(), 'b': NoLen()}                                                        map{a: list[], b: list[]}                      None             IndexError
        clearing()                                                                           map{a: list[], b: int(1), c: int(2)}           None
        own_items() as QVariantMap                                                           map{j: QString("v"), k: list[]}                None
        shared(2)                                                                            list[list[list[], list[]], list[list[], list[]]]  [None, None]
        shared(2, lambda a: {'a': a, 'b': a})                                                map{a: map{a: list[], b: list[]}, b: map{a: list[], b: list[]}}  None
    )");
    EXPECT_EQ(reprOf(W::QVariant2PyObject(QVariantList{1})), "None");
    EXPECT_EQ(reprOf(W::voidType2PyObjectInternal(QMetaType::Int, nullptr)), "None");
}

// Requested integers wrap to their width, floats to integers toward minus infinity; floats are
// rounded once from the whole int (a detour through double would tie 2**64 + 2**40 + 1 to 2**64).
// Values that only Qt's conversions make come back with their width and sign.
TEST_F(VariantsTest, IntegerAndFloatWidths)
{
    expectTable(
        "PyObject2QVariant, QVariant2PyObject, QVariantList2PyObject",
        [&](const char *c) { return variant(c); }, R"(
        input                                                             variant                           back  error
        40000 as short                                                    short(-25536)                     -25536
        -1 as uchar                                                       uchar(255)                        255
        -1 as uint                                                        uint(4294967295)                  -1
        -1 as ushort                                                      ushort(65535)                     65535
        -129 as char                                                      char(127)                         127
        200 as char                                                       char(-56)                         -56
        2.7 as long                                                       long(2)                           2
        2.7 as int                                                        int(2)                            2
        float('nan') as long                                              long(0)                           0
        2.0**32 + 5 as long                                               long(5)                           5
        -3.0 as ulong                                                     ulong(4294967293)                 4294967293
        1.5e19 as ulong                                                   ulong(3470524416)                 3470524416
        0.5 as bool                                                       bool(false)                       False
        2 as bool                                                         bool(true)                        True
        2**31 as long | '1' as long | -2**31 - 1 as ulong | None as bool  invalid                           None
        '-1099511627776' to qlonglong                                     qlonglong(-1099511627776)         -1099511627776
        '18446744073709551615' to qulonglong                              qulonglong(18446744073709551615)  18446744073709551615
        32767 to QChar                                                    QChar(U+7fff)                     32767
        32768 to QChar                                                    QChar(U+8000)                     -32768
        '8589934591' to long                                              $wideLong                         -1
        '8589934591' to ulong                                             $wideULong                        4294967295
        2**40 as double                                                   double(1099511627776)             1099511627776.0
        True as float                                                     float(1)                          1.0
        0.1 as float                                                      float(0.10000000149011612)        0.10000000149011612
        1e39 as float                                                     float(inf)                        inf
        2**64 + 2**40 + 1 as float                                        float(18446746272732807000)       1.8446746272732807e+19
        -(2**64 + 2**40 + 1) as float                                     float(-18446746272732807000)      -1.8446746272732807e+19
        2**64 + 2**40 as float                                            float(18446744073709552000)       1.8446744073709552e+19
        2**200 as float                                                   float(inf)                        inf
        10**400 as double | '2' as double | 10**400 as float              invalid                           None
    )");
}

namespace {

// How many single-member lists a variant holds one inside the other.
int depthOf(QVariant v)
{
    int depth = 0;
    for (; v.userType() == QMetaType::QVariantList && v.toList().size() == 1; ++depth)
        v = v.toList().at(0);
    return v.isValid() ? -1 : depth;
}

} // namespace

// Nesting stops at the recursion limit, at 5000 levels, and where the conversion has taken an eighth
// of its thread's stack. Containers met again cost nothing more, however many paths reach them.
TEST_F(VariantsTest, NestingStopsAtTheRecursionLimitAndTheStack)
{
    // 200 levels fit in an eighth of the stack in every build, AddressSanitizer's included.
    exec("sys.setrecursionlimit(200)\n");
    EXPECT_EQ(depthOf(W::PyObject2QVariant(in("deep"))), 200);
    exec("sys.setrecursionlimit(10**6)\n");
    const int depth = depthOf(W::PyObject2QVariant(in("deep")));
    EXPECT_TRUE(depth > 200 && depth <= 5000) << depth;
    int onSmallStack = 0;
    onThread(256 * 1024, [&] { onSmallStack = depthOf(W::PyObject2QVariant(in("deep"))); });
    EXPECT_TRUE(onSmallStack >= 64 && onSmallStack < 1000) << onSmallStack;
    exec("sys.setrecursionlimit(1000)\n");

    QVariant wide = W::PyObject2QVariant(in("[[i] for i in range(1500)]"));
    EXPECT_EQ(HostSupport::variantText(wide.toList().last()), "list[int(1499)]");
    for (const char *graph : {"shared(64)", "shared(64, lambda a: {'a': a, 'b': a})"}) {
        QVariant v = W::PyObject2QVariant(in(graph));
        for (int level = 0; level < 64; ++level)
            v = v.userType() == QMetaType::QVariantMap ? v.toMap().value("b") : v.toList().value(1);
        EXPECT_EQ(HostSupport::variantText(v), "list[]") << graph;
    }
}
