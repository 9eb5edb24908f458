#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>

#include <string>
#include <vector>

#include "fake_link.h"
#include "protocol/engine.h"
#include "protocol/report.h"

namespace {

// How the scripted boot loader treats each kind of request.
struct Script {
    uint32_t delay_ms = 5;       // reply this long after the request
    bool answer_probes = true;
    int ignore_blocks = 0;       // block requests to leave unanswered first
    int corrupt_blocks = 0;      // then this many answered with a bad CRC
    int short_verifies = 0;      // verify requests answered with a short valid frame
    int ignore_verifies = 0;     // verify requests to leave unanswered first
    bool wrong_crc = false;      // report a CRC other than the image's
    int ignore_resets = 0;
};

DeviceLink link;
std::vector<unsigned char> image;
Script script;

uint16_t image_crc()
{
    return crc16(image.data(), (int32_t)image.size());
}

void device(const Bytes &req)
{
    if (req.size() < 3)
        return;
    switch (req[2]) {
    case OP_REGION_CRC:
        if (req.size() == 13 && req[10] == 4 && req[9] == 0) {  // contact probe
            if (script.answer_probes)
                fake_reply(region_crc_reply(0xFFFF), script.delay_ms);
        } else if (script.ignore_verifies > 0) {
            script.ignore_verifies--;
        } else if (script.short_verifies > 0) {
            script.short_verifies--;
            fake_reply(sealed({0x04, 0x2B, 0xF6}), script.delay_ms);
        } else {
            uint16_t crc = image_crc();
            fake_reply(region_crc_reply(script.wrong_crc ? (uint16_t)(crc ^ 1) : crc),
                       script.delay_ms);
        }
        break;
    case OP_PROGRAM_BLOCK:
        if (script.ignore_blocks > 0) {
            script.ignore_blocks--;
        } else if (script.corrupt_blocks > 0) {
            script.corrupt_blocks--;
            Bytes ack = sealed({0x04, 0x2B});
            ack[3] ^= 0x40;
            fake_reply(ack, script.delay_ms);
        } else {
            fake_reply(sealed({0x04, 0x2B}), script.delay_ms);
        }
        break;
    case OP_RESET:
        if (script.ignore_resets > 0)
            script.ignore_resets--;
        else
            fake_reply(sealed({0x04, 0x2B}), script.delay_ms);
        break;
    }
}

void begin(size_t image_size, uint32_t start_ms = 1000, Script s = Script())
{
    script = s;
    image.assign(image_size, 0);
    for (size_t i = 0; i < image_size; i++)
        image[i] = (unsigned char)(i * 7 + (i >> 8));
    fake_reset(start_ms, device);
    memset(&link, 0x5A, sizeof link);  // no field may rely on a zeroed record
    init_link(&link);
    link.image = image.data();
    link.image_size = (int32_t)image.size();
    link.base = IMAGE_BASE;
    fake_attach(&link);
    link.state = Start;
}

// One timer message: the step, then about 10 ms until the next tick.
void tick()
{
    step_update(&link);
    fake.now += 10;
}

int run_until(uint32_t state, int max_ticks = 10000)
{
    int ticks = 0;
    while (link.state != state && ticks < max_ticks) {
        tick();
        ticks++;
    }
    return ticks;
}

std::vector<SentFrame> sent_with_op(unsigned char op)
{
    std::vector<SentFrame> out;
    for (const SentFrame &f : fake.sent)
        if (f.bytes.size() > 2 && f.bytes[2] == op)
            out.push_back(f);
    return out;
}

bool is_probe(const Bytes &f)
{
    return f.size() == 13 && f[2] == OP_REGION_CRC && f[10] == 4;
}

int count_of(const std::vector<std::string> &v, const std::string &s)
{
    int n = 0;
    for (const std::string &x : v)
        n += x == s;
    return n;
}

TEST(EngineLink, DeviceAnsweringWithinThePauseLinksOnTheThirdProbe)
{
    begin(2048);
    tick();
    EXPECT_EQ((uint32_t)Contact, link.state);
    EXPECT_TRUE(fake.sent.empty()) << "the first tick only resets the counters";
    EXPECT_EQ(100u, link.timeout_ms);

    tick();
    EXPECT_EQ((uint32_t)AwaitLink, link.state);
    ASSERT_EQ(1u, fake.sent.size());
    EXPECT_EQ((std::vector<std::string>{"Establishing Link..."}), fake.statuses);

    // The first reply waited in the port through the second probe's pause:
    // both replies are read together and rejected.
    tick();
    EXPECT_EQ((uint32_t)AwaitLink, link.state);
    EXPECT_EQ(2u, fake.sent.size());
    EXPECT_EQ(0, fake.purges);

    tick();
    EXPECT_EQ((uint32_t)AwaitBlockAck, link.state);
    ASSERT_EQ(4u, fake.sent.size());
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(is_probe(fake.sent[i].bytes)) << i;
    EXPECT_EQ(OP_PROGRAM_BLOCK, fake.sent[3].bytes[2]);
    EXPECT_EQ(1, fake.purges);
    EXPECT_EQ(1, fake.flushes);
    EXPECT_EQ(5000u, link.timeout_ms);
}

TEST(EngineLink, SilentDeviceGetsOneProbePerTick)
{
    Script silent;
    silent.answer_probes = false;
    begin(1024, 1000, silent);
    tick();
    tick();
    testing::internal::CaptureStdout();
    for (int i = 0; i < 20; i++)
        tick();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(21u, fake.sent.size());
    std::string twenty;
    for (int i = 0; i < 20; i++)
        twenty += "CONTACTING...\n";
    EXPECT_EQ(twenty, out);
    EXPECT_EQ((uint32_t)AwaitLink, link.state);
}

// A device plugged in after twenty unanswered probes has had nothing resent:
// the probes were the wait for it.
TEST(EngineLink, ProbesBeforeTheFirstAnswerAreNoResends)
{
    Script silent;
    silent.answer_probes = false;
    begin(2048, 1000, silent);
    testing::internal::CaptureStdout();
    for (int i = 0; i < 22; i++)
        tick();
    script.answer_probes = true;
    run_until(Done, 1000);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ((uint32_t)Done, link.state);
    EXPECT_EQ(0u, link.engine.tally.resends);
}

TEST(EngineLink, EveryNonEmptyReadIsDumpedInHex)
{
    Script silent;
    silent.answer_probes = false;
    begin(1024, 1000, silent);
    tick();
    tick();
    fake_reply({0xDE, 0xAD}, 0);
    testing::internal::CaptureStdout();
    tick();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("CONTACTING...\nRX: de ad\n", out);
    EXPECT_EQ((uint32_t)AwaitLink, link.state);
}

TEST(EngineTransfer, CleanUpdateTraceAndStatusSequence)
{
    begin(2048);
    testing::internal::CaptureStdout();
    run_until(Done, 100);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ((uint32_t)Done, link.state);

    char crcs[80];
    snprintf(crcs, sizeof crcs, "Remote CRC %#x\nLocal  CRC %#x\n", image_crc(), image_crc());
    std::string probe_reply = "RX: 04 2b f6 00 00 00 00 00 00 00 00 ff ff 75 30";
    EXPECT_EQ("CONTACTING...\n"
              "CONTACTING...\n" + probe_reply + probe_reply.substr(3) + "\n"
              "CONTACTING...\n" + probe_reply + "\n"
              "REMOTE DEVICE LINK ESTABLISHED\n"
              "PROG ADDR 0x8004000, LEN 0x400, FROM 0... - SENT - - OK\n"
              "PROG ADDR 0x8004400, LEN 0x400, FROM 0x400... - SENT - - OK\n"
              "Verifying address 0x8004000, image size 0x800 bytes\n"
              "frame length   13 bytes sent\n" +
                  std::string(crcs) +
                  "CRCs match\n"
                  "Resetting target\n"
                  "frame length    5 bytes sent\n"
                  "frame length    4 bytes received & OK\n",
              out);
    EXPECT_EQ((std::vector<std::string>{"Establishing Link...", "programming 0x8004000",
                                        "programming 0x8004400", "Verifying...",
                                        "Program Verified OK", "Resetting target...",
                                        "Programming Completed OK"}),
              fake.statuses);
    EXPECT_EQ(1u, sent_with_op(OP_RESET).size());
}

TEST(EngineTransfer, BlocksCarryTheImageInOrder)
{
    begin(3 * 1024);
    run_until(Done, 200);
    ASSERT_EQ((uint32_t)Done, link.state);
    std::vector<SentFrame> blocks = sent_with_op(OP_PROGRAM_BLOCK);
    ASSERT_EQ(3u, blocks.size());
    for (size_t i = 0; i < blocks.size(); i++) {
        const Bytes &b = blocks[i].bytes;
        ASSERT_EQ(1035u, b.size());
        uint32_t address = (uint32_t)b[3] << 24 | b[4] << 16 | b[5] << 8 | b[6];
        EXPECT_EQ(IMAGE_BASE + 1024 * i, address);
        EXPECT_EQ(0, memcmp(b.data() + 9, image.data() + 1024 * i, 1024)) << i;
    }
}

TEST(EngineTransfer, OneBlockImageSendsVerifyInTheAckTick)
{
    begin(1024);
    run_until(AwaitBlockAck, 100);
    while (link.state == AwaitBlockAck) {
        size_t before = fake.sent.size();
        tick();
        if (link.state != AwaitBlockAck) {
            ASSERT_EQ(before + 1, fake.sent.size());
            const Bytes &v = fake.sent.back().bytes;
            EXPECT_EQ((Bytes{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x04, 0x00}),
                      Bytes(v.begin(), v.begin() + 11));
        }
    }
    EXPECT_EQ((uint32_t)AwaitVerify, link.state);
    EXPECT_EQ(1u, sent_with_op(OP_PROGRAM_BLOCK).size());
}

TEST(EngineTransfer, ImageNotAWholeNumberOfBlocksEndsWithAShortBlock)
{
    begin(1500);
    run_until(Done, 100);
    ASSERT_EQ((uint32_t)Done, link.state);
    std::vector<SentFrame> blocks = sent_with_op(OP_PROGRAM_BLOCK);
    ASSERT_EQ(2u, blocks.size());
    EXPECT_EQ(1035u, blocks[0].bytes.size());
    EXPECT_EQ(476u + 11u, blocks[1].bytes.size());
    EXPECT_EQ(0x01, blocks[1].bytes[7]);
    EXPECT_EQ(0xDC, blocks[1].bytes[8]);
}

// A block whose ack never comes is resent once it is strictly more than
// 5000 ms old, with the same address and bytes, across the counter's wrap.
TEST(EngineTransfer, UnansweredBlockIsResentUnchangedAfterTheTimeout)
{
    Script s;
    s.ignore_blocks = 1;
    s.corrupt_blocks = 1;
    begin(2048, 0xFFFFF000u, s);
    run_until(AwaitBlockAck, 100);
    tick();  // one more tick: block 0 carries on unanswered
    std::vector<SentFrame> blocks = sent_with_op(OP_PROGRAM_BLOCK);
    ASSERT_EQ(1u, blocks.size());
    uint32_t sent_at = link.send_time;

    fake.now = sent_at + 5000;  // equal is not overdue (and wraps past 0)
    step_update(&link);
    EXPECT_EQ(1u, sent_with_op(OP_PROGRAM_BLOCK).size());

    fake.now = sent_at + 5001;
    testing::internal::CaptureStdout();
    step_update(&link);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0u, out.find("TIMEOUT\nPROG ADDR 0x8004000, LEN 0x400, FROM 0... - SENT - "));
    blocks = sent_with_op(OP_PROGRAM_BLOCK);
    ASSERT_EQ(2u, blocks.size());
    EXPECT_EQ(blocks[0].bytes, blocks[1].bytes);
    EXPECT_EQ(0, link.offset) << "a corrupted ack does not advance";

