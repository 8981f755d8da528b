// Reading trace lines: which protocol a header line announces, and one row
// taken apart into its fields. Everything here works over string_view: a
// parsed row points into the line it came from and allocates nothing.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "trace_layout.h"

// A header with -N's columns (trace_layout::PACKET_COLUMN and
// NETNS_COLUMN): the bit is told with its protocol, and the rows read with
// it have them.
constexpr uint32_t PACKET_COLUMNS = 1u << 16;
// A header with IPv6's address columns (SIP6, DIP6): an IPv6 trace.
constexpr uint32_t IPV6_ADDRESSES = 1u << 17;
constexpr uint32_t PROTOCOL_MASK = 0xff;

// The IP protocol number a header line announces, with PACKET_COLUMNS and
// IPV6_ADDRESSES where it labels them, or 0 when the line is no trace
// header. ICMP's columns under IPv6's addresses are ICMPv6's (58).
uint32_t header_protocol(std::string_view line);

// ICMP's or ICMPv6's rows: type, code, id and sequence, no ports.
inline bool is_icmp(uint32_t protocol)
{
    return protocol == 1 || protocol == 58;
}

// An address of either family: IPv4's as a number in host byte order (as
// IPv4 rows keep it), IPv6's as its 16 bytes in network order.
struct ip_address {
    bool ipv6 = false;
    uint32_t v4 = 0;
    uint8_t v6[16] = {};
};
// Dotted-decimal IPv4 text, or any IPv6 text inet_pton reads; false when
// it is neither.
bool parse_address(std::string_view text, ip_address &addr);
// IPv4 dotted, IPv6 in RFC 5952's form (trace_layout::format_ipv6), at
// `at` (up to IPV6_TEXT_MAX characters); returns the end.
char *write_address(char *at, const ip_address &addr);
std::string address_text(const ip_address &addr);

struct parsed_row {
    int64_t time;
    int32_t cpu;
    std::string_view function, device, smac, dmac;
    uint32_t saddr, daddr; // host byte order (an IPv4 row)
    uint8_t saddr6[16], daddr6[16]; // an IPv6 row's, network order
    bool ipv6;
    std::string_view sip, dip;
    // The protocol columns in their order: TCP SPORT DPORT SEQ ACK_SEQ,
    // UDP SPORT DPORT LEN, ICMP TYPE CODE ID SEQUENCE.
    uint32_t fields[4];
    std::string_view other_info; // the three sub-fields, outer blanks trimmed
    uint64_t packet = 0; // with PACKET_COLUMNS
    uint32_t netns = 0;  // with PACKET_COLUMNS; 0 where the row knows none
};

// Fills row from one line (without its line feed), read in the monitor's
// columns or, where they do not fit, as a row squeezed to one blank between
// columns (tr -s ' '). `protocol` is what header_protocol told. Returns nullptr, or the label of the first column
// that could not be read in the monitor's columns.
const char *parse_row(std::string_view line, uint32_t protocol, parsed_row &row);

// OTHER_INFO taken apart. Texts the monitor does not write today are kept
// whole in `unknown`.
struct other_info_fields {
    std::string_view verdict; // "NF_DROP" from "verdict: NF_DROP"
    std::string_view queue;   // "7" from "queue:7" after an NF_QUEUE verdict
    std::string_view hook;    // "NF_INET_LOCAL_IN" from "hook:NF_INET_LOCAL_IN"
    std::string_view table;   // "filter" from "table: filter", "inet fw" from "table: inet fw"
    std::string_view chain;   // "in" from "chain: in" (an nft walk)
    std::string_view sock;    // "TCP_LISTEN" from "sock:TCP_LISTEN"
    bool accept_queue_full = false; // "acceptq:full" after it: the listener dropped the packet
    std::string_view reason;  // "NO_SOCKET" from "reason:NO_SOCKET" (a drop row)
    std::string_view location; // "tcp_v4_rcv" from "at: tcp_v4_rcv"
    std::string_view buffer;   // "7" from "buf:7" (a drop row, a raw socket's copy)
    bool forwarding_off = false; // "fwd:off" after it: dropped at ip_error, IPv4 forwarding off
    bool sole = false;           // "sole" after it: a group's datagram no other member got a copy of
    bool gro_merged = false;     // "gro:merged": GRO merged the segment into the packet before it
    std::string_view merged_into; // "12" from "into:12" after it: that packet's number
    std::string_view unknown;
};
other_info_fields split_other_info(std::string_view other_info);

// Dotted-decimal IPv4 text to host byte order; false when it is not one.
bool parse_ipv4(std::string_view text, uint32_t &addr);
// IPv6 text as inet_pton reads it to its 16 bytes; false when it is not one.
bool parse_ipv6(std::string_view text, uint8_t addr[16]);
// An address in host byte order as dotted-decimal text at `at` (up to 15
// characters); returns the end.
char *write_ipv4(char *at, uint32_t addr);

// A text of the trace as the reader shows it (text report, HTML page,
// messages): trace_layout::escape_text, so no byte of a name can steer a
// terminal or split a column. A "\xNN" the monitor already wrote (lower-case
// hex, as escape_text writes it) stays as it is rather than becoming
// "\x5cxNN": showing a shown text again changes nothing. keep_blanks leaves
// blanks as they are, for texts of several words (OTHER_INFO, file names).
std::string shown_text(std::string_view text, bool keep_blanks = false);
