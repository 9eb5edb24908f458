// The resend timer of a command-line link: how old a request may get before
// it goes out again, following the device's measured answer times the way
// TCP's retransmission timer follows a connection's (RFC 6298).
//
// A sample is an answer's time from the request's send time, less the time
// the request and a reply take on the wire: what is left is the device's
// turnaround (a block's programming, a region's CRC) and the latency of the
// adapters and the machine in between. From the samples:
//
//   first sample R     SRTT = R, RTTVAR = R / 2
//   each later R       RTTVAR = 3/4 RTTVAR + 1/4 |SRTT - R|, SRTT = 7/8 SRTT + 1/8 R
//   timeout            wire time + SRTT + max(G, 4 RTTVAR), doubled after each
//                      timeout until the next sample, at most the ceiling
//
// RFC 6298's G is the clock's granularity; here it is RESEND_SLACK_MS, how
// long a loaded machine may keep either end from running, so that such a
// pause alone never makes a resend; it also keeps every timeout above
// 100 ms (RFC 6298's 1 s floor is for networks, not a serial line). Until
// RESEND_SAMPLES_MIN samples are in, the timeout is the ceiling (the
// dialog's timeout). Which requests give a sample (Karn's rule: none that
// was resent) is the engine's to decide.
//
// Arithmetic only: no clock, no line.
#ifndef FWU_PROTOCOL_RESEND_TIMER_H
#define FWU_PROTOCOL_RESEND_TIMER_H

#include <stdint.h>

enum {
    RESEND_SLACK_MS = 100,      // G: what jitter may add to an answer's time
    RESEND_SAMPLES_MIN = 3,     // answers measured before the timer is trusted
    RESEND_SAMPLE_MAX_MS = 60000,  // a longer turnaround counts as this long
    RESEND_BACKOFF_MAX = 16     // doublings counted at most
};

struct ResendTimer {
    uint32_t samples;    // answers measured so far
    uint32_t srtt_us;    // smoothed turnaround
    uint32_t rttvar_us;  // its smoothed variation
    uint32_t backoff;    // timeouts since the last sample: the timeout doubles each
};

// No samples, no back-off.
void resend_timer_start(ResendTimer *timer);

// One answer's turnaround in ms (its time less the wire time); ends the
// back-off.
void resend_timer_sample(ResendTimer *timer, uint32_t turnaround_ms);

// A request timed out: the next timeouts are twice as long, until a sample.
void resend_timer_backoff(ResendTimer *timer);

// How old a request whose bytes and reply take wire_ms on the line may get
// before it is resent: never more than ceiling_ms, which also stands until
// RESEND_SAMPLES_MIN samples are in.
uint32_t resend_timer_timeout(const ResendTimer *timer, uint32_t wire_ms, uint32_t ceiling_ms);

// The time count bytes take on the line (115200 baud, 11 bits a byte:
// start, 8 data, parity, stop), in ms rounded up.
uint32_t line_time_ms(int32_t count);

#endif
