// fwu-devsim as a program: its pseudo-terminal, its replies on the line, how
// it ends, and what it leaves behind (dump, summary line, JSON, symlink).
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "testkit.h"

using namespace testkit;

namespace {

int open_raw(const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

// Reads until want bytes came or the line was quiet for quiet_ms (bounded).
Bytes read_some(int fd, size_t want, int quiet_ms = 300)
{
    Bytes got;
    double limit = monotonic_ms() + 5000;
    while (got.size() < want && monotonic_ms() < limit) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, quiet_ms) <= 0)
            break;
        unsigned char buf[2048];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

bool send(int fd, const FrameBuffer &f)
{
    return write(fd, f.bytes, (size_t)f.frame_len) == f.frame_len;
}

bool valid(const Bytes &reply)
{
    FrameBuffer f;
    memset(&f, 0, sizeof f);
    if (reply.size() > sizeof f.bytes)
        return false;
    memcpy(f.bytes, reply.data(), reply.size());
    f.frame_len = (int32_t)reply.size();
    return accept_reply(&f);
}

class DevsimProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = make_scratch_dir();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override
    {
        if (fd >= 0)
            close(fd);
        devsim_stop(&sim);
        remove_scratch_dir(dir);
    }
    void start(const std::vector<std::string> &args)
    {
        ASSERT_EQ(0, devsim_start(&sim, args)) << sim.output;
        fd = open_raw(sim.path);
        ASSERT_GE(fd, 0) << sim.path << ": " << strerror(errno);
    }

    DevsimProcess sim;
    std::string dir;
    int fd = -1;
};

TEST_F(DevsimProgram, AnswersOverItsTerminalAndEndsAfterAReset)
{
    std::string dump = dir + "/flash.bin", json = dir + "/summary.json";
    start({"--no-pace", "--seconds", "60", "--dump", dump, "--summary-json", json});
    EXPECT_EQ(0, strncmp(sim.path.c_str(), "/dev/pts/", 9)) << sim.path;

    FrameBuffer f;
    build_region_crc_request(&f, UNIT_ADDRESS, 0x08004000, 4);
    ASSERT_TRUE(send(fd, f));
    Bytes reply = read_some(fd, 15);
    ASSERT_EQ(15u, reply.size());
    EXPECT_TRUE(valid(reply));

    // The far end survives the tool closing and reopening the port.
    close(fd);
    fd = open_raw(sim.path);
    ASSERT_GE(fd, 0);

    Bytes data(1000);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (unsigned char)(i * 13);
    ASSERT_EQ(0, build_block_request(&f, UNIT_ADDRESS, 0x08004000, data.data(), 1000));
    ASSERT_TRUE(send(fd, f));
    reply = read_some(fd, 11);
    EXPECT_EQ(11u, reply.size());
    EXPECT_TRUE(valid(reply));

    build_reset_request(&f, UNIT_ADDRESS);
    ASSERT_TRUE(send(fd, f));
    EXPECT_EQ((Bytes{0x04, 0x2B, 0xF7, 0x6F, 0x77}), read_some(fd, 5));

    ASSERT_EQ(0, devsim_wait(&sim, 10000)) << "a reset ends the simulator";
    EXPECT_TRUE(devsim_exited_ok(&sim));
    EXPECT_NE(std::string::npos, sim.output.find("end reset; requests 3 (probe 1, block 1, verify 0, reset 1)"))
        << sim.output;
    EXPECT_EQ(data, read_file(dump)) << "the dump runs to the highest byte written";

    std::string summary = read_text(json);
    EXPECT_EQ(13 + 1011 + 5, json_number(summary, "rx_bytes")) << summary;
    EXPECT_EQ(15 + 11 + 5, json_number(summary, "tx_bytes"));
    EXPECT_EQ(1, json_number(summary, "requests.block"));
    EXPECT_EQ(1000, json_number(summary, "programmed_size"));
}

