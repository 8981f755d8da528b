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
    if (!journey_matches(run.state, jj.whole, run.set.filter))
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
    join.host_of_source.resize(run.state.sources.size(), 0);
    join_hosts(run.state, join, journeys);
    bool alone = false;
    for (uint32_t host = 0; host < join.hosts.size(); host++)
        alone = alone || host_alone(join, host);
    // Plain files of one host (whose packets never crossed a wire) need no
    // notice: they read exactly as before.
    for (const auto &pair : join.unmatched)
        if (!run.set.hosts.empty() || (join.on_wire[pair.first] && join.on_wire[pair.second]))
            fprintf(stderr, "%s\n", unmatched_text(join, pair).c_str());
    if (alone && !run.set.hosts.empty()) {
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
    if (run.inputs_read > 0 && !join_inputs(run, journeys))
        return;
    std::vector<std::pair<const journey *, bool>> order;
    for (const journey &j : journeys)
        order.push_back({&j, false});
    for (const journey &j : repeated)
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

void write_journey(run_t &run, const journey &j, bool repeated)
{
    if (repeated) {
        if (!frames_match(run.state, j, run.set.filter))
            return;
        run.totals.repeated_frames += j.rows.size();
        for (auto &writer : run.writers)
            writer->frames(j);
        return;
    }
    if (!journey_matches(run.state, j, run.set.filter))
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
