// `list`: the serial ports found, without opening them, with what tells one
// USB adapter from another (the serial number is what `usb:SERIAL` picks by).
#include "cli/cli.h"

#include <stdio.h>
#include <stdlib.h>

#include "serial/port_info.h"

enum { CLI_LIST_CAPACITY = 256 };

int cli_run_list(const CliOptions *options)
{
    // Large records: kept off the stack.
    static PortInfo ports[CLI_LIST_CAPACITY];
    int count = list_ports(ports, CLI_LIST_CAPACITY);

    if (options->json) {
        size_t size = (size_t)count * 4096 + 64;
        char *text = (char *)malloc(size);
        if (text == NULL || cli_format_port_list_json(ports, count, text, size) < 0) {
            fprintf(stderr, "%s: the list could not be written\n", options->program);
            free(text);
            return CLI_EXIT_PORT;
        }
        printf("%s\n", text);
        free(text);
        return 0;
    }

    if (count == 0) {
        printf("No serial ports found.\n");
        return 0;
    }
    for (int i = 0; i < count; ++i) {
        const PortInfo *p = &ports[i];
        printf("%s", p->path);
        if (p->usb)
            printf("  USB %04x:%04x", p->vid, p->pid);
        if (p->serial[0] != '\0')
            printf("  serial %s", p->serial);
        if (p->manufacturer[0] != '\0' || p->product[0] != '\0')
            printf("  %s%s%s", p->manufacturer, p->manufacturer[0] != '\0' ? " " : "",
                   p->product);
        if (p->friendly_name[0] != '\0')
            printf("  \"%s\"", p->friendly_name);
        if (p->driver[0] != '\0')
            printf("  (%s)", p->driver);
        if (p->console)
            printf("  the system's console: refused as a port");
        printf("\n");
        if (p->stable[0] != '\0')
            printf("    %s\n", p->stable);
    }
    return 0;
}
