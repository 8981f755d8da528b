#include "path_order.h"

#include <charconv>
#include <cstring>

#include "trace_layout.h"
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
#define PROBE(program, kind, section, function, point, body, args, module, rank, device_layer, family) \
    {kind ? #program : #function, rank, device_layer != 0, kind},
const known_function PATH[] = {
#include "probe_points.def"
    // Older monitors probed it; its rows keep their place.
    {"__netif_receive_skb_core", 85, true, false},
};
#undef PROBE

// After these the packet goes on at an earlier place, down to a rank:
// received again on the bridge, sent out again by the bridge or by
// forwarding, a completed datagram going on from IP's receive.
#define PROBE(...)
#define HANDOVER(function, lowest_rank) {#function, lowest_rank},
const struct {
    const char *label;
    int lowest_rank;
} HANDOVERS[] = {
#include "probe_points.def"
};
#undef HANDOVER
#define HANDOVER(function, lowest_rank)
#define WAITS(function) #function,
const char *const WAITING_PLACES[] = {
#include "probe_points.def"
};
#undef WAITS
#undef HANDOVER
#undef PROBE

struct known_hook {
    const char *name;
    int rank;
};
#define PROBE(...)
#define HOOK(name, rank) {#name, rank},
const known_hook HOOKS[] = {
#include "probe_points.def"
};
#undef HOOK
#undef PROBE
#undef RETURN
#undef TRACEPOINT
#undef ENTRY

int rank_of_function(const char *label)
{
    for (const known_function &known : PATH)
        if (strcmp(known.label, label) == 0)
            return known.rank;
    return NO_RANK;
}

bool one_of(std::string_view text, std::initializer_list<const char *> names)
{
    for (const char *name : names)
        if (text == name)
            return true;
    return false;
}

// Where the kernel frees a copy of a packet it made for one socket: an
// AF_PACKET socket's, a raw socket's, or one datagram socket's of several.
copy_kind copy_freed(const other_info_fields &drop)
{
    std::string_view at = base_symbol(drop.location);
    if (drop.reason == "PACKET_SOCK_ERROR" ||
        one_of(at, {"raw_rcv_skb", "raw_rcv", "raw_v4_input", "rawv6_rcv_skb", "rawv6_rcv"}))
        return copy_kind::always;
    if (one_of(at, {"__udp_queue_rcv_skb", "udp_queue_rcv_one_skb", "udp_queue_rcv_skb", "__udp_enqueue_schedule_skb",
                    "sock_queue_rcv_skb_reason", "__sock_queue_rcv_skb", "__udpv6_queue_rcv_skb",
                    "udpv6_queue_rcv_one_skb", "udpv6_queue_rcv_skb"}))
        return copy_kind::to_many;
    return copy_kind::no;
}

// Where a later fragment begins ("frag_off:1480"), 0 for any other row.
uint32_t fragment_offset_in(std::string_view unknown)
{
    size_t at = unknown.find(trace_layout::FRAGMENT_PREFIX);
    if (at == std::string_view::npos)
        return 0;
    unknown.remove_prefix(at + sizeof(trace_layout::FRAGMENT_PREFIX) - 1);
    uint32_t offset = 0;
    std::from_chars(unknown.data(), unknown.data() + unknown.size(), offset);
    return offset;
}

const report_state::other_info_facts &facts_of(report_state &state, uint32_t other_info)
{
    while (state.info_facts.size() <= other_info) {
        other_info_fields info = split_other_info(state.names.text(uint32_t(state.info_facts.size())));
        state.info_facts.push_back({hook_rank(info.hook), info.verdict == "NF_DROP", copy_freed(info),
                                    info.unknown.find(trace_layout::FRAGMENT_PREFIX) != std::string_view::npos,
                                    info.accept_queue_full, info.gro_merged, info.sole,
                                    fragment_offset_in(info.unknown)});
    }
    return state.info_facts[other_info];
}

} // namespace

