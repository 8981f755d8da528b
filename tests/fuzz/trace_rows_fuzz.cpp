// libFuzzer harness for the reader, from the row parser to every output.
//
// The first line alone, as a row of the chosen protocol and as a header: a
// row that parses must hold together: its texts lie inside the line and
// have no blank, its numbers fit their columns, and rendering its texts and
// numbers back in the layout's columns and reading that again gives the
// same row. OTHER_INFO is split too.
//
// The whole input, after a header of the chosen protocol, as a trace read
// line by line into journeys, twice: once with every row placed by looking
// at each open path of its key and once through the piles of open paths;
// both must make the same journeys. Every row read is in exactly one
// journey or frame; a journey's rows are in time order, never more than
// JOURNEY_ROWS_MAX, none more than half a second after the one before, and
// its duration is never negative. Then the text report, JSON Lines and the
// HTML page are written in memory: the text and the page hold no control
// byte (but line feeds) and no byte past ASCII, every JSON line parses, and
// no trace text opens an HTML element.
//
// Read a third time as a stream: after every row each key's paths done by
// that row's time become journeys. Where no row comes more than
// ROWS_LATE_NS behind one before it, the journeys are those of the whole
// (but where packet numbers hold rows together across any gap).
//
// The input's first trace and the traces after it (a header further down
// starts one) are then read as two hosts and joined: every clock's bound
// and every wire time is >= 0, a joined journey is in time order in the
// sender's clock, and its text, JSON and page hold as above.
//
// Input: byte 0 chooses the protocol (low two bits: ICMP, TCP, UDP, or an
// unknown number); bit 2 splits each key's group after every row keeping
// its last journey, as --follow does with a busy key; bit 3 makes it an
// IPv6 trace (SIP6 and DIP6, ICMP's columns ICMPv6's). The rest is the text.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "grouping.h"
#include "host_join.h"
#include "path_order.h"
#include "report_writer.h"
#include "report_schema.h"
#include "trace_layout.h"
#include "trace_rows.h"

