// How rows become journeys.
//
// Rows of one key (addresses plus the protocol's packet fields) are taken in
// time order. A packet only moves forward along the path, so a row whose
// function sits at or before the last place reached starts a new journey:
// the same packet sent again (a TCP retransmission, an identical datagram).
// Table walks are the exception: several tables walk one hook in turn, so a
// walk at the same place continues, on its own CPU only (on another it is a
// copy's). On the transmit side a packet keeps its device and MACs, so a
// row there continues only a path seen on the same link. After a drop verdict nothing of that
// packet can follow, and a row more than JOURNEY_GAP_NS after the last one
// is never the same packet either. A journey that has JOURNEY_ROWS_MAX rows
// takes no more.
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
#include <queue>
#include <stdexcept>

#include "trace_rows.h"

namespace {

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

const report_state::other_info_facts &facts_of(report_state &state, uint32_t other_info)
{
    while (state.info_facts.size() <= other_info) {
        other_info_fields info = split_other_info(state.names.text(uint32_t(state.info_facts.size())));
        state.info_facts.push_back({hook_rank(info.hook), info.verdict == "NF_DROP"});
    }
    return state.info_facts[other_info];
}

int row_rank(report_state &state, const trace_row &row)
{
    function_place place = place_of(state, row.function);
    if (place.walk_entry)
        return facts_of(state, row.other_info).hook_rank;
    return place.rank;
}

// Ranks below this are the transmit side: there a packet keeps the device
// it was given and, once known, its MACs.
constexpr int RECEIVE_RANK = 70;

bool on_transmit_side(int rank)
{
    return rank >= 0 && rank < RECEIVE_RANK;
}

// The link a row was seen on; "nil" and zero MACs say it is not known yet.
struct link {
    uint32_t device, smac, dmac;
    bool operator==(const link &other) const
    {
        return device == other.device && smac == other.smac && dmac == other.dmac;
    }
};

link link_of(const trace_row &row)
{
    return {row.device, row.smac, row.dmac};
}

struct unknown_link {
    uint32_t device, mac;
};

bool agree(uint32_t a, uint32_t b, uint32_t unknown)
{
    return a == b || a == unknown || b == unknown;
}

// Whether one packet on the transmit side could have been seen on both links.
bool same_link(const unknown_link &unknown, const link &a, const link &b)
{
    return agree(a.device, b.device, unknown.device) && agree(a.smac, b.smac, unknown.mac) &&
           agree(a.dmac, b.dmac, unknown.mac);
}

bool is_drop(report_state &state, const trace_row &row)
{
    return facts_of(state, row.other_info).drop;
}

uint64_t mix(uint64_t h, uint64_t v)
{
    h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    return h;
}

// Whether a row at `time` comes too late to continue a path whose last row
// was at `last` (rows are placed in time order: last <= time).
bool too_late(int64_t last, int64_t time)
{
    return uint64_t(time) - uint64_t(last) > uint64_t(JOURNEY_GAP_NS);
}

// A packet on its way while a key's rows are placed.
struct open_path {
    std::vector<trace_row> rows;
    int last_rank;
    bool closed;            // after a drop the packet goes nowhere, but...
    bool drop_told = false; // ...the kernel's drop row may follow a drop verdict
    uint32_t moves = 0;     // rows taken: entries filed before the last one are stale
};

// A closed path still takes the drop row a verdict left untold, and the
// return of the walk inside which the drop was told (nft frees the packet
// itself and returns NF_STOLEN).
bool takes(report_state &state, const open_path &p, const function_place &place)
{
    if (!p.closed)
        return true;
    if (place.drop)
        return !p.drop_told;
    return place.walk_return && place_of(state, p.rows.back().function).drop;
}

// Whether a closed path may still take a row of some kind.
bool lingers(report_state &state, const open_path &p)
{
    return !p.drop_told || place_of(state, p.rows.back().function).drop;
}

// The name id of a text that tells a device or MAC is not known, looked up once.
uint32_t unknown_id(report_state &state, uint32_t &id, std::string_view text)
{
    if (id == UINT32_MAX)
        id = state.names.id(text);
    return id;
}

// The open paths of a key filed by the place they reached, and by that and
// their last row's CPU, so that placing a row looks at a few piles rather
// than at every path: one busy flow of equal datagrams has thousands in
// flight within JOURNEY_GAP_NS. In each pile the newest path is on top; an
// entry whose path has moved on, closed or fallen silent too long is dropped
// when it comes to the top, so each costs O(log n) once. Most keys are one
// packet or a few: up to scan_max paths a row looks at each of them, and
// the piles are made only for a key with more.
struct path_index {
    static constexpr size_t NONE = SIZE_MAX;
    struct entry {
        size_t path;
        uint32_t moves;
        bool operator<(const entry &other) const { return path < other.path; }
    };
    using pile = std::priority_queue<entry>;
    // A pile: paths at a place, on one CPU (own) or any, whose last row was
    // on one link (on the transmit side; past it the link is left out).
    struct pile_key {
        int rank;
        bool own;
        int32_t cpu;
        link on;
        bool operator==(const pile_key &o) const
        {
            return rank == o.rank && own == o.own && cpu == o.cpu && on == o.on;
        }
    };
    struct pile_key_hash {
        size_t operator()(const pile_key &k) const
        {
            uint64_t h = mix(uint64_t(uint32_t(k.rank)) << 32 | uint32_t(k.cpu), k.own);
            return size_t(mix(h, uint64_t(k.on.device) << 42 ^ uint64_t(k.on.smac) << 21 ^ k.on.dmac));
        }
    };

