// How rows become journeys.
//
// Rows of one key (addresses plus the protocol's packet fields) are taken in
// time order. A packet only moves forward along the path, so a row whose
// function sits at or before the last place reached starts a new journey:
// the same packet sent again (a TCP retransmission, an identical datagram).
// Table walks are the exception: several tables walk one hook in turn, so a
// walk at the same place continues. After a drop verdict nothing of that
// packet can follow, and a row more than JOURNEY_GAP_NS after the last one
// is never the same packet either.
//
// A probe that sees a non-IPv4 frame repeats the packet fields of the last
// row on its CPU. Such rows can only come from the device layer (the IP
// layer never sees those frames) and they come after the packet whose
// fields they carry has passed. So a journey made only of device-layer rows,
// of a key that already had a journey, is not a packet: its rows are frames
// with repeated fields.
#include "journeys.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "trace_rows.h"

namespace {

constexpr int64_t JOURNEY_GAP_NS = 500 * 1000 * 1000;

// A table walk's place is its hook's (below); a return has none of its own,
// nor has a drop, which ends the packet wherever it is.
constexpr int AT_HOOK = -2, NO_RANK = -1, AT_DROP = -3;

struct known_function {
    const char *label; // as rows name it
    int rank;          // place on the path, transmit side then receive side
    bool device_layer;
    bool is_return;
};

// The labels of the monitor's probe points. An entry's rows carry its
// function's name, a return's its program's ("ret_ipt_do_table").
#define ENTRY false
#define TRACEPOINT false
#define RETURN true
#define PROBE(program, kind, section, function, point, body, args, module, rank, device_layer) \
    {kind ? #program : #function, rank, device_layer != 0, kind},
const known_function PATH[] = {
#include "probe_points.def"
    // Older monitors probed it; its rows keep their place.
    {"__netif_receive_skb_core", 85, true, false},
};
#undef PROBE
#undef RETURN
#undef TRACEPOINT
#undef ENTRY

// Where each netfilter hook is walked on the path.
int hook_rank(std::string_view hook)
{
    static const std::pair<const char *, int> hooks[] = {
        {"NF_INET_LOCAL_OUT", 10}, {"NF_INET_POST_ROUTING", 25}, {"NF_INET_PRE_ROUTING", 105},
        {"NF_INET_FORWARD", 125},  {"NF_INET_LOCAL_IN", 135},
    };
    for (const auto &h : hooks)
        if (hook == h.first)
            return h.second;
    return -1;
}

int row_rank(report_state &state, const trace_row &row)
{
    function_place place = place_of(state, row.function);
    if (place.walk_entry)
        return hook_rank(split_other_info(state.names.text(row.other_info)).hook);
    return place.rank;
}

bool is_drop(const report_state &state, const trace_row &row)
{
    return split_other_info(state.names.text(row.other_info)).verdict == "NF_DROP";
}

uint64_t mix(uint64_t h, uint64_t v)
{
    h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    return h;
}

// How a journey ended: a drop row (kfree_skb) gives the reason and where;
// a table walk that dropped it (NF_DROP, or the kernel's NETFILTER_DROP,
// told inside or after the walk) gives the table, chain and hook of the
// last walk before the drop.
void settle_ending(report_state &state, journey &j)
{
    size_t end = j.rows.size(); // the drop row, or the end
    for (size_t i = j.rows.size(); i-- > 0;) {
        if (!place_of(state, j.rows[i].function).drop)
            continue;
        other_info_fields drop = split_other_info(state.names.text(j.rows[i].other_info));
        j.dropped = true;
        j.drop_reason = drop.reason;
        j.drop_function = drop.location;
        end = i;
        break;
    }
    bool by_table = j.dropped && j.drop_reason == "NETFILTER_DROP";
    for (size_t i = j.rows.size(); i-- > 0;) {
        function_place place = place_of(state, j.rows[i].function);
        if (place.walk_return && i > end)
            continue; // an nft walk returns after the drop it told
        if (place.walk_return) {
            by_table = by_table || is_drop(state, j.rows[i]);
            if (!by_table)
                return;
            continue;
        }
        if (!place.walk_entry || !by_table)
            continue;
        other_info_fields walk = split_other_info(state.names.text(j.rows[i].other_info));
        j.dropped = true;
        j.drop_hook = walk.hook;
        j.drop_table = walk.table;
        j.drop_chain = walk.chain;
        return;
    }
}

} // namespace

uint32_t name_table::id(std::string_view text)
{
    auto found = ids.find(text);
    if (found != ids.end())
        return found->second;
    texts.emplace_back(text);
    uint32_t id = uint32_t(texts.size() - 1);
    ids.emplace(texts.back(), id);
    return id;
}

bool flow_key::operator==(const flow_key &other) const
{
    return source == other.source && saddr == other.saddr && daddr == other.daddr &&
           memcmp(fields, other.fields, sizeof(fields)) == 0;
}

size_t flow_key_hash::operator()(const flow_key &key) const
{
    uint64_t h = mix(key.source, uint64_t(key.saddr) << 32 | key.daddr);
    h = mix(h, uint64_t(key.fields[0]) << 32 | key.fields[1]);
    return size_t(mix(h, uint64_t(key.fields[2]) << 32 | key.fields[3]));
}

flow_key key_of(uint32_t source, uint32_t protocol, const trace_row &row)
{
    flow_key key{source, row.saddr, row.daddr, {row.fields[0], row.fields[1], row.fields[2], row.fields[3]}};
    if (protocol == 1)
        key.fields[1] = 0; // ICMP: type, id and sequence; the code may differ
    return key;
}

function_place place_of(report_state &state, uint32_t function)
{
    while (state.places.size() <= function) {
        std::string_view name = state.names.text(uint32_t(state.places.size()));
        function_place place;
        for (const known_function &known : PATH) {
            if (name != known.label)
                continue;
            // The return of a walk stays in the walk's place; the listener's
            // return rows carry its entry's label.
            place.walk_return = known.is_return;
            place.walk_entry = known.rank == AT_HOOK;
            place.drop = known.rank == AT_DROP;
            if (known.rank >= 0)
                place.rank = known.rank, place.device_layer = known.device_layer;
        }
        state.places.push_back(place);
    }
    return state.places[function];
}

void add_row(report_state &state, uint32_t source, const trace_row &row, int64_t now_ms)
{
    flow_key key = key_of(source, state.sources[source].protocol, row);
    if (!state.last_group || !(key == state.last_key)) {
        state.last_group = &state.groups[key]; // map values stay put when it grows
        state.last_key = key;
    }
    key_group &group = *state.last_group;
    if (group.rows.empty())
        group.rows.reserve(32); // a packet's path is a dozen to twenty rows
    group.rows.push_back(row);
    group.last_read_ms = now_ms;
    state.rows_read++;
}

void split_group(report_state &state, const flow_key &key, key_group &group, bool keep_last,
                 std::vector<journey> &journeys, std::vector<journey> &repeated)
{
    std::vector<trace_row> &rows = group.rows;
    // Rows of one CPU come in order; only rows of different CPUs interleave.
    std::stable_sort(rows.begin(), rows.end(),
                     [](const trace_row &a, const trace_row &b) { return a.time < b.time; });
    // Each row goes on the path it continues: the same packet sent twice can
    // be in flight twice at once, its copies on different CPUs, and their
    // rows interleave in time. A path whose last row was on the row's own
    // CPU is preferred, then the one that got furthest before the row's
    // function (a socket's backlog runs on another CPU later), then the most
    // recent; a row that continues none starts a packet of its own.
    struct open_path {
        std::vector<trace_row> rows;
        int last_rank;
        bool closed;    // after a drop the packet goes nowhere, but...
        bool drop_told; // ...the kernel's drop row may follow a drop verdict
    };
    // A closed path still takes the drop row a verdict left untold, and the
    // return of the walk inside which the drop was told (nft frees the
    // packet itself and returns NF_STOLEN).
    auto takes = [&](const open_path &p, const function_place &place) {
        if (!p.closed)
            return true;
        if (place.drop)
            return !p.drop_told;
        return place.walk_return && place_of(state, p.rows.back().function).drop;
    };
    std::vector<open_path> paths;
    size_t newest = 0; // the path the latest row went on
    for (const trace_row &row : rows) {
        function_place place = place_of(state, row.function);
        int rank = row_rank(state, row);
        open_path *best = nullptr;
        std::pair<bool, int> best_score{false, -1};
        for (open_path &p : paths) {
            const trace_row &last = p.rows.back();
            if (!takes(p, place) || row.time - last.time > JOURNEY_GAP_NS)
                continue;
            bool continues = rank < 0 || rank > p.last_rank || (rank == p.last_rank && place.walk_entry);
            std::pair<bool, int> score{last.cpu == row.cpu, rank < 0 ? 0 : p.last_rank};
            if (continues && (!best || score >= best_score))
                best = &p, best_score = score;
        }
        if (!best) {
            paths.push_back({{}, rank, false, false});
            best = &paths.back();
        }
        best->rows.push_back(row);
        if (rank >= 0)
            best->last_rank = rank;
        best->closed = best->closed || place.drop || (place.walk_return && is_drop(state, row));
        best->drop_told = best->drop_told || place.drop;
        newest = size_t(best - paths.data());
    }
    // Bounded memory: the path the newest row went on may still grow.
    size_t kept = keep_last && !paths.empty() ? newest : paths.size();
    std::vector<trace_row> still_open;
    for (size_t i = 0; i < paths.size(); i++) {
        if (i == kept) {
            still_open.swap(paths[i].rows);
            continue;
        }
        journey j;
        j.source = key.source;
        j.rows.swap(paths[i].rows);
        bool device_only = std::all_of(j.rows.begin(), j.rows.end(), [&](const trace_row &row) {
            return place_of(state, row.function).device_layer;
        });
        if (device_only && group.journeys_before > 0) {
            state.repeated_frames += j.rows.size();
            repeated.push_back(std::move(j));
        } else {
            settle_ending(state, j);
            group.journeys_before++;
            journeys.push_back(std::move(j));
        }
    }
    rows.swap(still_open);
}

std::string ending_of(const report_state &state, const journey &j)
{
    auto known = [](std::string_view text) { return std::string(text.empty() ? "?" : text); };
    if (j.dropped && !j.drop_hook.empty())
        return "dropped by table " + known(j.drop_table) +
               (j.drop_chain.empty() ? "" : " chain " + std::string(j.drop_chain)) + " at " + known(j.drop_hook);
    if (j.dropped)
        return "dropped at " + known(j.drop_function) + ": " + known(j.drop_reason);
    return "ended at " + std::string(state.names.text(j.rows.back().function));
}

bool journey_matches(const report_state &state, const journey &j, const journey_filter &filter)
{
    const trace_row &row = j.rows.front();
    if (filter.by_host && row.saddr != filter.host && row.daddr != filter.host)
        return false;
    if (filter.by_port && (state.sources[j.source].protocol == 1 ||
                           (row.fields[0] != filter.port && row.fields[1] != filter.port)))
        return false;
    if (filter.dropped_only && !j.dropped)
        return false;
    return filter.slower_than_ns < 0 || j.duration_ns() > filter.slower_than_ns;
}

void add_stages(stage_stats &stats, const journey &j)
{
    for (size_t i = 1; i < j.rows.size(); i++) {
        stage_samples &s = stats.pairs[uint64_t(j.rows[i - 1].function) << 32 | j.rows[i].function];
        int64_t ns = j.rows[i].time - j.rows[i - 1].time;
        s.count++;
        s.max_ns = std::max(s.max_ns, ns);
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

std::vector<stage_summary> summarize_stages(report_state &state, stage_stats &stats)
{
    std::vector<stage_summary> out;
    for (auto &[pair, s] : stats.pairs) {
        stage_summary sum{uint32_t(pair >> 32), uint32_t(pair), s.count, 0, 0, 0, s.max_ns, s.sample};
        std::sort(sum.sorted.begin(), sum.sorted.end());
        // Nearest rank: the smallest value with at least p% of the sample at or below it.
        auto at = [&](unsigned p) { return sum.sorted[(sum.sorted.size() * p + 99) / 100 - 1]; };
        sum.p50 = at(50), sum.p90 = at(90), sum.p99 = at(99);
        out.push_back(std::move(sum));
    }
    auto order = [&](const stage_summary &s) {
        return std::make_tuple(place_of(state, s.from).rank, place_of(state, s.to).rank,
                               state.names.text(s.from), state.names.text(s.to));
    };
    std::sort(out.begin(), out.end(),
              [&](const stage_summary &a, const stage_summary &b) { return order(a) < order(b); });
    return out;
}

std::vector<std::pair<std::string, uint64_t>>
count_endings(const std::unordered_map<std::string, uint64_t> &endings)
{
    std::vector<std::pair<std::string, uint64_t>> out(endings.begin(), endings.end());
    std::sort(out.begin(), out.end(), [](const auto &a, const auto &b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    return out;
}

std::string ipv4_text(uint32_t addr)
{
    char text[16];
    char *p = text, *end = text + sizeof(text);
    for (int shift = 24; shift >= 0; shift -= 8) {
        p = std::to_chars(p, end, (addr >> shift) & 0xff).ptr;
        if (shift)
            *p++ = '.';
    }
    return std::string(text, p);
}

std::string flow_text(uint32_t protocol, const trace_row &row)
{
    const uint32_t *f = row.fields;
    std::string s = ipv4_text(row.saddr);
    if (protocol == 1)
        return s + " > " + ipv4_text(row.daddr) + " type " + std::to_string(f[0]) + " id " +
               std::to_string(f[2]) + " seq " + std::to_string(f[3]);
    s += ":" + std::to_string(f[0]) + " > " + ipv4_text(row.daddr) + ":" + std::to_string(f[1]);
    if (protocol == 6)
        return s + " seq " + std::to_string(f[2]) + " ack " + std::to_string(f[3]);
    return s + " len " + std::to_string(f[2]);
}
