// The resend timer's arithmetic: answers measured, timeouts doubled and
// capped, and the wire time of a request.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/resend_timer.h"

namespace {

enum { BACKOFF = -1 };  // in a row's steps: a timeout instead of a sample

// A block request (1035 bytes) and a 15-byte reply: 101 ms on the wire.
const uint32_t BLOCK_WIRE_MS = 101;

TEST(ResendTimer, FollowsTheAnswersBacksOffAndStaysUnderTheCeiling)
{
    struct Row {
        const char *what;
        std::vector<int> steps;  // samples in ms, or BACKOFF
        uint32_t wire_ms, ceiling_ms, timeout_ms;
    } rows[] = {
        {"no answer yet: the dialog's timeout", {}, BLOCK_WIRE_MS, 5000, 5000},
        {"two answers are not enough", {0, 0}, BLOCK_WIRE_MS, 5000, 5000},
        {"an instant device: wire + G", {0, 0, 0}, BLOCK_WIRE_MS, 5000, 201},
        {"25 ms a block: its variation stays under G", {25, 25, 25}, BLOCK_WIRE_MS, 5000, 226},
        {"a short request answered at once", {0, 0, 0}, 3, 5000, 103},
        // SRTT 109.375 ms and RTTVAR 218.75 ms after 0, 1000, 0.
        {"a wild one: four times its variation", {0, 1000, 0}, BLOCK_WIRE_MS, 5000, 1086},
        {"a timeout doubles it", {0, 0, 0, BACKOFF}, BLOCK_WIRE_MS, 5000, 402},
        {"and again", {0, 0, 0, BACKOFF, BACKOFF}, BLOCK_WIRE_MS, 5000, 804},
        {"never past the ceiling", {0, 0, 0, BACKOFF, BACKOFF, BACKOFF, BACKOFF, BACKOFF},
         BLOCK_WIRE_MS, 5000, 5000},
        {"a sample ends the back-off", {0, 0, 0, BACKOFF, BACKOFF, 0}, BLOCK_WIRE_MS, 5000, 201},
        {"under a lower ceiling", {0, 0, 0}, BLOCK_WIRE_MS, 100, 100},
        {"a turnaround past a minute counts as one: SRTT 60 s, RTTVAR 16.875 s",
         {2000000000, 2000000000, 2000000000}, 0, 0xFFFFFFFFu, 127500},
        {"doublings are counted up to 16",
         {0, 0, 0, BACKOFF, BACKOFF, BACKOFF, BACKOFF, BACKOFF, BACKOFF, BACKOFF, BACKOFF, BACKOFF,
          BACKOFF, BACKOFF, BACKOFF, BACKOFF, BACKOFF, BACKOFF, BACKOFF, BACKOFF, BACKOFF},
         1, 0xFFFFFFFFu, 101u << 16},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        ResendTimer t;
        resend_timer_start(&t);
        for (int step : row.steps) {
            if (step == BACKOFF)
                resend_timer_backoff(&t);
            else
                resend_timer_sample(&t, (uint32_t)step);
        }
        EXPECT_EQ(row.timeout_ms, resend_timer_timeout(&t, row.wire_ms, row.ceiling_ms));
    }
}

TEST(ResendTimer, LineTimeAt115200Baud8E1)
{
    struct Row {
        int32_t bytes;
        uint32_t ms;
    } rows[] = {{0, 0}, {-5, 0}, {5, 1}, {1035 + 15, 101}, {11520, 1100}, {11521, 1101}};
    for (const Row &row : rows)
        EXPECT_EQ(row.ms, line_time_ms(row.bytes)) << row.bytes;
}

}  // namespace
