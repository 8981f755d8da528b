// vn_bpf_net_report: reads traces of vn_bpf_net_monitor and shows the
// journey of each packet, how it ended and how long each stage took.
//
// The program's life: parse the command line, read every input into the
// key groups, then turn them into journeys and write the report. With
// --follow journeys are written as soon as their key falls quiet, and leave
// memory then; the inputs are read side by side, a regular file on as it
// grows (as tail -f does), until they end or SIGINT or SIGTERM stops the
// reading.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <tuple>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "host_join.h"
#include "journeys.h"
#include "line_reader.h"
#include "report_output.h"
#include "trace_rows.h"

namespace {

const char *const PROGRAM = "vn_bpf_net_report";
constexpr size_t READ_CHUNK = 1 << 20;
// Read by the thread that cuts lines: a batch of lines it hands over at a
// time, small enough for the batches in flight to stay in the caches.
constexpr size_t BATCH_BYTES = 1 << 18;
// How long a key is remembered after its last journey, so that frames with
// repeated fields arriving later are still known for what they are; and how
// many such keys at most (beyond it, keys quiet for --quiet-ms are forgotten
// at once), so that a fast input of many keys stays in bounded memory.
constexpr int64_t KEY_MEMORY_MS = 60 * 1000;
constexpr size_t KEYS_REMEMBERED_MAX = 1 << 16;
// Reading a trace to its end, keys whose paths are done are made into
// journeys (and leave memory) every so many rows, at least as many as there
// are keys with rows: a look at each costs a row no more than one key's
// worth. Keys done are remembered KEY_MEMORY_MS of trace time.
constexpr uint64_t ROWS_BETWEEN_LOOKS = 16384;
constexpr int64_t KEY_MEMORY_NS = KEY_MEMORY_MS * 1000 * 1000;
// Unreadable rows named on standard error per input; the rest are counted
// in one line at its end.
constexpr uint64_t UNREADABLE_NAMED = 3;
// --follow looks for data appended to a regular file this often at least.
constexpr int FILE_POLL_MS = 100;

struct settings {
    std::vector<std::string> files{"-"};
    std::vector<std::string> hosts; // --host NAME=FILE
    bool json = false, follow = false, detail = false;
    std::string html;
    int quiet_ms = 500;
    journey_filter filter;
};

// One input being read. Under --follow every input is read a chunk at a
// time in turn; otherwise each is read to its end before the next.
struct input {
    std::string name;     // as given: "-" is standard input
    int fd = -1;
    bool regular = false; // under --follow read on as it grows
    uint32_t source = 0;  // where its rows go (moves at a header further down)
    uint32_t host = 0;
    uint64_t line_no = 0;
    uint64_t unreadable = 0;
    read_cutter reading; // --follow
    std::vector<cut_line> lines;
    bool open = false;
};

// A journey made but not written yet, or frames with repeated fields. Its
// place in the order is kept beside it, so that ordering reads no rows.
struct made_journey {
    int64_t start;
    uint32_t source, line;
    journey j;
    bool repeated;
};
made_journey made_of(journey &&j, bool repeated)
{
    int64_t start = j.start();
    uint32_t source = j.source, line = j.rows.front().line;
    return {start, source, line, std::move(j), repeated};
}
// Journeys are written in start order, then by input and line.
bool written_later(const made_journey &a, const made_journey &b)
{
    if (a.start != b.start)
        return a.start > b.start;
    return a.source != b.source ? a.source > b.source : a.line > b.line;
}

struct run_t {
    settings set;
    report_state state;
    report_totals totals;
    std::vector<made_journey> made; // a heap by written_later: the first to write on top
    std::deque<journey> page_journeys; // kept for --html, in start order
    bool header_written = false;
    bool writing_early = false;     // journeys may be written before the input ends
    uint64_t rows_at_last_look = 0; // rows read at the last look for done keys
    std::deque<flow_key> done_keys; // keys whose rows all became journeys, in that order
    std::string out;
    int status = 0;
    bool output_failed = false;
    size_t inputs_read = 0; // inputs read to their end (or to the stop) as traces
    host_join join;         // hosts of the inputs, joined when there are several
    bool refused = false;   // hosts named that share no traffic: no report
    int64_t last_sweep_ms = 0;
};

volatile sig_atomic_t stop_signal = 0;

void on_stop_signal(int sig)
{
    stop_signal = sig;
}

int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// An input's name in a message: as the text report shows trace texts.
std::string shown_name_of(const run_t &run, uint32_t source)
{
    return shown_text(run.state.sources[source].name, true);
}

void output_error(run_t &run, int error)
{
    if (!run.output_failed)
        fprintf(stderr, "%s: standard output: %s\n", PROGRAM, strerror(error));
    run.output_failed = true;
    run.status = 1;
}

void flush_out(run_t &run)
{
    if (!run.out.empty() && !run.output_failed &&
        fwrite(run.out.data(), 1, run.out.size(), stdout) != run.out.size())
        output_error(run, errno);
    run.out.clear();
    if (!run.output_failed && fflush(stdout) != 0)
        output_error(run, errno);
}

// A frame with repeated fields is kept by --flow, never by the journey filters.
bool frame_matches(const report_state &state, const journey &frame, const journey_filter &filter)
{
    journey_filter flow_only = filter;
    flow_only.dropped_only = false, flow_only.slower_than_ns = -1;
    return !filter.dropped_only && filter.slower_than_ns < 0 && !filter.by_start &&
           journey_matches(state, frame, flow_only);
}

void write_journey(run_t &run, const journey &j, bool repeated)
{
    if (repeated) {
        if (!frame_matches(run.state, j, run.set.filter))
            return;
        run.totals.repeated_frames += j.rows.size();
        if (run.set.json)
            append_json_line(run.out, run.state, j, true);
        return;
    }
    if (!journey_matches(run.state, j, run.set.filter))
        return;
    count_journey(run.totals, run.state, j);
    if (run.set.json)
        append_json_line(run.out, run.state, j, false);
    else if (run.set.detail)
        append_detail(run.out, run.state, j);
    else
        append_text_line(run.out, run.state, j);
}

void write_journeys(run_t &run, std::vector<journey> &journeys, std::vector<journey> &repeated)
{
    std::sort(journeys.begin(), journeys.end(),
              [](const journey &a, const journey &b) { return a.start() < b.start(); });
    for (const journey &j : journeys)
        write_journey(run, j, false);
    for (const journey &j : repeated)
        write_journey(run, j, true);
    flush_out(run);
}

// A packet seen on two hosts.
void write_joined(run_t &run, const joined_journey &jj)
{
    if (!joined_matches(run.state, jj, run.set.filter))
        return;
    count_joined(run.totals, run.state, jj);
    if (run.set.json)
        append_json_joined(run.out, run.state, run.join, jj);
    else if (run.set.detail)
        append_detail_joined(run.out, run.state, run.join, jj);
    else
        append_text_joined(run.out, run.state, jj);
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
    bool crowded = run.state.groups.size() > KEYS_REMEMBERED_MAX;
    run.state.opened.clear(); // every key is looked at here
    for (auto it = run.state.groups.begin(); it != run.state.groups.end();) {
        key_group &group = it->second;
        int64_t idle = now - group.last_read_ms;
        if (!group.rows.empty() && (everything || idle >= run.set.quiet_ms))
            split_group(run.state, it->first, group, false, journeys, repeated);
        else if (group_is_full(group))
            split_group(run.state, it->first, group, true, journeys, repeated);
        if (group.rows.empty() && (idle > KEY_MEMORY_MS || (crowded && idle >= run.set.quiet_ms))) {
            run.state.last_group = nullptr;
            it = run.state.groups.erase(it);
        } else
            ++it;
    }
    write_journeys(run, journeys, repeated);
}

bool refuse_input(run_t &run, const input &in)
{
    fprintf(stderr, "%s: %s: not a trace (its first line is no trace header)\n", PROGRAM,
            shown_name_of(run, in.source).c_str());
    return false;
}

// An unreadable row: the first few of an input are named by their line.
void name_unreadable(run_t &run, input &in, uint64_t line_no, const std::string &why)
{
    if (++in.unreadable > UNREADABLE_NAMED)
        return;
    fprintf(stderr, "%s: %s:%llu: unreadable row (%s)\n", PROGRAM, shown_name_of(run, in.source).c_str(),
            (unsigned long long)line_no, why.c_str());
}

// Line line_no is too long to be a row; false when it is the first (the
// input is then no trace).
bool long_line(run_t &run, input &in, uint64_t line_no)
{
    if (line_no == 1)
        return refuse_input(run, in);
    run.state.unreadable_rows++;
    name_unreadable(run, in, line_no, "longer than " + std::to_string(LINE_LEN_MAX) + " bytes");
    return true;
}

// One line of an input; false when the input is refused.
bool take_line(run_t &run, input &in, const cut_line &line, int64_t now)
{
    in.line_no++;
    if (line.too_long)
        return long_line(run, in, in.line_no);
    if (line.kind == line_kind::no_header)
        return refuse_input(run, in);
    if (line.kind == line_kind::unreadable)
        name_unreadable(run, in, in.line_no, std::string("no valid ") + line.bad);
    take_parsed_line(run.state, in.source, in.line_no, line.kind, line.header, line.row, now);
    if (line.kind != line_kind::row)
        return true;
    key_group *group = run.state.last_group; // the row's, last in it
    // A last line without its line feed may have been cut short: it is
    // kept, but decides no ending.
    if (line.unterminated)
        group->rows.back().cut = true;
    // --follow: a key whose rows keep coming is made into journeys as it goes.
    if (run.set.follow && group_is_full(*group)) {
        std::vector<journey> journeys, repeated;
        split_group(run.state, run.state.last_key, *group, true, journeys, repeated);
        write_journeys(run, journeys, repeated);
    }
    return true;
}

// Takes the lines cut; false when the input is refused.
bool take_lines(run_t &run, input &in, const std::vector<cut_line> &lines, int64_t now)
{
    for (const cut_line &line : lines)
        if (!take_line(run, in, line, now))
            return false;
    return true;
}

void close_input(run_t &run, input &in, bool read_whole)
{
    if (in.unreadable > UNREADABLE_NAMED)
        fprintf(stderr, "%s: %s: %llu unreadable rows in all (the first %llu named above)\n", PROGRAM,
                shown_name_of(run, in.source).c_str(), (unsigned long long)in.unreadable,
                (unsigned long long)UNREADABLE_NAMED);
    in.unreadable = 0;
    if (in.fd > 0)
        close(in.fd);
    in.fd = -1;
    in.open = false;
    in.reading = read_cutter();
    in.lines = std::vector<cut_line>();
    if (!read_whole)
        run.status = 1;
    else
        run.inputs_read++;
}

// The end of an input: an empty one is no trace.
void end_input(run_t &run, input &in, bool ok)
{
    if (ok && in.line_no == 0) {
        fprintf(stderr, "%s: %s: not a trace (it is empty)\n", PROGRAM, shown_name_of(run, in.source).c_str());
        ok = false;
    }
    close_input(run, in, ok);
}

// --follow: the end of an input (or the stop of the reading); a last line
// without its line feed is read too.
void finish_input(run_t &run, input &in)
{
    in.lines.clear();
    in.reading.finish(in.lines);
    end_input(run, in, take_lines(run, in, in.lines, now_ms()));
}

bool open_input(run_t &run, input &in)
{
    bool is_stdin = in.name == "-";
    in.fd = is_stdin ? 0 : open(in.name.c_str(), O_RDONLY | O_CLOEXEC);
    if (in.fd < 0) {
        fprintf(stderr, "%s: %s: %s\n", PROGRAM, shown_text(in.name, true).c_str(), strerror(errno));
        run.status = 1;
        return false;
    }
    struct stat st;
    in.regular = fstat(in.fd, &st) == 0 && S_ISREG(st.st_mode);
    run.state.sources.push_back({is_stdin ? "standard input" : in.name, 0});
    in.source = uint32_t(run.state.sources.size() - 1);
    if (run.set.follow)
        in.reading = read_cutter(READ_CHUNK, run.state.names);
    in.open = true;
    return true;
}

enum class read_result { data, idle, ended };

// --follow: reads one chunk of an input and takes its whole lines. At the
// end of a regular file the input stays open (idle): more may come.
read_result read_chunk(run_t &run, input &in)
{
    in.lines.clear();
    read_cutter::outcome got = in.reading.read_and_cut(in.fd, in.lines);
    if (got.error == EINTR || got.error == EAGAIN)
        return read_result::idle;
    if (got.error) {
        fprintf(stderr, "%s: %s: %s\n", PROGRAM, shown_name_of(run, in.source).c_str(), strerror(got.error));
        close_input(run, in, false);
        return read_result::ended;
    }
    if (got.end) {
        struct stat st;
        if (in.regular && fstat(in.fd, &st) == 0 && st.st_size < lseek(in.fd, 0, SEEK_CUR)) {
            // Cut short (a new trace written over it): read it again from its start, as tail -f does.
            fprintf(stderr, "%s: %s: file truncated, read from its start again\n", PROGRAM,
                    shown_name_of(run, in.source).c_str());
            lseek(in.fd, 0, SEEK_SET);
            in.reading.start_over();
            return read_result::data;
        }
        if (in.regular)
            return read_result::idle;
        finish_input(run, in);
        return read_result::ended;
    }
    if (!take_lines(run, in, in.lines, now_ms())) {
        close_input(run, in, false);
        return read_result::ended;
    }
    return read_result::data;
}

// --- Without --follow -----------------------------------------------------

void keep_journeys(run_t &run, std::vector<journey> &journeys, std::vector<journey> &repeated)
{
    for (auto *list : {&journeys, &repeated})
        for (journey &j : *list) {
            run.made.push_back(made_of(std::move(j), list == &repeated));
            std::push_heap(run.made.begin(), run.made.end(), written_later);
        }
}

// Writes the journeys made that start before `before` (all of them with
// everything), in order; the page keeps those the filters keep.
void write_made(run_t &run, int64_t before, bool everything)
{
    while (!run.made.empty() && (everything || run.made.front().start < before)) {
        std::pop_heap(run.made.begin(), run.made.end(), written_later);
        made_journey next = std::move(run.made.back());
        run.made.pop_back();
        if (!run.header_written && !run.set.json && !run.set.detail)
            append_text_header(run.out);
        run.header_written = true;
        write_journey(run, next.j, next.repeated);
        if (!run.set.html.empty() && !next.repeated && journey_matches(run.state, next.j, run.set.filter))
            run.page_journeys.push_back(std::move(next.j));
        else
            give_back_rows(run.state, std::move(next.j.rows));
        if (run.out.size() > READ_CHUNK)
            flush_out(run);
    }
}

// Makes journeys of the paths done by the trace time of the row read last,
// forgets keys long done, and writes the journeys that no row still to come
// can precede: those that start before the rows still in groups, and
// ROWS_LATE_NS before the row read last.
void make_done_journeys(run_t &run)
{
    report_state &state = run.state;
    int64_t now = state.last_row_time, open_from = INT64_MAX;
    std::vector<journey> journeys, repeated;
    size_t still_open = 0;
    for (auto *entry : state.opened) {
        key_group &group = entry->second;
        // A key whose rows keep coming (equal datagrams) has its oldest paths
        // done while newer ones go on; one that holds many rows open is
        // split again less often the more it holds.
        if (done_by(group.first_time, now) || group.rows.size() >= 2 * group.rows_kept + GROUP_ROWS_MAX)
            split_done_paths(state, entry->first, group, now, journeys, repeated);
        if (group.rows.empty()) {
            run.done_keys.push_back(entry->first);
            continue;
        }
        open_from = std::min(open_from, group.first_time);
        state.opened[still_open++] = entry;
    }
    state.opened.resize(still_open);
    state.last_group = nullptr; // a group emptied here is opened again by its next row
    // Keys done, oldest first: forgotten after KEY_MEMORY_NS, or at once when there are too many.
    while (!run.done_keys.empty()) {
        auto found = state.groups.find(run.done_keys.front());
        if (found != state.groups.end() && found->second.rows.empty()) {
            int64_t last = found->second.last_time;
            bool crowded = state.groups.size() > KEYS_REMEMBERED_MAX;
            if (elapsed_ns(last, now) <= KEY_MEMORY_NS && !(crowded && done_by(last, now)))
                break;
            state.groups.erase(found);
        }
        run.done_keys.pop_front();
    }
    keep_journeys(run, journeys, repeated);
    if (run.writing_early)
        write_made(run, std::min(open_from, now < INT64_MIN + ROWS_LATE_NS ? INT64_MIN : now - ROWS_LATE_NS), false);
    run.rows_at_last_look = state.rows_read;
}

// An input has ended: none of its keys gets another row.
void make_all_journeys(run_t &run)
{
    std::vector<journey> journeys, repeated;
    for (auto &[key, group] : run.state.groups)
        split_group(run.state, key, group, false, journeys, repeated);
    run.state.groups.clear();
    run.state.opened.clear();
    run.done_keys.clear();
    run.state.last_group = nullptr;
    keep_journeys(run, journeys, repeated);
}

// One input to its end: a thread of its own reads it and takes its lines
// apart while this one groups the rows and writes journeys.
void read_to_end(run_t &run, input &in)
{
    line_reader reader(in.fd, BATCH_BYTES, run.state.names);
    line_batch batch;
    bool ok = true;
    while (reader.next_batch(batch)) {
        ok = ok && take_lines(run, in, batch.lines, 0);
        if (batch.error) {
            fprintf(stderr, "%s: %s: %s\n", PROGRAM, shown_name_of(run, in.source).c_str(), strerror(batch.error));
            ok = false;
        }
        if (run.state.rows_read - run.rows_at_last_look >=
            std::max<uint64_t>(ROWS_BETWEEN_LOOKS, run.state.opened.size()))
            make_done_journeys(run);
    }
    end_input(run, in, ok);
}

// Each input to its end, one after the other. Journeys are written as they
// are done only while the last input is read: one read later may hold
// journeys that start earlier.
void read_all(run_t &run, std::vector<input> &inputs)
{
    // Hosts to join wait for every input: until then no journey is known
    // to stand alone.
    bool joining = run.join.hosts.size() > 1;
    // Room for the keys remembered, made once rather than grown (each growth moves every key).
    run.state.groups.reserve(KEYS_REMEMBERED_MAX);
    for (size_t i = 0; i < inputs.size(); i++) {
        run.writing_early = i + 1 == inputs.size() && !joining;
        if (open_input(run, inputs[i]))
            read_to_end(run, inputs[i]);
        make_all_journeys(run);
        run.join.host_of_source.resize(run.state.sources.size(), inputs[i].host);
    }
}

// --follow: every input side by side until all have ended, SIGINT or
// SIGTERM stops the reading, or the output fails. The first signal only
// asks for the stop (a second ends the program at once); the two are
// blocked only between the look at that request and the wait that lets
// them in, so none comes unseen just before a wait.
void follow_all(run_t &run, std::vector<input> &inputs)
{
    sigset_t stops, waiting;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    for (input &in : inputs)
        open_input(run, in);
    bool busy = false; // a regular file gave data: look again at once
    for (;;) {
        sigprocmask(SIG_BLOCK, &stops, &waiting);
        if (stop_signal || run.output_failed) {
            sigprocmask(SIG_SETMASK, &waiting, nullptr);
            break;
        }
        std::vector<pollfd> fds;
        std::vector<input *> polled;
        bool any_open = false, files = false;
        for (input &in : inputs) {
            if (!in.open)
                continue;
            any_open = true;
            if (in.regular) {
                files = true;
                continue;
            }
            fds.push_back({in.fd, POLLIN, 0});
            polled.push_back(&in);
        }
        if (!any_open) {
            sigprocmask(SIG_SETMASK, &waiting, nullptr);
            break;
        }
        int wait_ms = busy ? 0 : std::max(1, run.set.quiet_ms / 4);
        if (files && wait_ms > FILE_POLL_MS)
            wait_ms = FILE_POLL_MS;
        timespec timeout{wait_ms / 1000, long(wait_ms % 1000) * 1000000};
        int ready = ppoll(fds.data(), fds.size(), &timeout, &waiting);
        sigprocmask(SIG_SETMASK, &waiting, nullptr);
        busy = false;
        if (ready < 0 && errno != EINTR) {
            fprintf(stderr, "%s: poll: %s\n", PROGRAM, strerror(errno));
            run.status = 1;
            break;
        }
        for (size_t i = 0; ready > 0 && i < fds.size(); i++)
            if (fds[i].revents)
                read_chunk(run, *polled[i]);
        for (input &in : inputs)
            if (in.open && in.regular && !stop_signal)
                busy |= read_chunk(run, in) == read_result::data;
        write_quiet_journeys(run, false);
    }
    // Stopped: what was read of each input still open is read as a whole trace.
    for (input &in : inputs)
        if (in.open)
            finish_input(run, in);
    // A signal while the last journeys are written ends the program.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

// --- The page -----------------------------------------------------------

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the file at path begins as a page this program writes.
bool is_our_page(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char head[512];
    ssize_t n = read(fd, head, sizeof(head));
    close(fd);
    std::string_view text(head, n > 0 ? size_t(n) : 0);
    return text.substr(0, 15) == "<!DOCTYPE html>" &&
           text.find("<title>vn_bpf_net_report: packet journeys</title>") != std::string_view::npos;
}

// Why the page may not be written to set.html, or "". The page never
// replaces an input (by name, or the same file by another name or on
// standard input), nor an existing file that is no page of this program:
// in `--html trace.txt` with no other name the trace's name was taken for
// the page's, and standard input would be read instead.
std::string page_refusal(const settings &set)
{
    struct stat page;
    bool exists = stat(set.html.c_str(), &page) == 0;
    for (const std::string &file : set.files) {
        struct stat st;
        bool same = file == set.html;
        if (!same && exists)
            same = file == "-" ? fstat(0, &st) == 0 && same_file(st, page)
                               : stat(file.c_str(), &st) == 0 && same_file(st, page);
        if (same)
            return "the page would overwrite the input " + (file == "-" ? "standard input" : shown_text(file, true));
    }
    if (!exists)
        return "";
    if (S_ISDIR(page.st_mode))
        return "is a directory";
    if (S_ISREG(page.st_mode) && page.st_size > 0 && !is_our_page(set.html))
        return std::string("exists and is no page of ") + PROGRAM +
               ": not overwritten (--html takes the page's own name: --html OUT.html TRACE...)";
    return "";
}

bool write_all(int fd, const std::string &text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// Writes the page over the file at path; an error number, or 0.
int write_in_place(const std::string &path, const std::string &page)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    int error = write_all(fd, page) ? 0 : errno ? errno : EIO;
    if (close(fd) != 0 && !error)
        error = errno;
    return error;
}

// The page goes to a new file beside the target, which replaces it only
// once the page is whole, with the target's mode (a file we may not write
// stays as it is). Where no file can be made beside it, and for a target
// that is no regular file (/dev/null, a pipe), it is written in place.
void write_page(run_t &run, const std::string &page)
{
    const std::string &name = run.set.html;
    struct stat st;
    bool exists = stat(name.c_str(), &st) == 0;
    int error = 0;
    char *resolved = exists ? realpath(name.c_str(), nullptr) : nullptr;
    std::string target = resolved ? resolved : name;
    free(resolved);
    std::string temp = target + ".XXXXXX";
    int fd = -1;
    if (exists && access(target.c_str(), W_OK) != 0)
        error = errno;
    else if (exists && !S_ISREG(st.st_mode))
        error = write_in_place(target, page);
    else if ((fd = mkstemp(temp.data())) < 0)
        error = write_in_place(target, page);
    else {
        mode_t mask = umask(0);
        umask(mask);
        errno = 0;
        if (fchmod(fd, exists ? st.st_mode & 07777 : 0666 & ~mask) != 0 || !write_all(fd, page))
            error = errno ? errno : EIO;
        if (close(fd) != 0 && !error)
            error = errno;
        if (!error && rename(temp.c_str(), target.c_str()) != 0)
            error = errno;
        if (error)
            unlink(temp.c_str());
    }
    if (error) {
        fprintf(stderr, "%s: %s: cannot write the page: %s\n", PROGRAM, shown_text(name, true).c_str(), strerror(error));
        run.status = 1;
    }
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
    for (made_journey &m : run.made)
        (m.repeated ? repeated : journeys).push_back(std::move(m.j));
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
    std::vector<const journey *> kept;
    std::vector<const joined_journey *> kept_joined;
    if (run.set.json)
        append_json_clocks(run.out, join);
    else
        append_clock_lines(run.out, join);
    if (!run.set.json && !run.set.detail && run.inputs_read > 0)
        append_text_header(run.out);
    run.header_written = true;
    for (const auto &[j, repeated] : order) {
        auto part = join.part_of.find(j);
        if (part != join.part_of.end()) {
            // Written once, where the packet's first part is.
            const joined_journey &jj = join.joined[part->second];
            if (jj.sent == j)
                write_joined(run, jj);
            if (jj.sent == j && joined_matches(run.state, jj, run.set.filter))
                kept_joined.push_back(&jj);
            continue;
        }
        write_journey(run, *j, repeated);
        if (!repeated && journey_matches(run.state, *j, run.set.filter))
            kept.push_back(j);
        if (run.out.size() > READ_CHUNK)
            flush_out(run);
    }
    if (!run.set.html.empty() && run.inputs_read > 0)
        write_page(run, html_page(run.state, kept, run.totals, kept_joined, &join));
}

// Without --follow: the journeys not written yet, in start order, then the page.
void write_report(run_t &run)
{
    if (run.join.hosts.size() > 1) {
        write_joined_report(run);
        return;
    }
    if (!run.set.json && !run.set.detail && run.inputs_read > 0 && !run.header_written) {
        append_text_header(run.out);
        run.header_written = true;
    }
    write_made(run, 0, true);
    // No page of nothing: when no input could be read there is none to show.
    if (!run.set.html.empty() && run.inputs_read > 0) {
        std::vector<const journey *> kept;
        for (const journey &j : run.page_journeys)
            kept.push_back(&j);
        write_page(run, html_page(run.state, kept, run.totals));
    }
}

// --flow: HOST, HOST:PORT or :PORT.
std::string parse_flow(const std::string &text, journey_filter &filter)
{
    size_t colon = text.find(':');
    std::string_view host = std::string_view(text).substr(0, colon);
    if (!host.empty()) {
        if (!parse_ipv4(host, filter.host))
            return "the host must be a dotted-decimal IPv4 address: " + shown_text(text);
        filter.by_host = true;
    }
    if (colon != std::string::npos) {
        std::string_view port = std::string_view(text).substr(colon + 1);
        auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), filter.port);
        if (ec != std::errc() || end != port.data() + port.size() || filter.port == 0)
            return "the port must be 1 to 65535: " + shown_text(text);
        filter.by_port = true;
    }
    if (!filter.by_host && !filter.by_port)
        return "give HOST, HOST:PORT or :PORT";
    return "";
}

