// The lock files the POSIX link takes, and the terminals it refuses to open:
// real pseudo-terminals, a lock directory of the test's own.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "serial/posix_internal.h"
#include "serial/serial.h"
#include "testkit.h"

using namespace testkit;

namespace {

std::string lock_dir;

// Every test of this program locks in a directory of its own, not /run/lock.
class LockDirectory : public ::testing::Environment {
public:
    void SetUp() override
    {
        lock_dir = make_scratch_dir();
        ASSERT_FALSE(lock_dir.empty());
        set_lock_directory(lock_dir.c_str());
    }
    void TearDown() override
    {
        set_lock_directory(NULL);
        remove_scratch_dir(lock_dir);
    }
};

const ::testing::Environment *const lock_environment =
    ::testing::AddGlobalTestEnvironment(new LockDirectory);

std::string lock_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "(none)";
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string pid_text(long pid)
{
    char text[16];
    snprintf(text, sizeof text, "%10ld\n", pid);
    return text;
}

// A pseudo-terminal; the slave's lock file name.
struct Pty {
    int master = -1;
    std::string slave, lock;
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        char name[128];
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
            ptsname_r(master, name, sizeof name) == 0) {
            slave = name;
            lock = lock_dir + "/LCK..pts_" + slave.substr(strlen("/dev/pts/"));
        }
    }
    ~Pty()
    {
        if (master >= 0)
            close(master);
    }
};

// The sentence of a refused open of path, whose error code must be code.
std::string refusal(const char *path, int code)
{
    PortHandle port = NO_PORT;
    PortOpenFailure failure;
    if (open_port_why(path, &port, &failure) == 0) {
        close_port(port);
        return "opened";
    }
    EXPECT_EQ((int)failure.code, code) << path;
    return failure.text;
}

// The sentence for code alone.
std::string open_failure(const char *path, int code)
{
    char text[512];
    describe_open_failure(path, (uint32_t)code, text, sizeof text);
    return text;
}

TEST(PortLock, TakenInTheSharedFormatUnderTheRealNameAndRemovedAtClose)
{
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    // Opened through a link, as /dev/serial/by-id names are: the lock is the
    // device's own.
    std::string link = lock_dir + "/by-id-link";
    ASSERT_EQ(symlink(pty.slave.c_str(), link.c_str()), 0);
    PortHandle port = open_port(link.c_str());
    ASSERT_NE(port, NO_PORT) << strerror(errno);
    EXPECT_EQ(lock_text(pty.lock), pid_text(getpid()));
    EXPECT_TRUE(port_note(port) == NULL);

    // Held by this process: a second open is refused, and told so.
    EXPECT_EQ(refusal(pty.slave.c_str(), EBUSY),
              pty.slave + ": in use by process " + std::to_string(getpid()) + " (lock file " +
                  pty.lock + ")");

    // remove_port_locks (the signal path) removes it; close_port after it is
    // harmless; a lock that names another process is never removed.
    remove_port_locks();
    EXPECT_EQ(access(pty.lock.c_str(), F_OK), -1);
    close_port(port);

    port = open_port(pty.slave.c_str());
    ASSERT_NE(port, NO_PORT);
    write_file(pty.lock, pid_text(1));
    remove_port_locks();
    close_port(port);
    EXPECT_EQ(lock_text(pty.lock), pid_text(1));
    unlink(pty.lock.c_str());

    port = open_port(pty.slave.c_str());
    ASSERT_NE(port, NO_PORT);
    close_port(port);
    EXPECT_EQ(access(pty.lock.c_str(), F_OK), -1) << "close_port leaves its lock";
    unlink(link.c_str());
}

TEST(PortLock, LiveHolderRefusesStaleLockIsTakenOver)
{
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());

    // A process that is alive holds the port: nothing is touched.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        pause();
        _exit(0);
    }
    write_file(pty.lock, pid_text(child));
    EXPECT_EQ(refusal(pty.slave.c_str(), EBUSY),
              pty.slave + ": in use by process " + std::to_string(child) + " (lock file " +
                  pty.lock + ")");
    EXPECT_EQ(lock_text(pty.lock), pid_text(child));
    // The detail belongs to that port alone.
    EXPECT_EQ(open_failure("/dev/ttyUSB7", EBUSY),
              "/dev/ttyUSB7: in use by another program (it holds the port exclusively)");

    // Once it has ended, its lock is stale and taken over; so are the older
    // binary form of a dead PID and a lock with no PID in it, once it is a
    // few seconds old (until then its maker may still be writing it).
    kill(child, SIGKILL);
    waitpid(child, NULL, 0);
    int32_t binary = (int32_t)child;
    const std::string stale[] = {pid_text(child), "garbage\n", "",
                                 std::string((const char *)&binary, 4)};
    for (const std::string &content : stale) {
        write_file(pty.lock, content);
        if (content == "garbage\n" || content.empty()) {
            EXPECT_EQ(open_port(pty.slave.c_str()), NO_PORT) << "a lock still being written";
            const struct timeval old_times[2] = {{time(NULL) - 60, 0}, {time(NULL) - 60, 0}};
            ASSERT_EQ(utimes(pty.lock.c_str(), old_times), 0);
        }
        PortHandle port = open_port(pty.slave.c_str());
        ASSERT_NE(port, NO_PORT) << strerror(errno);
        EXPECT_EQ(lock_text(pty.lock), pid_text(getpid()));
        close_port(port);
    }
    // The binary form of a live PID holds it.
    binary = (int32_t)getppid();
    write_file(pty.lock, std::string((const char *)&binary, 4));
    EXPECT_EQ(open_port(pty.slave.c_str()), NO_PORT);
    unlink(pty.lock.c_str());
}

