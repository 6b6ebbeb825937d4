// Tests: object paths and text handles.
#include "pythontest.h"

#include <QTimer>

using ObjectReferencesTest = PythonTest;

TEST(ObjectPaths, PathsResolveByNameOrByClassAndOccurrence)
{
    // root: model (QTimer, cache, QTimer, a, a), QTimer, QObject, x.y; unnamed but for those named.
    QObject root;
    auto *model = new QObject(&root);
    QObject *modelTimer1 = new QTimer(model), *cache = new QObject(model), *modelTimer2 = new QTimer(model);
    auto *a1 = new QObject(model), *a2 = new QObject(model);
    QObject *rootTimer = new QTimer(&root), *rootObject = new QObject(&root), *dotted = new QObject(&root);
    for (auto named : {std::make_pair(model, "model"), {cache, "cache"}, {a1, "a"}, {a2, "a"}, {dotted, "x.y"}})
        named.first->setObjectName(QLatin1String(named.second));
    using namespace std::string_literals;
    const std::pair<std::string, const QObject *> cases[] = {
        {"model", model}, {"model.cache", cache}, {"model.QTimer:2", modelTimer2}, {"model.QTimer:1", modelTimer1},
        {"model.QTimer", modelTimer1}, {"model.QTimer:3", nullptr}, {"model.QTimer:0", nullptr},
        {"model.QTimer:x", nullptr}, {"model.QTimer:-1", nullptr}, {"model.QTimer:4294967297", nullptr},
        {"model.QTimer:2\0"s, nullptr},
        {"model.QTimer:2:9", modelTimer2}, {"model.a", a2}, {"QTimer:1", rootTimer}, {"QObject:1", rootObject},
        {"", &root}, {".", &root}, {"...", &root}, {"model..cache", cache}, {".model.cache.", cache},
        {"Model", nullptr}, {"cache", nullptr}, {"model.cache.x", nullptr}, {"model.model", nullptr}, {"x.y", nullptr},
    };
    for (const auto &c : cases)
        EXPECT_EQ(W::QObjectIDQObjectPtr(QLatin1String(c.first.data(), int(c.first.size())), &root), c.second) << c.first;
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

TEST_F(ObjectReferencesTest, HandlesRoundTripEveryPointerValue)
{
    expectEach(Cases<quintptr>{{0, "'0'"}, {255, "'ff'"}, {0x80000000u, "'80000000'"}, {4294967296u, "'100000000'"},
                               {2141640246736u, "'1f2a3b4c5d0'"}, {~quintptr(0), "'ffffffffffffffff'"}},
               [&](quintptr value) {
                   PyObject *handle = hold(W::QObject2PyObject(reinterpret_cast<QObject *>(value)));
                   EXPECT_EQ(W::PyObject2QObject(handle), reinterpret_cast<QObject *>(value));
                   return ascii(handle);
               });
    expectEach(Cases<>{{"b'ff'", "ff"}, {"None", "0"}, {"255", "0"}, {"'zz'", "0"}, {"''", "0"}, {"'1' * 17", "0"},
                       {"'f' * 17", "0"}, {"['ff']", "0"}},
               [&](const char *e) { return QString::number(quintptr(W::PyObject2QObject(in(e))), 16).toStdString(); });
    EXPECT_EQ(W::PyObject2QObject(nullptr), nullptr);
}