// --slower-than: microseconds in decimal, 0 up to what nanoseconds in
// int64_t hold, read exactly: digits past the nanosecond are dropped (a
// journey's time is a whole number of nanoseconds, so "longer than" is the
// same with and without them).
std::string parse_slower_than(const std::string &text, journey_filter &filter)
{
    std::string refusal = "a number of microseconds, 0 to 9223372036854775.807: " + shown_text(text);
    size_t point = text.find('.');
    std::string_view whole = std::string_view(text).substr(0, point), fraction;
    if (point != std::string::npos)
        fraction = std::string_view(text).substr(point + 1);
    if ((whole.empty() && fraction.empty()) || whole.find_first_not_of("0123456789") != std::string_view::npos ||
        fraction.find_first_not_of("0123456789") != std::string_view::npos)
        return refusal;
    uint64_t us = 0, ns = 0;
    if (!whole.empty()) {
        auto [end, ec] = std::from_chars(whole.data(), whole.data() + whole.size(), us);
        if (ec != std::errc() || end != whole.data() + whole.size())
            return refusal;
    }
    for (size_t i = 0; i < 3; i++)
        ns = ns * 10 + (i < fraction.size() ? uint64_t(fraction[i] - '0') : 0);
    if (us > (uint64_t(INT64_MAX) - ns) / 1000)
        return refusal;
    filter.slower_than_ns = int64_t(us * 1000 + ns);
    return "";
}