namespace {

bool inside(std::string_view part, const std::string &line)
{
    return part.empty() || (part.data() >= line.data() && part.data() + part.size() <= line.data() + line.size());
}

void put(std::string &out, std::string_view value, size_t width)
{
    out.append(value);
    if (value.size() < width)
        out.append(width - value.size(), ' ');
    out += ' ';
}

// The row written back in the layout, as the monitor would.
std::string rendered(const parsed_row &row, const trace_layout::protocol_layout_t &layout)
{
    using namespace trace_layout;
    std::string out;
    std::string time = std::to_string(row.time), cpu = std::to_string(row.cpu);
    std::string_view common[COMMON_COUNT] = {time, cpu, row.function, row.device, row.smac, row.dmac, row.sip, row.dip};
    for (size_t i = 0; i < COMMON_COUNT; i++)
        put(out, common[i], row.ipv6 && i >= SIP ? IPV6_ADDRESS[i - SIP].width : COMMON[i].width);
    for (size_t i = 0; i < layout.count; i++)
        put(out, std::to_string(row.fields[i]), layout.columns[i].width);
    return out + std::string(row.other_info);
}

// The header line the monitor writes for a protocol.
std::string header_of(uint32_t protocol, bool ipv6)
{
    using namespace trace_layout;
    std::string out;
    for (size_t i = 0; i < COMMON_COUNT; i++)
        put(out, ipv6 && i >= SIP ? IPV6_ADDRESS[i - SIP].label : COMMON[i].label,
            ipv6 && i >= SIP ? IPV6_ADDRESS[i - SIP].width : COMMON[i].width);
    const protocol_layout_t *layout = protocol_layout(protocol);
    for (size_t i = 0; layout && i < layout->count; i++)
        put(out, layout->columns[i].label, layout->columns[i].width);
    return out + OTHER_INFO_LABEL;
}

void check_row(uint32_t protocol, const std::string &line)
{
    uint32_t header = header_protocol(line);
    uint32_t announced = header & PROTOCOL_MASK; // -N's columns and the family are told beside the protocol
    CHECK(announced == 0 || announced == 1 || announced == 6 || announced == 17 || announced == 58, line);
    // ICMP's columns are ICMPv6's under IPv6's addresses, and only there.
    CHECK(announced != 58 || (header & IPV6_ADDRESSES), line);
    CHECK(announced != 1 || !(header & IPV6_ADDRESSES), line);
    CHECK(announced != 0 || header == 0, line);

    parsed_row row;
    const char *bad = parse_row(line, protocol, row);
    if (bad) {
        CHECK(strlen(bad) > 0, line);
        return;
    }
    const trace_layout::protocol_layout_t *layout = trace_layout::protocol_layout(protocol & PROTOCOL_MASK);
    CHECK(layout, line);
    CHECK(row.ipv6 == bool(protocol & IPV6_ADDRESSES), line);
    for (std::string_view text : {row.function, row.device, row.smac, row.dmac, row.sip, row.dip}) {
        CHECK(inside(text, line), line);
        CHECK(text.find(' ') == std::string_view::npos, line);
    }
    CHECK(!row.function.empty(), line);
    CHECK(inside(row.other_info, line), line);
    for (size_t i = 0; i < 4; i++) {
        bool wide = (protocol & PROTOCOL_MASK) == 6 && (i == trace_layout::TCP_SEQ || i == trace_layout::TCP_ACK_SEQ);
        CHECK(i < layout->count || row.fields[i] == 0, line);
        CHECK(wide || row.fields[i] <= 65535, line);
    }

    std::string again = rendered(row, *layout);
    parsed_row back;
    CHECK(parse_row(again, protocol, back) == nullptr, again);
    CHECK(back.time == row.time && back.cpu == row.cpu && back.function == row.function &&
              back.device == row.device && back.smac == row.smac && back.dmac == row.dmac &&
              (row.ipv6 ? memcmp(back.saddr6, row.saddr6, 16) == 0 && memcmp(back.daddr6, row.daddr6, 16) == 0
                        : back.saddr == row.saddr && back.daddr == row.daddr) &&
              memcmp(back.fields, row.fields, sizeof(row.fields)) == 0 && back.other_info == row.other_info,
          again);

    other_info_fields parts = split_other_info(row.other_info);
    for (std::string_view part : {parts.verdict, parts.hook, parts.table, parts.chain, parts.sock, parts.reason,
                                  parts.location, parts.unknown})
        CHECK(inside(part, line), line);
}

// A trace read into journeys, as the reader does.
struct reading {
    report_state state;
    std::vector<journey> journeys, repeated;
    bool rows_in_time = true; // no row more than ROWS_LATE_NS behind one before it
    // Rows of a trace with -N's columns: a packet's number holds its rows
    // together across any gap, which a stream cannot wait for.
    bool packet_numbers = false;
};

void read_trace(reading &r, const std::string &text, bool split_each_row, bool streamed = false)
{
    int64_t latest = INT64_MIN;
    r.state.sources.push_back({"fuzz input", 0, {}, 0});
    uint32_t source = 0;
    uint64_t line_no = 0;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const char *bad = nullptr;
        line_kind kind = read_line(r.state, source, ++line_no, {text.data() + start, end - start}, 0, &bad);
        CHECK(kind != line_kind::unreadable || (bad && *bad), text);
        if (kind == line_kind::no_header)
            return;
        if (kind == line_kind::row && split_each_row)
            split_group(r.state, r.state.last_key, *r.state.last_group, true, r.journeys, r.repeated);
        if (kind == line_kind::row) {
            r.packet_numbers = r.packet_numbers || r.state.sources[source].packet_columns;
            r.rows_in_time = r.rows_in_time && elapsed_ns(r.state.last_row_time, latest) <= ROWS_LATE_NS;
            latest = std::max(latest, r.state.last_row_time);
        }
        if (kind == line_kind::row && streamed)
            for (auto &[key, group] : r.state.groups)
                split_done_paths(r.state, key, group, r.state.last_row_time, r.journeys, r.repeated);
        start = end + 1;
    }
    for (auto &[key, group] : r.state.groups)
        split_group(r.state, key, group, false, r.journeys, r.repeated);
    auto order = [](const journey &a, const journey &b) { return a.rows.front().line < b.rows.front().line; };
    std::sort(r.journeys.begin(), r.journeys.end(), order);
    std::sort(r.repeated.begin(), r.repeated.end(), order);
}

