// Runs the window's Qt Test classes. Usage: gui_tests [ClassName] [Qt Test options]

#include "GuiTests.h"
#include "TestMain.h"

int main(int argc, char **argv)
{
    return RunTestClasses(argc, argv,
                          {
                              {"WindowTest", MakeWindowTest},
                              {"ConnectionTest", MakeConnectionTest},
                              {"ShellTest", MakeShellTest},
                          });
}
