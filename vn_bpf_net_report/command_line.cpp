// The command line: the settings, the inputs and the hosts they are traces of.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <stdexcept>

#include <CLI/CLI.hpp>

#include "page_file.h"
#include "report_run.h"
#include "trace_rows.h"

namespace {

// The inputs and their hosts: those of --host first, then the plain files,
// which are all one host's (rotated traces, one trace per protocol): hosts
// are joined only when named. That host is named by its first file's base
// name. A file given twice (by any name) is one host's.
void name_hosts(run_t &run, bool plain_files, std::vector<input> &inputs)
{
    settings &set = run.set;
    struct entry {
        std::string name, file;
        bool named;
    };
    std::vector<entry> entries;
    for (const std::string &arg : set.hosts) {
        size_t eq = arg.find('=');
        std::string name = arg.substr(0, eq);
        if (eq == std::string::npos || !valid_host_name(name))
            throw run_refused("bad host name: " + shown_text(name, true), 2);
        entries.push_back({name, arg.substr(eq + 1), true});
    }
    if (plain_files || set.hosts.empty())
        for (const std::string &file : set.files)
            entries.push_back({host_name_of_file(set.files.front()), file, false});
    std::vector<std::pair<struct stat, uint32_t>> known; // files seen, and their hosts
    uint32_t plain_host = UINT32_MAX;
    set.files.clear();
    for (const entry &e : entries) {
        struct stat st;
        bool found = e.file == "-" ? fstat(0, &st) == 0 : stat(e.file.c_str(), &st) == 0;
        uint32_t same = UINT32_MAX;
        for (const auto &[file, host] : known)
            if (found && same_file(file, st))
                same = host;
        auto by_name = std::find(run.join.hosts.begin(), run.join.hosts.end(), e.name);
        uint32_t named = uint32_t(by_name - run.join.hosts.begin());
        uint32_t host = same;
        if (e.named && same != UINT32_MAX && named != same)
            throw run_refused(std::string(PROGRAM) + ": " + shown_text(e.file, true) + " is the trace of " +
                                  shown_text(run.join.hosts[same]) + ": it cannot be the trace of " + e.name + " too",
                              2);
        if (e.named && by_name != run.join.hosts.end())
            host = named;
        else if (!e.named && host == UINT32_MAX)
            host = plain_host;
        if (host == UINT32_MAX) {
            std::string name = e.name;
            for (int n = 2; !e.named && std::count(run.join.hosts.begin(), run.join.hosts.end(), name); n++)
                name = e.name + "-" + std::to_string(n);
            run.join.hosts.push_back(name);
            host = uint32_t(run.join.hosts.size() - 1);
        }
        if (!e.named && plain_host == UINT32_MAX)
            plain_host = host;
        if (found)
            known.push_back({st, host});
        set.files.push_back(e.file);
        inputs.push_back({});
        inputs.back().name = e.file;
        inputs.back().host = host;
    }
}

// A check for CLI11, which takes the reason a value is refused as its result.
std::function<std::string(const std::string &)> checked(void (*parse)(const std::string &, journey_filter &),
                                                        journey_filter &filter)
{
    return [parse, &filter](const std::string &text) {
        try {
            parse(text, filter);
            return std::string();
        } catch (const std::invalid_argument &refused) {
            return std::string(refused.what());
        }
    };
}

} // namespace

