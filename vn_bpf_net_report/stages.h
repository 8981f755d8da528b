// Latencies between consecutive steps of journeys, per pair of steps.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "report_state.h"

// Each pair keeps a bounded uniform sample (all of them up to the bound),
// so a long --follow run stays in bounded memory; count and max are exact.
struct stage_samples {
    uint64_t count = 0;
    int64_t max_ns = 0;
    unsigned __int128 total_ns = 0; // exact: count latencies of up to INT64_MAX each
    std::vector<int64_t> sample;
};
struct stage_stats {
    std::unordered_map<uint64_t, stage_samples> pairs; // step ids: from << 32 | to
    uint64_t random = 0x9e3779b97f4a7c15ull;
    // Pairs found last, by a hash of the pair: a few dozen pairs repeat
    // journey after journey (map values stay put).
    std::pair<uint64_t, stage_samples *> recent[64] = {};
};
constexpr size_t STAGE_SAMPLE_MAX = 65536;
// A percentile is told in text only from this many latencies on: with
// fewer, p90 or p99 is the maximum, and reads as more precise than it is.
constexpr uint64_t P90_COUNT_MIN = 10, P99_COUNT_MIN = 100;
void add_stages(stage_stats &stats, const journey &j);

struct stage_summary {
    uint32_t from, to; // step ids
    uint64_t count;
    int64_t p50, p90, p99, max; // ns
    int64_t total, mean;        // ns; the total saturates at INT64_MAX
    std::vector<int64_t> sorted; // the sample, ascending with whole_sample (else in no order)
};
// In path order: by the place of the first step, then of the second.
// whole_sample sorts each sample (the page draws it); the percentiles alone
// need only the three values selected.
std::vector<stage_summary> summarize_stages(report_state &state, const stage_stats &stats, bool whole_sample = false);

// Indices of the stages, the slowest first as the summary tells it: by p90
// those with P90_COUNT_MIN latencies or more, then the others (whose p90 is
// their maximum); in path order where they tie.
std::vector<size_t> slowest_first(const std::vector<stage_summary> &stages);
