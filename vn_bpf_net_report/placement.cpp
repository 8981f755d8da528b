// Placing a key's rows on the paths of its packets.
//
// Rows of one key (addresses plus the protocol's packet fields) are taken in
// time order. A packet only moves forward along the path, so a row whose
// function sits at or before the last place reached starts a new journey:
// the same packet sent again (a TCP retransmission, an identical datagram).
// Table walks are the exception: several tables walk one hook in turn, so a
// walk at the same place continues, on its own CPU only (on another it is a
// copy's). On the transmit side a packet keeps its device and MACs, so a
// row there continues only a path seen on the same link. A socket handles
// one packet at a time under its lock: a row there after the lock's first
// continues the packet the socket handled last, on whatever CPU. After a
// drop verdict nothing of that packet can follow, and a row more than
// JOURNEY_GAP_NS after the last one is never the same packet either. After a hand-over (a bridge port's frame
// received again on the bridge, a frame or packet sent out again by the
// bridge or by forwarding) a row of a lower place continues the packet, on
// whatever link. A journey that has JOURNEY_ROWS_MAX rows
// takes no more.
#include "placement.h"

#include <algorithm>
#include <queue>

#include "grouping.h"
#include "path_order.h"
#include "trace_layout.h"

namespace {

// The link a row was seen on; "nil" and zero MACs say it is not known yet.
struct link {
    uint32_t device, smac, dmac;
    bool operator==(const link &other) const
    {
        return device == other.device && smac == other.smac && dmac == other.dmac;
    }
};

struct unknown_link {
    uint32_t device, mac;
};

// Above the device layer a forwarded packet's rows still show the frame
// it came in by: its MACs are written only at the device layer, and the IP
// output's entry row shows the device it came in on.
link link_of(report_state &state, const unknown_link &unknown, const trace_row &row)
{
    function_place place = place_of(state, row.function);
    if (place.device_layer)
        return {row.device, row.smac, row.dmac};
    return {place.rank == OUTPUT_RANK ? unknown.device : row.device, unknown.mac, unknown.mac};
}

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


uint64_t mix(uint64_t h, uint64_t v)
{
    h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    return h;
}

} // namespace

int64_t path_gap_ns(report_state &state, const open_path &p)
{
    return place_of(state, p.rows.back().function).waits ? int64_t(trace_layout::WAITING_MAX_NS) : JOURNEY_GAP_NS;
}