    report_state &state;
    std::vector<open_path> &paths;
    unknown_link unknown;
    std::vector<int> ranks; // places paths have been filed at, ascending
    std::unordered_map<int, std::vector<link>> links; // the links filed at each place
    std::unordered_map<pile_key, pile, pile_key_hash> piles;
    bool filing = false; // the piles are in use

    size_t scan_max;

    // Closed paths that may still take a drop row or a walk's return: few,
    // and looked at only for those rows.
    std::vector<size_t> lingering;
    // Paths whose last row is a walk's entry: a walk's return belongs to one
    // of them before any other path. Another packet of the key may have
    // moved on past it in the meantime, on the same CPU.
    std::vector<size_t> walking;

    path_index(report_state &state_, std::vector<open_path> &paths_, size_t scan_max_)
        : state(state_), paths(paths_),
          unknown{unknown_id(state_, state_.nil_device, "nil"),
                  unknown_id(state_, state_.zero_mac, "00:00:00:00:00:00")},
          scan_max(scan_max_)
    {
    }

    link filed_link(const open_path &p) const
    {
        return p.last_rank < RECEIVE_RANK ? link_of(p.rows.back()) : link{};
    }

    // A path has taken a row (or was just made).
    void moved(size_t i)
    {
        if (place_of(state, paths[i].rows.back().function).walk_entry)
            walking.push_back(i);
        if (!filing && paths.size() > scan_max) {
            filing = true;
            for (size_t k = 0; k < paths.size(); k++)
                file(k);
        } else if (filing) {
            file(i);
        }
    }

    void file(size_t i)
    {
        const open_path &p = paths[i];
        if (p.closed) {
            if (lingers(state, p))
                lingering.push_back(i);
            return;
        }
        auto at = std::lower_bound(ranks.begin(), ranks.end(), p.last_rank);
        if (at == ranks.end() || *at != p.last_rank)
            ranks.insert(at, p.last_rank);
        link on = filed_link(p);
        std::vector<link> &seen = links[p.last_rank];
        if (std::find(seen.begin(), seen.end(), on) == seen.end())
            seen.push_back(on);
        piles[{p.last_rank, false, 0, on}].push({i, p.moves});
        piles[{p.last_rank, true, p.rows.back().cpu, on}].push({i, p.moves});
    }

    // The newest path of a pile that a row at `time` may still continue.
    size_t top(pile *pile, int64_t time)
    {
        while (pile && !pile->empty()) {
            const entry &e = pile->top();
            const open_path &p = paths[e.path];
            if (p.moves == e.moves && !p.closed && !too_late(p.rows.back().time, time))
                return e.path;
            pile->pop();
        }
        return NONE;
    }
    // The newest path at a place that the row may continue, on its own CPU
    // or any; a transmit row only one on a link it could have been seen on.
    size_t top_at(int rank, const trace_row &row, int row_rank, bool own)
    {
        size_t best = NONE;
        for (const link &on : links[rank]) {
            if (on_transmit_side(row_rank) && !same_link(unknown, on, link_of(row)))
                continue;
            auto found = piles.find({rank, own, own ? row.cpu : 0, on});
            size_t i = top(found == piles.end() ? nullptr : &found->second, row.time);
            if (i != NONE && (best == NONE || i > best))
                best = i;
        }
        return best;
    }

