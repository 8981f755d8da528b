#include "endings.h"

#include <algorithm>

#include "grouping.h"
#include "harmless_drops.h"
#include "path_order.h"
#include "trace_rows.h"
#include "vn_bpf_net_monitor.h"

namespace {

constexpr uint32_t ICMPV6_ECHO_REPLY = 129;

enum class drop_role { packet, netfilter, copy, raw_handled, purged, stale, time_wait, handshake, no_ping_socket, count };

drop_role role_of(report_state &state, const journey &j, size_t at, const other_info_fields &drop)
{
    if (drop.reason == "NETFILTER_DROP")
        return drop_role::netfilter;
    // A socket's queue purged at its close held a packet delivered; a
    // neighbour's, one that never left (the neighbour failed or was
    // flushed with its device).
    if (drop.reason == "QUEUE_PURGE")
        return at > 0 && place_of(state, j.rows[at - 1].function).waits ? drop_role::packet : drop_role::purged;
    // 6.1 names both data the receiver had and new data beyond its window
    // so, later kernels the second alone (the first is TCP_OLD_SEQUENCE):
    // the receiver's own ACKs tell which. Without them it stays harmless.
    bool acks_known = false;
    if (drop.reason == "TCP_INVALID_SEQUENCE" && state.sources[j.source].protocol == PROTO_TCP &&
        !had_been_acked(state, j.source, j.rows[at], acks_known) && acks_known)
        return drop_role::packet;
    if (harmless_drop_reason(drop.reason))
        return drop_role::stale;
    // A socket in TIME_WAIT (as early demux or the segment's own lookup
    // found it) or a connection in its handshake handles a segment and
    // frees it without a reason.
    if (drop.reason == "NOT_SPECIFIED" &&
        (base_symbol(drop.location) == "tcp_v4_rcv" || base_symbol(drop.location) == "tcp_v6_rcv"))
        for (size_t k = 0; k < at; k++) {
            std::string_view sock = split_other_info(state.names.text(j.rows[k].other_info)).sock;
            if (sock == "TCP_TIME_WAIT")
                return drop_role::time_wait;
            if (sock == "TCP_NEW_SYN_RECV")
                return drop_role::handshake;
        }
    if (frees_a_copy(state, j.rows[at]))
        return drop_role::copy;
    // ping reads its replies on a raw socket: the kernel gave that socket its
    // copy (raw_rcv, rawv6_rcv) and frees the rest, which no ping socket wanted.
    if (drop.reason == "NO_SOCKET")
        for (size_t k = 0; k < at; k++)
            if (is_raw_copy(state.names.text(j.rows[k].function)))
                return drop_role::raw_handled;
    // An echo reply with no raw socket's copy in the trace (a monitor or a
    // kernel without the IPv6 raw socket's probe) may still have reached
    // ping's raw socket: whether it was delivered is not known.
    const trace_row &row = j.rows[at];
    if (drop.reason == "NO_SOCKET" && base_symbol(drop.location) == "icmpv6_rcv" && row.ipv6 &&
        row.fields[0] == ICMPV6_ECHO_REPLY)
        return drop_role::no_ping_socket;
    return drop_role::packet;
}

// The table walk a NETFILTER_DROP at row `at` belongs to, or -1: an
// iptables walk returns its NF_DROP just before the kernel frees the
// packet; an nft walk is told dropping before it returns, so it is the
// last walk entered and not yet returned.
long blamed_walk(report_state &state, const journey &j, size_t at)
{
    if (at > 0 && tells_drop_verdict(state, j.rows[at - 1])) {
        for (size_t k = at - 1; k-- > 0;)
            if (place_of(state, j.rows[k].function).walk_entry)
                return long(k);
        return -1;
    }
    size_t returned = 0;
    for (size_t k = at; k-- > 0;) {
        function_place place = place_of(state, j.rows[k].function);
        if (place.walk_return)
            returned++;
        else if (place.walk_entry && returned > 0)
            returned--;
        else if (place.walk_entry)
            return long(k);
    }
    return -1;
}

void blame_walk(report_state &state, ending &e, const trace_row &walk)
{
    other_info_fields info = split_other_info(state.names.text(walk.other_info));
    e.kind = ending_kind::dropped_by_table;
    e.hook = state.names.id_or_none(info.hook);
    e.table = state.names.id_or_none(info.table);
    e.chain = state.names.id_or_none(info.chain);
}

// No drop row (an older monitor, or none attached): a walk that returned
// NF_DROP at the end of the journey dropped it.
bool dropped_by_verdict(report_state &state, journey &j)
{
    for (size_t i = j.rows.size(); i-- > 0;) {
        function_place place = place_of(state, j.rows[i].function);
        if (!place.walk_return)
            continue;
        if (!tells_drop_verdict(state, j.rows[i]))
            return false;
        for (size_t k = i; k-- > 0;)
            if (place_of(state, j.rows[k].function).walk_entry) {
                blame_walk(state, j.end, j.rows[k]);
                return true;
            }
        return false;
    }
    return false;
}

// "filter", or an nft table's family and name, "inet fw": the blank between
// them is the monitor's, any in a name it wrote escaped.
std::string table_text(const name_table &names, uint32_t table)
{
    if (table == NO_NAME)
        return "?";
    std::string_view text = names.text(table);
    size_t blank = text.find(' ');
    if (blank == std::string_view::npos)
        return shown_text(text);
    return shown_text(text.substr(0, blank)) + " " + shown_text(text.substr(blank + 1));
}

// Why NFQUEUE freed a packet without a reason, by the site; null elsewhere.
const char *nfqueue_drop(std::string_view site)
{
    std::string_view base = base_symbol(site);
    if (base == "nf_queue")
        return "no program takes its NFQUEUE queue";
    if (base == "nf_reinject" || base == "nfqnl_reinject" || base == "nfqnl_recv_verdict")
        return "its NFQUEUE program's verdict";
    return nullptr;
}

// What a free without a reason says where the site tells it.
const char *unexplained_drop(std::string_view site)
{
    const char *queued = nfqueue_drop(site);
    return queued ? queued : "reason not given by this kernel";
}

// The queue the journey's last NF_QUEUE verdict sent it to, or NO_NAME.
uint32_t queue_sent_to(report_state &state, const journey &j)
{
    for (size_t i = j.rows.size(); i-- > 0;) {
        if (!place_of(state, j.rows[i].function).walk_return)
            continue;
        std::string_view queue = split_other_info(state.names.text(j.rows[i].other_info)).queue;
        if (!queue.empty())
            return state.names.id(queue);
    }
    return NO_NAME;
}

} // namespace

