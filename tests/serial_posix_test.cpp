// The POSIX serial link over a pseudo-terminal: the test holds the master
// end and plays the device; the link opens the slave end as its port.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "serial/posix_internal.h"
#include "serial/serial.h"

namespace {

typedef std::vector<unsigned char> Bytes;
typedef std::chrono::steady_clock Clock;

int test_port_fd(PortHandle port)
{
    return port_descriptor(port);
}

long ms_since(Clock::time_point start)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Bytes pattern(size_t n, unsigned seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = (unsigned char)((i * 7 + seed) ^ (i >> 8));
    return b;
}

struct Pty {
    int master = -1;
    std::string slave;
};

Pty open_pty()
{
    Pty p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128];
    if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0 ||
        ptsname_r(p.master, name, sizeof name) != 0)
        return p;
    p.slave = name;
    return p;
}

void write_whole(int fd, const Bytes &b)
{
    size_t done = 0;
    while (done < b.size()) {
        ssize_t n = write(fd, b.data() + done, b.size() - done);
        ASSERT_GT(n, 0) << strerror(errno);
        done += (size_t)n;
    }
}

// Waits (bounded) until at least n bytes wait to be read on fd.
bool wait_input(int fd, int n)
{
    Clock::time_point start = Clock::now();
    int queued = 0;
    while (ioctl(fd, FIONREAD, &queued) == 0 && queued < n && ms_since(start) < 5000)
        poll(NULL, 0, 2);
    return queued >= n;
}

Bytes read_some(PortHandle port, uint32_t capacity)
{
    Bytes b(capacity);
    int32_t n = read_port(port, b.data(), capacity);
    b.resize(n > 0 ? (size_t)n : 0);
    return b;
}

// The device's side of a read test: after a moment (for the reader to be
// waiting) it sends first, and second gap_ms later.
std::thread send_two_bursts(int master, const Bytes &first, const Bytes &second, int gap_ms)
{
    return std::thread([=] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        write_whole(master, first);
        std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
        write_whole(master, second);
    });
}

// Reads and drops the n bytes still to come (bounded), so that the next
// try starts on a quiet line.
void drain(PortHandle port, size_t n)
{
    size_t got = 0;
    while (got < n && wait_input(test_port_fd(port), 1))
        got += read_some(port, 64).size();
    EXPECT_EQ(got, n) << "bytes lost or left over";
}

class SerialPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        pty = open_pty();
        ASSERT_GE(pty.master, 0);
        ASSERT_FALSE(pty.slave.empty());
        port = open_port(pty.slave.c_str());
        ASSERT_NE(port, NO_PORT);
    }
    void TearDown() override
    {
        if (port != NO_PORT)
            close_port(port);
        if (pty.master >= 0)
            close(pty.master);
    }
    void configure(uint32_t interval_ms = READ_INTERVAL_MS)
    {
        ASSERT_EQ(configure_port(port, LINE_BAUD, interval_ms), 0);
    }

    Pty pty;
    PortHandle port = NO_PORT;
};

// A cooked line with everything set that the link must clear.
struct termios cooked_line(struct termios t)
{
    t.c_iflag |= ICRNL | INLCR | IGNCR | IXON | IXOFF | IXANY | INPCK | PARMRK | ISTRIP | BRKINT;
    t.c_oflag |= OPOST;
    t.c_lflag |= ICANON | ECHO | ECHONL | ISIG | IEXTEN;
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    t.c_cflag &= ~(tcflag_t)(CLOCAL | CREAD);
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VINTR] = 0x05;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    cfsetspeed(&t, B9600);
    return t;
}

void expect_raw_line(const struct termios &t)
{
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK | IXON | IXOFF | IXANY), 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), (tcflag_t)(CLOCAL | CREAD));
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B115200);
    EXPECT_EQ(cfgetispeed(&t), (speed_t)B115200);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    // Special characters stay as they were.
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VINTR], 0x05);
}

TEST(LineSettings, CookedLineBecomesRaw8E1WithoutFlowControl)
{
    struct termios t;
    memset(&t, 0, sizeof t);
    t = cooked_line(t);
    set_line_settings(&t, B115200);
    expect_raw_line(t);
    EXPECT_EQ(t.c_cflag & PARENB, (tcflag_t)PARENB);
}

