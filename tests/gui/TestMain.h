#pragma once
// The main() of the window test programs: runs their Qt Test classes under
// the program's own application object, so exceptions escaping handlers are
// caught as in use. Usage: <program> [ClassName] [Qt Test options]; with a
// class name only that class runs.

#include <QObject>
#include <QTest>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "TempRecords.h"
#include "app/LumoApplication.h"

using TestClassList = std::vector<std::pair<const char *, std::function<std::unique_ptr<QObject>()>>>;

// 0 when every class that ran passed.
inline int RunTestClasses(int argc, char **argv, const TestClassList &classes)
{
    RecordsToTempFolder();
    LumoApplication app(argc, argv);
    const char *only = nullptr;
    std::vector<char *> args(argv, argv + argc);
    if (args.size() > 1 && args[1][0] != '-') {
        only = args[1];
        args.erase(args.begin() + 1);
    }
    int failures = 0;
    for (const auto &[name, make] : classes) {
        if (only && std::strcmp(only, name) != 0)
            continue;
        std::unique_ptr<QObject> test = make();
        failures += QTest::qExec(test.get(), static_cast<int>(args.size()), args.data());
    }
    return failures == 0 ? 0 : 1;
}
