// What reading a trace costs: vn_bpf_net_report on a 1,000,000-row TCP
// trace, in text and in JSON, against `mawk '{print $3}'` of the same file
// (a fast awk reading every line and writing a column of it). The three run
// in turn, round after round, and the median round of each counts: only
// their ratio, the rows per second and each one's peak resident memory are
// reported. The reader's peak memory is also measured on a trace twice as
// long: it holds the journeys still open, the keys it remembers and the
// stages' samples, all bounded, so it stays the same.
//
// The trace is written by the monitor's own renderer: SYNs from two CPUs,
// 17 rows each (table walks, transmit and receive path, listener lookup),
// each CPU's rows in order and the two CPUs' blocks interleaved as the perf
// rings deliver them.
// Usage: report_bench REPORT_BINARY WORK_DIR [ROWS [keep]]
// ("keep" leaves the trace in WORK_DIR, for a profiler). BENCH_BASELINE=PATH
// adds another build of the reader to the same rounds, in text and JSON.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "trace_output.h"

namespace {

const char *const SYN_PATH[] = {
    "ipt_do_table",     "ret_ipt_do_table",        "ip_output",          "ip_finish_output",
    "ip_finish_output2", "__dev_queue_xmit",       "dev_hard_start_xmit", "__netif_receive_skb",
    "__netif_receive_skb_one_core", "ip_rcv",      "ip_local_deliver",   "ipt_do_table",
    "ret_ipt_do_table", "ip_local_deliver_finish", "tcp_v4_rcv",         "__inet_lookup_listener",
    "tcp_v4_do_rcv",
};
constexpr size_t PATH_ROWS = sizeof(SYN_PATH) / sizeof(SYN_PATH[0]);

data_t syn_row(unsigned packet, size_t step)
{
    data_t r;
    memset(&r, 0, sizeof(r));
    r.func_info.rcv_ts = 5000000000ull + packet * 400000ull + step * (40000 + packet % 13 * 1000);
    strcpy(r.func_info.func_name, SYN_PATH[step]);
    strcpy(r.net_data.net_dev_name, step < 3 ? "nil" : step < 7 ? "veth0" : "veth1");
    const uint8_t a[6] = {0x72, 0x5f, 0xec, 0xc7, 0x84, 0xb8}, b[6] = {0x3a, 0xb1, 0x20, 0x6d, 0xb5, 0x2e};
    if (step >= 6)
        memcpy(r.eth_data.smac, a, 6), memcpy(r.eth_data.dmac, b, 6);
    inet_pton(AF_INET, "198.18.0.1", &r.ip_data.saddr);
    inet_pton(AF_INET, "198.18.0.2", &r.ip_data.daddr);
    r.ip_data.protocol = PROTO_TCP;
    r.tcp_data.source = htons(uint16_t(32768 + packet % 28000));
    r.tcp_data.dst = htons(5302);
    r.tcp_data.seq = htonl(1464773421u + packet * 7919u);
    r.ipt_data.hook = step < 7 ? 3 : 1;
    strcpy(r.ipt_data.table_name, "filter");
    r.ipt_data.verdict = 1;
    r.sock_data.sk_state = step == 15 ? 10 : 13;
    return r;
}

// Writes the trace through the renderer into memory (its fsync per row is
// free there), then into the file.
void write_trace(const std::string &path, size_t rows)
{
    int memory = memfd_create("trace", 0);
    trace_fd = memory;
    trace_filter = {0, PROTO_TCP, 0};
    write_trace_header(PROTO_TCP);
    size_t written = 0;
    constexpr unsigned BLOCK = 8; // packets per CPU between two deliveries
    for (unsigned first = 0; written < rows; first += 2 * BLOCK)
        for (int cpu = 0; cpu < 2; cpu++)
            for (unsigned p = first + unsigned(cpu); p < first + 2 * BLOCK && written < rows; p += 2)
                for (size_t step = 0; step < PATH_ROWS && written < rows; step++, written++) {
                    data_t r = syn_row(p, step);
                    handle_trace_event(nullptr, cpu, &r, sizeof(r));
                }
    int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    off_t size = lseek(memory, 0, SEEK_END), offset = 0;
    while (offset < size && sendfile(out, memory, &offset, size_t(size - offset)) > 0) {
    }
    close(out);
    close(memory);
}

struct run_cost {
    double seconds;
    double cpu_seconds; // user and system, over all its threads
    long peak_kb;       // the process's peak resident memory
};

// Wall time, CPU time and peak memory of one run with its output thrown away.
run_cost cost_of(const std::vector<std::string> &argv)
{
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "report_bench: %s failed\n", argv[0].c_str());
        exit(1);
    }
    auto seconds_of = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
            seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime), usage.ru_maxrss};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: report_bench REPORT_BINARY WORK_DIR [ROWS [keep]]\n");
        return 2;
    }
    std::string report = argv[1], trace = std::string(argv[2]) + "/report_bench.trace",
                long_trace = std::string(argv[2]) + "/report_bench_long.trace";
    size_t rows = argc > 3 ? size_t(atol(argv[3])) : 1000000;
    write_trace(trace, rows);
    write_trace(long_trace, rows * 2);
    struct stat st;
    stat(trace.c_str(), &st);

    constexpr int ROUNDS = 7;
    std::vector<std::vector<std::string>> runs = {
        {"mawk", "{print $3}", trace}, {report, trace}, {report, "--json", trace}};
    std::vector<std::string> names = {"`mawk '{print $3}'`", "`vn_bpf_net_report` (text)",
                                      "`vn_bpf_net_report --json`"};
    const char *baseline = getenv("BENCH_BASELINE");
    if (baseline && *baseline) {
        runs.push_back({baseline, trace});
        runs.push_back({baseline, "--json", trace});
        names.push_back("baseline build (BENCH_BASELINE), text");
        names.push_back("baseline build (BENCH_BASELINE), `--json`");
    }
    std::vector<std::vector<double>> seconds(runs.size()), cpu_seconds(runs.size());
    std::vector<long> peak(runs.size());
    for (int round = 0; round < ROUNDS; round++)
        for (size_t i = 0; i < runs.size(); i++) {
            run_cost c = cost_of(runs[i]);
            seconds[i].push_back(c.seconds);
            cpu_seconds[i].push_back(c.cpu_seconds);
            peak[i] = std::max(peak[i], c.peak_kb);
        }
    // The median of each side, and of each round's ratio (both sides of a ratio ran within a second).
    // The reader cuts lines on a second thread: its CPU time is shown beside its wall time.
    std::vector<double> ratio(runs.size()), cpu_ratio(runs.size());
    for (size_t i = 0; i < runs.size(); i++) {
        std::vector<double> per_round, cpu_per_round;
        for (int round = 0; round < ROUNDS; round++) {
            per_round.push_back(seconds[i][round] / seconds[0][round]);
            cpu_per_round.push_back(cpu_seconds[i][round] / seconds[0][round]);
        }
        ratio[i] = median(per_round);
        cpu_ratio[i] = median(cpu_per_round);
    }
    std::vector<long> long_peak;
    for (size_t i = 1; i < runs.size(); i++) {
        std::vector<std::string> argv = runs[i];
        argv.back() = long_trace;
        long_peak.push_back(cost_of(argv).peak_kb);
    }

    printf("| reading a trace of %zu TCP rows (%.0f MB), median of %d interleaved rounds | rows/s | time vs `mawk "
           "'{print $3}'` | CPU time vs mawk's time | peak memory | peak memory, %zu rows |\n",
           rows, double(st.st_size) / 1e6, ROUNDS, rows * 2);
    printf("|---|---|---|---|---|---|\n");
    for (size_t i = 0; i < runs.size(); i++) {
        printf("| %s | %.2f million | %.2fx | %.2fx | %.1f MiB |", names[i].c_str(),
               double(rows) / median(seconds[i]) / 1e6, ratio[i], cpu_ratio[i], double(peak[i]) / 1024);
        if (i == 0)
            printf(" - |\n");
        else
            printf(" %.1f MiB |\n", double(long_peak[i - 1]) / 1024);
    }
    if (argc < 5 || strcmp(argv[4], "keep") != 0)
        unlink(trace.c_str());
    unlink(long_trace.c_str());
    return 0;
}
