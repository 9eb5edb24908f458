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

// The status text, or the question in bold while it is asked.
static void put_status(const char *text, int width)
{
    if (!view.asking) {
        out_plain(text, width);
        return;
    }
    out_text("\033[1m");
    out_plain(QUIT_QUESTION, width);
    out_text("\033[0m");
}

// Begins the next row; returns 0 when it lies below the screen.
static int next_row(void)
{
    ++screen_out.row;
    if (screen_out.row > screen_out.rows)
        return 0;
    out_move(screen_out.row, 1);
    return 1;
}

static void end_row(void)
{
    out_text("\033[K");
}

// The width text may take: the last column stays empty, so that no
// terminal wraps or scrolls on its own.
static int usable_width(void)
{
    return screen_out.cols - 1;
}

static void gap(int kind)
{
    if (kind >= screen_out.min_gap && next_row())
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
                out_put(" ", 1);
            out_plain(p, take);
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
        out_text("\033[7m");
    out_text(head);
    int room = usable_width() - (int)strlen(head);
    out_plain(port_table.names[index], room > 0 ? room : 0);
    if (selected && !view.editing)
        out_text("\033[0m");
    PortRefusal refusal = view.refusals[index];
    room -= (int)strlen(port_table.names[index]);
    if (refusal != PORT_ALLOWED && room > 0) {
        char mark[64];
        snprintf(mark, sizeof mark, "  (refused: %s)", port_refusal_words(refusal));
        out_text("\033[2m");
        out_plain(mark, room);
        out_text("\033[0m");
    }
    end_row();
}

static void path_row(Layout *layout)
{
    if (!next_row())
        return;
    int indent = LIST_INDENT + 2;
    for (int i = 0; i < indent; ++i)
        out_put(" ", 1);
    out_text(PATH_PROMPT);
    int room = usable_width() - indent - (int)strlen(PATH_PROMPT) - 1;  // and the cursor
    if (room < 1)
        room = 1;
    // The end of a long path: that is where the typing happens.
    int from = view.path_len > room ? view.path_len - room : 0;
    out_plain(view.path + from, room);
    end_row();
    layout->cursor_row = screen_out.row;
    layout->cursor_col = indent + (int)strlen(PATH_PROMPT) + (view.path_len - from) + 1;
}

// Under the status, from its column: what "Update Device" writes.
static void image_row(int col)
{
    if (!next_row())
        return;
    int indent = col - 1 < usable_width() / 2 ? col - 1 : 0;
    char text[SCREEN_MAX_COLS];
    screen_image_text(text, sizeof text, usable_width() - indent);
    for (int i = 0; i < indent; ++i)
        out_put(" ", 1);
    out_text("\033[2m");
    out_plain(text, usable_width() - indent);
    out_text("\033[0m");
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
        out_text("\033[1m");
        out_plain(CAPTION, usable_width());
        out_text("\033[0m");
        end_row();
    }
    gap(GAP_BLOCK);
    steps(FIRST_STEPS, sizeof FIRST_STEPS / sizeof FIRST_STEPS[0]);
    gap(GAP_BLOCK);

    if (port_table.count == 0 && !view.editing) {
        if (next_row()) {
            out_text("  ");
            out_plain(NO_PORTS, usable_width() - 2);
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
        out_plain(BUTTON, usable_width());
        layout->status_row = screen_out.row;
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
    out_text("\033[2m");
    paragraph(view.editing ? EDIT_HELP : KEYS_HELP, 0);
    out_text("\033[0m");
}

static int rows_needed(int min_gap, int list_rows)
{
    Layout scratch = shown;
    screen_out.emit = 0;
    screen_out.row = 0;
    screen_out.min_gap = min_gap;
    lay_out(&scratch, list_rows);
    return screen_out.row;
}

static void place_cursor(void)
{
    if (view.editing && shown.cursor_row > 0) {
        out_move(shown.cursor_row, shown.cursor_col);
        out_text("\033[?25h");
    } else {
        out_text("\033[?25l");
    }
}

void screen_draw(void)
{
    terminal_size(&screen_out.rows, &screen_out.cols);
    if (screen_out.rows > SCREEN_MAX_ROWS)
        screen_out.rows = SCREEN_MAX_ROWS;
    if (screen_out.cols > SCREEN_MAX_COLS)
        screen_out.cols = SCREEN_MAX_COLS;
    if (screen_out.cols < 2)
        screen_out.cols = 2;

    // Every empty line if it all fits; else only those between blocks; else
    // none, and as many port rows as there is room for (one at least).
    int list_rows = port_table.count;
    int min_gap = GAP_PARAGRAPH;
    while (min_gap <= GAP_BLOCK && rows_needed(min_gap, list_rows) > screen_out.rows)
        ++min_gap;
    int excess = rows_needed(min_gap, list_rows) - screen_out.rows;
    if (excess > 0) {
        list_rows -= excess;
        if (list_rows < 1)
            list_rows = 1;
    }

    screen_out.emit = 1;
    screen_out.len = 0;
    screen_out.row = 0;
    screen_out.min_gap = min_gap;
    out_text("\033[?25l");
    Layout layout;
    layout.rows = screen_out.rows;
    layout.cols = screen_out.cols;
    lay_out(&layout, list_rows);
    if (screen_out.row < screen_out.rows) {  // clear what an earlier, longer screen left
        out_move(screen_out.row + 1, 1);
        out_text("\033[J");
    }
    shown = layout;
    place_cursor();
    out_flush();
}

void screen_show_status(const char *text)
{
    if (shown.status_row == 0)
        return;  // nothing drawn yet: the text is drawn with the screen
    screen_out.emit = 1;
    screen_out.len = 0;
    out_text("\033[?25l");
    out_move(shown.status_row, shown.status_col);
    put_status(text, shown.cols - 1 - shown.status_col + 1);
    out_text("\033[K");
    place_cursor();
    out_flush();
}
