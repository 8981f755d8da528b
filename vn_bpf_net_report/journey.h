// The values the reader makes of a trace: a row kept, a packet's journey,
// each of its steps and how it ended. Writers render these values; nothing
// here is text to be parsed back.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "names.h"

struct trace_row {
    int64_t time; // kernel monotonic clock, ns
    uint32_t line;
    int32_t cpu;
    uint32_t function, device, smac, dmac, other_info; // name_table ids
    // IPv4: the address in host byte order; IPv6: the name id of its 16
    // bytes (address_of), so a row stays as small as an IPv4 one.
    uint32_t saddr, daddr;
    uint32_t fields[4];                                // the protocol columns in row order
    bool cut = false; // the input's last line, without its line feed: its text may be cut short
    bool ipv6 = false; // read under IPv6's address columns
    // A trace with -N's columns: the packet's number in its trace, and its
    // network namespace's inode number (0 where the row knows none).
    uint64_t packet = 0;
    uint32_t netns = 0;
};

// Samples the monitor lost on one CPU, between the last it got from that
// CPU before them and the first after: rows of that window may be missing.
struct loss_window {
    int64_t from = 0, to = 0; // kernel monotonic clock, ns
    int32_t cpu = 0;
    uint64_t samples = 0;
};

// A trace file (or standard input) being read.
struct trace_source {
    std::string name;
    uint32_t protocol = 0; // PROTO_ICMP, PROTO_TCP, PROTO_UDP or PROTO_ICMPV6, from its header
    std::vector<loss_window> losses; // in the order of their ends (`to`)
    int64_t longest_loss_ns = 0;
    bool packet_columns = false; // its header has PACKET and NETNS: rows are grouped by packet number
    bool ipv6 = false;           // its header has IPv6's address columns
    // With packet numbers: the highest seen, and by CPU (the first few) the
    // packet of its last row and whether that row dropped it.
    uint64_t last_packet = 0;
    struct cpu_last {
        uint64_t packet = 0;
        bool drop = false;
    };
    std::vector<cpu_last> last_on_cpu = {};
};

// What makes rows the same packet: the source, the addresses and, per
// protocol, TCP ports, SEQ and ACK_SEQ; UDP ports and LEN; ICMP type, id
// and sequence.
struct flow_key {
    uint32_t source, saddr, daddr;
    uint32_t fields[4];
    bool operator==(const flow_key &other) const;
};
// Multiply and fold: every bit of each word reaches the low bits that pick
// a bucket, and the high bits.
uint64_t fold(uint64_t h, uint64_t v);

struct flow_key_hash {
    size_t operator()(const flow_key &key) const;
};
flow_key key_of(uint32_t source, uint32_t protocol, const trace_row &row);

// The time from one row to a later one, in ns. Rows may lie anywhere in
// int64_t: the difference is taken unsigned and saturates at INT64_MAX, so
// it never overflows and is never negative.
int64_t elapsed_ns(int64_t from, int64_t to);

// A place a packet passed, as paths and stages name it: the function, and
// for a table walk (and its return) the hook it walked, as walks at
// different hooks are different steps; the host when traces of several
// hosts are joined.
constexpr uint32_t NO_HOST = UINT32_MAX;
struct step {
    uint32_t function;        // name id
    uint32_t hook = NO_NAME;  // name id of the hook as the walk told it ("NF_INET_LOCAL_IN")
    uint32_t host = NO_HOST;
    bool operator==(const step &other) const
    {
        return function == other.function && hook == other.hook && host == other.host;
    }
};

struct step_hash {
    size_t operator()(const step &s) const;
};

// Steps, each stored once: a journey holds their numbers. Made and read by
// the grouping thread only.
struct step_table {
    std::vector<step> steps;
    std::unordered_map<step, uint32_t, step_hash> ids;
    std::vector<uint32_t> of_function; // by function id: its plain step, once made
    uint32_t id(const step &s);
    uint32_t id_of_function(uint32_t function)
    {
        if (function < of_function.size() && of_function[function] != UINT32_MAX)
            return of_function[function];
        if (function >= of_function.size())
            of_function.resize(function + 1, UINT32_MAX);
        return of_function[function] = id({function});
    }
    const step &get(uint32_t id) const { return steps[id]; }
};

// How a journey ended. Each kind is one story a writer tells its own way;
// the fields are what the trace told of it (NO_NAME where it told nothing).
enum class ending_kind : uint8_t {
    unknown,          // a row cut short may have lost the text that tells it
    ended,            // delivered at its last row, `function` (a socket's, or a device's on the way out)
    dropped_by_table, // a table walk's drop verdict: `table`, `chain`, `hook`
    dropped,          // the kernel freed it as dropped: at `function`, for `reason`
    never_arrived,    // left `from_host` for `to_host`, never seen there
    raw_delivered,    // a raw socket took its copy; the kernel freed the rest (`reason`) at `function`
    freed_unread,     // reached a socket, freed from its queue at close (`reason`, `function`)
    discarded,        // a duplicate or stale TCP segment, no data lost (`reason`, `function`)
    time_wait,        // taken by a socket in TIME_WAIT, which frees what it handled (`reason`, `function`)
    copy_dropped,     // one socket's copy dropped (`reason`, `function`); the packet itself delivered
    dropped_by_hook,  // NETFILTER_DROP with no traced table walk to blame: at `function`
    samples_lost,     // the monitor lost samples while it was on its way
    last_seen,        // its last row, `function`, is no place a packet ends
    forwarding_off,   // dropped at `function` (ip_error, for `reason`): IPv4 forwarding off on its device
    // An ICMPv6 echo reply no ping socket took (NO_SOCKET at icmpv6_rcv): a
    // raw socket (ping's, run by root) may have had its copy, which no IPv6
    // probe sees, so whether it was delivered is not known.
    no_ping_socket,
    // A broadcast or multicast datagram no socket held, freed without a
    // reason at `function` (counted as IgnoredMulti).
    no_group_socket,
    // A SYN or the handshake's last ACK a listener dropped at `function`,
    // its accept queue full (counted as ListenOverflows).
    accept_queue_full,
    // A TCP segment GRO merged into the packet before it (at `function`):
    // it goes on inside that packet, whose journey tells the rest.
    merged_by_gro,
    // Taken by a connection still in its handshake (a SYN sent again, the
    // handshake's ACK), which frees what it handled without a reason.
    handshake,
};