const int RECEIVE_RANK = rank_of_function("napi_gro_receive");
const int SOCKET_RANK = rank_of_function("ip_local_deliver_finish") + 1;
const int SOCKET_LOCK_RANK = rank_of_function("tcp_v4_do_rcv");
const int HANDED_TO_DEVICE_RANK = rank_of_function("dev_hard_start_xmit");
const int OUTPUT_RANK = rank_of_function("ip_output");

int hook_rank(std::string_view hook)
{
    for (const known_hook &h : HOOKS)
        if (hook == h.name)
            return h.rank;
    return -1;
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
        for (const auto &handover : HANDOVERS)
            if (name == handover.label)
                place.handover = true, place.handover_floor = handover.lowest_rank;
        for (const char *waiting : WAITING_PLACES)
            place.waits = place.waits || name == waiting;
        state.places.push_back(place);
    }
    return state.places[function];
}

int row_rank(report_state &state, const trace_row &row)
{
    function_place place = place_of(state, row.function);
    if (place.walk_entry)
        return facts_of(state, row.other_info).hook_rank;
    return place.rank;
}

bool tells_drop_verdict(report_state &state, const trace_row &row)
{
    return facts_of(state, row.other_info).drop;
}

bool tells_accept_queue_full(report_state &state, const trace_row &row)
{
    return facts_of(state, row.other_info).accept_queue_full;
}

uint32_t fragment_offset(report_state &state, const trace_row &row)
{
    return facts_of(state, row.other_info).fragment_offset;
}

bool tells_gro_merged(report_state &state, const trace_row &row)
{
    return facts_of(state, row.other_info).gro_merged;
}

std::string_view base_symbol(std::string_view symbol)
{
    size_t dot = symbol.find('.');
    return dot == std::string_view::npos ? symbol : symbol.substr(0, dot);
}

bool reassembled_here(report_state &state, const trace_row &row)
{
    // Any fragment taken into reassembly: the one that completes it goes on
    // as the datagram, the others are in it.
    std::string_view function = state.names.text(row.function);
    if (function == "ip_defrag")
        return true;
    // Without that row: IPv4 queues a later fragment in ip_local_deliver,
    // IPv6 in the fragment header's handler that ip6_input_finish calls.
    if (!facts_of(state, row.other_info).later_fragment)
        return false;
    return function == "ip_local_deliver" || function == "ip6_input_finish";
}

bool frees_a_copy(report_state &state, const trace_row &row)
{
    if (!place_of(state, row.function).drop)
        return false;
    switch (facts_of(state, row.other_info).copy) {
    case copy_kind::always:
        return true;
    case copy_kind::to_many:
        // A group's datagram goes to each member but the first as a copy,
        // to the first as itself: one member alone holds the only buffer.
        return sent_to_group(state, row) && !facts_of(state, row.other_info).sole;
    case copy_kind::no:
        break;
    }
    return false;
}

bool sent_to_group(report_state &state, const trace_row &row)
{
    if (row.ipv6) // ff00::/8; IPv6 has no broadcast
        return uint8_t(state.names.text(row.daddr)[0]) == 0xff;
    if ((row.daddr >> 28) == 0xe || row.daddr == 0xffffffffu)
        return true;
    // "ff:ff:ff:ff:ff:ff", "01:00:5e:...": the first octet's lowest bit.
    std::string_view mac = state.names.text(row.dmac);
    unsigned first = 0;
    return mac.size() >= 2 && std::from_chars(mac.data(), mac.data() + 2, first, 16).ptr == mac.data() + 2 &&
           (first & 1) != 0;
}

bool unheld_group_datagram(report_state &state, const trace_row &row, const other_info_fields &drop)
{
    return drop.reason == "NOT_SPECIFIED" &&
           one_of(base_symbol(drop.location), {"__udp4_lib_mcast_deliver", "__udp4_lib_rcv", "udp_rcv",
                                               "__udp6_lib_mcast_deliver", "__udp6_lib_rcv", "udpv6_rcv"}) &&
           sent_to_group(state, row);
}

int step_rank(report_state &state, uint32_t step_id)
{
    const step &s = state.steps.get(step_id);
    if (s.hook != NO_NAME)
        return hook_rank(state.names.text(s.hook));
    return place_of(state, s.function).rank;
}