std::vector<std::vector<uint32_t>> lines_of(const std::vector<journey> &journeys)
{
    std::vector<std::vector<uint32_t>> out;
    for (const journey &j : journeys) {
        out.emplace_back();
        for (const trace_row &row : j.rows)
            out.back().push_back(row.line);
    }
    return out;
}

// Only printable ASCII and line feeds.
bool printable(const std::string &text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c == '\n' || (c >= ' ' && c <= '~'); });
}

void check_journeys(reading &r, const std::string &text)
{
    uint64_t rows = 0;
    for (const std::vector<journey> *list : {&r.journeys, &r.repeated})
        for (const journey &j : *list) {
            CHECK(!j.rows.empty(), text);
            CHECK(j.rows.size() <= JOURNEY_ROWS_MAX, text);
            CHECK(j.duration_ns() >= 0, text);
            for (size_t i = 1; i < j.rows.size(); i++) {
                CHECK(j.rows[i - 1].time <= j.rows[i].time, text);
                // Half a second at most between two rows, ten after a place
                // where the kernel holds a packet for its neighbour.
                int64_t gap = place_of(r.state, j.rows[i - 1].function).waits
                                  ? int64_t(trace_layout::WAITING_MAX_NS)
                                  : int64_t(500) * 1000 * 1000;
                CHECK(r.state.sources[j.source].packet_columns || elapsed_ns(j.rows[i - 1].time, j.rows[i].time) <= gap,
                      text);
            }
            rows += j.rows.size();
        }
    CHECK(rows == r.state.rows_read, text);
}

void check_outputs(reading &r)
{
    std::sort(r.journeys.begin(), r.journeys.end(),
              [](const journey &a, const journey &b) { return a.start() < b.start(); });
    report_totals totals;
    std::string report, json, page;
    const std::vector<std::string> no_hosts;
    std::unique_ptr<report_writer> writers[] = {text_writer(report, r.state, no_hosts),
                                                json_writer(json, r.state, no_hosts),
                                                page_writer(page, r.state, no_hosts)};
    for (auto &w : writers)
        w->header(nullptr);
    for (const journey &j : r.journeys) {
        count_journey(totals, j);
        for (auto &w : writers)
            w->journey(j);
    }
    for (const journey &j : r.repeated)
        for (auto &w : writers)
            w->frames(j);
    for (auto &w : writers)
        w->summary(totals);
    CHECK(printable(report), report);

    std::vector<nlohmann::json> lines;
    for (size_t start = 0; start < json.size();) {
        size_t end = json.find('\n', start);
        CHECK(end != std::string::npos, json);
        std::string line = json.substr(start, end - start);
        CHECK(nlohmann::json::accept(line), line);
        lines.push_back(nlohmann::json::parse(line));
        CHECK(!lines.back().contains("duration_ns") || lines.back()["duration_ns"].get<int64_t>() >= 0, line);
        start = end + 1;
    }
    CHECK(stream_error(lines).empty(), stream_error(lines));

    // Every element on the page is one the page itself writes: no trace text opens one.
    CHECK(printable(page), page);
    static const std::vector<std::string> elements = {"!DOCTYPE", "html", "head", "meta",   "title",    "style",
                                                      "body",     "h1",   "h2",   "h3",     "p",        "svg",
                                                      "text",     "g",    "rect", "line",   "circle",   "polyline",
                                                      "span",     "i",    "b",    "div",    "table",    "tr",
                                                      "th",       "td"};
    for (size_t at = page.find('<'); at != std::string::npos; at = page.find('<', at + 1)) {
        size_t name = at + 1 + (page[at + 1] == '/');
        size_t end = page.find_first_of(" >/\n", name);
        CHECK(end != std::string::npos, page);
        CHECK(std::find(elements.begin(), elements.end(), page.substr(name, end - name)) != elements.end(),
              page.substr(at, 80));
    }
}

