// Port discovery over a made-up /dev and /sys (fake_dev_sys.h).
#include <gtest/gtest.h>

#include "fake_dev_sys.h"
#include "testkit.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "serial/posix_internal.h"

using namespace testkit;

namespace {

typedef std::vector<std::string> Names;

PortTable table;

class FakeTree : public FakeDevSys {
protected:
    Names found(const std::string &dev_root, const std::string &sys_root)
    {
        memset(&table, 'x', sizeof table);
        int n = discover_ports_under(&table, dev_root.c_str(), sys_root.c_str());
        EXPECT_EQ(n, table.count);
        Names names;
        for (int i = 0; i < table.count; ++i)
            names.push_back(table.names[i]);
        return names;
    }
    Names under_dev(const Names &names)
    {
        Names full;
        for (const std::string &n : names)
            full.push_back(dev + "/" + n);
        return full;
    }
};

TEST_F(FakeTree, FindsPresentPortsInNaturalOrderAndNothingElse)
{
    // Present: plug-in adapters with a sysfs entry, on-board UARTs with a
    // known type or (when no type is reported) a driver.
    for (const char *n : {"ttyUSB10", "ttyUSB2", "ttyUSB0", "ttyACM0", "rfcomm0"}) {
        node(n);
        tty(n);
    }
    node("ttyS0");
    tty("ttyS0", {{"type", "4\n"}});
    node("ttyAMA0");
    tty("ttyAMA0", {{"device/driver/bind", ""}});

    // Absent: a UART line with no UART behind it, one the kernel does not
    // know, one with neither type nor driver; a plug-in node left behind
    // without its device; a node that is not a character device; names that
    // are not serial ports or not canonical.
    node("ttyS1");
    tty("ttyS1", {{"type", "0\n"}, {"device/driver/bind", ""}});
    node("ttyS2");
    node("ttyAMA1");
    tty("ttyAMA1");
    node("ttyUSB4");
    file(dev + "/ttyUSB3");
    tty("ttyUSB3");
    for (const char *n : {"tty0", "console", "ttyUSB", "ttyUSB01", "ttyUSBx", "ttyUSB1234567", "ttyS-1"}) {
        node(n);
        tty(n);
    }

    EXPECT_EQ(found(dev, sys),
              under_dev({"ttyUSB0", "ttyUSB2", "ttyUSB10", "ttyACM0", "ttyS0", "ttyAMA0", "rfcomm0"}));

    // Without sysfs only the plug-in kinds are believed.
    EXPECT_EQ(found(dev, root + "/no-sys"),
              under_dev({"ttyUSB0", "ttyUSB2", "ttyUSB4", "ttyUSB10", "ttyACM0", "rfcomm0"}));
}

TEST_F(FakeTree, MissingOrEmptyRootsGiveAnEmptyTable)
{
    EXPECT_EQ(found(root + "/no-dev", sys), Names());
    EXPECT_EQ(found(dev, sys), Names());
    EXPECT_EQ(discover_ports_under(NULL, dev.c_str(), sys.c_str()), 0);
}

TEST_F(FakeTree, TableKeepsTheLowestPortsUpToItsCapacity)
{
    const int extra = 5;
    for (int i = PORT_TABLE_CAPACITY + extra - 1; i >= 0; --i) {
        std::string n = "ttyUSB" + std::to_string(i);
        node(n);
        tty(n);
    }
    Names names = found(dev, sys);
    ASSERT_EQ(names.size(), (size_t)PORT_TABLE_CAPACITY);
    EXPECT_EQ(names.front(), dev + "/ttyUSB0");
    EXPECT_EQ(names.back(), dev + "/ttyUSB" + std::to_string(PORT_TABLE_CAPACITY - 1));
}

TEST_F(FakeTree, NamesThatWouldNotFitAreLeftOut)
{
    // A /dev whose path leaves no room for a full name in a table entry.
    // Its length leaves room for "/ttyUSB0" but not for "/ttyUSB123456".
    const size_t length = PORT_NAME_CAPACITY - 1 - 10;
    std::string deep = dev;
    while (deep.size() + 31 < length)
        deep += "/" + std::string(30, 'd');
    deep += "/" + std::string(length - deep.size() - 1, 'e');
    ASSERT_EQ(deep.size(), length);
    make_dirs(deep);
    node_in(deep, "ttyUSB0");
    node_in(deep, "ttyUSB123456");
    tty("ttyUSB0");
    tty("ttyUSB123456");
    Names names = found(deep, sys);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], deep + "/ttyUSB0");
    EXPECT_LT(names[0].size(), (size_t)PORT_NAME_CAPACITY);
}

TEST(Discover, RealSystemGivesDevicePathsOnly)
{
    int n = discover_ports(&table);
    ASSERT_GE(n, 0);
    ASSERT_LE(n, PORT_TABLE_CAPACITY);
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(strncmp(table.names[i], "/dev/", 5), 0) << table.names[i];
}

}  // namespace