void settle_ending(report_state &state, journey &j)
{
    ending &e = j.end;
    e = {};
    if (std::any_of(j.rows.begin(), j.rows.end(), [](const trace_row &row) { return row.cut; })) {
        e.kind = ending_kind::unknown;
        return;
    }
    // The listener's own word that it dropped the packet: the kernel frees
    // it as handled, or (the last ACK) without a reason that says why.
    for (const trace_row &row : j.rows)
        if (tells_accept_queue_full(state, row)) {
            e.kind = ending_kind::accept_queue_full;
            e.function = row.function;
            return;
        }
    // Each drop row told: the packet's own drop ends it; what was freed
    // after a delivery (a copy, the rest after a raw socket's copy, a purge)
    // tells how it was delivered.
    ending told[size_t(drop_role::count)];
    bool seen[size_t(drop_role::count)] = {};
    bool forwarding_off = false; // the packet's drop row says its device does not forward
    bool no_group_socket = false; // the packet's drop row: a broadcast or multicast no socket held
    for (size_t i = 0; i < j.rows.size(); i++) {
        if (!place_of(state, j.rows[i].function).drop)
            continue;
        other_info_fields drop = split_other_info(state.names.text(j.rows[i].other_info));
        drop_role role = role_of(state, j, i, drop);
        ending &slot = told[size_t(role)];
        if (seen[size_t(role)])
            continue; // the first of each role tells it
        seen[size_t(role)] = true;
        slot.reason = state.names.id_or_none(drop.reason);
        slot.function = state.names.id_or_none(drop.location);
        forwarding_off = forwarding_off || (role == drop_role::packet && drop.forwarding_off);
        no_group_socket = no_group_socket || (role == drop_role::packet && unheld_group_datagram(state, j.rows[i], drop));
        if (role == drop_role::netfilter) {
            long walk = blamed_walk(state, j, i);
            if (walk >= 0)
                blame_walk(state, slot, j.rows[size_t(walk)]);
            else
                slot.kind = ending_kind::dropped_by_hook;
        }
    }
    static const std::pair<drop_role, ending_kind> by_weight[] = {
        {drop_role::packet, ending_kind::dropped},         {drop_role::raw_handled, ending_kind::raw_delivered},
        {drop_role::purged, ending_kind::freed_unread},    {drop_role::stale, ending_kind::discarded},
        {drop_role::time_wait, ending_kind::time_wait},    {drop_role::handshake, ending_kind::handshake},
        {drop_role::copy, ending_kind::copy_dropped},
        {drop_role::no_ping_socket, ending_kind::no_ping_socket},
    };
    // The packet's own drop, a table's or the kernel's, whichever came first.
    if (seen[size_t(drop_role::packet)] || seen[size_t(drop_role::netfilter)]) {
        bool netfilter_first = seen[size_t(drop_role::netfilter)] && !seen[size_t(drop_role::packet)];
        e = told[size_t(netfilter_first ? drop_role::netfilter : drop_role::packet)];
        if (!netfilter_first)
            e.kind = forwarding_off    ? ending_kind::forwarding_off
                     : no_group_socket ? ending_kind::no_group_socket
                                       : ending_kind::dropped;
        if (e.kind == ending_kind::dropped && e.function != NO_NAME && nfqueue_drop(state.names.text(e.function)))
            e.queue = queue_sent_to(state, j);
        return;
    }
    for (const auto &[role, kind] : by_weight)
        if (seen[size_t(role)]) {
            e = told[size_t(role)];
            e.kind = kind;
            return;
        }
    if (dropped_by_verdict(state, j))
        return;
    const trace_row &last = j.rows.back();
    int rank = row_rank(state, last);
    e.function = last.function;
    if (tells_gro_merged(state, last)) {
        e.kind = ending_kind::merged_by_gro;
        return;
    }
    bool delivered = rank >= SOCKET_RANK || rank == HANDED_TO_DEVICE_RANK || reassembled_here(state, last);
    e.kind = delivered ? ending_kind::ended : ending_kind::last_seen;
}

