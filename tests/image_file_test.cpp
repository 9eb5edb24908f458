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
        put(ph + 8, segments[i].first, 4);
        put(ph + 12, segments[i].first, 4);
        put(ph + 16, (uint32_t)segments[i].second.size(), 4);
        put(ph + 20, (uint32_t)segments[i].second.size(), 4);
        out += segments[i].second;
    }
    return out;
}

// The ELF file with section headers added: a name table and, for each
// (address, size), an allocated NOBITS section ".noinit".
std::string with_nobits(std::string file, const std::vector<std::pair<uint32_t, uint32_t>> &nobits)
{
    auto put = [&file](size_t at, uint32_t v, int n) {
        for (int i = 0; i < n; i++)
            file[at + i] = (char)(v >> (8 * i));
    };
    const std::string names("\0.shstrtab\0.noinit\0", 20);
    size_t strtab = file.size(), shoff = strtab + names.size();
    file += names + std::string(40 * (2 + nobits.size()), '\0');
    put(32, (uint32_t)shoff, 4);
    put(46, 40, 2);
    put(48, (uint32_t)(2 + nobits.size()), 2);
    put(50, 1, 2);
    put(shoff + 40, 1, 4);  // [1] .shstrtab: STRTAB
    put(shoff + 44, 3, 4);
    put(shoff + 56, (uint32_t)strtab, 4);
    put(shoff + 60, (uint32_t)names.size(), 4);
    for (size_t i = 0; i < nobits.size(); i++) {
        size_t sh = shoff + 40 * (2 + i);
        put(sh, 11, 4);  // ".noinit": NOBITS, allocated and writable
        put(sh + 4, 8, 4);
        put(sh + 8, 3, 4);
        put(sh + 12, nobits[i].first, 4);
        put(sh + 20, nobits[i].second, 4);
    }
    return file;
}

