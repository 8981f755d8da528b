// Placing a key's rows on the paths of its packets: the same packet sent
// twice can be in flight twice at once, its copies on different CPUs, and
// their rows interleave in time.
#pragma once

#include <vector>

#include "report_state.h"

// A packet on its way while a key's rows are placed.
struct open_path {
    std::vector<trace_row> rows;
    int last_rank;
    bool closed;            // after a drop the packet goes nowhere, but...
    bool drop_told = false; // ...the kernel's drop row may follow a drop verdict
    uint32_t moves = 0;     // rows taken: entries filed before the last one are stale
    bool handed_over = false; // its last ranked row hands it over: a lower rank continues it...
    int handover_floor = 0;   // ...down to this one
};

// How long after a path's last row its packet's next row may come: the
// journey gap, or for a packet the kernel holds for its neighbour (its last
// row at a place that waits), as long as the kernel may hold it.
int64_t path_gap_ns(report_state &state, const open_path &p);

// The paths of rows (sorted here into time order), each row on the path it
// continues; *newest is the path the latest row went on. The rows of
// one_packet are one packet's by its number: one path, whatever their
// order, until it is full.
std::vector<open_path> place_rows(report_state &state, std::vector<trace_row> &rows, size_t *newest,
                                  bool one_packet = false);

// Whether a closed path may still take a row of some kind (a drop row a
// verdict left untold, or the return of the walk that told it).
bool lingers(report_state &state, const open_path &p);
