#include "stages.h"

#include <algorithm>
#include <tuple>

#include "path_order.h"
#include "steps.h"

void add_stages(stage_stats &stats, const journey &j)
{
    for (size_t i = 1; i < j.rows.size(); i++) {
        uint64_t pair = uint64_t(j.steps[i - 1]) << 32 | j.steps[i];
        auto &[recent_pair, recent] = stats.recent[(pair * 0x9e3779b97f4a7c15ull) >> 58];
        if (!recent || recent_pair != pair)
            recent_pair = pair, recent = &stats.pairs[pair];
        stage_samples &s = *recent;
        int64_t ns = elapsed_ns(j.rows[i - 1].time, j.rows[i].time);
        s.count++;
        s.max_ns = std::max(s.max_ns, ns);
        s.total_ns += uint64_t(ns);
        if (s.sample.size() < STAGE_SAMPLE_MAX) {
            s.sample.push_back(ns);
            continue;
        }
        // Beyond the bound every latency keeps an equal chance to be in the sample.
        stats.random ^= stats.random << 13, stats.random ^= stats.random >> 7, stats.random ^= stats.random << 17;
        uint64_t slot = stats.random % s.count;
        if (slot < STAGE_SAMPLE_MAX)
            s.sample[slot] = ns;
    }
}

std::vector<stage_summary> summarize_stages(report_state &state, const stage_stats &stats, bool whole_sample)
{
    std::vector<stage_summary> out;
    for (const auto &[pair, s] : stats.pairs) {
        unsigned __int128 mean = s.count ? s.total_ns / s.count : 0;
        stage_summary sum{uint32_t(pair >> 32), uint32_t(pair), s.count, 0, 0, 0, s.max_ns,
                          int64_t(std::min<unsigned __int128>(s.total_ns, INT64_MAX)), int64_t(mean), s.sample};
        std::vector<int64_t> &v = sum.sorted;
        if (whole_sample)
            std::sort(v.begin(), v.end());
        // Nearest rank: the smallest value with at least p% of the sample at or below it. Each
        // selection leaves the smaller values before it, where the next (lower) one is found.
        auto at = [&](unsigned p, size_t below) {
            auto rank = v.begin() + ptrdiff_t((v.size() * p + 99) / 100 - 1);
            if (!whole_sample)
                std::nth_element(v.begin(), rank, v.begin() + ptrdiff_t(below));
            return rank;
        };
        auto p99 = at(99, v.size()), p90 = at(90, size_t(p99 - v.begin()) + 1), p50 = at(50, size_t(p90 - v.begin()) + 1);
        sum.p99 = *p99, sum.p90 = *p90, sum.p50 = *p50;
        out.push_back(std::move(sum));
    }
    auto order = [&](const stage_summary &s) {
        return std::make_tuple(step_rank(state, s.from), step_rank(state, s.to),
                               step_name(state, state.steps.get(s.from)), step_name(state, state.steps.get(s.to)));
    };
    std::sort(out.begin(), out.end(),
              [&](const stage_summary &a, const stage_summary &b) { return order(a) < order(b); });
    return out;
}

std::vector<size_t> slowest_first(const std::vector<stage_summary> &stages)
{
    std::vector<size_t> order(stages.size());
    for (size_t i = 0; i < order.size(); i++)
        order[i] = i;
    auto key = [&](size_t i) { return std::make_pair(stages[i].count >= P90_COUNT_MIN, stages[i].p90); };
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return key(a) > key(b); });
    return order;
}
