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

// "dropped by table filter at NF_INET_LOCAL_IN", "dropped by table fw chain
// in at NF_INET_LOCAL_IN", "dropped at tcp_v4_rcv: NO_SOCKET", "ended at
// tcp_v4_do_rcv", "left a at dev_hard_start_xmit, never seen at b" or
// ENDING_UNKNOWN, the names shown as shown_text() writes them. `hosts` names
// the hosts of a never_arrived ending.
constexpr const char *ENDING_UNKNOWN = "ending unknown (a row cut short)";
std::string ending_sentence(const name_table &names, const std::vector<std::string> &hosts, const ending &e);