struct Read {
    int parsed, checked;
    ImageFile image;
    char why[IMAGE_FILE_WHY_CAPACITY];
    explicit Read(const std::string &text, uint32_t flash_end = 0x08100000, int vectors = 1,
                  ImageFormatChoice choice = IMAGE_FORMAT_AUTO)
    {
        why[0] = '\0';
        parsed = image_file_parse((const unsigned char *)text.data(), text.size(), "app", &image,
                                  why, sizeof why, choice);
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
        {"bad checksum", bad_sum, "app: read as Intel HEX (the first line is text starting ':'): line 2: bad checksum", 0},
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
        {"empty", ELA_0800 + EOF_RECORD, "): empty image", 0},
        {"empty raw", "", "app: read as raw binary (an empty file): empty image", 0},
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
        {"text", "hello\n", "app: text, but neither Intel HEX nor S-records: its first line starts \"hello\"", 0},
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

// What the reader makes of a file, by its content or as forced: the bytes
// it loads from 0x08004000, or a fragment of the refusal.
TEST(ImageFile, TellsTextFromRawAndReadsEveryLineEnd)
{
    const std::string v = bytes_of(VECTORS), hex = ELA_0800 + ihex(0, 0x4000, VECTORS) + EOF_RECORD;
    const std::string s19 = srec(3, 4, 0x08004000, VECTORS) + srec(7, 4, 0, {});
    std::vector<unsigned> full(VECTORS);
    full.resize(255, 0x5A);
    auto ends = [](std::string text, const std::string &end) {
        for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += end.size())
            text.replace(at, 1, end);
        return text;
    };
    std::string utf16;
    for (char c : hex)
        utf16 += std::string(1, c) + '\0';
    const std::string colon = std::string(":\x10\x00\x20", 4) + v.substr(4);  // SP 0x2000103A
    const std::string s1 = std::string("S1\x00\x20", 4) + v.substr(4);
    const char *guessed = "app: read as Intel HEX (the first line is text starting ':'): ";
    struct Case {
        const char *what;
        std::string file;
        ImageFormatChoice choice;
        std::string loaded;  // "" for a refusal
        std::string reason;
    } cases[] = {
        {"UTF-8 byte-order mark", "\xEF\xBB\xBF" + hex, IMAGE_FORMAT_AUTO, v, ""},
        {"CR HEX", ends(hex, "\r"), IMAGE_FORMAT_AUTO, v, ""},
        {"CR S-records", ends(s19, "\r"), IMAGE_FORMAT_AUTO, v, ""},
        {"255-byte record", ELA_0800 + ihex(0, 0x4000, full) + EOF_RECORD, IMAGE_FORMAT_AUTO,
         bytes_of(full), ""},
        {"':' first raw", colon, IMAGE_FORMAT_AUTO, colon, ""},
        {"'S1' first raw", s1, IMAGE_FORMAT_AUTO, s1, ""},
        {"bin forced on HEX", hex, IMAGE_FORMAT_BIN, hex, ""},
        {"UTF-8 line", ELA_0800 + "; built by Jos\xC3\xA9\n" + hex, IMAGE_FORMAT_AUTO, "",
         std::string(guessed) + "line 2: not an Intel HEX record"},
        {"Latin-1 first line", "; Jos\xE9\n" + hex, IMAGE_FORMAT_AUTO, "",
         "text, but neither Intel HEX nor S-records: its first line starts \"; Jos?\""},
        {"Latin-1 in a record", ":\xE9" + hex, IMAGE_FORMAT_AUTO, "",
         "read as Intel HEX (most of the first 4 KiB is text starting ':'): line 1: '?' at column 2"},
        {"BOM and S-records", "\xEF\xBB\xBF" "S1\x01\n", IMAGE_FORMAT_AUTO, "",
         "read as Motorola S-records (text with a UTF-8 byte-order mark starting 'S1'): line 1"},
        {"UTF-16 marked", "\xFF\xFE" + utf16, IMAGE_FORMAT_AUTO, "",
         "app: UTF-16 (little-endian) text, by its byte-order mark"},
        {"UTF-16 unmarked", utf16.substr(1) + '\0', IMAGE_FORMAT_AUTO, "",
         "app: UTF-16 (big-endian) text, by its zero bytes"},
        {"hex forced on binary", v, IMAGE_FORMAT_HEX, "",
         "app: read as Intel HEX (the format was forced): line 1: not an Intel HEX record"},
        {"elf forced on HEX", hex, IMAGE_FORMAT_ELF, "", "(the format was forced): not an ELF file"},
    };
    for (const Case &c : cases) {
        Read r(c.file, 0x08100000, 0, c.choice);
        if (c.loaded.empty()) {
            EXPECT_NE(r.parsed, 0) << c.what;
            EXPECT_NE(strstr(r.why, c.reason.c_str()), nullptr) << c.what << ": " << r.why;
            continue;
        }
        ASSERT_EQ(r.parsed, 0) << c.what << ": " << r.why;
        EXPECT_EQ(r.image.low, 0x08004000u) << c.what;
        EXPECT_EQ(std::string((char *)r.image.data, (size_t)r.image.loaded), c.loaded) << c.what;
    }
    ImageFormatChoice choice = IMAGE_FORMAT_AUTO;
    const char *words[] = {"auto", "bin", "hex", "srec", "elf"};
    for (int i = 0; i < 5; i++)
        EXPECT_TRUE(image_format_choice(words[i], &choice) == 0 && choice == i) << words[i];
    EXPECT_EQ(image_format_choice("HEX", &choice) + image_format_choice("ihex", &choice), -2);
}

// A NOLOAD section inside a segment's file bytes is written as those bytes
// and noted (the first IMAGE_FILE_NOLOAD_NOTES, then counted); one past the
// file bytes (.bss) is not.
TEST(ImageFile, NotesNoloadSectionsInsideSegments)
{
    const std::string seg = bytes_of(VECTORS) + std::string(8, '\0') + "\xAA";
    std::vector<std::pair<uint32_t, uint32_t>> nobits(10, {0x08004008, 8});
    nobits[1] = {0x08004004, 2};   // over the vector table: its bytes, not one value
    nobits[2] = {0x08004011, 64};  // after the file bytes: .bss
    Read r(with_nobits(elf({{0x08004000, seg}}), nobits));
    ASSERT_EQ(r.checked, 0) << r.why;
    ASSERT_EQ(r.image.noload_count, 8);
    EXPECT_EQ(r.image.noload_more, 1);
    const ImageNoload &n = r.image.noload[0], &mixed = r.image.noload[1];
    EXPECT_TRUE(n.address == 0x08004008 && n.size == 8 && n.fill == 0 && n.record == 0);
    EXPECT_STREQ(n.section, ".noinit");
    EXPECT_TRUE(mixed.address == 0x08004004 && mixed.size == 2 && mixed.fill == -1);
    EXPECT_EQ(r.image.loaded, (int64_t)seg.size());
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