namespace {

// Whether a row at `time` comes too late to continue a path (rows are
// placed in time order: its last row's time <= time).
bool too_late(report_state &state, const open_path &p, int64_t time)
{
    return uint64_t(time) - uint64_t(p.rows.back().time) > uint64_t(path_gap_ns(state, p));
}

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

// The name id of a text that tells a device or MAC is not known, looked up once.
uint32_t unknown_id(report_state &state, uint32_t &id, std::string_view text)
{
    if (id == NO_NAME)
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
    // Paths handed over, filed again by place and CPU alone (any link):
    // a row of a lower place continues them. Empty but where bridges or
    // forwarding were traced.
    std::vector<int> handover_ranks;
    std::unordered_map<pile_key, pile, pile_key_hash> handover_piles;
    bool filing = false; // the piles are in use

    size_t scan_max;

    // Closed paths that may still take a drop row or a walk's return: few,
    // and looked at only for those rows.
    std::vector<size_t> lingering;
    // Paths whose last row is a walk's entry: a walk's return belongs to one
    // of them before any other path. Another packet of the key may have
    // moved on past it in the meantime, on the same CPU.
    std::vector<size_t> walking;
    // The path that took the last row under a socket's lock.
    size_t in_socket = NONE;

    path_index(report_state &state_, std::vector<open_path> &paths_, size_t scan_max_)
        : state(state_), paths(paths_),
          unknown{unknown_id(state_, state_.nil_device, "nil"),
                  unknown_id(state_, state_.zero_mac, "00:00:00:00:00:00")},
          scan_max(scan_max_)
    {
    }

    link filed_link(const open_path &p) const
    {
        return p.last_rank < RECEIVE_RANK ? link_of(state, unknown, p.rows.back()) : link{};
    }

    // A path has taken a row (or was just made).
    void moved(size_t i)
    {
        if (place_of(state, paths[i].rows.back().function).walk_entry)
            walking.push_back(i);
        if (place_of(state, paths[i].rows.back().function).rank >= SOCKET_LOCK_RANK)
            in_socket = i;
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
        if (!p.handed_over)
            return;
        auto handed = std::lower_bound(handover_ranks.begin(), handover_ranks.end(), p.last_rank);
        if (handed == handover_ranks.end() || *handed != p.last_rank)
            handover_ranks.insert(handed, p.last_rank);
        handover_piles[{p.last_rank, false, 0, {}}].push({i, p.moves});
        handover_piles[{p.last_rank, true, p.rows.back().cpu, {}}].push({i, p.moves});
    }

    // The newest path handed over at a place after the row's, on its CPU or any.
    size_t handed_over_after(const trace_row &row, int rank, bool own)
    {
        for (auto r = handover_ranks.end(); r != handover_ranks.begin() && *(r - 1) > rank;) {
            auto found = handover_piles.find({*--r, own, own ? row.cpu : 0, {}});
            if (size_t i = top(found == handover_piles.end() ? nullptr : &found->second, row.time);
                i != NONE && paths[i].handover_floor <= rank)
                return i;
        }
        return NONE;
    }

    // The newest path of a pile that a row at `time` may still continue.
    size_t top(pile *pile, int64_t time)
    {
        while (pile && !pile->empty()) {
            const entry &e = pile->top();
            const open_path &p = paths[e.path];
            if (p.moves == e.moves && !p.closed && !too_late(state, p, time))
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
            if (on_transmit_side(row_rank) && !same_link(unknown, on, link_of(state, unknown, row)))
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
    // A drop row whose site is the function an open path stopped at (the
    // same segment twice in flight, one copy freed where the other went on)
    // is that path's; else one whose last row but one is the site, a step
    // the site called last (a TIME_WAIT socket's check inside tcp_v4_rcv),
    // the latest such.
    size_t stopped_where_dropped(const trace_row &row, const function_place &place) const
    {
        if (!place.drop)
            return NONE;
        std::string_view site = base_symbol(split_other_info(state.names.text(row.other_info)).location);
        size_t best = NONE, inside = NONE;
        for (size_t i = 0; i < paths.size(); i++) {
            const open_path &p = paths[i];
            if (p.closed || too_late(state, p, row.time))
                continue;
            if (state.names.text(p.rows.back().function) == site)
                best = i;
            else if (p.rows.size() >= 2 && state.names.text(p.rows[p.rows.size() - 2].function) == site &&
                     (inside == NONE || p.rows.back().time >= paths[inside].rows.back().time))
                inside = i;
        }
        return best != NONE ? best : inside;
    }

    size_t best_for(const trace_row &row, int rank, const function_place &place)
    {
        if (place.walk_return)
            if (size_t walk = walk_returned(row); walk != NONE)
                return walk;
        if (size_t stopped = stopped_where_dropped(row, place); stopped != NONE)
            return stopped;
        if (size_t handled = handled_by_socket(row, rank); handled != NONE)
            return handled;
        if (!filing)
            return scan_for(row, rank, place);
        size_t best = best_open(row, rank, place.walk_entry);
        return rank < 0 && (place.drop || place.walk_return) ? best_lingering(row, place, best) : best;
    }

    // The packet a row under a socket's lock goes on with: the one the
    // socket handled last, if the row is a later step of it. The socket's
    // backlog runs in the process that held the lock, and a preemptible
    // kernel may move that process to another CPU between two steps, so
    // the row's CPU tells nothing here.
    size_t handled_by_socket(const trace_row &row, int rank) const
    {
        if (rank <= SOCKET_LOCK_RANK || in_socket == NONE)
            return NONE;
        const open_path &p = paths[in_socket];
        if (p.closed || p.last_rank >= rank || too_late(state, p, row.time))
            return NONE;
        return in_socket;
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
        // A path handed over got further than any before the row's place.
        for (bool own : {true, false}) {
            if (size_t i = handed_over_after(row, rank, own); i != NONE)
                return i;
            auto end = std::upper_bound(ranks.begin(), ranks.end(), own && walk_entry ? rank : rank - 1);
            for (auto r = end; r != ranks.begin();)
                if (size_t i = top_at(*--r, row, rank, own); i != NONE)
                    return i;
        }
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
                too_late(state, p, row.time))
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
            if (!p.closed || !lingers(state, p) || too_late(state, p, row.time))
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
            if (!takes(state, p, place) || too_late(state, p, row.time))
                continue;
            bool own = last.cpu == row.cpu;
            bool handed = p.handed_over && rank >= p.handover_floor && rank >= 0 && rank < p.last_rank;
            bool continues = rank < 0 || rank > p.last_rank || (rank == p.last_rank && place.walk_entry && own) || handed;
            if (on_transmit_side(rank) && !handed &&
                !same_link(unknown, link_of(state, unknown, last), link_of(state, unknown, row)))
                continue;
            std::pair<bool, int> score{own, rank < 0 ? 0 : p.last_rank};
            if (continues && (best == NONE || score >= best_score))
                best = i, best_score = score;
        }
        return best;
    }
};

} // namespace

