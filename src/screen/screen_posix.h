// The Linux tool: the dialog's screen drawn on the terminal the tool runs
// in, its keys read there between ticks. What its files share.
//
//   screen_main_posix.cpp  screen_main: the operator's keys, the tick loop,
//                          leaving (the question during an update)
//   ports_posix.cpp        the port list: discovery, typed paths, refused rows
//   terminal_posix.cpp     the terminal: raw mode and its restoration,
//                          signals, output and the bell
//   keys_posix.cpp         key decoding
//   screen_posix.cpp       the screen: layout, drawing, the status line
//   screen_out_posix.cpp   one drawing, collected and written at once
//   screen_image_posix.cpp the image the options chose: read, handed to the
//                          engine, named; the bundled sample not written
//   fatal_posix.cpp        the fatal error report on standard error
//
// Conventions: functions that can fail return 0 for success and -1 for
// failure (with the reason as text where it is shown), counts or -1;
// answers with more than two outcomes are enums.
#ifndef FWU_SCREEN_SCREEN_POSIX_H
#define FWU_SCREEN_SCREEN_POSIX_H

#include <stddef.h>
#include <stdint.h>

#include "image/image_choice.h"
#include "protocol/engine.h"
#include "serial/serial.h"

// ---------------------------------------------------------------------------
// Process-wide records, created at start-up and kept until the process ends.

struct OperatorView {
    int selected;                    // row of port_table, -1 when none is chosen
    int editing;                     // a device path is being typed
    char path[PORT_NAME_CAPACITY];   // ... this one, printable ASCII only
    int path_len;
    int asking;                      // "q again to abandon it" is on the status line
    PortRefusal refusals[PORT_TABLE_CAPACITY];  // what would refuse each row's port
};

extern DeviceLink device_link;
extern PortTable port_table;
extern OperatorView view;

// ---------------------------------------------------------------------------
// The terminal (terminal_posix.cpp)

enum KeyKind {
    KEY_CHAR,        // a printable ASCII character, in ch
    KEY_UP,
    KEY_DOWN,
    KEY_ENTER,
    KEY_ESCAPE,
    KEY_BACKSPACE,
    KEY_CLEAR_LINE   // Ctrl-U
};

struct Key {
    KeyKind kind;
    char ch;
};

enum { KEY_BATCH = 256 };  // keys returned by one terminal_read_keys at most

// Takes the terminal on standard input for the screen and the keys: opens
// it for reading and writing, switches it to raw-ish mode (no echo, no line
// editing, no flow control, no suspend key) on the alternate screen, and
// installs the handlers for SIGINT, SIGTERM, SIGHUP and SIGWINCH (which wake
// terminal_wait through a pipe), and SIGTSTP and SIGCONT (the terminal given
// back while stopped, raw again and redrawn after). Its descriptor is never
// 0, 1 or 2.
// Returns 0, or -1 with the reason in why (standard input is no terminal).
int terminal_open(char *why, size_t why_size);

// Puts the terminal back as it was found (modes, main screen, cursor).
// Safe to call more than once, and before terminal_open.
void terminal_restore(void);

// 1 when fd is the terminal the screen is drawn on.
int terminal_is(int fd);

// Rows and columns, with 24 x 80 when the terminal does not say.
void terminal_size(int *rows, int *cols);

// Writes all of bytes (the terminal may take them in pieces).
void terminal_write(const char *bytes, size_t count);
void terminal_bell(void);

enum TerminalWait {
    WAIT_KEYS = 0,  // keys are waiting
    WAIT_NOTHING,   // the time ran out, or a signal came (also one just before the call)
    WAIT_GONE       // the terminal is gone
};

// Waits for a key, at most timeout_ms (-1: no limit).
TerminalWait terminal_wait(int timeout_ms);

// Reads what terminal_wait found waiting. Returns the byte count, or -1
// when the terminal is gone (nothing to read after all: end of file).
int terminal_read(unsigned char *bytes, size_t capacity);

