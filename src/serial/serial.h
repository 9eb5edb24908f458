// The serial link: finding the ports present, opening the chosen one
// exclusively, setting it to the line the boot loader speaks, and the
// synchronous I/O the update engine paces itself by.
//
// One implementation file per platform (serial_win32.cpp, serial_posix.cpp),
// chosen by the build.
//
// Conventions of the serial layer: functions that can fail return 0 for
// success and -1 for failure, with the reason as text where a caller shows
// one (open_port_why, and the port identity of port_info.h); predicates
// return 1 or 0; reads and writes return the count of bytes moved (0 when
// nothing moved or the call failed), and a device that vanished is told by
// port_lost; open_port returns NO_PORT on failure with the system's error
// code left for the caller; answers with more than two outcomes are enums.
#ifndef FWU_SERIAL_SERIAL_H
#define FWU_SERIAL_SERIAL_H

#include <stddef.h>
#include <stdint.h>

#include "serial/transport.h"

// An open port: a record owned by the link (the system's handle and what the
// link keeps about the port), made by open_port and freed by close_port.
// Every function takes NO_PORT safely.
struct SerialPort;
typedef struct SerialPort *PortHandle;
#define NO_PORT ((PortHandle)0)

enum {
    PORT_TABLE_CAPACITY = 998,
    PORT_NAME_CAPACITY = 256,  // names are at most 255 characters
    LINE_BAUD = 115200,
    READ_INTERVAL_MS = 20,     // a read ends after this much silence between bytes
    READ_TOTAL_MS = 100,       // ... or after this long in all
    DISCARD_LIMIT = 65536      // bytes one discard_port_input takes at most
};

struct PortTable {
    int count;
    char names[PORT_TABLE_CAPACITY][PORT_NAME_CAPACITY];
};

// Fills the table with the ports present now, in a stable ascending order,
// under names that open_port accepts. Returns the number found.
int discover_ports(PortTable *table);

// 1 when name can be a port name: present, not empty, and short enough for
// a table entry (at most PORT_NAME_CAPACITY - 1 characters); 0 otherwise.
// Names that fail are refused before they reach the system.
int port_name_ok(const char *name);

// Opens the named port for reading and writing, exclusively. Returns
// NO_PORT when it cannot be opened (absent, busy, bad name, no memory for
// the record), with the system's error code (errno, GetLastError) saying why.
PortHandle open_port(const char *name);

// What the checks before an open say of a port, looked at without opening
// it (nothing is written, no modem line moves): a front end marks a port
// list with it. open_port refuses, with EPERM or ENOTTY, every port that is
// not PORT_ALLOWED; a port that cannot be looked at (absent) is allowed
// here and fails at the open.
enum PortRefusal {
    PORT_ALLOWED = 0,
    PORT_NOT_A_PORT,       // no terminal device (a file, /dev/null, /dev/ptmx)
    PORT_OWN_TERMINAL,     // the terminal this program runs in (/dev/tty, its standard
                           // descriptors, its controlling terminal)
    PORT_SYSTEM_CONSOLE    // the system's console (/dev/console, a virtual console, the
                           // active serial console)
};

PortRefusal port_refusal(const char *name);

// The refusal in a few words: "the system's console"; "" for PORT_ALLOWED.
const char *port_refusal_words(PortRefusal refusal);

enum { OPEN_FAILURE_TEXT_CAPACITY = 640 };

// Why a port did not open.
struct PortOpenFailure {
    uint32_t code;     // the system's error code (errno, GetLastError)
    PortRefusal refusal;  // not PORT_ALLOWED: refused as a device that cannot be
                          // the adapter by the checks port_refusal makes, before
                          // anything was written to it
    char text[OPEN_FAILURE_TEXT_CAPACITY];  // the sentence for the operator: the
                       // system's reason, who holds the port, or the group
                       // whose members may use it
};

// open_port that says why it failed: returns 0 with the port in *port, or
// -1 with *port NO_PORT and *failure filled. The system's error code is left
// as the failed open left it, for a report that asks the system itself.
int open_port_why(const char *name, PortHandle *port, PortOpenFailure *failure);

