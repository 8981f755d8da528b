// Rows grouped by key, and the groups made into journeys, one per packet.
#pragma once

#include <cstdint>
#include <vector>

#include "line_intake.h"
#include "report_state.h"

// Room for a packet's rows (empty, with room for a path of a few dozen),
// and room given back.
std::vector<trace_row> room_for_rows(report_state &state);
void give_back_rows(report_state &state, std::vector<trace_row> &&rows);

// A TCP row's flow one way: its addresses and ports.
flow_key flow_of(uint32_t source, const trace_row &row);
// Whether a TCP segment starts before the ACK number its receiver last sent
// before it: data the receiver had already, sent again or as a probe.
// `known` tells whether the trace shows such an ACK at all.
bool had_been_acked(const report_state &state, uint32_t source, const trace_row &row, bool &known);

// A row read from source into its key's group.
void add_row(report_state &state, uint32_t source, const trace_row &row, int64_t now_ms);

// Does to the state what a line taken apart means: a row goes to its key's
// group, an unreadable one is counted, a loss is kept with its source, and
// a header further down starts another source (traces joined with cat):
// `source` moves to it.
void take_parsed_line(report_state &state, uint32_t &source, uint64_t line_no, line_kind kind, uint32_t header,
                      const trace_row &row, int64_t now_ms, const loss_window &loss);
// Both halves on one thread, a line at a time.
line_kind read_line(report_state &state, uint32_t &source, uint64_t line_no, std::string_view line,
                    int64_t now_ms, const char **bad);

// --follow: a group this large is split at once, keeping its last journey,
// so a key whose rows keep coming holds at most JOURNEY_ROWS_MAX +
// GROUP_ROWS_MAX rows however long it goes on.
constexpr size_t GROUP_ROWS_MAX = 4096;
inline bool group_is_full(const key_group &group)
{
    return group.rows.size() >= group.rows_kept + GROUP_ROWS_MAX;
}

// Turns a group's rows into journeys, in time order. Rows that are frames
// with repeated fields go to `repeated` instead. keep_last leaves the last
// journey's rows in the group (it may still grow).
void split_group(report_state &state, const flow_key &key, key_group &group, bool keep_last,
                 std::vector<journey> &journeys, std::vector<journey> &repeated);

// Reading a trace as a stream, in trace time. A path takes no row more than
// JOURNEY_GAP_NS after its last one, and the monitor's rows come at most
// ROWS_LATE_NS behind a row written before them (each CPU's rows are in
// order; a perf ring holds a few packets' rows and is read within
// milliseconds, so half a second is a wide margin). So a path whose last
// row lies more than PATH_DONE_NS before the row read last can take no
// more rows, and a journey that starts ROWS_LATE_NS before it can have no
// earlier journey still to come than the rows still in groups.
constexpr int64_t ROWS_LATE_NS = 500 * 1000 * 1000;
constexpr int64_t PATH_DONE_NS = JOURNEY_GAP_NS + ROWS_LATE_NS;
// Whether a path or key whose last row was at `last` is done at trace time `now`.
inline bool done_by(int64_t last, int64_t now)
{
    return elapsed_ns(last, now) > PATH_DONE_NS;
}
// Makes journeys of the group's paths that are done by `now`, oldest first,
// up to the first path still open: that path and the ones after it stay in
// the group. Placing their rows again gives the same paths, so the
// journeys are those of the whole key read at once.
void split_done_paths(report_state &state, const flow_key &key, key_group &group, int64_t now,
                      std::vector<journey> &journeys, std::vector<journey> &repeated);
