// lumo-tool: the LUMO actuator service tool. Takes no arguments beyond Qt's
// own and --help and --version, reads no settings and saves none.

#include <QString>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include "LumoVersion.h"
#include "app/LumoApplication.h"
#include "app/WaitDlg.h"
#include "console/Modbussetting.h"
#include "ui/UserDialogs.h"

namespace {

#if defined(__linux__) || defined(__unix__)
bool IsSet(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0';
}
#endif

// Qt aborts with a plugin message when it finds no display; say what is
// missing and how to run without one instead. Windows always has a desktop.
bool HaveDisplay()
{
#if defined(__linux__) || defined(__unix__)
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    const bool platformGiven = platform != nullptr && *platform != '\0';
    if (platformGiven && std::strncmp(platform, "xcb", 3) != 0 && std::strncmp(platform, "wayland", 7) != 0)
        return true; // offscreen, vnc, ... need no display
    if (platformGiven && std::strncmp(platform, "wayland", 7) == 0)
        return IsSet("WAYLAND_DISPLAY");
    if (platformGiven)
        return IsSet("DISPLAY");
    return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY");
#else
    return true;
#endif
}

constexpr const char *kUsage =
    "Usage: lumo-tool [OPTION]...\n"
    "The LUMO actuator service tool: a window to find LUMO-D, LUMO-P and LUMO-B\n"
    "linear actuators on an RS-485 Modbus RTU bus, read and write their\n"
    "configuration, let them learn their stroke, move them and give them new\n"
    "addresses.\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Qt's own options (-platform, -style, -reverse, ...) are understood as well.\n"
    "The window needs a graphical display (DISPLAY or WAYLAND_DISPLAY); without one\n"
    "it says so and exits with status 1. On a virtual X server: xvfb-run -a lumo-tool\n";

#ifdef _WIN32
// lumo-tool.exe is a window program, so Windows gives it no console: started
// from a command prompt, its --help and --version would print nowhere. Write
// into the console it was started from; output redirected to a file or a
// pipe already has a handle and is left as it is.
void UseParentConsole()
{
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE)
        return;
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        (void)std::freopen("CONOUT$", "w", stdout);
        (void)std::freopen("CONOUT$", "w", stderr);
    }
}
#endif

// --help and --version: answered before Qt looks for a display, so that they
// work anywhere. Returns true when one of them was given and answered.
bool AnswerHelpOrVersion(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const bool help = std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0;
        const bool version = std::strcmp(argv[i], "--version") == 0;
#ifdef _WIN32
        if (help || version)
            UseParentConsole();
#endif
        if (help) {
            std::fputs(kUsage, stdout);
            return true;
        }
        if (version) {
            std::printf("lumo-tool %s\n", kLumoVersion);
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    if (AnswerHelpOrVersion(argc, argv))
        return 0;
    if (!HaveDisplay()) {
        std::fprintf(stderr,
                     "lumo-tool: no graphical display (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                     "Run it from a desktop session, or under a virtual X server:\n"
                     "    xvfb-run -a lumo-tool\n");
        return 1;
    }

    LumoApplication app(argc, argv);
    QtUserDialogs dialogs;
    app.SetDialogs(&dialogs);
    try {
        ConsoleEnvironment environment;
        environment.dialogs = &dialogs;
        TMODBUSSettingForm form(std::move(environment));
        dialogs.SetParent(&form);
        TWaitDlg waitDlg(&form);
        form.SetWaitDialog(&waitDlg);
        form.show();
        app.exec();
        dialogs.SetParent(nullptr);
    } catch (...) {
        dialogs.SetParent(nullptr); // the window is gone by now
        app.ShowCurrentException();
    }
    return 0;
}
