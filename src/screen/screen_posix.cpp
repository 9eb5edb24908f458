// The dialog on the terminal, top to bottom in the dialog's own order: the
// caption, instructions 1 to 4, the port list with the "Update Device"
// button and the status line beside it (and under it the image it writes),
// the LED note, instructions 5 to 8, and a line that names the keys.
// Paragraphs are word-wrapped to the width; on a short terminal the empty
// lines go first, then rows of the port list scroll.
#include "screen/screen_posix.h"

#include <stdio.h>
#include <string.h>

#include "protocol/report.h"

static const char CAPTION[] = "Device Firmware Update Tool";

static const char *const FIRST_STEPS[] = {
    "1) Completely UNPLUG the Device requiring update, so it is powered-down.",
    "2) Connect the Velkor to the PC but do not connect to the Device yet.",
    "3) Choose the COM port below corresponding to the Velkor.",
    "4) Press the \"\"Update Device\"\" button.",
};

static const char LED_NOTE[] =
    "There should now be a flashing red LED on the Velkor provided the correct COM port was "
    "chosen.";

static const char *const LAST_STEPS[] = {
    "5) Now plug the Velkor into the REMOTE port on the Device (powering it up).",
    "6) Programming should start automatically.",
    "7) After programming the unit should restart automatically.",
    "8) The procedure above can be retried if not successful.",
};

static const char BUTTON[] = "[ Update Device ]  ";  // the status follows it
static const char NO_PORTS[] = "(no serial ports found: press p to type a device path)";
static const char PATH_PROMPT[] = "Device path: ";
static const char KEYS_HELP[] =
    "Keys: Up/Down or 1-9 choose a port, p or / type a device path, "
    "Enter or u Update Device, r look for ports again, q quit (during an update it asks first)";
static const char QUIT_QUESTION[] = "update in progress: q again to abandon it";
static const char EDIT_HELP[] =
    "Typing a device path: Enter accepts, Esc cancels, Backspace deletes";

enum {
    MAX_COLS = 400,
    MAX_ROWS = 300,  // a taller terminal gets the first 300 rows drawn
    OUT_CAPACITY = MAX_ROWS * (MAX_COLS + 64),
    LIST_INDENT = 2,
    // Empty lines: between paragraphs of one block, between blocks.
    GAP_PARAGRAPH = 1,
    GAP_BLOCK = 2
};

// Where the last drawing put what is updated in place (rows and columns
// from 1; row 0: not on screen).
struct Layout {
    int rows, cols;
    int status_row, status_col;
    int cursor_row, cursor_col;  // the end of the path being typed
    int list_top;                // first port row shown
};

static Layout shown;

// One drawing: escape sequences and text collected here, then written at
// once. With emit off it only counts rows, to find a layout that fits.
struct Out {
    char text[OUT_CAPACITY];
    size_t len;
    int emit;
    int row;        // rows used so far
    int rows, cols; // the terminal
    int min_gap;    // empty lines of a kind below this are left out
};

static Out out;

static void put(const char *bytes, size_t n)
{
    if (!out.emit)
        return;
    if (n > OUT_CAPACITY - out.len)
        n = OUT_CAPACITY - out.len;  // cannot happen within the bounds above
    memcpy(out.text + out.len, bytes, n);
    out.len += n;
}

static void put_text(const char *text)
{
    put(text, strlen(text));
}

static void move_to(int row, int col)
{
    char seq[32];
    int n = snprintf(seq, sizeof seq, "\033[%d;%dH", row, col);
    put(seq, (size_t)n);
}

// Writes at most width characters of text, each control or non-ASCII byte
// shown as '?': port names and status texts reach the terminal only as
// plain characters.
static void put_plain(const char *text, int width)
{
    char safe[MAX_COLS];
    int n = 0;
    for (; text[n] != '\0' && n < width && n < MAX_COLS; ++n) {
        unsigned char c = (unsigned char)text[n];
        safe[n] = (c < 0x20 || c >= 0x7f) ? '?' : (char)c;
    }
    put(safe, (size_t)n);
}