    fake.now += 5001;
    run_until(Done, 100);
    ASSERT_EQ((uint32_t)Done, link.state);
    blocks = sent_with_op(OP_PROGRAM_BLOCK);
    ASSERT_EQ(4u, blocks.size());
    EXPECT_EQ(blocks[0].bytes, blocks[2].bytes);
    EXPECT_EQ(3, count_of(fake.statuses, "programming 0x8004000"));
}

TEST(EngineVerify, MismatchFailsWithoutReset)
{
    Script s;
    s.wrong_crc = true;
    begin(2048, 1000, s);
    testing::internal::CaptureStdout();
    run_until(Failed, 100);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ((uint32_t)Failed, link.state);
    EXPECT_NE(std::string::npos, out.find("CRC FAIL\n"));
    EXPECT_EQ("FAILED", fake.statuses.back());
    EXPECT_STREQ("FAILED", current_status());

    size_t sent = fake.sent.size();
    for (int i = 0; i < 1000; i++)
        tick();
    EXPECT_EQ((uint32_t)Failed, link.state);
    EXPECT_EQ(sent, fake.sent.size()) << "Failed sends nothing more";
    EXPECT_TRUE(sent_with_op(OP_RESET).empty());
}

// A reply with a good CRC that ends before the CRC field does not answer the
// verify request: stale buffer bytes must never decide the outcome.
TEST(EngineVerify, ShortValidReplyIsNotAnAnswer)
{
    Script s;
    s.short_verifies = 1;
    begin(1024, 1000, s);
    run_until(AwaitVerify, 100);
    ASSERT_EQ((uint32_t)AwaitVerify, link.state);
    uint32_t sent_at = link.send_time;

    testing::internal::CaptureStdout();
    for (int i = 0; i < 20; i++)
        tick();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ((uint32_t)AwaitVerify, link.state);
    EXPECT_EQ("", out);
    EXPECT_EQ(0u, fake_pending());

    // A 14-byte valid frame still ends before byte 12 is free of its CRC.
    fake_reply(sealed(Bytes(12, 0x00)), 0);
    tick();
    EXPECT_EQ((uint32_t)AwaitVerify, link.state);

    fake.now = sent_at + 5001;
    run_until(Done, 100);
    EXPECT_EQ((uint32_t)Done, link.state);
    EXPECT_EQ(2, count_of(fake.statuses, "Verifying..."));
}

