// Runs the bus scan and Control page tests, every workflow on a real line,
// and the Bus monitor.
// Usage: gui_bus_tests [ClassName] [Qt Test options]

#include "TestMain.h"

std::unique_ptr<QObject> MakeBusScanTest();
std::unique_ptr<QObject> MakeMotorControlTest();
std::unique_ptr<QObject> MakeLineTest();
std::unique_ptr<QObject> MakeBusMonitorTest();

int main(int argc, char **argv)
{
    return RunTestClasses(argc, argv,
                          {
                              {"BusScanTest", MakeBusScanTest},
                              {"MotorControlTest", MakeMotorControlTest},
                              {"LineTest", MakeLineTest},
                              {"BusMonitorTest", MakeBusMonitorTest},
                          });
}
