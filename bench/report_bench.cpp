// What reading a trace costs: vn_bpf_net_report on a 1,000,000-row TCP
// trace, in text and in JSON, against `wc -l` of the same file. The three
// run in turn, round after round, and the best round of each counts: only
// their ratio and the rows per second are reported.
//
// The trace is written by the monitor's own renderer: SYNs from two CPUs,
// 17 rows each (table walks, transmit and receive path, listener lookup),
// each CPU's rows in order and the two CPUs' blocks interleaved as the perf
// rings deliver them.
// Usage: report_bench REPORT_BINARY WORK_DIR [ROWS [keep]]
// ("keep" leaves the trace in WORK_DIR, for a profiler).
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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

// Wall time of one run with its output thrown away.
double seconds_of(const std::vector<std::string> &argv)
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
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "report_bench: %s failed\n", argv[0].c_str());
        exit(1);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: report_bench REPORT_BINARY WORK_DIR [ROWS]\n");
        return 2;
    }
    std::string report = argv[1], trace = std::string(argv[2]) + "/report_bench.trace";
    size_t rows = argc > 3 ? size_t(atol(argv[3])) : 1000000;
    write_trace(trace, rows);
    struct stat st;
    stat(trace.c_str(), &st);

    const std::vector<std::vector<std::string>> runs = {
        {"wc", "-l", trace}, {report, trace}, {report, "--json", trace}};
    std::vector<double> best(runs.size(), 1e9);
    for (int round = 0; round < 5; round++)
        for (size_t i = 0; i < runs.size(); i++)
            best[i] = std::min(best[i], seconds_of(runs[i]));

    printf("| reading a trace of %zu TCP rows (%.0f MB), best of 5 interleaved rounds | rows/s | time vs `wc -l` |\n",
           rows, double(st.st_size) / 1e6);
    printf("|---|---|---|\n");
    printf("| `wc -l` | %.2f million | 1x |\n", double(rows) / best[0] / 1e6);
    printf("| `vn_bpf_net_report` (text) | %.2f million | %.1fx |\n", double(rows) / best[1] / 1e6, best[1] / best[0]);
    printf("| `vn_bpf_net_report --json` | %.2f million | %.1fx |\n", double(rows) / best[2] / 1e6, best[2] / best[0]);
    if (argc < 5 || strcmp(argv[4], "keep") != 0)
        unlink(trace.c_str());
    return 0;
}
