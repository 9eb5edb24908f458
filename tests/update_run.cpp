#include "update_run.h"

#include <time.h>

#include "protocol/clock.h"
#include "serial/serial.h"

double monotonic_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1000.0 + (double)t.tv_nsec / 1e6;
}

uint32_t run_update_as_shell(DeviceLink *link, uint32_t limit_ms, UpdateRun *run)
{
    UpdateRun local;
    if (run == nullptr)
        run = &local;
    run->steps = 0;
    run->acks_ms.clear();
    for (int s = Start; s <= Done; s++) {
        run->reached_ms[s] = -1;
        run->reached_step[s] = 0;
    }

    const double pressed = monotonic_ms();
    link->state = Start;
    run->reached_ms[Start] = 0;
    for (;;) {
        int32_t offset = link->offset;
        step_update(link);
        run->steps++;
        double now = monotonic_ms() - pressed;
        if (link->offset > offset)
            run->acks_ms.push_back(now);
        if (link->state <= Done && run->reached_ms[link->state] < 0) {
            run->reached_ms[link->state] = now;
            run->reached_step[link->state] = run->steps;
        }
        run->elapsed_ms = now;
        if (link->state == Done || link->state == Failed || now >= limit_ms)
            break;
        sleep_ms(SHELL_TICK_MS);
    }
    run->final_state = link->state;
    return link->state;
}

std::vector<unsigned char> test_pattern(size_t size, unsigned seed)
{
    std::vector<unsigned char> raw(size);
    for (size_t i = 0; i < size; i++)
        raw[i] = (unsigned char)(((i + seed) * 151) ^ (i >> 9) ^ seed);
    return raw;
}

std::vector<unsigned char> padded_bytes(const DeviceLink *link)
{
    if (link->image == nullptr || link->image_size <= 0)
        return std::vector<unsigned char>();
    return std::vector<unsigned char>(link->image, link->image + link->image_size);
}

int open_line_for_update(DeviceLink *link, const char *path)
{
    link->port_name = path;
    link->baud = LINE_BAUD;
    link->port = open_port(path);
    if (link->port == INVALID_HANDLE_VALUE)
        return -1;
    configure_port(link->port, LINE_BAUD, READ_INTERVAL_MS);
    return 0;
}