// The inputs and their hosts: those of --host first, then the plain files,
// each named by its base name. A file given twice (by any name) is one
// host's. Returns an exit status when the hosts cannot be named, else -1.
int name_hosts(run_t &run, bool plain_files, std::vector<input> &inputs)
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
        if (eq == std::string::npos || !valid_host_name(name)) {
            fprintf(stderr, "bad host name: %s\n", shown_text(name, true).c_str());
            return 2;
        }
        entries.push_back({name, arg.substr(eq + 1), true});
    }
    if (plain_files || set.hosts.empty())
        for (const std::string &file : set.files)
            entries.push_back({host_name_of_file(file), file, false});
    std::vector<std::pair<struct stat, uint32_t>> known; // files seen, and their hosts
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
        if (e.named && same != UINT32_MAX && named != same) {
            fprintf(stderr, "%s: %s is the trace of %s: it cannot be the trace of %s too\n", PROGRAM,
                    shown_text(e.file, true).c_str(), shown_text(run.join.hosts[same]).c_str(), e.name.c_str());
            return 2;
        }
        if (e.named && by_name != run.join.hosts.end())
            host = named;
        if (host == UINT32_MAX) {
            std::string name = e.name;
            for (int n = 2; !e.named && std::count(run.join.hosts.begin(), run.join.hosts.end(), name); n++)
                name = e.name + "-" + std::to_string(n);
            run.join.hosts.push_back(name);
            host = uint32_t(run.join.hosts.size() - 1);
        }
        if (found)
            known.push_back({st, host});
        set.files.push_back(e.file);
        inputs.push_back({});
        inputs.back().name = e.file;
        inputs.back().host = host;
    }
    return -1;
}

