// The monitor: command line, start-up checks, loading the kernel probes,
// seeding the per-CPU records, then polling the perf buffer until it fails.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "trace_output.h"
#include "vn_bpf_net_monitor.skel.h"

struct cmd_args_t {
    std::string save_file;
    std::string host;
    std::string protocol;
    uint16_t port;
};

static cmd_args_t cmd_args;
static int err_log_fd = -1;
static int data_map_fd = -1;
static struct perf_buffer *perf_buf;
// The loaded object lives until the process ends, like the perf buffer.
static vn_bpf_net_monitor_bpf *skel;
static int cpu_count;
static int **cpu_keys;
static data_t **cpu_records;

static const char DATA_DIR[] = "/var/vorna-helmsight/monitor/vn_bpf_net_monitor/";
static const char ERR_LOG[] = "/var/vorna-helmsight/monitor/vn_bpf_net_monitor/vn_bpf_net_monitor_err.log";

enum exit_status {
    EXIT_STARTUP = 1,
    EXIT_ALLOC = 2,
    EXIT_KERNEL_OBJECT = 3,
};

// A failure message goes whole to standard error, and the same bytes to the
// error log in one write, so concurrent runs never interleave inside it.
static void report_error(const std::string &message)
{
    ssize_t ignored = write(STDERR_FILENO, message.data(), message.size());
    ignored = write(err_log_fd, message.data(), message.size());
    (void)ignored;
}

[[noreturn]] static void startup_failure()
{
    if (trace_fd != -1)
        close(trace_fd);
    if (err_log_fd != -1)
        close(err_log_fd);
    exit(EXIT_STARTUP);
}

