// Trace output: header line, record filtering and fixed-width rows.
//
// Rows are laid out by hand rather than with snprintf: the output is the
// same bytes the printf formats of the layout would give ("%-20ld %-5d ..."),
// at a fraction of the cost, which matters because the monitor renders on
// the thread that drains the perf rings.
#include "trace_output.h"
#include "trace_layout.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/netfilter.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_map>
#include <charconv>
#include <cstring>
#include <string_view>

using namespace trace_layout;

trace_filter_t trace_filter;
bool trace_packet_columns;
bool trace_ipv6;
uint64_t trace_rows_written;
int trace_fd = 1;
int trace_lost_errno;
kernel_names_t kernel_names;

namespace {

// The names the kernel gives drop rows are cut to these lengths: a reason's
// name (24 bytes on 6.18) and the symbol of the code that dropped the packet.
constexpr size_t DROP_REASON_MAX_LEN = 40;
constexpr size_t DROP_LOCATION_MAX_LEN = 64;
// nft's longest family word ("bridge", "netdev"); an unknown family is a
// byte's number, shorter.
constexpr size_t NFT_FAMILY_MAX_LEN = 6;

// Every value in a row is bounded (names by their arrays and the cuts
// above, numbers by their types), each name escaped at worst: the widest
// row, with the separators and its line feed, is what the scratch holds and
// what is written whole.
constexpr size_t widest(size_t len, size_t width)
{
    return (len > width ? len : width) + 1;
}
constexpr size_t longest(size_t a, size_t b)
{
    return a > b ? a : b;
}
constexpr size_t WIDEST_OTHER_INFO =
    widest(longest(sizeof("hook:NF_INET_POST_ROUTING") - 1,
                   sizeof(REASON_PREFIX) - 1 + DROP_REASON_MAX_LEN * ESCAPED_BYTE_LEN),
           OTHER_INFO_WIDTH[0]) +
    widest(longest(longest(sizeof(TABLE_PREFIX) - 1 + TABLE_NAME_MAX_LEN * ESCAPED_BYTE_LEN,
                           sizeof(TABLE_PREFIX) - 1 + NFT_FAMILY_MAX_LEN + 1 + NFT_NAME_MAX_LEN * ESCAPED_BYTE_LEN + 1),
                   sizeof(LOCATION_PREFIX) - 1 + DROP_LOCATION_MAX_LEN * ESCAPED_BYTE_LEN),
           OTHER_INFO_WIDTH[1]) +
    widest(sizeof(CHAIN_PREFIX) - 1 + NFT_NAME_MAX_LEN * ESCAPED_BYTE_LEN + 1 + 1 + sizeof(FRAGMENT_PREFIX) - 1 + 5,
           OTHER_INFO_WIDTH[2]);
constexpr size_t WIDEST_ROW =
    widest(20, COMMON[TIME].width) + widest(11, COMMON[CPU].width) +
    widest(FUNC_NAME_MAX_LEN * ESCAPED_BYTE_LEN, COMMON[TRACE_INFO].width) +
    widest(DEV_NAME_MAX_LEN * ESCAPED_BYTE_LEN, COMMON[INTERFACE].width) + 2 * widest(17, COMMON[SMAC].width) +
    2 * widest(IPV6_TEXT_MAX, IPV6_ADDRESS[0].width) + 4 * widest(10, TCP[TCP_SEQ].width) + WIDEST_OTHER_INFO +
    widest(20, PACKET_COLUMN.width) + widest(10, NETNS_COLUMN.width);
static_assert(WIDEST_ROW == TRACE_LINE_MAX, "the widest row is written whole");
constexpr size_t ROW_SCRATCH = TRACE_LINE_MAX;

// Blank from the start, so padding a column is only a move of its end.
struct line_t {
    line_t() { memset(text, ' ', sizeof(text)); }
    char text[ROW_SCRATCH];
    size_t len = 0;
};

void pad_to(line_t &line, size_t start, size_t width)
{
    if (line.len - start < width)
        line.len = start + width;
}

// "%-Ns" of at most max_len bytes (the array's size, for names the kernel
// may leave without a NUL).
void put_text(line_t &line, const char *text, size_t max_len, size_t width)
{
    size_t start = line.len;
    size_t n = strnlen(text, max_len);
    memcpy(line.text + line.len, text, n);
    line.len += n;
    pad_to(line, start, width);
}

void put_str(line_t &line, const char *text, size_t width)
{
    put_text(line, text, strlen(text), width);
}

// A name from the record, escaped: any user can name a device in a network
// namespace of their own, and the row may be on root's terminal.
void put_name(line_t &line, const char *name, size_t max_len, size_t width)
{
    size_t start = line.len;
    line.len += escape_text(line.text + line.len, name, strnlen(name, max_len));
    pad_to(line, start, width);
}

// "%-Nu", "%-Nhu" and friends.
void put_unsigned(line_t &line, uint64_t value, size_t width)
{
    static const char pairs[] = "00010203040506070809101112131415161718192021222324"
                                "25262728293031323334353637383940414243444546474849"
                                "50515253545556575859606162636465666768697071727374"
                                "75767778798081828384858687888990919293949596979899";
    char digits[20];
    char *first = digits + sizeof(digits);
    while (value >= 100) {
        first -= 2;
        memcpy(first, pairs + value % 100 * 2, 2);
        value /= 100;
    }
    if (value >= 10) {
        first -= 2;
        memcpy(first, pairs + value * 2, 2);
    } else {
        *--first = char('0' + value);
    }
    size_t start = line.len;
    size_t n = size_t(digits + sizeof(digits) - first);
    memcpy(line.text + line.len, first, n);
    line.len += n;
    pad_to(line, start, width);
}

// "%-Nd" and "%-Nld".
void put_signed(line_t &line, int64_t value, size_t width)
{
    if (value >= 0) {
        put_unsigned(line, uint64_t(value), width);
        return;
    }
    size_t start = line.len;
    line.text[line.len++] = '-';
    put_unsigned(line, 0 - uint64_t(value), 0);
    pad_to(line, start, width);
}

void put_blank(line_t &line)
{
    line.text[line.len++] = ' ';
}

// A write that ran out of space (a full file system, a file size limit)
// may have stored the head of the row. It is taken back, so the row is lost
// whole and the next one starts a line of its own instead of ending this one.
// Where the trace cannot seek (a pipe, a terminal) nothing can be taken back.
void drop_partial_line(size_t written)
{
    off_t end = lseek(trace_fd, 0, SEEK_CUR);
    if (end < off_t(written))
        return;
    if (ftruncate(trace_fd, end - off_t(written)) == 0)
        lseek(trace_fd, end - off_t(written), SEEK_SET);
}

// Failures after which a later row may still be written: no space (for now),
// a file size limit, a pipe that is full or a wait cut short by a signal.
bool row_loss_passes(int err)
{
    return err == ENOSPC || err == EDQUOT || err == EFBIG || err == EAGAIN || err == EINTR;
}

void trace_lost(int err)
{
    if (!trace_lost_errno)
        trace_lost_errno = err;
}

// One write and one fsync per line; a failed row is lost, and tracing goes
// on unless the trace cannot take rows any more. A pipe or terminal cannot
// be synced (EINVAL, EROFS): that is how such a trace is written.
void write_line(const line_t &line)
{
    ssize_t written = write(trace_fd, line.text, line.len);
    if (written < 0 && !row_loss_passes(errno))
        trace_lost(errno);
    if (written > 0 && size_t(written) < line.len)
        drop_partial_line(size_t(written));
    if (fsync(trace_fd) != 0 && errno != EINVAL && errno != EROFS && !row_loss_passes(errno))
        trace_lost(errno);
}

// Labels are short: a plain scan beats the general substring search.
bool label_contains(const data_t &record, const char *needle)
{
    const char *label = record.func_info.func_name;
    size_t len = strnlen(label, sizeof(record.func_info.func_name));
    size_t needle_len = strlen(needle);
    for (size_t i = 0; i + needle_len <= len; i++)
        if (label[i] == needle[0] && memcmp(label + i, needle, needle_len) == 0)
            return true;
    return false;
}

// Neighbour discovery (ICMPv6 133 to 137) is IPv6's ARP: its addresses
// are those of the hosts, not of any flow between them, so a host filter
// never takes it for the chosen flow.
bool neighbour_discovery(const data_t &record)
{
    return record.ip_data.protocol == PROTO_ICMPV6 && record.icmp_data.type >= 133 && record.icmp_data.type <= 137;
}

bool host_matches(const data6_t &record)
{
    if (trace_ipv6) {
        if (!trace_filter.has_addr6)
            return true;
        return !neighbour_discovery(record.common) &&
               (memcmp(trace_filter.addr6, record.saddr, sizeof(record.saddr)) == 0 ||
                memcmp(trace_filter.addr6, record.daddr, sizeof(record.daddr)) == 0);
    }
    return trace_filter.addr == 0 || trace_filter.addr == record.common.ip_data.saddr ||
           trace_filter.addr == record.common.ip_data.daddr;
}

bool port_matches(uint16_t source_be, uint16_t dest_be)
{
    return trace_filter.port == 0 || trace_filter.port == ntohs(source_be) ||
           trace_filter.port == ntohs(dest_be);
}

// The text forms of a MAC and an IPv4 address, unterminated: they are
// written straight into a row. Each returns its length.
size_t format_mac(char *out, const uint8_t mac[6])
{
    static const char hex[] = "0123456789abcdef";
    char *p = out;
    for (int i = 0; i < 6; i++) {
        if (i)
            *p++ = ':';
        *p++ = hex[mac[i] >> 4];
        *p++ = hex[mac[i] & 0xf];
    }
    return size_t(p - out);
}

size_t format_ipv4(char *out, uint32_t addr)
{
    uint8_t bytes[4];
    memcpy(bytes, &addr, sizeof(bytes)); // network order: first byte first
    char *p = out;
    for (int i = 0; i < 4; i++) {
        if (i)
            *p++ = '.';
        unsigned b = bytes[i];
        if (b >= 100)
            *p++ = char('0' + b / 100);
        if (b >= 10)
            *p++ = char('0' + b / 10 % 10);
        *p++ = char('0' + b % 10);
    }
    return size_t(p - out);
}

// A MAC or IPv4 column ("%-18s") and its separator.
void put_mac(line_t &line, const uint8_t mac[6], size_t width)
{
    size_t start = line.len;
    line.len += format_mac(line.text + line.len, mac);
    pad_to(line, start, width);
    put_blank(line);
}

void put_ipv4(line_t &line, uint32_t addr, size_t width)
{
    size_t start = line.len;
    line.len += format_ipv4(line.text + line.len, addr);
    pad_to(line, start, width);
    put_blank(line);
}

void put_ipv6(line_t &line, const uint8_t addr[16], size_t width)
{
    size_t start = line.len;
    line.len += format_ipv6(line.text + line.len, addr);
    pad_to(line, start, width);
    put_blank(line);
}

// Columns 1 to 8, the same for every protocol.
void put_common_columns(line_t &line, const data6_t &full, int cpu, uint64_t packet)
{
    const data_t &record = full.common;
    put_signed(line, int64_t(record.func_info.rcv_ts), COMMON[TIME].width);
    put_blank(line);
    put_signed(line, cpu, COMMON[CPU].width);
    put_blank(line);
    if (trace_packet_columns) {
        put_unsigned(line, packet, PACKET_COLUMN.width);
        put_blank(line);
    }
    put_name(line, record.func_info.func_name, sizeof(record.func_info.func_name),
             COMMON[TRACE_INFO].width);
    put_blank(line);
    put_name(line, record.net_data.net_dev_name, sizeof(record.net_data.net_dev_name),
             COMMON[INTERFACE].width);
    put_blank(line);
    if (trace_packet_columns) {
        if (record.net_data.ns_id)
            put_unsigned(line, record.net_data.ns_id, NETNS_COLUMN.width);
        else
            put_str(line, NETNS_UNKNOWN, NETNS_COLUMN.width);
        put_blank(line);
    }
    put_mac(line, record.eth_data.smac, COMMON[SMAC].width);
    put_mac(line, record.eth_data.dmac, COMMON[DMAC].width);
    if (trace_ipv6) {
        put_ipv6(line, full.saddr, IPV6_ADDRESS[0].width);
        put_ipv6(line, full.daddr, IPV6_ADDRESS[1].width);
        return;
    }
    put_ipv4(line, record.ip_data.saddr, COMMON[SIP].width);
    put_ipv4(line, record.ip_data.daddr, COMMON[DIP].width);
}

// The fragment offset field of the packet's IPv4 header, in 8-byte units;
// 0 for a whole packet or a first fragment.
uint16_t fragment_offset(const data_t &record)
{
    return ntohs(record.ip_data.frag_off) & IP_FRAGMENT_OFFSET;
}

// An nft table's or chain's name, which any user with a network namespace
// of their own can choose: escaped, at most n bytes, marked where the
// kernel side had to cut it.
void put_user_name(line_t &line, const char *name, size_t n, bool cut)
{
    put_name(line, name, n, 0);
    if (cut)
        line.text[line.len++] = NAME_CUT_MARK;
}

// What an nft walk's entry packs into its verdict field (vn_bpf_net_monitor.h).
uint32_t nft_hook_family(const data_t &record)
{
    return record.ipt_data.verdict >> NFT_HOOK_FAMILY_SHIFT & NFT_FAMILY_MASK;
}

uint32_t nft_table_family(const data_t &record)
{
    return record.ipt_data.verdict >> NFT_TABLE_FAMILY_SHIFT & NFT_FAMILY_MASK;
}

// "table: inet fw": nft names a table by its family and its name.
void put_nft_table(line_t &line, const data_t &record)
{
    put_str(line, TABLE_PREFIX, 0);
    put_str(line, nft_family_name(nft_table_family(record)).text, 0);
    put_blank(line);
    put_user_name(line, record.ipt_data.table_name, NFT_NAME_MAX_LEN,
                  record.ipt_data.verdict & NFT_TABLE_NAME_CUT);
}

void put_nft_chain(line_t &line, const data_t &record)
{
    put_str(line, CHAIN_PREFIX, 0);
    put_user_name(line, record.ipt_data.table_name + NFT_NAME_MAX_LEN, NFT_NAME_MAX_LEN,
                  record.ipt_data.verdict & NFT_CHAIN_NAME_CUT);
}

// The name the kernel gave a drop reason, or null.
const std::string *drop_reason_name(uint32_t reason)
{
    const auto &names = kernel_names.drop_reasons;
    auto found = std::lower_bound(names.begin(), names.end(), std::make_pair(reason, std::string()));
    return found != names.end() && found->first == reason ? &found->second : nullptr;
}

// The code that freed the packet of a drop row, as the kernel named it, its
// module left out ("nft_do_chain" of "nft_do_chain [nf_tables]"); empty
// where the kernel had no name for it.
std::string_view drop_site(const data_t &record)
{
    const char *name = record.ipt_data.table_name;
    std::string_view site(name, strnlen(name, sizeof(record.ipt_data.table_name)));
    return site.substr(0, site.find(' '));
}

// Places on the input path that free a packet they could not deliver and,
// on 6.1 and 6.12, give no reason: input routing that failed (forwarding
// off, a martian source), a segment for no local address, a queue with no
// listener; and on every kernel a broadcast or multicast datagram no
// socket holds (counted as IgnoredMulti), in UDP's receive or, where the
// compiler inlined that, its callers, and a packet an NFQUEUE program
// answered with a drop (nf_reinject, nfnetlink_queue's nfqnl_reinject on 6.12 and later).
bool silent_drop_site(std::string_view symbol)
{
    static const char *const sites[] = {
        "ip_error",           "ip_rcv_finish",       "ip_rcv_finish_core", "ip_rcv_core",
        "ip_route_input_slow", "ip_route_input_noref", "ip_route_input_rcu", "ip_route_input_mc",
        "ip_forward",         "tcp_v4_rcv",          "nf_queue",           "nf_hook_slow",
        "ip6_forward",        "ip6_rcv_core",        "ip6_rcv_finish",     "ip6_pkt_drop",
        "tcp_v6_rcv",         "__udp4_lib_mcast_deliver", "__udp4_lib_rcv", "udp_rcv",
        "__udp6_lib_mcast_deliver", "__udp6_lib_rcv", "udpv6_rcv", "nf_reinject", "nfqnl_reinject",
        "nfqnl_recv_verdict",
    };
    // A compiler's clone (".isra.0", ".constprop.0", ".part.0", ".cold") is its function.
    std::string_view base = symbol.substr(0, symbol.find('.'));
    for (const char *site : sites)
        if (base == site)
            return true;
    return false;
}

// A free the kernel gives no reason for (NOT_SPECIFIED) is, elsewhere, data
// a socket held unread at its close, or the buffers of fragments once
// reassembled: nothing was lost on the way, and it gets no row.
bool unexplained_drop(const data_t &record)
{
    if (!label_contains(record, "kfree_skb"))
        return false;
    const std::string *name = drop_reason_name(record.ipt_data.hook);
    if (!name || *name != "NOT_SPECIFIED")
        return false;
    std::string_view site = drop_site(record);
    return site.empty() || !silent_drop_site(site);
}

// A drop where input routing refused a packet for elsewhere (ip_error) on
// a device that does not forward IPv4.
bool refused_for_forwarding_off(const data_t &record)
{
    if ((record.ipt_data.verdict & DROP_FORWARDING_MASK) != DROP_FORWARDING_OFF)
        return false;
    std::string_view site = drop_site(record);
    return site.substr(0, site.find('.')) == "ip_error";
}

// "reason:NO_SOCKET", or the number a kernel gave without a name for it.
void put_drop_reason(line_t &line, uint32_t reason)
{
    const std::string *name = drop_reason_name(reason);
    put_str(line, REASON_PREFIX, 0);
    if (name)
        put_name(line, name->c_str(), DROP_REASON_MAX_LEN, 0);
    else
        put_unsigned(line, reason, 0);
}

// "at: tcp_v4_rcv"; "at: unknown" where the kernel had no name for the code,
// which is never shown as its address.
void put_drop_location(line_t &line, const data_t &record)
{
    put_str(line, LOCATION_PREFIX, 0);
    std::string_view site = drop_site(record);
    if (site.empty())
        put_str(line, "unknown", 0);
    else
        put_name(line, site.data(), site.size(), 0);
}

// What each CPU's ring gave last, and what it lost since.
struct cpu_samples_t {
    uint64_t last_time = 0;
    uint64_t lost = 0;
    // When the monitor had read the CPU's ring past its last sample (0: not
    // yet). A loss after that sample filled the ring before then: later the
    // ring had room, and the next sample would have been no loss but the
    // one after it.
    uint64_t drained_by = 0;
};
std::vector<cpu_samples_t> cpu_samples;

// "# lost N samples on CPU C between T1 and T2": "#" so that no reader takes
// it for a row, which starts with a number.
void write_loss_line(int cpu, uint64_t until)
{
    cpu_samples_t &c = cpu_samples[size_t(cpu)];
    line_t line;
    put_str(line, "# lost ", 0);
    put_unsigned(line, c.lost, 0);
    put_str(line, " samples on CPU ", 0);
    put_signed(line, cpu, 0);
    put_str(line, " between ", 0);
    put_unsigned(line, c.last_time, 0);
    put_str(line, " and ", 0);
    put_unsigned(line, c.drained_by && c.drained_by < until ? c.drained_by : until, 0);
    line.text[line.len++] = '\n';
    write_line(line);
    c.lost = 0;
}

// Every sample counts, whether its row is kept or not.
void note_sample(int cpu, uint64_t time)
{
    if (cpu < 0 || size_t(cpu) >= cpu_samples.size())
        return;
    if (cpu_samples[size_t(cpu)].lost)
        write_loss_line(cpu, time);
    cpu_samples[size_t(cpu)].last_time = time;
    cpu_samples[size_t(cpu)].drained_by = 0;
}

// Where each probe's rows lie on a packet's path, and the hooks' places
// for the table walks' rows, from the one probe list.
constexpr int AT_HOOK = -2, NO_RANK = -1, AT_DROP = -3;
struct listed_place_t {
    const char *label;
    int rank;
    const char *program = nullptr; // its name in the kernel object; a hook has none
};
#define LABEL_ENTRY(program, function) #function
#define LABEL_TRACEPOINT(program, function) #function
#define LABEL_RETURN(program, function) #program
#define NO_MODULE nullptr
#define PROBE(program, kind, section, function, point, body, args, module, rank, device_layer, family) \
    {LABEL_##kind(program, function), rank, "trace_" #program},
#define HOOK(name, rank)
#define HANDOVER(function, lowest_rank)
const listed_place_t LISTED_PLACES[] = {
#include "probe_points.def"
};
#undef PROBE
#undef HOOK
#undef HANDOVER
#define PROBE(...)
#define HOOK(name, rank) {#name, rank},
#define HANDOVER(function, lowest_rank)
const listed_place_t HOOK_PLACES[] = {
#include "probe_points.def"
};
#undef HOOK
#undef HANDOVER
#define HOOK(name, rank)
#define HANDOVER(function, lowest_rank) {#function, lowest_rank},
const listed_place_t HANDOVERS[] = {
#include "probe_points.def"
};
#undef HANDOVER
#define HANDOVER(function, lowest_rank)
#define WAITS(function) #function,
const char *const WAITING_PLACES[] = {
#include "probe_points.def"
};
#undef WAITS
#undef PROBE
#undef HOOK
#undef HANDOVER
#undef NO_MODULE

// A label's length and first 8 bytes (zero past its end): a row's label is
// found by two integer compares, not a string compare per point.
struct label_key_t {
    uint64_t prefix;
    size_t len;
    bool operator==(const label_key_t &o) const { return prefix == o.prefix && len == o.len; }
};
label_key_t label_key(const char *label, size_t len)
{
    label_key_t key{0, len};
    memcpy(&key.prefix, label, len < sizeof(key.prefix) ? len : sizeof(key.prefix));
    return key;
}

// Receive ranks start here: a buffer sent out by a device and then seen
// received is one packet only where the sending device handed that very
// buffer over (a veth, the loopback); a NIC's buffer is freed once sent,
// and its address may come back at once for a frame received.
constexpr int FIRST_RECEIVE_RANK = 70;

struct probe_place_t {
    const char *label;
    label_key_t key;
    int rank;
    bool hands_over;       // a lower rank after it is the same packet going on...
    int handover_floor;    // ...down to this rank
    bool hands_to_receive; // a veth's or the loopback's: the receive after it is the same packet
    bool is_ipt_walk;
    bool waits; // the kernel may hold the packet here for seconds (WAITING_MAX_NS)
    bool copies; // a raw socket's: its buffer is a copy made just now
    bool merges;   // skb_gro_receive's: its buffer went into another packet
    bool segments; // __skb_gso_segment's: its buffer is the first segment of another
};

std::vector<probe_place_t> make_places()
{
    std::vector<probe_place_t> places;
    for (const listed_place_t &l : LISTED_PLACES) {
        probe_place_t p{l.label, label_key(l.label, strlen(l.label)), l.rank, false, 0, false, false, false, false,
                        false, false};
        for (const listed_place_t &h : HANDOVERS)
            if (strcmp(h.label, l.label) == 0)
                p.hands_over = true, p.handover_floor = h.rank;
        for (const char *w : WAITING_PLACES)
            p.waits |= strcmp(w, l.label) == 0;
        p.hands_to_receive = strcmp(l.label, "veth_xmit") == 0 || strcmp(l.label, "loopback_xmit") == 0;
        p.is_ipt_walk = strcmp(l.label, "ipt_do_table") == 0 || strcmp(l.label, "ip6t_do_table") == 0;
        p.copies = strcmp(l.label, "raw_rcv") == 0 || strcmp(l.label, "rawv6_rcv") == 0;
        p.merges = strcmp(l.label, "skb_gro_receive") == 0;
        p.segments = strcmp(l.label, "__skb_gso_segment") == 0;
        places.push_back(p);
    }
    return places;
}
const std::vector<probe_place_t> PROBE_PLACES = make_places();

int hook_rank(const char *hook_text)
{
    const char *name = hook_text + sizeof(HOOK_PREFIX) - 1;
    for (const listed_place_t &h : HOOK_PLACES)
        if (strcmp(h.label, name) == 0)
            return h.rank;
    return NO_RANK;
}

// A row's probe point, or null for a label not listed.
const probe_place_t *place_of(const data_t &record)
{
    const char *label = record.func_info.func_name;
    label_key_t key = label_key(label, strnlen(label, sizeof(record.func_info.func_name)));
    for (const probe_place_t &p : PROBE_PLACES)
        if (p.key == key && memcmp(p.label, label, key.len) == 0)
            return &p;
    return nullptr;
}

// A row's place on the path; NO_RANK for a return or a label not listed.
int rank_of(const data_t &record, const probe_place_t *place)
{
    if (!place || place->rank != AT_HOOK)
        return place ? place->rank : NO_RANK;
    if (place->is_ipt_walk)
        return hook_rank(nf_hook_name(record.ipt_data.hook).text);
    return hook_rank(nft_hook_name(record.ipt_data.hook, nft_hook_family(record)).text);
}

// One packet's life in one socket buffer: from its first row until the
// kernel drops it, or the buffer's address shows up where a packet starts
// again (freed after its delivery without a row, and reused), or stays
// unseen for a second. Its number is the PACKET column and a drop row's
// buf:N; a kernel address is never written.
// Both tables are made once, at a trace's first row: following a packet
// allocates nothing per row or per packet.
constexpr uint32_t NO_ROW = UINT32_MAX;
struct held_row_t {
    data6_t record;
    int cpu;
    uint32_t next; // the packet's next held row, or the next free one
};
struct packet_life_t {
    uint64_t skb = 0; // 0: a free slot
    uint64_t number = 0;
    uint64_t last_time = 0;
    const probe_place_t *last_place = nullptr; // of the row that set last_rank
    int last_rank = NO_RANK;
    bool handed_over = false; // its last placed row hands it on: a lower rank goes on
    bool to_receive = false;  // its last placed row handed it to a receive
    bool matched = false;     // a row of it passed the filter: all its rows are kept
    bool freed = false;       // its drop row came: only the return of the walk that dropped it follows
    uint32_t held_first = NO_ROW, held_last = NO_ROW, held_count = 0; // rows before it matched
};
constexpr uint64_t LIFE_IDLE_NS = 1000ull * 1000 * 1000;
// Bounds: the lives followed (an open-addressed table of twice as many
// slots), and the rows held back for packets that have not matched yet (a
// reply is de-NATed to the filter's address only after its first rows).
// The monitor renders some ten thousand packets a second at most: when the
// table is full the lives idle for 100 ms go, and all of them if that frees
// too little. About 1.3 MiB in all, made when tracing starts.
constexpr size_t LIVES_MAX = 1 << 13;
constexpr int LIFE_SLOT_BITS = 14;
constexpr size_t LIFE_SLOTS = size_t(1) << LIFE_SLOT_BITS;
static_assert(LIFE_SLOTS == LIVES_MAX * 2, "half the slots at most are used");
constexpr uint64_t LIFE_EVICTED_IDLE_NS = 100ull * 1000 * 1000;
constexpr uint32_t HELD_ROWS_MAX = 2048;
constexpr uint32_t HELD_ROWS_PER_PACKET = 64;
std::vector<packet_life_t> lives;
size_t lives_used;
std::vector<held_row_t> held_rows;
uint32_t held_free;
uint64_t packets_numbered;

size_t home_slot(uint64_t skb)
{
    return size_t((skb * 0x9e3779b97f4a7c15ull) >> (64 - LIFE_SLOT_BITS));
}

// The slot of SKB's life, or of the free slot where it would go.
size_t slot_of(uint64_t skb)
{
    size_t i = home_slot(skb);
    while (lives[i].skb && lives[i].skb != skb)
        i = (i + 1) & (LIFE_SLOTS - 1);
    return i;
}

void release_held_rows(packet_life_t &life)
{
    while (life.held_first != NO_ROW) {
        uint32_t row = life.held_first;
        life.held_first = held_rows[row].next;
        held_rows[row].next = held_free;
        held_free = row;
    }
    life.held_last = NO_ROW;
    life.held_count = 0;
}

// Empties slot I and moves up the lives after it that probed past it.
void forget_slot(size_t i)
{
    release_held_rows(lives[i]);
    lives_used--;
    for (size_t j = (i + 1) & (LIFE_SLOTS - 1); lives[j].skb; j = (j + 1) & (LIFE_SLOTS - 1)) {
        size_t home = home_slot(lives[j].skb);
        bool home_between = i <= j ? (home > i && home <= j) : (home > i || home <= j);
        if (home_between)
            continue;
        lives[i] = lives[j];
        i = j;
    }
    lives[i] = packet_life_t();
}

// Makes room when the table is full, in place.
void make_room_for_a_life(uint64_t now)
{
    if (lives_used < LIVES_MAX)
        return;
    for (size_t i = 0; i < LIFE_SLOTS;) {
        if (lives[i].skb && now - lives[i].last_time > LIFE_EVICTED_IDLE_NS)
            forget_slot(i); // a later life may have moved into it: look again
        else
            i++;
    }
    if (lives_used <= LIVES_MAX / 2)
        return;
    for (packet_life_t &life : lives) {
        release_held_rows(life);
        life = packet_life_t();
    }
    lives_used = 0;
}

// Whether the buffer's row begins a new packet rather than continuing the
// life it had.
bool starts_again(const packet_life_t &life, const data_t &record, const probe_place_t *place, int rank)
{
    // A raw socket's copy is a buffer made just now: an address the kernel
    // freed a moment ago (a fragment taken into its datagram) starts anew.
    if (place && place->copies)
        return true;
    // A packet held for its neighbour goes on (or is freed) seconds later.
    uint64_t idle_max = life.last_place && life.last_place->waits ? WAITING_MAX_NS : LIFE_IDLE_NS;
    if (record.func_info.rcv_ts - life.last_time > idle_max && record.func_info.rcv_ts > life.last_time)
        return true;
    // An nft rule's drop frees the buffer inside the walk, whose return
    // then tells the verdict of the packet it had.
    if (life.freed)
        return !place || place->rank != NO_RANK;
    if (rank < 0 || life.last_rank < 0)
        return false;
    if (rank < life.last_rank)
        return !life.handed_over || rank < life.last_place->handover_floor;
    // The same point twice in a row: a buffer GRO merged into another and
    // freed, reused for the next frame. Walks of several chains at one
    // hook are one packet's.
    if (place == life.last_place && place->rank != AT_HOOK)
        return true;
    // A bridge's own transmit hands its buffer to br_forward: that hand-over
    // follows a transmit, and is no receive.
    if (life.last_rank < FIRST_RECEIVE_RANK && rank >= FIRST_RECEIVE_RANK)
        return !life.to_receive && !place->hands_over;
    return false;
}

void make_life_tables()
{
    lives.assign(LIFE_SLOTS, packet_life_t());
    held_rows.resize(HELD_ROWS_MAX);
    for (uint32_t i = 0; i < HELD_ROWS_MAX; i++)
        held_rows[i].next = i + 1 < HELD_ROWS_MAX ? i + 1 : NO_ROW;
    held_free = 0;
}

packet_life_t &life_of(const data_t &record, const probe_place_t *place)
{
    if (lives.empty())
        make_life_tables();
    int rank = rank_of(record, place);
    size_t i = slot_of(record.skb);
    if (lives[i].skb && starts_again(lives[i], record, place, rank)) {
        forget_slot(i);
        i = slot_of(record.skb);
    }
    if (!lives[i].skb) {
        make_room_for_a_life(record.func_info.rcv_ts);
        i = slot_of(record.skb);
        lives[i] = packet_life_t();
        lives[i].skb = record.skb;
        lives[i].number = ++packets_numbered;
        lives_used++;
    }
    packet_life_t &life = lives[i];
    if (record.func_info.rcv_ts > life.last_time)
        life.last_time = record.func_info.rcv_ts;
    if (rank >= 0) {
        if (rank < life.last_rank)
            life.handed_over = false; // the hand-over is used up
        life.last_rank = rank;
        life.last_place = place;
        if (place->hands_over)
            life.handed_over = true;
        life.to_receive = place->hands_to_receive;
    }
    return life;
}

// A packet matches, if ever, while it crosses the host: rows held for one
// that has not been seen for this long are of a packet delivered or freed
// without a row, and go when the pool runs out.
constexpr uint64_t HELD_ROWS_STALE_NS = 100ull * 1000 * 1000;
uint64_t last_held_sweep;

void release_stale_held_rows(uint64_t now)
{
    if (now - last_held_sweep < HELD_ROWS_STALE_NS / 10)
        return; // swept a moment ago: no use sweeping on every row
    last_held_sweep = now;
    for (packet_life_t &life : lives)
        if (life.held_count && now - life.last_time > HELD_ROWS_STALE_NS)
            release_held_rows(life);
}

void hold_row(packet_life_t &life, const data6_t &record, int cpu)
{
    if (held_free == NO_ROW)
        release_stale_held_rows(record.common.func_info.rcv_ts);
    if (held_free == NO_ROW || life.held_count >= HELD_ROWS_PER_PACKET)
        return;
    uint32_t row = held_free;
    held_free = held_rows[row].next;
    held_rows[row] = {record, cpu, NO_ROW};
    if (life.held_last == NO_ROW)
        life.held_first = row;
    else
        held_rows[life.held_last].next = row;
    life.held_last = row;
    life.held_count++;
}

// The life SKB holds, or null.
const packet_life_t *life_at(uint64_t skb)
{
    if (lives.empty() || !skb)
        return nullptr;
    const packet_life_t &life = lives[slot_of(skb)];
    return life.skb == skb ? &life : nullptr;
}

// The number of the packet whose life SKB holds, or 0 where none does.
uint64_t buffer_number(uint64_t skb)
{
    const packet_life_t *life = life_at(skb);
    return life ? life->number : 0;
}

// The other buffer of a GRO merge row (the packet it went into) or of a
// software segmentation's (the buffer segmented): the kernel side keeps its
// address where a table's name would be.
uint64_t other_buffer(const data_t &record)
{
    uint64_t into;
    memcpy(&into, record.ipt_data.table_name, sizeof(into));
    return into;
}

} // namespace

void start_buffer_numbers()
{
    make_life_tables();
    lives_used = 0;
    packets_numbered = 0;
    last_held_sweep = 0;
}

namespace {

// A drop of a datagram sent to a group (an IPv4 multicast or broadcast
// address, IPv6 multicast, a group MAC) whose buffer was never copied: the
// group's only member had the original, no copy went elsewhere.
bool sole_buffer_of_group_datagram(const data6_t &full)
{
    const data_t &record = full.common;
    if (record.ipt_data.verdict & DROP_DATA_SHARED)
        return false;
    uint32_t daddr = ntohl(record.ip_data.daddr);
    bool ipv6 = trace_ipv6;
    bool group = ipv6 ? full.daddr[0] == 0xff : (daddr >> 28) == 0xe || daddr == 0xffffffffu;
    return group || (record.eth_data.dmac[0] & 1) != 0;
}

// The three OTHER_INFO sub-fields and the line end. The label decides what
// they hold; "ret_ipt_do_table" contains "ipt_do_table", so the returns of
// the walks are told apart first.
void put_other_info(line_t &line, const data6_t &full, bool with_sock_state, uint64_t packet)
{
    const data_t &record = full.common;
    info_text_t named{};
    const char *first = named.text;
    bool with_table = false, with_chain = false, with_drop = false, accept_queue_full = false, with_queue = false;
    uint64_t merged_into = 0;
    if (label_contains(record, "ret_ipt_do_table") || label_contains(record, "ret_ip6t_do_table") ||
        label_contains(record, "ret_nft_do_chain")) {
        named = nf_verdict_name(record.ipt_data.verdict);
        // The queue number rides in the verdict's upper half (NF_QUEUE is 3).
        with_queue = label_contains(record, "ret_nft_do_chain") && (record.ipt_data.verdict & 0xff) == 3;
    } else if (label_contains(record, "ipt_do_table") || label_contains(record, "ip6t_do_table")) {
        named = nf_hook_name(record.ipt_data.hook);
        with_table = true;
    } else if (label_contains(record, "nft_do_chain")) {
        named = nft_hook_name(record.ipt_data.hook, nft_hook_family(record));
        with_chain = true;
    } else if (label_contains(record, "kfree_skb")) {
        with_drop = true;
    } else if (with_sock_state &&
               (label_contains(record, "tcp_conn_request") || label_contains(record, "syn_recv_sock"))) {
        // The kernel side emits these only for a full accept queue.
        first = tcp_state_name(record.sock_data.sk_state);
        accept_queue_full = true;
    } else if (with_sock_state &&
               (label_contains(record, "__inet_lookup_listener") || label_contains(record, "inet6_lookup_listener") ||
                label_contains(record, "tcp_v4_rcv") || label_contains(record, "tcp_v6_rcv") ||
                label_contains(record, "tcp_timewait_state_process") || label_contains(record, "tcp_check_req"))) {
        first = tcp_state_name(record.sock_data.sk_state);
    } else if (label_contains(record, "skb_gro_receive")) {
        // The kernel side emits it only for a merge made.
        first = GRO_MERGED;
        merged_into = buffer_number(other_buffer(record));
    }
    size_t start = line.len;
    if (with_drop)
        put_drop_reason(line, record.ipt_data.hook);
    else
        put_str(line, first, 0);
    pad_to(line, start, OTHER_INFO_WIDTH[0]);
    put_blank(line);
    start = line.len;
    if (with_drop) {
        put_drop_location(line, record);
    } else if (with_chain) {
        put_nft_table(line, record);
    } else if (with_table) {
        put_str(line, TABLE_PREFIX, 0);
        put_name(line, record.ipt_data.table_name, sizeof(record.ipt_data.table_name), 0);
    } else if (accept_queue_full) {
        put_str(line, ACCEPT_QUEUE_FULL, 0);
    } else if (merged_into) {
        put_str(line, MERGED_INTO_PREFIX, 0);
        put_unsigned(line, merged_into, 0);
    }
    pad_to(line, start, OTHER_INFO_WIDTH[1]);
    put_blank(line);
    // The third: an nft walk's chain, and where a fragment after the first
    // begins, in bytes, since its transport columns hold no header (the
    // kernel side zeroes them).
    start = line.len;
    if (with_chain)
        put_nft_chain(line, record);
    if (with_queue) {
        put_str(line, QUEUE_PREFIX, 0);
        put_unsigned(line, record.ipt_data.verdict >> 16, 0);
    }
    if (with_drop || label_contains(record, "raw_rcv") || label_contains(record, "rawv6_rcv")) {
        if (line.len > start)
            put_blank(line);
        put_str(line, BUFFER_PREFIX, 0);
        put_unsigned(line, packet, 0);
    }
    if (with_drop && refused_for_forwarding_off(record)) {
        put_blank(line);
        put_str(line, FORWARDING_OFF, 0);
    }
    if (with_drop && sole_buffer_of_group_datagram(full)) {
        put_blank(line);
        put_str(line, SOLE_BUFFER, 0);
    }
    if (uint16_t offset = fragment_offset(record)) {
        if (line.len > start)
            put_blank(line);
        put_str(line, FRAGMENT_PREFIX, 0);
        put_unsigned(line, offset * 8u, 0);
    }
    pad_to(line, start, OTHER_INFO_WIDTH[2]);
    line.text[line.len++] = '\n';
}

} // namespace

mac_text_t mac_to_string(const uint8_t mac[6])
{
    mac_text_t out;
    out.text[format_mac(out.text, mac)] = '\0';
    return out;
}

ipv4_text_t ipv4_to_string(uint32_t addr)
{
    ipv4_text_t out;
    out.text[format_ipv4(out.text, addr)] = '\0';
    return out;
}

const char *tcp_state_name(uint8_t state)
{
    static const char *const names[] = {
        "sock:TCP_MAX_STATES", "sock:TCP_ESTABLISHED", "sock:TCP_SYN_SENT",
        "sock:TCP_SYN_RECV",   "sock:TCP_FIN_WAIT1",   "sock:TCP_FIN_WAIT2",
        "sock:TCP_TIME_WAIT",  "sock:TCP_CLOSE",       "sock:TCP_CLOSE_WAIT",
        "sock:TCP_LAST_ACK",   "sock:TCP_LISTEN",      "sock:TCP_CLOSING",
        "sock:TCP_NEW_SYN_RECV",
    };
    return state < sizeof(names) / sizeof(names[0]) ? names[state] : names[0];
}

namespace {

// PREFIX and NAME, or PREFIX and NUMBER where there is no name.
info_text_t info_text(const char *prefix, const char *name, uint32_t number)
{
    info_text_t out{};
    size_t at = strlen(prefix);
    memcpy(out.text, prefix, at);
    if (name)
        memcpy(out.text + at, name, strlen(name));
    else
        std::to_chars(out.text + at, out.text + sizeof(out.text) - 1, number);
    return out;
}

// The name at VALUE among the first COUNT of NAMES, or null.
template <size_t N> const char *name_at(const char *const (&names)[N], uint32_t value, size_t count = N)
{
    return value < count && value < N ? names[value] : nullptr;
}

// The hooks of each family as the kernel numbers them; inet's last,
// NF_INET_INGRESS, only nft has.
const char *const INET_HOOKS[] = {"NF_INET_PRE_ROUTING", "NF_INET_LOCAL_IN",     "NF_INET_FORWARD",
                                  "NF_INET_LOCAL_OUT",   "NF_INET_POST_ROUTING", "NF_INET_INGRESS"};
constexpr size_t IPT_HOOK_COUNT = NF_INET_NUMHOOKS;
const char *const NETDEV_HOOKS[] = {"NF_NETDEV_INGRESS", "NF_NETDEV_EGRESS"};
const char *const BRIDGE_HOOKS[] = {"NF_BR_PRE_ROUTING", "NF_BR_LOCAL_IN",     "NF_BR_FORWARD",
                                    "NF_BR_LOCAL_OUT",   "NF_BR_POST_ROUTING", "NF_BR_BROUTING"};
const char *const ARP_HOOKS[] = {"NF_ARP_IN", "NF_ARP_OUT", "NF_ARP_FORWARD"};

const char *nft_hook_word(uint32_t hook, uint32_t family)
{
    switch (family) {
    case NFPROTO_IPV4:
    case NFPROTO_IPV6:
    case NFPROTO_INET:
        return name_at(INET_HOOKS, hook);
    case NFPROTO_NETDEV:
        return name_at(NETDEV_HOOKS, hook);
    case NFPROTO_BRIDGE:
        return name_at(BRIDGE_HOOKS, hook);
    case NFPROTO_ARP:
        return name_at(ARP_HOOKS, hook);
    default:
        return nullptr;
    }
}

const char *nft_family_word(uint32_t family)
{
    switch (family) {
    case NFPROTO_IPV4:
        return "ip";
    case NFPROTO_IPV6:
        return "ip6";
    case NFPROTO_INET:
        return "inet";
    case NFPROTO_ARP:
        return "arp";
    case NFPROTO_BRIDGE:
        return "bridge";
    case NFPROTO_NETDEV:
        return "netdev";
    default:
        return nullptr;
    }
}

} // namespace

info_text_t nf_hook_name(uint32_t hook)
{
    return info_text(HOOK_PREFIX, name_at(INET_HOOKS, hook, IPT_HOOK_COUNT), hook);
}

info_text_t nft_hook_name(uint32_t hook, uint32_t family)
{
    return info_text(HOOK_PREFIX, nft_hook_word(hook, family), hook);
}

info_text_t nft_family_name(uint32_t family)
{
    return info_text("", nft_family_word(family), family);
}

// The kernel reads a verdict by its low byte (NF_VERDICT_MASK): the bits
// above carry a queue number (NF_QUEUE_NR) or an errno (NF_DROP_ERR).
info_text_t nf_verdict_name(uint32_t verdict)
{
    static const char *const names[] = {"NF_DROP", "NF_ACCEPT", "NF_STOLEN", "NF_QUEUE", "NF_REPEAT", "NF_STOP"};
    return info_text(VERDICT_PREFIX, name_at(names, verdict & 0xff), verdict & 0xff);
}

int write_trace_header(uint32_t protocol)
{
    const protocol_layout_t *layout = protocol_layout(protocol);
    if (!layout)
        return 0; // nothing to write: write(fd, "", 0) would report 0 too
    line_t line;
    for (size_t i = 0; i < COMMON_COUNT; i++) {
        const column_t &column = trace_ipv6 && (i == SIP || i == DIP) ? IPV6_ADDRESS[i - SIP] : COMMON[i];
        put_str(line, column.label, column.width);
        put_blank(line);
        const column_t *added = i == CPU ? &PACKET_COLUMN : i == INTERFACE ? &NETNS_COLUMN : nullptr;
        if (added && trace_packet_columns) {
            put_str(line, added->label, added->width);
            put_blank(line);
        }
    }
    for (size_t i = 0; i < layout->count; i++) {
        put_str(line, layout->columns[i].label, layout->columns[i].width);
        put_blank(line);
    }
    put_str(line, OTHER_INFO_LABEL, OTHER_INFO_WIDTH[0]);
    line.text[line.len++] = '\n';
    int written = int(write(trace_fd, line.text, line.len));
    int write_errno = errno;
    fsync(trace_fd);
    errno = write_errno; // the caller reports the write's failure, not the sync's
    return written;
}

namespace {

bool row_matches(const data6_t &full)
{
    const data_t &record = full.common;
    if (!host_matches(full))
        return false;
    switch (record.ip_data.protocol) {
    case PROTO_TCP:
        return port_matches(record.tcp_data.source, record.tcp_data.dst);
    case PROTO_UDP:
        return port_matches(record.udp_data.source, record.udp_data.dst);
    default:
        return true;
    }
}

void write_row(const data6_t &full, int cpu, uint64_t packet)
{
    const data_t &record = full.common;
    line_t line;
    put_common_columns(line, full, cpu, packet);
    // The protocol columns in their order.
    uint64_t values[4] = {};
    switch (record.ip_data.protocol) {
    case PROTO_TCP:
        values[TCP_SPORT] = ntohs(record.tcp_data.source);
        values[TCP_DPORT] = ntohs(record.tcp_data.dst);
        values[TCP_SEQ] = ntohl(record.tcp_data.seq);
        values[TCP_ACK_SEQ] = ntohl(record.tcp_data.ack_seq);
        break;
    case PROTO_UDP:
        values[UDP_SPORT] = ntohs(record.udp_data.source);
        values[UDP_DPORT] = ntohs(record.udp_data.dst);
        // Payload length; a later fragment has no UDP header to take it from.
        values[UDP_LEN] = fragment_offset(record) ? 0 : uint16_t(ntohs(record.udp_data.len) - 8);
        // An IPv6 jumbogram's length field is 0: the length is not there.
        if (trace_ipv6 && ntohs(record.udp_data.len) < 8)
            values[UDP_LEN] = 0;
        break;
    default:
        values[ICMP_TYPE] = record.icmp_data.type;
        values[ICMP_CODE] = record.icmp_data.code;
        values[ICMP_ID] = ntohs(record.icmp_data.id);
        values[ICMP_SEQUENCE] = ntohs(record.icmp_data.seq);
        break;
    }
    const protocol_layout_t &layout = *protocol_layout(record.ip_data.protocol);
    for (size_t i = 0; i < layout.count; i++) {
        put_unsigned(line, values[i], layout.columns[i].width);
        put_blank(line);
    }
    put_other_info(line, full, record.ip_data.protocol == PROTO_TCP, packet);
    write_line(line);
    trace_rows_written++;
}

// A packet is kept whole once one of its rows matched -H and -p: its rows
// after a NAT rewrite follow, and those before it (a reply's, before its
// destination was put back) are written when it matches.
void take_row(const data6_t &full, int cpu)
{
    const data_t &record = full.common;
    bool drop = label_contains(record, "kfree_skb");
    const probe_place_t *place = place_of(record);
    // The first segment of a buffer segmented in software goes on as its
    // packet, with its number and its match.
    const packet_life_t *segmented = place && place->segments ? life_at(other_buffer(record)) : nullptr;
    uint64_t inherited = segmented ? segmented->number : 0, numbered = packets_numbered;
    bool inherited_match = segmented && segmented->matched;
    packet_life_t &life = life_of(record, place);
    if (inherited && life.number != inherited) {
        if (packets_numbered != numbered)
            packets_numbered--; // the number just given goes to the next packet
        life.number = inherited;
        life.matched = life.matched || inherited_match;
    }
    if (!drop || !unexplained_drop(record)) {
        if (!life.matched && row_matches(full)) {
            life.matched = true;
            for (uint32_t row = life.held_first; row != NO_ROW; row = held_rows[row].next)
                write_row(held_rows[row].record, held_rows[row].cpu, life.number);
            release_held_rows(life);
        }
        // A later fragment carries no ports: its buffer may become the whole
        // datagram once reassembled, but the fragment itself never matched.
        if (life.matched)
            write_row(full, cpu, life.number);
        else if (!fragment_offset(record) && !life.freed)
            hold_row(life, full, cpu);
    }
    // Freed, or merged by GRO into another packet, whose list holds it
    // until that one is freed: the address may hold the next packet.
    if (drop || (place && place->merges)) {
        life.freed = true;
        if (!life.matched)
            release_held_rows(life);
    }
}

// Only records of the traced protocol are rows.
void take_traced_row(const data6_t &record, int cpu)
{
    if (record.common.ip_data.protocol == trace_filter.proto && protocol_layout(trace_filter.proto))
        take_row(record, cpu);
}

// A sample of the traced family's size or more (never read past its end),
// copied whole: the copy also gives it the alignment the ring does not
// promise. An IPv4 record has no IPv6 addresses. The marker run on the way
// out to have the kernel tell pending losses is shorter than any record.
bool read_sample(data6_t &record, const void *data, uint32_t size)
{
    size_t need = trace_ipv6 ? sizeof(data6_t) : sizeof(data_t);
    if (size < need)
        return false;
    memcpy(&record, data, need);
    if (!trace_ipv6)
        memset(record.saddr, 0, sizeof(record.saddr) + sizeof(record.daddr));
    return true;
}

} // namespace

void handle_trace_event(void *ctx, int cpu, void *data, uint32_t size)
{
    (void)ctx;
    data6_t record;
    if (!read_sample(record, data, size))
        return;
    note_sample(cpu, record.common.func_info.rcv_ts);
    take_traced_row(record, cpu);
}

namespace {

// The rings are read one CPU after another, so a packet whose rows were
// made on two CPUs (a queue handed on, a socket read in process context)
// can come out of them in another order than the kernel made them: a
// poll's samples are put in time order before any is taken, and those made
// while the poll ran wait for the next one, which may bring older ones of
// a ring read before they were made.
struct queued_sample_t {
    data6_t record;
    int cpu;
};
constexpr size_t QUEUED_SAMPLES_MAX = 1 << 16;
constexpr int TAKEN = -1; // a queued sample's cpu once it is taken
std::vector<queued_sample_t> queued_samples;
std::vector<uint32_t> queued_order;

} // namespace

// Some two thousand samples: a busy poll's and those it leaves waiting,
// 0.4 MiB.
constexpr size_t QUEUED_SAMPLES_KEPT = 2048;

void make_sample_queue()
{
    queued_samples.resize(QUEUED_SAMPLES_KEPT);
    queued_order.resize(QUEUED_SAMPLES_KEPT);
    queued_samples.clear();
}

void queue_trace_event(void *ctx, int cpu, void *data, uint32_t size)
{
    (void)ctx;
    if (queued_samples.size() >= QUEUED_SAMPLES_MAX)
        handle_queued_trace_events(UINT64_MAX);
    queued_samples.emplace_back();
    queued_sample_t &q = queued_samples.back();
    if (!read_sample(q.record, data, size)) {
        queued_samples.pop_back();
        return;
    }
    q.cpu = cpu;
    note_sample(cpu, q.record.common.func_info.rcv_ts);
}

void handle_queued_trace_events(uint64_t made_before)
{
    queued_order.resize(queued_samples.size());
    for (uint32_t i = 0; i < queued_order.size(); i++)
        queued_order[i] = i;
    auto time_of = [](uint32_t i) { return queued_samples[i].record.common.func_info.rcv_ts; };
    std::sort(queued_order.begin(), queued_order.end(), [&](uint32_t a, uint32_t b) {
        return time_of(a) < time_of(b) || (time_of(a) == time_of(b) && a < b);
    });
    size_t taken = 0;
    for (; taken < queued_order.size() && time_of(queued_order[taken]) < made_before; taken++) {
        queued_sample_t &q = queued_samples[queued_order[taken]];
        take_traced_row(q.record, q.cpu);
        q.cpu = TAKEN;
    }
    // The rest wait where they are, in the order they came: the next poll
    // sorts them with its own.
    queued_samples.erase(std::remove_if(queued_samples.begin(), queued_samples.end(),
                                        [](const queued_sample_t &q) { return q.cpu == TAKEN; }),
                         queued_samples.end());
}

void track_sample_losses(int cpu_count)
{
    cpu_samples.assign(cpu_count > 0 ? size_t(cpu_count) : 0, cpu_samples_t());
}

void note_lost_samples(int cpu, uint64_t count)
{
    if (cpu >= 0 && size_t(cpu) < cpu_samples.size())
        cpu_samples[size_t(cpu)].lost += count;
}

void note_rings_read(uint64_t now_ns)
{
    for (cpu_samples_t &c : cpu_samples)
        if (!c.drained_by && c.last_time)
            c.drained_by = now_ns;
}

void write_pending_sample_losses(uint64_t now_ns)
{
    for (size_t cpu = 0; cpu < cpu_samples.size(); cpu++)
        if (cpu_samples[cpu].lost)
            write_loss_line(int(cpu), now_ns);
}

const char *program_label(const char *program)
{
    for (const listed_place_t &p : LISTED_PLACES)
        if (strcmp(p.program, program) == 0)
            return p.label;
    return nullptr;
}

std::string skipped_runs_text(const char *label, uint64_t count)
{
    return "the kernel skipped " + std::to_string(count) + " runs of " + label +
           ": another probe's program was running on its CPU";
}

void write_skipped_runs_line(const char *label, uint64_t count)
{
    line_t line;
    put_str(line, "# ", 0);
    put_str(line, skipped_runs_text(label, count).c_str(), 0);
    line.text[line.len++] = '\n';
    write_line(line);
}
