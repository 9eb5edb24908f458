// fwu-devsim's line (devsim_line_posix.cpp).
#ifndef FWU_DEVSIM_LINE_H
#define FWU_DEVSIM_LINE_H

enum { DEVSIM_PATH_CAPACITY = 4096 };

struct DevsimLine {
    int fd;                           // the pty master, or the serial device
    int slave_fd;                     // our own hold on the pty's far end, or -1
    char path[DEVSIM_PATH_CAPACITY];  // the far end, for the tool to open
    const char *link_path;            // the symlink made to path, or NULL
};

// A new pseudo-terminal, raw 8E1, its far end held open by us so that the
// master sees no hang-up between the tool's opens. 0, or -1 with a line on
// stderr.
int devsim_open_pty(DevsimLine *line);

// A real serial line at path, raw 8E1, exclusive. 0, or -1 with a line on
// stderr.
int devsim_open_device(DevsimLine *line, const char *path);

// A symlink at link_path to the line's far end (replacing a symlink, never
// anything else). 0, or -1 with a line on stderr.
int devsim_make_link(DevsimLine *line, const char *link_path);

// Removes the symlink, only while it still points at our far end.
void devsim_remove_link(DevsimLine *line);

#endif
