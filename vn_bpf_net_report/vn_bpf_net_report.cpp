// vn_bpf_net_report: reads traces of vn_bpf_net_monitor and shows the
// journey of each packet, how it ended and how long each stage took.
//
// The program's life: parse the command line, read every input into the
// key groups, then turn them into journeys and write the report. With
// --follow journeys are written as soon as their key falls quiet, and leave
// memory then.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "journeys.h"
#include "report_output.h"
#include "trace_rows.h"

namespace {

const char *const PROGRAM = "vn_bpf_net_report";
constexpr size_t READ_CHUNK = 1 << 20;
// Longer lines are no rows (the monitor cuts its lines at 299 bytes).
constexpr size_t LINE_MAX = 1 << 16;
// A key whose rows keep coming is split this often, keeping its last journey.
constexpr size_t GROUP_ROWS_MAX = 4096;
// How long a key is remembered after its last journey, so that frames with
// repeated fields arriving later are still known for what they are.
constexpr int64_t KEY_MEMORY_MS = 60 * 1000;

struct settings {
    std::vector<std::string> files{"-"};
    bool json = false, follow = false;
    std::string html;
    int quiet_ms = 500;
    journey_filter filter;
};

// The last text of a column and its id: devices, MACs and OTHER_INFO mostly
// repeat from one row to the next, and a compare is cheaper than a lookup.
struct name_memo {
    std::string_view text; // in the name table, which never moves it
    uint32_t last = UINT32_MAX;

    uint32_t id(name_table &names, std::string_view value)
    {
        if (last == UINT32_MAX || value != text) {
            last = names.id(value);
            text = names.text(last);
        }
        return last;
    }
};

struct run_t {
    settings set;
    report_state state;
    report_totals totals;
    std::vector<journey> journeys, repeated;
    std::string out;
    int status = 0;
    int64_t last_sweep_ms = 0;
    name_memo last_device, last_smac, last_dmac, last_other_info;
};

int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void flush_out(run_t &run)
{
    if (!run.out.empty())
        fwrite(run.out.data(), 1, run.out.size(), stdout);
    run.out.clear();
    fflush(stdout);
}

// A frame with repeated fields is kept by --flow, never by the journey filters.
bool frame_matches(const report_state &state, const journey &frame, const journey_filter &filter)
{
    journey_filter flow_only = filter;
    flow_only.dropped_only = false, flow_only.slower_than_ns = -1;
    return !filter.dropped_only && filter.slower_than_ns < 0 && journey_matches(state, frame, flow_only);
}

void write_journey(run_t &run, const journey &j, bool repeated)
{
    if (repeated) {
        if (run.set.json && frame_matches(run.state, j, run.set.filter))
            append_json_line(run.out, run.state, j, true);
        return;
    }
    if (!journey_matches(run.state, j, run.set.filter))
        return;
    count_journey(run.totals, run.state, j);
    if (run.set.json)
        append_json_line(run.out, run.state, j, false);
    else
        append_text_line(run.out, run.state, j);
}

// --follow: writes the journeys of keys that fell quiet, and forgets keys
// long idle.
void write_quiet_journeys(run_t &run, bool everything)
{
    int64_t now = now_ms();
    if (!everything && now - run.last_sweep_ms < std::max(1, run.set.quiet_ms / 4))
        return;
    run.last_sweep_ms = now;
    std::vector<journey> journeys, repeated;
    for (auto it = run.state.groups.begin(); it != run.state.groups.end();) {
        key_group &group = it->second;
        int64_t idle = now - group.last_read_ms;
        if (!group.rows.empty() && (everything || idle >= run.set.quiet_ms))
            split_group(run.state, it->first, group, false, journeys, repeated);
        else if (group.rows.size() > GROUP_ROWS_MAX)
            split_group(run.state, it->first, group, true, journeys, repeated);
        if (group.rows.empty() && idle > KEY_MEMORY_MS) {
            run.state.last_group = nullptr;
            it = run.state.groups.erase(it);
        } else
            ++it;
    }
    std::sort(journeys.begin(), journeys.end(),
              [](const journey &a, const journey &b) { return a.start() < b.start(); });
    for (const journey &j : journeys)
        write_journey(run, j, false);
    for (const journey &j : repeated)
        write_journey(run, j, true);
    flush_out(run);
}

// One line of a source; false when the source is refused.
bool read_line(run_t &run, uint32_t &source, uint64_t line_no, std::string_view line, int64_t now)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    uint32_t protocol = header_protocol(line);
    if (line_no == 1 || protocol) {
        if (!protocol) {
            fprintf(stderr, "%s: %s: not a trace (its first line is no trace header)\n", PROGRAM,
                    run.state.sources[source].name.c_str());
            return false;
        }
        // A header further down starts another trace (traces joined with cat).
        if (line_no != 1) {
            run.state.sources.push_back(run.state.sources[source]);
            source = uint32_t(run.state.sources.size() - 1);
        }
        run.state.sources[source].protocol = protocol;
        return true;
    }
    if (line.find_first_not_of(' ') == std::string_view::npos)
        return true;
    parsed_row parsed;
    if (const char *bad = parse_row(line, run.state.sources[source].protocol, parsed)) {
        run.state.unreadable_rows++;
        fprintf(stderr, "%s: %s:%llu: unreadable row (no valid %s)\n", PROGRAM,
                run.state.sources[source].name.c_str(), (unsigned long long)line_no, bad);
        return true;
    }
    name_table &names = run.state.names;
    trace_row row{parsed.time,
                  uint32_t(line_no),
                  parsed.cpu,
                  names.id(parsed.function),
                  run.last_device.id(names, parsed.device),
                  run.last_smac.id(names, parsed.smac),
                  run.last_dmac.id(names, parsed.dmac),
                  run.last_other_info.id(names, parsed.other_info),
                  parsed.saddr,
                  parsed.daddr,
                  {parsed.fields[0], parsed.fields[1], parsed.fields[2], parsed.fields[3]}};
    add_row(run.state, source, row, now);
    return true;
}