// What a journey's ending says of the packet, before any detail.
enum class ending_class : uint8_t { delivered, dropped, not_seen };
const char *class_name(ending_class c); // "delivered", "dropped", "not_seen"
const char *class_label(ending_class c); // "delivered", "dropped", "not seen"
struct ending {
    ending_kind kind = ending_kind::ended;
    uint32_t function = NO_NAME, reason = NO_NAME;           // a drop row's: where and why
    uint32_t table = NO_NAME, chain = NO_NAME, hook = NO_NAME; // the dropping walk's
    uint32_t from_host = NO_HOST, to_host = NO_HOST;
    uint32_t queue = NO_NAME; // an NFQUEUE drop's: the queue its walk sent it to

    bool known() const { return kind != ending_kind::unknown; }
    ending_class what() const;
    bool is_drop() const { return what() == ending_class::dropped; }
    bool operator==(const ending &o) const
    {
        return kind == o.kind && function == o.function && reason == o.reason && table == o.table &&
               chain == o.chain && hook == o.hook && from_host == o.from_host && to_host == o.to_host &&
               queue == o.queue;
    }
};
struct ending_hash {
    size_t operator()(const ending &e) const;
};
// The same ending with only the fields its story tells: endings counted
// alike are told alike.
ending as_told(const ending &e);

// A journey never holds more rows than this: a packet's path is a dozen to
// twenty rows, and only rows of unknown functions or walks at one hook
// repeated without end come near it. The row after the last one starts a
// new journey, so a key whose rows never end a journey is still made into
// journeys as it goes (--follow keeps bounded memory).
constexpr size_t JOURNEY_ROWS_MAX = 4096;
// A row more than this after a path's last one is never the same packet.
constexpr int64_t JOURNEY_GAP_NS = 500 * 1000 * 1000;

// A row's address as a value of its own.
struct ip_address;
ip_address address_of(const name_table &names, bool ipv6, uint32_t address);

// A packet's addresses (as rows keep them) and ports (for ICMP its id as
// sport, dport 0).
struct endpoints {
    uint32_t saddr, daddr;
    uint32_t sport, dport;
    bool ipv6;
    bool operator==(const endpoints &o) const
    {
        return saddr == o.saddr && daddr == o.daddr && sport == o.sport && dport == o.dport;
    }
};
endpoints endpoints_of(uint32_t protocol, const trace_row &row);

// Where a journey's addresses changed under NAT: rows[row] is the first
// that shows `to`.
struct rewrite {
    uint32_t row;
    endpoints from, to;
    // Which side changed: the source (snat), the destination (dnat) or both.
    bool source_changed() const { return from.saddr != to.saddr || from.sport != to.sport; }
    bool destination_changed() const { return from.daddr != to.daddr || from.dport != to.dport; }
};

struct journey {
    uint32_t source;
    std::vector<trace_row> rows; // in time order
    std::vector<uint32_t> steps; // each row's, by step id
    std::vector<rewrite> rewrites; // in row order; only a trace with packet numbers has any
    struct ending end;
    // The first journey of its flow (addresses and ports, or ICMP id, one
    // way) in its host's traces: it may pay what later ones do not (the
    // neighbour's address resolved, the connection's first NAT walk).
    bool first_of_flow = false;

    int64_t start() const { return rows.front().time; }
    int64_t duration_ns() const { return elapsed_ns(rows.front().time, rows.back().time); }
};

// ICMPv6's name of a type (and of a destination unreachable's code), or
// nullptr for a type it does not name.
const char *icmp6_type_name(uint32_t type, uint32_t code);
// Router and neighbor discovery (ICMPv6 133 to 137): no flow of its own
// kind shares their id and sequence (zero or flags).
bool is_neighbor_discovery(uint32_t protocol, const trace_row &row);

// "198.18.0.1:32812 > 198.18.0.2:5302 seq 1464773421 ack 0", for IPv6
// "[fd00:1::1]:40000 > [fd00:1::2]:8080 seq 1000 ack 0", for ICMPv6
// "fd00:1::1 > fd00:1::2 type 128 (echo request) id 4660 seq 1"
std::string flow_text(const name_table &names, uint32_t protocol, const trace_row &row);

// The journey's rewrites, from its rows' addresses and ports (ICMP id).
void find_rewrites(uint32_t protocol, journey &j);
// "snat" (only the source changed), "dnat" (only the destination) or "nat".
const char *rewrite_kind(const rewrite &r);
// "10.88.0.2:40000>198.18.0.2:8080", for ICMP "10.88.0.2>198.18.0.2 id 7".
std::string endpoints_text(const name_table &names, uint32_t protocol, const endpoints &e);
// "[snat 10.88.0.2:40000>198.18.0.2:8080 => 198.18.0.1:40000>198.18.0.2:8080]"
std::string rewrite_text(const name_table &names, uint32_t protocol, const rewrite &r);