TEST_F(SerialPty, ConfigureAppliesTheLineSettings)
{
    struct termios before;
    ASSERT_EQ(tcgetattr(test_port_fd(port), &before), 0);
    before = cooked_line(before);
    ASSERT_EQ(tcsetattr(test_port_fd(port), TCSANOW, &before), 0);

    configure();
    // A pseudo-terminal forces 8 bits without parity whatever it is given,
    // so parity itself is checked on the settings alone (above).
    struct termios t;
    ASSERT_EQ(tcgetattr(test_port_fd(port), &t), 0);
    expect_raw_line(t);

    // Bytes pass unchanged both ways, CR, LF and control characters included.
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = (unsigned char)i;
    write_whole(pty.master, all);
    ASSERT_TRUE(wait_input(test_port_fd(port), 256));
    EXPECT_EQ(read_some(port, 512), all);
    EXPECT_EQ(write_port(port, all.data(), 256), 256);
    Bytes echoed(256);
    size_t got = 0;
    while (got < 256 && wait_input(pty.master, 1)) {
        ssize_t n = read(pty.master, echoed.data() + got, 256 - got);
        ASSERT_GT(n, 0);
        got += (size_t)n;
    }
    EXPECT_EQ(echoed, all);
}

TEST_F(SerialPty, ReadWithNothingComingReturnsZeroAfterItsTime)
{
    // (That it waits asleep rather than polling in a loop is for the
    // benchmark, which measures the tool's CPU time, to show.)
    configure();
    unsigned char buf[64];
    Clock::time_point start = Clock::now();
    EXPECT_EQ(read_port(port, buf, sizeof buf), 0);
    long elapsed = ms_since(start);
    EXPECT_GE(elapsed, READ_TOTAL_MS - 1);  // it waited its time
    EXPECT_LT(elapsed, 3000);

    // A line that hangs up (adapter pulled) ends the read too, and the port
    // is reported lost from then on, writes and drains included.
    EXPECT_EQ(port_lost(port), 0);
    close(pty.master);
    pty.master = -1;
    start = Clock::now();
    EXPECT_EQ(read_port(port, buf, sizeof buf), 0);
    EXPECT_LT(ms_since(start), 3000);
    EXPECT_EQ(port_lost(port), 1);
    EXPECT_EQ(write_port(port, buf, 3), 0);
    EXPECT_EQ(port_lost(port), 1);
    flush_port(port);
    EXPECT_EQ(port_lost(port), 1);
}

TEST_F(SerialPty, ReadReturnsFirstBurstWhenTheLineGoesQuiet)
{
    configure();
    Bytes first = pattern(10, 1), second = pattern(7, 2);
    write_whole(pty.master, first);
    ASSERT_TRUE(wait_input(test_port_fd(port), 10));
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        write_whole(pty.master, second);
    });
    EXPECT_EQ(read_some(port, 64), first);
    late.join();
    ASSERT_TRUE(wait_input(test_port_fd(port), 7));
    EXPECT_EQ(read_some(port, 64), second);
}

TEST_F(SerialPty, ReadIntervalIsHonoured)
{
    // A reader waiting in read_port; the device sends a burst and, 60 ms
    // later (three intervals of silence, well inside the 100 ms total), a
    // second one. With a 20 ms interval the read ends on the silence and
    // returns the first burst alone. A reader held up by a loaded machine
    // may find both waiting and take them together, so a few tries are
    // allowed: one that shows the first burst alone is enough.
    configure(20);
    const Bytes first = pattern(5, 3), second = pattern(6, 4);
    bool alone = false;
    for (int i = 0; i < 5 && !alone; ++i) {
        std::thread device = send_two_bursts(pty.master, first, second, 60);
        Bytes got = read_some(port, 64);
        device.join();
        alone = got == first;
        drain(port, first.size() + second.size() - got.size());
    }
    EXPECT_TRUE(alone) << "the read did not end on the silence after the first burst";

    // With no interval (0) it runs the full total.
    const Bytes burst = pattern(5, 3);
    configure(0);
    write_whole(pty.master, burst);
    ASSERT_TRUE(wait_input(test_port_fd(port), 5));
    Clock::time_point start = Clock::now();
    EXPECT_EQ(read_some(port, 64), burst);
    EXPECT_GE(ms_since(start), READ_TOTAL_MS - 1);
}

