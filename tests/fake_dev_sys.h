// The serial tests' made-up /dev and /sys, in a scratch directory, laid out
// as the kernel and udev lay them out: device nodes are symbolic links to
// /dev/null (a character device); sysfs is plain directories and files, its
// tty class entries link to device directories, and USB devices hold their
// attributes. Discovery and port identity are tested over it.
#ifndef FWU_TESTS_FAKE_DEV_SYS_H
#define FWU_TESTS_FAKE_DEV_SYS_H

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "testkit.h"

// Files of a sysfs directory: each a name (a path below it) and its text.
typedef std::vector<std::pair<std::string, std::string>> SysAttributes;

class FakeDevSys : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = testkit::make_scratch_dir();
        ASSERT_FALSE(root.empty());
        dev = root + "/dev";
        sys = root + "/sys";
        ASSERT_EQ(mkdir(dev.c_str(), 0700), 0);
    }
    void TearDown() override
    {
        testkit::remove_scratch_dir(root);
    }

    // A file holding text, its directories made.
    static void file(const std::string &path, const std::string &text = "")
    {
        ASSERT_EQ(testkit::write_text_file(path, text), 0);
    }
    static void attributes(const std::string &dir, const SysAttributes &attrs)
    {
        testkit::make_dirs(dir);
        for (const auto &a : attrs)
            file(dir + "/" + a.first, a.second);
    }
    // A device node: dir/NAME, or dev/NAME.
    static void node_in(const std::string &dir, const std::string &name)
    {
        ASSERT_EQ(symlink("/dev/null", (dir + "/" + name).c_str()), 0);
    }
    void node(const std::string &name)
    {
        node_in(dev, name);
    }
    // A tty the kernel knows, with the attributes given.
    void tty(const std::string &name, const SysAttributes &attrs = {})
    {
        attributes(sys + "/class/tty/" + name, attrs);
    }
    // A USB device directory under sys/devices with the attributes given.
    std::string usb(const std::string &rel, const SysAttributes &attrs)
    {
        std::string dir = sys + "/devices/" + rel;
        attributes(dir, attrs);
        return dir;
    }
    // A port: its node, its tty class entry linking to device_dir, the
    // driver bound to that device.
    void port(const std::string &name, const std::string &device_dir, const std::string &driver)
    {
        node(name);
        testkit::make_dirs(sys + "/class/tty/" + name);
        testkit::make_dirs(device_dir);
        ASSERT_EQ(symlink(device_dir.c_str(), (sys + "/class/tty/" + name + "/device").c_str()), 0);
        if (!driver.empty()) {
            ASSERT_EQ(symlink(("../../../bus/drivers/" + driver).c_str(), (device_dir + "/driver").c_str()), 0);
        }
    }
    // A stable name: dev/serial/by-id/NAME linking to target.
    void by_id(const std::string &name, const std::string &target)
    {
        testkit::make_dirs(dev + "/serial/by-id");
        ASSERT_EQ(symlink(target.c_str(), (dev + "/serial/by-id/" + name).c_str()), 0);
    }

    std::string root, dev, sys;
};

#endif