void parse_command_line(run_t &run, int argc, char **argv, std::vector<input> &inputs)
{
    settings &set = run.set;
    CLI::App app{"Reads traces of vn_bpf_net_monitor: one journey per packet, how it ended, and the "
                 "latency of each stage.",
                 PROGRAM};
    std::string flow, slower_than;
    app.add_option("files", set.files, "trace files, all of one host; - or none for standard input")->type_name("TRACE");
    app.add_flag("--json", set.json, "JSON Lines (schema 3): a line per journey, then per stage of each file, then a summary");
    auto *html = app.add_option("--html", set.html,
                                "also write a self-contained HTML page to this file (never over an input)")
                     ->type_name("OUT.html");
    app.add_option("--flow", flow, "only journeys from or to HOST and/or PORT: HOST, HOST:PORT or :PORT")
        ->type_name("HOST[:PORT]|:PORT")
        ->check(checked(parse_flow, set.filter));
    app.add_flag("--dropped", set.filter.dropped_only,
                 "only journeys of the class dropped: by a table, a netfilter hook or the kernel (journeys "
                 "are delivered, dropped or not seen to the end)");
    app.add_option("--slower-than", slower_than,
                   "only journeys that took longer: a number and ns, us, ms or s (microseconds without a unit)")
        ->type_name("TIME")
        ->check(checked(parse_slower_than, set.filter));
    auto *detail = app.add_flag("--detail", set.detail,
                                "each journey the filters keep hop by hop: its rows' steps, CPUs, devices and "
                                "the time since the hop before (pick one with --flow or --start)");
    app.add_option("--start", set.filter.start_ns, "only the journey that starts at this time (START_NS, ns)")
        ->type_name("START_NS")
        ->each([&](const std::string &) { set.filter.by_start = true; });
    auto *hosts = app.add_option("--host", set.hosts,
                                 "one host's trace, NAME=FILE (NAME: 1 to 32 of A-Z a-z 0-9 . _ -); traces of "
                                 "several hosts are joined, or refused when they share no traffic both ways")
                      ->type_name("NAME=FILE")
                      ->allow_extra_args(false);
    auto *follow = app.add_flag("--follow", set.follow,
                                "write each journey once its packet has been quiet for --quiet-ms; read a "
                                "regular file on as it grows, until SIGINT or SIGTERM");
    app.add_option("--quiet-ms", set.quiet_ms, "with --follow: quiet time in milliseconds (default 500)")
        ->type_name("MS")
        ->check(CLI::Range(1, 3600 * 1000));
    follow->excludes(html);
    follow->excludes(hosts);
    detail->excludes("--json");
    app.footer("Every journey is in one class, shown before its ending:\n"
               "  delivered    it reached a socket, or a device on its way out of the host\n"
               "  dropped      a table, a netfilter hook or the kernel dropped the packet itself\n"
               "  not seen     the trace holds no end of it (its rows stop on the way, or samples were lost)\n"
               "Examples:\n"
               "  what was dropped, and why:   vn_bpf_net_report --dropped trace.txt\n"
               "  where one flow went:         vn_bpf_net_report --flow 198.18.0.2:8080 trace.txt\n"
               "  one journey hop by hop:      vn_bpf_net_report --detail --start START_NS trace.txt\n"
               "  what is slow:                vn_bpf_net_report --slower-than 1ms trace.txt\n"
               "  a picture of it all:         vn_bpf_net_report --html journeys.html trace.txt\n"
               "  live, as the monitor writes: vn_bpf_net_monitor -P tcp | vn_bpf_net_report --follow\n"
               "Usage errors end with status 2; see vn_bpf_net_report(1).");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // CLI11 has said it; --help is no failure, and a usage error ends
        // with 2, as command-line tools' do.
        throw run_refused("", app.exit(e) == 0 ? 0 : 2);
    }
    for (const char *option : {"--flow", "--dropped", "--slower-than", "--start"})
        if (app.count(option)) {
            auto *given = app.get_option(option);
            set.filters_given += (set.filters_given.empty() ? "" : " ") + std::string(option);
            if (given->get_items_expected_max() > 0)
                set.filters_given += " " + shown_text(given->as<std::string>(), true);
        }
    name_hosts(run, app.count("files") > 0, inputs);
    if (!set.html.empty()) {
        try {
            check_page_path(set.html, set.files);
        } catch (const std::invalid_argument &refused) {
            throw run_refused(std::string(PROGRAM) + ": --html " + shown_text(set.html, true) + ": " + refused.what(),
                              1);
        }
    }
    // One output for standard output, and the page beside it.
    auto make = set.json ? json_writer : set.detail ? detail_writer : text_writer;
    run.writers.push_back(make(run.out, run.state, run.join.hosts));
    if (!set.html.empty())
        run.writers.push_back(page_writer(run.page, run.state, run.join.hosts));
}
