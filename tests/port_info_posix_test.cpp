// Port identity over a made-up /dev and /sys (fake_dev_sys.h).
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

#include "serial/port_info_internal.h"
#include "serial/port_info_posix.h"

using namespace testkit;

namespace {

class PortTree : public FakeDevSys {
protected:
    std::vector<PortInfo> list()
    {
        std::vector<PortInfo> out(8);
        memset(out.data(), 'x', out.size() * sizeof out[0]);
        out.resize((size_t)list_ports_under(out.data(), (int)out.size(), dev.c_str(), sys.c_str()));
        return out;
    }
};

const char *const FTDI = "usb1/1-1";
const char *const ACM = "usb1/1-2";

TEST_F(PortTree, UsbAdapterAcmDeviceAndOnBoardUart)
{
    std::string ftdi = usb(FTDI, {{"idVendor", "0403\n"}, {"idProduct", "6001\n"}, {"serial", "A50285BI\n"},
                                  {"manufacturer", "FTDI\n"}, {"product", "FT232R USB UART\n"}});
    port("ttyUSB0", ftdi + "/1-1:1.0/ttyUSB0", "ftdi_sio");
    by_id("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../../ttyUSB0");
    std::string acm = usb(ACM, {{"idVendor", "2341\n"}, {"idProduct", "0043\n"}, {"product", "Uno\n"}});
    port("ttyACM0", acm + "/1-2:1.0", "cdc_acm");
    by_id("usb-Arduino_Uno-if00", dev + "/ttyACM0");
    by_id("usb-Other-if00", "../../ttyUSB9");
    port("ttyS0", sys + "/devices/platform/serial8250", "serial8250");
    file(sys + "/class/tty/ttyS0/type", "4\n");
    // The system's console: still listed, and marked (a name with a slash
    // in the list is no device name).
    file(sys + "/class/tty/console/active", "tty0 ../ttyUSB0 ttyS0\n");

    std::vector<PortInfo> ports = list();
    ASSERT_EQ(ports.size(), 3u);
    const PortInfo &a = ports[0], &m = ports[1], &s = ports[2];
    EXPECT_EQ(std::string(a.path), dev + "/ttyUSB0");
    EXPECT_EQ(std::string(a.stable), dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    EXPECT_EQ(a.usb, 1);
    EXPECT_EQ(a.vid, 0x0403u);
    EXPECT_EQ(a.pid, 0x6001u);
    EXPECT_STREQ(a.serial, "A50285BI");
    EXPECT_STREQ(a.manufacturer, "FTDI");
    EXPECT_STREQ(a.product, "FT232R USB UART");
    EXPECT_STREQ(a.driver, "ftdi_sio");
    EXPECT_STREQ(a.friendly_name, "");

    EXPECT_EQ(std::string(m.path), dev + "/ttyACM0");
    EXPECT_EQ(std::string(m.stable), dev + "/serial/by-id/usb-Arduino_Uno-if00");
    EXPECT_EQ(m.usb, 1);
    EXPECT_EQ(m.vid, 0x2341u);
    EXPECT_STREQ(m.serial, "");
    EXPECT_STREQ(m.manufacturer, "");
    EXPECT_STREQ(m.product, "Uno");
    EXPECT_STREQ(m.driver, "cdc_acm");

    EXPECT_EQ(std::string(s.path), dev + "/ttyS0");
    EXPECT_STREQ(s.stable, "");
    EXPECT_EQ(s.usb, 0);
    EXPECT_EQ(s.vid + s.pid, 0u);
    EXPECT_STREQ(s.product, "");
    EXPECT_STREQ(s.driver, "serial8250");
    EXPECT_EQ(s.console, 1);
    EXPECT_EQ(a.console + m.console, 0);

    char path[PORT_NAME_CAPACITY];
    EXPECT_EQ(match_port_serial(ports.data(), 3, "A50285BI", path, sizeof path), SERIAL_FOUND);
    EXPECT_EQ(std::string(path), a.path);
}

TEST_F(PortTree, HostileSysfsIsBoundedAndPrintable)
{
    // Control characters, an overlong string, a serial that must not be
    // matched mangled, ids that are no ids, a FIFO where a file should be.
    std::string bad = usb("usb1/1-1", {{"idVendor", "0403\n"}, {"idProduct", "6001\n"},
                                       {"serial", "AB\x1b" "C\n"}, {"manufacturer", "\x1b[31mEvil\x07\n"},
                                       {"product", std::string(5000, 'p')}});
    port("ttyUSB0", bad + "/1-1:1.0/ttyUSB0", std::string(200, 'd'));
    by_id("usb-\x1b[2J-if00", "../../ttyUSB0");
    usb("usb1", {{"idVendor", "1d6b\n"}, {"idProduct", "0002\n"}});  // the hub is not the adapter
    std::string ids = usb("usb1/1-2", {{"idVendor", "zzzz\n"}, {"idProduct", "6001\n"}, {"serial", "S1"}});
    port("ttyUSB1", ids + "/1-2:1.0/ttyUSB1", "");
    std::string fifo = usb("usb1/1-3", {{"idVendor", "0403\n"}, {"idProduct", "6001\n"}});
    ASSERT_EQ(mkfifo((fifo + "/serial").c_str(), 0600), 0);
    port("ttyUSB2", fifo + "/1-3:1.0/ttyUSB2", "");
    // A device link leading out of sysfs, to a directory that looks like a
    // USB device.
    std::string outside = root + "/elsewhere";
    file(outside + "/idVendor", "0403\n");
    file(outside + "/idProduct", "6001\n");
    port("ttyUSB3", outside + "/port", "");

    std::vector<PortInfo> ports = list();
    ASSERT_EQ(ports.size(), 4u);
    EXPECT_EQ(ports[0].usb, 1);
    EXPECT_STREQ(ports[0].serial, "");
    EXPECT_STREQ(ports[0].manufacturer, "?[31mEvil?");
    EXPECT_EQ(strlen(ports[0].product), (size_t)PORT_INFO_TEXT_CAPACITY - 1);
    EXPECT_EQ(strlen(ports[0].driver), (size_t)PORT_INFO_DRIVER_CAPACITY - 1);
    EXPECT_STREQ(ports[0].stable, "");
    EXPECT_EQ(ports[1].usb, 0);
    EXPECT_STREQ(ports[1].serial, "");
    EXPECT_EQ(ports[2].usb, 1);
    EXPECT_STREQ(ports[2].serial, "");
    EXPECT_EQ(ports[3].usb, 0);
    for (const PortInfo &p : ports)
        EXPECT_STREQ(p.friendly_name, "");
}

TEST_F(PortTree, DualPortAdapterSharesOneSerial)
{
    std::string dual = usb("usb1/1-1", {{"idVendor", "0403\n"}, {"idProduct", "6010\n"}, {"serial", "FT2X\n"}});
    port("ttyUSB0", dual + "/1-1:1.0/ttyUSB0", "ftdi_sio");
    port("ttyUSB1", dual + "/1-1:1.1/ttyUSB1", "ftdi_sio");
    std::vector<PortInfo> ports = list();
    ASSERT_EQ(ports.size(), 2u);
    char path[PORT_NAME_CAPACITY];
    EXPECT_EQ(match_port_serial(ports.data(), 2, "ft2x", path, sizeof path), SERIAL_SEVERAL);
    EXPECT_EQ(match_port_serial(ports.data(), 2, "FT2", path, sizeof path), SERIAL_NONE);
    EXPECT_EQ(list_ports_under(ports.data(), 1, dev.c_str(), sys.c_str()), 1);  // capacity kept
    EXPECT_EQ(list_ports_under(NULL, 1, dev.c_str(), sys.c_str()), 0);
}

TEST(PortInfoSystem, RealSystemListsWhatDiscoveryFinds)
{
    static PortInfo ports[PORT_TABLE_CAPACITY];
    static PortTable table;
    int n = list_ports(ports, PORT_TABLE_CAPACITY);
    ASSERT_EQ(n, discover_ports(&table));
    for (int i = 0; i < n; ++i)
        EXPECT_STREQ(ports[i].path, table.names[i]);
    char path[PORT_NAME_CAPACITY];
    EXPECT_EQ(find_port_by_serial("no adapter has this serial", path, sizeof path), SERIAL_NONE);
}

}  // namespace