void count_long_line(run_t &run, uint32_t source, uint64_t line_no)
{
    run.state.unreadable_rows++;
    fprintf(stderr, "%s: %s:%llu: unreadable row (longer than %zu bytes)\n", PROGRAM,
            run.state.sources[source].name.c_str(), (unsigned long long)line_no, LINE_MAX);
}

// Reads one input to its end; false when it cannot be read or is no trace.
bool read_source(run_t &run, const std::string &name)
{
    bool is_stdin = name == "-";
    int fd = is_stdin ? 0 : open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "%s: %s: %s\n", PROGRAM, name.c_str(), strerror(errno));
        return false;
    }
    run.state.sources.push_back({is_stdin ? "standard input" : name, 0});
    uint32_t source = uint32_t(run.state.sources.size() - 1);
    std::vector<char> buffer(READ_CHUNK + LINE_MAX);
    size_t have = 0;
    uint64_t line_no = 0;
    bool skipping = false, ok = true;
    for (;;) {
        if (run.set.follow) {
            pollfd p{fd, POLLIN, 0};
            int ready = poll(&p, 1, std::max(1, run.set.quiet_ms / 4));
            write_quiet_journeys(run, false);
            if (ready == 0 || (ready < 0 && errno == EINTR))
                continue;
        }
        ssize_t n = read(fd, buffer.data() + have, buffer.size() - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fprintf(stderr, "%s: %s: %s\n", PROGRAM, run.state.sources[source].name.c_str(), strerror(errno));
            ok = false;
            break;
        }
        size_t end = have + size_t(n), start = 0;
        int64_t now = run.set.follow ? now_ms() : 0;
        // At the end of the input a last line without its line feed is read too.
        for (;;) {
            const char *nl = static_cast<const char *>(memchr(buffer.data() + start, '\n', end - start));
            if (!nl && !(n == 0 && start < end))
                break;
            size_t line_end = nl ? size_t(nl - buffer.data()) : end;
            line_no++;
            if (!skipping && line_end - start > LINE_MAX)
                count_long_line(run, source, line_no);
            else if (!skipping && !read_line(run, source, line_no, {buffer.data() + start, line_end - start}, now)) {
                ok = false;
                break;
            }
            skipping = false;
            start = nl ? line_end + 1 : end;
        }
        if (!ok || n == 0)
            break;
        memmove(buffer.data(), buffer.data() + start, end - start);
        have = end - start;
        if (have >= LINE_MAX && !memchr(buffer.data(), '\n', have)) {
            // Too long to be a row: counted, and skipped up to its line feed.
            if (!skipping)
                count_long_line(run, source, line_no + 1);
            skipping = true;
            have = 0;
        }
    }
    if (line_no == 0 && ok) {
        fprintf(stderr, "%s: %s: not a trace (it is empty)\n", PROGRAM, run.state.sources[source].name.c_str());
        ok = false;
    }
    if (!is_stdin)
        close(fd);
    return ok;
}

