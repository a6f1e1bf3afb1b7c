// Runs the bus scan and Control page tests under the program's own
// application object. Usage: gui_bus_tests [ClassName] [Qt Test options]

#include <QObject>
#include <QTest>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "app/LumoApplication.h"

std::unique_ptr<QObject> MakeBusScanTest();
std::unique_ptr<QObject> MakeMotorControlTest();

int main(int argc, char **argv)
{
    LumoApplication app(argc, argv);
    std::vector<std::pair<const char *, std::function<std::unique_ptr<QObject>()>>> classes = {
        {"BusScanTest", MakeBusScanTest},
        {"MotorControlTest", MakeMotorControlTest},
    };
    const char *only = nullptr;
    std::vector<char *> args(argv, argv + argc);
    if (args.size() > 1 && args[1][0] != '-') {
        only = args[1];
        args.erase(args.begin() + 1);
    }
    int failures = 0;
    for (auto &[name, make] : classes) {
        if (only && std::strcmp(only, name) != 0)
            continue;
        std::unique_ptr<QObject> test = make();
        failures += QTest::qExec(test.get(), static_cast<int>(args.size()), args.data());
    }
    return failures == 0 ? 0 : 1;
}
