// The fault phase: the trace on a full file system, a monitor killed
// mid-trace, a failed poll with the sanitizer build's leak check, and memory
// over a long run.
#include <algorithm>
#include "report_lines.h"

namespace {

// ---- the fault phase ---------------------------------------------------------
//
// Every monitor of this phase traces -P icmp on the same pings to HOST_B:
// `reference` throughout, `killed` until a SIGKILL in the middle of a ping
// stream, `full` into a tmpfs with 8 KiB left, `memory` over a long run,
// `epipe` into a pipe whose reader left after the header, and
// `poll_fail` (on the host's architecture also the sanitizer builds
// `leak_check` and `leak_kept`) until lab_fault fails one of its epoll waits.
// Last, `lost` traces -P udp on a load of its own port while stopped.

const std::string poll_failure = "error perf_buffer__poll, err: -9.\n";
const std::string pipe_failure = "write trace failed, errno: 32\n";
const std::string error_log_path = "/var/vorna-helmsight/monitor/vn_bpf_net_monitor/vn_bpf_net_monitor_err.log";

// The ping runs of the phase, in the order faults.sh sends them.
enum FaultPing { fill, stream, while_full, after_free, flood, fault_pings };

struct FaultPhase {
    Phase ph;
    std::vector<unsigned> ids;         // echo identifier of each ping run
    std::vector<std::string> failing;  // the monitors whose poll failed
    std::map<std::string, std::map<std::string, long>> rss;  // moment -> field -> KiB
};

const FaultPhase& faults()
{
    static const FaultPhase f = [] {
        FaultPhase f;
        f.failing = {"poll_fail"};
        if (env("LAB_LEAK_CHECK") == "1")
            f.failing.insert(f.failing.end(), {"leak_check", "leak_kept"});
        std::vector<std::string> names = {"reference", "killed", "full", "memory", "lost", "epipe"};
        names.insert(names.end(), f.failing.begin(), f.failing.end());
        f.ph = read_phase(env("LAB_RESULTS"), "faults", names);
        for (const auto& p : f.ph.packets)
            if (p.proto == 1 && p.a == 8 && p.dip == lab()["HOST_B"] &&
                std::find(f.ids.begin(), f.ids.end(), p.c) == f.ids.end())
                f.ids.push_back(p.c);
        // "ready VmRSS: 2324 kB RssAnon: 272 kB ..."
        for (const auto& line : lines_of(read_file(f.ph.dir + "/memory.rss"))) {
            std::stringstream ss(line);
            std::string moment, field, unit;
            long kib;
            ss >> moment;
            while (ss >> field >> kib >> unit)
                f.rss[moment][field.substr(0, field.size() - 1)] = kib;
        }
        return f;
    }();
    return f;
}

std::string raw_trace(const Monitor& m) { return read_file(m.trace_path); }

// The path the guest gave with -o, as the monitor saw it.
std::string guest_trace_path(const Monitor& m)
{
    std::vector<std::string> words;
    std::stringstream ss(m.args);
    for (std::string w; ss >> w;)
        words.push_back(w);
    return option(words, "-o");
}

int rows_of_ping(const std::vector<Row>& rows, unsigned id, const std::string& func = "", int type = -1)
{
    int n = 0;
    for (const auto& r : rows)
        n += r.c == id && (func.empty() || r.func == func) && (type < 0 || (int)r.a == type);
    return n;
}

// Rows without their TIME, by the CPU whose ring delivered them, in the
// order written: each monitor has its own probes and stamps, but the same
// calls on a CPU give it the same rows in the same order.
std::map<int, std::vector<std::string>> rows_by_cpu(const Monitor& m)
{
    std::map<int, std::vector<std::string>> out;
    for (const auto& r : m.rows)
        out[r.cpu].push_back(r.without_time());
    return out;
}

// A monitor that ended early wrote, on every CPU, exactly the first rows that
// one running on wrote: none missing in between, none extra, none cut.
testing::AssertionResult prefix_on_every_cpu(const Monitor& part, const Monitor& whole)
{
    auto p = rows_by_cpu(part), w = rows_by_cpu(whole);
    for (const auto& [cpu, rows] : p) {
        const auto& all = w[cpu];
        for (size_t i = 0; i < rows.size(); i++) {
            if (i >= all.size())
                return testing::AssertionFailure() << part.name << " has " << rows.size() << " rows on CPU " << cpu
                                                   << ", " << whole.name << " only " << all.size();
            if (rows[i] != all[i])
                return testing::AssertionFailure() << part.name << " row " << i << " on CPU " << cpu << ":\n  "
                                                   << rows[i] << "\n" << whole.name << " has:\n  " << all[i];
        }
    }
    return testing::AssertionSuccess();
}

// The full file system's trace, split where the space ran out. `cut` is what
// the file held of the line that reached the limit, `glued` that line as it
// ended up; every other line is in `rows` or, out of layout, in `bad`. (A cut
// line is told by where it lies, not by its look: one cut in OTHER_INFO with
// a row after it has every column in place.)
struct FullTrace {
    std::string raw, at_limit, cut, glued;
    std::vector<Row> rows;
    std::vector<std::string> bad;
};

FullTrace full_trace(const FaultPhase& f)
{
    FullTrace t;
    const Monitor& m = f.ph.monitor("full");
    t.raw = raw_trace(m);
    t.at_limit = read_file(f.ph.dir + "/full.at_limit");
    size_t head = t.at_limit.rfind('\n') + 1;  // 0 when there is no line feed at all
    t.cut = t.at_limit.substr(head);
    size_t pos = 0;
    for (int n = 0; pos < t.raw.size(); n++) {
        size_t end = t.raw.find('\n', pos);
        end = end == std::string::npos ? t.raw.size() : end;
        std::string line = t.raw.substr(pos, end - pos);
        Row r;
        if (!t.cut.empty() && pos == head)
            t.glued = line;
        else if (n > 0 && parse_row(line, *m.layout, r))
            t.rows.push_back(r);
        else if (n > 0)
            t.bad.push_back(line);
        pos = end + 1;
    }
    return t;
}

TEST(FullFileSystem, RowsThatDoNotFitAreLostAndTracingGoesOnOnceThereIsSpace)
{
    const FaultPhase& f = faults();
    ASSERT_EQ(f.ids.size(), (size_t)fault_pings) << "the phase's ping runs are not all in the capture";
    const Monitor& m = f.ph.monitor("full");
    const Monitor& ref = f.ph.monitor("reference");
    EXPECT_EQ(m.alive, "1") << "the monitor ended on a full file system";
    EXPECT_EQ(m.status, "143");
    EXPECT_EQ(m.stderr_text, "") << "a failed row write is not reported";
    EXPECT_EQ(m.header, ref.header);
    FullTrace t = full_trace(f);
    // Nothing written is ever rewritten, and the file ends with a whole line.
    EXPECT_EQ(t.raw.compare(0, t.at_limit.size(), t.at_limit), 0);
    ASSERT_FALSE(t.raw.empty());
    EXPECT_EQ(t.raw.back(), '\n');
    EXPECT_TRUE(t.bad.empty()) << t.bad.front();
    EXPECT_GT(rows_of_ping(t.rows, f.ids[fill]), 0);
    // Rows of the pings sent while the file system was full are lost, not
    // kept back for later.
    EXPECT_EQ(rows_of_ping(t.rows, f.ids[stream]), 0);
    EXPECT_EQ(rows_of_ping(t.rows, f.ids[while_full]), 0);
    // Once the filler is gone, the next pings' rows are all there.
    EXPECT_GT(rows_of_ping(t.rows, f.ids[after_free], "icmp_rcv", 8), 0) << "no echo request after space came back";
    EXPECT_GT(rows_of_ping(t.rows, f.ids[after_free], "icmp_rcv", 0), 0) << "no echo reply after space came back";
    EXPECT_EQ(rows_of_ping(t.rows, f.ids[after_free]), rows_of_ping(ref.rows, f.ids[after_free]));
    // Every whole row is one that the reference wrote too.
    std::multiset<std::string> all = rows_without_time(ref);
    for (const auto& r : t.rows)
        EXPECT_TRUE(all.count(r.without_time())) << r.line;
}

// What the kernel does with the row that reaches the limit: tmpfs writes the
// part that fits and the write returns short. The monitor takes that part
// back, so the row is lost whole, the file ends with a whole line, and the
// first row written once there is space again starts a line of its own.
TEST(FullFileSystem, TheRowThatDoesNotFitIsLostWholeAndLeavesNoCutLine)
{
    const FaultPhase& f = faults();
    ASSERT_EQ(f.ids.size(), (size_t)fault_pings);
    FullTrace t = full_trace(f);
    ASSERT_FALSE(t.at_limit.empty());
    EXPECT_LE(t.at_limit.size(), 8192u);
    // Whole rows up to the last one that fit: less than a row (at most 299
    // bytes) short of full.
    EXPECT_GT(t.at_limit.size(), 8192u - 300u) << "the trace stopped before the file system was full";
    EXPECT_EQ(t.at_limit.back(), '\n') << "a cut row stayed in the file: " << t.cut;
    EXPECT_EQ(t.glued, "") << "a row was appended to a cut one";
}

TEST(Kill, AKilledMonitorLeavesWholeRowsTheSameAsARunningOnesUpToTheKill)
{
    const FaultPhase& f = faults();
    ASSERT_EQ(f.ids.size(), (size_t)fault_pings);
    const Monitor& m = f.ph.monitor("killed");
    const Monitor& ref = f.ph.monitor("reference");
    EXPECT_EQ(m.status, "137") << "not ended by the SIGKILL";
    std::string raw = raw_trace(m);
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ(raw.back(), '\n') << "the last row is cut";
    EXPECT_EQ(m.header, ref.header);
    EXPECT_TRUE(m.bad_lines.empty()) << m.bad_lines.front();
    EXPECT_TRUE(prefix_on_every_cpu(m, ref));
    // Killed while the stream's rows flowed: some written, not all.
    EXPECT_GT(rows_of_ping(m.rows, f.ids[stream]), 0);
    EXPECT_LT(rows_of_ping(m.rows, f.ids[stream]), rows_of_ping(ref.rows, f.ids[stream]));
    EXPECT_EQ(rows_of_ping(m.rows, f.ids[while_full]), 0);
}

TEST(PollFailure, TheFailureIsReportedTheRowsStayAndBothDescriptorsAreClosed)
{
    const FaultPhase& f = faults();
    ASSERT_EQ(f.ids.size(), (size_t)fault_pings);
    const Monitor& ref = f.ph.monitor("reference");
    // The pipe's monitor ended before any poll was made to fail.
    std::string expected_log = pipe_failure;
    for (const auto& name : f.failing) {
        SCOPED_TRACE(name);
        const Monitor& m = f.ph.monitor(name);
        expected_log += poll_failure;
        // leak_check's status is also LeakSanitizer's verdict: held below.
        if (name != "leak_check") {
            EXPECT_EQ(m.status, "3");
        }
        EXPECT_EQ(m.alive, "0") << "still running after the failed poll";
        EXPECT_EQ(m.stderr_text.substr(0, poll_failure.size()), poll_failure);
        EXPECT_EQ(m.stdout_text, "");
        // The rows written before the failure stay, whole.
        std::string raw = raw_trace(m);
        ASSERT_FALSE(raw.empty());
        EXPECT_EQ(raw.back(), '\n');
        EXPECT_TRUE(m.bad_lines.empty()) << m.bad_lines.front();
        EXPECT_GT(rows_of_ping(m.rows, f.ids[fill]), 0);
        EXPECT_EQ(rows_of_ping(m.rows, f.ids[stream]), 0) << "rows after the failure";
        EXPECT_TRUE(prefix_on_every_cpu(m, ref));
        // lab_fault failed one wait, then saw the exit path close the trace
        // file and the error log.
        std::vector<std::string> log = lines_of(read_file(f.ph.dir + "/" + name + ".fault"));
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log[0].rfind("failed epoll wait ", 0), 0u) << log[0];
        std::set<std::string> closed;
        for (const auto& line : log)
            if (line.rfind("close ", 0) == 0)
                closed.insert(line.substr(line.find(' ', 6) + 1));
        EXPECT_TRUE(closed.count(guest_trace_path(m))) << "the trace file was not closed";
        EXPECT_TRUE(closed.count(error_log_path)) << "the error log was not closed";
    }
    // Each failure is in the error log too, the same bytes.
    EXPECT_EQ(f.ph.error_log, expected_log);
}

