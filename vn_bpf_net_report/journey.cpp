#include "journey.h"

#include <charconv>
#include <cstring>

#include "trace_rows.h"
#include "vn_bpf_net_monitor.h"

uint64_t fold(uint64_t h, uint64_t v)
{
    h = (h ^ v) * 0x9e3779b97f4a7c15ull;
    return h ^ h >> 29;
}

bool flow_key::operator==(const flow_key &other) const
{
    return source == other.source && saddr == other.saddr && daddr == other.daddr &&
           memcmp(fields, other.fields, sizeof(fields)) == 0;
}

size_t flow_key_hash::operator()(const flow_key &key) const
{
    uint64_t h = fold(key.source, uint64_t(key.saddr) << 32 | key.daddr);
    h = fold(h, uint64_t(key.fields[0]) << 32 | key.fields[1]);
    return size_t(fold(h, uint64_t(key.fields[2]) << 32 | key.fields[3]));
}

flow_key key_of(uint32_t source, uint32_t protocol, const trace_row &row)
{
    flow_key key{source, row.saddr, row.daddr, {row.fields[0], row.fields[1], row.fields[2], row.fields[3]}};
    if (is_icmp(protocol))
        key.fields[1] = 0; // ICMP: type, id and sequence; the code may differ
    return key;
}

endpoints endpoints_of(uint32_t protocol, const trace_row &row)
{
    if (is_icmp(protocol))
        return {row.saddr, row.daddr, row.fields[2], 0, row.ipv6};
    return {row.saddr, row.daddr, row.fields[0], row.fields[1], row.ipv6};
}

ip_address address_of(const name_table &names, bool ipv6, uint32_t address)
{
    ip_address a;
    a.ipv6 = ipv6;
    if (!ipv6) {
        a.v4 = address;
        return a;
    }
    std::string_view bytes = names.text(address);
    if (bytes.size() == sizeof(a.v6))
        memcpy(a.v6, bytes.data(), sizeof(a.v6));
    return a;
}

int64_t elapsed_ns(int64_t from, int64_t to)
{
    if (to <= from)
        return 0;
    uint64_t ns = uint64_t(to) - uint64_t(from);
    return ns > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(ns);
}

size_t step_hash::operator()(const step &s) const
{
    return size_t(fold(uint64_t(s.function) << 32 | s.hook, s.host));
}

uint32_t step_table::id(const step &s)
{
    auto [at, made] = ids.try_emplace(s, uint32_t(steps.size()));
    if (made)
        steps.push_back(s);
    return at->second;
}

size_t ending_hash::operator()(const ending &e) const
{
    uint64_t h = fold(uint64_t(e.kind), uint64_t(e.function) << 32 | e.reason);
    h = fold(h, uint64_t(e.table) << 32 | e.chain);
    h = fold(h, uint64_t(e.queue));
    return size_t(fold(h, (uint64_t(e.hook) << 32 | e.from_host) ^ uint64_t(e.to_host) << 16));
}

ending_class ending::what() const
{
    switch (kind) {
    case ending_kind::ended:
    case ending_kind::raw_delivered:
    case ending_kind::freed_unread:
    case ending_kind::discarded:
    case ending_kind::time_wait:
    case ending_kind::copy_dropped:
    case ending_kind::merged_by_gro:
    case ending_kind::handshake:
        return ending_class::delivered;
    case ending_kind::dropped:
    case ending_kind::dropped_by_table:
    case ending_kind::dropped_by_hook:
    case ending_kind::forwarding_off:
    case ending_kind::no_group_socket:
    case ending_kind::accept_queue_full:
        return ending_class::dropped;
    case ending_kind::unknown:
    case ending_kind::never_arrived:
    case ending_kind::samples_lost:
    case ending_kind::last_seen:
    case ending_kind::no_ping_socket:
        break;
    }
    return ending_class::not_seen;
}

const char *class_name(ending_class c)
{
    return c == ending_class::delivered ? "delivered" : c == ending_class::dropped ? "dropped" : "not_seen";
}

const char *class_label(ending_class c)
{
    return c == ending_class::not_seen ? "not seen" : class_name(c);
}

ending as_told(const ending &e)
{
    ending told;
    told.kind = e.kind;
    switch (e.kind) {
    case ending_kind::ended:
    case ending_kind::last_seen:
    case ending_kind::dropped_by_hook:
    case ending_kind::no_group_socket:
    case ending_kind::accept_queue_full:
    case ending_kind::merged_by_gro:
        told.function = e.function;
        break;
    case ending_kind::dropped:
    case ending_kind::forwarding_off:
        told.function = e.function, told.reason = e.reason, told.queue = e.queue;
        break;
    case ending_kind::discarded:
    case ending_kind::copy_dropped:
        told.reason = e.reason;
        break;
    case ending_kind::raw_delivered:
    case ending_kind::freed_unread:
    case ending_kind::time_wait:
    case ending_kind::handshake:
    case ending_kind::samples_lost:
    case ending_kind::no_ping_socket:
        break;
    case ending_kind::dropped_by_table:
        told.table = e.table, told.chain = e.chain, told.hook = e.hook;
        break;
    case ending_kind::never_arrived:
        told.from_host = e.from_host, told.to_host = e.to_host;
        break;
    case ending_kind::unknown:
        break;
    }
    return told;
}

