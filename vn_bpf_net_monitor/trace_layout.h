// The column layout of a trace, in one place for the monitor that writes
// rows and the reader that parses them back. Every column is left-aligned
// and padded to its width; the width is a minimum, so a longer value is
// written whole and shifts the rest of its row. Columns are separated by
// one blank.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trace_layout {

struct column_t {
    const char *label;
    size_t width;
};

// Columns 1 to 8, the same for every protocol.
enum common_column : size_t { TIME, CPU, TRACE_INFO, INTERFACE, SMAC, DMAC, SIP, DIP, COMMON_COUNT };
constexpr column_t COMMON[COMMON_COUNT] = {
    {"TIME", 20}, {"CPU", 5},  {"TRACE_INFO", 30}, {"INTERFACE", 18},
    {"SMAC", 18}, {"DMAC", 18}, {"SIP", 18},       {"DIP", 18},
};

// An IPv6 trace (-6) has the same columns but for its addresses: SIP6 and
// DIP6 take their place, wide enough for the longest text of an IPv6
// address (39 bytes), and their labels tell the layout at a glance.
constexpr column_t IPV6_ADDRESS[2] = {{"SIP6", 40}, {"DIP6", 40}};
constexpr size_t IPV6_TEXT_MAX = 39;
// Each IPv6 address column is this much wider than the IPv4 one it replaces.
constexpr size_t IPV6_EXTRA_WIDTH = IPV6_ADDRESS[0].width - COMMON[SIP].width;

// Asked for with -N: the packet's number in the trace after CPU, and the
// network namespace's inode number after INTERFACE ("-" where none is
// known). Rows of one packet share a number however its addresses change.
constexpr column_t PACKET_COLUMN = {"PACKET", 8};
constexpr column_t NETNS_COLUMN = {"NETNS", 11};
constexpr const char NETNS_UNKNOWN[] = "-";

// The protocol columns between DIP and OTHER_INFO.
enum tcp_column : size_t { TCP_SPORT, TCP_DPORT, TCP_SEQ, TCP_ACK_SEQ, TCP_COUNT };
constexpr column_t TCP[TCP_COUNT] = {{"SPORT", 10}, {"DPORT", 10}, {"SEQ", 10}, {"ACK_SEQ", 10}};

enum udp_column : size_t { UDP_SPORT, UDP_DPORT, UDP_LEN, UDP_COUNT };
constexpr column_t UDP[UDP_COUNT] = {{"SPORT", 10}, {"DPORT", 10}, {"LEN", 10}};

enum icmp_column : size_t { ICMP_TYPE, ICMP_CODE, ICMP_ID, ICMP_SEQUENCE, ICMP_COUNT };
constexpr column_t ICMP[ICMP_COUNT] = {{"TYPE", 5}, {"CODE", 5}, {"ID", 5}, {"SEQUENCE", 5}};

// OTHER_INFO is three sub-fields; the header labels only the first. The
// third is empty but for a fragment after the first, where it says where
// the fragment begins.
constexpr const char *OTHER_INFO_LABEL = "OTHER_INFO";
constexpr size_t OTHER_INFO_COUNT = 3;
constexpr size_t OTHER_INFO_WIDTH[OTHER_INFO_COUNT] = {15, 10, 10};

// How the OTHER_INFO texts begin: a verdict at the return of a table
// walk, a hook and its table (and for nft its chain) at its entry, a TCP
// socket state.
constexpr const char VERDICT_PREFIX[] = "verdict: ";
// After an nft walk's NF_QUEUE verdict: the queue it sends the packet to.
constexpr const char QUEUE_PREFIX[] = "queue:";
constexpr const char HOOK_PREFIX[] = "hook:";
constexpr const char TABLE_PREFIX[] = "table: ";
constexpr const char CHAIN_PREFIX[] = "chain: ";
// A drop row (kfree_skb): the kernel's reason, and the function that freed the packet.
constexpr const char REASON_PREFIX[] = "reason:";
constexpr const char LOCATION_PREFIX[] = "at: ";
constexpr const char SOCK_PREFIX[] = "sock:";
// A drop row's and a raw socket's copy's (raw_rcv) buffer, by its number in
// the trace: copies of one packet are buffers of their own.
constexpr const char BUFFER_PREFIX[] = "buf:";
constexpr const char FRAGMENT_PREFIX[] = "frag_off:";
// A drop row of a packet input routing refused on a device that does not
// forward IPv4: the packet was for elsewhere and forwarding is off.
constexpr const char FORWARDING_OFF[] = "fwd:off";
// After the buffer of a drop row of a datagram sent to a group (multicast,
// broadcast): the buffer was never copied, so no other member of the group
// got the datagram. Without it, other members may have.
constexpr const char SOLE_BUFFER[] = "sole";
// After a listener's state: the packet found its accept queue full, and
// the kernel dropped it there (a SYN, the handshake's last ACK).
constexpr const char ACCEPT_QUEUE_FULL[] = "acceptq:full";
// A segment GRO merged into the packet before it (skb_gro_receive), and
// that packet's number in the trace, as a drop row's buf:N counts.
constexpr const char GRO_MERGED[] = "gro:merged";
constexpr const char MERGED_INTO_PREFIX[] = "into:";
// How long after a row at a place where the kernel holds a packet (the
// neighbour output: probe_points.def's WAITS) the packet's next row may
// come: the kernel gives a neighbour 3 s by default to answer before it
// frees what waits for it; a host may give it more.
constexpr uint64_t WAITING_MAX_NS = 10ull * 1000 * 1000 * 1000;
// Follows an nft table or chain name longer than the record keeps (15
// bytes): the name shown is its start.
constexpr char NAME_CUT_MARK = '~';