TEST_F(DevsimProgram, PacedRepliesAndDroppedOnes)
{
    start({"--seconds", "60", "--drop", "probe:1"});
    FrameBuffer f;
    build_region_crc_request(&f, UNIT_ADDRESS, 0x08004000, 4);
    ASSERT_TRUE(send(fd, f));
    EXPECT_TRUE(read_some(fd, 15, 200).empty()) << "the first probe is not answered";
    ASSERT_TRUE(send(fd, f));
    Bytes reply = read_some(fd, 15);
    EXPECT_EQ(15u, reply.size());
    EXPECT_TRUE(valid(reply));

    // Garbage before a request, and a request after it all the same.
    Bytes garbage = {0x00, 0x04, 0x2B, 0x99, 0xFF};
    ASSERT_EQ((ssize_t)garbage.size(), write(fd, garbage.data(), garbage.size()));
    ASSERT_TRUE(send(fd, f));
    EXPECT_TRUE(valid(read_some(fd, 15)));
}

TEST_F(DevsimProgram, EndsOnTimeOrSignalWithADumpOfAGivenSize)
{
    std::string dump = dir + "/sized.bin";
    start({"--no-pace", "--seconds", "1", "--dump", dump, "--dump-size", "2048", "--noise-every-ms", "50",
           "--noise-bytes", "3"});
    Bytes noise = read_some(fd, 9, 500);
    EXPECT_GE(noise.size(), 3u) << "spontaneous noise arrives while idle";
    ASSERT_EQ(0, devsim_wait(&sim, 10000));
    EXPECT_TRUE(devsim_exited_ok(&sim));
    EXPECT_NE(std::string::npos, sim.output.find("end seconds")) << sim.output;
    EXPECT_EQ(Bytes(2048, 0xFF), read_file(dump)) << "nothing written: erased flash";

    close(fd);
    fd = -1;
    devsim_stop(&sim);
    sim = DevsimProcess();
    std::string link = dir + "/ttyDEVSIM";
    ASSERT_EQ(0, symlink("/nonexistent", link.c_str())) << "a stale link is replaced";
    start({"--link", link});
    char target[256] = "";
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(sim.path, std::string(target));
    ASSERT_EQ(0, kill(sim.pid, SIGTERM));
    ASSERT_EQ(0, devsim_wait(&sim, 10000));
    EXPECT_TRUE(devsim_exited_ok(&sim));
    EXPECT_NE(std::string::npos, sim.output.find("end signal")) << sim.output;
    struct stat st;
    EXPECT_NE(0, lstat(link.c_str(), &st)) << "the link goes with the simulator";
}

TEST_F(DevsimProgram, KeepsRunningAfterAResetWhenAsked)
{
    start({"--no-pace", "--keep-running", "--seconds", "60"});
    FrameBuffer reset, probe;
    build_reset_request(&reset, UNIT_ADDRESS);
    build_region_crc_request(&probe, UNIT_ADDRESS, 0x08004000, 4);
    ASSERT_TRUE(send(fd, reset));
    EXPECT_EQ(5u, read_some(fd, 5).size());
    ASSERT_TRUE(send(fd, probe));
    EXPECT_TRUE(valid(read_some(fd, 15))) << "the boot loader runs again after the reset";
    ASSERT_EQ(0, kill(sim.pid, SIGINT));
    ASSERT_EQ(0, devsim_wait(&sim, 10000));
    EXPECT_TRUE(devsim_exited_ok(&sim));
    EXPECT_NE(std::string::npos, sim.output.find("end signal; requests 2")) << sim.output;
}