// SIGPIPE ignored, the reader gone: the first row fails with EPIPE, and the
// run ends with one message (on standard error and in the error log, held
// above) and status 4 instead of tracing into nowhere.
TEST(TracePipe, ATraceWhoseReaderIsGoneEndsTheRun)
{
    const Monitor& m = faults().ph.monitor("epipe");
    EXPECT_EQ(m.status, "4");
    EXPECT_EQ(m.alive, "0") << "still tracing into a pipe without a reader";
    EXPECT_EQ(m.stderr_text, pipe_failure);
    EXPECT_EQ(m.stdout_text.rfind("TIME ", 0), 0u) << "the reader did not get the header: " << m.stdout_text;
}

// The sanitizer build, amd64 (the host's architecture) only: it is built on
// the host, and the guest of the other architecture cannot run it.
TEST(LeakCheck, LeakSanitizerFindsNothingAfterTheFailedPoll)
{
    const Monitor& m = faults().ph.monitor("leak_check");
    EXPECT_EQ(m.status, "3") << "LeakSanitizer or AddressSanitizer changed the exit status";
    EXPECT_EQ(m.stderr_text, poll_failure) << "a sanitizer reported something";
}

// LeakSanitizer counts what a global still points to as kept; with globals
// not scanned it reports all of that. The perf buffer is kept on purpose and
// shows (so the report works); the per-CPU seed records, freed on the exit
// path, must not.
TEST(LeakCheck, TheSeedRecordsAreFreedNotMerelyStillPointedTo)
{
    const Monitor& m = faults().ph.monitor("leak_kept");
    EXPECT_EQ(m.status, "3");
    EXPECT_EQ(m.stderr_text.substr(0, poll_failure.size()), poll_failure);
    EXPECT_NE(m.stderr_text.find("LeakSanitizer: detected memory leaks"), std::string::npos) << m.stderr_text;
    EXPECT_NE(m.stderr_text.find(" in open_perf_buffer "), std::string::npos)
        << "the kept perf buffer is not in the report: its stacks do not reach the monitor's frames";
    EXPECT_EQ(m.stderr_text.find("seed_cpu_records"), std::string::npos) << m.stderr_text;
    EXPECT_EQ(m.stderr_text.find("ERROR: AddressSanitizer"), std::string::npos) << m.stderr_text;
}

