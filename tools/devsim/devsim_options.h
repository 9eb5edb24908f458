// fwu-devsim's command line: every option, its checks and the usage text.
// Kept apart from the I/O shell so the parsing of untrusted arguments is
// tested on its own.
#ifndef FWU_DEVSIM_OPTIONS_H
#define FWU_DEVSIM_OPTIONS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "devsim_core.h"

enum {
    DEVSIM_ATTACH_GAP_MS = 25,  // --attach: USB adapters hand over bytes in
                                // bursts (a pseudo-terminal keeps the core's
                                // default, 5 ms)
    DEVSIM_ERROR_CAPACITY = 256
};

// What the command line asks for.
enum DevsimParse {
    DevsimParseBad = -1,  // bad usage: the reason is in err
    DevsimParseRun = 0,
    DevsimParseHelp = 1,
    DevsimParseVersion = 2
};

struct DevsimOptions {
    DevsimConfig config;
    int pace;                  // 1: the line runs at 115200 8E1 wire speed
    const char *link_path;     // symlink to the pty's far end, or null
    const char *attach_path;   // a real serial device instead of a pty, or null
    uint32_t seconds;          // end after this long; 0: no limit
    const char *dump_path;     // flash dump written at exit, or null
    int64_t dump_size;         // bytes from DEVSIM_APP_BASE to dump; -1: as written
    const char *summary_json;  // machine-readable summary at exit, or null
    int verbose;               // a line per request on standard error
    uint32_t noise_every_ms;   // spontaneous noise while idle; 0: none
    const char *flash_from;    // file loaded at DEVSIM_APP_BASE at every power-up, or null
};

// Parses argv into *options (defaults first), in order: the first -h/--help
// or --version ends the parsing. On DevsimParseBad a one-line reason is in
// err.
DevsimParse devsim_parse_options(int argc, char **argv, DevsimOptions *options, char *err,
                                 size_t err_capacity);

// Parses a selector "[KIND:]ITEM[,ITEM...]" into rule (fault set by the
// caller, default_kind used without a KIND). Returns 0 or -1 with err set.
int devsim_parse_selector(const char *text, int default_kind, DevsimFaultRule *rule, char *err,
                          size_t err_capacity);

// Reads the --flash-from file into buf (capacity bytes at most: the
// application area). Returns 0 with *len set, or -1 with a one-line reason
// in err for a file that cannot be read or does not fit.
int devsim_load_flash_file(const char *path, unsigned char *buf, uint32_t capacity, uint32_t *len,
                           char *err, size_t err_capacity);

// The dump path of device number: every "%d" in pattern replaced by it (the
// pattern is never used as a format). 0, or -1 (out empty) when it does
// not fit.
int devsim_dump_path_for(const char *pattern, uint32_t device, char *out, size_t out_capacity);

void devsim_print_usage(FILE *to);

#endif
