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

// The facts of a parsed image that passed the range checks.
void fill(CliImage *out, const ImageFile *image, unsigned char *padded, int32_t padded_size)
{
    out->format = image->format;
    out->size = image->size;
    out->padded_size = padded_size;
    out->gap_bytes = image->gap_bytes;
    out->crc = crc16(padded, padded_size);
    out->padded = padded;
}

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

}  // namespace

int cli_embeds_sample(void)
{
    return FWU_EMBEDS_SAMPLE;
}

int cli_load_image(const CliOptions *o, CliImage *out)
{
    memset(out, 0, sizeof *out);
    char why[IMAGE_FILE_WHY_CAPACITY];
    ImageFile image;
    int read;
    if (o->image_path[0] != '\0') {
        snprintf(out->name, sizeof out->name, "%s", o->image_path);
        read = image_file_read(o->image_path, &image, why, sizeof why);
        snprintf(out->sha256, sizeof out->sha256, "%s", image.sha256);
    } else {
        if (cli_embeds_sample() && !o->allow_sample) {
            fprintf(stderr,
                    "%s: this build carries the bundled sample image (res/firmware.bin), not "
                    "device firmware: give the application with --image FILE (binary, Intel "
                    "HEX, S-records or ELF), or --allow-sample to write the sample anyway\n",
                    o->program);
            return -1;
        }
        snprintf(out->name, sizeof out->name, "embedded");
        const unsigned char *bytes = NULL;
        int64_t len = 0;
        char reason[160];
        if (find_embedded_image(&bytes, &len, reason, sizeof reason) != 0) {
            fprintf(stderr, "%s: %s\n", o->program, reason);
            return -1;
        }
        sha256_hex(bytes, (size_t)len, out->sha256);
        read = image_file_parse_raw(bytes, (size_t)len, "the embedded image", &image, why,
                                    sizeof why);
    }
    // An embedded image released without the vector check is not held to it.
    int embedded_check = o->image_path[0] != '\0' || FWU_EMBEDDED_VECTOR_CHECK;
    ImageRules rules = {o->flash_end, o->vector_check && embedded_check};
    if (read != 0 || image_file_check(&image, &rules, why, sizeof why) != 0) {
        fprintf(stderr, "%s: %s%s\n", o->program, o->image_path[0] != '\0' ? "--image " : "",
                why);
        if (read == 0)
            image_file_free(&image);
        return -1;
    }
    unsigned char *padded = NULL;
    int32_t padded_size = image_file_layout(&image, &padded);
    if (padded_size < 0) {
        fprintf(stderr, "%s: not enough memory for the image\n", o->program);
        image_file_free(&image);
        return -1;
    }
    fill(out, &image, padded, padded_size);
    image_file_free(&image);
    return 0;
}

void cli_image_line(const CliImage *image, char *text, size_t size)
{
    snprintf(text, size,
             "image %s: %s, %lld bytes from 0x%08x, padded to %ld, CRC-16 %#06x, SHA-256 %s",
             image->name, image_file_format_title(image->format), (long long)image->size,
             (unsigned)IMAGE_BASE, (long)image->padded_size, (unsigned)image->crc,
             image->sha256);
}

