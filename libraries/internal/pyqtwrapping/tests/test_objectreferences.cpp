// Tests: object paths and text handles.
#include "pythontest.h"

#include <QTimer>

// root: model (QTimer, cache, QTimer, a, a), QTimer, QObject, x.y; unnamed but for those named.
// An object found is shown by its place: the indexes of it and its parents among their siblings.
class ObjectReferencesTest : public PythonTest
{
protected:
    static void add(QObject *parent, bool timer, const char *name)
    {
        (timer ? new QTimer(parent) : new QObject(parent))->setObjectName(QLatin1String(name));
    }
    ObjectReferencesTest()
    {
        add(&root, false, "model"), add(&root, true, ""), add(&root, false, ""), add(&root, false, "x.y");
        add(model(), true, ""), add(model(), false, "cache"), add(model(), true, ""),
            add(model(), false, "a");
        add(model(), false, "a");
    }
    QObject *model() const { return root.children().at(0); }
    std::string place(const QObject *object) const
    {
        if (!object || object == &root)
            return object ? "root" : "null";
        const std::string index =
            std::to_string(object->parent()->children().indexOf(const_cast<QObject *>(object)));
        return object->parent() == &root ? index : place(object->parent()) + "/" + index;
    }
    QObject root;
};

TEST_F(ObjectReferencesTest, PathsResolveByNameOrByClassAndOccurrence)
{
    const auto resolve = [&](const char *path) {
        return Results{{"object", place(W::QObjectIDQObjectPtr(QLatin1String(path), &root))}};
    };
    expectTable("QObjectIDQObjectPtr", resolve, R"(
        input                                        object
        model                                        0
        model.cache | model..cache | .model.cache.   0/1
        model.QTimer:2 | model.QTimer:2:9            0/2
        model.QTimer:1 | model.QTimer                0/0
        model.a                                      0/4
        QTimer:1                                     1
        QObject:1                                    2
        . | ...                                      root
        model.QTimer:3 | model.QTimer:0 | model.QTimer:x | model.QTimer:-1 | model.QTimer:4294967297   null
        Model | cache | model.cache.x | model.model | x.y                                                null
    )");
    EXPECT_EQ(W::QObjectIDQObjectPtr(QString(), &root), &root);
    EXPECT_EQ(W::QObjectIDQObjectPtr(QStringLiteral("model.QTimer:2") + QChar(0), &root), nullptr);
}

TEST_F(ObjectReferencesTest, NoRootLastMatchParentOrderAndNames)
{
    for (const char *path : {"model", "..", ""}) // no root
        EXPECT_EQ(W::QObjectIDQObjectPtr(QLatin1String(path), nullptr), nullptr) << path;
    EXPECT_EQ(W::QObjectPtr2QObjectID(root.children().at(3)), QStringLiteral("x.y"));
    EXPECT_TRUE(W::QObjectPtr2QObjectID(model()->children().at(0)).isEmpty());
    EXPECT_TRUE(W::QObjectPtr2QObjectID(nullptr).isEmpty());

    auto *named = new QTimer(&root);
    named->setObjectName(QStringLiteral("QTimer"));
    EXPECT_EQ(W::QObjectIDQObjectPtr(QStringLiteral("QTimer:7"), &root), named); // the last match wins
    QObject *rootTimer = root.children().at(1);
    rootTimer->setParent(nullptr);
    rootTimer->setParent(&root);
    EXPECT_EQ(W::QObjectIDQObjectPtr(QStringLiteral("QTimer"), &root), rootTimer);
}

// Pointers as many hexadecimal digits as they need, and back; a handle wider than a pointer here
// names no object.
TEST_F(ObjectReferencesTest, HandlesRoundTripEveryPointerValue)
{
    for (const char *e : {"0", "255", "2**31", "2**32 - 1", "2**32", "0x1f2a3b4c5d0", "2**64 - 1"}) {
        const unsigned long long value = PyLong_AsUnsignedLongLong(in(e));
        const std::string handle = "'" + QByteArray::number(value, 16).toStdString() + "'";
        const bool fits = value == quintptr(value);
        QObject *object = reinterpret_cast<QObject *>(quintptr(value));
        EXPECT_EQ(fits ? reprOf(W::QObject2PyObject(object)) : handle, handle) << e;
        EXPECT_EQ(W::PyObject2QObject(in(handle)), fits ? object : nullptr) << e;
    }
    const auto read = [&](const char *e) {
        return Results{
            {"QObject *", QString::number(quintptr(W::PyObject2QObject(in(e))), 16).toStdString()}};
    };
    expectTable("QObject2PyObject, PyObject2QObject", read, R"(
        input                                                       QObject *
        b'ff'                                                       ff
        None | 255 | 'zz' | '' | '1' * 17 | 'f' * 17 | ['ff'] | null       0
    )");
}
