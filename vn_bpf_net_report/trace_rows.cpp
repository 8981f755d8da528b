// Rows are read the way the monitor writes them: a column starts one blank
// after the previous one ends, and a value that is longer than its width
// pushes the rest of the row to the right. So each column is read from
// where it starts up to its first blank, and the next one starts at
// start + max(value length, width) + 1. Blanks inside values (none of the
// names the kernel gives has one) would shift the columns; only OTHER_INFO,
// the last, holds texts with blanks and is read as the rest of the line.
#include "trace_rows.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>

#include "trace_layout.h"
#include "vn_bpf_net_monitor.h"

using namespace trace_layout;

namespace {

std::string_view trim(std::string_view text)
{
    size_t first = 0;
    while (first < text.size() && text[first] == ' ')
        first++;
    if (first == text.size())
        return {};
    // OTHER_INFO is padded to its width: its blanks are dropped eight at a time.
    size_t end = text.size();
    while (end - first >= 8 && memcmp(text.data() + end - 8, "        ", 8) == 0)
        end -= 8;
    while (text[end - 1] == ' ')
        end--;
    return text.substr(first, end - first);
}

// The first blank at or after pos, or the line's end. Values are short:
// eight bytes are looked at a time, with no call.
size_t blank_at_or_after(std::string_view line, size_t pos)
{
    constexpr uint64_t ONES = 0x0101010101010101ull, HIGHS = 0x8080808080808080ull, BLANKS = ONES * ' ';
    while (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && line.size() - pos >= 8) {
        uint64_t word;
        memcpy(&word, line.data() + pos, 8);
        word ^= BLANKS; // a blank is now a zero byte
        uint64_t zeros = (word - ONES) & ~word & HIGHS;
        if (zeros)
            return pos + size_t(__builtin_ctzll(zeros) / 8); // the lowest byte first (little-endian)
        pos += 8;
    }
    while (pos < line.size() && line[pos] != ' ')
        pos++;
    return pos;
}

// The value of the column starting at pos; pos moves to the next column.
// A row squeezed (tr -s ' ') has one blank between its columns whatever
// their width: the next column starts at the next word.
inline std::string_view next_value(std::string_view line, size_t &pos, size_t width, bool squeezed)
{
    if (pos >= line.size()) {
        pos = line.size();
        return {};
    }
    size_t end = blank_at_or_after(line, pos);
    std::string_view value = line.substr(pos, end - pos);
    if (squeezed) {
        pos = line.find_first_not_of(' ', end);
        if (pos == std::string_view::npos)
            pos = line.size();
        return value;
    }
    pos += (value.size() > width ? value.size() : width) + 1;
    return value;
}

template <typename T> bool parse_number(std::string_view text, T &value)
{
    if (text.empty())
        return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool starts_with(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

// The first word of text after prefix; text moves past it.
std::string_view take_word(std::string_view &text, size_t prefix_len)
{
    text.remove_prefix(prefix_len);
    size_t end = text.find(' ');
    std::string_view word = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : trim(text.substr(end));
    return word;
}

} // namespace

char *write_ipv4(char *at, uint32_t addr)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        at = std::to_chars(at, at + 3, (addr >> shift) & 0xff).ptr;
        if (shift)
            *at++ = '.';
    }
    return at;
}

bool parse_ipv4(std::string_view text, uint32_t &addr)
{
    addr = 0;
    const char *p = text.data(), *end = text.data() + text.size();
    for (int i = 0; i < 4; i++) {
        if (i) {
            if (p == end || *p != '.')
                return false;
            p++;
        }
        unsigned octet = 0;
        auto [next, ec] = std::from_chars(p, end, octet);
        if (ec != std::errc() || octet > 255 || next - p > 3)
            return false;
        addr = addr << 8 | octet;
        p = next;
    }
    return p == end;
}

bool parse_ipv6(std::string_view text, uint8_t addr[16])
{
    // inet_pton reads a C string: the longest IPv6 text it takes (an
    // IPv4-mapped one written in full) fits INET6_ADDRSTRLEN.
    char copy[INET6_ADDRSTRLEN];
    if (text.empty() || text.size() >= sizeof(copy))
        return false;
    memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return inet_pton(AF_INET6, copy, addr) == 1;
}

bool parse_address(std::string_view text, ip_address &addr)
{
    addr = {};
    if (parse_ipv4(text, addr.v4))
        return true;
    addr.ipv6 = parse_ipv6(text, addr.v6);
    return addr.ipv6;
}

char *write_address(char *at, const ip_address &addr)
{
    return addr.ipv6 ? at + format_ipv6(at, addr.v6) : write_ipv4(at, addr.v4);
}

std::string address_text(const ip_address &addr)
{
    char text[IPV6_TEXT_MAX];
    return std::string(text, size_t(write_address(text, addr) - text));
}

