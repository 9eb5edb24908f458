// The fault matrix: whole updates against fwu-devsim with one kind of
// misbehaving line or device per row, for images of several sizes. Every
// cell must end in Done with the device's flash equal to the padded image
// (and the device reset), or, where the device reports a wrong CRC, in
// Failed without a reset request ever reaching the device. Done with other
// flash is never right.
//
// Each cell is its own test with its own simulator, pseudo-terminal and
// scratch files, so ctest may run them in parallel. Each writes one line
// (fault, targets, size, outcome, bytes compared, mismatches) into the
// results directory; fault_matrix_table.cmake gathers the lines into one
// table after the run.
//
// The line is not paced: the faults bring their own timing (a split reply's
// 80 ms gap, a late reply's 5.1 s, a device silent for its first 3 s). A fault that makes the tool wait for its
// 5 s resend costs 5 s, so each cell hits at most one block or verify reply
// in that way, and the probe and reset replies (resent after 100 ms) freely.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

#include "image/image.h"
#include "protocol/engine.h"
#include "serial/serial.h"
#include "testkit.h"

using namespace testkit;

namespace {

enum {
    UPDATE_LIMIT_MS = 60000,  // the slowest cell pays two 5 s resends
    DEVICE_END_MS = 15000
};

struct Cell {
    int index;                      // orders the results table
    std::string name;               // the test's name: fault, target, size
    std::string fault;              // the row
    std::string targets;            // which replies it hits, for the table
    size_t size;                    // raw image bytes
    std::vector<std::string> args;  // fwu-devsim options
    uint32_t expect;                // Done, or Failed
    std::string fault_counter;      // summary counter of the fault ("" none)
    long long fault_count;          // how often it must have struck
};

const size_t SIZES[] = {1, 1024, 1025, 100000};

long blocks_of(size_t size)
{
    return size == 0 ? 1 : (long)((size - 1) / BLOCK_SIZE + 1);
}

std::string size_name(size_t size)
{
    return std::to_string(size) + "B";
}

// Rows whose costly target alternates between the last block's ack and the
// verify reply, so that over the row every size meets both and over the
// sizes every row does.
struct SweptRow {
    const char *fault;        // name in the table
    const char *option;       // fwu-devsim option
    const char *probes;       // probe replies hit (cheap: probes are resent every tick)
    long long probe_hits;
    std::vector<std::string> extra;
};

void add_swept_rows(std::vector<Cell> *cells)
{
    const SweptRow rows[] = {
        {"drop", "--drop", "probe:1-2", 2, {}},
        {"corrupt", "--corrupt", "probe:2", 1, {}},
        // The gap is far beyond the tool's 20 ms read interval, so the tool
        // reads the first part alone even when it is slow to start its read,
        // and below the reset's 100 ms retry. (A split reset ack read whole
        // would end the update while the device, which resets only after a
        // clean ack, still waits.)
        {"split", "--split", "probe:1-3", 3, {"--split-gap-ms", "80"}},
        {"noise", "--noise", "probe:1-2", 2, {"--noise-bytes", "12"}},
    };
    int r = 0;
    for (const SweptRow &row : rows) {
        int s = 0;
        for (size_t size : SIZES) {
            bool block = (r + s) % 2 == 0;
            std::string last = "block:" + std::to_string(blocks_of(size));
            Cell c;
            c.fault = row.fault;
            c.name = c.fault + (block ? "_block_" : "_verify_") + size_name(size);
            c.targets = std::string(row.probes) + "," + (block ? last : "verify:1") + ",reset:1";
            c.size = size;
            c.args = {row.option, row.probes, row.option, block ? last : "verify:1", row.option,
                      "reset:1"};
            c.args.insert(c.args.end(), row.extra.begin(), row.extra.end());
            c.expect = Done;
            c.fault_counter = std::string("faults.") + row.fault;
            c.fault_count = row.probe_hits + 2;
            cells->push_back(c);
            s++;
        }
        r++;
    }
}

std::vector<Cell> matrix_cells()
{
    std::vector<Cell> cells;
    for (size_t size : SIZES) {
        Cell c;
        c.fault = "clean";
        c.targets = "-";
        c.size = size;
        c.expect = Done;
        c.fault_count = 0;
        cells.push_back(c);
    }
    add_swept_rows(&cells);

    // A reply after the tool's timeout meets the reply to the resend on the
    // line; the target goes round the request kinds. (A late reset ack is
    // left out: the device resets on the resend, whose ack arrives glued to
    // the late one and is rejected, and the tool has nobody left to answer
    // its resends; see docs/fault-matrix.md.)
    const char *late_targets[] = {"block:1", "verify:1", "probe:2", NULL};
    int s = 0;
    for (size_t size : SIZES) {
        std::string target = late_targets[s] ? late_targets[s]
                                             : "block:" + std::to_string(blocks_of(size) / 2);
        Cell c;
        c.fault = "late";
        c.name = "late_" + target.substr(0, target.find(':')) + "_" + size_name(size);
        c.targets = target;
        c.size = size;
        c.args = {"--late", target, "--late-ms", "5100"};
        c.expect = Done;
        c.fault_counter = "faults.late";
        c.fault_count = 1;
        cells.push_back(c);
        s++;
    }

    for (size_t size : SIZES) {
        Cell c;
        c.fault = "silent";
        c.targets = "first 3000 ms";
        c.size = size;
        // Long enough that the first probes fall in it however slowly the
        // tool gets going after the simulator started.
        c.args = {"--silent-ms", "3000"};
        c.expect = Done;
        c.fault_count = 0;
        cells.push_back(c);
    }
    for (size_t size : SIZES) {
        Cell c;
        c.fault = "wrongcrc";
        c.targets = "verify:1";
        c.size = size;
        c.args = {"--wrong-crc", "verify:1"};
        c.expect = Failed;
        c.fault_counter = "faults.wrong-crc";
        c.fault_count = 1;
        cells.push_back(c);
    }
    for (size_t size : SIZES) {
        std::string last = "block:" + std::to_string(blocks_of(size));
        Cell c;
        c.fault = "short";
        c.targets = last + ",verify:1";
        c.size = size;
        c.args = {"--short", last, "--short", "verify:1"};
        c.expect = Done;
        c.fault_counter = "faults.short";
        c.fault_count = 2;
        cells.push_back(c);
    }

    for (size_t i = 0; i < cells.size(); i++) {
        cells[i].index = (int)i;
        if (cells[i].name.empty())
            cells[i].name = cells[i].fault + "_" + size_name(cells[i].size);
    }
    return cells;
}

// How GoogleTest shows a cell in its messages.
void PrintTo(const Cell &c, std::ostream *os)
{
    *os << c.name << " (" << c.targets << ")";
}

// Bytes that differ, counting a length difference as that many.
long long mismatches(const Bytes &a, const Bytes &b)
{
    size_t common = a.size() < b.size() ? a.size() : b.size();
    long long n = (long long)(a.size() > b.size() ? a.size() - b.size() : b.size() - a.size());
    for (size_t i = 0; i < common; i++)
        if (a[i] != b[i])
            n++;
    return n;
}

const char *state_name(uint32_t s)
{
    switch (s) {
    case Done:
        return "Done";
    case Failed:
        return "Failed";
    default:
        return "Unfinished";
    }
}

class FaultMatrix : public ::testing::TestWithParam<Cell> {
protected:
    void SetUp() override
    {
        dir = make_scratch_dir();
        ASSERT_FALSE(dir.empty());
        link.port = NO_PORT;
    }

