// Runs the Bus backup tests. Usage: gui_bus_backup_tests [ClassName] [Qt Test options]

#include "TestMain.h"

std::unique_ptr<QObject> MakeBusBackupTest();

int main(int argc, char **argv)
{
    return RunTestClasses(argc, argv, {{"BusBackupTest", MakeBusBackupTest}});
}