// A leak lands in anonymous memory (heap, stack, anonymous maps), counted in
// 4 KiB pages. Measured from "warm" (after the earlier phases' traffic has
// touched the monitor's paths once) to the end of the long run, whose rows
// all come after it. The smallest heap block (32 bytes) lost per row would
// add rows * 32 bytes; the bound is half of that, and never below 64 KiB
// (sixteen pages: the heap's top moving, a page of stack touched late are
// no leak; one run on arm64 6.12 grew 68 KiB from "ready" over 16820 rows).
// The whole resident set may grow by the perf rings on top of that: on 6.12
// each ring page (one header and 8 data pages per CPU) counts once the
// monitor has read it (6.1 does not count them).
TEST(Memory, TheResidentSetStaysFlatOverAFewThousandPackets)
{
    const FaultPhase& f = faults();
    ASSERT_EQ(f.ids.size(), (size_t)fault_pings);
    const Monitor& m = f.ph.monitor("memory");
    EXPECT_EQ(m.alive, "1");
    EXPECT_EQ(m.status, "143");
    EXPECT_TRUE(m.bad_lines.empty()) << m.bad_lines.front();
    int packets = 0;
    for (const auto& p : f.ph.packets)
        packets += p.proto == 1 && p.c == f.ids[flood];
    EXPECT_GE(packets, 2000) << "the long run was cut short";
    int rows = rows_of_ping(m.rows, f.ids[flood]);
    EXPECT_GE(rows, 4096) << "the monitor wrote too few rows in the long run";
    for (const char* moment : {"ready", "warm", "end"})
        for (const char* field : {"VmRSS", "RssAnon"})
            ASSERT_GT(f.rss.count(moment) ? f.rss.at(moment).count(field) : 0u, 0u) << moment << " " << field;
    long anon = f.rss.at("end").at("RssAnon") - f.rss.at("warm").at("RssAnon");
    long all = f.rss.at("end").at("VmRSS") - f.rss.at("warm").at("VmRSS");
    long bound = std::max(64L, rows * 16L / 1024);
    long rings = std::stol(lab()["CPUS"]) * (1 + 8) * 4;
    EXPECT_LT(anon, bound) << "KiB more anonymous memory after " << rows << " rows";
    EXPECT_LT(all, bound + rings) << "KiB more resident after " << rows << " rows";
}