    void TearDown() override
    {
        release_update(&link);
        free((void *)link.image);  // the tool keeps it for life; a test gives it back
        devsim_stop(&sim);
        remove_scratch_dir(dir);
    }

    void record(const Cell &c, uint32_t state, long long compared, long long differ, double seconds)
    {
        std::string path = std::string(FWU_MATRIX_RESULTS_DIR) + "/";
        char prefix[16];
        snprintf(prefix, sizeof prefix, "%03d_", c.index);
        path += prefix + c.name + ".line";
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_TRUE(f != NULL) << path;
        fprintf(f, "%-8s  %-32s  %7zu  %-10s  %7lld  %5lld  %6.1f\n", c.fault.c_str(),
                c.targets.c_str(), c.size, state_name(state), compared, differ, seconds);
        fclose(f);
    }

    DevsimProcess sim;
    DeviceLink link = {};
    std::string dir;
};

TEST_P(FaultMatrix, EndsRight)
{
    const Cell &c = GetParam();
    // The image as the tool holds it: the raw bytes padded by the image layer.
    init_link(&link);
    const Bytes raw = test_pattern(c.size, (unsigned)(c.size + 17 * c.index));
    ASSERT_EQ(0, pad_image(&link, raw.data(), (int64_t)raw.size()));
    const Bytes image = padded_bytes(&link);
    ASSERT_EQ(0u, image.size() % BLOCK_SIZE);
    const std::string dump = dir + "/flash.bin", json = dir + "/summary.json";

    std::vector<std::string> args = {"--no-pace", "--dump", dump, "--summary-json", json,
                                     "--seconds", "300"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ASSERT_EQ(0, devsim_start(&sim, args)) << sim.output;

    UpdateRun run;
    uint32_t state = run_update(&link, sim.path.c_str(), UPDATE_LIMIT_MS, &run);
    fflush(stdout);

    // The session closes the port at Done; after Failed it holds it and the
    // device is still waiting, so it is stopped to make it write its dump.
    release_update(&link);
    bool reset_by_itself = devsim_wait(&sim, state == Done ? DEVICE_END_MS : 0) == 0;
    if (!reset_by_itself) {
        ASSERT_EQ(0, kill(sim.pid, SIGTERM));
        ASSERT_EQ(0, devsim_wait(&sim, DEVICE_END_MS));
    }
    EXPECT_TRUE(devsim_exited_ok(&sim)) << sim.status << sim.output;

    std::string summary = read_text(json);
    ASSERT_FALSE(summary.empty()) << sim.output;
    Bytes flash = read_file(dump);
    long long differ = mismatches(flash, image);
    record(c, state, (long long)image.size(), differ, run.elapsed_ms / 1000.0);

    ASSERT_EQ(c.expect, state) << "ended " << state_name(state) << "; " << sim.output;
    if (state == Done) {
        EXPECT_EQ(0, differ) << "Done, but the device's flash differs from the image";
        EXPECT_TRUE(reset_by_itself) << "Done, but the device was never reset";
        EXPECT_EQ(1, json_number(summary, "resets"));
    } else {
        EXPECT_EQ(0, json_number(summary, "requests.reset"))
            << "a reset request reached the device after a failed verify";
        // The written flash is right all the same: only the reported CRC was.
        EXPECT_EQ(0, differ);
    }
    if (!c.fault_counter.empty()) {
        EXPECT_EQ(c.fault_count, json_number(summary, c.fault_counter))
            << "the fault did not strike as planned";
    }
    if (c.fault == "silent") {
        EXPECT_GT(json_number(summary, "ignored_bytes"), 0) << "probes went unheard while silent";
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultMatrix, ::testing::ValuesIn(matrix_cells()),
                         [](const ::testing::TestParamInfo<Cell> &info) {
                             return info.param.name;
                         });

} // namespace