TEST(EngineReset, ResetIsResentAfter100ms)
{
    Script s;
    s.ignore_resets = 2;
    begin(1024, 1000, s);
    run_until(AwaitResetAck, 100);
    ASSERT_EQ((uint32_t)AwaitResetAck, link.state);
    uint32_t sent_at = link.send_time;
    EXPECT_EQ((std::vector<std::string>{"Program Verified OK", "Resetting target..."}),
              std::vector<std::string>(fake.statuses.end() - 2, fake.statuses.end()));

    fake.now = sent_at + 100;
    step_update(&link);
    EXPECT_EQ(1u, sent_with_op(OP_RESET).size());
    fake.now = sent_at + 101;
    step_update(&link);
    EXPECT_EQ(2u, sent_with_op(OP_RESET).size());

    run_until(Done, 100);
    EXPECT_EQ((uint32_t)Done, link.state);
    EXPECT_EQ(3u, sent_with_op(OP_RESET).size());
    EXPECT_EQ("Programming Completed OK", fake.statuses.back());
}

TEST(EngineRestart, ButtonPressAfterFailureStartsOver)
{
    Script s;
    s.wrong_crc = true;
    begin(2048, 1000, s);
    run_until(Failed, 100);
    script.wrong_crc = false;
    link.state = Start;
    tick();
    EXPECT_EQ(0, link.offset);
    EXPECT_EQ(1024, link.block_len);
    EXPECT_EQ(100u, link.timeout_ms);
    run_until(Done, 100);
    EXPECT_EQ((uint32_t)Done, link.state);
}

// ---------------------------------------------------------------------------
// Reads that end once a reply is in (the command line)

// Steps with no tick between them, as the command line does.
int run_at_once(uint32_t state, int max_steps = 1000)
{
    int steps = 0;
    for (; link.state != state && steps < max_steps; ++steps)
        step_update(&link);
    return steps;
}

// A frame that passes the acceptance test and whose first four bytes pass it
// too: the start of a longer reply that looks whole by chance.
Bytes reply_with_valid_start(size_t extra)
{
    Bytes r = sealed({0x04, 0x2B});
    for (size_t i = 0; i < extra; ++i)
        r.push_back((unsigned char)(0x30 + i));
    return sealed(r);
}

TEST(EngineReplyComplete, SameFramesWithoutTheReadWindows)
{
    begin(3 * 1024);
    link.settings.reply_complete = 1;
    uint32_t start = fake.now;
    run_at_once(Done);
    ASSERT_EQ((uint32_t)Done, link.state);
    // One probe (no pause after it), each block once, verify, reset.
    ASSERT_EQ(6u, fake.sent.size());
    EXPECT_TRUE(is_probe(fake.sent[0].bytes));
    EXPECT_EQ(3u, sent_with_op(OP_PROGRAM_BLOCK).size());
    EXPECT_EQ(0u, link.engine.tally.resends);
    EXPECT_EQ(3u, link.engine.tally.blocks_acked);
    // Each reply is taken the moment it is in: 5 ms per exchange.
    EXPECT_EQ(start + 6 * 5, fake.now);
}