// A loss the starved monitor wrote into its trace: N samples of CPU C lost
// between the times T1 and T2 (ns, the rows' clock).
struct LostWindow {
    long samples = 0;
    int cpu = -1;
    long long from = 0, to = 0;
};

std::vector<LostWindow> lost_windows(const Monitor& m)
{
    std::vector<LostWindow> out;
    for (const auto& line : m.remarks) {
        if (line.rfind("# lost ", 0) != 0)
            continue;
        LostWindow w;
        char tail = 0;
        EXPECT_EQ(sscanf(line.c_str(), "# lost %ld samples on CPU %d between %lld and %lld%c", &w.samples, &w.cpu,
                         &w.from, &w.to, &tail),
                  4)
            << line;
        EXPECT_GT(w.samples, 0) << line;
        EXPECT_GE(w.cpu, 0) << line;
        EXPECT_LE(w.from, w.to) << line;
        out.push_back(w);
    }
    return out;
}

// Stopped (SIGSTOP) under a UDP load of its port and continued: its rings
// overflow. Every packet of the load crosses the probes on its way, and
// nothing else crossed the link meanwhile, so each probe hit the kernel
// counted is a sample emitted (the table walk's twice: entry and return).
// Each one is either a row or counted in a loss line of the trace; none is
// silent.
TEST(LostSamples, EverySampleEmittedIsARowOrReportedLost)
{
    const FaultPhase& f = faults();
    const Monitor& m = f.ph.monitor("lost");
    EXPECT_EQ(m.alive, "1");
    EXPECT_TRUE(m.bad_lines.empty()) << m.bad_lines.front();
    long lost = 0;
    auto windows = lost_windows(m);
    for (const auto& w : windows)
        lost += w.samples;
    EXPECT_GT(windows.size(), 0u) << "nothing reported lost by a monitor stopped under load";
    // Standard error tells the same losses, in its own words, and nothing else.
    expect_holes_told_alike(m);
    EXPECT_EQ(m.stderr_text, "");
    long emitted = f.ph.hit("ipt_do_table"), skipped = 0;
    for (const auto& [func, hits] : f.ph.hits)
        emitted += hits;
    for (const auto& [label, n] : m.skipped_runs)
        skipped += n;
    for (const auto& r : m.rows)
        EXPECT_TRUE(r.a == m.port || r.b == m.port) << r.line;
    EXPECT_GT(m.rows.size(), 0u);
    // The last loss has no sample after it: only the monitor's way out has
    // the kernel tell it.
    EXPECT_EQ((long)m.rows.size() + lost + skipped, emitted)
        << m.rows.size() << " rows, " << lost << " reported lost, " << skipped << " runs skipped, " << emitted
        << " probe hits";
}

