#include "fake_link.h"

#include <algorithm>

#include "protocol/frame.h"
#include "protocol/report.h"
#include "serial/serial.h"

FakeLine fake;

namespace {

void record_status(const char *text)
{
    fake.statuses.push_back(text);
}

// Signed distance, so comparisons survive the counter's wrap.
int32_t since(uint32_t later, uint32_t earlier)
{
    return (int32_t)(later - earlier);
}

}  // namespace

void fake_reset(uint32_t start_ms, FakeDevice device)
{
    fake.now = start_ms;
    fake.sent.clear();
    fake.purges = 0;
    fake.flushes = 0;
    fake.gone = 0;
    fake.device = device;
    fake.statuses.clear();
    fake.line.clear();
    set_status_sink(record_status);
}

void fake_reply(const Bytes &bytes, uint32_t delay_ms)
{
    // A byte takes about 0.1 ms at 115200 baud; the model delivers a reply
    // at once, which is what a read with a 20 ms interval sees.
    uint32_t at = fake.now + delay_ms;
    for (unsigned char b : bytes)
        fake.line.push_back({at, b});
    std::stable_sort(fake.line.begin(), fake.line.end(), [](const FakeArrival &a, const FakeArrival &b) {
        return since(a.at, b.at) < 0;
    });
}

size_t fake_pending(void)
{
    return fake.line.size();
}

Bytes sealed(const Bytes &body)
{
    Bytes out = body;
    uint16_t crc = crc16(body.data(), (int32_t)body.size());
    out.push_back((unsigned char)(crc & 0xFF));
    out.push_back((unsigned char)(crc >> 8));
    return out;
}

Bytes region_crc_reply(uint16_t crc)
{
    Bytes body = {UNIT_ADDRESS, FRAME_FUNCTION, OP_REGION_CRC, 0, 0, 0, 0, 0, 0, 0, 0,
                  (unsigned char)(crc >> 8), (unsigned char)(crc & 0xFF)};
    return sealed(body);
}

namespace {

uint32_t fake_now(void *context)
{
    return ((FakeLine *)context)->now;
}

void fake_pause(void *context, uint32_t ms)
{
    ((FakeLine *)context)->now += ms;
}

// A read returns once capacity bytes are in, or 20 ms passed with no new
// byte, or 100 ms passed in all.
int32_t fake_read(void *context, unsigned char *buffer, uint32_t capacity)
{
    FakeLine &fake = *(FakeLine *)context;
    std::vector<FakeArrival> &line = fake.line;
    uint32_t start = fake.now;
    if (line.empty() || since(line.front().at, start + READ_TOTAL_MS) > 0) {
        fake.now = start + READ_TOTAL_MS;
        return 0;
    }
    uint32_t last = since(line.front().at, start) > 0 ? line.front().at : start;
    uint32_t n = 0;
    while (n < capacity && !line.empty() &&
           since(line.front().at, last + READ_INTERVAL_MS) <= 0 &&
           since(line.front().at, start + READ_TOTAL_MS) <= 0) {
        if (since(line.front().at, last) > 0)
            last = line.front().at;
        buffer[n++] = line.front().byte;
        line.erase(line.begin());
    }
    uint32_t end = n == capacity ? last : last + READ_INTERVAL_MS;
    if (since(end, start + READ_TOTAL_MS) > 0)
        end = start + READ_TOTAL_MS;
    fake.now = end;
    return (int32_t)n;
}

// As read_port, within total_ms, and also ends once is_whole accepts the
// bytes so far; it is asked after each group of bytes that arrive at the
// same moment.
int32_t fake_read_until(void *line_context, unsigned char *buffer, uint32_t capacity,
                        ReplyCheck is_whole, void *context, uint32_t total_ms)
{
    FakeLine &fake = *(FakeLine *)line_context;
    std::vector<FakeArrival> &line = fake.line;
    uint32_t start = fake.now;
    uint32_t total = total_ms < READ_TOTAL_MS ? total_ms : (uint32_t)READ_TOTAL_MS;
    uint32_t last = start;
    uint32_t n = 0;
    while (n < capacity && !line.empty()) {
        uint32_t at = since(line.front().at, start) > 0 ? line.front().at : start;
        if (since(at, start + total) > 0 || (n > 0 && since(at, last + READ_INTERVAL_MS) > 0))
            break;
        while (n < capacity && !line.empty() && since(line.front().at, at) <= 0) {
            buffer[n++] = line.front().byte;
            line.erase(line.begin());
        }
        last = at;
        if (is_whole != NULL && is_whole(buffer, (int32_t)n, context)) {
            fake.now = at;
            return (int32_t)n;
        }
    }
    uint32_t end = n == 0 ? start + total : n == capacity ? last : last + READ_INTERVAL_MS;
    if (since(end, start + total) > 0)
        end = start + total;
    fake.now = end;
    return (int32_t)n;
}

int fake_lost(void *context)
{
    return ((FakeLine *)context)->gone;
}

int32_t fake_write(void *context, const unsigned char *bytes, int32_t count)
{
    FakeLine &fake = *(FakeLine *)context;
    Bytes request(bytes, bytes + count);
    fake.sent.push_back({fake.now, request});
    if (fake.device)
        fake.device(request);
    return count;
}

void fake_purge(void *context)
{
    FakeLine &fake = *(FakeLine *)context;
    uint32_t now = fake.now;
    fake.line.erase(std::remove_if(fake.line.begin(), fake.line.end(),
                                   [now](const FakeArrival &a) { return since(a.at, now) <= 0; }),
                    fake.line.end());
    fake.purges++;
}

// The bytes that have arrived by now, dropped and counted.
int32_t fake_discard_input(void *context)
{
    FakeLine &fake = *(FakeLine *)context;
    uint32_t now = fake.now;
    size_t before = fake.line.size();
    fake.line.erase(std::remove_if(fake.line.begin(), fake.line.end(),
                                   [now](const FakeArrival &a) { return since(a.at, now) <= 0; }),
                    fake.line.end());
    return (int32_t)(before - fake.line.size());
}

void fake_flush(void *context)
{
    ((FakeLine *)context)->flushes++;
}

const TransportOps FAKE_OPS = {fake_read,          fake_read_until, fake_write, fake_purge,
                               fake_discard_input, fake_flush,      fake_lost};

}  // namespace

void fake_attach(DeviceLink *link)
{
    link->line.ops = &FAKE_OPS;
    link->line.context = &fake;
    link->clock.now_ms = fake_now;
    link->clock.pause_ms = fake_pause;
    link->clock.context = &fake;
}
