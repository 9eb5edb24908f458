// The simulated boot loader without a terminal: requests built with the
// tool's own builders go in byte by byte with their times, replies come out.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "devsim_core.h"
#include "devsim_options.h"
#include "devsim_report.h"
#include "protocol/frame.h"

namespace {

typedef std::vector<unsigned char> Bytes;

struct Sim {
    std::unique_ptr<Devsim> dev;
    uint64_t t_us;
};

Sim make_sim(const DevsimConfig &config)
{
    Sim s;
    s.dev.reset(new Devsim);
    devsim_init(s.dev.get(), &config);
    s.t_us = 1000;
    return s;
}

Sim make_sim()
{
    DevsimConfig config;
    devsim_default_config(&config);
    return make_sim(config);
}

// Config with the faults given as command-line style options.
DevsimConfig config_from(std::vector<const char *> args)
{
    args.insert(args.begin(), "fwu-devsim");
    DevsimOptions options;
    char err[DEVSIM_ERROR_CAPACITY] = "";
    DevsimParse rc =
        devsim_parse_options((int)args.size(), const_cast<char **>(args.data()), &options, err, sizeof err);
    EXPECT_EQ(DevsimParseRun, rc) << err;
    return options.config;
}

Bytes frame_bytes(const FrameBuffer &f)
{
    return Bytes(f.bytes, f.bytes + f.frame_len);
}

Bytes probe()
{
    FrameBuffer f;
    build_region_crc_request(&f, UNIT_ADDRESS, DEVSIM_APP_BASE, 4);
    return frame_bytes(f);
}

Bytes region(uint32_t address, uint32_t length)
{
    FrameBuffer f;
    build_region_crc_request(&f, UNIT_ADDRESS, address, length);
    return frame_bytes(f);
}

Bytes block(uint32_t address, const unsigned char *data, int32_t n)
{
    FrameBuffer f;
    EXPECT_EQ(0, build_block_request(&f, UNIT_ADDRESS, address, data, n));
    return frame_bytes(f);
}

Bytes reset_request()
{
    FrameBuffer f;
    build_reset_request(&f, UNIT_ADDRESS);
    return frame_bytes(f);
}

// Bytes pushed step_us apart after a pause of gap_us; every reply handled.
std::vector<DevsimReply> feed(Sim &s, const Bytes &bytes, uint64_t gap_us = 1000, uint64_t step_us = 87)
{
    std::vector<DevsimReply> replies;
    s.t_us += gap_us;
    for (unsigned char b : bytes) {
        devsim_push(s.dev.get(), b, s.t_us);
        s.t_us += step_us;
        DevsimReply r;
        while (devsim_next(s.dev.get(), &r))
            replies.push_back(r);
    }
    return replies;
}

// The bytes of a reply as they go on the line, noise included.
Bytes wire(const DevsimReply &r)
{
    Bytes out;
    for (int i = 0; i < r.chunk_count; i++)
        out.insert(out.end(), r.bytes + r.chunks[i].off, r.bytes + r.chunks[i].off + r.chunks[i].len);
    return out;
}

// The reply frame without any noise before it.
Bytes frame_of(const DevsimReply &r)
{
    int32_t noise = (r.faults & (1u << DevsimFaultNoise)) ? r.chunks[0].len : 0;
    return Bytes(r.bytes + noise, r.bytes + r.len);
}

bool valid(const Bytes &reply)
{
    FrameBuffer f;
    memset(f.bytes, 0, sizeof f.bytes);
    memcpy(f.bytes, reply.data(), reply.size());
    f.frame_len = (int32_t)reply.size();
    return accept_reply(&f);
}

uint16_t region_crc_of(const Bytes &reply)
{
    FrameBuffer f;
    memset(f.bytes, 0, sizeof f.bytes);
    memcpy(f.bytes, reply.data(), reply.size());
    f.frame_len = (int32_t)reply.size();
    return reply_region_crc(&f);
}

Bytes padded_image(size_t size, unsigned seed)
{
    size_t padded = size == 0 ? 1024 : ((size - 1) / 1024 + 1) * 1024;
    Bytes image(padded, 0);
    for (size_t i = 0; i < size; i++)
        image[i] = (unsigned char)((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return image;
}

TEST(DevsimReplies, ByteExactForEachRequest)
{
    Sim s = make_sim();

    std::vector<DevsimReply> r = feed(s, probe());
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ(DevsimKindProbe, r[0].kind);
    // Echoed header, CRC-16 of four erased bytes (0xB001) big-endian, frame CRC.
    EXPECT_EQ((Bytes{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x04, 0xB0, 0x01, 0x04, 0x9B}),
              wire(r[0]));
    const unsigned char erased[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(crc16(erased, 4), region_crc_of(wire(r[0])));
    EXPECT_EQ(0u, r[0].chunks[0].delay_ms);

    unsigned char data[3] = {1, 2, 3};
    r = feed(s, block(DEVSIM_APP_BASE, data, 3));
    ASSERT_EQ(1u, r.size());
    Bytes ack = wire(r[0]);
    ASSERT_EQ(11u, ack.size());
    EXPECT_EQ((Bytes{0x04, 0x2B, 0xF5, 0x08, 0x00, 0x40, 0x00, 0x00, 0x03}), Bytes(ack.begin(), ack.begin() + 9));
    EXPECT_TRUE(valid(ack));

    r = feed(s, reset_request());
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ((Bytes{0x04, 0x2B, 0xF7, 0x6F, 0x77}), wire(r[0]));
    EXPECT_EQ(1, r[0].reset);
    EXPECT_EQ(1u, s.dev->counters.resets);
}

TEST(DevsimFlash, BlocksProgramAndTheRegionCrcMatchesThePaddedImage)
{
    for (size_t size : {1u, 1024u, 2500u, 5120u}) {
        SCOPED_TRACE(size);
        Sim s = make_sim();
        Bytes image = padded_image(size, (unsigned)size);
        for (size_t off = 0; off < image.size(); off += 1024) {
            std::vector<DevsimReply> r = feed(s, block(DEVSIM_APP_BASE + (uint32_t)off, &image[off], 1024));
            ASSERT_EQ(1u, r.size());
            EXPECT_TRUE(valid(wire(r[0])));
        }
        // The last block sent again, as after a lost ack, leaves the same flash.
        size_t last = image.size() - 1024;
        feed(s, block(DEVSIM_APP_BASE + (uint32_t)last, &image[last], 1024));
        EXPECT_EQ(1u, s.dev->counters.block_resends);

        std::vector<DevsimReply> r = feed(s, region(DEVSIM_APP_BASE, (uint32_t)image.size()));
        ASSERT_EQ(1u, r.size());
        EXPECT_EQ(DevsimKindVerify, r[0].kind);
        Bytes reply = wire(r[0]);
        ASSERT_EQ(15u, reply.size());
        EXPECT_TRUE(valid(reply));
        EXPECT_EQ(crc16(image.data(), (int32_t)image.size()), region_crc_of(reply));

        Bytes flash(image.size());
        ASSERT_EQ(0, devsim_read_flash(s.dev.get(), DEVSIM_APP_BASE, (uint32_t)flash.size(), flash.data()));
        EXPECT_EQ(image, flash);
        EXPECT_EQ(image.size(), devsim_programmed_size(s.dev.get()));
        unsigned char after = 0;
        ASSERT_EQ(0, devsim_read_flash(s.dev.get(), DEVSIM_APP_BASE + (uint32_t)image.size(), 1, &after));
        EXPECT_EQ(0xFF, after) << "flash past the image stays erased";
    }
}

TEST(DevsimFraming, GarbageGapsAndBadCrcs)
{
    Sim s = make_sim();

    // Garbage, including a fake header, straight before a probe.
    Bytes noisy = {0x00, 0x04, 0x04, 0x2B, 0x13, 0xFF, 0x04, 0x2B, 0xF6, 0x01};
    Bytes p = probe();
    noisy.insert(noisy.end(), p.begin(), p.end());
    std::vector<DevsimReply> r = feed(s, noisy);
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ(DevsimKindProbe, r[0].kind);
    EXPECT_GT(s.dev->counters.garbage_bytes, 0u);

    // A request split in two by a pause shorter than the gap rule.
    Bytes first(p.begin(), p.begin() + 6), second(p.begin() + 6, p.end());
    EXPECT_TRUE(feed(s, first).empty());
    EXPECT_EQ(1u, feed(s, second, 3000).size());

    // Cut off by a long pause: the first part is discarded, and the rest
    // alone is garbage; the next whole request is answered.
    uint32_t discards = s.dev->counters.gap_discards;
    EXPECT_TRUE(feed(s, first).empty());
    EXPECT_TRUE(feed(s, second, 8000).empty());
    EXPECT_EQ(discards + 1, s.dev->counters.gap_discards);
    EXPECT_EQ(1u, feed(s, p).size());

    // A header claiming a full block swallows what follows until a gap.
    Bytes fake_header = {0x04, 0x2B, 0xF5, 0x08, 0x00, 0x40, 0x00, 0x04, 0x00};
    EXPECT_TRUE(feed(s, fake_header).empty());
    EXPECT_TRUE(feed(s, p).empty());
    EXPECT_EQ(1u, feed(s, p, 100000).size());

    // A damaged request is not answered; the resync finds the next one even
    // with no pause between them.
    Bytes damaged = p;
    damaged[5] ^= 0x40;
    uint32_t crc_errors = s.dev->counters.crc_errors;
    Bytes both = damaged;
    both.insert(both.end(), p.begin(), p.end());
    r = feed(s, both);
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ(crc_errors + 1, s.dev->counters.crc_errors);

    // Two requests back to back get two replies, in order.
    Bytes two = p;
    Bytes rs = reset_request();
    two.insert(two.end(), rs.begin(), rs.end());
    r = feed(s, two);
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ(DevsimKindProbe, r[0].kind);
    EXPECT_EQ(DevsimKindReset, r[1].kind);
}

TEST(DevsimFraming, UntrustedLengthsNeverOverflow)
{
    Sim s = make_sim();
    // Block lengths 0 and above 1024 never frame: their bytes are garbage.
    for (unsigned len : {0u, 1025u, 0xFFFFu}) {
        Bytes header = {0x04, 0x2B, 0xF5, 0x08, 0x00, 0x40, 0x00, (unsigned char)(len >> 8), (unsigned char)len};
        Bytes tail(1100, 0x04);
        header.insert(header.end(), tail.begin(), tail.end());
        EXPECT_TRUE(feed(s, header).empty());
        EXPECT_LE(s.dev->rx_len, DEVSIM_RX_CAPACITY);
    }
    // Pushing far more than a frame without taking requests out stays bounded.
    for (int i = 0; i < 5000; i++) {
        devsim_push(s.dev.get(), (unsigned char)(i % 7 == 0 ? 0x04 : 0x2B), s.t_us);
        ASSERT_LE(s.dev->rx_len, DEVSIM_RX_CAPACITY);
    }
    DevsimReply r;
    while (devsim_next(s.dev.get(), &r)) {
    }
    EXPECT_EQ(1u, feed(s, probe(), 100000).size());

    // The largest block frames and programs.
    Bytes full(1024, 0x5A);
    EXPECT_EQ(1u, feed(s, block(DEVSIM_APP_BASE, full.data(), 1024)).size());
}

TEST(DevsimFlash, RefusesTheBootLoaderAreaAndAnythingOutsideFlash)
{
    Sim s = make_sim();
    Bytes data(1024, 0x11);
    struct Case {
        uint32_t address;
        int32_t n;
    } refused[] = {
        {DEVSIM_FLASH_BASE, 1024},                    // boot loader
        {DEVSIM_APP_BASE - 1024 + 1, 1024},           // straddles into the application area
        {DEVSIM_APP_BASE - 1, 1},
        {DEVSIM_FLASH_BASE + DEVSIM_FLASH_SIZE - 1023, 1024}, // runs past the end
        {DEVSIM_FLASH_BASE + DEVSIM_FLASH_SIZE, 1},
        {0xFFFFFC00u, 1024},                   // would wrap around 2^32
        {0x00000000u, 16},
    };
    for (const Case &c : refused) {
        SCOPED_TRACE(c.address);
        std::vector<DevsimReply> r = feed(s, block(c.address, data.data(), c.n));
        ASSERT_EQ(1u, r.size());
        EXPECT_EQ(1, r[0].refused);
        EXPECT_EQ(0, r[0].chunk_count) << "a refused write is not acknowledged";
    }
    EXPECT_EQ(0u, s.dev->counters.blocks_programmed);
    EXPECT_EQ(0u, devsim_programmed_size(s.dev.get()));
    Bytes boot(16 * 1024);
    ASSERT_EQ(0, devsim_read_flash(s.dev.get(), DEVSIM_FLASH_BASE, (uint32_t)boot.size(), boot.data()));
    EXPECT_EQ(Bytes(boot.size(), 0xFF), boot);

    // The last block of flash is writable.
    uint32_t last_block = DEVSIM_FLASH_BASE + DEVSIM_FLASH_SIZE - 1024;
    std::vector<DevsimReply> r = feed(s, block(last_block, data.data(), 1024));
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ(0, r[0].refused);
    EXPECT_EQ((uint32_t)DEVSIM_APP_SIZE, devsim_programmed_size(s.dev.get()));

    // Region CRCs: anywhere inside flash, nothing outside it.
    EXPECT_EQ(0, feed(s, region(DEVSIM_FLASH_BASE, DEVSIM_FLASH_SIZE))[0].refused);
    EXPECT_EQ(0, feed(s, region(DEVSIM_FLASH_BASE, 0))[0].refused);
    for (Bytes req : {region(DEVSIM_FLASH_BASE, DEVSIM_FLASH_SIZE + 1), region(DEVSIM_APP_BASE, 0xFFFFFFFFu),
                      region(0xFFFFFFFFu, 4), region(DEVSIM_FLASH_BASE - 4, 4)}) {
        r = feed(s, req);
        ASSERT_EQ(1u, r.size());
        EXPECT_EQ(1, r[0].refused);
    }
    EXPECT_EQ(4u + 7u, s.dev->counters.refused);
}

TEST(DevsimFaults, DropAndCorruptPickTheirOrdinals)
{
    Sim s = make_sim(config_from({"--drop", "block:3,7", "--corrupt", "every5"}));
    Bytes data(1024, 0x22);
    std::vector<int> dropped, corrupt;
    for (int i = 1; i <= 10; i++) {
        uint32_t address = DEVSIM_APP_BASE + (uint32_t)(i - 1) * 1024;
        std::vector<DevsimReply> r = feed(s, block(address, data.data(), 1024));
        ASSERT_EQ(1u, r.size());
        if (r[0].chunk_count == 0)
            dropped.push_back(i);
        else if (!valid(wire(r[0])))
            corrupt.push_back(i);
    }
    EXPECT_EQ((std::vector<int>{3, 7}), dropped);
    EXPECT_EQ((std::vector<int>{5, 10}), corrupt);
    // Dropping the ack does not undo the write.
    EXPECT_EQ(10u, s.dev->counters.blocks_programmed);
    EXPECT_EQ(2u, s.dev->counters.faults[DevsimFaultDrop]);
    EXPECT_EQ(2u, s.dev->counters.faults[DevsimFaultCorrupt]);

    // Kinds count separately: the probe is reply 11 overall but probe 1.
    std::vector<DevsimReply> r = feed(s, probe());
    EXPECT_TRUE(valid(wire(r[0])));
}

TEST(DevsimFaults, PercentagesFollowTheSeed)
{
    auto pattern = [](const char *seed) {
        Sim s = make_sim(config_from({"--drop", "30%", "--seed", seed}));
        std::vector<int> picked;
        for (int i = 0; i < 200; i++)
            if (feed(s, probe())[0].chunk_count == 0)
                picked.push_back(i);
        return picked;
    };
    std::vector<int> a = pattern("7"), b = pattern("7"), c = pattern("8");
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_GT(a.size(), 20u);
    EXPECT_LT(a.size(), 100u);
}

TEST(DevsimFaults, TimingFaultsShapeTheChunks)
{
    Sim s = make_sim(config_from({"--split", "probe:1", "--late", "probe:2", "--late-ms", "300",
                                  "--flash-ms", "25", "--split", "block:1", "--split-at", "3",
                                  "--split-gap-ms", "45"}));
    Sim plain = make_sim();
    Bytes normal = wire(feed(plain, probe())[0]);

    DevsimReply split = feed(s, probe())[0];
    ASSERT_EQ(2, split.chunk_count);
    EXPECT_EQ(0u, split.chunks[0].delay_ms);
    EXPECT_EQ(3, split.chunks[0].len);
    EXPECT_EQ(45u, split.chunks[1].delay_ms);
    EXPECT_EQ(normal, wire(split)) << "the split reply is the normal one with a pause in it";

    DevsimReply late = feed(s, probe())[0];
    ASSERT_EQ(1, late.chunk_count);
    EXPECT_EQ(300u, late.chunks[0].delay_ms);
    EXPECT_EQ(normal, wire(late));

    unsigned char one = 1;
    DevsimReply ack = feed(s, block(DEVSIM_APP_BASE, &one, 1))[0];
    ASSERT_EQ(2, ack.chunk_count);
    EXPECT_EQ(25u, ack.chunks[0].delay_ms) << "programming time comes before the ack";
    EXPECT_EQ(0u, feed(s, probe())[0].chunks[0].delay_ms);
}

TEST(DevsimFaults, WrongCrcAndShortRepliesHitTheVerifyOnly)
{
    Sim s = make_sim(config_from({"--wrong-crc", "1", "--short", "3"}));
    unsigned char data[1024];
    memset(data, 0x33, sizeof data);
    feed(s, block(DEVSIM_APP_BASE, data, 1024));
    uint16_t right = crc16(data, 1024);

    // Probes are never touched by a verify selector.
    EXPECT_TRUE(valid(wire(feed(s, probe())[0])));
    EXPECT_EQ(0u, s.dev->counters.faults[DevsimFaultWrongCrc]);

    Bytes first = wire(feed(s, region(DEVSIM_APP_BASE, 1024))[0]);
    ASSERT_EQ(15u, first.size());
    EXPECT_TRUE(valid(first)) << "the frame itself is sound";
    EXPECT_NE(right, region_crc_of(first));
    EXPECT_EQ(right ^ 0x0001, region_crc_of(first));

    Bytes second = wire(feed(s, region(DEVSIM_APP_BASE, 1024))[0]);
    EXPECT_EQ(right, region_crc_of(second)) << "only the first verify is wrong";

    Bytes third = wire(feed(s, region(DEVSIM_APP_BASE, 1024))[0]);
    EXPECT_EQ((Bytes{0x04, 0x2B, 0xF6}), Bytes(third.begin(), third.begin() + 3));
    EXPECT_EQ(5u, third.size());
    EXPECT_TRUE(valid(third));

    // Once the faults are switched off, nothing is applied.
    Sim off = make_sim(config_from({"--wrong-crc", "all"}));
    off.dev->faults_on = 0;
    feed(off, block(DEVSIM_APP_BASE, data, 1024));
    EXPECT_EQ(right, region_crc_of(wire(feed(off, region(DEVSIM_APP_BASE, 1024))[0])));
}

TEST(DevsimFaults, NoiseSilenceAndResets)
{
    Sim s = make_sim(config_from({"--noise", "reset:1", "--noise-bytes", "6", "--noise-gap-ms", "30",
                                  "--seed", "5", "--silent-ms", "50"}));
    // Powered off for the first 50 ms: a whole probe is never heard.
    s.t_us = 0;
    EXPECT_TRUE(feed(s, probe(), 0, 1000).empty());
    EXPECT_EQ(13u, s.dev->counters.ignored_bytes);
    s.t_us = 60000;
    ASSERT_EQ(1u, feed(s, probe()).size());

    DevsimReply noisy = feed(s, reset_request())[0];
    ASSERT_EQ(2, noisy.chunk_count);
    EXPECT_EQ(6, noisy.chunks[0].len);
    EXPECT_EQ(30u, noisy.chunks[1].delay_ms);
    EXPECT_EQ((Bytes{0x04, 0x2B, 0xF7, 0x6F, 0x77}), frame_of(noisy));
    EXPECT_EQ(0, noisy.reset) << "the device stays up after a reset ack it spoilt";

    DevsimReply clean = feed(s, reset_request())[0];
    EXPECT_EQ(1, clean.reset);
    // Resetting: a reset request already on its way gets no second ack, so
    // a tool never reads two acks run together; once the reset is done the
    // boot loader answers again.
    EXPECT_TRUE(feed(s, reset_request()).empty());
    devsim_reset_done(s.dev.get());
    EXPECT_EQ(1u, feed(s, probe()).size());

    // Same seed, same noise; spontaneous noise too.
    Sim again = make_sim(config_from({"--noise", "reset:1", "--noise-bytes", "6", "--seed", "5"}));
    feed(again, probe());
    DevsimReply same = feed(again, reset_request())[0];
    EXPECT_EQ(Bytes(noisy.bytes, noisy.bytes + 6), Bytes(same.bytes, same.bytes + 6));
    DevsimReply burst;
    EXPECT_EQ(0, devsim_noise(again.dev.get(), 20, &burst));
    EXPECT_EQ(20, burst.len);
    EXPECT_EQ(-1, devsim_noise(again.dev.get(), 0, &burst));
    EXPECT_EQ(-1, devsim_noise(again.dev.get(), DEVSIM_MAX_NOISE + 1, &burst));
}

// The devices the command line's waits are tried against: an erase before
// one block, a device that falls mute, a reset acknowledged before it was
// asked for.
TEST(DevsimFaults, EraseMuteAndAnEarlyResetAck)
{
    unsigned char data[1024];
    memset(data, 0x11, sizeof data);
    Sim s = make_sim(config_from({"--flash-ms", "25", "--erase-ms", "1500", "--erase-block", "2",
                                  "--mute-after", "3"}));
    std::vector<uint32_t> delays;
    for (int i = 0; i < 3; i++)
        delays.push_back(feed(s, block(DEVSIM_APP_BASE, data, 1024))[0].chunks[0].delay_ms);
    EXPECT_EQ((std::vector<uint32_t>{25, 1525, 25}), delays) << "the erase once, resends counted";
    EXPECT_TRUE(feed(s, probe()).empty()) << "mute after its third block request";
    EXPECT_EQ(13u, s.dev->counters.ignored_bytes);

    Sim e = make_sim(config_from({"--early-reset-ack", "1", "--early-ack-ms", "4"}));
    EXPECT_EQ(1, feed(e, probe())[0].chunk_count) << "a probe is no verify";
    DevsimReply verify = feed(e, region(DEVSIM_APP_BASE, 1024))[0];
    ASSERT_EQ(2, verify.chunk_count);
    EXPECT_EQ(15, verify.chunks[0].len);
    EXPECT_EQ(4u, verify.chunks[1].delay_ms);
    EXPECT_EQ((Bytes{0x04, 0x2B, 0xF7, 0x6F, 0x77}),
              Bytes(verify.bytes + verify.chunks[1].off, verify.bytes + verify.len));
    DevsimReply reset = feed(e, reset_request())[0];
    EXPECT_EQ(0, reset.chunk_count) << "the real reset goes unanswered";
    EXPECT_EQ(0, reset.reset);
    EXPECT_EQ(0u, e.dev->counters.resets);
    EXPECT_EQ(1u, feed(e, probe()).size()) << "still in its boot loader";
}

TEST(DevsimOptions, SelectorsAndNumbers)
{
    DevsimFaultRule rule;
    char err[DEVSIM_ERROR_CAPACITY];
    ASSERT_EQ(0,
              devsim_parse_selector("block:3,7-9,12-,every4,all,25%", DevsimKindAny, &rule, err, sizeof err));
    EXPECT_EQ(DevsimKindBlock, rule.kind);
    ASSERT_EQ(6, rule.count);
    EXPECT_EQ(DevsimSelNth, rule.items[0].type);
    EXPECT_EQ(3u, rule.items[0].a);
    EXPECT_EQ(DevsimSelRange, rule.items[1].type);
    EXPECT_EQ(9u, rule.items[1].b);
    EXPECT_EQ(DevsimSelFrom, rule.items[2].type);
    EXPECT_EQ(DevsimSelEvery, rule.items[3].type);
    EXPECT_EQ(DevsimSelAll, rule.items[4].type);
    EXPECT_EQ(DevsimSelPercent, rule.items[5].type);
    EXPECT_EQ(25u, rule.items[5].a);

    ASSERT_EQ(0, devsim_parse_selector("1", DevsimKindVerify, &rule, err, sizeof err));
    EXPECT_EQ(DevsimKindVerify, rule.kind);

    for (const char *bad : {"", "0", "3-1", "every0", "every", "101%", "%", "foo:1", "block:", "1,,2", "-3",
                            "1-2-3", "x", "99999999999", "block:1:2",
                            "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17"}) {
        EXPECT_EQ(-1, devsim_parse_selector(bad, DevsimKindAny, &rule, err, sizeof err)) << bad;
    }

    DevsimOptions o;
    auto parse = [&](std::vector<const char *> args) {
        args.insert(args.begin(), "fwu-devsim");
        return devsim_parse_options((int)args.size(), const_cast<char **>(args.data()), &o, err,
                                    sizeof err);
    };
    EXPECT_EQ(DevsimParseRun, parse({}));
    EXPECT_EQ(1, o.pace);
    EXPECT_EQ(5000u, o.config.gap_us);
    EXPECT_EQ(DevsimParseRun,
              parse({"--attach", "/dev/ttyUSB0", "--flash-ms", "0x10", "--dump-size", "4096"}));
    EXPECT_EQ(25000u, o.config.gap_us) << "a real adapter gets a wider gap";
    EXPECT_EQ(16u, o.config.flash_ms);
    EXPECT_EQ(4096, o.dump_size);
    EXPECT_EQ(DevsimParseHelp, parse({"--no-pace", "--help"}));
    EXPECT_EQ(DevsimParseVersion, parse({"--version", "--bogus"}));
    for (std::vector<const char *> bad : std::vector<std::vector<const char *>>{
             {"--flash-ms", "-1"}, {"--flash-ms", "12abc"}, {"--seconds", "99999999999999999999"},
             {"--flash-ms"}, {"--bogus"}, {"--drop", "sometimes"}, {"--link", "a", "--attach", "b"},
             {"--noise-bytes", "0"}, {"--noise-bytes", "257"}, {"--dump-size", "0xFC001"}, {"--gap-ms", "0"},
             {"--link", ""}, {"--devices", "0"}, {"--devices", "1001"}, {"--devices", "2", "--dump", "f.bin"},
             {"--devices", "2", "--stays", "3"}, {"--stays", "2-4", "--devices", "3"}, {"--stays", "50%"},
             {"--stays", "block:1"}, {"--swap-ms", "x"}}) {
        EXPECT_EQ(DevsimParseBad, parse(bad)) << bad[0];
        EXPECT_NE('\0', err[0]);
    }
    EXPECT_EQ(DevsimParseRun,
              parse({"--devices", "4", "--dump", "f%d.bin", "--stays", "2-,all", "--stay-ms", "10"}));
    EXPECT_EQ(4u, o.config.devices);
    EXPECT_EQ(10000u, o.config.stay_us);
    EXPECT_EQ(1500000u, o.config.swap_us);
}

// Every option of the table: its value (the highest it takes) lands in its
// own field and no other, one more is refused. A switch has no value; a text
// option holds its argument, and an empty one is refused.
TEST(DevsimOptions, EachOptionFillsItsOwnFieldUpToItsLimit)
{
#define FIELD_OF(f) [](const DevsimOptions &o) { return (uint64_t)(uintptr_t)(o.f); }
    struct Row {
        const char *option;
        const char *value;     // NULL: a switch
        const char *too_high;  // refused
        uint64_t stored;       // for a text option: the argument itself
        uint64_t (*field)(const DevsimOptions &);
    } rows[] = {
        {"-v", NULL, NULL, 1, FIELD_OF(verbose)},
        {"--no-pace", NULL, NULL, 0, FIELD_OF(pace)},
        {"--keep-running", NULL, NULL, 1, FIELD_OF(config.keep_running)},
        {"--link", "L", "", 0, FIELD_OF(link_path)},
        {"--attach", "A", "", 0, FIELD_OF(attach_path)},
        {"--flash-from", "F", "", 0, FIELD_OF(flash_from)},
        {"--dump", "D", "", 0, FIELD_OF(dump_path)},
        {"--summary-json", "J", "", 0, FIELD_OF(summary_json)},
        {"--gap-ms", "600000", "600001", 600000000, FIELD_OF(config.gap_us)},
        {"--flash-ms", "600000", "600001", 600000, FIELD_OF(config.flash_ms)},
        {"--erase-ms", "600000", "600001", 600000, FIELD_OF(config.erase_ms)},
        {"--erase-block", "1008", "1009", 1008, FIELD_OF(config.erase_block)},
        {"--mute-after", "4294967295", "4294967296", 4294967295u, FIELD_OF(config.mute_after)},
        {"--early-ack-ms", "600000", "600001", 600000, FIELD_OF(config.early_ack_ms)},
        {"--silent-ms", "3600000", "3600001", 3600000000, FIELD_OF(config.silent_us)},
        {"--devices", "1000", "1001", 1000, FIELD_OF(config.devices)},
        {"--swap-ms", "3600000", "3600001", 3600000000, FIELD_OF(config.swap_us)},
        {"--stay-ms", "3600000", "3600001", 3600000000, FIELD_OF(config.stay_us)},
        {"--seconds", "1000000", "1000001", 1000000, FIELD_OF(seconds)},
        {"--dump-size", "0xFC000", "0xFC001", 0xFC000, FIELD_OF(dump_size)},
        {"--split-gap-ms", "600000", "600001", 600000, FIELD_OF(config.split_gap_ms)},
        {"--split-at", "1024", "1025", 1024, FIELD_OF(config.split_at)},
        {"--late-ms", "600000", "600001", 600000, FIELD_OF(config.late_ms)},
        {"--noise-bytes", "256", "257", 256, FIELD_OF(config.noise_bytes)},
        {"--noise-gap-ms", "600000", "600001", 600000, FIELD_OF(config.noise_gap_ms)},
        {"--noise-every-ms", "600000", "600001", 600000, FIELD_OF(noise_every_ms)},
        {"--seed", "18446744073709551615", "18446744073709551616", UINT64_MAX, FIELD_OF(config.seed)},
    };
#undef FIELD_OF
    char err[DEVSIM_ERROR_CAPACITY];
    DevsimOptions o;
    auto parse = [&](const char *option, const char *value) {
        const char *argv[] = {"fwu-devsim", option, value};
        return devsim_parse_options(value ? 3 : 2, const_cast<char **>(argv), &o, err, sizeof err);
    };
    ASSERT_EQ(DevsimParseRun, parse("--seed", "1"));
    std::vector<uint64_t> defaults;
    for (const Row &row : rows)
        defaults.push_back(row.field(o));
    for (const Row &row : rows) {
        SCOPED_TRACE(row.option);
        ASSERT_EQ(DevsimParseRun, parse(row.option, row.value)) << err;
        EXPECT_EQ(row.stored ? row.stored : (uint64_t)(uintptr_t)row.value, row.field(o));
        for (const Row &other : rows) {
            // --attach also widens the gap (checked above).
            bool widened = strcmp(row.option, "--attach") == 0 && strcmp(other.option, "--gap-ms") == 0;
            if (&other != &row && !widened) {
                EXPECT_EQ(defaults[&other - rows], other.field(o)) << other.option;
            }
        }
        if (row.too_high) {
            EXPECT_EQ(DevsimParseBad, parse(row.option, row.too_high));
        }
    }
}

// --- several devices on one line --------------------------------------------------

// The changes the device sequence reports, in order, as "C<device>@<ms>".
void note_change(const Devsim *dev, int change, uint64_t t_us, void *context)
{
    static const char letters[] = "RSUP";  // running, staying, unplugged, plugged
    std::string *log = static_cast<std::string *>(context);
    *log += letters[change] + std::to_string(dev->device) + "@" + std::to_string(t_us / 1000) + " ";
}

uint16_t probe_crc(Sim &s)
{
    std::vector<DevsimReply> r = feed(s, probe());
    return r.size() == 1 ? region_crc_of(wire(r[0])) : 0;
}

// Programs one block of 0x5A at DEVSIM_APP_BASE, resets, lets the ack leave.
void flash_and_reset(Sim &s)
{
    unsigned char data[1024];
    memset(data, 0x5A, sizeof data);
    feed(s, block(DEVSIM_APP_BASE, data, 1024));
    ASSERT_EQ(1, feed(s, reset_request())[0].reset);
    devsim_reset_left(s.dev.get(), s.t_us);
}

TEST(DevsimDevices, ResetSilenceSwapAndAFreshDevice)
{
    Sim s = make_sim(config_from({"--devices", "3", "--swap-ms", "1500", "--silent-ms", "50"}));
    std::string changes;
    s.dev->on_change = note_change;
    s.dev->change_context = &changes;
    const uint16_t erased = 0xB001;  // four erased bytes; device 1 writes 0x5A there
    s.t_us = 60000;
    EXPECT_EQ(erased, probe_crc(s));
    flash_and_reset(s);
    uint64_t reset_at = s.t_us;

    // Running its firmware: deaf until the swap, flash and all.
    EXPECT_TRUE(feed(s, probe(), 1000000).empty());
    uint64_t at = 0;
    ASSERT_EQ(1, devsim_next_change(s.dev.get(), &at));
    EXPECT_EQ(reset_at + 1500000, at);
    // Device 2 is plugged in then, and unpowered for --silent-ms again.
    s.t_us = at + 20000;
    EXPECT_TRUE(feed(s, probe(), 0).empty());
    EXPECT_EQ(2u, s.dev->device);
    s.t_us = at + 60000;
    EXPECT_EQ(erased, probe_crc(s)) << "a fresh device: erased flash";
    EXPECT_EQ(0, devsim_ended(s.dev.get()));

    // Device 2's reset ends nothing, device 3 would; the run stops on device 2.
    flash_and_reset(s);
    ASSERT_EQ(1, devsim_next_change(s.dev.get(), &at));
    devsim_advance(s.dev.get(), at);
    EXPECT_EQ(3u, s.dev->device);
    s.t_us = at + 60000;
    flash_and_reset(s);
    EXPECT_EQ(1, devsim_ended(s.dev.get()));
    EXPECT_EQ(0, devsim_next_change(s.dev.get(), &at));
    EXPECT_EQ("R1@" + std::to_string(reset_at / 1000) + " U1@" + std::to_string((reset_at + 1500000) / 1000) +
                  " P2@" + std::to_string((reset_at + 1500000) / 1000),
              changes.substr(0, changes.find(" R2")));

    // Each device's own counts add up to the totals; no number 4.
    DevsimDeviceResult one, three, none;
    ASSERT_EQ(0, devsim_device_result(s.dev.get(), 1, &one));
    EXPECT_EQ(DevsimPhaseRunning, one.phase);
    EXPECT_EQ(3u, one.counters.requests[DevsimKindAny]) << "probe, block, reset; the deaf probe is not one";
    EXPECT_EQ(1u, one.counters.resets);
    EXPECT_EQ(1u, one.counters.blocks_programmed);
    EXPECT_EQ(1024u, one.programmed_size);
    EXPECT_EQ(13u, one.counters.ignored_bytes);
    ASSERT_EQ(0, devsim_device_result(s.dev.get(), 3, &three));
    EXPECT_EQ(2u, three.counters.requests[DevsimKindAny]);
    EXPECT_EQ(3u + 3u + 2u, s.dev->counters.requests[DevsimKindAny]);
    EXPECT_EQ(-1, devsim_device_result(s.dev.get(), 4, &none));
}

TEST(DevsimDevices, AUnitThatStaysInItsBootLoader)
{
    Sim s = make_sim(config_from({"--devices", "3", "--stays", "1,3", "--stay-ms", "3000", "--swap-ms", "1000"}));
    std::string changes;
    s.dev->on_change = note_change;
    s.dev->change_context = &changes;
    const uint16_t written = crc16((const unsigned char *)"ZZZZ", 4);
    flash_and_reset(s);
    uint64_t reset_at = s.t_us;
    EXPECT_EQ(written, probe_crc(s)) << "it answers on, flash kept";
    // A second reset is acknowledged and does not make the stay longer.
    ASSERT_EQ(1, feed(s, reset_request())[0].reset);
    devsim_reset_left(s.dev.get(), s.t_us);
    uint64_t at = 0;
    ASSERT_EQ(1, devsim_next_change(s.dev.get(), &at));
    EXPECT_EQ(reset_at + 3000000, at);
    s.t_us = at;
    EXPECT_TRUE(feed(s, probe(), 0).empty()) << "unplugged at the end of its stay";
    ASSERT_EQ(1, devsim_next_change(s.dev.get(), &at));
    EXPECT_EQ(reset_at + 4000000, at) << "then the swap";
    s.t_us = at;
    EXPECT_EQ(0xB001, probe_crc(s));
    EXPECT_EQ(2u, s.dev->device);

    // Device 2 runs its firmware; device 3, the last, stays: the run ends
    // when its stay does.
    flash_and_reset(s);
    devsim_next_change(s.dev.get(), &at);
    s.t_us = at;
    flash_and_reset(s);
    EXPECT_EQ(0, devsim_ended(s.dev.get()));
    devsim_next_change(s.dev.get(), &at);
    devsim_advance(s.dev.get(), at);
    EXPECT_EQ(1, devsim_ended(s.dev.get()));
    EXPECT_NE(std::string::npos, changes.find(" S3@"));
    DevsimDeviceResult r;
    devsim_device_result(s.dev.get(), 1, &r);
    EXPECT_EQ(DevsimPhaseStaying, r.phase);
    EXPECT_EQ(2u, r.counters.resets);
    devsim_device_result(s.dev.get(), 3, &r);
    EXPECT_EQ(DevsimPhaseStaying, r.phase);

    // --keep-running: the last device never leaves.
    Sim kept = make_sim(config_from({"--devices", "2", "--swap-ms", "0", "--keep-running"}));
    flash_and_reset(kept);
    devsim_advance(kept.dev.get(), kept.t_us);
    flash_and_reset(kept);
    EXPECT_EQ(0, devsim_ended(kept.dev.get()));
    EXPECT_EQ(written, probe_crc(kept));
}

TEST(DevsimDevices, FlashFromAFileAndPerDeviceDumps)
{
    char dir[] = "/tmp/devsim_core_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    std::string image = std::string(dir) + "/image.bin", big = std::string(dir) + "/big.bin";
    Bytes content(3000);
    for (size_t i = 0; i < content.size(); i++)
        content[i] = (unsigned char)(i * 7);
    FILE *f = fopen(image.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
    f = fopen(big.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    Bytes too_big(DEVSIM_APP_SIZE + 1, 0);
    fwrite(too_big.data(), 1, too_big.size(), f);
    fclose(f);

    static unsigned char preload[DEVSIM_APP_SIZE];
    uint32_t len = 0;
    char err[DEVSIM_ERROR_CAPACITY] = "";
    EXPECT_EQ(-1, devsim_load_flash_file(big.c_str(), preload, sizeof preload, &len, err, sizeof err));
    EXPECT_NE(nullptr, strstr(err, "longer than the 1032192 bytes")) << err;
    EXPECT_EQ(-1, devsim_load_flash_file(dir, preload, sizeof preload, &len, err, sizeof err))
        << "a directory";
    EXPECT_EQ(-1, devsim_load_flash_file("/nonexistent/x", preload, sizeof preload, &len, err, sizeof err));
    ASSERT_EQ(0, devsim_load_flash_file(image.c_str(), preload, sizeof preload, &len, err, sizeof err)) << err;
    EXPECT_EQ(3000u, len);

    DevsimConfig config = config_from({"--devices", "2", "--swap-ms", "0"});
    config.preload = preload;
    config.preload_len = len;
    Sim s = make_sim(config);
    EXPECT_EQ(crc16(content.data(), 4), probe_crc(s));
    flash_and_reset(s);
    devsim_advance(s.dev.get(), s.t_us);
    EXPECT_EQ(crc16(content.data(), 4), probe_crc(s)) << "every device comes up with the file";
    std::vector<DevsimReply> whole = feed(s, region(DEVSIM_APP_BASE, 3001));
    ASSERT_EQ(1u, whole.size());
    Bytes expected = content;
    expected.push_back(0xFF);
    EXPECT_EQ(crc16(expected.data(), 3001), region_crc_of(wire(whole[0]))) << "erased past it";

    // The dump holds what was loaded; one never plugged in, the same.
    std::string dump = std::string(dir) + "/flash-2.bin";
    char path[256];
    std::string pattern = std::string(dir) + "/flash-%d.bin";
    ASSERT_EQ(0, devsim_dump_path_for(pattern.c_str(), 2, path, sizeof path));
    EXPECT_EQ(dump, std::string(path));
    char small[6];
    EXPECT_EQ(-1, devsim_dump_path_for("a-%d-%d", 1000, small, sizeof small));
    EXPECT_EQ('\0', small[0]);
    ASSERT_EQ(0, devsim_write_dump(s.dev.get(), path, -1));
    ASSERT_EQ(0, devsim_write_fresh_dump(&config, (std::string(dir) + "/fresh.bin").c_str(), 3002));
    Bytes fresh = expected;
    fresh.push_back(0xFF);
    f = fopen(path, "rb");
    ASSERT_NE(nullptr, f);
    Bytes got(4000);
    got.resize(fread(got.data(), 1, got.size(), f));
    fclose(f);
    EXPECT_EQ(content, got);
    f = fopen((std::string(dir) + "/fresh.bin").c_str(), "rb");
    ASSERT_NE(nullptr, f);
    got.assign(4000, 0);
    got.resize(fread(got.data(), 1, got.size(), f));
    fclose(f);
    EXPECT_EQ(fresh, got);
    for (const char *name : {"/image.bin", "/big.bin", "/flash-2.bin", "/fresh.bin"})
        unlink((std::string(dir) + name).c_str());
    rmdir(dir);
}

} // namespace