// 8 data bits, even parity, 1 stop bit at baud; binary, no flow control,
// DTR and RTS inactive; reads end after read_interval_ms of silence between
// bytes or READ_TOTAL_MS in all; writes have no time limit.
// Returns 0, or -1 (with a line on standard error) when the port's settings
// cannot be read; the port is then left as it was.
int configure_port(PortHandle port, uint32_t baud, uint32_t read_interval_ms);

// configure_port that says nothing on standard error: returns 0, or -1 with
// the reason in why.
int configure_port_why(PortHandle port, uint32_t baud, uint32_t read_interval_ms, char *why,
                       size_t why_size);

// Reads up to capacity bytes; returns the count read, 0 when none came or the
// read failed. Returns once capacity bytes arrived, or the interval passed
// between two bytes, or READ_TOTAL_MS passed in all.
int32_t read_port(PortHandle port, unsigned char *buffer, uint32_t capacity);

// Writes count bytes, waiting until the driver has taken them all. Returns
// the count written. (POSIX: waits at most the bytes' time on the line at
// the configured speed plus 2 s, then returns what was taken.)
int32_t write_port(PortHandle port, const unsigned char *bytes, int32_t count);

// ---------------------------------------------------------------------------
// For a tool that need not wait out the read window (the command line).

// read_port that lasts at most total_ms in all (READ_TOTAL_MS at most), and
// also ends as soon as is_whole (when not NULL) says the bytes read so far
// make a whole reply; it is asked after every piece that arrives. A device
// that vanishes meanwhile ends it too (port_lost tells); the bytes read
// before that are returned.
int32_t read_port_until(PortHandle port, unsigned char *buffer, uint32_t capacity,
                        ReplyCheck is_whole, void *context, uint32_t total_ms);

// Reads and throws away the bytes received that wait to be read, without
// waiting for more (at most DISCARD_LIMIT of them); returns how many. A
// device that vanished is noted (port_lost).
int32_t discard_port_input(PortHandle port);

// Asks the driver to pass received bytes on at once instead of holding them
// for a latency timer (Linux: ASYNC_LOW_LATENCY). The previous setting comes
// back at close_port. Returns 0 when set, -1 when the driver has no such
// setting (a pseudo-terminal, or a system that sets it elsewhere).
int set_low_latency(PortHandle port);

// 1 once the system has reported the device behind port as vanished (a read
// or write saw it unplugged or hung up); it stays 1 until close_port. The
// dialog's read_port and write_port go on returning "no bytes" meanwhile.
int port_lost(PortHandle port);

// A remark about how the port was opened that belongs in the trace (on
// Linux: the lock directory could not be written, so only flock and
// TIOCEXCL keep others out), or NULL.
const char *port_note(PortHandle port);

// A sentence for a port that did not open, from the system's error code
// (errno or GetLastError) alone: the system's reason, or the group whose
// members may use it. Bounded by size. (open_port_why says more: who holds
// the port.) On POSIX open_port refuses with EPERM a device that cannot be
// the adapter (the terminal the program runs in, a console), and with EBUSY
// a port held by another program.
void describe_open_failure(const char *path, uint32_t code, char *text, size_t size);

// Removes the lock files (POSIX, /run/lock/LCK..name) of the ports this
// process holds open, those that still name this process. Safe in a signal
// handler: it calls only open, read, close, unlink and getpid. Registered
// with atexit() when the first lock is taken; a program ending by a signal
// calls it itself. Nothing to do on Windows.
void remove_port_locks(void);

// ---------------------------------------------------------------------------

// Discards whatever waits in the transmit and receive buffers.
void purge_port(PortHandle port);

// Waits until written data has left (POSIX: within the same kind of bound
// as a write).
void flush_port(PortHandle port);

void close_port(PortHandle port);

// The engine's line over an open port: its operations are the ones above,
// on port. The port stays the caller's to close.
Transport serial_transport(PortHandle port);

#endif
