// The command line's JSON, written with nlohmann::json, and the words for a
// result and a differing range that the JSON and the result lines share.
// Text that is not valid UTF-8 (a port name, a system message) is replaced,
// never a failure, and nothing thrown leaves this file.
#include "cli/cli.h"
#include "serial/port_info.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include <nlohmann/json.hpp>

namespace {

const char *const CLI_RESULT_NAMES[CLI_RESULT_KINDS] = {
    "running", "done",  "failed",   "port-lost", "open-failed", "timeout",
    "stopped", "match", "mismatch", "stalled",   "current"};

std::string hex16(uint16_t value)
{
    char text[8];
    snprintf(text, sizeof text, "0x%04x", (unsigned)value);
    return text;
}

// A USB adapter's ids as the JSON gives them: "0403:6001".
std::string vid_pid(unsigned vid, unsigned pid)
{
    char id[16];
    snprintf(id, sizeof id, "%04x:%04x", vid & 0xFFFF, pid & 0xFFFF);
    return id;
}

// 1 for a result whose words are a note, not an error.
int good_result(CliResult result)
{
    return result == CLI_RESULT_DONE || result == CLI_RESULT_MATCH || result == CLI_RESULT_CURRENT;
}

// Copies the dumped document into text. Returns its length, or -1.
int put(const nlohmann::ordered_json &document, char *text, size_t size)
{
    std::string out = document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (out.size() + 1 > size)
        return -1;
    memcpy(text, out.c_str(), out.size() + 1);
    return (int)out.size();
}

}  // namespace

const char *cli_result_name(CliResult result)
{
    if (result < CLI_RESULT_RUNNING || result >= CLI_RESULT_KINDS)
        return "unknown";
    return CLI_RESULT_NAMES[result];
}

void cli_range_text(const DifferingBlocks *differing, int i, uint32_t base, char *text,
                    size_t size)
{
    snprintf(text, size, "0x%08x-0x%08x", (unsigned)(base + (uint32_t)differing->start[i]),
             (unsigned)(base + (uint32_t)differing->end[i] - 1));
}

int cli_format_device_json(const CliDeviceSummary *s, const char *version, char *text, size_t size)
{
    try {
        nlohmann::ordered_json o;
        o["port"] = s->port;
        o["path"] = s->path;
        o["result"] = cli_result_name(s->result);
        o["reset_confirmed"] = s->reset_confirmed != 0;
        o["image_name"] = s->image_name != NULL ? s->image_name : "";
        o["image_format"] = s->image_format != NULL ? s->image_format : "";
        o["image_sha256"] = s->image_sha256 != NULL ? s->image_sha256 : "";
        o["image_size"] = s->image_size;
        o["padded_size"] = s->padded_size;
        o["image_crc"] = hex16(s->image_crc);
        if (s->device_crc >= 0)
            o["device_crc"] = hex16((uint16_t)s->device_crc);
        else
            o["device_crc"] = nullptr;
        o["bytes"] = s->bytes;
        o["blocks"] = s->blocks;
        o["resends"] = s->resends;
        o["seconds"] = (double)(long long)(s->seconds * 1000 + 0.5) / 1000;
        // A done device may carry a note (its reset not acknowledged); any
        // other result says why.
        int has_text = s->why != NULL && s->why[0] != '\0';
        int done = good_result(s->result);
        if (has_text && !done)
            o["error"] = s->why;
        else
            o["error"] = nullptr;
        if (has_text && done)
            o["note"] = s->why;
        else
            o["note"] = nullptr;
        o["stale_replies"] = s->stale_replies;
        o["stale_bytes"] = s->stale_bytes;
        if (s->differing != NULL) {
            nlohmann::ordered_json ranges = nlohmann::ordered_json::array();
            for (int i = 0; i < s->differing->range_count && i < DIFFER_RANGES_MAX; ++i) {
                char range[32];
                cli_range_text(s->differing, i, s->base, range, sizeof range);
                ranges.push_back(range);
            }
            o["differing_blocks"] = s->differing->blocks;
            o["differing_ranges"] = ranges;
        }
        if (s->slot > 0) {
            o["slot"] = s->slot;
            o["sequence"] = s->sequence;
        }
        o["started_at"] = s->started_at != NULL ? s->started_at : "";
        o["ended_at"] = s->ended_at != NULL ? s->ended_at : "";
        o["host"] = s->host != NULL ? s->host : "";
        o["run_id"] = s->run_id != NULL ? s->run_id : "";
        if (s->adapter_known) {
            nlohmann::ordered_json adapter;
            if (s->adapter_usb)
                adapter["vid_pid"] = vid_pid(s->vid, s->pid);
            else
                adapter["vid_pid"] = nullptr;
            if (s->adapter_serial != NULL && s->adapter_serial[0] != '\0')
                adapter["serial"] = s->adapter_serial;
            else
                adapter["serial"] = nullptr;
            if (s->adapter_by_id != NULL && s->adapter_by_id[0] != '\0')
                adapter["by_id"] = s->adapter_by_id;
            else
                adapter["by_id"] = nullptr;
            o["adapter"] = adapter;
        } else {
            o["adapter"] = nullptr;
        }
        o["tool_version"] = version;
        return put(o, text, size);
    } catch (...) {
        return -1;
    }
}

int cli_format_port_list_json(const PortInfo *ports, int count, char *text, size_t size)
{
    try {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (int i = 0; i < count; ++i) {
            const PortInfo *p = &ports[i];
            nlohmann::ordered_json o;
            o["path"] = p->path;
            o["stable"] = p->stable;
            o["usb"] = p->usb != 0;
            if (p->usb)
                o["vid_pid"] = vid_pid(p->vid, p->pid);
            else
                o["vid_pid"] = nullptr;
            o["serial"] = p->serial;
            o["manufacturer"] = p->manufacturer;
            o["product"] = p->product;
            o["friendly_name"] = p->friendly_name;
            o["driver"] = p->driver;
            o["console"] = p->console != 0;
            list.push_back(o);
        }
        return put(list, text, size);
    } catch (...) {
        return -1;
    }
}
