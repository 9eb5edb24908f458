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
    DEFAULT_GAP_MS_ATTACH = 25,  // --attach: USB adapters hand over bytes in bursts (a
                                 // pseudo-terminal keeps the core's default, 5 ms)
    ERROR_TEXT_CAPACITY = 256
};

struct DevsimOptions {
    DevsimConfig config;
    int pace;                  // 1: the line runs at 115200 8E1 wire speed
    const char *link_path;     // symlink to the pty's far end, or null
    const char *attach_path;   // a real serial device instead of a pty, or null
    uint32_t seconds;          // end after this long; 0: no limit
    const char *dump_path;     // flash dump written at exit, or null
    int64_t dump_size;         // bytes from APP_BASE to dump; -1: as written
    const char *summary_json;  // machine-readable summary at exit, or null
    int verbose;               // a line per request on standard error
    uint32_t noise_every_ms;   // spontaneous noise while idle; 0: none
    const char *flash_from;    // file loaded at APP_BASE at every power-up, or null
};

// Parses argv into *options (defaults first). Returns 0 to run, 1 when help
// was asked for, -1 on bad usage with a one-line reason in err.
int parse_options(int argc, char **argv, DevsimOptions *options, char *err, size_t err_capacity);

// Parses a selector "[KIND:]ITEM[,ITEM...]" into rule (fault set by the
// caller, default_kind used without a KIND). Returns 0 or -1 with err set.
int parse_selector(const char *text, int default_kind, FaultRule *rule, char *err,
                   size_t err_capacity);

// Reads the --flash-from file into buf (capacity bytes at most: the
// application area). Returns 0 with *len set, or -1 with a one-line reason
// in err for a file that cannot be read or does not fit.
int load_flash_file(const char *path, unsigned char *buf, uint32_t capacity, uint32_t *len, char *err,
                    size_t err_capacity);

// The dump path of device number: every "%d" in pattern replaced by it (the
// pattern is never used as a format). 0, or -1 (out empty) when it does
// not fit.
int dump_path_for(const char *pattern, uint32_t device, char *out, size_t out_capacity);

void print_usage(FILE *to);

#endif
