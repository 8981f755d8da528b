// How traces of several hosts are joined.
//
// A packet's part on the sender ends at dev_hard_start_xmit; its part on
// the receiver starts at a receive-side row. The two are the same packet
// when protocol, addresses and protocol fields agree (the key of their
// rows, less the host). The clocks are matched first on the keys where
// both hosts saw as many parts, paired in order; with that estimate every
// part is matched within a window; the estimate is then made again from
// all matches, as NTP does: with d_ab the least (receive - send) of the
// packets from a to b and d_ba the other way, b's clock = a's + (d_ab -
// d_ba) / 2, within +-(d_ab + d_ba) / 2 while one-way times are >= 0.
#include "host_join.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_set>

#include "path_order.h"
#include "trace_rows.h"

namespace {

// A receive more than this after its send (in the sender's clock) is no
// longer the same packet.
constexpr int64_t WIRE_WINDOW_NS = 1000 * 1000 * 1000;

using wide = __int128;

int64_t clamp64(wide v)
{
    return v > INT64_MAX ? INT64_MAX : v < INT64_MIN ? INT64_MIN : int64_t(v);
}

// A packet's key without its host; IPV6_ADDRESSES in protocol for an
// IPv6 trace's, whose addresses are name ids.
struct packet_key {
    uint32_t protocol, saddr, daddr, fields[4];
    bool operator<(const packet_key &o) const
    {
        return std::tie(protocol, saddr, daddr, fields[0], fields[1], fields[2], fields[3]) <
               std::tie(o.protocol, o.saddr, o.daddr, o.fields[0], o.fields[1], o.fields[2], o.fields[3]);
    }
};

struct parts_of_key {
    std::vector<journey *> sent, received; // in time order
};

// Per host: its parts by key; its traced span.
struct host_parts {
    std::map<packet_key, parts_of_key> keys;
    int64_t first = INT64_MAX, last = INT64_MIN;
};

bool is_sent_part(const journey &j, uint32_t xmit)
{
    return j.rows.back().function == xmit && j.end.kind == ending_kind::ended;
}

// A receive whose every probe the kernel skipped but its drop still shows
// as that drop row alone: the function it names says which side it was on.
bool is_received_part(report_state &state, const journey &j, int xmit_rank)
{
    uint32_t first = j.rows.front().function;
    if (place_of(state, first).drop && j.end.is_drop() && j.end.function != NO_NAME)
        first = j.end.function;
    return place_of(state, first).rank > xmit_rank;
}

struct match {
    journey *sent, *received;
    bool a_to_b;
};

// The receive time less the send time, in the sender's clock by `offset`
// (b's clock = a's + offset).
wide one_way(const match &m, int64_t offset)
{
    wide d = wide(m.received->start()) - m.sent->rows.back().time;
    return m.a_to_b ? d - offset : d + offset;
}

struct estimate {
    bool both_ways = false;
    int64_t offset = 0, error = 0;
};

estimate estimate_of(const std::vector<match> &matches)
{
    wide d_ab = 0, d_ba = 0;
    bool ab = false, ba = false;
    for (const match &m : matches) {
        wide d = one_way(m, 0);
        wide &least = m.a_to_b ? d_ab : d_ba;
        bool &seen = m.a_to_b ? ab : ba;
        least = seen ? std::min(least, d) : d;
        seen = true;
    }
    estimate e;
    e.both_ways = ab && ba;
    e.offset = clamp64((d_ab - d_ba) / 2);
    // With matches that cannot all be right the bound would be negative.
    e.error = clamp64(std::max<wide>(0, (d_ab + d_ba + 1) / 2));
    return e;
}

// Sends of one host against receives of the other, key by key. Without an
// estimate only keys seen as often on both sides count, paired in order.
void match_direction(host_parts &from, host_parts &to, bool a_to_b, const estimate *e,
                     std::vector<match> &out)
{
    for (auto &[key, parts] : from.keys) {
        auto other = to.keys.find(key);
        if (parts.sent.empty() || other == to.keys.end() || other->second.received.empty())
            continue;
        std::vector<journey *> &received = other->second.received;
        if (!e) {
            if (parts.sent.size() == received.size())
                for (size_t i = 0; i < received.size(); i++)
                    out.push_back({parts.sent[i], received[i], a_to_b});
            continue;
        }
        size_t r = 0;
        for (journey *sent : parts.sent) {
            for (; r < received.size(); r++) {
                wide w = one_way({sent, received[r], a_to_b}, e->offset);
                if (w >= -wide(e->error) - 1)
                    break; // received before it was sent: another packet's
            }
            if (r == received.size())
                break;
            if (one_way({sent, received[r], a_to_b}, e->offset) <= WIRE_WINDOW_NS)
                out.push_back({sent, received[r++], a_to_b});
        }
    }
}

int64_t saturated_add(int64_t a, int64_t b)
{
    return clamp64(wide(a) + b);
}

joined_journey make_joined(report_state &state, const match &m, uint32_t from, uint32_t to, const estimate &e)
{
    joined_journey jj{m.sent, m.received, from, to, 0, e.error, {}};
    jj.wire_ns = clamp64(std::max<wide>(0, one_way(m, e.offset)));
    journey &whole = jj.whole;
    whole.source = m.sent->source;
    whole.rows = m.sent->rows;
    int64_t arrival = saturated_add(m.sent->rows.back().time, jj.wire_ns);
    for (const trace_row &row : m.received->rows) {
        whole.rows.push_back(row);
        whole.rows.back().time = saturated_add(arrival, elapsed_ns(m.received->start(), row.time));
    }
    // Each part's steps on its host.
    for (const journey *part : {m.sent, m.received})
        for (uint32_t id : part->steps) {
            step s = state.steps.get(id);
            s.host = part == m.sent ? from : to;
            whole.steps.push_back(state.steps.id(s));
        }
    whole.end = m.received->end;
    whole.first_of_flow = m.sent->first_of_flow || m.received->first_of_flow;
    return jj;
}

} // namespace

