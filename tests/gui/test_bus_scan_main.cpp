// Runs the bus scan, Control page and emergency stop tests, every workflow on
// a real line, and the Bus monitor.
// Usage: gui_bus_tests [ClassName] [Qt Test options]

#include "TestMain.h"

std::unique_ptr<QObject> MakeBusScanTest();
std::unique_ptr<QObject> MakeMotorControlTest();
std::unique_ptr<QObject> MakeEmergencyStopTest();
std::unique_ptr<QObject> MakeLineTest();
std::unique_ptr<QObject> MakeBusMonitorTest();
std::unique_ptr<QObject> MakeMotionStopTest();

int main(int argc, char **argv)
{
    return RunTestClasses(argc, argv,
                          {
                              {"BusScanTest", MakeBusScanTest},
                              {"MotorControlTest", MakeMotorControlTest},
                              {"EmergencyStopTest", MakeEmergencyStopTest},
                              {"LineTest", MakeLineTest},
                              {"BusMonitorTest", MakeBusMonitorTest},
                              {"MotionStopTest", MakeMotionStopTest},
                          });
}
