// The image reader: what it accepts and lays out, every refusal with the
// record and reason it names, and SHA-256.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "image/image_file.h"
#include "image/sha256.h"
#include "testkit.h"

using namespace testkit;

namespace {

// An Intel HEX record with its checksum.
std::string ihex(int type, unsigned offset, const std::vector<unsigned> &data)
{
    std::vector<unsigned> b = {(unsigned)data.size(), offset >> 8 & 0xFF, offset & 0xFF,
                               (unsigned)type};
    b.insert(b.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string line = ":";
    char hex[4];
    for (unsigned v : b) {
        sum += v;
        snprintf(hex, sizeof hex, "%02X", v & 0xFF);
        line += hex;
    }
    snprintf(hex, sizeof hex, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + hex + "\n";
}

// An S-record of type with an address of address_bytes bytes.
std::string srec(int type, int address_bytes, uint32_t address, const std::vector<unsigned> &data)
{
    std::vector<unsigned> b = {(unsigned)(address_bytes + data.size() + 1)};
    for (int i = address_bytes - 1; i >= 0; i--)
        b.push_back(address >> (8 * i) & 0xFF);
    b.insert(b.end(), data.begin(), data.end());
    unsigned sum = 0;
    char text[4];
    std::string line = "S" + std::to_string(type);
    for (unsigned v : b) {
        sum += v;
        snprintf(text, sizeof text, "%02X", v);
        line += text;
    }
    snprintf(text, sizeof text, "%02X", ~sum & 0xFF);
    return line + text + "\n";
}

const std::string ELA_0800 = ihex(4, 0, {0x08, 0x00});
const std::string EOF_RECORD = ihex(1, 0, {});
// A vector table: SP 0x20010000, reset 0x08004009.
const std::vector<unsigned> VECTORS = {0x00, 0x00, 0x01, 0x20, 0x09, 0x40, 0x00, 0x08};

std::string bytes_of(const std::vector<unsigned> &v)
{
    return std::string(v.begin(), v.end());
}

// A minimal ELF32 ARM executable with the given PT_LOAD segments (paddr,
// bytes); phoff_shift moves the program headers (past the end: cut short).
std::string elf(const std::vector<std::pair<uint32_t, std::string>> &segments,
                uint16_t machine = 40, uint32_t phoff_shift = 0)
{
    std::string out(52 + 32 * segments.size(), '\0');
    auto put = [&out](size_t at, uint32_t v, int n) {
        for (int i = 0; i < n; i++)
            out[at + i] = (char)(v >> (8 * i));
    };
    out.replace(0, 7, "\x7f" "ELF\x01\x01\x01");
    put(16, 2, 2);
    put(18, machine, 2);
    put(20, 1, 4);
    put(28, 52 + phoff_shift, 4);
    put(42, 32, 2);
    put(44, (uint32_t)segments.size(), 2);
    for (size_t i = 0; i < segments.size(); i++) {
        size_t ph = 52 + 32 * i;
        put(ph, 1, 4);
        put(ph + 4, (uint32_t)out.size(), 4);
        put(ph + 12, segments[i].first, 4);
        put(ph + 16, (uint32_t)segments[i].second.size(), 4);
        put(ph + 20, (uint32_t)segments[i].second.size(), 4);
        out += segments[i].second;
    }
    return out;
}

struct Read {
    int parsed, checked;
    ImageFile image;
    char why[IMAGE_FILE_WHY_CAPACITY];
    explicit Read(const std::string &text, uint32_t flash_end = 0x08100000, int vectors = 1)
    {
        why[0] = '\0';
        parsed = image_file_parse((const unsigned char *)text.data(), text.size(), "app", &image,
                                  why, sizeof why);
        ImageRules rules = {flash_end, vectors};
        checked = parsed == 0 ? image_file_check(&image, &rules, why, sizeof why) : -1;
    }
    ~Read() { image_file_free(&image); }
};

TEST(ImageFile, LaysOutEveryFormatWithGapsFilledAndPadding)
{
    const std::string vectors = bytes_of(VECTORS);
    const std::string hex = ELA_0800 + ihex(0, 0x4000, VECTORS) +
                            ihex(0, 0x4004, {0x09, 0x40, 0x00, 0x08, 0xAA}) +  // agrees, overlaps
                            ihex(0, 0x4010, {0xBB}) + EOF_RECORD + "\n\n";
    const std::string s19 = srec(0, 2, 0, {'h', 'i'}) + srec(3, 4, 0x08004000, VECTORS) +
                            srec(3, 4, 0x08004008, {0xAA}) + srec(3, 4, 0x08004010, {0xBB}) +
                            srec(5, 2, 3, {}) + srec(7, 4, 0x08004009, {});
    const std::string elf_file =
        elf({{0x08004010, "\xBB"}, {0x08004000, vectors + "\xAA"}});
    for (const std::string &file : {hex, s19, elf_file}) {
        Read r(file);
        ASSERT_EQ(r.checked, 0) << r.why;
        ASSERT_EQ(r.image.part_count, 2);
        EXPECT_EQ(r.image.parts[0].address, 0x08004000u);
        EXPECT_EQ(r.image.parts[0].size, 9u);
        EXPECT_EQ(r.image.size, 0x11);
        EXPECT_EQ(r.image.gap_bytes, 7);
        EXPECT_EQ(r.image.reset_vector, 0x08004009u);
        unsigned char *padded = nullptr;
        ASSERT_EQ(image_file_layout(&r.image, &padded), 1024);
        std::string want = vectors + "\xAA" + std::string(7, '\xFF') + "\xBB";
        want.resize(1024, '\0');
        EXPECT_EQ(std::string((char *)padded, 1024), want);
        free(padded);
    }
}

TEST(ImageFile, RefusesNamingTheRecordAndTheReason)
{
    const std::string good = ELA_0800 + ihex(0, 0x4000, VECTORS);
    std::string bad_sum = good + EOF_RECORD;
    bad_sum[bad_sum.size() - 20] ^= 1;  // a digit of the data record
    const std::string big(5000, '\x01');
    const std::string v = bytes_of(VECTORS);
    struct Case {
        const char *what;
        std::string file;
        const char *reason;
        uint32_t flash_end;
    } cases[] = {
        {"bad checksum", bad_sum, "app: line 2: bad checksum", 0},
        {"not hex", good + ":0G\n" + EOF_RECORD, "line 3: 'G' at column 3 is not a hexadecimal", 0},
        {"no end-of-file record", good, "no end-of-file record", 0},
        {"after the end", good + EOF_RECORD + "\n" + good, "line 5: more after the end-of-file record (line 3)", 0},
        {"data disagree", good + ihex(0, 0x4004, {0x0B}) + EOF_RECORD,
         "line 3: the data at 0x08004004 overlaps line 2 and differs", 0},
        {"past 64 KiB", ELA_0800 + ihex(0, 0xFFFF, {1, 2}) + EOF_RECORD, "its 64 KiB segment", 0},
        {"wraps", ihex(4, 0, {0xFF, 0xFF}) + ihex(2, 0, {0xF0, 0x00}) + ihex(0, 0, {1}) + EOF_RECORD,
         "line 3: 1 bytes at 0x1000e0000 wrap past the end of the 4 GiB", 0},
        {"full-chip dump", ELA_0800 + ihex(0, 0, VECTORS) + EOF_RECORD,
         "line 2: data at 0x08000000, below 0x08004000: looks like a full-chip dump including the boot loader", 0},
        {"past the flash end", v + big, "image runs past the flash end: its data ends at 0x08005390", 0x08005000},
        {"empty", ELA_0800 + EOF_RECORD, "app: empty image", 0},
        {"empty raw", "", "app: empty image", 0},
        {"no termination", srec(1, 2, 0x4000, {1}), "no termination record", 0},
        {"after termination", srec(9, 2, 0, {}) + "S9junk\n", "line 2: more after the termination record", 0},
        {"wrong S5 count", srec(3, 4, 0x08004000, VECTORS) + srec(5, 2, 2, {}) + srec(7, 4, 0, {}),
         "line 2: the S5 record counts 2 data records, the file has 1", 0},
        {"S-record wraps", srec(3, 4, 0xFFFFFFF0, std::vector<unsigned>(32, 1)) + srec(7, 4, 0, {}),
         "line 1: 32 bytes at 0xfffffff0 wrap past", 0},
        {"ELF cut short", elf({{0x08004000, v}}, 40, 4096), "program headers run past the end", 0},
        {"ELF not ARM", elf({{0x08004000, v}}, 3), "machine 3, not ARM", 0},
        {"RAM address", elf({{0x08004000, v}, {0x20000000, "ab"}}),
         "program header 1 (the last data): image runs past the flash end", 0},
        {"text", "hello\n", "a text file, but neither Intel HEX", 0},
        {"no vector table", big, "initial stack pointer 0x01010101 lies outside SRAM", 0},
        {"linked for 0x08000000", v.substr(0, 4) + std::string("\x09\x00\x00\x08", 4) + big,
         "reset vector 0x08000009 lies below 0x08004000: linked for 0x08000000? the application must be linked for 0x08004000", 0},
        {"even reset", v.substr(0, 4) + std::string("\x08\x40\x00\x08", 4) + big, "reset vector 0x08004008 is even", 0},
        {"reset past the end", v.substr(0, 4) + std::string("\x01\x50\x00\x08", 4), "points past the image's end 0x08004008", 0},
    };
    for (const Case &c : cases) {
        Read r(c.file, c.flash_end ? c.flash_end : 0x08100000);
        EXPECT_NE(r.checked, 0) << c.what;
        EXPECT_NE(strstr(r.why, c.reason), nullptr) << c.what << ": " << r.why;
    }
    // The vector check alone is skipped on request.
    EXPECT_EQ(Read(big, 0x08100000, 0).checked, 0);
}

TEST(ImageFile, ReadsOnlyRegularFiles)
{
    std::string dir = make_scratch_dir();
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &path : {fifo, dir, std::string("/dev/null")}) {
        ImageFile image;
        char why[IMAGE_FILE_WHY_CAPACITY];
        EXPECT_EQ(image_file_read(path.c_str(), &image, why, sizeof why), -1) << path;
        EXPECT_NE(strstr(why, "not a regular file"), nullptr) << why;
    }
    remove_scratch_dir(dir);
}

TEST(Sha256, KnownDigestsWhetherFedWholeOrInPieces)
{
    char hex[SHA256_HEX_CAPACITY];
    sha256_hex((const unsigned char *)"", 0, hex);
    EXPECT_STREQ(hex, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const char *two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    sha256_hex((const unsigned char *)two_blocks, strlen(two_blocks), hex);
    EXPECT_STREQ(hex, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    Sha256 s;
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_start(&s);
    for (size_t i = 0; i < strlen(two_blocks); i += 7)
        sha256_add(&s, (const unsigned char *)two_blocks + i, 7);
    sha256_finish(&s, digest);
    EXPECT_EQ(digest[0], 0x24);
    EXPECT_EQ(digest[31], 0xc1);
}

}  // namespace