// The status text, or the question in bold while it is asked.
static void put_status(const char *text, int width)
{
    if (!view.asking) {
        put_plain(text, width);
        return;
    }
    put_text("\033[1m");
    put_plain(QUIT_QUESTION, width);
    put_text("\033[0m");
}

// Begins the next row; returns 0 when it lies below the screen.
static int next_row(void)
{
    ++out.row;
    if (out.row > out.rows)
        return 0;
    move_to(out.row, 1);
    return 1;
}

static void end_row(void)
{
    put_text("\033[K");
}

// The width text may take: the last column stays empty, so that no
// terminal wraps or scrolls on its own.
static int usable_width(void)
{
    return out.cols - 1;
}

static void gap(int kind)
{
    if (kind >= out.min_gap && next_row())
        end_row();
}

// A paragraph, broken at spaces to the width (a word longer than a row is
// broken where the row ends).
static void paragraph(const char *text, int indent)
{
    int width = usable_width() - indent;
    if (width < 1)
        width = 1;
    const char *p = text;
    while (*p != '\0') {
        int len = (int)strlen(p);
        int take = len;
        if (len > width) {
            take = width;
            while (take > 0 && p[take] != ' ')
                --take;
            if (take == 0)
                take = width;
        }
        if (next_row()) {
            for (int i = 0; i < indent; ++i)
                put(" ", 1);
            put_plain(p, take);
            end_row();
        }
        p += take;
        while (*p == ' ')
            ++p;
    }
}

static void steps(const char *const *texts, int count)
{
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            gap(GAP_PARAGRAPH);
        paragraph(texts[i], 0);
    }
}

static void port_row(int index, int number_width)
{
    if (!next_row())
        return;
    char head[32];
    int selected = index == view.selected;
    snprintf(head, sizeof head, "%*s%s %*d  ", LIST_INDENT, "", selected ? ">" : " ",
             number_width, index + 1);
    if (selected && !view.editing)
        put_text("\033[7m");
    put_text(head);
    int room = usable_width() - (int)strlen(head);
    put_plain(port_table.names[index], room > 0 ? room : 0);
    if (selected && !view.editing)
        put_text("\033[0m");
    PortRefusal refusal = view.refusals[index];
    room -= (int)strlen(port_table.names[index]);
    if (refusal != PORT_ALLOWED && room > 0) {
        char mark[64];
        snprintf(mark, sizeof mark, "  (refused: %s)", port_refusal_words(refusal));
        put_text("\033[2m");
        put_plain(mark, room);
        put_text("\033[0m");
    }
    end_row();
}

static void path_row(Layout *layout)
{
    if (!next_row())
        return;
    int indent = LIST_INDENT + 2;
    for (int i = 0; i < indent; ++i)
        put(" ", 1);
    put_text(PATH_PROMPT);
    int room = usable_width() - indent - (int)strlen(PATH_PROMPT) - 1;  // and the cursor
    if (room < 1)
        room = 1;
    // The end of a long path: that is where the typing happens.
    int from = view.path_len > room ? view.path_len - room : 0;
    put_plain(view.path + from, room);
    end_row();
    layout->cursor_row = out.row;
    layout->cursor_col = indent + (int)strlen(PATH_PROMPT) + (view.path_len - from) + 1;
}

// Under the status, from its column: what "Update Device" writes.
static void image_row(int col)
{
    if (!next_row())
        return;
    int indent = col - 1 < usable_width() / 2 ? col - 1 : 0;
    char text[MAX_COLS];
    screen_image_text(text, sizeof text, usable_width() - indent);
    for (int i = 0; i < indent; ++i)
        put(" ", 1);
    put_text("\033[2m");
    put_plain(text, usable_width() - indent);
    put_text("\033[0m");
    end_row();
}

// Port rows shown at most, and which comes first, so that the selected row
// is among them.
static void list_window(Layout *layout, int list_rows)
{
    int count = port_table.count;
    if (list_rows >= count || list_rows < 1) {
        layout->list_top = 0;
        return;
    }
    int top = shown.list_top;
    if (view.selected >= 0 && view.selected < top)
        top = view.selected;
    if (view.selected >= top + list_rows)
        top = view.selected - list_rows + 1;
    if (top > count - list_rows)
        top = count - list_rows;
    if (top < 0)
        top = 0;
    layout->list_top = top;
}

