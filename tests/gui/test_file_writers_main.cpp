// Runs the file writing tests. Usage: gui_file_writers_tests [ClassName] [Qt Test options]

#include "TestMain.h"

std::unique_ptr<QObject> MakeFileWritersTest();

int main(int argc, char **argv)
{
    return RunTestClasses(argc, argv, {{"FileWritersTest", MakeFileWritersTest}});
}
