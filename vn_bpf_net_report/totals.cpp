#include "totals.h"

#include <algorithm>

#include "endings.h"
#include "host_join.h"

namespace {

void count_ending(report_totals &totals, const ending &end)
{
    totals.by_class[size_t(end.what())]++;
    // Most journeys end undropped in the function the one before ended in.
    bool plain = end.kind == ending_kind::ended;
    uint64_t *count = plain && totals.last_ended_at && end.function == totals.last_ended_at_function
                          ? totals.last_ended_at
                          : &totals.endings[as_told(end)];
    ++*count;
    if (plain)
        totals.last_ended_at = count, totals.last_ended_at_function = end.function;
}

} // namespace

void count_journey(report_totals &totals, const journey &j)
{
    totals.journeys++;
    totals.rows += j.rows.size();
    count_ending(totals, j.end);
    add_stages(totals.stages, j);
}

void count_joined(report_totals &totals, const joined_journey &jj)
{
    totals.journeys++;
    totals.rows += jj.whole.rows.size();
    count_ending(totals, jj.whole.end);
    add_stages(totals.stages, *jj.sent);
    add_stages(totals.stages, *jj.received);
}

std::vector<ending_count> endings_by_count(const report_state &state, const std::vector<std::string> &hosts,
                                           const report_totals &totals)
{
    // Endings told alike count as one, whatever their values.
    std::unordered_map<std::string, size_t> by_sentence;
    std::vector<ending_count> out;
    for (const auto &[told, count] : totals.endings) {
        std::string sentence = ending_sentence(state.names, hosts, told);
        auto [at, added] = by_sentence.try_emplace(sentence, out.size());
        if (added)
            out.push_back({told, std::move(sentence), 0});
        out[at->second].count += count;
    }
    std::sort(out.begin(), out.end(), [](const ending_count &a, const ending_count &b) {
        return a.count != b.count ? a.count > b.count : a.sentence < b.sentence;
    });
    return out;
}
