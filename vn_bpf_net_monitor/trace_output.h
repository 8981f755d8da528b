// Trace output: the header line, and the decoding, filtering and rendering
// of every record the kernel side emits into one fixed-width row.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "vn_bpf_net_monitor.h"

// What to keep, derived once from the command line before tracing starts.
struct trace_filter_t {
    uint32_t addr;  // IPv4, network byte order; 0 keeps every host
    uint32_t proto; // PROTO_ICMP (PROTO_ICMPV6 in an IPv6 trace), PROTO_TCP or PROTO_UDP
    uint16_t port;  // host byte order; 0 keeps every port
    bool has_addr6 = false; // an IPv6 trace keeps only rows of addr6
    uint8_t addr6[16] = {};
};

extern trace_filter_t trace_filter;
// -N: each row's packet number and network namespace as columns of their own.
extern bool trace_packet_columns;
// -6: the kernel side emits IPv6 records (data6_t), the rows have IPv6's
// address columns.
extern bool trace_ipv6;
// Rows written so far.
extern uint64_t trace_rows_written;

// What drop rows name, read from the running kernel once before tracing:
// the drop reasons by value ("NO_SOCKET"), ascending. A value not named is
// shown as a number. (The code that dropped comes named from the kernel.)
struct kernel_names_t {
    std::vector<std::pair<uint32_t, std::string>> drop_reasons;
};
extern kernel_names_t kernel_names;
// Where header and rows go: standard output until a trace file is opened.
extern int trace_fd;

// The errno of the first write or sync after which the trace cannot be
// written any more (its reader gone, an I/O error, a closed descriptor); 0
// until then. A full file system or a file size limit is no such failure:
// that row is lost, and tracing goes on.
extern int trace_lost_errno;

// Longest line a record can give: every name escaped whole (four bytes for
// each of its bytes), every number and address at its widest. No row is
// ever cut.
constexpr unsigned TRACE_LINE_MAX = 941;

// Writes the header line for an IP protocol number; returns what write()
// reported (0 for an unknown protocol, which writes nothing), with errno the
// write's.
int write_trace_header(uint32_t protocol);

// Packets are numbered from 1 in each trace (drop and raw_rcv rows show
// them, and every row with -N). Makes the tables that follow them.
void start_buffer_numbers();

// One record in, one row or nothing out.
void handle_trace_event(void *ctx, int cpu, void *data, uint32_t size);
// The perf buffer's sample callback: the record waits, and a poll's records
// are taken in the order of their times once the poll is over, those made
// at MADE_BEFORE or later kept for the next poll (UINT64_MAX: none kept).
void queue_trace_event(void *ctx, int cpu, void *data, uint32_t size);
// Makes room for the samples of a busy poll and those waiting for the next
// one, in memory touched now: a burst then does not grow the monitor.
void make_sample_queue();
void handle_queued_trace_events(uint64_t made_before = UINT64_MAX);

// Samples the kernel lost because a CPU's ring was full are told in the
// trace where they were lost, one line before the next sample of that CPU:
// "# lost N samples on CPU C between T1 and T2", T1 the time of that CPU's
// sample before the loss (0 if none), T2 of the one after, or the time the
// monitor had read that CPU's ring past T1 if earlier: a CPU quiet after
// its loss keeps a narrow window. Losses in a row add up into one line.
// CPUs 0 to cpu_count - 1 are followed.
void track_sample_losses(int cpu_count);
void note_lost_samples(int cpu, uint64_t count);
// Every ring has been read up to now (NOW_NS, the probes' clock).
void note_rings_read(uint64_t now_ns);
// On the way out: a line for each loss no sample has followed, ending at NOW_NS.
void write_pending_sample_losses(uint64_t now_ns);
// The label the rows of PROGRAM (its name in the kernel object) carry, or
// null for a program that makes no rows.
const char *program_label(const char *program);
// "the kernel skipped N runs of LABEL: another probe's program was running
// on its CPU": hits of a probe the kernel did not run its program for, so
// the trace has no row of them. The trace's line starts with "# ".
std::string skipped_runs_text(const char *label, uint64_t count);
void write_skipped_runs_line(const char *label, uint64_t count);


// Texts of the row, returned by value: the caller owns them, nothing is allocated.
struct mac_text_t {
    char text[20];
};
struct ipv4_text_t {
    char text[16];
};
mac_text_t mac_to_string(const uint8_t mac[6]);
ipv4_text_t ipv4_to_string(uint32_t addr);

// A value's name in OTHER_INFO, or its number where it has none ("hook:7").
struct info_text_t {
    char text[32];
};

// Prefixed names ("sock:TCP_LISTEN", "hook:NF_INET_LOCAL_IN", "verdict: NF_ACCEPT").
const char *tcp_state_name(uint8_t state);
// An iptables walk's hook: NF_INET_* for 0 to 4, else its number.
info_text_t nf_hook_name(uint32_t hook);
// An nft walk's hook as the hook's family (NFPROTO_*) means it: 0 is
// NF_INET_PRE_ROUTING for ip, ip6 and inet, NF_NETDEV_INGRESS for netdev.
info_text_t nft_hook_name(uint32_t hook, uint32_t family);
// nft's own word for a table's family ("inet", "netdev"), unprefixed, or its number.
info_text_t nft_family_name(uint32_t family);
// By the low byte, as the kernel reads a verdict; a byte past NF_STOP as its number.
info_text_t nf_verdict_name(uint32_t verdict);