TEST(EngineReplyComplete, TheStartOfALongerReplyNeitherLosesNorDoublesOne)
{
    // The first block's ack looks whole after four bytes; its rest follows
    // 2 ms later and the next block's ack behind it. The rest is never a
    // reply of its own, and the ack behind it is not lost with it.
    Script s;
    s.ignore_blocks = 1;
    begin(3 * 1024, 1000, s);
    link.settings.reply_complete = 1;
    run_at_once(AwaitBlockAck);
    Bytes ack = reply_with_valid_start(5);
    fake_reply(Bytes(ack.begin(), ack.begin() + 4), 5);
    fake_reply(Bytes(ack.begin() + 4, ack.end()), 7);
    run_at_once(Done);
    EXPECT_EQ((uint32_t)Done, link.state);
    EXPECT_EQ(3u, sent_with_op(OP_PROGRAM_BLOCK).size());
    EXPECT_EQ(0u, link.engine.tally.resends);

    // A verify answer whose first bytes pass on their own: the read goes on
    // to the CRC field, and the answer counts.
    s = Script();
    s.ignore_verifies = 1;
    begin(1024, 1000, s);
    link.settings.reply_complete = 1;
    run_at_once(AwaitVerify);
    Bytes answer = sealed({0x04, 0x2B});
    Bytes rest = {0, 0, 0, 0, 0, 0, 0, (unsigned char)(image_crc() >> 8),
                  (unsigned char)(image_crc() & 0xFF)};
    answer.insert(answer.end(), rest.begin(), rest.end());
    answer = sealed(answer);
    fake_reply(Bytes(answer.begin(), answer.begin() + 4), 5);
    fake_reply(Bytes(answer.begin() + 4, answer.end()), 7);
    run_at_once(AwaitResetAck, 3);
    EXPECT_EQ((uint32_t)AwaitResetAck, link.state);
    EXPECT_EQ(1u, sent_with_op(OP_REGION_CRC).size() - 1) << "no verify resent";

    // The same answer to a block's CRC request, verifying only.
    s = Script();
    s.ignore_verifies = 1;  // the first block's CRC request
    begin(1024, 1000, s);
    link.settings.reply_complete = 1;
    link.settings.mode = MODE_VERIFY;
    run_at_once(AwaitBlockCrc);
    fake_reply(Bytes(answer.begin(), answer.begin() + 4), 5);
    fake_reply(Bytes(answer.begin() + 4, answer.end()), 7);
    run_at_once(AwaitVerify, 3);
    EXPECT_EQ((uint32_t)AwaitVerify, link.state);
    EXPECT_EQ(0u, link.engine.differing.blocks);
}

TEST(EngineReplyComplete, AVanishedDeviceIsNoted)
{
    begin(2048);
    link.settings.reply_complete = 1;
    run_at_once(AwaitBlockAck);
    EXPECT_EQ(UPDATE_RUNNING, update_outcome(&link, NULL));
    fake.gone = 1;
    step_update(&link);
    UpdateOutcome outcome;
    EXPECT_EQ(UPDATE_PORT_LOST, update_outcome(&link, &outcome));
    EXPECT_EQ(1, outcome.port_lost);
    EXPECT_STREQ("the port went away after 1024 of 2048 bytes (adapter unplugged?)", outcome.why);
    size_t sent = fake.sent.size();
    step_update(&link);
    EXPECT_EQ(sent, fake.sent.size()) << "nothing more goes to a vanished device";
}

