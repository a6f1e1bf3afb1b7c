// Runs the service records tests. Usage: gui_records_tests [ClassName] [Qt Test options]

#include "TestMain.h"

std::unique_ptr<QObject> MakeServiceRecordsTest();

int main(int argc, char **argv)
{
    return RunTestClasses(argc, argv, {{"ServiceRecordsTest", MakeServiceRecordsTest}});
}
