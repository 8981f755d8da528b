// Reading the inputs. Read to its end, an input is cut into lines on a
// thread of its own while this one groups the rows and makes journeys as
// their paths are done. With --follow the inputs are read side by side, a
// regular file on as it grows (as tail -f does), until they end or SIGINT
// or SIGTERM stops the reading.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "grouping.h"
#include "report_run.h"
#include "trace_rows.h"

volatile sig_atomic_t stop_signal = 0;

namespace {

// Read by the thread that cuts lines: a batch of lines it hands over at a
// time, small enough for the batches in flight to stay in the caches.
constexpr size_t BATCH_BYTES = 1 << 18;
// Reading a trace to its end, keys whose paths are done are made into
// journeys (and leave memory) every so many rows, at least as many as there
// are keys with rows: a look at each costs a row no more than one key's
// worth.
constexpr uint64_t ROWS_BETWEEN_LOOKS = 16384;
// Unreadable rows named on standard error per input; the rest are counted
// in one line at its end.
constexpr uint64_t UNREADABLE_NAMED = 3;
// --follow looks for data appended to a regular file this often at least.
constexpr int FILE_POLL_MS = 100;

void on_stop_signal(int sig)
{
    stop_signal = sig;
}

// An input's name in a message: as the text report shows trace texts.
std::string name_of(const run_t &run, const input &in)
{
    return shown_text(run.state.sources[in.source].name, true);
}

void say_of(const run_t &run, const input &in, const std::string &text)
{
    say(name_of(run, in), text);
}

bool refuse_input(run_t &run, const input &in)
{
    say_of(run, in, "not a trace (its first line is no trace header)");
    return false;
}

// An unreadable row: the first few of an input are named by their line.
void name_unreadable(run_t &run, input &in, uint64_t line_no, const std::string &why)
{
    if (++in.unreadable > UNREADABLE_NAMED)
        return;
    say(name_of(run, in) + ":" + std::to_string(line_no),
        "unreadable row (" + why + ")");
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
    take_parsed_line(run.state, in.source, in.line_no, line.kind, line.header, line.row, now, line.loss);
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
        say_of(run, in, std::to_string(in.unreadable) + " unreadable rows in all (the first " +
                            std::to_string(UNREADABLE_NAMED) + " named above)");
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
        say_of(run, in, "not a trace (it is empty)");
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
        say(shown_text(in.name, true), strerror(errno));
        run.status = 1;
        return false;
    }
    struct stat st;
    in.regular = fstat(in.fd, &st) == 0 && S_ISREG(st.st_mode);
    run.state.sources.push_back({is_stdin ? "standard input" : in.name, 0, {}, 0});
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
        say_of(run, in, strerror(got.error));
        close_input(run, in, false);
        return read_result::ended;
    }
    if (got.end) {
        struct stat st;
        if (in.regular && fstat(in.fd, &st) == 0 && st.st_size < lseek(in.fd, 0, SEEK_CUR)) {
            // Cut short (a new trace written over it): read it again from its start, as tail -f does.
            say_of(run, in, "file truncated, read from its start again");
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
            say_of(run, in, strerror(batch.error));
            ok = false;
        }
        if (run.state.rows_read - run.rows_at_last_look >=
            std::max<uint64_t>(ROWS_BETWEEN_LOOKS, run.state.opened.size()))
            make_done_journeys(run);
    }
    end_input(run, in, ok);
}

} // namespace

int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
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
            say("poll", strerror(errno));
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