// How an update ends, as the engine tells it: each end with its words, the
// limits a front end sets, and a stop.
TEST(EngineOutcome, EveryEndAndItsWords)
{
    UpdateOutcome o;
    begin(1024);
    run_at_once(Done);
    EXPECT_EQ(UPDATE_DONE, update_outcome(&link, &o));
    EXPECT_EQ(1, o.reset_confirmed);
    EXPECT_EQ(0, o.port_lost);
    EXPECT_STREQ("", o.why);
    EXPECT_EQ(1024, o.offset);
    EXPECT_EQ(1u, o.tally.blocks_acked);

    Script s;
    s.wrong_crc = true;
    begin(1024, 1000, s);
    run_at_once(Failed);
    EXPECT_EQ(UPDATE_FAILED, update_outcome(&link, &o));
    EXPECT_TRUE(strstr(o.why, "it was not reset") != NULL);

    // No device: the wait for the first answer, named as the front end names it.
    s = Script();
    s.answer_probes = false;
    begin(1024, 1000, s);
    link.settings.limits.first_answer_ms = 2000;
    link.settings.limits.first_answer_name = "--wait";
    run_at_once(Done, 100);
    EXPECT_EQ(UPDATE_DEADLINE, update_outcome(&link, &o));
    EXPECT_EQ(CAUSE_NO_ANSWER, o.cause);
    EXPECT_STREQ("no answer from the device within --wait 2 s (plugged in and powered?)", o.why);
    EXPECT_GE(fake.now - 1000, 2000u);

    // Blocks never acknowledged: the overall deadline.
    s = Script();
    s.ignore_blocks = 1000;
    begin(2048, 1000, s);
    link.settings.limits.finish_ms = 12000;
    run_at_once(Done, 1000);
    EXPECT_EQ(UPDATE_DEADLINE, update_outcome(&link, &o));
    EXPECT_EQ(CAUSE_NOT_FINISHED, o.cause);
    EXPECT_STREQ("not finished within 12 s (0 of 2048 bytes)", o.why);

    // A reset never acknowledged: done, unconfirmed, once the limit passed.
    s = Script();
    s.ignore_resets = 1000;
    begin(1024, 1000, s);
    link.settings.limits.reset_for_ms = 2000;
    run_at_once(Done, 1000);
    EXPECT_EQ(UPDATE_DONE, update_outcome(&link, &o));
    EXPECT_EQ(0, o.reset_confirmed);
    EXPECT_EQ(CAUSE_RESET_UNANSWERED, o.cause);
    EXPECT_EQ((uint32_t)AwaitResetAck, link.state);

    // The line vanishes while the reset is outstanding: verified, done.
    s = Script();
    s.ignore_resets = 1000;
    begin(1024, 1000, s);
    run_at_once(AwaitResetAck);
    fake.gone = 1;
    step_update(&link);
    EXPECT_EQ(UPDATE_DONE, update_outcome(&link, &o));
    EXPECT_EQ(CAUSE_LOST_ON_RESET, o.cause);
    EXPECT_EQ(1, o.port_lost) << "done, and the port lost with the reset";

    // A stop ends it between two steps; a new start runs again.
    begin(2048);
    run_at_once(AwaitBlockAck);
    stop_update(&link);
    size_t sent = fake.sent.size();
    step_update(&link);
    EXPECT_EQ(UPDATE_STOPPED, update_outcome(&link, &o));
    EXPECT_EQ(sent, fake.sent.size());
    start_update(&link);
    EXPECT_EQ(UPDATE_RUNNING, update_outcome(&link, &o));
    EXPECT_EQ(0, o.linked) << "a start begins the bookkeeping afresh";
    run_at_once(Done);
    EXPECT_EQ(UPDATE_DONE, update_outcome(&link, NULL));

    // Without limits the dialog's update waits for ever.
    s = Script();
    s.answer_probes = false;
    begin(1024, 1000, s);
    for (int i = 0; i < 3000; ++i)
        tick();
    EXPECT_EQ(UPDATE_RUNNING, update_outcome(&link, NULL));
}

}  // namespace