void settle_losses(report_state &state, journey &j)
{
    const trace_source &source = state.sources[j.source];
    if (source.losses.empty())
        return;
    // A drop row with samples lost on its CPU since the row before it (or
    // just before it, where it is the first): the rows that tell why the
    // kernel freed it (a socket in TIME_WAIT that handled it, a raw
    // socket's copy) may be the lost ones, or it may be of another packet
    // whose buffer it was by then.
    for (size_t d = 0; d < j.rows.size(); d++) {
        const trace_row &drop = j.rows[d];
        if (!place_of(state, drop.function).drop)
            continue;
        int64_t since = d > 0                                   ? j.rows[d - 1].time
                        : drop.time < INT64_MIN + JOURNEY_GAP_NS ? INT64_MIN
                                                                 : drop.time - JOURNEY_GAP_NS;
        auto w = std::lower_bound(source.losses.begin(), source.losses.end(), since,
                                  [](const loss_window &w, int64_t t) { return w.to < t; });
        for (; w != source.losses.end() && w->to - source.longest_loss_ns <= drop.time; ++w)
            if (w->from <= drop.time && (d == 0 || w->cpu == drop.cpu)) {
                j.end = {};
                j.end.kind = ending_kind::samples_lost;
                return;
            }
    }
    // Only what a row told stays told: a drop, or a delivery a drop row
    // followed. A packet last seen at a socket may have been dropped there
    // by a row that was lost.
    if (j.end.kind != ending_kind::last_seen && j.end.kind != ending_kind::ended)
        return;
    // Its next row would come after its last, and no later than a row that
    // still continues a journey.
    const trace_row &last_row = j.rows.back();
    int64_t last = last_row.time;
    int64_t reach = last > INT64_MAX - JOURNEY_GAP_NS ? INT64_MAX : last + JOURNEY_GAP_NS;
    // A datagram a socket took is dropped, if at all, in the softirq that
    // took it, on its CPU; what another CPU does later (reads it, frees it
    // at close) leaves it delivered. A TCP segment may go on from its
    // socket's backlog on another CPU, and a packet on its way on any.
    bool held_by_socket = j.end.kind == ending_kind::ended && row_rank(state, last_row) >= SOCKET_RANK &&
                          source.protocol != PROTO_TCP;
    auto used = [&](int32_t cpu) {
        return std::any_of(j.rows.begin(), j.rows.end(), [&](const trace_row &row) { return row.cpu == cpu; });
    };
    auto from = std::upper_bound(source.losses.begin(), source.losses.end(), last,
                                 [](int64_t t, const loss_window &w) { return t < w.to; });
    for (auto w = from; w != source.losses.end(); ++w) {
        if (w->to - source.longest_loss_ns > reach)
            break;
        if (w->from <= reach && (!held_by_socket || used(w->cpu))) {
            j.end = {};
            j.end.kind = ending_kind::samples_lost;
            return;
        }
    }
}

