// The whole update over a real line: the engine stepped the way the shell
// steps it, through the POSIX serial link, against fwu-devsim on its
// pseudo-terminal. The simulator's dump and summary tell what the device
// received. Outcomes are asserted, never durations.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "devsim_process.h"
#include "image/image.h"
#include "protocol/clock.h"
#include "protocol/engine.h"
#include "serial/serial.h"
#include "update_run.h"

namespace {

typedef std::vector<unsigned char> Bytes;

enum {
    UPDATE_LIMIT_MS = 90000  // far beyond the slowest case (a few 5 s resends)
};

// A raw image of size bytes, padded by the image layer as the tool pads its
// embedded image.
Bytes padded_image(size_t size, unsigned seed)
{
    const Bytes raw = test_pattern(size, seed);
    DeviceLink padding;
    init_link(&padding);
    if (pad_image(&padding, raw.data(), (int64_t)raw.size()) != 0)
        return Bytes();
    Bytes image = padded_bytes(&padding);
    free((void *)padding.image);
    return image;
}

class DevsimUpdate : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = make_scratch_dir();
        ASSERT_FALSE(dir.empty());
        dump = dir + "/flash.bin";
        json = dir + "/summary.json";
        link.port = INVALID_HANDLE_VALUE;
    }

    void TearDown() override
    {
        end_run();
        remove_scratch_dir(dir);
    }

    // Closes the port and stops the simulator, whatever state they are in.
    void end_run()
    {
        if (link.port != INVALID_HANDLE_VALUE)
            close_port(link.port);
        link.port = INVALID_HANDLE_VALUE;
        devsim_stop(&sim);
        sim = DevsimProcess();
    }

    // Starts the simulator (dump and summary always on) and opens its line
    // the way the shell does.
    void start(std::vector<std::string> args, const Bytes &padded)
    {
        ASSERT_FALSE(padded.empty()) << "the image layer did not pad the image";
        image = padded;
        args.insert(args.end(), {"--dump", dump, "--summary-json", json, "--seconds", "300"});
        ASSERT_EQ(0, devsim_start(&sim, args)) << sim.output;
        init_link(&link);
        ASSERT_EQ(0, open_line_for_update(&link, sim.path.c_str())) << sim.path;
        link.image = image.data();
        link.image_size = (int32_t)image.size();
        link.base = IMAGE_BASE;
    }

    // What the button and the timer do: Start, then a step every tick until
    // the update ends (or the limit passes). Returns the final state.
    uint32_t run_update()
    {
        uint32_t state = run_update_as_shell(&link, UPDATE_LIMIT_MS, nullptr);
        fflush(stdout);
        return state;
    }

    // After Done: the tool closes the port and the simulator ends by itself.
    void expect_device_ended_after_reset()
    {
        close_port(link.port);
        link.port = INVALID_HANDLE_VALUE;
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
        Bytes raw = read_file(json);
        summary.assign(raw.begin(), raw.end());
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
        start({"--no-pace"}, padded_image(size, (unsigned)size));
        ASSERT_EQ((uint32_t)Done, run_update());
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
    start({"--flash-ms", "15"}, padded_image(4100, 9));
    ASSERT_EQ((uint32_t)Done, run_update());
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
          padded_image(6500, 3));
    ASSERT_EQ((uint32_t)Done, run_update());
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
    start({"--no-pace", "--late", "block:2", "--late-ms", "5100"}, padded_image(4096, 4));
    uint32_t state = run_update();
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
    start({"--no-pace", "--wrong-crc", "all"}, padded_image(2048, 5));
    ASSERT_EQ((uint32_t)Failed, run_update());
    // A few more ticks in Failed send nothing.
    for (int i = 0; i < 20; i++) {
        step_update(&link);
        sleep_ms(SHELL_TICK_MS);
    }
    stop_device();
    EXPECT_EQ(0, stat("requests.reset"));
    EXPECT_EQ(1, stat("requests.verify"));
    EXPECT_EQ(1, stat("faults.wrong-crc"));
    expect_flash_is_image();
}

TEST_F(DevsimUpdate, RetryAfterFailedSucceedsOnceTheDeviceIsRight)
{
    // Wrong for the first verify only: the operator presses the button again.
    start({"--no-pace", "--wrong-crc", "1"}, padded_image(3000, 6));
    ASSERT_EQ((uint32_t)Failed, run_update());
    ASSERT_EQ((uint32_t)Done, run_update());
    expect_device_ended_after_reset();
    expect_flash_is_image();
    EXPECT_EQ(2, stat("requests.verify"));
    EXPECT_EQ(1, stat("resets"));
}

TEST_F(DevsimUpdate, RetryAfterTheDeviceIsMendedBySignal)
{
    start({"--no-pace", "--wrong-crc", "all"}, padded_image(1500, 7));
    ASSERT_EQ((uint32_t)Failed, run_update());
    ASSERT_EQ(0, kill(sim.pid, SIGUSR1));
    sleep_ms(200);
    ASSERT_EQ((uint32_t)Done, run_update());
    expect_device_ended_after_reset();
    expect_flash_is_image();
    EXPECT_EQ(1, stat("faults.wrong-crc"));
}

TEST_F(DevsimUpdate, ShortVerifyReplyIsNotTakenForTheCrc)
{
    start({"--no-pace", "--short", "verify:1"}, padded_image(2048, 8));
    ASSERT_EQ((uint32_t)Done, run_update());
    expect_device_ended_after_reset();
    expect_flash_is_image();
    EXPECT_EQ(2, stat("requests.verify")) << "the verify request was resent";
}

TEST_F(DevsimUpdate, DevicePluggedInLateWithNoiseOnTheLine)
{
    // Unpowered for 3 s from its start: long enough that the first probes
    // fall in that time however slowly the tool gets going.
    start({"--silent-ms", "3000", "--noise", "probe:1-2", "--noise-bytes", "12"}, padded_image(2100, 10));
    ASSERT_EQ((uint32_t)Done, run_update());
    expect_device_ended_after_reset();
    expect_flash_is_image();
    EXPECT_GT(stat("ignored_bytes"), 0) << "probes went unheard while unplugged";
    EXPECT_EQ(0, stat("block_resends"));
}

TEST_F(DevsimUpdate, LostResetAckIsResent)
{
    start({"--no-pace", "--drop", "reset:1"}, padded_image(1024, 11));
    ASSERT_EQ((uint32_t)Done, run_update());
    expect_device_ended_after_reset();
    expect_flash_is_image();
    EXPECT_EQ(2, stat("requests.reset"));
    EXPECT_EQ(1, stat("resets"));
}

} // namespace
