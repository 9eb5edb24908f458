#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "image/image.h"
#include "testkit.h"

using namespace testkit;

namespace {

TEST(PaddedImageSize, RoundsUpToWholeBlocksAndAtLeastOne)
{
    EXPECT_EQ(padded_image_size(0), 1024);
    EXPECT_EQ(padded_image_size(1), 1024);
    EXPECT_EQ(padded_image_size(1024), 1024);
    EXPECT_EQ(padded_image_size(1025), 2048);
    EXPECT_EQ(padded_image_size(102700), 103424);
}

TEST(PaddedImageSize, RefusesWhatASigned32BitSizeCannotHold)
{
    EXPECT_EQ(padded_image_size(-1), -1);
    EXPECT_EQ(padded_image_size(INT32_MAX - 1023), INT32_MAX - 1023);  // 0x7FFFFC00
    EXPECT_EQ(padded_image_size(INT32_MAX - 1022), -1);
    EXPECT_EQ(padded_image_size(INT32_MAX), -1);
    EXPECT_EQ(padded_image_size(INT64_MAX), -1);
}

// The tool keeps its padded copy for the life of the process; a test gives
// it back when done with it.
struct Padded {
    int result;
    DeviceLink link;
    std::string trace;
    Padded() : result(-1) {}
    Padded(const Padded &) = delete;
    Padded &operator=(const Padded &) = delete;
    ~Padded()
    {
        if (result == 0)
            free((void *)link.image);
    }
};

void pad(Padded *p, const std::vector<unsigned char> &bytes, int64_t len)
{
    memset(&p->link, 0x5A, sizeof p->link);
    p->link.settings.report = &PROCESS_REPORT;
    testing::internal::CaptureStdout();
    p->result = pad_image(&p->link, bytes.empty() ? NULL : bytes.data(), len);
    fflush(stdout);
    p->trace = testing::internal::GetCapturedStdout();
}

TEST(PadImage, CopiesTheBytesAndZeroFillsTheLastBlock)
{
    std::vector<unsigned char> bytes(1500);
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = (unsigned char)(0x80 | i);
    Padded p;
    pad(&p, bytes, (int64_t)bytes.size());
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(p.link.image_size, 2048);
    EXPECT_EQ(p.link.base, 0x08004000u);
    ASSERT_TRUE(p.link.image != NULL);
    EXPECT_EQ(memcmp(p.link.image, bytes.data(), bytes.size()), 0);
    for (int i = 1500; i < 2048; i++)
        ASSERT_EQ(p.link.image[i], 0) << "byte " << i;
    EXPECT_EQ(p.trace, "\nFlash Image Base 0x8004000\nFlash Image Size 0x800 bytes\n");
}

TEST(PadImage, AnEmptyImageIsOneBlockOfZeros)
{
    Padded p;
    pad(&p, {}, 0);
    ASSERT_EQ(p.result, 0);
    ASSERT_EQ(p.link.image_size, 1024);
    for (int i = 0; i < 1024; i++)
        ASSERT_EQ(p.link.image[i], 0);
    EXPECT_EQ(p.trace, "\nFlash Image Base 0x8004000\nFlash Image Size 0x400 bytes\n");
}

TEST(PadImage, RefusesImpossibleInputAndLeavesTheLinkAlone)
{
    std::vector<unsigned char> one(1, 7);
    for (int64_t len : {(int64_t)-1, (int64_t)INT32_MAX, INT64_MAX}) {
        Padded p;
        pad(&p, one, len);
        EXPECT_EQ(p.result, -1) << len;
        EXPECT_EQ(p.link.image_size, 0x5A5A5A5A) << len;
        EXPECT_EQ(p.trace, "") << len;
    }
    Padded missing;
    pad(&missing, {}, 10);  // bytes promised but none given
    EXPECT_EQ(missing.result, -1);
}

// The native build compiles FWU_FIRMWARE_IMAGE in; what load_image hands the
// engine must be that file, padded.
TEST(LoadImage, GivesTheConfiguredFilePadded)
{
    const Bytes file = read_file(FWU_TEST_FIRMWARE_IMAGE);
    ASSERT_FALSE(file.empty()) << FWU_TEST_FIRMWARE_IMAGE;

    DeviceLink link;
    memset(&link, 0, sizeof link);
    char why[160] = "";
    testing::internal::CaptureStdout();
    int result = load_image(&link, why, sizeof why);
    std::string trace = testing::internal::GetCapturedStdout();
    ASSERT_EQ(result, 0) << why;
    ASSERT_EQ(link.image_size, padded_image_size((int64_t)file.size()));
    EXPECT_EQ(memcmp(link.image, file.data(), file.size()), 0);
    for (int32_t i = (int32_t)file.size(); i < link.image_size; i++)
        ASSERT_EQ(link.image[i], 0) << "byte " << i;
    char expected[128];
    snprintf(expected, sizeof expected,
             "\nFlash Image Base 0x8004000\nFlash Image Size %#x bytes\n",
             (unsigned)link.image_size);
    EXPECT_EQ(trace, expected);
    free((void *)link.image);
}

}  // namespace