bool valid_host_name(std::string_view name)
{
    if (name.empty() || name.size() > 32)
        return false;
    for (char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
              c == '_' || c == '-'))
            return false;
    return true;
}

std::string host_name_of_file(const std::string &path)
{
    if (path == "-")
        return "stdin";
    std::string base = path.substr(path.find_last_of('/') + 1);
    size_t dot = base.find_last_of('.');
    return dot == 0 || dot == std::string::npos ? base : base.substr(0, dot);
}

void join_hosts(report_state &state, host_join &join, std::vector<journey> &journeys)
{
    uint32_t xmit = state.names.id("dev_hard_start_xmit");
    int xmit_rank = place_of(state, xmit).rank;
    std::vector<host_parts> hosts(join.hosts.size());
    for (journey &j : journeys) {
        host_parts &h = hosts[join.host_of_source[j.source]];
        h.first = std::min(h.first, j.start());
        h.last = std::max(h.last, j.rows.back().time);
        flow_key k = key_of(j.source, state.sources[j.source].protocol, j.rows.front());
        uint32_t family = state.sources[j.source].ipv6 ? IPV6_ADDRESSES : 0;
        packet_key key{state.sources[j.source].protocol | family, k.saddr, k.daddr,
                       {k.fields[0], k.fields[1], k.fields[2], k.fields[3]}};
        bool sent = is_sent_part(j, xmit), received = !sent && is_received_part(state, j, xmit_rank);
        if (sent)
            h.keys[key].sent.push_back(&j);
        if (received)
            h.keys[key].received.push_back(&j);
    }
    for (host_parts &h : hosts)
        for (auto &[key, parts] : h.keys)
            for (auto *list : {&parts.sent, &parts.received})
                std::sort(list->begin(), list->end(),
                          [](const journey *a, const journey *b) { return a->start() < b->start(); });

    join.shift.assign(hosts.size(), 0);
    std::vector<bool> shifted(hosts.size(), false);
    shifted[0] = true;
    std::unordered_set<const journey *> used;
    for (uint32_t a = 0; a < hosts.size(); a++)
        for (uint32_t b = a + 1; b < hosts.size(); b++) {
            std::vector<match> first;
            match_direction(hosts[a], hosts[b], true, nullptr, first);
            match_direction(hosts[b], hosts[a], false, nullptr, first);
            estimate e = estimate_of(first);
            std::vector<match> all;
            if (e.both_ways) {
                match_direction(hosts[a], hosts[b], true, &e, all);
                match_direction(hosts[b], hosts[a], false, &e, all);
                estimate again = estimate_of(all);
                if (again.both_ways && again.error <= e.error) {
                    e = again;
                    all.clear();
                    match_direction(hosts[a], hosts[b], true, &e, all);
                    match_direction(hosts[b], hosts[a], false, &e, all);
                }
            }
            all.erase(std::remove_if(all.begin(), all.end(),
                                     [&](const match &m) { return used.count(m.sent) || used.count(m.received); }),
                      all.end());
            if (!e.both_ways || all.empty()) {
                join.unmatched.push_back({a, b});
                continue;
            }
            join.clocks.push_back({a, b, e.offset, e.error, all.size()});
            if (shifted[a] && !shifted[b])
                join.shift[b] = clamp64(wide(join.shift[a]) - e.offset), shifted[b] = true;
            else if (shifted[b] && !shifted[a])
                join.shift[a] = clamp64(wide(join.shift[b]) + e.offset), shifted[a] = true;
            // The receiver's addresses as the sender saw them, per direction.
            std::set<std::pair<uint32_t, uint32_t>> addresses_of[2]; // [0]: b's, [1]: a's; with the family
            for (const match &m : all) {
                used.insert(m.sent), used.insert(m.received);
                const trace_row &first = m.sent->rows.front();
                addresses_of[m.a_to_b ? 0 : 1].insert({first.ipv6 ? IPV6_ADDRESSES : 0, first.daddr});
                joined_journey jj = m.a_to_b ? make_joined(state, m, a, b, e) : make_joined(state, m, b, a, e);
                join.joined.push_back(std::move(jj));
            }
            // Left one host for the other while the other was tracing, never seen there.
            for (int way = 0; way < 2; way++) {
                uint32_t from = way ? b : a, to = way ? a : b;
                int64_t to_other = way ? -e.offset : e.offset;
                for (auto &[key, parts] : hosts[from].keys)
                    for (journey *sent : parts.sent) {
                        wide there = wide(sent->rows.back().time) + to_other;
                        bool to_other_host = addresses_of[way].count({key.protocol & IPV6_ADDRESSES, key.daddr});
                        if (!used.count(sent) && to_other_host && there >= hosts[to].first && there <= hosts[to].last)
                            sent->end = {ending_kind::never_arrived, NO_NAME, NO_NAME, NO_NAME, NO_NAME, NO_NAME, from, to};
                    }
            }
        }
    for (size_t i = 0; i < join.joined.size(); i++) {
        join.part_of[join.joined[i].sent] = i;
        join.part_of[join.joined[i].received] = i;
    }
}

bool host_alone(const host_join &join, uint32_t host)
{
    for (const host_clock &c : join.clocks)
        if (c.a == host || c.b == host)
            return false;
    return true;
}

std::string unmatched_text(const host_join &join, std::pair<uint32_t, uint32_t> pair)
{
    return "no traffic seen in both directions between " + shown_text(join.hosts[pair.first]) + " and " +
           shown_text(join.hosts[pair.second]) + ": their clocks cannot be matched";
}

int64_t ordered_start(const host_join &join, const journey &j)
{
    if (join.shift.empty())
        return j.start();
    return saturated_add(j.start(), join.shift[join.host_of_source[j.source]]);
}

int64_t joined_duration(const joined_journey &jj)
{
    return jj.whole.duration_ns();
}
