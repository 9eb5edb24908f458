#include "session/fatal.h"

#include <stdio.h>
#include <string.h>

static const char CLOSING_TEXT[] = "\n\n The program will now abort\n\n\n";

// Appends text to buffer[*len], keeping the whole within limit - 1 characters
// and terminated.
static void append(char *buffer, size_t limit, size_t *len, const char *text)
{
    size_t room = limit - 1 - *len;
    size_t n = strlen(text);
    if (n > room)
        n = room;
    memcpy(buffer + *len, text, n);
    *len += n;
    buffer[*len] = '\0';
}

size_t compose_fatal_report(char *buffer, size_t capacity, const char *message,
                            uint32_t code, const char *description)
{
    if (buffer == NULL || capacity == 0)
        return 0;
    const size_t closing = sizeof CLOSING_TEXT - 1;
    if (capacity <= closing) {  // not even the closing text fits: cut it
        memcpy(buffer, CLOSING_TEXT, capacity - 1);
        buffer[capacity - 1] = '\0';
        return capacity - 1;
    }
    // Everything before the closing text must leave room for it.
    const size_t limit = capacity - closing;
    size_t len = 0;
    buffer[0] = '\0';
    append(buffer, limit, &len, "\n\nAn Error has occurred as follows:\n");
    append(buffer, limit, &len, "          ");
    append(buffer, limit, &len, message ? message : "");
    append(buffer, limit, &len, "\n");
    if (code != 0) {
        char line[64];
        snprintf(line, sizeof line, "Error number %ld reported\n", (long)(int32_t)code);
        append(buffer, limit, &len, line);
        if (description)
            append(buffer, limit, &len, description);
    }
    memcpy(buffer + len, CLOSING_TEXT, closing + 1);
    return len + closing;
}