// The whole screen; list_rows bounds the port rows shown.
static void lay_out(Layout *layout, int list_rows)
{
    layout->status_row = 0;
    layout->cursor_row = 0;

    if (next_row()) {
        put_text("\033[1m");
        put_plain(CAPTION, usable_width());
        put_text("\033[0m");
        end_row();
    }
    gap(GAP_BLOCK);
    steps(FIRST_STEPS, sizeof FIRST_STEPS / sizeof FIRST_STEPS[0]);
    gap(GAP_BLOCK);

    if (port_table.count == 0 && !view.editing) {
        if (next_row()) {
            put_text("  ");
            put_plain(NO_PORTS, usable_width() - 2);
            end_row();
        }
    }
    list_window(layout, list_rows);
    int number_width = port_table.count >= 100 ? 3 : port_table.count >= 10 ? 2 : 1;
    for (int i = layout->list_top; i < port_table.count && i < layout->list_top + list_rows; ++i)
        port_row(i, number_width);
    if (view.editing)
        path_row(layout);

    if (next_row()) {
        put_plain(BUTTON, usable_width());
        layout->status_row = out.row;
        layout->status_col = (int)sizeof BUTTON;
        put_status(current_status(), usable_width() - layout->status_col + 1);
        end_row();
    }
    image_row(layout->status_col);
    gap(GAP_BLOCK);
    paragraph(LED_NOTE, 0);
    gap(GAP_BLOCK);
    steps(LAST_STEPS, sizeof LAST_STEPS / sizeof LAST_STEPS[0]);
    gap(GAP_BLOCK);
    put_text("\033[2m");
    paragraph(view.editing ? EDIT_HELP : KEYS_HELP, 0);
    put_text("\033[0m");
}

static int rows_needed(int min_gap, int list_rows)
{
    Layout scratch = shown;
    out.emit = 0;
    out.row = 0;
    out.min_gap = min_gap;
    lay_out(&scratch, list_rows);
    return out.row;
}

static void place_cursor(void)
{
    if (view.editing && shown.cursor_row > 0) {
        move_to(shown.cursor_row, shown.cursor_col);
        put_text("\033[?25h");
    } else {
        put_text("\033[?25l");
    }
}

static void flush_out(void)
{
    terminal_write(out.text, out.len);
    out.len = 0;
}

void screen_draw(void)
{
    terminal_size(&out.rows, &out.cols);
    if (out.rows > MAX_ROWS)
        out.rows = MAX_ROWS;
    if (out.cols > MAX_COLS)
        out.cols = MAX_COLS;
    if (out.cols < 2)
        out.cols = 2;

    // Every empty line if it all fits; else only those between blocks; else
    // none, and as many port rows as there is room for (one at least).
    int list_rows = port_table.count;
    int min_gap = GAP_PARAGRAPH;
    while (min_gap <= GAP_BLOCK && rows_needed(min_gap, list_rows) > out.rows)
        ++min_gap;
    int excess = rows_needed(min_gap, list_rows) - out.rows;
    if (excess > 0) {
        list_rows -= excess;
        if (list_rows < 1)
            list_rows = 1;
    }

    out.emit = 1;
    out.len = 0;
    out.row = 0;
    out.min_gap = min_gap;
    put_text("\033[?25l");
    Layout layout;
    layout.rows = out.rows;
    layout.cols = out.cols;
    lay_out(&layout, list_rows);
    if (out.row < out.rows) {  // clear what an earlier, longer screen left
        move_to(out.row + 1, 1);
        put_text("\033[J");
    }
    shown = layout;
    place_cursor();
    flush_out();
}

void screen_show_status(const char *text)
{
    if (shown.status_row == 0)
        return;  // nothing drawn yet: the text is drawn with the screen
    out.emit = 1;
    out.len = 0;
    put_text("\033[?25l");
    move_to(shown.status_row, shown.status_col);
    put_status(text, shown.cols - 1 - shown.status_col + 1);
    put_text("\033[K");
    place_cursor();
    flush_out();
}
