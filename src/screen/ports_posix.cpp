// The screen's port list: discovery's ports and the paths the operator
// typed, each looked at (without opening it) for what would refuse it, so
// that a refused row is marked and never chosen by default; and the typing
// of a path.
#include "screen/screen_posix.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

static void add_row(const char *name)
{
    int row = port_table.count < PORT_TABLE_CAPACITY ? port_table.count++ : port_table.count - 1;
    snprintf(port_table.names[row], PORT_NAME_CAPACITY, "%s", name);
    view.refusals[row] = port_refusal(name);
}

static void discover_rows(void)
{
    discover_ports(&port_table);
    for (int i = 0; i < port_table.count; ++i)
        view.refusals[i] = port_refusal(port_table.names[i]);
}

// The first row that may be the adapter, or -1.
static int first_allowed_row(void)
{
    for (int i = 0; i < port_table.count; ++i)
        if (view.refusals[i] == PORT_ALLOWED)
            return i;
    return -1;
}

static int row_named(const char *name)
{
    for (int i = 0; i < port_table.count; ++i)
        if (strcmp(port_table.names[i], name) == 0)
            return i;
    return -1;
}

void fill_port_list(void)
{
    discover_rows();
    view.selected = first_allowed_row();
}

void refresh_port_list(void)
{
    char chosen[PORT_NAME_CAPACITY] = "";
    if (view.selected >= 0 && view.selected < port_table.count)
        memcpy(chosen, port_table.names[view.selected], sizeof chosen);
    fill_port_list();
    if (chosen[0] == '\0')
        return;
    int found = row_named(chosen);
    // A typed path is no discovered port; it stays while it exists.
    if (found < 0 && access(chosen, F_OK) == 0 && port_table.count < PORT_TABLE_CAPACITY) {
        add_row(chosen);
        found = port_table.count - 1;
    }
    if (found >= 0)
        view.selected = found;
}

static void accept_typed_path(void)
{
    view.editing = 0;
    if (view.path_len == 0)
        return;
    int found = row_named(view.path);
    if (found < 0) {
        add_row(view.path);
        found = port_table.count - 1;
    }
    view.selected = found;
}

// ---------------------------------------------------------------------------
// Typing a path

void start_typing_path(const char *first)
{
    view.editing = 1;
    view.path_len = 0;
    view.path[0] = '\0';
    if (first != NULL) {
        view.path_len = (int)strlen(first);
        memcpy(view.path, first, (size_t)view.path_len + 1);
    }
}

void typing_key(const Key *key)
{
    switch (key->kind) {
    case KEY_CHAR:
        if (view.path_len < PORT_NAME_CAPACITY - 1) {
            view.path[view.path_len++] = key->ch;
            view.path[view.path_len] = '\0';
        }
        break;
    case KEY_BACKSPACE:
        if (view.path_len > 0)
            view.path[--view.path_len] = '\0';
        break;
    case KEY_CLEAR_LINE:
        view.path_len = 0;
        view.path[0] = '\0';
        break;
    case KEY_ENTER:
        accept_typed_path();
        break;
    case KEY_ESCAPE:
        view.editing = 0;
        break;
    default:
        break;
    }
    screen_draw();
}
