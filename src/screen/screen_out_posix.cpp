// One drawing of the screen, collected and then written at once, so that the
// terminal never shows half a screen.
#include "screen/screen_posix.h"

#include <stdio.h>
#include <string.h>

ScreenOut screen_out;

void out_put(const char *bytes, size_t n)
{
    if (!screen_out.emit)
        return;
    if (n > SCREEN_OUT_CAPACITY - screen_out.len)
        n = SCREEN_OUT_CAPACITY - screen_out.len;  // cannot happen within the screen's bounds
    memcpy(screen_out.text + screen_out.len, bytes, n);
    screen_out.len += n;
}

void out_text(const char *text)
{
    out_put(text, strlen(text));
}

void out_move(int row, int col)
{
    char seq[32];
    int n = snprintf(seq, sizeof seq, "\033[%d;%dH", row, col);
    out_put(seq, (size_t)n);
}

void out_plain(const char *text, int width)
{
    char safe[SCREEN_MAX_COLS];
    int n = 0;
    for (; text[n] != '\0' && n < width && n < SCREEN_MAX_COLS; ++n) {
        unsigned char c = (unsigned char)text[n];
        safe[n] = (c < 0x20 || c >= 0x7f) ? '?' : (char)c;
    }
    out_put(safe, (size_t)n);
}

void out_flush(void)
{
    terminal_write(screen_out.text, screen_out.len);
    screen_out.len = 0;
}
