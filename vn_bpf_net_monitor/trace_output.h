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
    uint32_t proto; // PROTO_ICMP, PROTO_TCP or PROTO_UDP
    uint16_t port;  // host byte order; 0 keeps every port
};

extern trace_filter_t trace_filter;

// What drop rows name, read from the running kernel once before tracing:
// the drop reasons by value ("NO_SOCKET") and the kernel's code symbols by
// address, both ascending. A value or address not found is shown as a number.
struct kernel_names_t {
    std::vector<std::pair<uint32_t, std::string>> drop_reasons;
    std::vector<std::pair<uint64_t, std::string>> code_symbols;
};
extern kernel_names_t kernel_names;
// Where header and rows go: standard output until a trace file is opened.
extern int trace_fd;

// Longest line written, without the terminating NUL; the rest is cut.
constexpr unsigned TRACE_LINE_MAX = 299;

// Writes the header line for an IP protocol number; returns what write()
// reported (0 for an unknown protocol, which writes nothing).
int write_trace_header(uint32_t protocol);

// The perf buffer's sample callback: one record in, one row or nothing out.
void handle_trace_event(void *ctx, int cpu, void *data, uint32_t size);

void write_tcp_row(const data_t *record, int cpu);
void write_udp_row(const data_t *record, int cpu);
void write_icmp_row(const data_t *record, int cpu);

// Texts of the row, returned by value: the caller owns them, nothing is allocated.
struct mac_text_t {
    char text[20];
};
struct ipv4_text_t {
    char text[16];
};
mac_text_t mac_to_string(const uint8_t mac[6]);
ipv4_text_t ipv4_to_string(uint32_t addr);

// Prefixed names ("sock:TCP_LISTEN", "hook:NF_INET_LOCAL_IN", "verdict: NF_ACCEPT").
const char *tcp_state_name(uint8_t state);
const char *nf_hook_name(uint32_t hook);
const char *nf_verdict_name(uint32_t verdict);