int cli_run_image(const CliOptions *o)
{
    const char *program = o->program;
    char why[IMAGE_FILE_WHY_CAPACITY] = "";
    ImageFile image;
    int read = image_file_read(o->image_path, &image, why, sizeof why);
    ImageRules rules = {o->flash_end, o->vector_check};
    ImageRules ranges = {o->flash_end, 0};
    // Laid out (for its CRC) only once its extent is known to fit the flash.
    unsigned char *padded = NULL;
    int32_t padded_size = -1;
    if (read == 0 && image_file_check(&image, &ranges, why, sizeof why) == 0)
        padded_size = image_file_layout(&image, &padded);
    int accepted = read == 0 && image_file_check(&image, &rules, why, sizeof why) == 0;
    if (accepted && padded_size < 0) {
        snprintf(why, sizeof why, "%s: not enough memory for the image", o->image_path);
        accepted = 0;
    }
    uint16_t crc = padded_size >= 0 ? crc16(padded, padded_size) : 0;
    int sized = read == 0 && image.part_count > 0 && image.low >= (uint32_t)IMAGE_BASE;

    int status = accepted ? 0 : EXIT_USAGE;
    if (accepted && o->raw_out[0] != '\0' &&
        write_raw(o->raw_out, padded, image.size, program) != 0)
        status = 1;

    if (o->json) {
        try {
            nlohmann::ordered_json j;
            j["file"] = o->image_path;
            j["format"] = read == 0 ? nlohmann::ordered_json(image_file_format_name(image.format))
                                    : nlohmann::ordered_json(nullptr);
            j["file_size"] = read == 0 ? nlohmann::ordered_json(image.file_size) : nullptr;
            j["sha256"] = read == 0 ? nlohmann::ordered_json(image.sha256) : nullptr;
            nlohmann::ordered_json parts = nlohmann::ordered_json::array();
            for (int32_t i = 0; read == 0 && i < image.part_count; i++) {
                const ImagePart *part = &image.parts[i];
                parts.push_back({{"address", hex32(part->address)},
                                 {"size", part->size},
                                 {"records", records(&image, part)}});
            }
            j["parts"] = parts;
            j["base"] = hex32(IMAGE_BASE);
            j["flash_end"] = hex32(o->flash_end);
            if (sized) {
                j["gap_fill"] = {{"byte", "0xff"}, {"bytes", image.gap_bytes}};
                j["image_size"] = image.size;
                j["padded_size"] = image.padded_size >= 0 ? nlohmann::ordered_json(image.padded_size)
                                                          : nlohmann::ordered_json(nullptr);
                j["initial_sp"] = hex32(image.initial_sp);
                j["reset_vector"] = hex32(image.reset_vector);
            } else {
                j["gap_fill"] = nullptr;
                j["image_size"] = nullptr;
                j["padded_size"] = nullptr;
                j["initial_sp"] = nullptr;
                j["reset_vector"] = nullptr;
            }
            char crc_text[8];
            snprintf(crc_text, sizeof crc_text, "0x%04x", (unsigned)crc);
            j["image_crc"] = padded_size >= 0 ? nlohmann::ordered_json(crc_text)
                                              : nlohmann::ordered_json(nullptr);
            j["vector_check"] = o->vector_check != 0;
            j["verdict"] = accepted ? "accepted" : "refused";
            j["reason"] = accepted ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(why);
            printf("%s\n",
                   j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        } catch (...) {
            fprintf(stderr, "%s: the JSON could not be written\n", program);
            status = EXIT_USAGE;
        }
    } else if (read == 0) {
        printf("%s: %s, %lld bytes, SHA-256 %s\n", o->image_path,
               image_file_format_title(image.format), (long long)image.file_size, image.sha256);
        for (int32_t i = 0; i < image.part_count; i++) {
            const ImagePart *part = &image.parts[i];
            std::string where = records(&image, part);
            printf("  loaded from 0x%08x to 0x%08llx: %u bytes%s%s%s\n", (unsigned)part->address,
                   (unsigned long long)part->address + part->size, (unsigned)part->size,
                   where.empty() ? "" : " (", where.c_str(), where.empty() ? "" : ")");
        }
        if (sized) {
            printf("  gap fill: %lld bytes of 0xFF (erased flash)\n", (long long)image.gap_bytes);
            printf("  image: %lld bytes from 0x%08x", (long long)image.size, (unsigned)IMAGE_BASE);
            if (image.padded_size >= 0)
                printf(", padded to %ld (%ld blocks of %d)", (long)image.padded_size,
                       (long)(image.padded_size / BLOCK_SIZE), (int)BLOCK_SIZE);
            printf("\n");
            if (padded_size >= 0)
                printf("  CRC-16 of the padded image: %#06x\n", (unsigned)crc);
            printf("  vector table: initial SP 0x%08x, reset vector 0x%08x\n",
                   (unsigned)image.initial_sp, (unsigned)image.reset_vector);
        }
        if (accepted)
            printf("accepted: %ld bytes to write from 0x%08x (flash end 0x%08x)\n",
                   (long)padded_size, (unsigned)IMAGE_BASE, (unsigned)o->flash_end);
    }
    if (!accepted) {
        if (!o->json)
            printf("refused\n");
        fprintf(stderr, "%s: REFUSED %s\n", program, why);
    }
    free(padded);
    if (read == 0)
        image_file_free(&image);
    return status;
}
