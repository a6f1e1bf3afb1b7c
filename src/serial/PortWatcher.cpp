#include "serial/PortWatcher.h"

#include <algorithm>
#include <utility>

#ifndef _WIN32
#include <cerrno>
#include <sys/stat.h>
#endif

PortWatcher::PortWatcher(ArrivedHandler onArrived, RemovedHandler onRemoved)
    : PortWatcher(std::move(onArrived), std::move(onRemoved),
                  [](std::vector<std::string> *list) { return ReadSerialPorts(list); })
{
}

PortWatcher::PortWatcher(ArrivedHandler onArrived, RemovedHandler onRemoved, const SysfsTree &tree)
    : PortWatcher(std::move(onArrived), std::move(onRemoved),
                  [tree](std::vector<std::string> *list) { return ReadSerialPorts(list, tree); },
                  tree.devRoot)
{
}

PortWatcher::PortWatcher(ArrivedHandler onArrived, RemovedHandler onRemoved, PortLister lister,
                         std::string devRoot)
    : onArrived_(std::move(onArrived)), onRemoved_(std::move(onRemoved)), lister_(std::move(lister)),
      devRoot_(std::move(devRoot))
{
    // The starting set: what is present now is not news at the first poll.
    std::vector<std::string> list;
    if (lister_ && lister_(&list))
        ports_.insert(list.begin(), list.end());
}

bool PortWatcher::Gone(const std::string &path) const
{
#ifdef _WIN32
    (void)path;
    return false;
#else
    const std::string target = path.find('/') == std::string::npos ? devRoot_ + "/" + path : path;
    struct stat st{};
    // stat follows a symlink, so a link whose pty has vanished counts as gone.
    // Any other failure (a permission problem) says nothing about the device.
    return ::stat(target.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
#endif
}

void PortWatcher::Poll()
{
    bool arrived = false;
    std::vector<std::string> removed;

    std::vector<std::string> list;
    if (lister_ && lister_(&list)) {
        std::set<std::string> now(list.begin(), list.end());
        for (const std::string &port : now)
            if (ports_.count(port) == 0)
                arrived = true;
        for (const std::string &port : ports_)
            if (now.count(port) == 0)
                removed.push_back(port);
        ports_ = std::move(now);
    }

    for (Watched &w : watched_) {
        if (!Gone(w.path)) {
            w.reported = false; // back again: report its next loss too
            continue;
        }
        if (w.reported)
            continue;
        w.reported = true;
        if (std::find(removed.begin(), removed.end(), w.path) == removed.end())
            removed.push_back(w.path);
    }

    // All state is settled before any handler runs, so a handler that
    // watches, unwatches or polls again sees a consistent watcher and no
    // event is reported twice.
    if (arrived && onArrived_)
        onArrived_();
    if (onRemoved_)
        for (const std::string &port : removed)
            onRemoved_(port);
}

void PortWatcher::ReportRemoved(const std::string &portName)
{
    if (portName.empty())
        return;
    ports_.erase(portName);
    if (onRemoved_)
        onRemoved_(portName);
}

void PortWatcher::WatchPath(const std::string &path)
{
    if (path.empty())
        return;
    for (const Watched &w : watched_)
        if (w.path == path)
            return;
    // A path already gone when registered is reported at the next poll.
    watched_.push_back(Watched{path, false});
}

void PortWatcher::UnwatchPath(const std::string &path)
{
    watched_.erase(std::remove_if(watched_.begin(), watched_.end(),
                                  [&](const Watched &w) { return w.path == path; }),
                   watched_.end());
}
