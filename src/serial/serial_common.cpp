#include "serial/serial.h"

#include <stddef.h>

int port_name_ok(const char *name)
{
    if (name == NULL || name[0] == '\0')
        return 0;
    for (int i = 1; i < PORT_NAME_CAPACITY; ++i)
        if (name[i] == '\0')
            return 1;
    return 0;
}