// Without --follow: every key's rows become journeys, written in start order.
void write_report(run_t &run)
{
    for (auto &[key, group] : run.state.groups)
        split_group(run.state, key, group, false, run.journeys, run.repeated);
    std::vector<std::pair<const journey *, bool>> order;
    for (const journey &j : run.journeys)
        order.push_back({&j, false});
    for (const journey &j : run.repeated)
        order.push_back({&j, true});
    std::sort(order.begin(), order.end(), [](const auto &a, const auto &b) {
        return std::make_tuple(a.first->start(), a.first->source, a.first->rows.front().line) <
               std::make_tuple(b.first->start(), b.first->source, b.first->rows.front().line);
    });
    std::vector<const journey *> kept;
    if (!run.set.json)
        append_text_header(run.out);
    for (const auto &[j, repeated] : order) {
        write_journey(run, *j, repeated);
        if (!repeated && journey_matches(run.state, *j, run.set.filter))
            kept.push_back(j);
        if (run.out.size() > READ_CHUNK)
            flush_out(run);
    }
    if (!run.set.html.empty()) {
        std::ofstream page(run.set.html, std::ios::binary | std::ios::trunc);
        page << html_page(run.state, kept, run.totals);
        if (!page.flush()) {
            fprintf(stderr, "%s: %s: cannot write the page\n", PROGRAM, run.set.html.c_str());
            run.status = 1;
        }
    }
}

// --flow: HOST, HOST:PORT or :PORT.
std::string parse_flow(const std::string &text, journey_filter &filter)
{
    size_t colon = text.find(':');
    std::string_view host = std::string_view(text).substr(0, colon);
    if (!host.empty()) {
        if (!parse_ipv4(host, filter.host))
            return "the host must be a dotted-decimal IPv4 address: " + text;
        filter.by_host = true;
    }
    if (colon != std::string::npos) {
        std::string_view port = std::string_view(text).substr(colon + 1);
        auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), filter.port);
        if (ec != std::errc() || end != port.data() + port.size() || filter.port == 0)
            return "the port must be 1 to 65535: " + text;
        filter.by_port = true;
    }
    if (!filter.by_host && !filter.by_port)
        return "give HOST, HOST:PORT or :PORT";
    return "";
}

} // namespace

int main(int argc, char **argv)
{
    run_t run;
    settings &set = run.set;
    CLI::App app{"Reads traces of vn_bpf_net_monitor: one journey per packet, how it ended, and the "
                 "latency of each stage.",
                 PROGRAM};
    std::string flow;
    double slower_than_us = -1;
    app.add_option("files", set.files, "trace files; - or none for standard input");
    app.add_flag("--json", set.json, "one JSON object per journey per line (JSON Lines)");
    auto *html = app.add_option("--html", set.html, "also write a self-contained HTML page to this file");
    app.add_option("--flow", flow, "only journeys from or to HOST and/or PORT: HOST, HOST:PORT or :PORT")
        ->check([&](const std::string &text) { return parse_flow(text, set.filter); });
    app.add_flag("--dropped", set.filter.dropped_only, "only journeys the kernel dropped: a table's drop verdict or a drop reason");
    app.add_option("--slower-than", slower_than_us, "only journeys that took longer (microseconds)")
        ->check([](const std::string &text) {
            return text.find_first_not_of("0123456789.") == std::string::npos ? ""
                                                                             : "a number of microseconds, 0 or more";
        });
    auto *follow = app.add_flag("--follow", set.follow,
                                "write each journey once its packet has been quiet for --quiet-ms");
    app.add_option("--quiet-ms", set.quiet_ms, "with --follow: quiet time in milliseconds (default 500)")
        ->check(CLI::Range(1, 3600 * 1000));
    follow->excludes(html);
    CLI11_PARSE(app, argc, argv);
    if (slower_than_us >= 0)
        set.filter.slower_than_ns = int64_t(slower_than_us * 1000.0);

    if (set.follow && !set.json) {
        append_text_header(run.out);
        flush_out(run);
    }
    for (const std::string &file : set.files)
        if (!read_source(run, file))
            run.status = 1;
    if (set.follow) {
        write_quiet_journeys(run, true);
    } else {
        write_report(run);
    }
    if (!set.json)
        append_summary(run.out, run.state, run.totals);
    flush_out(run);
    return run.status;
}