std::string ending_sentence(const name_table &names, const std::vector<std::string> &hosts, const ending &e)
{
    auto known = [&](uint32_t id) { return id == NO_NAME ? std::string("?") : shown_text(names.text(id)); };
    switch (e.kind) {
    case ending_kind::unknown:
        return ENDING_UNKNOWN;
    case ending_kind::never_arrived:
        return "left " + shown_text(hosts[e.from_host]) + " at dev_hard_start_xmit, never seen at " +
               shown_text(hosts[e.to_host]);
    case ending_kind::dropped_by_table:
        return "dropped by table " + table_text(names, e.table) + (e.chain == NO_NAME ? "" : " base chain " + known(e.chain)) +
               " at " + known(e.hook);
    case ending_kind::dropped:
        if (e.reason != NO_NAME && names.text(e.reason) == "NOT_SPECIFIED")
            return "dropped at " + known(e.function) + ": " +
                   unexplained_drop(e.function == NO_NAME ? std::string_view() : names.text(e.function)) +
                   (e.queue == NO_NAME ? "" : " (queue " + known(e.queue) + ")");
        if (e.reason != NO_NAME && names.text(e.reason) == "TCP_INVALID_SEQUENCE")
            return "dropped at " + known(e.function) + ": TCP_INVALID_SEQUENCE (beyond the receive window)";
        return "dropped at " + known(e.function) + ": " + known(e.reason);
    case ending_kind::forwarding_off:
        return "dropped at " + known(e.function) + ": IPv4 forwarding is off";
    case ending_kind::no_group_socket:
        return "dropped at " + known(e.function) + ": no socket for the broadcast or multicast";
    case ending_kind::accept_queue_full:
        return "dropped at " + known(e.function) + ": the listener's accept queue is full";
    case ending_kind::dropped_by_hook:
        return "dropped by a netfilter hook that is not a traced table (conntrack, ...)";
    case ending_kind::raw_delivered:
        return "delivered to a raw socket";
    case ending_kind::freed_unread:
        return "delivered, freed unread at close";
    case ending_kind::discarded:
        return "discarded: duplicate or stale (" + known(e.reason) + ")";
    case ending_kind::copy_dropped:
        return "a copy for one socket dropped (" + known(e.reason) + ")";
    case ending_kind::time_wait:
        return "delivered to a socket in TIME_WAIT";
    case ending_kind::handshake:
        return "delivered to a connection in its handshake";
    case ending_kind::merged_by_gro:
        return "merged by GRO into the packet before it";
    case ending_kind::samples_lost:
        return "not seen to the end (samples lost)";
    case ending_kind::last_seen:
        return "last seen at " + known(e.function);
    case ending_kind::no_ping_socket:
        return "no ping socket took it, and no raw socket's copy was traced";
    case ending_kind::ended:
        break;
    }
    return "ended at " + shown_text(names.text(e.function));
}
