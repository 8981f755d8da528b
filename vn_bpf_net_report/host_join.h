// Traces of several hosts joined: a packet's part on the host that sent it
// (down to dev_hard_start_xmit) and its part on the host that received it
// (from the driver's hand-off on) become one journey with a wire stage
// between them. The hosts' clocks are unrelated (each counts from its own
// boot): each pair's offset is estimated from the packets seen both ways.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "report_state.h"

// 1 to 32 of [A-Za-z0-9._-].
bool valid_host_name(std::string_view name);
// A plain file's host: its base name without its last extension.
std::string host_name_of_file(const std::string &path);

// A pair of hosts whose clocks were matched: b's clock = a's + offset_ns,
// the true offset within +-error_ns.
struct host_clock {
    uint32_t a, b;
    int64_t offset_ns, error_ns;
    uint64_t matched; // packets matched, both ways
};

// A packet seen leaving one host and arriving at another.
struct joined_journey {
    const journey *sent, *received;
    uint32_t from, to; // hosts
    int64_t wire_ns, wire_error_ns;
    // Both parts as one journey in the sender's clock (the receiver's rows
    // moved by the offset, the wire never negative), each step on its host;
    // its ending the receiver's.
    journey whole;
};

struct host_join {
    std::vector<std::string> hosts;       // names
    std::vector<uint32_t> host_of_source; // by source
    std::vector<host_clock> clocks;
    std::vector<joined_journey> joined;
    // A journey that is part of a joined one: its index there.
    std::unordered_map<const journey *, size_t> part_of;
    // Per host, what to add to its times for the first host's clock (0 for
    // hosts not joined to it), so that journeys of all hosts sort together.
    std::vector<int64_t> shift;
    std::vector<std::pair<uint32_t, uint32_t>> unmatched; // pairs that share no traffic both ways
};

// Joins the journeys of the hosts (journeys of sources host_of_source
// names). Unjoined pairs go to `unmatched`; a packet that left a host of a
// joined pair towards the other and was never seen there ends
// never_arrived. Journeys must stay in place while the join is used.
void join_hosts(report_state &state, host_join &join, std::vector<journey> &journeys);

// Whether a host was joined to no other.
bool host_alone(const host_join &join, uint32_t host);

// "no traffic seen in both directions between A and B: their clocks cannot be matched"
std::string unmatched_text(const host_join &join, std::pair<uint32_t, uint32_t> pair);

// The time a journey is ordered by: its start in the first host's clock.
int64_t ordered_start(const host_join &join, const journey &j);

int64_t joined_duration(const joined_journey &jj);