uint32_t header_protocol(std::string_view line)
{
    size_t pos = 0;
    auto next_label = [&]() {
        size_t start = line.find_first_not_of(' ', pos);
        if (start == std::string_view::npos)
            return std::string_view();
        size_t end = line.find(' ', start);
        if (end == std::string_view::npos)
            end = line.size();
        pos = end;
        return line.substr(start, end - start);
    };
    // PACKET after CPU and NETNS after INTERFACE come together or not at all.
    uint32_t columns = 0;
    for (size_t c = 0; c < COMMON_COUNT; c++) {
        std::string_view label = next_label();
        if (c == TRACE_INFO && label == PACKET_COLUMN.label)
            columns = PACKET_COLUMNS, label = next_label();
        // Both address columns are IPv6's or neither.
        if (c == SIP && label == IPV6_ADDRESS[0].label)
            columns |= IPV6_ADDRESSES, label = COMMON[SIP].label;
        else if (c == DIP && (columns & IPV6_ADDRESSES) && label == IPV6_ADDRESS[1].label)
            label = COMMON[DIP].label;
        else if (c == DIP && (columns & IPV6_ADDRESSES))
            return 0;
        if (label != COMMON[c].label ||
            (c == INTERFACE && (columns & PACKET_COLUMNS) && next_label() != NETNS_COLUMN.label))
            return 0;
    }
    size_t after_common = pos;
    bool ipv6 = columns & IPV6_ADDRESSES;
    for (const protocol_layout_t &layout : PROTOCOLS) {
        // ICMP's columns are ICMPv6's under IPv6's addresses.
        if ((layout.protocol == 1 && ipv6) || (layout.protocol == 58 && !ipv6))
            continue;
        pos = after_common;
        bool same = true;
        for (size_t i = 0; i < layout.count && same; i++)
            same = next_label() == layout.columns[i].label;
        if (same && next_label() == OTHER_INFO_LABEL && next_label().empty())
            return layout.protocol | columns;
    }
    return 0;
}

namespace {

// The fast way through a row in the monitor's columns: a number or an
// address is read digit by digit up to its end, which is then the column's
// end, in one pass. It takes only what the general way below reads the same
// (plain digits that cannot overflow, each value followed by a blank or the
// line's end); anything else is left to it.
struct fast_columns {
    std::string_view line;
    size_t pos = 0;

    bool ends_value(const char *at) const { return at == line.data() + line.size() || *at == ' '; }
    void skip(size_t length, size_t width) { pos += (length > width ? length : width) + 1; }

