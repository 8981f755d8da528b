// Where each probed function and each table walk sits on a packet's path,
// from the monitor's probe list: the one place path order is known.
#pragma once

#include <cstdint>
#include <string_view>

#include "report_state.h"
#include "trace_rows.h"

// The place of a netfilter hook's walks ("NF_INET_LOCAL_IN"), or -1.
int hook_rank(std::string_view hook);

// Ranks below this are the transmit side: there a packet keeps the device
// it was given and, once known, its MACs. It is where the driver hands a
// received packet over.
extern const int RECEIVE_RANK;
// From this rank on a packet has reached a socket's protocol (raw or
// transport): with no drop told after it, it was delivered.
extern const int SOCKET_RANK;
// From this rank on (tcp_v4_do_rcv, tcp_v6_do_rcv and what they call) a
// packet is handled under its socket's lock: one packet of a socket at a
// time, in a softirq or, from the socket's backlog, in the process that
// held the lock, which a preemptible kernel may move to another CPU.
extern const int SOCKET_LOCK_RANK;
// Where the transmit side hands a packet to its device's driver.
extern const int HANDED_TO_DEVICE_RANK;
// The IP output's entry (ip_output, ip6_output): it sets the device the
// packet leaves by only inside, so its row still shows the one before.
extern const int OUTPUT_RANK;
inline bool on_transmit_side(int rank)
{
    return rank >= 0 && rank < RECEIVE_RANK;
}

function_place learn_place(report_state &state, uint32_t function);
inline function_place place_of(report_state &state, uint32_t function)
{
    return function < state.places.size() ? state.places[function] : learn_place(state, function);
}

// The place of a row: its function's, or a walk's hook's.
int row_rank(report_state &state, const trace_row &row);
// Whether a row is a walk's return that tells a drop verdict.
bool tells_drop_verdict(report_state &state, const trace_row &row);
// Whether a row tells that a listener's full accept queue dropped its packet.
bool tells_accept_queue_full(report_state &state, const trace_row &row);
// Where a later fragment begins in its datagram, in bytes; 0 for any other row.
uint32_t fragment_offset(report_state &state, const trace_row &row);
// Whether a row tells that GRO merged its segment into the packet before it.
bool tells_gro_merged(report_state &state, const trace_row &row);
// Whether a drop row frees a copy made for one socket (a raw or AF_PACKET
// socket's, one of a multicast's or broadcast's), not the packet itself,
// which goes on.
bool frees_a_copy(report_state &state, const trace_row &row);
// Whether a row's packet went to a group: an IPv4 multicast or the limited
// broadcast, a frame sent to a group's MAC (a subnet's broadcast), IPv6's
// multicast.
bool sent_to_group(report_state &state, const trace_row &row);
// Whether a drop row is UDP's free, with no reason, of a broadcast or
// multicast datagram no socket held (the kernel counts it as IgnoredMulti).
bool unheld_group_datagram(report_state &state, const trace_row &row, const other_info_fields &drop);

// A raw socket's copy of a packet (ping's): raw_rcv, or IPv6's rawv6_rcv.
inline bool is_raw_copy(std::string_view function)
{
    return function == "raw_rcv" || function == "rawv6_rcv";
}
// Whether a row is a fragment after the first at ip_local_deliver, where the
// kernel takes it into the whole datagram: its journey ends there.
bool reassembled_here(report_state &state, const trace_row &row);
// A symbol without the suffix a compiler gives a copy of it ("ip_rcv_finish_core.isra.0").
std::string_view base_symbol(std::string_view symbol);
// The place of a step: its function's, or its hook's for a walk.
int step_rank(report_state &state, uint32_t step_id);