struct protocol_layout_t {
    uint32_t protocol; // IP protocol number
    const char *name;
    const column_t *columns;
    size_t count;
};

constexpr protocol_layout_t PROTOCOLS[] = {
    {6, "tcp", TCP, TCP_COUNT},
    {17, "udp", UDP, UDP_COUNT},
    {1, "icmp", ICMP, ICMP_COUNT},
    // ICMPv6's echo has ICMP's fields in ICMP's places: the same columns,
    // in a trace whose header has IPv6's address columns.
    {58, "icmp6", ICMP, ICMP_COUNT},
};

constexpr const protocol_layout_t *protocol_layout(uint32_t protocol)
{
    for (const protocol_layout_t &p : PROTOCOLS)
        if (p.protocol == protocol)
            return &p;
    return nullptr;
}

// Where a protocol column starts when no earlier value is longer than its width.
constexpr size_t protocol_column_start(const protocol_layout_t &p, size_t column)
{
    size_t start = 0;
    for (const column_t &c : COMMON)
        start += c.width + 1;
    for (size_t i = 0; i < column; i++)
        start += p.columns[i].width + 1;
    return start;
}

constexpr size_t other_info_start(const protocol_layout_t &p)
{
    return protocol_column_start(p, p.count);
}

static_assert(protocol_column_start(PROTOCOLS[0], 0) == 153, "protocol columns start at 153");
static_assert(other_info_start(PROTOCOLS[0]) == 197 && other_info_start(PROTOCOLS[1]) == 186 &&
                  other_info_start(PROTOCOLS[2]) == 177,
              "OTHER_INFO starts at 197 (TCP), 186 (UDP), 177 (ICMP)");

// An IPv6 address as RFC 5952 writes it: lowercase hex without leading
// zeros, the longest run of two or more zero groups (the first of equal
// runs) as "::", and an IPv4-mapped address (::ffff:0:0/96) with its IPv4
// part dotted. Unterminated; returns its length, at most IPV6_TEXT_MAX.
inline size_t format_ipv6(char *out, const uint8_t addr[16])
{
    static const char hex[] = "0123456789abcdef";
    uint16_t groups[8];
    for (int i = 0; i < 8; i++)
        groups[i] = uint16_t(addr[2 * i] << 8 | addr[2 * i + 1]);
    bool mapped = groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 && groups[4] == 0 &&
                  groups[5] == 0xffff;
    int hex_groups = mapped ? 6 : 8;
    int best_at = -1, best_len = 1;
    for (int i = 0; i < hex_groups;) {
        int j = i;
        while (j < hex_groups && groups[j] == 0)
            j++;
        if (j - i > best_len) {
            best_at = i;
            best_len = j - i;
        }
        i = j > i ? j : i + 1;
    }
    char *p = out;
    for (int i = 0; i < hex_groups; i++) {
        if (i == best_at) {
            *p++ = ':';
            *p++ = ':';
            i += best_len - 1;
            continue;
        }
        if (i > 0 && i != best_at + best_len)
            *p++ = ':';
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            unsigned nibble = groups[i] >> shift & 0xf;
            if (nibble || started || shift == 0) {
                *p++ = hex[nibble];
                started = true;
            }
        }
    }
    if (mapped) {
        if (best_at + best_len != hex_groups)
            *p++ = ':';
        for (int i = 12; i < 16; i++) {
            if (i > 12)
                *p++ = '.';
            unsigned b = addr[i];
            if (b >= 100)
                *p++ = char('0' + b / 100);
            if (b >= 10)
                *p++ = char('0' + b / 10 % 10);
            *p++ = char('0' + b % 10);
        }
    }
    return size_t(p - out);
}

// Names any user can choose (a device in their own network namespace, a
// firewall table) must not steer the terminal of whoever reads the trace,
// nor split a column. Control bytes, blanks, bytes past ASCII and the
// backslash itself are written as "\xNN"; everything else as it is, so an
// ordinary name keeps its bytes and its width.
constexpr bool byte_needs_escape(unsigned char c)
{
    return c <= ' ' || c >= 0x7f || c == '\\';
}
constexpr size_t ESCAPED_BYTE_LEN = 4; // "\xNN"

// Writes the n bytes of text to out, escaped; out has room for
// n * ESCAPED_BYTE_LEN bytes. Returns the length written.
inline size_t escape_text(char *out, const char *text, size_t n)
{
    static const char hex[] = "0123456789abcdef";
    char *p = out;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (!byte_needs_escape(c)) {
            *p++ = char(c);
            continue;
        }
        *p++ = '\\';
        *p++ = 'x';
        *p++ = hex[c >> 4];
        *p++ = hex[c & 0xf];
    }
    return size_t(p - out);
}

} // namespace trace_layout