    // Up to max_digits digits, at most max.
    bool number(size_t width, size_t max_digits, uint64_t max, uint64_t &value)
    {
        if (pos >= line.size())
            return false;
        const char *start = line.data() + pos, *end = line.data() + line.size(), *at = start;
        uint64_t v = 0;
        while (at < end && at - start <= ptrdiff_t(max_digits) && unsigned(*at - '0') < 10)
            v = v * 10 + unsigned(*at++ - '0');
        size_t length = size_t(at - start);
        if (length == 0 || length > max_digits || v > max || !ends_value(at))
            return false;
        value = v;
        skip(length, width);
        return true;
    }
    bool ipv4(size_t width, uint32_t &addr, std::string_view &text)
    {
        if (pos >= line.size())
            return false;
        const char *start = line.data() + pos, *end = line.data() + line.size(), *at = start;
        uint32_t a = 0;
        for (int i = 0; i < 4; i++) {
            if (i && (at == end || *at++ != '.'))
                return false;
            const char *octet = at;
            unsigned v = 0;
            while (at < end && at - octet < 3 && unsigned(*at - '0') < 10)
                v = v * 10 + unsigned(*at++ - '0');
            if (at == octet || v > 255)
                return false;
            a = a << 8 | v;
        }
        if (!ends_value(at))
            return false;
        addr = a;
        text = {start, size_t(at - start)};
        skip(text.size(), width);
        return true;
    }
    bool ipv6(size_t width, uint8_t addr[16], std::string_view &text_out)
    {
        return text(width, text_out) && parse_ipv6(text_out, addr);
    }
    bool text(size_t width, std::string_view &value)
    {
        if (pos >= line.size())
            return false;
        size_t end = blank_at_or_after(line, pos);
        value = line.substr(pos, end - pos);
        skip(value.size(), width);
        return true;
    }
};

bool parse_columns_fast(std::string_view line, const protocol_layout_t *layout, bool packet_columns, bool ipv6,
                        parsed_row &row)
{
    fast_columns c{line};
    uint64_t time, cpu, packet = 0, netns = 0;
    std::string_view no_netns;
    if (!c.number(COMMON[TIME].width, 18, uint64_t(INT64_MAX), time) ||
        !c.number(COMMON[CPU].width, 9, uint64_t(INT32_MAX), cpu) ||
        (packet_columns && (!c.number(PACKET_COLUMN.width, 19, UINT64_MAX, packet) || packet == 0)) ||
        !c.text(COMMON[TRACE_INFO].width, row.function) || row.function.empty() ||
        !c.text(COMMON[INTERFACE].width, row.device) ||
        (packet_columns && !c.number(NETNS_COLUMN.width, 10, UINT32_MAX, netns) &&
         (!c.text(NETNS_COLUMN.width, no_netns) || no_netns != NETNS_UNKNOWN)) ||
        (packet_columns && no_netns.empty() && netns == 0) || !c.text(COMMON[SMAC].width, row.smac) ||
        !c.text(COMMON[DMAC].width, row.dmac))
        return false;
    row.ipv6 = ipv6;
    bool addresses = ipv6 ? c.ipv6(IPV6_ADDRESS[0].width, row.saddr6, row.sip) &&
                                c.ipv6(IPV6_ADDRESS[1].width, row.daddr6, row.dip)
                          : c.ipv4(COMMON[SIP].width, row.saddr, row.sip) && c.ipv4(COMMON[DIP].width, row.daddr, row.dip);
    if (!addresses)
        return false;
    row.packet = packet;
    row.netns = uint32_t(netns);
    row.time = int64_t(time);
    row.cpu = int32_t(cpu);
    for (size_t i = 0; i < 4; i++) {
        row.fields[i] = 0;
        if (i >= layout->count)
            continue;
        // SEQ and ACK_SEQ are 32-bit; every other protocol column is 16-bit.
        bool wide = layout->protocol == PROTO_TCP && (i == TCP_SEQ || i == TCP_ACK_SEQ);
        uint64_t value;
        if (!c.number(layout->columns[i].width, wide ? 10 : 5, wide ? UINT32_MAX : UINT16_MAX, value))
            return false;
        row.fields[i] = uint32_t(value);
    }
    row.other_info = c.pos < line.size() ? trim(line.substr(c.pos)) : std::string_view();
    return true;
}

// A packet number (1 on) or a namespace ("-" for none, 0 then) of -N's columns.
template <typename T> bool parse_packet_column(std::string_view text, bool may_be_none, T &value)
{
    if (may_be_none && text == NETNS_UNKNOWN) {
        value = 0;
        return true;
    }
    return parse_number(text, value) && value != 0;
}

const char *parse_columns(std::string_view line, const protocol_layout_t *layout, bool packet_columns, bool ipv6,
                          bool squeezed, parsed_row &row)
{
    uint32_t protocol = layout->protocol;
    size_t pos = 0;
    // Each column in turn, into the row's own fields (no array to clear first).
    auto next = [&](common_column column) { return next_value(line, pos, COMMON[column].width, squeezed); };
    std::string_view time = next(TIME), cpu = next(CPU), packet, netns;
    if (packet_columns)
        packet = next_value(line, pos, PACKET_COLUMN.width, squeezed);
    row.function = next(TRACE_INFO);
    row.device = next(INTERFACE);
    if (packet_columns)
        netns = next_value(line, pos, NETNS_COLUMN.width, squeezed);
    row.smac = next(SMAC);
    row.dmac = next(DMAC);
    row.sip = next_value(line, pos, ipv6 ? IPV6_ADDRESS[0].width : COMMON[SIP].width, squeezed);
    row.dip = next_value(line, pos, ipv6 ? IPV6_ADDRESS[1].width : COMMON[DIP].width, squeezed);
    if (!parse_number(time, row.time))
        return COMMON[TIME].label;
    if (!parse_number(cpu, row.cpu))
        return COMMON[CPU].label;
    row.packet = row.netns = 0;
    if (packet_columns && !parse_packet_column(packet, false, row.packet))
        return PACKET_COLUMN.label;
    if (packet_columns && !parse_packet_column(netns, true, row.netns))
        return NETNS_COLUMN.label;
    if (row.function.empty())
        return COMMON[TRACE_INFO].label;
    row.ipv6 = ipv6;
    if (ipv6 ? !parse_ipv6(row.sip, row.saddr6) : !parse_ipv4(row.sip, row.saddr))
        return ipv6 ? IPV6_ADDRESS[0].label : COMMON[SIP].label;
    if (ipv6 ? !parse_ipv6(row.dip, row.daddr6) : !parse_ipv4(row.dip, row.daddr))
        return ipv6 ? IPV6_ADDRESS[1].label : COMMON[DIP].label;
    for (size_t i = 0; i < 4; i++) {
        row.fields[i] = 0;
        if (i >= layout->count)
            continue;
        std::string_view value = next_value(line, pos, layout->columns[i].width, squeezed);
        // SEQ and ACK_SEQ are 32-bit; every other protocol column is 16-bit.
        bool wide = protocol == PROTO_TCP && (i == TCP_SEQ || i == TCP_ACK_SEQ);
        uint16_t narrow;
        if (wide ? !parse_number(value, row.fields[i]) : !parse_number(value, narrow))
            return layout->columns[i].label;
        if (!wide)
            row.fields[i] = narrow;
    }
    row.other_info = pos < line.size() ? trim(line.substr(pos)) : std::string_view();
    return nullptr;
}

} // namespace