namespace {

// A device that echoes each request's header in its reply, as the boot
// loader does. The first block's first request is answered late: just after
// the answer to its resend, before the second block's.
void echoing_device(const Bytes &req)
{
    static int blocks_seen;
    if (fake.sent.size() == 1)
        blocks_seen = 0;
    if (req.size() < 5)
        return;
    switch (req[2]) {
    case OP_REGION_CRC: {
        Bytes head(req.begin(), req.begin() + 11);
        uint16_t crc = req[10] == 4 && req[9] == 0 ? 0xFFFF : image_crc();
        head.push_back((unsigned char)(crc >> 8));
        head.push_back((unsigned char)(crc & 0xFF));
        fake_reply(sealed(head), 5);
        break;
    }
    case OP_PROGRAM_BLOCK:
        ++blocks_seen;
        if (blocks_seen == 1)
            break;  // answered with the resend's
        fake_reply(sealed(Bytes(req.begin(), req.begin() + 9)), blocks_seen == 2 ? 1 : 5);
        if (blocks_seen == 2)
            fake_reply(sealed(Bytes(req.begin(), req.begin() + 9)), 3);  // the late one
        break;
    case OP_RESET:
        fake_reply(sealed(Bytes(req.begin(), req.begin() + 3)), 5);
        break;
    }
}

// Replies matched to requests: a late answer is never taken for the answer
// to the request after it, and a reset is confirmed only when its
// acknowledgement cannot be a late answer.
TEST(EngineReplyMatching, LateAnswersAreDroppedAndResetsTrustedOnlyWhenSure)
{
    UpdateOutcome o;
    begin(2048);
    fake.device = echoing_device;
    link.settings.reply_complete = 1;
    link.settings.match_replies = 1;
    run_at_once(Done);
    EXPECT_EQ(UPDATE_DONE, update_outcome(&link, &o));
    EXPECT_EQ(1, o.reset_confirmed);
    EXPECT_EQ(2u, o.tally.blocks_acked);
    EXPECT_EQ(1u, o.tally.stale_replies) << "the late answer came after the resend's";
    EXPECT_EQ(3u, sent_with_op(OP_PROGRAM_BLOCK).size());
    EXPECT_EQ(1u, sent_with_op(OP_RESET).size());

    // Without matching, the late answer acknowledges the second block as
    // soon as it was sent.
    begin(2048);
    fake.device = echoing_device;
    link.settings.reply_complete = 1;
    run_at_once(AwaitVerify);
    EXPECT_EQ(2u, link.engine.tally.blocks_acked);
    EXPECT_LT(fake.sent.back().at - sent_with_op(OP_PROGRAM_BLOCK).back().at, 5u)
        << "the verify request went out before the second block could be answered";

    // A device that does not echo, after a resend: verified, but the reset's
    // acknowledgement is not trusted.
    Script s;
    s.ignore_blocks = 1;
    begin(1024, 1000, s);
    link.settings.reply_complete = 1;
    link.settings.match_replies = 1;
    run_at_once(Done);
    EXPECT_EQ(UPDATE_DONE, update_outcome(&link, &o));
    EXPECT_EQ(0, o.reset_confirmed);
    EXPECT_EQ(CAUSE_RESET_UNCERTAIN, o.cause);
}

// A device whose flash holds flash_copy (from the image's base): it answers
// the region CRC of any region of it.
Bytes flash_copy;

void flash_device(const Bytes &req)
{
    if (req.size() != 13 || req[2] != OP_REGION_CRC) {
        if (req.size() > 2)
            fake_reply(sealed(Bytes(req.begin(), req.begin() + 3)), 5);
        return;
    }
    uint32_t address = (uint32_t)req[3] << 24 | (uint32_t)req[4] << 16 | req[5] << 8 | req[6];
    uint32_t length = (uint32_t)req[7] << 24 | (uint32_t)req[8] << 16 | req[9] << 8 | req[10];
    uint32_t at = address - IMAGE_BASE;
    uint16_t crc = at + length <= flash_copy.size()
                       ? crc16(flash_copy.data() + at, (int32_t)length)
                       : 0xFFFF;
    Bytes reply(req.begin(), req.begin() + 11);
    reply.push_back((unsigned char)(crc >> 8));
    reply.push_back((unsigned char)(crc & 0xFF));
    fake_reply(sealed(reply), 5);
}

// Verifying only: every block's CRC and the whole one asked for, nothing
// written, no reset; the blocks that differ named. And an update that
// leaves the device in its boot loader.
TEST(EngineVerifyOnly, MatchesOrNamesTheDifferingBlocksAndNeverWrites)
{
    UpdateOutcome o;
    begin(5 * 1024);
    flash_copy = image;
    fake.device = flash_device;
    link.settings.reply_complete = 1;
    link.settings.mode = MODE_VERIFY;
    run_at_once(Done);
    EXPECT_EQ(UPDATE_DONE, update_outcome(&link, &o));
    EXPECT_EQ(CAUSE_NOT_RESET, o.cause);
    EXPECT_EQ(0u, o.differing.blocks);
    EXPECT_EQ(7u, fake.sent.size()) << "the probe, five blocks' CRCs, the whole CRC";
    EXPECT_EQ(0u, sent_with_op(OP_PROGRAM_BLOCK).size() + sent_with_op(OP_RESET).size());

    begin(5 * 1024);
    flash_copy = image;
    flash_copy[1024 + 7] ^= 1;
    flash_copy[3 * 1024] ^= 1;
    flash_copy[4 * 1024 + 1023] ^= 1;
    fake.device = flash_device;
    link.settings.reply_complete = 1;
    link.settings.mode = MODE_VERIFY;
    run_at_once(Failed);
    EXPECT_EQ(UPDATE_FAILED, update_outcome(&link, &o));
    EXPECT_EQ(3u, o.differing.blocks);
    ASSERT_EQ(2, o.differing.range_count);
    EXPECT_EQ(1024, o.differing.start[0]);
    EXPECT_EQ(2048, o.differing.end[0]);
    EXPECT_EQ(3 * 1024, o.differing.start[1]);
    EXPECT_EQ(5 * 1024, o.differing.end[1]);
    EXPECT_EQ(0u, sent_with_op(OP_PROGRAM_BLOCK).size() + sent_with_op(OP_RESET).size());

    Script s;
    begin(2048, 1000, s);
    link.settings.reply_complete = 1;
    link.settings.no_reset = 1;
    run_at_once(Done);
    EXPECT_EQ(UPDATE_DONE, update_outcome(&link, &o));
    EXPECT_EQ(0, o.reset_confirmed);
    EXPECT_EQ(CAUSE_NOT_RESET, o.cause);
    EXPECT_EQ(2u, sent_with_op(OP_PROGRAM_BLOCK).size());
    EXPECT_EQ(0u, sent_with_op(OP_RESET).size());
}

// The region length of a region-CRC request.
uint32_t region_length(const Bytes &req)
{
    return (uint32_t)req[7] << 24 | (uint32_t)req[8] << 16 | (uint32_t)req[9] << 8 | req[10];
}

// With the image's own size given, verifying compares the image's own bytes
// (each block's, the last up to the image's end, and the whole), not its zero
// padding: a device whose flash after the image is erased matches; a byte
// changed in the image does not, wherever it is. An update still verifies
// the padded image it wrote.
TEST(EngineVerifyOnly, ComparesTheImagesOwnBytesNotItsPadding)
{
    const int32_t own = 4 * 1024 + 100;
    struct Row {
        const char *what;
        UpdateMode mode;
        int32_t changed;  // the flash byte changed, -1 none
        uint32_t end;     // the state it ends in
        uint32_t whole;   // the length of the whole-image CRC request
    } rows[] = {
        {"the image, then erased flash", MODE_VERIFY, -1, Done, (uint32_t)own},
        {"a byte of the last block's own part changed", MODE_VERIFY, own - 1, Failed,
         (uint32_t)own},
        {"a byte of the first block changed", MODE_VERIFY, 5, Failed, (uint32_t)own},
        {"an update", MODE_UPDATE, -1, Done, 5 * 1024},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        begin(5 * 1024);
        std::fill(image.begin() + own, image.end(), 0);  // padded with zeros
        flash_copy.assign(image.begin(), image.begin() + own);
        flash_copy.resize(6 * 1024, 0xFF);
        if (r.changed >= 0)
            flash_copy[(size_t)r.changed] ^= 0x10;
        if (r.mode == MODE_VERIFY)
            fake.device = flash_device;
        link.settings.reply_complete = 1;
        link.settings.mode = r.mode;
        link.settings.image_own_size = own;
        run_at_once(r.end);
        EXPECT_EQ(r.end, (uint32_t)link.state);
        std::vector<uint32_t> lengths;
        for (const SentFrame &f : sent_with_op(OP_REGION_CRC))
            if (!is_probe(f.bytes))
                lengths.push_back(region_length(f.bytes));
        std::vector<uint32_t> want(r.mode == MODE_VERIFY ? 4 : 0, 1024);
        if (r.mode == MODE_VERIFY)
            want.push_back(100);  // the last block: the image's own part only
        want.push_back(r.whole);
        EXPECT_EQ(want, lengths);
        UpdateOutcome o;
        update_outcome(&link, &o);
        EXPECT_EQ(r.changed >= 0 ? 1u : 0u, o.differing.blocks);
    }
}

// The slots' look for a device between updates: one probe, one read; a
// vanished line is told whatever was read.
TEST(EngineProbe, AnsweredOnlyByADeviceThatIsThere)
{
    begin(1024);
    EXPECT_EQ(PROBE_ANSWERED, probe_device(&link));
    ASSERT_EQ(1u, fake.sent.size());
    EXPECT_TRUE(is_probe(fake.sent[0].bytes));
    EXPECT_EQ((uint32_t)Start, link.state) << "the update is left alone";

    Script s;
    s.answer_probes = false;
    begin(1024, 1000, s);
    EXPECT_EQ(PROBE_SILENT, probe_device(&link));

    begin(1024);
    fake.gone = 1;
    EXPECT_EQ(PROBE_LINE_LOST, probe_device(&link));
}

// The slots' question between updates: the CRC of the image's region, taken
// from the reply that echoes it even behind a stale one or a late answer to
// the probe; none from a device that does not answer; a vanished line told.
TEST(EngineProbe, TheRegionCrcQuestion)
{
    uint16_t crc = 0;
    begin(3 * 1024);
    flash_copy = image;
    flash_copy[5] ^= 1;
    fake.device = flash_device;
    fake_reply(sealed({0x04, 0x2B, 0xF5, 0x08, 0x00, 0x40, 0x00, 0x04, 0x00}), 3);
    EXPECT_EQ(REGION_CRC_ANSWERED, ask_region_crc(&link, 1000, &crc));
    EXPECT_EQ(crc16(flash_copy.data(), 3 * 1024), crc);
    ASSERT_EQ(1u, fake.sent.size());
    EXPECT_EQ((Bytes{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x0C, 0x00}),
              Bytes(fake.sent[0].bytes.begin(), fake.sent[0].bytes.begin() + 11));
    EXPECT_EQ((uint32_t)Start, link.state) << "the update is left alone";

    // A late answer to the probe comes first: it is not taken for this one.
    begin(3 * 1024);
    flash_copy = image;
    fake.device = flash_device;
    fake_reply(sealed({0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x04, 0x12,
                       0x34}),
               3);
    EXPECT_EQ(REGION_CRC_ANSWERED, ask_region_crc(&link, 1000, &crc));
    EXPECT_EQ(crc16(flash_copy.data(), 3 * 1024), crc);

    Script s;
    s.ignore_verifies = 1;
    begin(1024, 1000, s);
    uint32_t asked_at = fake.now;
    EXPECT_EQ(REGION_CRC_SILENT, ask_region_crc(&link, 1000, &crc));
    EXPECT_EQ(asked_at + 1000, fake.now) << "the whole wait, and no longer";

    begin(1024);
    fake.gone = 1;
    EXPECT_EQ(REGION_CRC_LINE_LOST, ask_region_crc(&link, 1000, &crc));
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// The command line's link: answers only after their question, a resend timer
// that follows the device, a stall limit

// A boot loader that carries out its requests in order, each answered
// block_ms (a region CRC or a reset 5 ms) after it is in or after the answer
// before it, echoing the request's header; what it leaves out or adds is
// the row's. Block requests count from 1, resends included.
struct EchoScript {
    bool echoes = true;       // false: 4-byte replies that carry no header
    uint32_t block_ms = 5;
    int drop_block = 0;       // this block request is carried out, unanswered
    bool drop_verify = false; // so is the first verify request
    int erase_block = 0;      // this one takes erase_ms more
    uint32_t erase_ms = 0;
    int mute_after = 0;       // nothing is answered after this many block requests
    int early_ack_ms = -1;    // this long after the verify answer, a reset ack nobody
                              // asked for; no reset request is answered then
};

EchoScript echo;
int echo_blocks;
uint32_t echo_busy_until;
bool echo_resets_ignored;

void echo_reply(const Bytes &req, size_t head, uint32_t ms)
{
    uint32_t start = (int32_t)(echo_busy_until - fake.now) > 0 ? echo_busy_until : fake.now;
    echo_busy_until = start + ms;
    Bytes reply = sealed(echo.echoes ? Bytes(req.begin(), req.begin() + (long)head)
                                     : Bytes{0x04, 0x2B});
    if (req[2] == OP_REGION_CRC) {
        uint16_t crc = req[10] == 4 && req[9] == 0 ? 0xFFFF : image_crc();
        Bytes body(req.begin(), req.begin() + 11);
        body.push_back((unsigned char)(crc >> 8));
        body.push_back((unsigned char)(crc & 0xFF));
        reply = echo.echoes ? sealed(body) : region_crc_reply(crc);
    }
    fake_reply(reply, echo_busy_until - fake.now);
}

void echo_device(const Bytes &req)
{
    if (req.size() < 5 || (echo.mute_after > 0 && echo_blocks >= echo.mute_after))
        return;
    switch (req[2]) {
    case OP_PROGRAM_BLOCK:
        ++echo_blocks;
        if (echo_blocks != echo.drop_block)
            echo_reply(req, 9, echo.block_ms + (echo_blocks == echo.erase_block ? echo.erase_ms : 0));
        break;
    case OP_REGION_CRC:
        if (echo.drop_verify && req[10] != 4) {
            echo.drop_verify = false;
            break;
        }
        echo_reply(req, 11, 5);
        if (req[10] != 4 && echo.early_ack_ms >= 0) {
            fake_reply(sealed({0x04, 0x2B, 0xF7}), echo_busy_until - fake.now +
                                                       (uint32_t)echo.early_ack_ms);
            echo_resets_ignored = true;
        }
        break;
    case OP_RESET:
        if (!echo_resets_ignored)
            echo_reply(req, 3, 5);
        break;
    }
}

// The command line's settings, its reset limit among them.
void begin_command_line(const EchoScript &script, size_t image_size = 8 * 1024)
{
    begin(image_size);
    echo = script;
    echo_blocks = 0;
    echo_busy_until = fake.now;
    echo_resets_ignored = false;
    fake.device = echo_device;
    link.settings.reply_complete = 1;
    link.settings.match_replies = 1;
    link.settings.clear_stale = 1;
    link.settings.resend = RESEND_FOLLOW_DEVICE;
    link.settings.limits.reset_for_ms = 2000;
}

// How long after its first send the first request resent went out again.
uint32_t first_resend_ms()
{
    for (size_t i = 0; i < fake.sent.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (fake.sent[j].bytes == fake.sent[i].bytes && !is_probe(fake.sent[i].bytes))
                return fake.sent[i].at - fake.sent[j].at;
    return 0;
}

TEST(EngineCommandLine, ResendsFollowTheDeviceAndNothingAnswersBeforeItsQuestion)
{
    struct Row {
        const char *what;
        EchoScript script;
        UpdateResend resend;
        uint32_t stall_ms;
        UpdateEnd end;
        UpdateEndCause cause;
        uint32_t resends_min, resends_max;
        uint32_t first_resend_ms;  // the first resend after its first send; 0: not checked
        uint32_t stale_bytes, stale_replies;
        const char *why;           // in the outcome's words; "" for none
    } rows[] = {
        {"a lost ack: resent after the timer's 201 ms, not 5 s",
         [] { EchoScript s; s.drop_block = 5; return s; }(), RESEND_FOLLOW_DEVICE, 0,
         UPDATE_DONE, CAUSE_NONE, 1, 1, 202, 0, 0, ""},
        {"25 ms a block: nothing resent", [] { EchoScript s; s.block_ms = 25; return s; }(),
         RESEND_FOLLOW_DEVICE, 0, UPDATE_DONE, CAUSE_NONE, 0, 0, 0, 0, 0, ""},
        {"a 1.5 s erase: three resends, backed off, and their answers dropped",
         [] { EchoScript s; s.erase_block = 5; s.erase_ms = 1500; return s; }(),
         RESEND_FOLLOW_DEVICE, 0, UPDATE_DONE, CAUSE_NONE, 3, 3, 202, 0, 3, ""},
        {"a device that does not echo keeps the dialog's 5 s",
         [] { EchoScript s; s.echoes = false; s.drop_block = 5; return s; }(),
         RESEND_FOLLOW_DEVICE, 0, UPDATE_DONE, CAUSE_RESET_UNCERTAIN, 1, 1, 5001, 0, 0,
         "may be a late answer"},
        {"a fixed timeout", [] { EchoScript s; s.drop_block = 5; return s; }(), RESEND_FIXED, 0,
         UPDATE_DONE, CAUSE_NONE, 1, 1, 301, 0, 0, ""},
        {"the verify request keeps the dialog's 5 s",
         [] { EchoScript s; s.drop_verify = true; return s; }(), RESEND_FOLLOW_DEVICE, 0,
         UPDATE_DONE, CAUSE_NONE, 1, 1, 5001, 0, 0, ""},
        {"a reset acknowledged before it was asked: cleared, and not confirmed",
         [] { EchoScript s; s.early_ack_ms = 3; return s; }(), RESEND_FOLLOW_DEVICE, 0,
         UPDATE_DONE, CAUSE_RESET_UNANSWERED, 1, 30, 0, 5, 0, "did not acknowledge the reset"},
        {"mute after block 2: the dialog's 5 s (two answers only), then stopped answering",
         [] { EchoScript s; s.mute_after = 2; return s; }(), RESEND_FOLLOW_DEVICE, 12000,
         UPDATE_DEADLINE, CAUSE_STALLED, 2, 2, 5001, 0, 0,
         "stopped answering: no answer from the device for --stall 12 s, at 2048 of 8192 "
         "bytes (block 0x08004800 unanswered)"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        begin_command_line(row.script);
        link.settings.resend = row.resend;
        link.settings.resend_after_ms = 300;
        link.settings.limits.stall_ms = row.stall_ms;
        link.settings.limits.stall_name = "--stall";
        uint32_t unanswered = 0;
        std::string outstanding;
        UpdateOutcome o;
        testing::internal::CaptureStdout();
        for (int i = 0; i < 5000 && update_outcome(&link, &o) == UPDATE_RUNNING; ++i) {
            step_update(&link);
            update_outcome(&link, &o);
            if (o.unanswered_ms > unanswered) {
                unanswered = o.unanswered_ms;
                outstanding = o.outstanding;
            }
        }
        std::string trace = testing::internal::GetCapturedStdout();
        EXPECT_EQ(row.stale_bytes > 0,
                  trace.find(" bytes waiting on the line before the request, cleared)") !=
                      std::string::npos);
        EXPECT_EQ(row.end, o.end);
        EXPECT_EQ(row.cause, o.cause);
        EXPECT_GE(o.tally.resends, row.resends_min);
        EXPECT_LE(o.tally.resends, row.resends_max);
        EXPECT_EQ(row.stale_bytes, o.tally.stale_bytes);
        EXPECT_EQ(row.stale_replies, o.tally.stale_replies);
        EXPECT_TRUE(strstr(o.why, row.why) != NULL) << o.why;
        if (row.first_resend_ms > 0) {
            EXPECT_EQ(row.first_resend_ms, first_resend_ms());
        }
        if (row.end == UPDATE_DONE) {
            EXPECT_EQ(8u, o.tally.blocks_acked);
        } else {
            EXPECT_GT(unanswered, 10000u) << "long enough for a line on standard error";
            EXPECT_EQ("block 0x08004800", outstanding);
        }
    }
}

}  // namespace
