// Tests: the report a refused conversion prints, and that it leaves nothing pending.
#include "pythontest.h"

using FacadeTest = PythonTest;

TEST_F(FacadeTest, ReportPrintsOneTypeErrorAndLeavesNothingPending)
{
    PyErr_SetString(PyExc_ValueError, "stale"); // discarded unprinted
    W::showErrorMessage(QString());
    W::showErrorMessage(QStringLiteral("caf\u00e9 \u65e5"));
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_EQ(printed(), "TypeError\n" + typeError("caf\xc3\xa9 \xe6\x97\xa5"));

    exec("def _bad_hook(*args):\n    raise RuntimeError('hook')\nsys.excepthook = _bad_hook\n");
    W::showErrorMessage(QStringLiteral("x"));
    exec("sys.excepthook = sys.__excepthook__\n");
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_NE(printed().find("RuntimeError: hook"), std::string::npos);
}
