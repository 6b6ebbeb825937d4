#include "pythontest.h"

#include <type_traits>

using FacadeTest = PythonTest;

TEST_F(FacadeTest, ReportPrintsOneTypeErrorAndLeavesNothingPending)
{
    TPyQtWrapping::showErrorMessage(QString());
    EXPECT_EQ(takeStderr(), "TypeError\n"); // the interpreter's rendering of an empty message
    EXPECT_FALSE(errorPending());

    TPyQtWrapping::showErrorMessage(QStringLiteral("caf\u00e9 \u65e5"));
    EXPECT_EQ(takeStderr(), typeError("caf\xc3\xa9 \xe6\x97\xa5"));

    TPyQtWrapping::showErrorMessage(QStringLiteral("first"));
    TPyQtWrapping::showErrorMessage(QStringLiteral("second"));
    EXPECT_EQ(takeStderr(), typeError("first") + typeError("second"));
}

TEST_F(FacadeTest, ReportReplacesAPendingError)
{
    PyErr_SetString(PyExc_ValueError, "stale");
    TPyQtWrapping::showErrorMessage(QStringLiteral("fresh"));
    EXPECT_EQ(takeStderr(), typeError("fresh"));
    EXPECT_FALSE(errorPending());
}

TEST_F(FacadeTest, ReportSurvivesAnExceptionHookThatRaises)
{
    exec("def _bad_hook(*args):\n    raise RuntimeError('hook')\nsys.excepthook = _bad_hook\n");
    TPyQtWrapping::showErrorMessage(QStringLiteral("x"));
    exec("sys.excepthook = sys.__excepthook__\n");
    EXPECT_FALSE(errorPending());
    EXPECT_NE(takeStderr().find("RuntimeError: hook"), std::string::npos);
}

TEST_F(FacadeTest, ClassIsAnEmptyValueWhoseAssignmentsDoNothing)
{
    static_assert(std::is_empty<TPyQtWrapping>::value, "no data");
    static_assert(std::is_trivially_copy_constructible<TPyQtWrapping>::value, "");
    static_assert(!std::is_polymorphic<TPyQtWrapping>::value, "");
    TPyQtWrapping a, b;
    EXPECT_EQ(&(a = b), &a);
    EXPECT_EQ(&(a = std::move(b)), &a);
}
