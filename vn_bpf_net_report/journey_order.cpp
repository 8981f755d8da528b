// Journeys in the order they are written: in start order, then by input
// and line. Reading a trace to its end, a key's paths become journeys once
// they are done, and a journey is written once no row still to come can
// make an earlier one.
#include <algorithm>

#include "endings.h"
#include "grouping.h"
#include "path_order.h"
#include "report_run.h"
#include "trace_layout.h"

namespace {

constexpr int64_t KEY_MEMORY_NS = KEY_MEMORY_MS * 1000 * 1000;

made_journey made_of(journey &&j, bool repeated)
{
    int64_t start = j.start();
    uint32_t source = j.source, line = j.rows.front().line;
    return {start, source, line, std::move(j), repeated};
}
// Journeys are written in start order, then by input and line.
bool written_later(const made_journey &a, const made_journey &b)
{
    if (a.start != b.start)
        return a.start > b.start;
    return a.source != b.source ? a.source > b.source : a.line > b.line;
}

void keep_journeys(run_t &run, std::vector<journey> &journeys, std::vector<journey> &repeated)
{
    for (auto *list : {&journeys, &repeated})
        for (journey &j : *list) {
            run.made.push_back(made_of(std::move(j), list == &repeated));
            std::push_heap(run.made.begin(), run.made.end(), written_later);
        }
}

} // namespace

void write_made(run_t &run, int64_t before, bool everything)
{
    while (!run.made.empty() && (everything || run.made.front().start < before)) {
        std::pop_heap(run.made.begin(), run.made.end(), written_later);
        made_journey next = std::move(run.made.back());
        run.made.pop_back();
        write_header(run, nullptr);
        if (!next.repeated)
            settle_losses(run.state, next.j);
        write_journey(run, next.j, next.repeated);
        give_back_rows(run.state, std::move(next.j.rows));
        if (run.out.size() > READ_CHUNK)
            flush_out(run);
    }
}

// Makes journeys of the paths done by the trace time of the row read last,
// forgets keys long done, and writes the journeys that no row still to come
// can precede: those that start before the rows still in groups, and
// ROWS_LATE_NS before the row read last.
void make_done_journeys(run_t &run)
{
    report_state &state = run.state;
    int64_t now = state.last_row_time, open_from = INT64_MAX;
    std::vector<journey> journeys, repeated;
    size_t still_open = 0;
    for (auto *entry : state.opened) {
        key_group &group = entry->second;
        // A key whose rows keep coming (equal datagrams) has its oldest paths
        // done while newer ones go on; one that holds many rows open is
        // split again less often the more it holds.
        if (done_by(group.first_time, now) || group.rows.size() >= 2 * group.rows_kept + GROUP_ROWS_MAX)
            split_done_paths(state, entry->first, group, now, journeys, repeated);
        if (group.rows.empty()) {
            run.done_keys.push_back(entry->first);
            continue;
        }
        open_from = std::min(open_from, group.first_time);
        state.opened[still_open++] = entry;
    }
    state.opened.resize(still_open);
    state.last_group = nullptr; // a group emptied here is opened again by its next row
    // Keys done, oldest first: forgotten after KEY_MEMORY_NS, or at once when there are too many.
    while (!run.done_keys.empty()) {
        auto found = state.groups.find(run.done_keys.front());
        if (found != state.groups.end() && found->second.rows.empty()) {
            int64_t last = found->second.last_time;
            bool crowded = state.groups.size() > KEYS_REMEMBERED_MAX;
            if (elapsed_ns(last, now) <= KEY_MEMORY_NS && !(crowded && done_by(last, now)))
                break;
            state.groups.erase(found);
        }
        run.done_keys.pop_front();
    }
    keep_journeys(run, journeys, repeated);
    if (run.writing_early)
        write_made(run, std::min(open_from, now < INT64_MIN + ROWS_LATE_NS ? INT64_MIN : now - ROWS_LATE_NS), false);
    run.rows_at_last_look = state.rows_read;
}

// An input has ended: none of its keys gets another row.
void make_all_journeys(run_t &run)
{
    std::vector<journey> journeys, repeated;
    for (auto &[key, group] : run.state.groups)
        split_group(run.state, key, group, false, journeys, repeated);
    run.state.groups.clear();
    run.state.opened.clear();
    run.done_keys.clear();
    run.state.last_group = nullptr;
    keep_journeys(run, journeys, repeated);
}

void write_journeys(run_t &run, std::vector<journey> &journeys, std::vector<journey> &repeated)
{
    std::sort(journeys.begin(), journeys.end(),
              [](const journey &a, const journey &b) { return a.start() < b.start(); });
    for (journey &j : journeys) {
        settle_losses(run.state, j);
        write_journey(run, j, false);
    }
    for (journey &j : repeated)
        write_journey(run, j, true);
    flush_out(run);
}

// How long a key stays quiet before its journeys are written: a packet the
// kernel holds for its neighbour goes on, or is freed, seconds after its
// last row.
int64_t quiet_ms_of(report_state &state, const key_group &group, int quiet_ms)
{
    constexpr int64_t WAITING_MAX_MS = int64_t(trace_layout::WAITING_MAX_NS / 1000000);
    if (!group.rows.empty() && place_of(state, group.rows.back().function).waits)
        return std::max<int64_t>(quiet_ms, WAITING_MAX_MS);
    return quiet_ms;
}

// --follow: writes the journeys of keys that fell quiet, and forgets keys
// long idle.
void write_quiet_journeys(run_t &run, bool everything)
{
    int64_t now = now_ms();
    if (!everything && now - run.last_sweep_ms < std::max(1, run.set.quiet_ms / 4))
        return;
    run.last_sweep_ms = now;
    std::vector<journey> journeys, repeated;
    bool crowded = run.state.groups.size() > KEYS_REMEMBERED_MAX;
    run.state.opened.clear(); // every key is looked at here
    for (auto it = run.state.groups.begin(); it != run.state.groups.end();) {
        key_group &group = it->second;
        int64_t idle = now - group.last_read_ms;
        if (!group.rows.empty() && (everything || idle >= quiet_ms_of(run.state, group, run.set.quiet_ms)))
            split_group(run.state, it->first, group, false, journeys, repeated);
        else if (group_is_full(group))
            split_group(run.state, it->first, group, true, journeys, repeated);
        if (group.rows.empty() && (idle > KEY_MEMORY_MS || (crowded && idle >= run.set.quiet_ms))) {
            run.state.last_group = nullptr;
            it = run.state.groups.erase(it);
        } else
            ++it;
    }
    write_journeys(run, journeys, repeated);
}
