// The image the options choose: a file read as --format says or the
// embedded image, the same checks and refusals for every front end, its
// layout and CRC, and the link given it.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "image/image_choice.h"
#include "protocol/frame.h"
#include "testkit.h"

using namespace testkit;

namespace {

// A HEX file of 100 bytes at 0x08004000 that start with a vector table.
const char HEX[] =
    ":020000040800F2\n"
    ":10400000000001200940000800000000000000003E\n"
    ":00000001FF\n";

TEST(ImageChoice, ReadsChecksAndRefusesAsTheOptionsSay)
{
    std::string dir = make_scratch_dir();
    std::string hex = dir + "/app.hex";
    ASSERT_EQ(write_text_file(hex, HEX), 0);
    struct Row {
        const char *what;
        const char *path;  // NULL: the embedded image
        ImageFormatChoice format;
        int vector_check, allow_sample;
        uint32_t flash_end;
        const char *refusal;  // NULL: taken
        int64_t size;         // when taken
    } rows[] = {
        {"HEX told by its content", hex.c_str(), IMAGE_FORMAT_AUTO, 1, 0, 0x08100000, NULL, 16},
        {"HEX forced", hex.c_str(), IMAGE_FORMAT_HEX, 1, 0, 0x08100000, NULL, 16},
        {"HEX forced raw: its text is no vector table", hex.c_str(), IMAGE_FORMAT_BIN, 1, 0,
         0x08100000, "/app.hex: read as raw binary (the format was forced): ", 0},
        {"HEX forced raw without the check: its text", hex.c_str(), IMAGE_FORMAT_BIN, 0, 0,
         0x08100000, NULL, (int64_t)strlen(HEX)},
        {"HEX forced S-records", hex.c_str(), IMAGE_FORMAT_SREC, 1, 0, 0x08100000,
         "read as Motorola S-records (the format was forced): line 1", 0},
        {"past the flash end", hex.c_str(), IMAGE_FORMAT_AUTO, 1, 0, 0x08004000 + 512,
         "image runs past the flash end", 0},
        {"a missing file", "/nonexistent/app.bin", IMAGE_FORMAT_AUTO, 1, 0, 0x08100000,
         "--image /nonexistent/app.bin: cannot be read", 0},
        {"the embedded image forced HEX", NULL, IMAGE_FORMAT_HEX, 1, 1, 0x08100000,
         "--format hex is for --image FILE: the embedded image is raw binary", 0},
        {"the embedded image", NULL, IMAGE_FORMAT_BIN, 1, 0, 0x08100000,
         image_embeds_sample() ? "this build carries the bundled sample image" : NULL, -1},
        {"the embedded image, the sample allowed", NULL, IMAGE_FORMAT_AUTO, 1, 1, 0x08100000,
         NULL, -1},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        ImageChoice choice;
        image_choice_defaults(&choice);
        choice.path = r.path;
        choice.format = r.format;
        choice.vector_check = r.vector_check;
        choice.allow_sample = r.allow_sample;
        choice.flash_end = r.flash_end;
        ChosenImage image;
        char why[IMAGE_CHOICE_WHY_CAPACITY] = "";
        int loaded = load_chosen_image(&choice, &image, why, sizeof why);
        EXPECT_EQ(image_choice_refuses_sample(&choice),
                  r.refusal != NULL && strstr(r.refusal, "bundled sample") != NULL);
        if (r.refusal != NULL) {
            EXPECT_EQ(loaded, -1);
            EXPECT_NE(strstr(why, r.refusal), nullptr) << why;
            EXPECT_EQ(image.padded, nullptr);
            if (r.path != NULL) {
                EXPECT_EQ(strncmp(why, "--image ", 8), 0) << why;
            }
            continue;
        }
        ASSERT_EQ(loaded, 0) << why;
        EXPECT_STREQ(image.name, r.path != NULL ? r.path : "embedded");
        if (r.size >= 0) {
            EXPECT_EQ(image.file.size, r.size);
        }
        EXPECT_EQ(image.crc, crc16(image.padded, image.file.padded_size));
        DeviceLink link;
        init_link(&link);
        put_chosen_image(&link, &image);
        EXPECT_TRUE(link.image == image.padded && link.image_size == image.file.padded_size &&
                    link.base == (uint32_t)IMAGE_BASE &&
                    link.settings.image_own_size == image.file.size);
        free_chosen_image(&image);
    }
    remove_scratch_dir(dir);
}

TEST(ImageChoice, TakesAFlashEndAboveTheImageBaseWithin32Bits)
{
    struct Row {
        const char *text;
        int taken;
        uint32_t value;
    } rows[] = {{"0x08100000", 1, 0x08100000}, {"135266304", 1, 135266304},
                {"0x08004001", 1, 0x08004001}, {"0x08004000", 0, 0},
                {"0x100000000", 0, 0},          {"-1", 0, 0},
                {"+0x08100000", 0, 0},          {"0x0810000g", 0, 0},
                {"", 0, 0}};
    for (const Row &r : rows) {
        uint32_t value = 7;
        EXPECT_EQ(image_parse_flash_end(r.text, &value), r.taken ? 0 : -1) << r.text;
        EXPECT_EQ(value, r.taken ? r.value : 7u) << r.text;
    }
}

}  // namespace
