// The whole update over a real line: the session code the dialog and the
// screen share (press and ticks) and the engine, through the POSIX serial
// link, against fwu-devsim on its pseudo-terminal. The simulator's dump and summary tell what the device
// received. Outcomes are asserted, never durations.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "protocol/engine.h"
#include "serial/serial.h"
#include "session/session.h"
#include "testkit.h"

using namespace testkit;

namespace {

enum {
    UPDATE_LIMIT_MS = 90000  // far beyond the slowest case (a few 5 s resends)
};


class DevsimUpdate : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = make_scratch_dir();
        ASSERT_FALSE(dir.empty());
        dump = dir + "/flash.bin";
        json = dir + "/summary.json";
        link.port = NO_PORT;
    }

    void TearDown() override
    {
        end_run();
        remove_scratch_dir(dir);
    }

    // Lets the port go and stops the simulator, whatever state they are in.
    void end_run()
    {
        release_update(&link);
        devsim_stop(&sim);
        sim = DevsimProcess();
    }

    // Starts the simulator (dump and summary always on) and gives the link
    // the image; the press opens the line.
    void start(std::vector<std::string> args, const Bytes &padded)
    {
        ASSERT_FALSE(padded.empty()) << "the image layer did not pad the image";
        image = padded;
        args.insert(args.end(), {"--dump", dump, "--summary-json", json, "--seconds", "300"});
        ASSERT_EQ(0, devsim_start(&sim, args)) << sim.output;
        init_link(&link);
        link.image = image.data();
        link.image_size = (int32_t)image.size();
        link.base = IMAGE_BASE;
    }

    // "Update Device" on the simulator's line, then the ticks until the
    // update ends (or the limit passes). Returns the final state.
    uint32_t press()
    {
        uint32_t state = run_update(&link, sim.path.c_str(), UPDATE_LIMIT_MS, NULL);
        fflush(stdout);
        return state;
    }

    // After Done: the session has closed the port and the simulator ends by
    // itself.
    void expect_device_ended_after_reset()
    {
        EXPECT_EQ(NO_PORT, link.port) << "the port is let go at Done";
        ASSERT_EQ(0, devsim_wait(&sim, 15000)) << "the simulator ends after the reset";
        EXPECT_TRUE(devsim_exited_ok(&sim)) << sim.status;
        EXPECT_NE(std::string::npos, sim.output.find("end reset")) << sim.output;
        read_summary();
    }

    // While it still runs (after Failed): stop it and read what it saw.
    void stop_device()
    {
        ASSERT_EQ(0, kill(sim.pid, SIGTERM));
        ASSERT_EQ(0, devsim_wait(&sim, 15000));
        EXPECT_TRUE(devsim_exited_ok(&sim));
        read_summary();
    }

    void read_summary()
    {
        summary = read_text(json);
        ASSERT_FALSE(summary.empty());
    }

    void expect_flash_is_image()
    {
        Bytes flash = read_file(dump);
        ASSERT_EQ(image.size(), flash.size());
        EXPECT_TRUE(flash == image) << "the device's flash differs from the padded image";
    }

    long long stat(const char *name)
    {
        return json_number(summary, name);
    }

    DevsimProcess sim;
    DeviceLink link = {};
    Bytes image;
    std::string dir, dump, json, summary;
};

TEST_F(DevsimUpdate, CleanUpdatesOfSeveralSizes)
{
    // One byte, one block exactly, sizes that pad, and a larger image.
    const size_t sizes[] = {1, 1024, 3000, 20485};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        start({"--no-pace"}, padded_pattern(size, (unsigned)size));
        ASSERT_EQ((uint32_t)Done, press());
        expect_device_ended_after_reset();
        expect_flash_is_image();
        EXPECT_EQ((long long)image.size() / 1024, stat("blocks_programmed"));
        EXPECT_EQ(0, stat("block_resends"));
        EXPECT_EQ(1, stat("requests.verify"));
        EXPECT_EQ(1, stat("resets"));
        EXPECT_EQ(0, stat("crc_errors"));
        end_run();
    }
}

TEST_F(DevsimUpdate, PacedLineWithProgrammingTime)
{
    start({"--flash-ms", "15"}, padded_pattern(4100, 9));
    ASSERT_EQ((uint32_t)Done, press());
    expect_device_ended_after_reset();
    expect_flash_is_image();
    EXPECT_EQ(0, stat("block_resends"));
    // Every byte of every block crossed the line.
    EXPECT_GE(stat("rx_bytes"), (long long)image.size() + 5 * 11);
}