void check_join(reading &r)
{
    host_join join;
    join.hosts = {"a", "b"};
    for (size_t source = 0; source < r.state.sources.size(); source++)
        join.host_of_source.push_back(source == 0 ? 0 : 1);
    join_hosts(r.state, join, r.journeys);
    std::string text, detail, json, page;
    report_totals totals;
    std::unique_ptr<report_writer> writers[] = {
        text_writer(text, r.state, join.hosts), detail_writer(detail, r.state, join.hosts),
        json_writer(json, r.state, join.hosts), page_writer(page, r.state, join.hosts)};
    for (auto &w : writers)
        w->header(&join);
    for (const host_clock &c : join.clocks)
        CHECK(c.error_ns >= 0 && c.matched > 0, text);
    for (const joined_journey &jj : join.joined) {
        CHECK(jj.wire_ns >= 0 && jj.wire_error_ns >= 0 && jj.from != jj.to, text);
        CHECK(jj.whole.rows.size() == jj.whole.steps.size(), text);
        for (size_t i = 1; i < jj.whole.rows.size(); i++)
            CHECK(jj.whole.rows[i - 1].time <= jj.whole.rows[i].time, text);
        count_joined(totals, jj);
        for (auto &w : writers)
            w->joined(jj);
    }
    for (auto &w : writers)
        w->summary(totals);
    text += detail;
    CHECK(printable(text), text);
    std::vector<nlohmann::json> lines;
    for (size_t start = 0, end; (end = json.find('\n', start)) != std::string::npos; start = end + 1) {
        CHECK(nlohmann::json::accept(json.substr(start, end - start)), json);
        lines.push_back(nlohmann::json::parse(json.substr(start, end - start)));
    }
    CHECK(stream_error(lines).empty(), stream_error(lines));
    CHECK(printable(page) && page.find("<script") == std::string::npos, page);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static const uint32_t protocols[] = {1, 6, 17, 0};
    uint32_t protocol = protocols[data[0] & 3];
    bool split_each_row = data[0] & 4, ipv6 = data[0] & 8;
    if (ipv6 && protocol == 1)
        protocol = 58;
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    check_row(protocol | (ipv6 ? IPV6_ADDRESSES : 0), text.substr(0, text.find('\n')));

    std::string trace = header_of(protocol ? protocol : 17, ipv6) + "\n" + text;
    reading scanned, piled;
    scanned.state.path_scan_max = SIZE_MAX;
    piled.state.path_scan_max = 0;
    read_trace(scanned, trace, split_each_row);
    read_trace(piled, trace, split_each_row);
    CHECK(lines_of(scanned.journeys) == lines_of(piled.journeys), trace);
    CHECK(lines_of(scanned.repeated) == lines_of(piled.repeated), trace);
    check_journeys(piled, trace);
    reading streamed;
    read_trace(streamed, trace, false, true);
    check_journeys(streamed, trace);
    if (streamed.rows_in_time && !streamed.packet_numbers && !split_each_row) {
        CHECK(lines_of(streamed.journeys) == lines_of(piled.journeys), trace);
        CHECK(lines_of(streamed.repeated) == lines_of(piled.repeated), trace);
    }
    check_outputs(piled);
    check_join(piled);
    return 0;
}
