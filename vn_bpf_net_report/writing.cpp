// Writing the report: each journey the filters keep goes to every writer,
// counted once; where traces of several hosts are joined, a packet seen on
// two hosts is written once, where its first part is.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <tuple>

#include "endings.h"
#include "page_file.h"
#include "report_run.h"
#include "trace_rows.h"
#include "vn_bpf_net_monitor.h"

namespace {

void output_error(run_t &run, int error)
{
    if (!run.output_failed)
        say("standard output", strerror(error));
    run.output_failed = true;
    run.status = 1;
}

// A packet seen on two hosts.
void write_joined(run_t &run, const joined_journey &jj)
{
    if (!journey_matches(run.state, jj.whole, run.set.filter, ordered_start(run.join, jj.whole)))
        return;
    count_joined(run.totals, jj);
    for (auto &writer : run.writers)
        writer->joined(jj);
}

// Several hosts: their journeys joined where their traces share traffic
// both ways. False when hosts named with --host cannot all be joined.
bool join_inputs(run_t &run, std::vector<journey> &journeys)
{
    host_join &join = run.join;
    join_hosts(run.state, join, journeys);
    bool alone = false;
    for (uint32_t host = 0; host < join.hosts.size(); host++)
        alone = alone || host_alone(join, host);
    for (const auto &pair : join.unmatched)
        fprintf(stderr, "%s\n", unmatched_text(join, pair).c_str());
    if (alone) {
        run.status = 1;
        run.refused = true;
        return false;
    }
    return true;
}

// Hosts to join: every journey was kept; joined, then written in start
// order in the first host's clock, each joined journey where its first part is.
void write_joined_report(run_t &run)
{
    std::vector<journey> journeys, repeated;
    for (made_journey &m : run.made) {
        if (!m.repeated)
            settle_losses(run.state, m.j);
        (m.repeated ? repeated : journeys).push_back(std::move(m.j));
    }
    run.made.clear();
    // Marked in time order before the join, which copies them into joined journeys.
    std::sort(journeys.begin(), journeys.end(), [](const journey &a, const journey &b) {
        return std::make_tuple(a.start(), a.source, a.rows.front().line) <
               std::make_tuple(b.start(), b.source, b.rows.front().line);
    });
    run.join.host_of_source.resize(run.state.sources.size(), 0);
    for (journey &j : journeys)
        mark_first_of_flow(run, j);
    if (run.inputs_read > 0 && !join_inputs(run, journeys))
        return;
    std::vector<std::pair<journey *, bool>> order;
    for (journey &j : journeys)
        order.push_back({&j, false});
    for (journey &j : repeated)
        order.push_back({&j, true});
    const host_join &join = run.join;
    std::sort(order.begin(), order.end(), [&](const auto &a, const auto &b) {
        return std::make_tuple(ordered_start(join, *a.first), a.first->source, a.first->rows.front().line) <
               std::make_tuple(ordered_start(join, *b.first), b.first->source, b.first->rows.front().line);
    });
    if (run.inputs_read > 0)
        write_header(run, &join);
    for (const auto &[j, repeated] : order) {
        auto part = join.part_of.find(j);
        if (part == join.part_of.end())
            write_journey(run, *j, repeated);
        else if (join.joined[part->second].sent == j)
            write_joined(run, join.joined[part->second]); // once, where the packet's first part is
        if (run.out.size() > READ_CHUNK)
            flush_out(run);
    }
    // The page is made while the journeys it points to are still here.
    write_summary(run);
}

} // namespace

void say(const std::string &subject, const std::string &text)
{
    fprintf(stderr, "%s: %s: %s\n", PROGRAM, subject.c_str(), text.c_str());
}

void write_header(run_t &run, const host_join *join)
{
    if (run.header_written)
        return;
    run.header_written = true;
    for (auto &writer : run.writers)
        writer->header(join);
}