TEST_F(SerialPty, ReadStopsAtCapacityAndKeepsTheRestForTheNextRead)
{
    configure(0);  // only a full buffer can end these reads early
    Bytes sent = pattern(100, 4);
    for (int round = 0; round < 3; ++round) {
        write_whole(pty.master, sent);
        ASSERT_TRUE(wait_input(test_port_fd(port), 100));
        unsigned char buf[48];
        memset(buf, 0xEE, sizeof buf);
        ASSERT_EQ(read_port(port, buf, 40), 40);
        EXPECT_EQ(Bytes(buf, buf + 40), Bytes(sent.begin(), sent.begin() + 40));
        for (int i = 40; i < 48; ++i)
            EXPECT_EQ(buf[i], 0xEE) << "byte " << i << " written past capacity";
        EXPECT_EQ(read_some(port, 40), Bytes(sent.begin() + 40, sent.begin() + 80));
        EXPECT_EQ(read_some(port, 40), Bytes(sent.begin() + 80, sent.end()));
    }
}

TEST_F(SerialPty, ReadReturnsAsSoonAsItsCapacityIsFilled)
{
    // A reader waiting with room for 40 bytes; the device sends 40 and, 60 ms
    // later (inside the 100 ms total), 10 more. A read that returns once its
    // buffer is full is back before the second burst comes; one that waited
    // out its total would find it waiting. A few tries, as a loaded machine
    // may hold the reader up between the read and the look.
    configure(0);  // only a full buffer can end the read before the total
    const Bytes first = pattern(40, 5), second = pattern(10, 6);
    bool before_second = false;
    for (int i = 0; i < 5 && !before_second; ++i) {
        std::thread device = send_two_bursts(pty.master, first, second, 60);
        Bytes got = read_some(port, 40);
        int queued = -1;
        ioctl(test_port_fd(port), FIONREAD, &queued);
        device.join();
        EXPECT_EQ(got, first);
        before_second = got == first && queued == 0;
        drain(port, first.size() + second.size() - got.size());
    }
    EXPECT_TRUE(before_second) << "the full read waited for more";
}

TEST_F(SerialPty, LargeWriteCompletesIntact)
{
    configure();
    // Far more than the terminal buffers: the write has to wait for the
    // other end to drain it.
    Bytes sent = pattern(200000, 5);
    Bytes received;
    std::thread device([&] {
        unsigned char buf[4096];
        while (received.size() < sent.size() && wait_input(pty.master, 1)) {
            ssize_t n = read(pty.master, buf, sizeof buf);
            if (n <= 0)
                break;
            received.insert(received.end(), buf, buf + n);
        }
    });
    EXPECT_EQ(write_port(port, sent.data(), (int32_t)sent.size()), (int32_t)sent.size());
    flush_port(port);
    device.join();
    EXPECT_EQ(received, sent);
}

TEST_F(SerialPty, AWriteNobodyTakesReturnsAfterItsBound)
{
    configure();
    // Fill the line until the terminal takes no more, even after a while to
    // move what it holds along; the device never reads.
    unsigned char block[4096];
    memset(block, 0x55, sizeof block);
    struct pollfd room = {test_port_fd(port), POLLOUT, 0};
    for (int i = 0; i < 4096 && (write(room.fd, block, sizeof block) > 0 || poll(&room, 1, 100) > 0);
         ++i) {
    }
    EXPECT_LT(write_port(port, block, 100), 100);
    EXPECT_EQ(port_lost(port), 0);
}

TEST_F(SerialPty, PurgeDiscardsPendingInput)
{
    configure();
    write_whole(pty.master, pattern(30, 6));
    ASSERT_TRUE(wait_input(test_port_fd(port), 30));
    purge_port(port);
    unsigned char buf[64];
    EXPECT_EQ(read_port(port, buf, sizeof buf), 0);
}