static void startup_check(const cmd_args_t &args, trace_filter_t &filter)
{
    if (mkdir(DATA_DIR, 0700) != 0 && errno != EEXIST) {
        perror((std::string("mkdir ") + DATA_DIR + " failed:").c_str());
        startup_failure();
    }
    // Without its final slash: stat of "file/" fails with ENOTDIR and would
    // hide the very case this check is for.
    const std::string dir_path(DATA_DIR, sizeof(DATA_DIR) - 2);
    struct stat st;
    if (stat(dir_path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        std::cerr << DATA_DIR << "not is a dir." << std::endl;
        startup_failure();
    }
    err_log_fd = open(ERR_LOG, O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (err_log_fd == -1) {
        perror((std::string("open ") + ERR_LOG + " failed:").c_str());
        startup_failure();
    }

    filter.addr = 0;
    if (!args.host.empty()) {
        int converted = inet_pton(AF_INET, args.host.c_str(), &filter.addr);
        if (converted == 0) {
            report_error("host[" + args.host +
                         "] is not a valid network address in the specified address family(ipv4).\n");
            startup_failure();
        }
        if (converted < 0) {
            report_error("host addr:" + std::to_string(errno) + "\n");
            startup_failure();
        }
    }

    if (args.protocol == "icmp") {
        if (args.port != 0) {
            report_error("this protocol[" + args.protocol + "] don't need port.\n");
            startup_failure();
        }
        filter.proto = PROTO_ICMP;
    } else if (args.protocol == "tcp") {
        filter.port = args.port;
        filter.proto = PROTO_TCP;
    } else if (args.protocol == "udp") {
        filter.proto = PROTO_UDP;
        filter.port = args.port;
    } else {
        report_error("this protocol[" + args.protocol + "] is not supported.\n");
        startup_failure();
    }

    if (!args.save_file.empty()) {
        trace_fd = open(args.save_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (trace_fd == -1) {
            report_error("open " + args.save_file + " failed, errno: " + std::to_string(errno));
            startup_failure();
        }
    }

    if (write_trace_header(filter.proto) <= 0)
        startup_failure();
}

static int get_cpu_count()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    if (!cpuinfo.is_open()) {
        report_error("open /proc/cpuinfo failed.\n");
        return 0;
    }
    int count = 0;
    std::string line;
    while (std::getline(cpuinfo, line))
        if (line.find("processor") != std::string::npos)
            count++;
    return count;
}

// A symbol of a module shows as "addr t name\t[module]": a substring test
// finds it there as in the kernel's own symbols.
static bool kallsyms_contains(const char *name)
{
    FILE *kallsyms = fopen("/proc/kallsyms", "r");
    if (!kallsyms)
        return false;
    char line[256] = {0};
    while (fgets(line, sizeof(line), kallsyms)) {
        if (strstr(line, name)) {
            fclose(kallsyms);
            return true;
        }
    }
    fclose(kallsyms);
    return false;
}

static void load_probes()
{
    skel = vn_bpf_net_monitor_bpf__open();
    if (!skel) {
        report_error("Failed to open bpf skel.\n");
        exit(EXIT_KERNEL_OBJECT);
    }
    // Without the iptables module loaded there is no ipt_do_table to probe,
    // and one missing function would fail the whole attachment.
    if (!kallsyms_contains("ipt_do_table")) {
        bpf_program__set_autoload(skel->progs.trace_ipt_do_table, false);
        bpf_program__set_autoload(skel->progs.trace_ret_ipt_do_table, false);
    }
    if (vn_bpf_net_monitor_bpf__load(skel) != 0) {
        vn_bpf_net_monitor_bpf__destroy(skel);
        report_error("Failed to load bpf skel.\n");
        exit(EXIT_KERNEL_OBJECT);
    }
    if (vn_bpf_net_monitor_bpf__attach(skel) != 0) {
        report_error("Failed to open bpf skel.\n");
        exit(EXIT_KERNEL_OBJECT);
    }
}

static void open_perf_buffer()
{
    perf_buf = perf_buffer__new(bpf_map__fd(skel->maps.events), 8, handle_trace_event, nullptr,
                                nullptr, nullptr);
    if (libbpf_get_error(perf_buf)) {
        report_error("Failed to create perf buffer.\n");
        exit(EXIT_KERNEL_OBJECT);
    }
}

// Probes emit only on CPUs that have a record, so the trace starts here.
// The records are zero-filled: fields no probe writes reach every row as
// seeded, and must not carry heap garbage.
static void seed_cpu_records()
{
    if (cpu_count <= 0)
        return;
    cpu_keys = static_cast<int **>(calloc(cpu_count, sizeof(*cpu_keys)));
    cpu_records = static_cast<data_t **>(calloc(cpu_count, sizeof(*cpu_records)));
    if (!cpu_keys || !cpu_records) {
        report_error("can not alloc net_data_t struct.\n");
        exit(EXIT_ALLOC);
    }
    for (int i = 0; i < cpu_count; i++) {
        cpu_keys[i] = static_cast<int *>(malloc(sizeof(int)));
        cpu_records[i] = static_cast<data_t *>(calloc(1, sizeof(data_t)));
        if (!cpu_keys[i] || !cpu_records[i]) {
            report_error("can not alloc net_data_t struct.\n");
            exit(EXIT_ALLOC);
        }
        *cpu_keys[i] = i;
        bpf_map_update_elem(data_map_fd, cpu_keys[i], cpu_records[i], BPF_ANY);
    }
}

// Runs until a poll fails. A stop and continue of the process (job control)
// interrupts the wait with -EINTR; that is no failure, so tracing goes on.
static int poll_events()
{
    int err;
    do {
        err = perf_buffer__poll(perf_buf, 100);
    } while (err >= 0 || err == -EINTR);
    return err;
}

static void shut_down(int err)
{
    report_error("error perf_buffer__poll, err: " + std::to_string(err) + ".\n");
    for (int i = 0; i < cpu_count; i++) {
        free(cpu_keys[i]);
        free(cpu_records[i]);
    }
    close(trace_fd);
    close(err_log_fd);
    free(cpu_records);
    free(cpu_keys);
}

// Started with a standard descriptor closed, the first open() would take its
// number: the error log would become standard output and receive the trace.
static void keep_standard_descriptors_open()
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY); // takes the lowest free number: fd
}

int main(int argc, char **argv)
{
    keep_standard_descriptors_open();
    CLI::App app{"vorna trace net data tool", ""};
    app.add_option("-H", cmd_args.host, "monitor host address");
    app.add_option("-P", cmd_args.protocol, "protocol type, support [icmp\\udp\\tcp]")->required();
    app.add_option("-p", cmd_args.port, "tcp or udp port")->check(CLI::Range(1, 65535));
    app.add_option("-o", cmd_args.save_file, "monitor data save file");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e, std::cout, std::cerr);
    }

    startup_check(cmd_args, trace_filter);

    cpu_count = get_cpu_count();
    load_probes();
    open_perf_buffer();
    data_map_fd = bpf_map__fd(skel->maps.data_map);
    if (data_map_fd < 0) {
        report_error("Failed to get data map.\n");
        exit(EXIT_KERNEL_OBJECT);
    }
    seed_cpu_records();

    int err = poll_events();
    shut_down(err);
    // A failed poll ended the trace early: that is a perf buffer failure,
    // not a successful run.
    return EXIT_KERNEL_OBJECT;
}