// Standard output once nothing more will be written to it; false when what
// was written did not all arrive.
bool close_stdout(run_t &run)
{
    flush_out(run);
    if (fclose(stdout) != 0 && !run.output_failed)
        output_error(run, errno);
    return !run.output_failed;
}

} // namespace

int main(int argc, char **argv)
{
    run_t run;
    settings &set = run.set;
    CLI::App app{"Reads traces of vn_bpf_net_monitor: one journey per packet, how it ended, and the "
                 "latency of each stage.",
                 PROGRAM};
    std::string flow, slower_than;
    app.add_option("files", set.files, "trace files; - or none for standard input");
    app.add_flag("--json", set.json, "JSON Lines (schema 1): a line per journey, then per stage, then a summary");
    auto *html = app.add_option("--html", set.html,
                                "also write a self-contained HTML page to this file (never over an input)");
    app.add_option("--flow", flow, "only journeys from or to HOST and/or PORT: HOST, HOST:PORT or :PORT")
        ->check([&](const std::string &text) { return parse_flow(text, set.filter); });
    app.add_flag("--dropped", set.filter.dropped_only,
                 "only journeys the kernel dropped: a table's drop verdict or a drop reason");
    app.add_option("--slower-than", slower_than, "only journeys that took longer (microseconds)")
        ->check([&](const std::string &text) { return parse_slower_than(text, set.filter); });
    auto *detail = app.add_flag("--detail", set.detail,
                                "each journey the filters keep hop by hop: its rows' steps, CPUs, devices and "
                                "the time since the hop before (pick one with --flow or --start)");
    app.add_option("--start", set.filter.start_ns, "only the journey that starts at this time (START_NS, ns)")
        ->each([&](const std::string &) { set.filter.by_start = true; });
    auto *hosts = app.add_option("--host", set.hosts,
                                 "one host's trace, NAME=FILE (NAME: 1 to 32 of A-Z a-z 0-9 . _ -); traces of "
                                 "several hosts are joined, or refused when they share no traffic both ways")
                      ->allow_extra_args(false);
    auto *follow = app.add_flag("--follow", set.follow,
                                "write each journey once its packet has been quiet for --quiet-ms; read a "
                                "regular file on as it grows, until SIGINT or SIGTERM");
    app.add_option("--quiet-ms", set.quiet_ms, "with --follow: quiet time in milliseconds (default 500)")
        ->check(CLI::Range(1, 3600 * 1000));
    follow->excludes(html);
    follow->excludes(hosts);
    detail->excludes("--json");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int status = app.exit(e);
        return close_stdout(run) ? status : std::max(status, 1);
    }
    std::vector<input> inputs;
    int refused = name_hosts(run, app.count("files") > 0, inputs);
    if (refused >= 0)
        return close_stdout(run) ? refused : 1;
    if (!set.html.empty()) {
        std::string refusal = page_refusal(set);
        if (!refusal.empty()) {
            fprintf(stderr, "%s: --html %s: %s\n", PROGRAM, shown_text(set.html, true).c_str(), refusal.c_str());
            return 1;
        }
    }

    if (set.follow) {
        if (!set.json && !set.detail) {
            append_text_header(run.out);
            flush_out(run);
        }
        follow_all(run, inputs);
        write_quiet_journeys(run, true);
    } else {
        read_all(run, inputs);
        write_report(run);
    }
    // No report of nothing: when no input could be read there is none.
    if ((set.follow || run.inputs_read > 0) && !run.refused) {
        if (set.json)
            append_json_summary(run.out, run.state, run.totals);
        else
            append_summary(run.out, run.state, run.totals);
    }
    close_stdout(run);
    // Stopped by a signal, all written: end by that signal, as a shell expects.
    if (stop_signal && run.status == 0)
        raise(stop_signal);
    return run.status;
}