const char *parse_row(std::string_view line, uint32_t protocol, parsed_row &row)
{
    const protocol_layout_t *layout = protocol_layout(protocol & PROTOCOL_MASK);
    if (!layout)
        return "protocol";
    bool packet_columns = protocol & PACKET_COLUMNS, ipv6 = protocol & IPV6_ADDRESSES;
    if (parse_columns_fast(line, layout, packet_columns, ipv6, row))
        return nullptr;
    const char *bad = parse_columns(line, layout, packet_columns, ipv6, false, row);
    // Where the monitor's columns do not fit, the row may have been squeezed.
    if (bad && !parse_columns(line, layout, packet_columns, ipv6, true, row))
        return nullptr;
    return bad;
}

namespace {

// A word the monitor writes whole ("fwd:off"), taken where the text starts with it.
template <size_t N> bool take_mark(std::string_view &text, const char (&mark)[N])
{
    if (!starts_with(text, mark) || (text.size() != N - 1 && text[N - 1] != ' '))
        return false;
    take_word(text, 0);
    return true;
}

} // namespace

other_info_fields split_other_info(std::string_view text)
{
    other_info_fields out;
    text = trim(text);
    if (starts_with(text, VERDICT_PREFIX)) {
        out.verdict = take_word(text, sizeof(VERDICT_PREFIX) - 1);
        if (starts_with(text, QUEUE_PREFIX))
            out.queue = take_word(text, sizeof(QUEUE_PREFIX) - 1);
    } else if (starts_with(text, HOOK_PREFIX)) {
        out.hook = take_word(text, sizeof(HOOK_PREFIX) - 1);
        if (starts_with(text, TABLE_PREFIX)) {
            out.table = take_word(text, sizeof(TABLE_PREFIX) - 1);
            // An nft table is told with its family first ("inet fw"), as nft names it.
            if (!text.empty() && !starts_with(text, CHAIN_PREFIX) && !starts_with(text, FRAGMENT_PREFIX)) {
                std::string_view name = take_word(text, 0);
                out.table = std::string_view(out.table.data(), size_t(name.data() + name.size() - out.table.data()));
            }
        }
        if (starts_with(text, CHAIN_PREFIX))
            out.chain = take_word(text, sizeof(CHAIN_PREFIX) - 1);
    } else if (starts_with(text, SOCK_PREFIX)) {
        out.sock = take_word(text, sizeof(SOCK_PREFIX) - 1);
        out.accept_queue_full = take_mark(text, ACCEPT_QUEUE_FULL);
    } else if (take_mark(text, GRO_MERGED)) {
        out.gro_merged = true;
        if (starts_with(text, MERGED_INTO_PREFIX))
            out.merged_into = take_word(text, sizeof(MERGED_INTO_PREFIX) - 1);
    } else if (starts_with(text, REASON_PREFIX)) {
        out.reason = take_word(text, sizeof(REASON_PREFIX) - 1);
        if (starts_with(text, LOCATION_PREFIX))
            out.location = take_word(text, sizeof(LOCATION_PREFIX) - 1);
    }
    // A drop row's or a raw socket's copy's buffer, by its number in the trace.
    if (starts_with(text, BUFFER_PREFIX)) {
        out.buffer = take_word(text, sizeof(BUFFER_PREFIX) - 1);
        out.forwarding_off = take_mark(text, FORWARDING_OFF);
        out.sole = take_mark(text, SOLE_BUFFER);
    }
    out.unknown = text;
    return out;
}

namespace {

bool lower_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// "\xNN" at text[i], as escape_text writes it.
bool escaped_at(std::string_view text, size_t i)
{
    return text.size() - i >= ESCAPED_BYTE_LEN && text[i] == '\\' && text[i + 1] == 'x' && lower_hex(text[i + 2]) &&
           lower_hex(text[i + 3]);
}

} // namespace

std::string shown_text(std::string_view text, bool keep_blanks)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        if (keep_blanks && text[i] == ' ') {
            out += ' ';
            continue;
        }
        if (escaped_at(text, i)) {
            out.append(text.substr(i, ESCAPED_BYTE_LEN));
            i += ESCAPED_BYTE_LEN - 1;
            continue;
        }
        char escaped[ESCAPED_BYTE_LEN];
        out.append(escaped, escape_text(escaped, text.data() + i, 1));
    }
    return out;
}
