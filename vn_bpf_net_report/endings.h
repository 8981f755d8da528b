// How a journey ended, decided once from its rows, and the sentence that
// tells it.
#pragma once

#include <string>
#include <vector>

#include "report_state.h"

// Sets j.end: a drop row (kfree_skb) gives the reason and where; a table
// walk that dropped it (NF_DROP, or the kernel's NETFILTER_DROP, told
// inside or after the walk) gives the table, chain and hook of the last
// walk before the drop.
void settle_ending(report_state &state, journey &j);

// A journey no drop row ended, while its trace lost samples where its next
// row could be (after its last, within JOURNEY_GAP_NS; for a datagram a
// socket took, on a CPU the journey used): its rows after that may be the
// lost ones, so it reads samples_lost rather than an end made up; so does
// one seen only from its drop row on, samples lost just before it. Called
// as it is written, since a loss is told only after the window it covers.
void settle_losses(report_state &state, journey &j);

// "dropped by table filter at NF_INET_LOCAL_IN", "dropped by table inet fw
// base chain in at NF_INET_LOCAL_IN", "dropped at tcp_v4_rcv: NO_SOCKET",
// "dropped at ip_error: IPv4 forwarding is off",
// "delivered to a raw socket", "ended at tcp_v4_do_rcv", "last seen at
// ip_rcv", "left a at dev_hard_start_xmit, never seen at b" or
// ENDING_UNKNOWN, the names shown as shown_text() writes them. `hosts` names
// the hosts of a never_arrived ending.
constexpr const char *ENDING_UNKNOWN = "ending unknown (a row cut short)";
std::string ending_sentence(const name_table &names, const std::vector<std::string> &hosts, const ending &e);