void mark_first_of_flow(run_t &run, journey &j)
{
    const trace_source &source = run.state.sources[j.source];
    // The family's bit keeps an IPv6 address's name id apart from an IPv4 address.
    uint32_t protocol = source.protocol | (source.ipv6 ? IPV6_ADDRESSES : 0);
    uint32_t host = j.source < run.join.host_of_source.size() ? run.join.host_of_source[j.source] : 0;
    const trace_row &row = j.rows.front();
    bool icmp = is_icmp(source.protocol);
    uint32_t a = icmp ? row.fields[2] : row.fields[0], b = icmp ? 0 : row.fields[1];
    // Neighbor discovery is a flow of each type, never an echo's (their ids may be alike).
    if (is_neighbor_discovery(source.protocol, row))
        b = row.fields[0];
    uint64_t flow = fold(fold(uint64_t(host) << 32 | protocol, uint64_t(row.saddr) << 32 | row.daddr),
                         uint64_t(a) << 32 | b);
    flow |= 1; // 0 marks a free slot
    j.first_of_flow = false;
    std::vector<uint64_t> &seen = run.flows_seen;
    auto slot_of = [](const std::vector<uint64_t> &table, uint64_t f) {
        size_t mask = table.size() - 1, at = size_t(f >> 1) & mask; // the low bit is always set
        while (table[at] != 0 && table[at] != f)
            at = (at + 1) & mask;
        return at;
    };
    if (seen.empty())
        seen.assign(1024, 0);
    size_t at = slot_of(seen, flow);
    if (seen[at] == flow || run.flows_seen_count >= FLOWS_SEEN_MAX)
        return;
    seen[at] = flow;
    j.first_of_flow = true;
    // At most half full, so that a look ends soon.
    if (++run.flows_seen_count * 2 > seen.size()) {
        std::vector<uint64_t> larger(seen.size() * 2, 0);
        for (uint64_t f : seen)
            if (f)
                larger[slot_of(larger, f)] = f;
        seen.swap(larger);
    }
}

void write_journey(run_t &run, journey &j, bool repeated)
{
    if (repeated) {
        if (!frames_match(run.state, j, run.set.filter))
            return;
        run.totals.repeated_frames += j.rows.size();
        for (auto &writer : run.writers)
            writer->frames(j);
        return;
    }
    if (run.join.hosts.size() <= 1) // joined hosts' journeys are marked before the join
        mark_first_of_flow(run, j);
    if (!journey_matches(run.state, j, run.set.filter, ordered_start(run.join, j)))
        return;
    count_journey(run.totals, j);
    for (auto &writer : run.writers)
        writer->journey(j);
}

void flush_out(run_t &run)
{
    for (auto &writer : run.writers)
        writer->flush();
    if (!run.out.empty() && !run.output_failed &&
        fwrite(run.out.data(), 1, run.out.size(), stdout) != run.out.size())
        output_error(run, errno);
    run.out.clear();
    if (!run.output_failed && fflush(stdout) != 0)
        output_error(run, errno);
}

void write_report(run_t &run)
{
    if (run.join.hosts.size() > 1) {
        write_joined_report(run);
        return;
    }
    if (run.inputs_read > 0)
        write_header(run, nullptr);
    write_made(run, 0, true);
    write_summary(run);
}

// The summary on every writer; then the page, when there is one to write.
// No report of nothing: when no input could be read there is none.
void write_summary(run_t &run)
{
    if ((!run.set.follow && run.inputs_read == 0) || run.refused)
        return;
    for (auto &writer : run.writers)
        writer->summary(run.totals);
    // An empty report is no failure (--dropped on a healthy trace), but a
    // filter that matches nothing may be a typo: say so beside it.
    if (!run.set.filters_given.empty() && run.totals.journeys == 0)
        say(run.set.filters_given, "no journey matches");
    if (run.set.html.empty())
        return;
    if (int error = write_page(run.set.html, run.page)) {
        say(shown_text(run.set.html, true), std::string("cannot write the page: ") + strerror(error));
        run.status = 1;
    }
}

bool close_stdout(run_t &run)
{
    flush_out(run);
    if (fclose(stdout) != 0 && !run.output_failed)
        output_error(run, errno);
    return !run.output_failed;
}
