// The resend timer's arithmetic (resend_timer.h), in microseconds so that
// the smoothing keeps what a millisecond clock cannot show.
#include "protocol/resend_timer.h"

#include "serial/serial.h"

enum { BITS_PER_BYTE = 11 };

void resend_timer_start(ResendTimer *timer)
{
    timer->samples = 0;
    timer->srtt_us = 0;
    timer->rttvar_us = 0;
    timer->backoff = 0;
}

void resend_timer_sample(ResendTimer *timer, uint32_t turnaround_ms)
{
    if (turnaround_ms > RESEND_SAMPLE_MAX_MS)
        turnaround_ms = RESEND_SAMPLE_MAX_MS;
    uint32_t r = turnaround_ms * 1000u;
    if (timer->samples == 0) {
        timer->srtt_us = r;
        timer->rttvar_us = r / 2;
    } else {
        uint32_t delta = timer->srtt_us > r ? timer->srtt_us - r : r - timer->srtt_us;
        timer->rttvar_us = (3 * timer->rttvar_us + delta) / 4;
        timer->srtt_us = (7 * timer->srtt_us + r) / 8;
    }
    if (timer->samples < UINT32_MAX)
        timer->samples++;
    timer->backoff = 0;
}

void resend_timer_backoff(ResendTimer *timer)
{
    if (timer->backoff < RESEND_BACKOFF_MAX)
        timer->backoff++;
}

uint32_t resend_timer_timeout(const ResendTimer *timer, uint32_t wire_ms, uint32_t ceiling_ms)
{
    if (timer->samples < RESEND_SAMPLES_MIN)
        return ceiling_ms;
    uint64_t spread_us = 4ull * timer->rttvar_us;
    if (spread_us < RESEND_SLACK_MS * 1000ull)
        spread_us = RESEND_SLACK_MS * 1000ull;
    uint64_t ms = wire_ms + (timer->srtt_us + spread_us + 999) / 1000;
    ms <<= timer->backoff;
    return ms < ceiling_ms ? (uint32_t)ms : ceiling_ms;
}

uint32_t line_time_ms(int32_t count)
{
    if (count <= 0)
        return 0;
    uint64_t bits = (uint64_t)count * BITS_PER_BYTE;
    return (uint32_t)((bits * 1000 + LINE_BAUD - 1) / LINE_BAUD);
}