TEST(PortLock, UnwritableDirectoryOpensWithANote)
{
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    std::string missing = lock_dir + "/missing";
    set_lock_directory(missing.c_str());
    PortHandle port = open_port(pty.slave.c_str());
    set_lock_directory(lock_dir.c_str());
    ASSERT_NE(port, NO_PORT);
    const char *note = port_note(port);
    ASSERT_TRUE(note != NULL);
    EXPECT_TRUE(strstr(note, (missing + "/LCK..pts_").c_str()) != NULL) << note;
    // Still exclusive by flock.
    EXPECT_EQ(refusal(pty.slave.c_str(), EBUSY),
              pty.slave + ": in use by another program (it holds the port exclusively)");
    close_port(port);
}

TEST(PortChecks, TheProgramsOwnTerminalsAndConsolesAreRefused)
{
    // A child in a session of its own, with one pseudo-terminal as its
    // controlling terminal and another on standard input: neither, nor
    // /dev/tty, /dev/console or /dev/null, may be opened as a port, and the
    // look without an open says why; a free pseudo-terminal and a missing
    // path pass the look. Each failed row sets a bit of the exit status.
    Pty controlling, input, other;
    ASSERT_FALSE(controlling.slave.empty());
    ASSERT_FALSE(input.slave.empty());
    ASSERT_FALSE(other.slave.empty());
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failed = 0;
        if (setsid() < 0)
            _exit(64);
        int ctty = open(controlling.slave.c_str(), O_RDWR);  // becomes the terminal
        int in = open(input.slave.c_str(), O_RDWR | O_NOCTTY);
        if (ctty < 0 || in < 0 || dup2(in, 0) < 0)
            _exit(65);
        struct Row {
            const char *name;
            PortRefusal look;
            int open_errno;  // 0: not opened here
        };
        const Row rows[] = {
            {controlling.slave.c_str(), PORT_OWN_TERMINAL, EPERM},
            {input.slave.c_str(), PORT_OWN_TERMINAL, EPERM},
            {"/dev/tty", PORT_OWN_TERMINAL, EPERM},
            {"/dev/console", PORT_SYSTEM_CONSOLE, EPERM},
            {"/dev/null", PORT_NOT_A_PORT, ENOTTY},
            {other.slave.c_str(), PORT_ALLOWED, 0},
            {"/dev/fwu-no-such-port", PORT_ALLOWED, 0},
        };
        for (int i = 0; i < (int)(sizeof rows / sizeof rows[0]); ++i) {
            errno = 0;
            if (port_refusal(rows[i].name) != rows[i].look ||
                (rows[i].open_errno != 0 &&
                 (open_port(rows[i].name) != NO_PORT || errno != rows[i].open_errno)))
                failed |= 1 << i;
        }
        PortHandle port = NO_PORT;
        PortOpenFailure failure;
        if (open_port_why("/dev/tty", &port, &failure) == 0 ||
            failure.refusal != PORT_OWN_TERMINAL ||
            strcmp(failure.text, "/dev/tty: not a serial adapter but the terminal fwu runs in") != 0)
            failed |= 1 << 7;
        _exit(failed);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "bits: the rows in their order, 128 the sentence";
    // No lock was taken for them.
    EXPECT_EQ(access(controlling.lock.c_str(), F_OK), -1);
    EXPECT_EQ(access(input.lock.c_str(), F_OK), -1);
}

}  // namespace

// A real line's earlier opener that takes no lock (cat) is found by the
// device it has open; this process and devices nobody else holds are not.
TEST(PortChecks, AnotherProcessHoldingTheDeviceIsFound)
{
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    struct stat st;
    ASSERT_EQ(stat(pty.slave.c_str(), &st), 0);
    char command[32];
    int mine = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(mine, 0);
    EXPECT_EQ(find_other_holder("/proc", st.st_rdev, command, sizeof command), 0);

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // holds the device (inherited) and waits to be killed
        close(ready[0]);
        ssize_t ignored = write(ready[1], "x", 1);
        (void)ignored;
        pause();
        _exit(0);
    }
    close(ready[1]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    EXPECT_EQ(find_other_holder("/proc", st.st_rdev, command, sizeof command), (long)child);
    EXPECT_NE(command[0], '\0') << "the holder's name from /proc/<pid>/comm";
    kill(child, SIGKILL);
    waitpid(child, NULL, 0);
    close(mine);
    EXPECT_EQ(find_other_holder("/proc", st.st_rdev, command, sizeof command), 0);
}
