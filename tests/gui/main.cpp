// Runs the window's Qt Test classes under one application object (the one
// the program uses, so exceptions escaping handlers are caught as in use).
// Usage: gui_tests [ClassName] [Qt Test options]

#include <QTest>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "GuiTests.h"
#include "app/LumoApplication.h"

int main(int argc, char **argv)
{
    LumoApplication app(argc, argv);
    std::vector<std::pair<const char *, std::function<std::unique_ptr<QObject>()>>> classes = {
        {"WindowTest", MakeWindowTest},
        {"ConnectionTest", MakeConnectionTest},
        {"ShellTest", MakeShellTest},
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
