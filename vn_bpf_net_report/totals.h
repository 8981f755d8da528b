// What the summary and the page count of the journeys written.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "report_state.h"
#include "stages.h"

struct report_totals {
    uint64_t journeys = 0, rows = 0;
    uint64_t repeated_frames = 0; // rows of frames with repeated fields the filters keep
    uint64_t by_class[3] = {};    // journeys by ending_class
    std::unordered_map<ending, uint64_t, ending_hash> endings; // by the ending as told
    // The count of the "ended at" counted last (map values stay put).
    uint64_t *last_ended_at = nullptr;
    uint32_t last_ended_at_function = NO_NAME;
    stage_stats stages;

    report_totals() = default;
    report_totals(const report_totals &) = delete; // a copy would count into the original's map
    report_totals &operator=(const report_totals &) = delete;
};

// A journey counted: its ending, rows and stages. A packet seen on two
// hosts counts once, with the stages of each part.
void count_journey(report_totals &totals, const journey &j);
struct joined_journey;
void count_joined(report_totals &totals, const joined_journey &jj);

// Endings with their sentences and counts, most frequent first.
struct ending_count {
    ending told;
    std::string sentence;
    uint64_t count;
};
std::vector<ending_count> endings_by_count(const report_state &state, const std::vector<std::string> &hosts,
                                           const report_totals &totals);