TEST_F(DevsimUpdate, LostCorruptAndSplitAcksAreResent)
{
    // A lost and a corrupt ack each cost a resend. A split ack costs one when
    // the tool's read ends in the 80 ms gap, as it does unless the tool
    // stalls that long; then it reads the ack whole, which is right too.
    start({"--no-pace", "--drop", "block:2", "--corrupt", "block:4", "--split", "block:6", "--split-gap-ms",
           "80"},
          padded_pattern(6500, 3));
    ASSERT_EQ((uint32_t)Done, press());
    expect_device_ended_after_reset();
    expect_flash_is_image();
    EXPECT_GE(stat("block_resends"), 2);
    EXPECT_LE(stat("block_resends"), 3);
    EXPECT_EQ(3, stat("faults.drop") + stat("faults.corrupt") + stat("faults.split"));
}

TEST_F(DevsimUpdate, LateRepliesNeverEndInAWrongSuccess)
{
    // A block ack that comes after the tool has resent the block: it meets
    // the ack of the resend on the line.
    start({"--no-pace", "--late", "block:2", "--late-ms", "5100"}, padded_pattern(4096, 4));
    uint32_t state = press();
    ASSERT_TRUE(state == Done || state == Failed) << state;
    if (state == Done) {
        expect_device_ended_after_reset();
        expect_flash_is_image();
    } else {
        stop_device();
        EXPECT_EQ(0, stat("requests.reset")) << "no reset after a failed verify";
    }
}

TEST_F(DevsimUpdate, WrongCrcFailsWithoutAReset)
{
    start({"--no-pace", "--wrong-crc", "all"}, padded_pattern(2048, 5));
    ASSERT_EQ((uint32_t)Failed, press());
    // A few more ticks in Failed send nothing and keep the port.
    for (int i = 0; i < 20; i++) {
        tick_update(&link);
        sleep_until_ms(monotonic_ms() + TICK_MS);
    }
    EXPECT_NE(NO_PORT, link.port);
    stop_device();
    EXPECT_EQ(0, stat("requests.reset"));
    EXPECT_EQ(1, stat("requests.verify"));
    EXPECT_EQ(1, stat("faults.wrong-crc"));
    expect_flash_is_image();
}

TEST_F(DevsimUpdate, RetryAfterFailedSucceedsOnceTheDeviceIsRight)
{
    // Wrong for the first verify only: the operator presses the button again.
    start({"--no-pace", "--wrong-crc", "1"}, padded_pattern(3000, 6));
    ASSERT_EQ((uint32_t)Failed, press());
    ASSERT_EQ((uint32_t)Done, press());
    expect_device_ended_after_reset();
    expect_flash_is_image();
    EXPECT_EQ(2, stat("requests.verify"));
    EXPECT_EQ(1, stat("resets"));
}

TEST_F(DevsimUpdate, RetryAfterTheDeviceIsMendedBySignal)
{
    start({"--no-pace", "--wrong-crc", "all"}, padded_pattern(1500, 7));
    ASSERT_EQ((uint32_t)Failed, press());
    ASSERT_EQ(0, kill(sim.pid, SIGUSR1));
    sleep_until_ms(monotonic_ms() + 200);
    ASSERT_EQ((uint32_t)Done, press());
    expect_device_ended_after_reset();
    expect_flash_is_image();
    EXPECT_EQ(1, stat("faults.wrong-crc"));
}

TEST_F(DevsimUpdate, ShortVerifyReplyIsNotTakenForTheCrc)
{
    start({"--no-pace", "--short", "verify:1"}, padded_pattern(2048, 8));
    ASSERT_EQ((uint32_t)Done, press());
    expect_device_ended_after_reset();
    expect_flash_is_image();
    EXPECT_EQ(2, stat("requests.verify")) << "the verify request was resent";
}

TEST_F(DevsimUpdate, DevicePluggedInLateWithNoiseOnTheLine)
{
    // Unpowered for 3 s from its start: long enough that the first probes
    // fall in that time however slowly the tool gets going.
    start({"--silent-ms", "3000", "--noise", "probe:1-2", "--noise-bytes", "12"}, padded_pattern(2100, 10));
    ASSERT_EQ((uint32_t)Done, press());
    expect_device_ended_after_reset();
    expect_flash_is_image();
    EXPECT_GT(stat("ignored_bytes"), 0) << "probes went unheard while unplugged";
    EXPECT_EQ(0, stat("block_resends"));
}

TEST_F(DevsimUpdate, LostResetAckIsResent)
{
    start({"--no-pace", "--drop", "reset:1"}, padded_pattern(1024, 11));
    ASSERT_EQ((uint32_t)Done, press());
    expect_device_ended_after_reset();
    expect_flash_is_image();
    EXPECT_EQ(2, stat("requests.reset"));
    EXPECT_EQ(1, stat("resets"));
}

TEST(DevsimUpdateDeathTest, APortThatDoesNotOpenIsNeverTakenForAnUpdate)
{
    // The session's fatal error ends the process with a code of its own.
    EXPECT_EXIT(
        {
            DeviceLink link = {};
            init_link(&link);
            run_update(&link, "/dev/fwu-test-no-such-port", 1000, NULL);
            _exit(0);
        },
        ::testing::ExitedWithCode(3), "Unable to open serial port");
}

} // namespace