// ---------------------------------------------------------------------------
// The keys (keys_posix.cpp)

// Decodes what the operator typed into at most KEY_BATCH keys; call it when
// terminal_wait returned WAIT_KEYS. Returns the count, or -1 when the terminal is gone.
int terminal_read_keys(Key *keys);

// A SIGINT, SIGTERM or SIGHUP that arrived and has not been acted on (0 when
// none). A second one before the first is acted on restores the terminal
// and ends the process at once, for a step that never returns.
int terminal_pending_signal(void);

// Forgets the signal terminal_pending_signal reports: the screen asks
// before it acts on a SIGINT during an update. The next one is pending anew.
void terminal_take_signal(void);

// 1 once after each SIGWINCH.
int terminal_take_resize(void);

// ---------------------------------------------------------------------------
// The port list (ports_posix.cpp)

// Fills port_table from discovery, each row looked at for what would refuse
// its port, and chooses the first row that may be the adapter (-1: none).
void fill_port_list(void);

// Looks for ports again; the chosen row stays chosen while its port is
// there, else the first row that may be the adapter is chosen.
void refresh_port_list(void);

// Starts typing a device path, with first (NULL: nothing) typed already.
void start_typing_path(const char *first);

// A key while a path is typed: Enter accepts it, Esc cancels, Backspace
// deletes, Ctrl-U clears; the screen is redrawn. The path accepted becomes
// the chosen row: the row that already has it, or a new one at the end of
// the list (in place of the last when the list is full).
void typing_key(const Key *key);

// ---------------------------------------------------------------------------
// The image (screen_image_posix.cpp)

// Reads, checks and lays out the image choice names, before the terminal
// is taken. Returns 0 (with the image, or with nothing to write: the
// bundled sample, refused without --allow-sample), or -1 with the refusal
// in why, in the command line's words.
int screen_read_image(const ImageChoice *choice, char *why, size_t why_size);

// Gives link (after init_link) the image read and traces where it lies; with
// nothing to write, says why on the status line and in the trace.
void screen_give_image(DeviceLink *link);

// 1 when there is an image to write; 0 after saying, on the status line and
// in the trace, that "Update Device" sends nothing and why.
int screen_has_image(void);

// The line that names the image, at most width characters where it can:
// "Image app.hex: Intel HEX, 2056 bytes, CRC-16 0x1234" (a long name cut
// from the left), or why there is none.
void screen_image_text(char *text, size_t size, int width);

// ---------------------------------------------------------------------------
// One drawing (screen_out_posix.cpp): escape sequences and text collected,
// then written to the terminal at once. With emit off it only counts rows,
// to find a layout that fits.

enum {
    SCREEN_MAX_COLS = 400,
    SCREEN_MAX_ROWS = 300,  // a taller terminal gets the first 300 rows drawn
    SCREEN_OUT_CAPACITY = SCREEN_MAX_ROWS * (SCREEN_MAX_COLS + 64)
};

struct ScreenOut {
    char text[SCREEN_OUT_CAPACITY];
    size_t len;
    int emit;
    int row;        // rows used so far
    int rows, cols; // the terminal
    int min_gap;    // empty lines of a kind below this are left out
};

extern ScreenOut screen_out;

// Adds bytes (nothing while emit is off; never past the capacity).
void out_put(const char *bytes, size_t n);
void out_text(const char *text);
void out_move(int row, int col);

// Adds at most width characters of text, each control or non-ASCII byte
// shown as '?': port names and status texts reach the terminal only as
// plain characters.
void out_plain(const char *text, int width);

// Writes what was collected and empties the drawing.
void out_flush(void);

// ---------------------------------------------------------------------------
// The screen (screen_posix.cpp)

// Draws the whole screen from view, port_table and the current status.
void screen_draw(void);

// The status sink: rewrites the status line in place. While view.asking the
// line holds the question instead (the text is drawn once it is withdrawn).
void screen_show_status(const char *text);

#endif
