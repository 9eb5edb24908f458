// Parts of the POSIX serial link that its files share and the tests reach
// directly. Not part of the link interface; nothing but the link's POSIX
// files and their tests includes it.
#ifndef FWU_SERIAL_POSIX_INTERNAL_H
#define FWU_SERIAL_POSIX_INTERNAL_H

#include <stddef.h>
#include <sys/types.h>
#include <termios.h>

#include "serial/serial.h"

// Port discovery with the device and sysfs directories given.
// discover_ports() calls it with "/dev" and "/sys"; the tests point it at a
// tree of their own. Fills the table with the serial devices present under
// dev_root, judged by what sys_root tells about them; names are dev_root +
// "/" + device name. Returns the number found.
int discover_ports_under(PortTable *table, const char *dev_root, const char *sys_root);

enum { CONSOLE_NAMES_MAX = 8, CONSOLE_NAME_CAPACITY = 32 };

// The terminals the system uses as its consoles now, as
// <sys_root>/class/tty/console/active names them (ttyS0, tty0): their
// count, with the names (without /dev/) in names. 0 when sysfs does not say.
int active_console_names(const char *sys_root, char names[][CONSOLE_NAME_CAPACITY], int capacity);

// Turns tio into the line the boot loader speaks, at speed: raw 8E1, no flow
// control, modem lines ignored, reads that return at once with what is
// there. Special characters and anything not named stay as they were.
void set_line_settings(struct termios *tio, speed_t speed);

// ---------------------------------------------------------------------------
// Lock files (lock_posix.cpp), in the form terminal programs share:
// <dir>/LCK..<device name under /dev, '/' as '_'>, holding the owner's PID
// as ten ASCII digits and a newline.

enum {
    LOCK_PATH_CAPACITY = 320,  // lock directory, "/LCK..", device name
    LOCK_NOTE_CAPACITY = 512
};

// The directory lock files go to: dir, or with NULL the default (/run/lock
// when it is a directory, else /var/lock). For tests.
void set_lock_directory(const char *dir);

struct PortLock {
    int slot;                       // entry in the table of locks held; -1: none
    long holder;                    // a refusal's holding process; 0: unknown
    char path[LOCK_PATH_CAPACITY];  // the lock file ("" when none applies)
};

enum PortLockResult {
    LOCK_TAKEN = 0,
    LOCK_UNAVAILABLE,  // no lock file can be written (the directory is not writable or
                       // the name does not fit): a sentence in note; the port goes on
    LOCK_HELD          // another process, or this one, holds the device: errno EBUSY,
                       // holder and path set
};

// Takes the lock file for the device open on fd (opened by the name given).
PortLockResult take_port_lock(int fd, const char *name, PortLock *lock, char *note,
                              size_t note_size);

// Removes a lock taken by take_port_lock (the file only while it still
// names this process) and forgets it.
void release_port_lock(PortLock *lock);

// A process other than this one that has the character device rdev open
// (holders_posix.cpp),
// found through /proc/<pid>/fd (only the processes whose descriptors we may
// read): its PID, with its command name in command; 0 when none is seen.
// proc_root is "/proc" but for tests.
long find_other_holder(const char *proc_root, dev_t rdev, char *command, size_t command_size);

// ---------------------------------------------------------------------------
// The port record (port_posix.cpp, serial_posix.cpp, open_posix.cpp)

// What PortHandle points to: the descriptor and what the link keeps about
// the port.
struct SerialPort {
    int fd;
    uint32_t interval_ms;  // read interval; 0: no limit between bytes, only the total
    uint32_t baud;         // line speed, for the bound on writes and drains
    int lost;              // the system reported the device gone
    int latency_saved;     // saved_flags holds the serial flags to restore
    int saved_flags;
    PortLock lock;         // the lock file taken, if any
    char note[LOCK_NOTE_CAPACITY];  // for port_note; "" when none
};

// A record for fd with the default read interval and speed, no lock; NO_PORT
// when there is no memory.
PortHandle new_port(int fd);

// The descriptor behind an open port, or -1; and, for tests, a port record
// around a descriptor opened elsewhere, without any check (close_port
// closes it).
int port_descriptor(PortHandle port);
PortHandle port_from_descriptor(int fd);

#endif