const char *icmp6_type_name(uint32_t type, uint32_t code)
{
    switch (type) {
    case 1:
        switch (code) {
        case 0:
            return "no route";
        case 1:
            return "administratively prohibited";
        case 3:
            return "address unreachable";
        case 4:
            return "port unreachable";
        }
        return "destination unreachable";
    case 2:
        return "packet too big";
    case 3:
        return "time exceeded";
    case 4:
        return "parameter problem";
    case 128:
        return "echo request";
    case 129:
        return "echo reply";
    case 133:
        return "router solicitation";
    case 134:
        return "router advertisement";
    case 135:
        return "neighbor solicitation";
    case 136:
        return "neighbor advertisement";
    case 137:
        return "redirect";
    }
    return nullptr;
}

bool is_neighbor_discovery(uint32_t protocol, const trace_row &row)
{
    return protocol == PROTO_ICMPV6 && row.fields[0] >= 133 && row.fields[0] <= 137;
}

std::string flow_text(const name_table &names, uint32_t protocol, const trace_row &row)
{
    // Made in one piece of room: every journey line and object has one.
    std::string text;
    text.reserve(row.ipv6 ? 136 : 88); // the longest: two addresses and four numbers of ten digits
    auto put = [&](std::string_view piece) { text += piece; };
    auto number = [&](uint32_t value) {
        char digits[10];
        text.append(digits, size_t(std::to_chars(digits, digits + sizeof(digits), value).ptr - digits));
    };
    auto address = [&](uint32_t addr) {
        char shown[trace_layout::IPV6_TEXT_MAX];
        text.append(shown, size_t(write_address(shown, address_of(names, row.ipv6, addr)) - shown));
    };
    const uint32_t *f = row.fields;
    address(row.saddr);
    if (is_icmp(protocol)) {
        put(" > "), address(row.daddr);
        put(" type "), number(f[0]);
        if (const char *name = protocol == PROTO_ICMPV6 ? icmp6_type_name(f[0], f[1]) : nullptr)
            put(" ("), put(name), put(")");
        put(" id "), number(f[2]), put(" seq "), number(f[3]);
    } else {
        // An IPv6 address before a port is in brackets, as RFC 5952 writes
        // it: its colons are the address's.
        if (row.ipv6)
            text.insert(0, 1, '[');
        const char *close = row.ipv6 ? "]:" : ":";
        put(close), number(f[0]), put(row.ipv6 ? " > [" : " > "), address(row.daddr), put(close), number(f[1]);
        if (protocol == PROTO_TCP)
            put(" seq "), number(f[2]), put(" ack "), number(f[3]);
        else
            put(" len "), number(f[2]);
    }
    return text;
}

void find_rewrites(uint32_t protocol, journey &j)
{
    j.rewrites.clear();
    endpoints last = endpoints_of(protocol, j.rows.front());
    for (size_t i = 1; i < j.rows.size(); i++) {
        endpoints now = endpoints_of(protocol, j.rows[i]);
        // A row with no transport header seen (a later fragment, a header
        // ip_rcv refuses) shows its ports as 0: no rewrite of them.
        if (!is_icmp(protocol) && now.sport == 0 && now.dport == 0 && (last.sport || last.dport))
            now.sport = last.sport, now.dport = last.dport;
        if (now == last)
            continue;
        j.rewrites.push_back({uint32_t(i), last, now});
        last = now;
    }
}

const char *rewrite_kind(const rewrite &r)
{
    bool source = r.source_changed(), destination = r.destination_changed();
    return source && !destination ? "snat" : destination && !source ? "dnat" : "nat";
}

std::string endpoints_text(const name_table &names, uint32_t protocol, const endpoints &e)
{
    std::string text;
    char shown[trace_layout::IPV6_TEXT_MAX];
    auto address = [&](uint32_t addr) {
        text.append(shown, size_t(write_address(shown, address_of(names, e.ipv6, addr)) - shown));
    };
    address(e.saddr);
    if (is_icmp(protocol)) {
        text += '>', address(e.daddr);
        return text + " id " + std::to_string(e.sport);
    }
    const char *open = e.ipv6 ? "[" : "", *close = e.ipv6 ? "]:" : ":";
    text = open + text + close + std::to_string(e.sport) + '>' + open;
    address(e.daddr);
    return text + close + std::to_string(e.dport);
}

std::string rewrite_text(const name_table &names, uint32_t protocol, const rewrite &r)
{
    return std::string("[") + rewrite_kind(r) + " " + endpoints_text(names, protocol, r.from) + " => " +
           endpoints_text(names, protocol, r.to) + "]";
}