    // The path a row continues, or NONE. A path whose last row was on the
    // row's own CPU comes first, then the one that got furthest before the
    // row's place, then the newest. A row of an unknown function continues
    // any path: the newest on its CPU, else the newest.
    size_t best_for(const trace_row &row, int rank, const function_place &place)
    {
        if (place.walk_return)
            if (size_t walk = walk_returned(row); walk != NONE)
                return walk;
        if (!filing)
            return scan_for(row, rank, place);
        size_t best = best_open(row, rank, place.walk_entry);
        return rank < 0 && (place.drop || place.walk_return) ? best_lingering(row, place, best) : best;
    }

    size_t best_open(const trace_row &row, int rank, bool walk_entry)
    {
        if (rank < 0) {
            size_t best = NONE;
            for (bool own : {true, false}) {
                for (int r : ranks) {
                    size_t i = top_at(r, row, rank, own);
                    if (i != NONE && (best == NONE || i > best))
                        best = i;
                }
                if (best != NONE)
                    return best;
            }
            return best;
        }
        // Paths whose place is before the row's; a walk may follow a walk at
        // its own hook on its own CPU only (another CPU's is another packet).
        auto end = std::upper_bound(ranks.begin(), ranks.end(), walk_entry ? rank : rank - 1);
        for (auto r = end; r != ranks.begin();)
            if (size_t i = top_at(*--r, row, rank, true); i != NONE)
                return i;
        for (auto r = std::upper_bound(ranks.begin(), ranks.end(), rank - 1); r != ranks.begin();)
            if (size_t i = top_at(*--r, row, rank, false); i != NONE)
                return i;
        return NONE;
    }

    // The path whose walk a return ends: on the row's CPU first, then the
    // newest. Paths that moved on, closed or came too long ago leave the list.
    size_t walk_returned(const trace_row &row)
    {
        size_t best = NONE;
        bool best_own = false;
        size_t kept = 0;
        for (size_t i : walking) {
            const open_path &p = paths[i];
            if (p.closed || !place_of(state, p.rows.back().function).walk_entry ||
                too_late(p.rows.back().time, row.time))
                continue;
            walking[kept++] = i;
            bool own = p.rows.back().cpu == row.cpu;
            if (best == NONE || (own != best_own ? own : i > best))
                best = i, best_own = own;
        }
        walking.resize(kept);
        return best;
    }

    // A lingering path that takes the row and beats `best` (on the row's
    // CPU first, then the newest), or `best`. Paths that can take nothing
    // more, or came too long ago, leave the list.
    size_t best_lingering(const trace_row &row, const function_place &place, size_t best)
    {
        auto beats = [&](size_t i) {
            if (best == NONE)
                return true;
            bool own = paths[i].rows.back().cpu == row.cpu, best_own = paths[best].rows.back().cpu == row.cpu;
            return own != best_own ? own : i > best;
        };
        size_t kept = 0;
        for (size_t i : lingering) {
            const open_path &p = paths[i];
            if (!p.closed || !lingers(state, p) || too_late(p.rows.back().time, row.time))
                continue;
            lingering[kept++] = i;
            if (takes(state, p, place) && beats(i))
                best = i;
        }
        lingering.resize(kept);
        return best;
    }

