#include "stages.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "path_order.h"
#include "steps.h"

size_t stage_key_hash::operator()(const stage_key &k) const
{
    return size_t(fold(k.source, uint64_t(k.from) << 32 | k.to));
}

void add_stages(stage_stats &stats, const journey &j)
{
    for (size_t i = 1; i < j.rows.size(); i++) {
        stage_key key{j.source, j.steps[i - 1], j.steps[i]};
        auto &[recent_key, recent] = stats.recent[uint64_t(stage_key_hash()(key)) >> 58];
        if (!recent || !(recent_key == key))
            recent_key = key, recent = &stats.pairs[key];
        stage_samples &s = *recent;
        int64_t ns = elapsed_ns(j.rows[i - 1].time, j.rows[i].time);
        s.count++;
        if (ns > s.max_ns || s.count == 1)
            s.max_ns = ns, s.max_first = j.first_of_flow;
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

namespace {

// A pair summed over the sources of its group.
struct merged {
    stage_summary sum;
    unsigned __int128 total_ns = 0;
    std::vector<const stage_samples *> parts;
};

// One sample of a group's parts: all their latencies when each part kept
// all of its own; else from each part a random share in proportion to the
// latencies it stands for, so a part that saw more weighs more.
std::vector<int64_t> merged_sample(const merged &m, uint64_t &random)
{
    if (m.parts.size() == 1)
        return m.parts.front()->sample;
    std::vector<int64_t> out;
    bool whole = true;
    for (const stage_samples *p : m.parts)
        whole = whole && p->count == p->sample.size();
    for (const stage_samples *p : m.parts) {
        if (whole) {
            out.insert(out.end(), p->sample.begin(), p->sample.end());
            continue;
        }
        size_t share = size_t(std::min<unsigned __int128>(
            p->sample.size(), (unsigned __int128)p->count * STAGE_SAMPLE_MAX / m.sum.count));
        std::vector<int64_t> part = p->sample;
        for (size_t k = 0; k < share; k++) {
            random ^= random << 13, random ^= random >> 7, random ^= random << 17;
            std::swap(part[k], part[k + random % (part.size() - k)]);
        }
        out.insert(out.end(), part.begin(), part.begin() + ptrdiff_t(share));
    }
    return out;
}

} // namespace

std::vector<stage_summary> summarize_stages(report_state &state, const stage_stats &stats, bool whole_sample,
                                            const std::vector<uint32_t> *group_of_source)
{
    std::map<std::tuple<uint32_t, uint32_t, uint32_t>, merged> groups; // group, from, to
    for (const auto &[key, s] : stats.pairs) {
        uint32_t group = group_of_source && key.source < group_of_source->size() ? (*group_of_source)[key.source] : 0;
        merged &m = groups[{group, key.from, key.to}];
        if (m.parts.empty())
            m.sum = {key.from, key.to, group, key.source, 0, 0, 0, 0, s.max_ns, s.max_first, 0, 0, {}};
        m.parts.push_back(&s);
        m.sum.source = std::min(m.sum.source, key.source);
        m.sum.count += s.count;
        m.total_ns += s.total_ns;
        if (s.max_ns > m.sum.max || (s.max_ns == m.sum.max && s.max_first))
            m.sum.max = s.max_ns, m.sum.max_first = s.max_first;
    }
    std::vector<stage_summary> out;
    uint64_t random = 0x2545f4914f6cdd1dull;
    for (auto &[key, m] : groups) {
        stage_summary sum = std::move(m.sum);
        unsigned __int128 mean = sum.count ? m.total_ns / sum.count : 0;
        sum.total = int64_t(std::min<unsigned __int128>(m.total_ns, INT64_MAX));
        sum.mean = int64_t(mean);
        sum.sorted = merged_sample(m, random);
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
        return std::make_tuple(s.group, step_rank(state, s.from), step_rank(state, s.to),
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
