#include "pythontest.h"

#include <QTimer>

using ObjectReferencesTest = PythonTest;

TEST(ObjectPaths, PathsResolveByNameOrByClassAndOccurrence)
{
    // root: "model" (unnamed QTimer, "cache", unnamed QTimer, "a", "a"), unnamed QTimer, unnamed
    // QObject, "x.y", a QTimer named "QTimer" after an unnamed one.
    QObject root;
    auto *model = new QObject(&root);
    auto *modelTimer1 = new QTimer(model);
    auto *cache = new QObject(model);
    auto *modelTimer2 = new QTimer(model);
    auto *a1 = new QObject(model), *a2 = new QObject(model);
    auto *rootTimer = new QTimer(&root);
    auto *rootObject = new QObject(&root);
    auto *dotted = new QObject(&root);
    model->setObjectName(QStringLiteral("model"));
    cache->setObjectName(QStringLiteral("cache"));
    a1->setObjectName(QStringLiteral("a"));
    a2->setObjectName(QStringLiteral("a"));
    dotted->setObjectName(QStringLiteral("x.y"));
    const struct {
        const char *path;
        const QObject *expected;
    } cases[] = {
        {"model", model}, {"model.cache", cache}, {"model.QTimer:2", modelTimer2}, {"model.QTimer:1", modelTimer1},
        {"model.QTimer", modelTimer1}, {"model.QTimer:3", nullptr}, {"model.QTimer:0", nullptr},
        {"model.QTimer:x", nullptr}, {"model.QTimer:-1", nullptr}, {"model.QTimer:4294967297", nullptr},
        {"model.QTimer:2:9", modelTimer2}, {"model.a", a2}, {"QTimer:1", rootTimer}, {"QObject:1", rootObject},
        {"", &root}, {".", &root}, {"...", &root}, {"model..cache", cache}, {".model.cache.", cache},
        {"Model", nullptr}, {"cache", nullptr}, {"model.cache.x", nullptr}, {"model.model", nullptr},
        {"x.y", nullptr},
    };
    for (const auto &c : cases)
        EXPECT_EQ(W::QObjectIDQObjectPtr(QLatin1String(c.path), &root), c.expected) << c.path;
    EXPECT_EQ(W::QObjectIDQObjectPtr(QStringLiteral("model"), nullptr), nullptr);
    EXPECT_EQ(W::QObjectIDQObjectPtr(QStringLiteral(".."), nullptr), nullptr);

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

TEST_F(ObjectReferencesTest, HandlesRoundTripEveryPointerValue)
{
    const struct {
        quintptr value;
        const char *text;
    } cases[] = {
        {0, "'0'"}, {255, "'ff'"}, {0x80000000u, "'80000000'"}, {4294967296u, "'100000000'"},
        {2141640246736u, "'1f2a3b4c5d0'"}, {~quintptr(0), "'ffffffffffffffff'"},
    };
    for (const auto &c : cases) {
        auto *object = reinterpret_cast<QObject *>(c.value);
        PyObject *handle = hold(W::QObject2PyObject(object));
        EXPECT_EQ(reprOf(PyRef::borrowed(handle).release()), c.text);
        EXPECT_EQ(W::PyObject2QObject(handle), object);
    }
    EXPECT_EQ(W::PyObject2QObject(in("b'ff'")), reinterpret_cast<QObject *>(255));
    for (const char *expression : {"None", "255", "'zz'", "''", "'1' * 17", "'f' * 17", "['ff']"})
        EXPECT_EQ(W::PyObject2QObject(in(expression)), nullptr) << expression;
    EXPECT_EQ(W::PyObject2QObject(nullptr), nullptr);
}
