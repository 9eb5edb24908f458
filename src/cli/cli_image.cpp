// The image a command-line run writes, and `image FILE`.
#include "cli/cli_image.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <nlohmann/json.hpp>

#include "image/image.h"
#include "image/image_file.h"
#include "protocol/frame.h"

namespace {

std::string hex32(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08x", (unsigned)value);
    return text;
}

// "lines 2-103", "program header 1", "" (raw).
std::string records(const ImageFile *image, const ImagePart *part)
{
    char first[48], last[48];
    image_file_record_name(image->format, part->first_record, first, sizeof first);
    if (first[0] == '\0' || part->first_record == part->last_record)
        return first;
    image_file_record_name(image->format, part->last_record, last, sizeof last);
    // "line 2" and "line 103" read as "lines 2-103".
    const char *number = strrchr(last, ' ');
    return std::string(first).insert((size_t)(strrchr(first, ' ') - first), "s") + "-" +
           (number != NULL ? number + 1 : last);
}

int write_raw(const char *path, const unsigned char *bytes, int64_t size, const char *program)
{
    FILE *f = fopen(path, "wb");
    int failed = f == NULL || fwrite(bytes, 1, (size_t)size, f) != (size_t)size;
    if (f != NULL && fclose(f) != 0)
        failed = 1;
    if (failed) {
        fprintf(stderr, "%s: --raw-out %s: cannot be written\n", program, path);
        remove(path);
    }
    return failed ? -1 : 0;
}

// The embedded image parsed as raw bytes into *image, with their SHA-256
// (a file's is the reader's). Returns 0, or -1 with the reason in why.
int parse_embedded(ImageFile *image, char *why, size_t why_size)
{
    const unsigned char *bytes = NULL;
    int64_t len = 0;
    if (find_embedded_image(&bytes, &len, why, why_size) != 0)
        return -1;
    if (image_file_parse_raw(bytes, (size_t)len, "the embedded image", image, why, why_size) != 0)
        return -1;
    sha256_hex(bytes, (size_t)len, image->sha256);
    return 0;
}

}  // namespace

int cli_embeds_sample(void)
{
    return FWU_EMBEDS_SAMPLE;
}

int cli_load_image(const CliOptions *o, CliImage *out)
{
    memset(out, 0, sizeof *out);
    char why[IMAGE_FILE_WHY_CAPACITY];
    int from_file = o->image_path[0] != '\0';
    int read;
    if (from_file) {
        out->name = o->image_path;
        read = image_file_read(o->image_path, &out->file, why, sizeof why);
    } else {
        if (cli_embeds_sample() && !o->allow_sample) {
            fprintf(stderr,
                    "%s: this build carries the bundled sample image (res/firmware.bin), not "
                    "device firmware: give the application with --image FILE (binary, Intel "
                    "HEX, S-records or ELF), or --allow-sample to write the sample anyway\n",
                    o->program);
            return -1;
        }
        out->name = "embedded";
        read = parse_embedded(&out->file, why, sizeof why);
    }
    // An embedded image released without the vector check is not held to it.
    int embedded_check = from_file || FWU_EMBEDDED_VECTOR_CHECK;
    ImageRules rules = {o->flash_end, o->vector_check && embedded_check};
    if (read != 0 || image_file_check(&out->file, &rules, why, sizeof why) != 0) {
        fprintf(stderr, "%s: %s%s\n", o->program, from_file ? "--image " : "", why);
        if (read == 0)
            image_file_free(&out->file);
        return -1;
    }
    if (image_file_layout(&out->file, &out->padded) < 0) {
        fprintf(stderr, "%s: not enough memory for the image\n", o->program);
        image_file_free(&out->file);
        return -1;
    }
    out->crc = crc16(out->padded, out->file.padded_size);
    return 0;
}

void cli_free_image(CliImage *image)
{
    free(image->padded);
    image->padded = NULL;
    image_file_free(&image->file);
}

void cli_image_line(const CliImage *image, char *text, size_t size)
{
    snprintf(text, size,
             "image %s: %s, %lld bytes from 0x%08x, padded to %ld, CRC-16 %#06x, SHA-256 %s",
             image->name, image_file_format_title(image->file.format),
             (long long)image->file.size, (unsigned)IMAGE_BASE, (long)image->file.padded_size,
             (unsigned)image->crc, image->file.sha256);
}