// A packet whose rows may lie in a lost window is not known to have ended
// where its last row stands: the reader says it was not seen to the end.
TEST(LostSamples, EveryJourneyThatMeetsALostWindowIsNotSeenToTheEnd)
{
    const Monitor& m = faults().ph.monitor("lost");
    auto windows = lost_windows(m);
    ASSERT_GT(windows.size(), 0u);
    int met = 0, journeys = 0;
    for (const auto& j : journeys_of(m)) {
        if (j["kind"] != "journey")
            continue;
        journeys++;
        long long from = j["start_ns"], to = from + j["duration_ns"].get<long long>();
        bool meets = std::any_of(windows.begin(), windows.end(),
                                 [&](const LostWindow& w) { return from <= w.to && to >= w.from; });
        if (!meets)
            continue;
        met++;
        EXPECT_EQ(text_of(j, "class"), "not_seen") << j.dump().substr(0, 300);
        EXPECT_EQ(text_of(j, "ending"), "not seen to the end (samples lost)") << j.dump().substr(0, 300);
        EXPECT_EQ(j["dropped"], false);
    }
    RecordProperty("journeys_meeting_a_loss", std::to_string(met) + " of " + std::to_string(journeys));
    EXPECT_GT(met, 0) << "no journey of " << journeys << " meets a lost window";
}

}  // namespace