// Two devices in turn: the first runs its firmware after its reset (silent
// through the swap), then a fresh one with erased flash comes; each gets
// its dump, its line in the summary and its entry in the JSON.
TEST_F(DevsimProgram, PlaysTwoDevicesOneAfterTheOther)
{
    std::string json = dir + "/summary.json";
    start({"--no-pace", "--devices", "2", "--swap-ms", "2000", "--seconds", "60", "--dump", dir + "/flash-%d.bin",
           "--summary-json", json});
    FrameBuffer probe, reset, f;
    build_region_crc_request(&probe, UNIT_ADDRESS, 0x08004000, 4);
    build_reset_request(&reset, UNIT_ADDRESS);
    Bytes first(1024, 0x11), second(512, 0x22);

    ASSERT_EQ(0, build_block_request(&f, UNIT_ADDRESS, 0x08004000, first.data(), 1024));
    ASSERT_TRUE(send(fd, f));
    EXPECT_TRUE(valid(read_some(fd, 11)));
    ASSERT_TRUE(send(fd, reset));
    ASSERT_EQ(5u, read_some(fd, 5).size());
    double reset_ms = monotonic_ms();

    // Probed until the next device answers: nothing during the swap.
    Bytes answer;
    for (int i = 0; i < 50 && answer.empty(); i++) {
        ASSERT_TRUE(send(fd, probe));
        answer = read_some(fd, 15, 200);
    }
    ASSERT_EQ(15u, answer.size());
    EXPECT_GE(monotonic_ms() - reset_ms, 1500) << "the first device answers nothing after its reset";
    EXPECT_EQ(0xB0, answer[11]) << "the second device's flash is erased";
    EXPECT_EQ(0x01, answer[12]);

    ASSERT_EQ(0, build_block_request(&f, UNIT_ADDRESS, 0x08004000, second.data(), 512));
    ASSERT_TRUE(send(fd, f));
    EXPECT_TRUE(valid(read_some(fd, 11)));
    ASSERT_TRUE(send(fd, reset));
    EXPECT_EQ(5u, read_some(fd, 5).size());
    ASSERT_EQ(0, devsim_wait(&sim, 10000)) << "the last device's reset ends the simulator";
    EXPECT_TRUE(devsim_exited_ok(&sim));

    EXPECT_EQ(first, read_file(dir + "/flash-1.bin"));
    EXPECT_EQ(second, read_file(dir + "/flash-2.bin"));
    EXPECT_NE(std::string::npos, sim.output.find("device 1 (running); requests 2 (probe 0, block 1")) << sim.output;
    EXPECT_NE(std::string::npos, sim.output.find("device 2 (running); requests ")) << sim.output;
    std::string summary = read_text(json);
    EXPECT_EQ(2, json_number(summary, "resets"));
    size_t two = summary.find("{\"device\":2,");
    ASSERT_NE(std::string::npos, two) << summary;
    std::string one = summary.substr(summary.find("{\"device\":1,"), two);
    EXPECT_EQ(1, json_number(one, "resets"));
    EXPECT_EQ(1024, json_number(one, "programmed_size"));
    EXPECT_GT(json_number(one, "ignored_bytes"), 0) << "the probes of the swap";
    EXPECT_EQ(1, json_number(summary.substr(two), "requests.block"));
    EXPECT_EQ(512, json_number(summary.substr(two), "programmed_size"));
}

TEST_F(DevsimProgram, BadUsageExitsNonZero)
{
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--drop", "block:0"}, {"--bogus"}, {"--seconds"}, {"--attach", dir + "/missing"},
             {"--flash-from", dir + "/missing"}}) {
        DevsimProcess p;
        EXPECT_EQ(-1, devsim_start(&p, args)) << args[0];
        devsim_wait(&p, 10000);
        devsim_stop(&p);
        EXPECT_TRUE(p.ended);
        EXPECT_TRUE(WIFEXITED(p.status) && WEXITSTATUS(p.status) != 0) << args[0];
    }
}

// Asked for its usage or its version, it prints that and ends at once.
TEST(DevsimProgramText, HelpAndVersion)
{
    struct Case {
        const char *option;
        const char *first_line;  // a regular expression
        const char *rest;        // found in what follows; "" : nothing follows
    } cases[] = {
        {"--help", "usage: fwu-devsim \\[OPTION\\]\\.\\.\\.", "  --version "},
        {"--version", "fwu-devsim [0-9]+\\.[0-9]+\\.[0-9]+[^ ]* \\([^ ]+ [^ ]+\\)", ""},
    };
    for (const Case &c : cases) {
        DevsimProcess p;
        ASSERT_EQ(0, devsim_start(&p, {c.option})) << c.option;
        EXPECT_TRUE(std::regex_match(p.path, std::regex(c.first_line))) << p.path;
        ASSERT_EQ(0, devsim_wait(&p, 10000));
        EXPECT_TRUE(devsim_exited_ok(&p)) << c.option;
        if (*c.rest)
            EXPECT_NE(std::string::npos, p.output.find(c.rest)) << p.output;
        else
            EXPECT_EQ("", p.output);
        devsim_stop(&p);
    }
}

} // namespace
