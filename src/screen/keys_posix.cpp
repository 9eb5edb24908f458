// The operator's keys: the bytes the terminal sends decoded into keys, with
// arrow keys that may arrive in pieces.
#include "screen/screen_posix.h"

enum {
    ESCAPE_WAIT_MS = 25,  // how long the rest of an arrow key may lag its ESC
    CSI_LIMIT = 16        // parameter bytes of a sequence we skip at most
};

// Key decoding carries over from one read to the next.
enum DecodeState { PLAIN, AFTER_ESCAPE, IN_SEQUENCE };
static DecodeState decode_state = PLAIN;
static int sequence_length;

static void add_key(Key *keys, int *count, KeyKind kind, char ch)
{
    if (*count >= KEY_BATCH)
        return;
    keys[*count].kind = kind;
    keys[*count].ch = ch;
    ++*count;
}

static void decode(unsigned char byte, Key *keys, int *count)
{
    switch (decode_state) {
    case AFTER_ESCAPE:
        if (byte == '[' || byte == 'O') {
            decode_state = IN_SEQUENCE;
            sequence_length = 0;
            return;
        }
        // ESC and then something else: two keys.
        add_key(keys, count, KEY_ESCAPE, 0);
        decode_state = PLAIN;
        break;
    case IN_SEQUENCE:
        if (byte >= 0x40 && byte <= 0x7e) {  // the final byte
            if (byte == 'A')
                add_key(keys, count, KEY_UP, 0);
            else if (byte == 'B')
                add_key(keys, count, KEY_DOWN, 0);
            decode_state = PLAIN;
        } else if (++sequence_length > CSI_LIMIT) {
            decode_state = PLAIN;  // not a sequence we know: drop it
        }
        return;
    default:
        break;
    }

    if (byte == 0x1b)
        decode_state = AFTER_ESCAPE;
    else if (byte == '\r' || byte == '\n')
        add_key(keys, count, KEY_ENTER, 0);
    else if (byte == 0x7f || byte == 0x08)
        add_key(keys, count, KEY_BACKSPACE, 0);
    else if (byte == 0x15)
        add_key(keys, count, KEY_CLEAR_LINE, 0);
    else if (byte >= 0x20 && byte < 0x7f)
        add_key(keys, count, KEY_CHAR, (char)byte);
    // Other control characters and bytes beyond ASCII are ignored.
}

int terminal_read_keys(Key *keys)
{
    unsigned char bytes[KEY_BATCH];
    int count = 0;
    int n = terminal_read(bytes, sizeof bytes);
    if (n < 0)
        return -1;
    for (int i = 0; i < n; ++i)
        decode(bytes[i], keys, &count);

    // A lone ESC is the Esc key unless the rest of a sequence follows close
    // behind it.
    if (decode_state == AFTER_ESCAPE) {
        int more = terminal_wait(ESCAPE_WAIT_MS) == WAIT_KEYS ? terminal_read(bytes, sizeof bytes) : 0;
        if (more < 0)
            return -1;
        if (more == 0) {
            add_key(keys, &count, KEY_ESCAPE, 0);
            decode_state = PLAIN;
        }
        for (int i = 0; i < more; ++i)
            decode(bytes[i], keys, &count);
    }
    return count;
}