namespace {

// A later fragment taken into reassembly goes on, if it completes the
// datagram, under the datagram's key: under its own, no row follows.
bool later_fragment_taken(report_state &state, const trace_row &row, const function_place &place)
{
    return place.handover && reassembled_here(state, row) && fragment_offset(state, row) != 0;
}

} // namespace

bool lingers(report_state &state, const open_path &p)
{
    return !p.drop_told || place_of(state, p.rows.back().function).drop;
}

// The paths of a group's rows, each row on the path it continues: the same
// packet sent twice can be in flight twice at once, its copies on different
// CPUs, and their rows interleave in time. A later step under a socket's
// lock goes on the path the socket handled last. Otherwise a path whose last
// row was on the row's own CPU is preferred, then the one that got furthest
// before the row's function (a socket's backlog runs on another CPU later),
// then the most recent; a row that continues none starts a packet of its own.
// *newest is the path the latest row went on.
std::vector<open_path> place_rows(report_state &state, std::vector<trace_row> &rows, size_t *newest, bool one_packet)
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
        size_t best = path_index::NONE;
        if (!one_packet)
            best = index.best_for(row, rank, place);
        else if (!paths.empty() && paths.back().rows.size() < JOURNEY_ROWS_MAX)
            best = paths.size() - 1;
        if (best == path_index::NONE) {
            paths.push_back({{}, rank, false});
            paths.back().rows = room_for_rows(state);
            best = paths.size() - 1;
        }
        open_path &p = paths[best];
        p.rows.push_back(row);
        if (rank >= 0)
            p.last_rank = rank, p.handed_over = place.handover && !later_fragment_taken(state, row, place),
            p.handover_floor = place.handover_floor;
        // A copy freed for one socket ends nothing: the packet goes on.
        bool packet_drop = place.drop && !frees_a_copy(state, row);
        p.closed = p.closed || packet_drop || (place.walk_return && tells_drop_verdict(state, row)) ||
                   p.rows.size() >= JOURNEY_ROWS_MAX;
        p.drop_told = p.drop_told || packet_drop;
        p.moves++;
        if (!one_packet)
            index.moved(best);
        *newest = best;
    }
    return paths;
}

