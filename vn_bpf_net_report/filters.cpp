#include "filters.h"

#include <charconv>
#include <cstring>
#include <stdexcept>

#include "trace_rows.h"
#include "vn_bpf_net_monitor.h"

bool journey_matches(const report_state &state, const journey &j, const journey_filter &filter)
{
    return journey_matches(state, j, filter, j.start());
}

bool journey_matches(const report_state &state, const journey &j, const journey_filter &filter, int64_t start)
{
    // Any addresses the packet had, before or after a rewrite.
    const trace_row &row = j.rows.front();
    auto is_host = [&](uint32_t addr) {
        return row.ipv6 == filter.host.ipv6 &&
               (row.ipv6 ? memcmp(state.names.text(addr).data(), filter.host.v6, sizeof(filter.host.v6)) == 0
                         : addr == filter.host.v4);
    };
    auto host_in = [&](uint32_t saddr, uint32_t daddr) { return filter.by_host && (is_host(saddr) || is_host(daddr)); };
    auto port_in = [&](uint32_t sport, uint32_t dport) { return sport == filter.port || dport == filter.port; };
    bool host = host_in(row.saddr, row.daddr), port = port_in(row.fields[0], row.fields[1]);
    for (const rewrite &r : j.rewrites)
        host = host || host_in(r.to.saddr, r.to.daddr), port = port || port_in(r.to.sport, r.to.dport);
    if (filter.by_host && !host)
        return false;
    if (filter.by_port && (is_icmp(state.sources[j.source].protocol) || !port))
        return false;
    if (filter.dropped_only && !j.end.is_drop())
        return false;
    // Either clock: the text shows a joined host's starts in the first
    // host's, JSON and the rows in its own.
    if (filter.by_start && start != filter.start_ns && j.start() != filter.start_ns)
        return false;
    return filter.slower_than_ns < 0 || j.duration_ns() > filter.slower_than_ns;
}

bool frames_match(const report_state &state, const journey &frames, const journey_filter &filter)
{
    journey_filter flow_only = filter;
    flow_only.dropped_only = false, flow_only.slower_than_ns = -1;
    return !filter.dropped_only && filter.slower_than_ns < 0 && !filter.by_start &&
           journey_matches(state, frames, flow_only);
}

// --flow: HOST, HOST:PORT or :PORT; an IPv6 HOST alone, or in brackets
// before a port ([2001:db8::1]:80).
void parse_flow(const std::string &text, journey_filter &filter)
{
    std::string_view whole = text, host;
    size_t colon;
    if (!whole.empty() && whole[0] == '[') {
        size_t close = whole.find(']');
        if (close == std::string_view::npos || (close + 1 < whole.size() && whole[close + 1] != ':'))
            throw std::invalid_argument("an IPv6 host in brackets is [ADDRESS] or [ADDRESS]:PORT: " + shown_text(text));
        host = whole.substr(1, close - 1);
        colon = close + 1 < whole.size() ? close + 1 : std::string::npos;
        if (!parse_ipv6(host, filter.host.v6))
            throw std::invalid_argument("not an IPv6 address in brackets: " + shown_text(text));
        filter.host.ipv6 = filter.by_host = true;
    } else {
        // Two colons or more: an IPv6 address, with no port.
        colon = whole.find(':');
        if (colon != std::string::npos && whole.find(':', colon + 1) != std::string_view::npos)
            colon = std::string::npos;
        host = whole.substr(0, colon);
    }
    if (!host.empty() && !filter.by_host) {
        if (!parse_address(host, filter.host)) {
            // A number alone is most likely a port.
            bool digits = colon == std::string::npos && host.find_first_not_of("0123456789") == std::string_view::npos;
            throw std::invalid_argument("the host must be an IPv4 or IPv6 address: " + shown_text(text) +
                                        (digits ? " (a port alone is :" + shown_text(text) + ")" : ""));
        }
        filter.by_host = true;
    }
    if (colon != std::string::npos) {
        std::string_view port = std::string_view(text).substr(colon + 1);
        auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), filter.port);
        if (ec != std::errc() || end != port.data() + port.size() || filter.port == 0)
            throw std::invalid_argument("the port must be 1 to 65535: " + shown_text(text));
        filter.by_port = true;
    }
    if (!filter.by_host && !filter.by_port)
        throw std::invalid_argument("give HOST, HOST:PORT or :PORT");
}

// --slower-than: a decimal number and a unit (ns, us, ms or s; none is
// microseconds), 0 up to what nanoseconds in int64_t hold, read exactly:
// digits past the nanosecond are dropped (a journey's time is a whole
// number of nanoseconds, so "longer than" is the same with and without
// them).
void parse_slower_than(const std::string &text, journey_filter &filter)
{
    std::invalid_argument refusal("a time: a number and ns, us, ms or s (microseconds without a unit), at most "
                                  "9223372036854775807ns: " + shown_text(text));
    static const std::pair<std::string_view, uint64_t> units[] = {
        {"ns", 1}, {"us", 1000}, {"ms", 1000 * 1000}, {"s", 1000 * 1000 * 1000}};
    std::string_view number = text;
    uint64_t scale = 1000; // ns per unit
    for (const auto &[unit, ns] : units)
        if (number.size() > unit.size() && number.substr(number.size() - unit.size()) == unit) {
            number.remove_suffix(unit.size()), scale = ns;
            break;
        }
    size_t digits = 0; // of the fraction, down to the nanosecond
    for (uint64_t s = scale; s > 1; s /= 10)
        digits++;
    size_t point = number.find('.');
    std::string_view whole = number.substr(0, point), fraction;
    if (point != std::string_view::npos)
        fraction = number.substr(point + 1);
    if ((whole.empty() && fraction.empty()) || whole.find_first_not_of("0123456789") != std::string_view::npos ||
        fraction.find_first_not_of("0123456789") != std::string_view::npos)
        throw refusal;
    uint64_t units_given = 0, ns = 0;
    if (!whole.empty()) {
        auto [end, ec] = std::from_chars(whole.data(), whole.data() + whole.size(), units_given);
        if (ec != std::errc() || end != whole.data() + whole.size())
            throw refusal;
    }
    for (size_t i = 0; i < digits; i++)
        ns = ns * 10 + (i < fraction.size() ? uint64_t(fraction[i] - '0') : 0);
    if (units_given > (uint64_t(INT64_MAX) - ns) / scale)
        throw refusal;
    filter.slower_than_ns = int64_t(units_given * scale + ns);
}
