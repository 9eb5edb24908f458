// The portable parts of port identity: the names users type on either
// platform, the text taken from devices, the serial number lookup, and the
// Windows device ids.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "serial/port_info.h"
#include "serial/port_info_internal.h"

namespace {

std::string open_name(int (*rule)(const char *, char *, size_t), const char *given, int *result,
                      size_t size = PORT_NAME_CAPACITY)
{
    char out[PORT_NAME_CAPACITY + 8];
    memset(out, 'x', sizeof out);
    *result = rule(given, out, size);
    return out;
}

TEST(PortName, ComNamesOpenInTheDeviceNamespace)
{
    int r;
    for (const char *given : {"COM7", "com7", "Com7", "\\\\.\\COM7", "\\\\.\\com7"}) {
        EXPECT_EQ(open_name(com_port_open_name, given, &r), "\\\\.\\COM7") << given;
        EXPECT_EQ(r, 0) << given;
    }
    EXPECT_EQ(open_name(com_port_open_name, "COM4096", &r), "\\\\.\\COM4096");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(open_name(com_port_open_name, "com10", &r), "\\\\.\\COM10");

    for (const char *given :
         {"", "COM", "COM0", "COM07", "COM4097", "COM99999", "COM7:", " COM7", "COM7 ", "COM7x",
          "COM-7", "COM+7", "LPT1", "\\\\?\\COM7", "//./COM7", "\\\\.\\\\COM7", "\\\\.\\",
          "\\\\.\\COMX", "/dev/ttyUSB0"}) {
        EXPECT_EQ(open_name(com_port_open_name, given, &r), "") << given;
        EXPECT_EQ(r, -1) << given;
    }
    EXPECT_EQ(open_name(com_port_open_name, NULL, &r), "");
    EXPECT_EQ(r, -1);
    // \\.\COM10 needs 10 bytes: 9 is refused, not cut.
    EXPECT_EQ(open_name(com_port_open_name, "COM10", &r, 9), "");
    EXPECT_EQ(r, -1);
    EXPECT_EQ(com_port_open_name("COM1", NULL, 0), -1);
}

TEST(PortName, PosixPathsAsGivenAndBareNamesUnderDev)
{
    int r;
    EXPECT_EQ(open_name(posix_port_open_name, "/dev/ttyUSB0", &r), "/dev/ttyUSB0");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(open_name(posix_port_open_name, "./link", &r), "./link");
    EXPECT_EQ(open_name(posix_port_open_name, "ttyUSB0", &r), "/dev/ttyUSB0");
    EXPECT_EQ(r, 0);

    std::string longest(PORT_NAME_CAPACITY - 1, 'a');
    std::string too_long = "/" + longest;
    for (const char *given : {"", ".", "..", longest.c_str(), too_long.c_str()}) {
        EXPECT_EQ(open_name(posix_port_open_name, given, &r), "") << given;
        EXPECT_EQ(r, -1) << given;
    }
    EXPECT_EQ(open_name(posix_port_open_name, NULL, &r), "");
    EXPECT_EQ(open_name(posix_port_open_name, "ttyS0", &r, 10), "");  // "/dev/ttyS0" is 10
    EXPECT_EQ(r, -1);
}

std::string cleaned(const std::string &in, int *intact, size_t size = 64)
{
    char out[64];
    memset(out, 'x', sizeof out);
    *intact = clean_text(out, size, in.data(), in.size());
    return out;
}

TEST(PortText, ControlsAndMalformedUtf8BecomeQuestionMarks)
{
    int intact;
    EXPECT_EQ(cleaned(" FT232R USB UART\n", &intact), "FT232R USB UART");
    EXPECT_EQ(intact, 1);
    EXPECT_EQ(cleaned("Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x94\x8c", &intact),
              "Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x94\x8c");
    EXPECT_EQ(intact, 1);
    // ESC, NUL, DEL, CSI as C1 (U+009B), a lone lead byte, a stray
    // continuation, an overlong '/', a surrogate, beyond U+10FFFF.
    EXPECT_EQ(cleaned(std::string("a\x1b[2Jb\0c\x7f" "d\xc2\x9b" "e\xc3", 14), &intact),
              "a?[2Jb?c?d?e?");
    EXPECT_EQ(intact, 0);
    EXPECT_EQ(cleaned("\x80|\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80", &intact), "?|??|???|????");
    // Cut before a character that does not fit whole.
    EXPECT_EQ(cleaned("ab\xc3\xbc", &intact, 4), "ab");
    EXPECT_EQ(intact, 0);
}

PortInfo port(const char *path, const char *serial)
{
    PortInfo info;
    memset(&info, 0, sizeof info);
    strcpy(info.path, path);
    set_port_serial(&info, serial, strlen(serial));
    return info;
}

TEST(PortSerial, OneAdapterMatchesNoneOrSeveralDoNot)
{
    const PortInfo ports[] = {port("/dev/ttyS0", ""), port("/dev/ttyUSB0", "A50285BI"),
                              port("/dev/ttyUSB1", "FT2232X"), port("/dev/ttyUSB2", "FT2232X"),
                              port("/dev/ttyUSB3", "bad\x01one")};
    char path[PORT_NAME_CAPACITY];
    EXPECT_EQ(match_port_serial(ports, 5, "A50285BI", path, sizeof path), SERIAL_FOUND);
    EXPECT_STREQ(path, "/dev/ttyUSB0");
    EXPECT_EQ(match_port_serial(ports, 5, "a50285bi", path, sizeof path), SERIAL_FOUND);
    EXPECT_EQ(match_port_serial(ports, 5, "FT2232X", path, sizeof path), SERIAL_SEVERAL);
    EXPECT_STREQ(path, "");
    for (const char *none : {"A50285B", "A50285BIX", "", "bad?one", "bad\x01one"})
        EXPECT_EQ(match_port_serial(ports, 5, none, path, sizeof path), SERIAL_NONE) << none;
    EXPECT_EQ(match_port_serial(ports, 5, "A50285BI", path, 12), SERIAL_NONE);  // path does not fit
}

TEST(PortIds, UsbIdsAndSerialFromWindowsDeviceIds)
{
    unsigned vid = 0, pid = 0;
    char serial[PORT_INFO_TEXT_CAPACITY];
    EXPECT_EQ(parse_usb_ids("USB\\VID_0403&PID_6001\\A50285BI", &vid, &pid), 0);
    EXPECT_EQ(vid, 0x0403u);
    EXPECT_EQ(pid, 0x6001u);
    EXPECT_EQ(usb_device_serial("USB\\VID_0403&PID_6001\\A50285BI", serial, sizeof serial), 0);
    EXPECT_STREQ(serial, "A50285BI");
    // Made up by Windows: a device, but no serial.
    EXPECT_EQ(usb_device_serial("USB\\VID_2341&PID_0043\\5&1A2B3C4&0&2", serial, sizeof serial), 0);
    EXPECT_STREQ(serial, "");
    // Hardware ids of other buses still name the USB ids.
    EXPECT_EQ(parse_usb_ids("FTDIBUS\\COMPORT&VID_0403&PID_6015", &vid, &pid), 0);
    EXPECT_EQ(pid, 0x6015u);
    EXPECT_EQ(parse_usb_ids("ftdibus\\vid_0403+pid_6010+FT4ABCDEA\\0000", &vid, &pid), 0);
    EXPECT_EQ(pid, 0x6010u);

    // Not a USB device: an interface of one, another bus, ids malformed.
    for (const char *id : {"USB\\VID_10C4&PID_EA70&MI_00\\6&2C0A2C4&0&0000",
                           "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "ACPI\\PNP0501\\1",
                           "USB\\VID_04031&PID_6001\\X", "USB\\VID_0403\\X", "USB\\VID_0403&PID_6001",
                           "USB\\XVID_0403&PID_6001\\X"})
        EXPECT_EQ(usb_device_serial(id, serial, sizeof serial), -1) << id;
    EXPECT_EQ(parse_usb_ids("USB\\VID_040G&PID_6001", &vid, &pid), -1);
}

}  // namespace
