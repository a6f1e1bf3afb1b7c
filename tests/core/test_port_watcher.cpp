// The port watcher: arrivals and removals found by comparing the port set
// between polls, and ports that no list holds (pseudo-terminals, symlinks)
// reported when their path stops existing.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "PtyPair.h"
#include "serial/PortWatcher.h"
#include "test_discovery_fake_sysfs.h"

using Strings = std::vector<std::string>;

class PortWatcherTest : public testing::Test {
protected:
    PortWatcher Make(const SysfsTree &tree)
    {
        return PortWatcher([this] { ++arrivals; }, [this](const std::string &p) { removals.push_back(p); },
                           tree);
    }
    int arrivals = 0;
    Strings removals;
};

TEST_F(PortWatcherTest, ReportsArrivalAndRemovalOnTheFakeTree)
{
    FakeSysfs sys;
    sys.AddUsbSerial("ttyUSB0", "pl2303", "pl2303");
    sys.AddUart("ttyS1", 0);
    PortWatcher watcher = Make(sys.tree());

    watcher.Poll(); // what was there at the start is not news
    EXPECT_EQ(arrivals, 0);
    EXPECT_TRUE(removals.empty());

    sys.AddUsbSerial("ttyUSB1", "cp210x", "cp210x");
    sys.AddAcm("ttyACM0");
    watcher.Poll();
    EXPECT_EQ(arrivals, 1); // one refresh per poll is enough
    watcher.Poll();
    EXPECT_EQ(arrivals, 1);

    sys.Remove("ttyUSB0");
    watcher.Poll();
    EXPECT_EQ(removals, Strings{sys.dev("ttyUSB0")});
    watcher.Poll();
    EXPECT_EQ(removals.size(), 1u);
    EXPECT_EQ(arrivals, 1);
}

TEST_F(PortWatcherTest, RemovedNamesAreCompleteAndExact)
{
    // COM12 and COM123 share their first five characters; unplugging one
    // must not name the other.
    Strings present{"COM1", "COM12", "COM123"};
    bool readable = true;
    PortWatcher watcher([this] { ++arrivals; }, [this](const std::string &p) { removals.push_back(p); },
                        [&](Strings *list) {
                            *list = present;
                            return readable;
                        });
    present = {"COM1", "COM12"};
    watcher.Poll();
    EXPECT_EQ(removals, Strings{"COM123"});

    // An unreadable list is no evidence that ports left.
    readable = false;
    present.clear();
    watcher.Poll();
    EXPECT_EQ(removals, Strings{"COM123"});
    readable = true;
    present = {"COM1", "COM12", "COM4"};
    watcher.Poll();
    EXPECT_EQ(arrivals, 1);
    EXPECT_EQ(removals, Strings{"COM123"});
}

TEST_F(PortWatcherTest, RemovalNamedByTheSystemIsReportedOnce)
{
    // Windows names the removed port in its device-change message; the
    // registry's list may lose the value before or after that message.
    Strings present{"COM3", "COM17"};
    PortWatcher watcher([this] { ++arrivals; }, [this](const std::string &p) { removals.push_back(p); },
                        [&](Strings *list) {
                            *list = present;
                            return true;
                        });
    present = {"COM3"};
    watcher.ReportRemoved("COM17");
    EXPECT_EQ(removals, Strings{"COM17"});
    watcher.Poll(); // the list agrees: nothing more to say
    EXPECT_EQ(removals, Strings{"COM17"});
    EXPECT_EQ(arrivals, 0);

    // The message came first and the list still holds the port: once the
    // list drops it, that is no second removal.
    watcher.ReportRemoved("COM3");
    EXPECT_EQ(removals, (Strings{"COM17", "COM3"}));
    present.clear();
    watcher.Poll();
    EXPECT_EQ(removals, (Strings{"COM17", "COM3"}));

    // An open port that no list holds is reported all the same, and a name
    // that comes back is an arrival.
    watcher.ReportRemoved("COM250");
    EXPECT_EQ(removals, (Strings{"COM17", "COM3", "COM250"}));
    present = {"COM17"};
    watcher.Poll();
    EXPECT_EQ(arrivals, 1);
}

TEST_F(PortWatcherTest, WatchedPtyAndSymlinkReportedOnceWhenTheirMasterCloses)
{
    FakeSysfs sys;
    PtyPair direct;
    PtyPair linked;
    const std::string link = sys.dev("lumo-bus");
    std::filesystem::create_symlink(linked.slavePath(), link);

    PortWatcher watcher = Make(sys.tree());
    watcher.WatchPath(direct.slavePath());
    watcher.WatchPath(link);
    watcher.WatchPath(link); // twice is once
    watcher.Poll();
    EXPECT_TRUE(removals.empty());

    direct.CloseMaster();
    watcher.Poll();
    EXPECT_EQ(removals, Strings{direct.slavePath()});

    linked.CloseMaster();
    watcher.Poll();
    watcher.Poll();
    EXPECT_EQ(removals, (Strings{direct.slavePath(), link}));
    EXPECT_EQ(arrivals, 0);
}

TEST_F(PortWatcherTest, BareNameMeansTheDeviceDirectory)
{
    FakeSysfs sys;
    sys.AddUsbSerial("ttyUSB0", "pl2303", "pl2303");
    PortWatcher watcher = Make(sys.tree());
    watcher.WatchPath("ttyUSB0"); // as the port opens it: <dev>/ttyUSB0
    watcher.WatchPath("ttyGone");
    watcher.Poll();
    EXPECT_EQ(removals, Strings{"ttyGone"}); // already gone when registered
    watcher.UnwatchPath("ttyGone");

    sys.Remove("ttyUSB0");
    watcher.Poll();
    EXPECT_EQ(removals, (Strings{"ttyGone", sys.dev("ttyUSB0"), "ttyUSB0"}));
}

TEST_F(PortWatcherTest, WatchedPathInTheListIsReportedOnceAndComesBack)
{
    FakeSysfs sys;
    sys.AddUsbSerial("ttyUSB0", "pl2303", "pl2303");
    PortWatcher watcher = Make(sys.tree());
    watcher.WatchPath(sys.dev("ttyUSB0"));

    sys.Remove("ttyUSB0");
    watcher.Poll();
    EXPECT_EQ(removals, Strings{sys.dev("ttyUSB0")});

    sys.AddUsbSerial("ttyUSB0", "pl2303", "pl2303"); // plugged in again
    watcher.Poll();
    EXPECT_EQ(arrivals, 1);
    sys.Remove("ttyUSB0");
    watcher.Poll();
    EXPECT_EQ(removals, (Strings{sys.dev("ttyUSB0"), sys.dev("ttyUSB0")}));
}

TEST_F(PortWatcherTest, HandlersMayChangeTheWatchAndPollAgain)
{
    FakeSysfs sys;
    PtyPair a;
    PtyPair b;
    PortWatcher *self = nullptr;
    Strings seen;
    PortWatcher watcher([] {},
                        [&](const std::string &p) {
                            seen.push_back(p);
                            // What a window does on losing its port: forget it,
                            // and it may run the event loop, which polls again.
                            self->UnwatchPath(p);
                            self->WatchPath("/nonexistent-lumo/after");
                            self->UnwatchPath("/nonexistent-lumo/after");
                            self->Poll();
                        },
                        sys.tree());
    self = &watcher;
    watcher.WatchPath(a.slavePath());
    watcher.WatchPath(b.slavePath());
    a.CloseMaster();
    b.CloseMaster();
    watcher.Poll();
    EXPECT_EQ(seen, (Strings{a.slavePath(), b.slavePath()}));
}
