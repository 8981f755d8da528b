// Latencies between consecutive steps of journeys, per pair of steps.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "report_state.h"

// Each pair of a source keeps a bounded uniform sample (all of them up to
// the bound), so a long --follow run stays in bounded memory; count and max
// are exact.
struct stage_samples {
    uint64_t count = 0;
    int64_t max_ns = 0;
    bool max_first = false; // the max was the first packet's of its flow
    unsigned __int128 total_ns = 0; // exact: count latencies of up to INT64_MAX each
    std::vector<int64_t> sample;
};
struct stage_key {
    uint32_t source, from, to; // the trace source; step ids
    bool operator==(const stage_key &o) const { return source == o.source && from == o.from && to == o.to; }
};
struct stage_key_hash {
    size_t operator()(const stage_key &k) const;
};
struct stage_stats {
    std::unordered_map<stage_key, stage_samples, stage_key_hash> pairs;
    uint64_t random = 0x9e3779b97f4a7c15ull;
    // Pairs found last, by a hash of the pair: a few dozen pairs repeat
    // journey after journey (map values stay put).
    std::pair<stage_key, stage_samples *> recent[64] = {};
};
constexpr size_t STAGE_SAMPLE_MAX = 65536;
// A percentile is told in text only from this many latencies on: with
// fewer, p90 or p99 is the maximum, and reads as more precise than it is.
constexpr uint64_t P90_COUNT_MIN = 10, P99_COUNT_MIN = 100;
void add_stages(stage_stats &stats, const journey &j);

struct stage_summary {
    uint32_t from, to; // step ids
    uint32_t group;    // as group_of_source says (0 without one)
    uint32_t source;   // the first source of the group that had the pair
    uint64_t count;
    int64_t p50, p90, p99, max; // ns
    bool max_first;             // the max was the first packet's of its flow
    int64_t total, mean;        // ns; the total saturates at INT64_MAX
    std::vector<int64_t> sorted; // the sample, ascending with whole_sample (else in no order)
};
// Pairs summed over the sources of a group (by source: its group, as a host
// or a file; none: all one group), by group, then in path order: by the
// place of the first step, then of the second. whole_sample sorts each
// sample (the page draws it); the percentiles alone need only the three
// values selected.
std::vector<stage_summary> summarize_stages(report_state &state, const stage_stats &stats, bool whole_sample = false,
                                            const std::vector<uint32_t> *group_of_source = nullptr);

// Indices of the stages, the slowest first as the summary tells it: by p90
// those with P90_COUNT_MIN latencies or more, then the others (whose p90 is
// their maximum); in path order where they tie.
std::vector<size_t> slowest_first(const std::vector<stage_summary> &stages);
