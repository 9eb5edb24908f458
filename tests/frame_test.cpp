#include <gtest/gtest.h>

#include <string.h>

#include "fake_link.h"
#include "protocol/frame.h"

namespace {

Bytes frame_bytes(const FrameBuffer &f)
{
    return Bytes(f.bytes, f.bytes + f.frame_len);
}

FrameBuffer holding(const Bytes &bytes)
{
    FrameBuffer f;
    memset(f.bytes, 0xAA, sizeof f.bytes);
    if (!bytes.empty())  // an empty vector may hand out a null data()
        memcpy(f.bytes, bytes.data(), bytes.size());
    f.frame_len = (int32_t)bytes.size();
    return f;
}

int accepts(const Bytes &bytes)
{
    FrameBuffer f = holding(bytes);
    return accept_reply(&f);
}

TEST(Crc16, StandardCheckValueAndEmptyInput)
{
    const unsigned char check[] = "123456789";
    EXPECT_EQ(0x4B37, crc16(check, 9));
    EXPECT_EQ(0xFFFF, crc16(check, 0));
    EXPECT_EQ(0xFFFF, crc16(check, -5));
    EXPECT_EQ(0xFFFF, crc16(NULL, 0));
}

TEST(Requests, ExactBytesOnTheWire)
{
    FrameBuffer f;

    build_region_crc_request(&f, UNIT_ADDRESS, 0x08004000, 4);
    EXPECT_EQ((Bytes{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x04, 0x42, 0x5A}),
              frame_bytes(f));

    build_region_crc_request(&f, UNIT_ADDRESS, 0x08004000, 0x1B400);
    EXPECT_EQ((Bytes{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x01, 0xB4, 0x00, 0x65, 0x59}),
              frame_bytes(f));

    build_reset_request(&f, UNIT_ADDRESS);
    EXPECT_EQ((Bytes{0x04, 0x2B, 0xF7, 0x6F, 0x77}), frame_bytes(f));

    // Only the low byte of the unit address is sent.
    build_reset_request(&f, 0x104);
    EXPECT_EQ((Bytes{0x04, 0x2B, 0xF7, 0x6F, 0x77}), frame_bytes(f));
}

TEST(Requests, BlockOfZerosAndItsBounds)
{
    FrameBuffer f;
    unsigned char zeros[1024] = {0};
    ASSERT_EQ(0, build_block_request(&f, UNIT_ADDRESS, 0x08004000, zeros, 1024));
    ASSERT_EQ(1035, f.frame_len);
    EXPECT_EQ((Bytes{0x04, 0x2B, 0xF5, 0x08, 0x00, 0x40, 0x00, 0x04, 0x00}),
              Bytes(f.bytes, f.bytes + 9));
    EXPECT_EQ(0x74, f.bytes[1033]);
    EXPECT_EQ(0x55, f.bytes[1034]);
    EXPECT_TRUE(accept_reply(&f)) << "a sealed request passes its own CRC test";

    // A short block carries its own length.
    unsigned char data[3] = {1, 2, 3};
    ASSERT_EQ(0, build_block_request(&f, UNIT_ADDRESS, 0x08004400, data, 3));
    EXPECT_EQ(14, f.frame_len);
    EXPECT_EQ((Bytes{0x04, 0x2B, 0xF5, 0x08, 0x00, 0x44, 0x00, 0x00, 0x03, 1, 2, 3}),
              Bytes(f.bytes, f.bytes + 12));

    // A block that would not fit the buffer is refused, buffer untouched.
    static unsigned char big[FRAME_CAPACITY];
    f.frame_len = 14;
    EXPECT_EQ(-1, build_block_request(&f, UNIT_ADDRESS, 0, big, FRAME_CAPACITY - 10));
    EXPECT_EQ(-1, build_block_request(&f, UNIT_ADDRESS, 0, big, -1));
    EXPECT_EQ(14, f.frame_len);
    EXPECT_EQ(0, build_block_request(&f, UNIT_ADDRESS, 0, big, FRAME_CAPACITY - 11));
    EXPECT_EQ(FRAME_CAPACITY, f.frame_len);
}

TEST(Acceptance, ShortReadsAreNeverJudged)
{
    // Two bytes whose "CRC" is that of nothing (0xFFFF) would pass a naive
    // check; fewer than four bytes are not a reply at all.
    EXPECT_FALSE(accepts({0xFF, 0xFF}));
    EXPECT_FALSE(accepts(sealed({0x04})));
    EXPECT_FALSE(accepts({}));
    FrameBuffer negative = holding({});
    negative.frame_len = -3;
    EXPECT_FALSE(accept_reply(&negative));
}

TEST(Acceptance, AnyFrameWithAGoodCrcIsAccepted)
{
    EXPECT_TRUE(accepts(sealed({0x04, 0x2B})));
    // Another unit address and operation: still the answer.
    EXPECT_TRUE(accepts(sealed({0x09, 0x03, 0x11, 0x22})));

    Bytes bad = sealed({0x04, 0x2B, 0xF5});
    bad[1] ^= 0x01;
    EXPECT_FALSE(accepts(bad));
    Bytes swapped = sealed({0x04, 0x2B, 0xF5});
    std::swap(swapped[3], swapped[4]);
    EXPECT_FALSE(accepts(swapped));
}

TEST(Acceptance, TwoValidRepliesReadTogetherAreRejected)
{
    const Bytes replies[] = {sealed({0x04, 0x2B}), sealed({0x04, 0x2B, 0xF6}),
                             region_crc_reply(0x1234), sealed({0x00, 0x00, 0x00})};
    for (const Bytes &a : replies) {
        for (const Bytes &b : replies) {
            Bytes both = a;
            both.insert(both.end(), b.begin(), b.end());
            EXPECT_FALSE(accepts(both));
        }
    }
}

TEST(Acceptance, LengthBeyondTheBufferIsNotRead)
{
    FrameBuffer f = holding(sealed({1, 2, 3}));
    f.frame_len = FRAME_CAPACITY + 1;
    EXPECT_FALSE(accept_reply(&f));
    f.frame_len = FRAME_CAPACITY;
    seal_frame(&f);
    EXPECT_TRUE(accept_reply(&f));
}

// Any length field, however wrong, gives a defined answer: the CRC of
// nothing, nothing sealed, no reply. Lengths near INT32_MIN used to overflow
// frame_len - 2 and run the CRC over gigabytes.
TEST(Acceptance, LengthsAtTheEndsOfTheRangeAreHarmless)
{
    FrameBuffer f = holding(sealed({1, 2, 3}));
    const int32_t lengths[] = {INT32_MIN, INT32_MIN + 1, -1, 0, 1, 2};
    for (int32_t len : lengths) {
        FrameBuffer g = f;
        g.frame_len = len;
        EXPECT_EQ(0xFFFF, frame_crc(&g)) << len;
        EXPECT_FALSE(accept_reply(&g)) << len;
        if (len < 2) {
            seal_frame(&g);
            EXPECT_EQ(0, memcmp(f.bytes, g.bytes, sizeof f.bytes)) << len;
        }
    }
    f.frame_len = INT32_MAX;
    EXPECT_EQ(crc16(f.bytes, FRAME_CAPACITY - 2), frame_crc(&f));
    EXPECT_FALSE(accept_reply(&f));
}

TEST(RegionCrcReply, BigEndianFieldAtBytes11And12)
{
    FrameBuffer f = holding(region_crc_reply(0xBEEF));
    EXPECT_EQ(0xBEEF, reply_region_crc(&f));
    f = holding(region_crc_reply(0x00FF));
    EXPECT_EQ(0x00FF, reply_region_crc(&f));
}

}  // namespace
