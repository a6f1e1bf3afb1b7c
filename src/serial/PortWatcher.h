#pragma once
// Notices serial devices coming and going without a device daemon or a
// thread: each Poll() (the window calls it from a timer, every ~500 ms)
// re-reads the set of serial ports and compares it with the previous one.
// Runs the same in a plain container as on a desktop. On Windows the window
// also polls at once when the system announces a device change, and passes
// the name of a removed port on with ReportRemoved().
//
// Ports the caller has open may not be in that set at all (a pseudo-terminal
// such as /dev/pts/3, a symlink such as /tmp/lumo-bus): those are registered
// with WatchPath() and reported once when the path stops existing.
//
// Removal names are reported in full and must be compared in full: cutting
// them short would make unplugging COM123 close COM12.

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "serial/SerialPorts.h"
#include "serial/Sysfs.h"

class PortWatcher {
public:
    using ArrivedHandler = std::function<void()>;
    using RemovedHandler = std::function<void(const std::string &portName)>;
    // Fills the list with the current port names; false when it cannot.
    using PortLister = std::function<bool(std::vector<std::string> *)>;

    // Watches the running system (ReadSerialPorts()).
    PortWatcher(ArrivedHandler onArrived, RemovedHandler onRemoved);
    // Watches the serial devices of `tree`; bare watched names are looked up
    // in tree.devRoot.
    PortWatcher(ArrivedHandler onArrived, RemovedHandler onRemoved, const SysfsTree &tree);
    // Watches whatever `lister` returns; bare watched names are looked up in `devRoot`.
    PortWatcher(ArrivedHandler onArrived, RemovedHandler onRemoved, PortLister lister,
                std::string devRoot = "/dev");

    // Compares the port set with the one of the last poll: calls onArrived
    // once if any port appeared and onRemoved for each port that went, then
    // onRemoved for each watched path that has ceased to exist. When the
    // list cannot be read, nothing is reported and the old set is kept.
    // The handlers may call WatchPath, UnwatchPath and Poll.
    void Poll();

    // The system says that `portName` was removed (Windows names the port
    // in its device-change message): onRemoved runs at once rather than at
    // the next poll, and the port leaves the set, so that poll does not
    // report it a second time. A name the set does not hold is reported
    // too: the port the caller has open need not be listed.
    void ReportRemoved(const std::string &portName);

    // Reports `path`, exactly as given here, through onRemoved once when it
    // no longer exists (its own or its target's node is gone). A name
    // without '/' means <devRoot>/<name>, as the port opens it. A path that
    // comes back is watched again. Only POSIX paths are checked.
    void WatchPath(const std::string &path);
    void UnwatchPath(const std::string &path);

    // The port set as of the last poll.
    const std::set<std::string> &Ports() const { return ports_; }

private:
    struct Watched {
        std::string path;
        bool reported = false;
    };
    bool Gone(const std::string &path) const;

    ArrivedHandler onArrived_;
    RemovedHandler onRemoved_;
    PortLister lister_;
    std::string devRoot_;
    std::set<std::string> ports_;
    std::vector<Watched> watched_;
};