    // The same choice, made by looking at every path.
    size_t scan_for(const trace_row &row, int rank, const function_place &place) const
    {
        size_t best = NONE;
        std::pair<bool, int> best_score{false, -1};
        for (size_t i = 0; i < paths.size(); i++) {
            const open_path &p = paths[i];
            const trace_row &last = p.rows.back();
            if (!takes(state, p, place) || too_late(last.time, row.time))
                continue;
            bool own = last.cpu == row.cpu;
            bool continues = rank < 0 || rank > p.last_rank || (rank == p.last_rank && place.walk_entry && own);
            if (on_transmit_side(rank) && !same_link(unknown, link_of(last), link_of(row)))
                continue;
            std::pair<bool, int> score{own, rank < 0 ? 0 : p.last_rank};
            if (continues && (best == NONE || score >= best_score))
                best = i, best_score = score;
        }
        return best;
    }
};

// "ipt_do_table@LOCAL_IN" from the walk's function and its hook; the
// function alone where the hook is not told.
uint32_t walk_step(report_state &state, uint32_t function, std::string_view hook)
{
    constexpr std::string_view INET = "NF_INET_";
    if (hook.empty())
        return function;
    if (hook.substr(0, INET.size()) == INET)
        hook.remove_prefix(INET.size());
    std::string name(state.names.text(function));
    return state.names.id(name.append("@").append(hook));
}

void name_steps(report_state &state, journey &j)
{
    j.steps.resize(j.rows.size());
    uint32_t walk = UINT32_MAX; // the step of the last walk entry
    for (size_t i = 0; i < j.rows.size(); i++) {
        const trace_row &row = j.rows[i];
        function_place place = place_of(state, row.function);
        uint32_t &step = j.steps[i];
        step = row.function;
        if (place.walk_entry) {
            auto [at, made] = state.walk_steps.try_emplace(uint64_t(row.function) << 32 | row.other_info, 0);
            if (made)
                at->second = walk_step(state, row.function,
                                       split_other_info(state.names.text(row.other_info)).hook);
            step = walk = at->second;
        } else if (place.walk_return && walk != UINT32_MAX) {
            auto [at, made] = state.walk_steps.try_emplace(uint64_t(row.function) << 32 | walk, 0);
            if (made) {
                std::string_view entry = state.names.text(walk);
                size_t hook = entry.find('@');
                at->second = hook == std::string_view::npos
                                 ? row.function
                                 : walk_step(state, row.function, entry.substr(hook + 1));
            }
            step = at->second;
        }
    }
}

// How a journey ended: a drop row (kfree_skb) gives the reason and where;
// a table walk that dropped it (NF_DROP, or the kernel's NETFILTER_DROP,
// told inside or after the walk) gives the table, chain and hook of the
// last walk before the drop.
void settle_ending(report_state &state, journey &j)
{
    if (std::any_of(j.rows.begin(), j.rows.end(), [](const trace_row &row) { return row.cut; })) {
        j.ending_known = false;
        return;
    }
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

int64_t elapsed_ns(int64_t from, int64_t to)
{
    if (to <= from)
        return 0;
    uint64_t ns = uint64_t(to) - uint64_t(from);
    return ns > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(ns);
}

name_table::~name_table()
{
    for (size_t i = 0; i < blocks_made; i++)
        delete[] blocks[i];
}

uint32_t name_table::id(std::string_view text)
{
    std::lock_guard<std::mutex> hold(adding);
    auto found = ids.find(text);
    if (found != ids.end())
        return found->second;
    if (count / BLOCK == blocks_made) {
        // Past 2^28 distinct texts (gigabytes of names) the reading cannot go on.
        if (blocks_made == BLOCKS_MAX)
            throw std::length_error("too many distinct texts in the trace");
        blocks[blocks_made] = new std::string[BLOCK];
        blocks_made++;
    }
    uint32_t id = count;
    std::string &stored = blocks[id / BLOCK][id % BLOCK];
    stored.assign(text);
    count++;
    ids.emplace(stored, id);
    return id;
}

bool flow_key::operator==(const flow_key &other) const
{
    return source == other.source && saddr == other.saddr && daddr == other.daddr &&
           memcmp(fields, other.fields, sizeof(fields)) == 0;
}

size_t flow_key_hash::operator()(const flow_key &key) const
{
    // Multiply and fold: every bit of each word reaches the low bits that pick a bucket.
    auto fold = [](uint64_t h, uint64_t v) {
        h = (h ^ v) * 0x9e3779b97f4a7c15ull;
        return h ^ h >> 29;
    };
    uint64_t h = fold(key.source, uint64_t(key.saddr) << 32 | key.daddr);
    h = fold(h, uint64_t(key.fields[0]) << 32 | key.fields[1]);
    return size_t(fold(h, uint64_t(key.fields[2]) << 32 | key.fields[3]));
}

flow_key key_of(uint32_t source, uint32_t protocol, const trace_row &row)
{
    flow_key key{source, row.saddr, row.daddr, {row.fields[0], row.fields[1], row.fields[2], row.fields[3]}};
    if (protocol == 1)
        key.fields[1] = 0; // ICMP: type, id and sequence; the code may differ
    return key;
}

namespace {
constexpr size_t ROWS_ROOM = 32;         // a packet's path is a dozen to twenty rows
constexpr size_t SPARE_ROWS_MAX = 1024; // room kept for reuse, at most
} // namespace

std::vector<trace_row> room_for_rows(report_state &state)
{
    std::vector<trace_row> rows;
    if (!state.spare_rows.empty()) {
        rows.swap(state.spare_rows.back());
        state.spare_rows.pop_back();
    } else
        rows.reserve(ROWS_ROOM);
    return rows;
}

void give_back_rows(report_state &state, std::vector<trace_row> &&rows)
{
    std::vector<trace_row> given = std::move(rows);
    rows.clear(); // a vector moved from is left valid but unspecified
    if (given.capacity() < ROWS_ROOM || given.capacity() > 4 * ROWS_ROOM || state.spare_rows.size() >= SPARE_ROWS_MAX)
        return;
    given.clear();
    state.spare_rows.push_back(std::move(given));
}

function_place learn_place(report_state &state, uint32_t function)
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

const std::string &shown_name(report_state &state, uint32_t id)
{
    while (state.shown_texts.size() <= id)
        state.shown_texts.push_back(shown_text(state.names.text(uint32_t(state.shown_texts.size()))));
    return state.shown_texts[id];
}

void add_row(report_state &state, uint32_t source, const trace_row &row, int64_t now_ms)
{
    flow_key key = key_of(source, state.sources[source].protocol, row);
    if (!state.last_group || !(key == state.last_key)) {
        auto entry = state.groups.try_emplace(key).first;
        state.last_group = &entry->second; // map values stay put when it grows
        state.last_key = key;
        if (entry->second.rows.empty())
            state.opened.push_back(&*entry);
    }
    key_group &group = *state.last_group;
    if (group.rows.capacity() == 0)
        group.rows = room_for_rows(state);
    group.rows.push_back(row);
    group.last_read_ms = now_ms;
    group.first_time = std::min(group.first_time, row.time);
    group.last_time = std::max(group.last_time, row.time);
    state.last_row_time = row.time;
    state.rows_read++;
}

line_kind parse_line(std::string_view line, uint64_t line_no, uint32_t protocol, uint32_t *header, parsed_row &row,
                     const char **bad)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    // A header starts with a label (TIME), a row with a number.
    *header = line_no == 1 || line.empty() || !(line[0] >= '0' && line[0] <= '9') ? header_protocol(line) : 0;
    if (line_no == 1 || *header)
        return *header ? line_kind::header : line_kind::no_header;
    if (line.empty() || (line[0] == ' ' && line.find_first_not_of(' ') == std::string_view::npos))
        return line_kind::blank;
    return (*bad = parse_row(line, protocol, row)) ? line_kind::unreadable : line_kind::row;
}

trace_row row_of(name_table &names, row_names &caches, const parsed_row &parsed, uint64_t line_no)
{
    return {parsed.time,
            uint32_t(line_no),
            parsed.cpu,
            caches.functions.id(names, parsed.function),
            caches.devices.id(names, parsed.device),
            caches.smacs.id(names, parsed.smac),
            caches.dmacs.id(names, parsed.dmac),
            caches.other_infos.id(names, parsed.other_info),
            parsed.saddr,
            parsed.daddr,
            {parsed.fields[0], parsed.fields[1], parsed.fields[2], parsed.fields[3]}};
}

void take_parsed_line(report_state &state, uint32_t &source, uint64_t line_no, line_kind kind, uint32_t header,
                      const trace_row &row, int64_t now_ms)
{
    if (kind == line_kind::header) {
        // A header further down starts another trace (traces joined with cat).
        if (line_no != 1) {
            state.sources.push_back(state.sources[source]);
            source = uint32_t(state.sources.size() - 1);
        }
        state.sources[source].protocol = header;
        return;
    }
    if (kind == line_kind::unreadable)
        state.unreadable_rows++;
    if (kind != line_kind::row)
        return;
    add_row(state, source, row, now_ms);
}

line_kind read_line(report_state &state, uint32_t &source, uint64_t line_no, std::string_view line,
                    int64_t now_ms, const char **bad)
{
    parsed_row parsed;
    uint32_t header;
    line_kind kind = parse_line(line, line_no, state.sources[source].protocol, &header, parsed, bad);
    trace_row row{};
    if (kind == line_kind::row)
        row = row_of(state.names, state.read_line_names, parsed, line_no);
    take_parsed_line(state, source, line_no, kind, header, row, now_ms);
    return kind;
}

namespace {

// The paths of a group's rows, each row on the path it continues: the same
// packet sent twice can be in flight twice at once, its copies on different
// CPUs, and their rows interleave in time. A path whose last row was on the
// row's own CPU is preferred, then the one that got furthest before the
// row's function (a socket's backlog runs on another CPU later), then the
// most recent; a row that continues none starts a packet of its own.
// *newest is the path the latest row went on.
std::vector<open_path> place_rows(report_state &state, std::vector<trace_row> &rows, size_t *newest)
{
    // Rows of one CPU come in order; only rows of different CPUs interleave.
    auto earlier = [](const trace_row &a, const trace_row &b) { return a.time < b.time; };
    if (!std::is_sorted(rows.begin(), rows.end(), earlier))
        std::stable_sort(rows.begin(), rows.end(), earlier);
    std::vector<open_path> paths;
    path_index index{state, paths, state.path_scan_max};
    *newest = 0;
    for (const trace_row &row : rows) {
        function_place place = place_of(state, row.function);
        int rank = row_rank(state, row);
        size_t best = index.best_for(row, rank, place);
        if (best == path_index::NONE) {
            paths.push_back({{}, rank, false});
            paths.back().rows = room_for_rows(state);
            best = paths.size() - 1;
        }
        open_path &p = paths[best];
        p.rows.push_back(row);
        if (rank >= 0)
            p.last_rank = rank;
        p.closed = p.closed || place.drop || (place.walk_return && is_drop(state, row)) ||
                   p.rows.size() >= JOURNEY_ROWS_MAX;
        p.drop_told = p.drop_told || place.drop;
        p.moves++;
        index.moved(best);
        *newest = best;
    }
    return paths;
}

// Paths [0, first_kept) become journeys; the rows of the others go back to the group.
void make_journeys(report_state &state, const flow_key &key, key_group &group, std::vector<open_path> &paths,
                   size_t first_kept, size_t kept_alone, std::vector<journey> &journeys,
                   std::vector<journey> &repeated)
{
    std::vector<trace_row> &rows = group.rows;
    rows.clear();
    size_t paths_kept = 0;
    for (size_t i = 0; i < paths.size(); i++) {
        if (i >= first_kept || i == kept_alone) {
            rows.insert(rows.end(), paths[i].rows.begin(), paths[i].rows.end());
            give_back_rows(state, std::move(paths[i].rows));
            paths_kept++;
            continue;
        }
        journey j;
        j.source = key.source;
        j.rows.swap(paths[i].rows);
        bool device_only = std::all_of(j.rows.begin(), j.rows.end(), [&](const trace_row &row) {
            return place_of(state, row.function).device_layer;
        });
        name_steps(state, j);
        if (device_only && group.journeys_before > 0) {
            state.repeated_frames += j.rows.size();
            repeated.push_back(std::move(j));
        } else {
            settle_ending(state, j);
            group.journeys_before++;
            journeys.push_back(std::move(j));
        }
    }
    // Back in the order they were read, so rows of one time are placed again as they were.
    if (paths_kept > 1)
        std::sort(rows.begin(), rows.end(), [](const trace_row &a, const trace_row &b) { return a.line < b.line; });
    if (rows.empty())
        give_back_rows(state, std::move(rows)); // a key remembered keeps no room for rows
    group.rows_kept = rows.size();
    group.first_time = INT64_MAX;
    for (const trace_row &row : rows)
        group.first_time = std::min(group.first_time, row.time);
}

} // namespace

void split_group(report_state &state, const flow_key &key, key_group &group, bool keep_last,
                 std::vector<journey> &journeys, std::vector<journey> &repeated)
{
    size_t newest;
    std::vector<open_path> paths = place_rows(state, group.rows, &newest);
    // Bounded memory: the path the newest row went on may still grow,
    // unless it is closed and can take no drop row or walk return.
    size_t kept = keep_last && !paths.empty() && (!paths[newest].closed || lingers(state, paths[newest]))
                      ? newest
                      : paths.size();
    make_journeys(state, key, group, paths, paths.size(), kept, journeys, repeated);
}

void split_done_paths(report_state &state, const flow_key &key, key_group &group, int64_t now,
                      std::vector<journey> &journeys, std::vector<journey> &repeated)
{
    size_t newest;
    std::vector<open_path> paths = place_rows(state, group.rows, &newest);
    size_t first_open = 0;
    while (first_open < paths.size() && done_by(paths[first_open].rows.back().time, now))
        first_open++;
    make_journeys(state, key, group, paths, first_open, paths.size(), journeys, repeated);
}

std::string ending_of(const report_state &state, const journey &j)
{
    auto known = [](std::string_view text) { return text.empty() ? std::string("?") : shown_text(text); };
    if (!j.ending_known)
        return ENDING_UNKNOWN;
    if (!j.ending_note.empty())
        return std::string(j.ending_note);
    if (j.dropped && !j.drop_hook.empty())
        return "dropped by table " + known(j.drop_table) + (j.drop_chain.empty() ? "" : " chain " + known(j.drop_chain)) +
               " at " + known(j.drop_hook);
    if (j.dropped)
        return "dropped at " + known(j.drop_function) + ": " + known(j.drop_reason);
    return "ended at " + shown_text(state.names.text(j.rows.back().function));
}

uint32_t ended_at(report_state &state, uint32_t function)
{
    if (state.ended_at_names.size() <= function)
        state.ended_at_names.resize(function + 1, UINT32_MAX);
    if (state.ended_at_names[function] == UINT32_MAX)
        state.ended_at_names[function] = state.names.id("ended at " + shown_text(state.names.text(function)));
    return state.ended_at_names[function];
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
    if (filter.by_start && j.start() != filter.start_ns)
        return false;
    return filter.slower_than_ns < 0 || j.duration_ns() > filter.slower_than_ns;
}

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

std::vector<stage_summary> summarize_stages(report_state &state, stage_stats &stats, bool whole_sample)
{
    std::vector<stage_summary> out;
    for (auto &[pair, s] : stats.pairs) {
        stage_summary sum{uint32_t(pair >> 32), uint32_t(pair), s.count, 0, 0, 0, s.max_ns, s.sample};
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
    // A walk's step sits at its hook's place.
    auto rank = [&](uint32_t step) {
        std::string_view name = state.names.text(step);
        size_t at = name.find('@');
        if (at == std::string_view::npos)
            return place_of(state, step).rank;
        return hook_rank(std::string("NF_INET_").append(name.substr(at + 1)));
    };
    auto order = [&](const stage_summary &s) {
        return std::make_tuple(rank(s.from), rank(s.to),
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

std::string flow_text(uint32_t protocol, const trace_row &row)
{
    // Made in one piece of room: every journey line and object has one.
    std::string text;
    text.reserve(80); // the longest: two addresses, two ports, SEQ and ACK_SEQ
    auto put = [&](std::string_view piece) { text += piece; };
    auto number = [&](uint32_t value) {
        char digits[10];
        text.append(digits, size_t(std::to_chars(digits, digits + sizeof(digits), value).ptr - digits));
    };
    auto address = [&](uint32_t addr) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            number((addr >> shift) & 0xff);
            if (shift)
                text += '.';
        }
    };
    const uint32_t *f = row.fields;
    address(row.saddr);
    if (protocol == 1) {
        put(" > "), address(row.daddr);
        put(" type "), number(f[0]), put(" id "), number(f[2]), put(" seq "), number(f[3]);
    } else {
        put(":"), number(f[0]), put(" > "), address(row.daddr), put(":"), number(f[1]);
        if (protocol == 6)
            put(" seq "), number(f[2]), put(" ack "), number(f[3]);
        else
            put(" len "), number(f[2]);
    }
    return text;
}
