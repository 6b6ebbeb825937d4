#include "pythontest.h"

#include <QTimer>

#include <memory>

using ObjectReferencesTest = PythonTest;

namespace {

// root: "model" (unnamed QTimer, "cache", unnamed QTimer), unnamed QTimer, unnamed QObject.
struct Tree {
    QObject root;
    QObject *model = new QObject(&root);
    QTimer *modelTimer1 = new QTimer(model);
    QObject *cache = new QObject(model);
    QTimer *modelTimer2 = new QTimer(model);
    QTimer *rootTimer = new QTimer(&root);
    QObject *rootObject = new QObject(&root);
    Tree()
    {
        model->setObjectName(QStringLiteral("model"));
        cache->setObjectName(QStringLiteral("cache"));
    }
};

} // namespace

TEST(ObjectPaths, WorkedExamples)
{
    Tree t;
    const struct {
        const char *path;
        const QObject *expected;
    } cases[] = {
        {"model", t.model},          {"model.cache", t.cache},
        {"model.QTimer:2", t.modelTimer2}, {"model.QTimer:1", t.modelTimer1},
        {"model.QTimer", t.modelTimer1},   {"model.QTimer:3", nullptr},
        {"model.QTimer:0", nullptr}, {"model.QTimer:x", nullptr},
        {"model.QTimer:-1", nullptr}, {"model.QTimer:4294967297", nullptr},
        {"model.QTimer:2:9", t.modelTimer2}, {"QTimer:1", t.rootTimer},
        {"QObject:1", t.rootObject}, {"", &t.root}, {".", &t.root}, {"...", &t.root},
        {"model..cache", t.cache},   {".model.cache.", t.cache},
        {"Model", nullptr},          {"cache", nullptr}, {"model.cache.x", nullptr},
        {"model.model", nullptr},
    };
    for (const auto &c : cases)
        EXPECT_EQ(TPyQtWrapping::QObjectIDQObjectPtr(QLatin1String(c.path), &t.root), c.expected)
            << c.path;

    EXPECT_EQ(TPyQtWrapping::QObjectPtr2QObjectID(t.cache), QStringLiteral("cache"));
    EXPECT_TRUE(TPyQtWrapping::QObjectPtr2QObjectID(t.modelTimer1).isEmpty());
    EXPECT_TRUE(TPyQtWrapping::QObjectPtr2QObjectID(nullptr).isEmpty());
    EXPECT_EQ(TPyQtWrapping::QObjectIDQObjectPtr(QStringLiteral("model"), nullptr), nullptr);
    EXPECT_EQ(TPyQtWrapping::QObjectIDQObjectPtr(QStringLiteral(".."), nullptr), nullptr);
}

TEST(ObjectPaths, NamedChildrenAgainstUnnamedOnes)
{
    QObject root;
    auto *a1 = new QObject(&root);
    auto *a2 = new QObject(&root);
    a1->setObjectName(QStringLiteral("a"));
    a2->setObjectName(QStringLiteral("a"));
    EXPECT_EQ(TPyQtWrapping::QObjectIDQObjectPtr(QStringLiteral("a"), &root), a2); // last wins

    auto *unnamed = new QTimer(&root);
    auto *named = new QTimer(&root);
    named->setObjectName(QStringLiteral("QTimer"));
    EXPECT_EQ(TPyQtWrapping::QObjectIDQObjectPtr(QStringLiteral("QTimer"), &root), named);
    EXPECT_EQ(TPyQtWrapping::QObjectIDQObjectPtr(QStringLiteral("QTimer:7"), &root), named);
    // Re-parenting moves the unnamed timer behind the named one: the later match wins.
    unnamed->setParent(nullptr);
    unnamed->setParent(&root);
    EXPECT_EQ(TPyQtWrapping::QObjectIDQObjectPtr(QStringLiteral("QTimer"), &root), unnamed);

    auto *dotted = new QObject(&root);
    dotted->setObjectName(QStringLiteral("x.y"));
    EXPECT_EQ(TPyQtWrapping::QObjectPtr2QObjectID(dotted), QStringLiteral("x.y"));
    EXPECT_EQ(TPyQtWrapping::QObjectIDQObjectPtr(QStringLiteral("x.y"), &root), nullptr);
}

TEST_F(ObjectReferencesTest, HandlesRoundTripEveryPointerValue)
{
    const struct {
        quintptr value;
        const char *text;
    } cases[] = {
        {0, "0"}, {255, "ff"}, {0x80000000u, "80000000"}, {4294967296u, "100000000"},
        {2141640246736u, "1f2a3b4c5d0"}, {~quintptr(0), "ffffffffffffffff"},
    };
    for (const auto &c : cases) {
        auto *object = reinterpret_cast<QObject *>(c.value);
        PyRef handle(TPyQtWrapping::QObject2PyObject(object));
        ASSERT_TRUE(handle);
        EXPECT_TRUE(PyUnicode_CheckExact(handle.get()));
        EXPECT_STREQ(PyUnicode_AsUTF8(handle.get()), c.text);
        EXPECT_EQ(TPyQtWrapping::PyObject2QObject(handle.get()), object);
    }
    QObject real;
    PyRef handle(TPyQtWrapping::QObject2PyObject(&real));
    EXPECT_EQ(TPyQtWrapping::PyObject2QObject(handle.get()), &real);
}

TEST_F(ObjectReferencesTest, TextsThatDoNotParseGiveNull)
{
    EXPECT_EQ(TPyQtWrapping::PyObject2QObject(eval("b'ff'").get()), reinterpret_cast<QObject *>(255));
    for (const char *expression : {"None", "255", "'zz'", "''", "'1' * 17", "'f' * 17", "['ff']"})
        EXPECT_EQ(TPyQtWrapping::PyObject2QObject(eval(expression).get()), nullptr) << expression;
    EXPECT_EQ(TPyQtWrapping::PyObject2QObject(nullptr), nullptr);
    EXPECT_FALSE(errorPending());
}
