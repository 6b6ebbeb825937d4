// Tests: the report a refused conversion prints, and that it leaves nothing pending.
#include "pythontest.h"

#include <sstream>

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

// A hook or a stream that raises anything, SystemExit included, neither ends the process nor leaves
// an error: the report is printed as the interpreter prints a failing hook, or not at all.
TEST_F(FacadeTest, HostileHooksAndStreams)
{
    exec(
        "class Raiser:\n  def __init__(s, e): s.e = e\n  def __call__(s, *a): raise s.e\n  write = __call__\n"
        "_out = sys.stderr\n");
    const auto report = [&](const char *setup) {
        exec(std::string(setup) + "\n");
        W::pythonStringToQString(QStringLiteral("\\uzz"));
        exec("sys.excepthook, sys.stderr = sys.__excepthook__, _out\n");
        std::istringstream text(printed());
        std::string lines;
        for (std::string line; std::getline(text, line);) // the traceback's lines name the test's code
            if (line.rfind("Traceback", 0) && line.rfind("  ", 0))
                lines += line + "|";
        return Results{{"printed", lines}};
    };
    const std::string x = "TypeError: pythonStringToQString: Error with character zz: 0|";
    const auto failing = [&](const std::string &error) {
        return "Error in sys.excepthook:|" + error + "||Original exception was:|" + x;
    };
    expectTable("showErrorMessage (through pythonStringToQString)", report, R"(
        input                                                                               printed
        sys.excepthook = Raiser(SystemExit(3))                                              $exit
        sys.excepthook = Raiser(KeyboardInterrupt)                                          $interrupt
        del sys.excepthook                                                                  $missing
        sys.stderr = Raiser(SystemExit) | sys.excepthook = sys.stderr = Raiser(SystemExit)
    )",
                {{"$exit", failing("SystemExit: 3")},
                 {"$interrupt", failing("KeyboardInterrupt")},
                 {"$missing", "sys.excepthook is missing|" + x}});
}
