// Tests: object paths and text handles.
#include "pythontest.h"

#include <QTimer>

// root: model (QTimer, cache, QTimer, a, a), QTimer, QObject, x.y; unnamed but for those named. Each
// object carries a label that only the tests read.
class ObjectReferencesTest : public PythonTest
{
protected:
    QObject *add(QObject *object, const char *name, const char *label)
    {
        object->setObjectName(QLatin1String(name));
        object->setProperty("label", QLatin1String(label));
        return object;
    }
    ObjectReferencesTest()
    {
        model = add(new QObject(&root), "model", "model");
        modelTimer1 = add(new QTimer(model), "", "model's timer 1");
        add(new QObject(model), "cache", "cache");
        add(new QTimer(model), "", "model's timer 2");
        add(new QObject(model), "a", "a 1");
        add(new QObject(model), "a", "a 2");
        rootTimer = add(new QTimer(&root), "", "root's timer");
        add(new QObject(&root), "", "root's object");
        dotted = add(new QObject(&root), "x.y", "x.y");
    }
    QObject root;
    QObject *model, *modelTimer1, *rootTimer, *dotted;
};

TEST_F(ObjectReferencesTest, PathsResolveByNameOrByClassAndOccurrence)
{
    root.setProperty("label", QStringLiteral("root"));
    const auto resolve = [&](const char *path) {
        const QObject *found = W::QObjectIDQObjectPtr(QLatin1String(path), &root);
        return Results{{"object", found ? found->property("label").toString().toStdString() : "null"}};
    };
    expectTable(resolve, R"(
        input                                  object
        model                                  model
        model.cache | model..cache | .model.cache.   cache
        model.QTimer:2 | model.QTimer:2:9      model's timer 2
        model.QTimer:1 | model.QTimer          model's timer 1
        model.a                                a 2
        QTimer:1                               root's timer
        QObject:1                              root's object
        . | ...                                root
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

    auto *named = new QTimer(&root);
    named->setObjectName(QStringLiteral("QTimer"));
    EXPECT_EQ(W::QObjectIDQObjectPtr(QStringLiteral("QTimer:7"), &root), named); // the last match wins
    rootTimer->setParent(nullptr);
    rootTimer->setParent(&root);
    EXPECT_EQ(W::QObjectIDQObjectPtr(QStringLiteral("QTimer"), &root), rootTimer);

    EXPECT_EQ(W::QObjectPtr2QObjectID(dotted), QStringLiteral("x.y"));
    EXPECT_TRUE(W::QObjectPtr2QObjectID(modelTimer1).isEmpty());
    EXPECT_TRUE(W::QObjectPtr2QObjectID(nullptr).isEmpty());
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
    expectTable(read, R"(
        input                                                       QObject *
        b'ff'                                                       ff
        None | 255 | 'zz' | '' | '1' * 17 | 'f' * 17 | ['ff']       0
    )");
    EXPECT_EQ(W::PyObject2QObject(nullptr), nullptr);
}
