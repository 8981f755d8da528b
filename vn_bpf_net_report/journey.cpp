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
    if (protocol == PROTO_ICMP)
        key.fields[1] = 0; // ICMP: type, id and sequence; the code may differ
    return key;
}

endpoints endpoints_of(uint32_t protocol, const trace_row &row)
{
    if (protocol == PROTO_ICMP)
        return {row.saddr, row.daddr, row.fields[2], 0};
    return {row.saddr, row.daddr, row.fields[0], row.fields[1]};
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
        return ending_class::delivered;
    case ending_kind::dropped:
    case ending_kind::dropped_by_table:
    case ending_kind::dropped_by_hook:
    case ending_kind::forwarding_off:
        return ending_class::dropped;
    case ending_kind::unknown:
    case ending_kind::never_arrived:
    case ending_kind::samples_lost:
    case ending_kind::last_seen:
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
        told.function = e.function;
        break;
    case ending_kind::dropped:
    case ending_kind::forwarding_off:
        told.function = e.function, told.reason = e.reason;
        break;
    case ending_kind::discarded:
    case ending_kind::copy_dropped:
        told.reason = e.reason;
        break;
    case ending_kind::raw_delivered:
    case ending_kind::freed_unread:
    case ending_kind::time_wait:
    case ending_kind::samples_lost:
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

std::string flow_text(uint32_t protocol, const trace_row &row)
{
    // Made in one piece of room: every journey line and object has one.
    std::string text;
    text.reserve(88); // the longest: two addresses and four numbers of ten digits
    auto put = [&](std::string_view piece) { text += piece; };
    auto number = [&](uint32_t value) {
        char digits[10];
        text.append(digits, size_t(std::to_chars(digits, digits + sizeof(digits), value).ptr - digits));
    };
    auto address = [&](uint32_t addr) {
        char dotted[15];
        text.append(dotted, size_t(write_ipv4(dotted, addr) - dotted));
    };
    const uint32_t *f = row.fields;
    address(row.saddr);
    if (protocol == PROTO_ICMP) {
        put(" > "), address(row.daddr);
        put(" type "), number(f[0]), put(" id "), number(f[2]), put(" seq "), number(f[3]);
    } else {
        put(":"), number(f[0]), put(" > "), address(row.daddr), put(":"), number(f[1]);
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
        if (protocol != PROTO_ICMP && now.sport == 0 && now.dport == 0 && (last.sport || last.dport))
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

std::string endpoints_text(uint32_t protocol, const endpoints &e)
{
    std::string text;
    char dotted[15];
    auto address = [&](uint32_t addr) { text.append(dotted, size_t(write_ipv4(dotted, addr) - dotted)); };
    address(e.saddr);
    if (protocol == PROTO_ICMP) {
        text += '>', address(e.daddr);
        return text + " id " + std::to_string(e.sport);
    }
    text += ':' + std::to_string(e.sport) + '>';
    address(e.daddr);
    return text + ':' + std::to_string(e.dport);
}

std::string rewrite_text(uint32_t protocol, const rewrite &r)
{
    return std::string("[") + rewrite_kind(r) + " " + endpoints_text(protocol, r.from) + " => " +
           endpoints_text(protocol, r.to) + "]";
}
