// A scripted boot loader and a scripted clock for driving the update engine
// deterministically: no real time passes, no port is touched. The engine
// reaches both through the line table and the clock of its DeviceLink
// (fake_attach).
#ifndef FWU_TESTS_FAKE_LINK_H
#define FWU_TESTS_FAKE_LINK_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "protocol/engine.h"

typedef std::vector<unsigned char> Bytes;

struct SentFrame {
    uint32_t at;  // fake tick count when the write happened
    Bytes bytes;
};

// Decides what the device does with one request: call fake_reply() (any
// number of times) to schedule bytes on the line.
typedef std::function<void(const Bytes &request)> FakeDevice;

struct FakeArrival {
    uint32_t at;
    unsigned char byte;
};

struct FakeLine {
    uint32_t now;
    std::vector<FakeArrival> line;  // bytes on their way to the tool, in time order
    std::vector<SentFrame> sent;
    int purges;
    int flushes;
    int gone;  // the device has vanished: port_lost says so
    FakeDevice device;
    std::vector<std::string> statuses;
};

extern FakeLine fake;

// Empties the line and the status record, sets the clock, installs device.
void fake_reset(uint32_t start_ms, FakeDevice device);

// Makes fake the line and the clock of link.
void fake_attach(DeviceLink *link);

// Schedules bytes to arrive delay_ms after the current fake time.
void fake_reply(const Bytes &bytes, uint32_t delay_ms);

// A valid reply frame: bytes followed by their CRC, low byte first.
Bytes sealed(const Bytes &body);

// A 15-byte region-CRC reply carrying crc in bytes 11-12.
Bytes region_crc_reply(uint16_t crc);

// Bytes scheduled but not yet read.
size_t fake_pending(void);

#endif
