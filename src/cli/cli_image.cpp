// The image a command-line run writes, and `image FILE`.
#include "cli/cli_image.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <nlohmann/json.hpp>

#include "cli/cli_output.h"
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

}  // namespace

void cli_image_choice(const CliOptions *o, ImageChoice *choice)
{
    image_choice_defaults(choice);
    choice->path = o->image_path;
    choice->format = o->format;
    choice->vector_check = o->vector_check;
    choice->allow_sample = o->allow_sample;
    choice->flash_end = o->flash_end;
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
    f->read = image_file_read(o->image_path, &f->image, f->why, sizeof f->why, o->format);
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

// A NOLOAD section for people: "section .noinit", or "an unnamed section".
std::string section_words(const ImageNoload *note)
{
    return note->section[0] != '\0' ? std::string("section ") + note->section
                                    : std::string("an unnamed section");
}

// What is written over a NOLOAD section: "0x00", or the segment's bytes when
// they differ.
std::string fill_words(const ImageNoload *note)
{
    char text[8];
    snprintf(text, sizeof text, "0x%02x", (unsigned)(note->fill & 0xFF));
    return note->fill >= 0 ? std::string(text) : std::string("the segment's bytes");
}

// The parts and the NOLOAD notes of a file that was read, into j.
void json_parts(const ImageFile &image, nlohmann::ordered_json &j)
{
    nlohmann::ordered_json parts = nlohmann::ordered_json::array();
    for (int32_t i = 0; i < image.part_count; i++) {
        const ImagePart *part = &image.parts[i];
        parts.push_back({{"address", hex32(part->address)},
                         {"size", part->size},
                         {"records", records(&image, part)}});
    }
    j["parts"] = parts;
    nlohmann::ordered_json noload = nlohmann::ordered_json::array();
    for (int32_t i = 0; i < image.noload_count; i++) {
        const ImageNoload *note = &image.noload[i];
        noload.push_back({{"address", hex32(note->address)},
                          {"size", note->size},
                          {"section", note->section},
                          {"program_header", note->record},
                          {"fill", note->fill >= 0 ? nlohmann::ordered_json(fill_words(note))
                                                   : nlohmann::ordered_json(nullptr)}});
    }
    j["noload"] = noload;
    j["noload_more"] = image.noload_more;
}

// The findings as one JSON object on standard output. Returns 0, or -1 when
// it could not be made.
int print_json(const CliOptions *o, const CliImageFindings *f)
{
    const ImageFile &image = f->image;
    int read = f->read == 0;
    try {
        nlohmann::ordered_json j;
        nlohmann::ordered_json none(nullptr);
        j["file"] = o->image_path;
        j["format"] = read ? nlohmann::ordered_json(image_file_format_name(image.format)) : none;
        j["format_why"] = read ? nlohmann::ordered_json(image.format_why) : none;
        j["file_size"] = read ? nlohmann::ordered_json(image.file_size) : none;
        j["sha256"] = read ? nlohmann::ordered_json(image.sha256) : none;
        if (read) {
            json_parts(image, j);
        } else {
            j["parts"] = nlohmann::ordered_json::array();
            j["noload"] = nlohmann::ordered_json::array();
            j["noload_more"] = 0;
        }
        j["base"] = hex32(IMAGE_BASE);
        j["flash_end"] = hex32(o->flash_end);
        if (f->sized) {
            j["gap_fill"] = {{"byte", "0xff"}, {"bytes", image.gap_bytes}};
            j["image_size"] = image.size;
            j["padded_size"] =
                image.padded_size >= 0 ? nlohmann::ordered_json(image.padded_size) : none;
            j["initial_sp"] = hex32(image.initial_sp);
            j["reset_vector"] = hex32(image.reset_vector);
        } else {
            for (const char *key : {"gap_fill", "image_size", "padded_size", "initial_sp",
                                    "reset_vector"})
                j[key] = none;
        }
        char crc_text[8];
        snprintf(crc_text, sizeof crc_text, "0x%04x", (unsigned)f->crc);
        j["image_crc"] = f->padded_size >= 0 ? nlohmann::ordered_json(crc_text) : none;
        j["vector_check"] = o->vector_check != 0;
        j["verdict"] = f->accepted ? "accepted" : "refused";
        j["reason"] = f->accepted ? none : nlohmann::ordered_json(f->why);
        printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        return 0;
    } catch (...) {
        fprintf(stderr, "%s: the JSON could not be written\n", o->program);
        return -1;
    }
}

// The NOLOAD sections a file's segments write over, in words.
void print_noload_words(const ImageFile &image)
{
    for (int32_t i = 0; i < image.noload_count; i++) {
        const ImageNoload *note = &image.noload[i];
        char where[48];
        image_file_record_name(image.format, note->record, where, sizeof where);
        printf("  NOLOAD %s from 0x%08x to 0x%08llx: %u bytes inside %s, written as %s "
               "(objcopy -O binary leaves a gap there)\n",
               section_words(note).c_str(), (unsigned)note->address,
               (unsigned long long)note->address + note->size, (unsigned)note->size, where,
               fill_words(note).c_str());
    }
    if (image.noload_more > 0)
        printf("  and %ld more NOLOAD sections inside segments\n", (long)image.noload_more);
}

// The findings in words on standard output, for a file that was read.
void print_words(const CliOptions *o, const CliImageFindings *f)
{
    const ImageFile &image = f->image;
    printf("%s: %s, %lld bytes, SHA-256 %s\n", o->image_path,
           image_file_format_title(image.format), (long long)image.file_size, image.sha256);
    printf("  read as %s (%s)\n", image_file_format_title(image.format), image.format_why);
    for (int32_t i = 0; i < image.part_count; i++) {
        const ImagePart *part = &image.parts[i];
        std::string where = records(&image, part);
        printf("  loaded from 0x%08x to 0x%08llx: %u bytes%s%s%s\n", (unsigned)part->address,
               (unsigned long long)part->address + part->size, (unsigned)part->size,
               where.empty() ? "" : " (", where.c_str(), where.empty() ? "" : ")");
    }
    print_noload_words(image);
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

// The findings and the verdict on standard output, and the accepted image
// as --raw-out. Returns the exit status.
int report(const CliOptions *o, const CliImageFindings *f)
{
    int status = f->accepted ? 0 : CLI_EXIT_USAGE;
    if (f->accepted && o->raw_out[0] != '\0') {
        int written = cli_write_whole(o->program, "--raw-out", o->raw_out, f->padded,
                                      (size_t)f->image.size, o->image_path);
        if (written != 0)
            status = written == -1 ? CLI_EXIT_USAGE : 1;
    }
    if (o->json) {
        if (print_json(o, f) != 0)
            status = CLI_EXIT_USAGE;
    } else if (f->read == 0) {
        print_words(o, f);
    }
    if (!f->accepted) {
        if (!o->json)
            printf("refused\n");
        fprintf(stderr, "%s: REFUSED %s\n", o->program, f->why);
    }
    return status;
}

}  // namespace

int cli_run_image(const CliOptions *o)
{
    // The outputs are looked at before anything is read or written.
    if (cli_check_output(o->program, NULL, "-", CLI_OUTPUT_RECORD, o->image_path) != 0 ||
        (o->raw_out[0] != '\0' && cli_check_output(o->program, "--raw-out", o->raw_out,
                                                   CLI_OUTPUT_WHOLE, o->image_path) != 0))
        return CLI_EXIT_USAGE;
    CliImageFindings f;
    inspect(o, &f);
    int status = report(o, &f);
    free(f.padded);
    if (f.read == 0)
        image_file_free(&f.image);
    return status;
}