namespace {

// What `image FILE` found: the file as read, whether it is accepted, and
// (once its extent is known to fit the flash) its layout and CRC.
struct CliImageFindings {
    ImageFile image;
    int read;        // 0: the file was read and parsed
    int accepted;    // ... and passed every check
    int sized;       // its size from IMAGE_BASE is meaningful
    unsigned char *padded;
    int32_t padded_size;  // -1: not laid out
    uint16_t crc;
    char why[IMAGE_FILE_WHY_CAPACITY];
};

void inspect(const CliOptions *o, CliImageFindings *f)
{
    f->why[0] = '\0';
    f->read = image_file_read(o->image_path, &f->image, f->why, sizeof f->why);
    ImageRules rules = {o->flash_end, o->vector_check};
    ImageRules ranges = {o->flash_end, 0};
    // Laid out (for its CRC) only once its extent is known to fit the flash.
    f->padded = NULL;
    f->padded_size = -1;
    if (f->read == 0 && image_file_check(&f->image, &ranges, f->why, sizeof f->why) == 0)
        f->padded_size = image_file_layout(&f->image, &f->padded);
    f->accepted = f->read == 0 && image_file_check(&f->image, &rules, f->why, sizeof f->why) == 0;
    if (f->accepted && f->padded_size < 0) {
        snprintf(f->why, sizeof f->why, "%s: not enough memory for the image", o->image_path);
        f->accepted = 0;
    }
    f->crc = f->padded_size >= 0 ? crc16(f->padded, f->padded_size) : 0;
    f->sized = f->read == 0 && f->image.part_count > 0 && f->image.low >= (uint32_t)IMAGE_BASE;
}

// The findings as one JSON object on standard output. Returns 0, or -1 when
// it could not be written.
int print_json(const CliOptions *o, const CliImageFindings *f)
{
    const ImageFile &image = f->image;
    int read = f->read == 0;
    try {
        nlohmann::ordered_json j;
        j["file"] = o->image_path;
        j["format"] = read ? nlohmann::ordered_json(image_file_format_name(image.format))
                           : nlohmann::ordered_json(nullptr);
        j["file_size"] = read ? nlohmann::ordered_json(image.file_size) : nullptr;
        j["sha256"] = read ? nlohmann::ordered_json(image.sha256) : nullptr;
        nlohmann::ordered_json parts = nlohmann::ordered_json::array();
        for (int32_t i = 0; read && i < image.part_count; i++) {
            const ImagePart *part = &image.parts[i];
            parts.push_back({{"address", hex32(part->address)},
                             {"size", part->size},
                             {"records", records(&image, part)}});
        }
        j["parts"] = parts;
        j["base"] = hex32(IMAGE_BASE);
        j["flash_end"] = hex32(o->flash_end);
        if (f->sized) {
            j["gap_fill"] = {{"byte", "0xff"}, {"bytes", image.gap_bytes}};
            j["image_size"] = image.size;
            j["padded_size"] = image.padded_size >= 0 ? nlohmann::ordered_json(image.padded_size)
                                                      : nlohmann::ordered_json(nullptr);
            j["initial_sp"] = hex32(image.initial_sp);
            j["reset_vector"] = hex32(image.reset_vector);
        } else {
            for (const char *key : {"gap_fill", "image_size", "padded_size", "initial_sp",
                                    "reset_vector"})
                j[key] = nullptr;
        }
        char crc_text[8];
        snprintf(crc_text, sizeof crc_text, "0x%04x", (unsigned)f->crc);
        j["image_crc"] = f->padded_size >= 0 ? nlohmann::ordered_json(crc_text)
                                             : nlohmann::ordered_json(nullptr);
        j["vector_check"] = o->vector_check != 0;
        j["verdict"] = f->accepted ? "accepted" : "refused";
        j["reason"] =
            f->accepted ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(f->why);
        printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        return 0;
    } catch (...) {
        fprintf(stderr, "%s: the JSON could not be written\n", o->program);
        return -1;
    }
}

// The findings in words on standard output, for a file that was read.
void print_words(const CliOptions *o, const CliImageFindings *f)
{
    const ImageFile &image = f->image;
    printf("%s: %s, %lld bytes, SHA-256 %s\n", o->image_path,
           image_file_format_title(image.format), (long long)image.file_size, image.sha256);
    for (int32_t i = 0; i < image.part_count; i++) {
        const ImagePart *part = &image.parts[i];
        std::string where = records(&image, part);
        printf("  loaded from 0x%08x to 0x%08llx: %u bytes%s%s%s\n", (unsigned)part->address,
               (unsigned long long)part->address + part->size, (unsigned)part->size,
               where.empty() ? "" : " (", where.c_str(), where.empty() ? "" : ")");
    }
    if (f->sized) {
        printf("  gap fill: %lld bytes of 0xFF (erased flash)\n", (long long)image.gap_bytes);
        printf("  image: %lld bytes from 0x%08x", (long long)image.size, (unsigned)IMAGE_BASE);
        if (image.padded_size >= 0)
            printf(", padded to %ld (%ld blocks of %d)", (long)image.padded_size,
                   (long)(image.padded_size / BLOCK_SIZE), (int)BLOCK_SIZE);
        printf("\n");
        if (f->padded_size >= 0)
            printf("  CRC-16 of the padded image: %#06x\n", (unsigned)f->crc);
        printf("  vector table: initial SP 0x%08x, reset vector 0x%08x\n",
               (unsigned)image.initial_sp, (unsigned)image.reset_vector);
    }
    if (f->accepted)
        printf("accepted: %ld bytes to write from 0x%08x (flash end 0x%08x)\n",
               (long)f->padded_size, (unsigned)IMAGE_BASE, (unsigned)o->flash_end);
}

}  // namespace

int cli_run_image(const CliOptions *o)
{
    CliImageFindings f;
    inspect(o, &f);
    int status = f.accepted ? 0 : CLI_EXIT_USAGE;
    if (f.accepted && o->raw_out[0] != '\0' &&
        write_raw(o->raw_out, f.padded, f.image.size, o->program) != 0)
        status = 1;
    if (o->json) {
        if (print_json(o, &f) != 0)
            status = CLI_EXIT_USAGE;
    } else if (f.read == 0) {
        print_words(o, &f);
    }
    if (!f.accepted) {
        if (!o->json)
            printf("refused\n");
        fprintf(stderr, "%s: REFUSED %s\n", o->program, f.why);
    }
    free(f.padded);
    if (f.read == 0)
        image_file_free(&f.image);
    return status;
}