TEST_F(SerialPty, PortIsExclusiveUntilClosed)
{
    errno = 0;
    EXPECT_EQ(open_port(pty.slave.c_str()), NO_PORT);
    EXPECT_EQ(errno, EBUSY);
    close_port(port);
    port = open_port(pty.slave.c_str());
    EXPECT_NE(port, NO_PORT);
}

TEST_F(SerialPty, ManyPortsEachKeepTheirOwnTimingAndSpeed)
{
    // Each open port's settings live in its own record: far more ports than
    // the command line uses all configure quietly, each at its own speed.
    std::vector<Pty> others;
    std::vector<PortHandle> ports;
    for (int i = 0; i < 100; ++i) {
        others.push_back(open_pty());
        PortHandle p = open_port(others.back().slave.c_str());
        ASSERT_NE(p, NO_PORT);
        ports.push_back(p);
        testing::internal::CaptureStderr();
        EXPECT_EQ(configure_port(p, i % 2 ? LINE_BAUD : 1200, (uint32_t)i), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
    struct termios t;
    ASSERT_EQ(tcgetattr(test_port_fd(ports[98]), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B1200);
    for (size_t i = 0; i < ports.size(); ++i)
        close_port(ports[i]);
    for (const Pty &p : others)
        close(p.master);
}

TEST(SerialPort, NamesThatAreNotPortsAreRefused)
{
    char dir[] = "/tmp/fwu-serial-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir) != NULL);
    std::string file = std::string(dir) + "/file", fifo = std::string(dir) + "/fifo";
    std::string to_file = std::string(dir) + "/to-file", to_null = std::string(dir) + "/to-null";
    int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_EQ(write(fd, "data\n", 5), 5);
    close(fd);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink(file.c_str(), to_file.c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", to_null.c_str()), 0);
    std::string overlong = "/dev/" + std::string(300, 'x');

    // Each refusal leaves a reason in errno for the operator's error report.
    // The device is judged before the open and again after it (links
    // included), and left as it was.
    const char *names[] = {NULL, "", overlong.c_str(), "/dev/fwu-no-such-port",
                           dir, file.c_str(), fifo.c_str(), "/dev/null", "/dev/zero",
                           to_file.c_str(), to_null.c_str()};
    for (const char *name : names) {
        errno = 0;
        EXPECT_EQ(open_port(name), NO_PORT) << (name ? name : "(null)");
        EXPECT_NE(errno, 0) << (name ? name : "(null)");
    }
    for (const std::string &name : {file, to_file, to_null}) {
        errno = 0;
        EXPECT_EQ(open_port(name.c_str()), NO_PORT);
        EXPECT_EQ(errno, ENOTTY) << name;
    }
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 5);
    char text[256];
    describe_open_failure("/dev/null", ENOTTY, text, sizeof text);
    EXPECT_STREQ(text, "/dev/null: not a serial port");

    for (const std::string &name : {file, fifo, to_file, to_null})
        unlink(name.c_str());
    rmdir(dir);
}

TEST(SerialPort, ConfiguringANonTerminalFailsWithTheStateMessage)
{
    PortHandle null_port = port_from_descriptor(open("/dev/null", O_RDWR));
    ASSERT_NE(null_port, NO_PORT);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    PortHandle pipe_port = port_from_descriptor(fds[0]);
    PortHandle handles[] = {null_port, pipe_port, NO_PORT};
    for (PortHandle h : handles) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(configure_port(h, LINE_BAUD, READ_INTERVAL_MS), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not get Port State\n");
    }

    // The other operations take the invalid handle quietly.
    unsigned char buf[8] = {1, 2, 3};
    EXPECT_EQ(read_port(NO_PORT, buf, sizeof buf), 0);
    EXPECT_EQ(write_port(NO_PORT, buf, 3), 0);
    purge_port(NO_PORT);
    flush_port(NO_PORT);
    close_port(NO_PORT);
    EXPECT_EQ(port_lost(NO_PORT), 0);
    EXPECT_TRUE(port_note(NO_PORT) == NULL);

    close_port(null_port);
    close_port(pipe_port);
    close(fds[1]);
}

}  // namespace
