// The monitor: command line, start-up checks, loading the kernel probes,
// seeding the per-CPU records, then polling the perf buffer until it fails.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <bpf/bpf.h>
#include <bpf/btf.h>
#include <bpf/libbpf.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "probe_selection.h"
#include "trace_layout.h"
#include "trace_output.h"
#include "vn_bpf_net_monitor.skel.h"

struct cmd_args_t {
    std::string save_file;
    std::string host;
    std::string protocol;
    uint16_t port;
    bool packet_columns;
    bool ipv6;
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

// Samples the kernel dropped because a CPU's ring was full, by CPU, and how
// many of them standard error has been told of.
struct lost_count_t {
    unsigned long long dropped, reported;
};
static lost_count_t *lost_counts;
static struct timespec last_loss_report;

static const char DATA_DIR[] = "/var/vorna-helmsight/monitor/vn_bpf_net_monitor/";
static const char ERR_LOG[] = "/var/vorna-helmsight/monitor/vn_bpf_net_monitor/vn_bpf_net_monitor_err.log";

enum exit_status {
    EXIT_STARTUP = 1,
    EXIT_ALLOC = 2,
    EXIT_KERNEL_OBJECT = 3,
    EXIT_TRACE_LOST = 4,
};

// SIGINT or SIGTERM that asked the loop to end; 0 while none has.
static volatile sig_atomic_t stop_signal;

// A failure message goes whole to standard error, and the same bytes to the
// error log in one write, so concurrent runs never interleave inside it.
static void report_error(const std::string &message)
{
    ssize_t ignored = write(STDERR_FILENO, message.data(), message.size());
    ignored = write(err_log_fd, message.data(), message.size());
    (void)ignored;
}

// libbpf's message as one entry of the error log. Its lines after the first
// start with a tab, so no line of it (a verifier log, names from the kernel's
// BTF) can pass for an entry of its own; bytes a terminal would act on are
// escaped as the trace escapes names, blanks kept.
static std::string libbpf_entry(const char *text, size_t n)
{
    while (n > 0 && text[n - 1] == '\n')
        n--;
    if (n == 0)
        return "";
    std::string entry;
    for (size_t i = 0; i < n; i++) {
        char escaped[trace_layout::ESCAPED_BYTE_LEN];
        if (text[i] == '\n')
            entry += "\n\t";
        else if (text[i] == ' ')
            entry += ' ';
        else
            entry.append(escaped, trace_layout::escape_text(escaped, &text[i], 1));
    }
    return entry + "\n";
}

// libbpf says why a load or attach failed: its warnings go where the
// monitor's own failures go, its notes to standard error alone, as libbpf
// would print them. There is no verbose setting to ask for its debug output.
static int print_libbpf_message(enum libbpf_print_level level, const char *format, va_list args)
{
    if (level == LIBBPF_DEBUG)
        return 0;
    char *text;
    int n = vasprintf(&text, format, args);
    if (n < 0)
        return n;
    std::string entry = libbpf_entry(text, size_t(n));
    free(text);
    if (entry.empty())
        return n;
    if (level == LIBBPF_WARN) {
        report_error(entry);
    } else {
        ssize_t ignored = write(STDERR_FILENO, entry.data(), entry.size());
        (void)ignored;
    }
    return n;
}

[[noreturn]] static void startup_failure()
{
    if (trace_fd != -1)
        close(trace_fd);
    if (err_log_fd != -1)
        close(err_log_fd);
    exit(EXIT_STARTUP);
}

// Root writes the trace where others may have planted a name: a symlink is
// never followed, a FIFO or device never blocks nor takes the trace, and a
// file linked elsewhere is refused, all before anything is truncated. The
// trace holds the whole host's packet metadata: root's alone, mode 0600,
// whoever owned the file before.
static void open_trace_file(const std::string &path)
{
    auto fail = [&path](const std::string &why) {
        report_error("open " + path + why);
        startup_failure();
    };
    trace_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    struct stat st;
    if (trace_fd == -1 || fstat(trace_fd, &st) != 0)
        fail(" failed, errno: " + std::to_string(errno));
    if (!S_ISREG(st.st_mode))
        fail(" refused, not a regular file\n");
    if (st.st_nlink > 1)
        fail(" refused, " + std::to_string(st.st_nlink) + " links to it\n");
    if (fchown(trace_fd, geteuid(), getegid()) != 0 || fchmod(trace_fd, 0600) != 0 ||
        ftruncate(trace_fd, 0) != 0 || fcntl(trace_fd, F_SETFL, 0) != 0)
        fail(" failed, errno: " + std::to_string(errno));
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
    filter.has_addr6 = false;
    // An IPv6 address asks for an IPv6 trace as -6 does.
    bool host6 = !args.host.empty() && inet_pton(AF_INET6, args.host.c_str(), filter.addr6) == 1;
    trace_ipv6 = args.ipv6 || host6;
    if (!args.host.empty() && trace_ipv6) {
        if (!host6) {
            report_error("host[" + args.host +
                         "] is not a valid network address in the specified address family(ipv6).\n");
            startup_failure();
        }
        filter.has_addr6 = true;
    } else if (!args.host.empty()) {
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
        filter.proto = trace_ipv6 ? PROTO_ICMPV6 : PROTO_ICMP;
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

    if (!args.save_file.empty())
        open_trace_file(args.save_file);
    trace_packet_columns = args.packet_columns;

    if (write_trace_header(filter.proto) <= 0) {
        report_error("write trace header failed, errno: " + std::to_string(errno) + "\n");
        startup_failure();
    }
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

// Every CPU id the kernel may ever run a probe on: /proc/cpuinfo lists online
// CPUs only, so with one offline (hotplug, maxcpus=) the CPUs numbered above
// it would get no record and their packets would silently never show.
static int count_cpu_records()
{
    int possible = libbpf_num_possible_cpus();
    return possible > 0 ? possible : get_cpu_count();
}

static const char SYMBOL_LIST[] = "/proc/kallsyms";
static const char BTF_DIR[] = "/sys/kernel/btf/";

// Scripts look for "Failed to open bpf skel."; the line before it says why.
[[noreturn]] static void kernel_object_not_opened(const std::string &why)
{
    report_error(why);
    report_error("Failed to open bpf skel.\n");
    exit(EXIT_KERNEL_OBJECT);
}

// What the running kernel says about itself: which probed functions its
// symbols name and the BTF of their prototypes.
static kernel_view_t read_running_kernel()
{
    kernel_view_t kernel;
    kernel.symbols_known = read_kernel_symbols(SYMBOL_LIST, kernel.functions);
    struct utsname uts;
    if (uname(&uts) == 0)
        kernel.modules_known = read_module_list(
            (std::string("/lib/modules/") + uts.release + "/modules.dep").c_str(), kernel.modules_on_disk);
    struct btf *vmlinux = btf__load_vmlinux_btf();
    if (libbpf_get_error(vmlinux))
        return kernel;
    kernel.vmlinux = vmlinux;
    for (const auto &p : probe_points()) {
        if (!p.module)
            continue;
        struct btf *module = btf__load_module_btf(p.module, vmlinux);
        if (!libbpf_get_error(module))
            kernel.modules[p.module] = module;
    }
    return kernel;
}

// The drop reasons of the kernel and of its subsystems, these named in the
// kernel's BTF or in that of a module loaded now (openvswitch, mac80211),
// each module's read and let go in turn.
static void name_drop_reasons(const struct btf *vmlinux)
{
    kernel_names.drop_reasons = read_drop_reasons(vmlinux);
    drop_reason_names_t subsystems = read_drop_subsystems(vmlinux);
    if (subsystems.empty())
        return;
    if (DIR *dir = opendir(BTF_DIR)) {
        while (struct dirent *entry = readdir(dir)) {
            if (entry->d_name[0] == '.' || strcmp(entry->d_name, "vmlinux") == 0)
                continue;
            struct btf *module = btf__parse_split((std::string(BTF_DIR) + entry->d_name).c_str(),
                                                  const_cast<struct btf *>(vmlinux));
            if (libbpf_get_error(module))
                continue;
            add_subsystem_drop_reasons(module, subsystems, kernel_names.drop_reasons);
            btf__free(module);
        }
        closedir(dir);
    }
    std::string notice = drop_subsystems_notice(subsystems, kernel_names.drop_reasons);
    if (!notice.empty())
        std::cerr << notice << std::endl;
}

// Loads only the programs that fit the running kernel; each probe point that
// cannot be traced is told in one line on standard error (not an error: the
// rest is traced).
static void select_programs()
{
    kernel_view_t kernel = read_running_kernel();
    std::set<std::string> chosen;
    for (const auto &c : choose_probes(kernel, trace_ipv6 ? TRACE_IPV6 : TRACE_IPV4)) {
        if (!c.notice.empty())
            std::cerr << c.notice << std::endl;
        if (!c.program)
            continue;
        chosen.insert(c.program->program);
        if (c.point->return_program)
            chosen.insert(c.point->return_program);
    }
    // Drop rows name the reason (the kernel names the code that dropped).
    if (chosen.count("trace_kfree_skb"))
        name_drop_reasons(kernel.vmlinux);
    for (const auto &[name, module] : kernel.modules)
        btf__free(const_cast<struct btf *>(module));
    btf__free(const_cast<struct btf *>(kernel.vmlinux));
    struct bpf_program *prog;
    bpf_object__for_each_program(prog, skel->obj)
        bpf_program__set_autoload(prog, chosen.count(bpf_program__name(prog)) > 0);
    bpf_program__set_autoload(skel->progs.tell_pending_losses, true);
    // Drop rows alone would say where packets ended, never where they went.
    if (chosen.empty() || (chosen.size() == 1 && chosen.count("trace_kfree_skb")))
        kernel_object_not_opened("no probe point of this kernel can be traced\n");
}

// The skeleton's own attach, a program at a time, so that a failure names
// the probe point the kernel refused.
static void attach_probes()
{
    const struct bpf_object_skeleton *s = skel->skeleton;
    for (int i = 0; i < s->prog_cnt; i++) {
        struct bpf_program *prog = *s->progs[i].prog;
        if (!bpf_program__autoload(prog) || prog == skel->progs.tell_pending_losses)
            continue;
        struct bpf_link *link = bpf_program__attach(prog);
        long err = libbpf_get_error(link);
        if (err)
            kernel_object_not_opened(std::string("attach ") + bpf_program__section_name(prog) +
                                     " failed, errno: " + std::to_string(-err) + "\n");
        *s->progs[i].link = link;
    }
}

static void load_probes()
{
    skel = vn_bpf_net_monitor_bpf__open();
    if (!skel)
        kernel_object_not_opened("opening the kernel object failed, errno: " + std::to_string(errno) + "\n");
    select_programs();
    skel->rodata->trace_ipv6 = trace_ipv6;
    if (!trace_ipv6 && cmd_args.port && trace_filter.proto != PROTO_ICMP) {
        skel->rodata->count6_protocol = uint8_t(trace_filter.proto);
        skel->rodata->count6_port = cmd_args.port;
    }
    if (vn_bpf_net_monitor_bpf__load(skel) != 0) {
        vn_bpf_net_monitor_bpf__destroy(skel);
        report_error("Failed to load bpf skel.\n");
        exit(EXIT_KERNEL_OBJECT);
    }
    attach_probes();
}

// Called inside the poll when a ring tells of samples it had no room for.
static void count_lost_samples(void *, int cpu, __u64 count)
{
    if (cpu >= 0 && cpu < cpu_count)
        lost_counts[cpu].dropped += count;
    note_lost_samples(cpu, count);
}

// The probes' clock (bpf_ktime_get_ns).
static uint64_t monotonic_ns()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000000ULL + uint64_t(now.tv_nsec);
}

// How long a program may take from reading the time to writing its sample,
// with room to spare under emulation.
constexpr uint64_t SAMPLE_WRITE_NS = 2ull * 1000 * 1000;

// A trace with holes must not look complete: one line per CPU that lost
// samples since the last report, at most once a second; on the way out
// (ALWAYS) whatever is left, whenever the last report was, and in the trace
// each loss no sample has followed, ending now (the probes' clock).
static void report_lost_samples(bool always)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t now_ns = uint64_t(now.tv_sec) * 1000000000ULL + uint64_t(now.tv_nsec);
    note_rings_read(now_ns);
    if (always)
        write_pending_sample_losses(now_ns);
    long long since = (now.tv_sec - last_loss_report.tv_sec) * 1000000000LL + (now.tv_nsec - last_loss_report.tv_nsec);
    if (!always && since < 1000000000LL)
        return;
    std::string lines;
    for (int i = 0; i < cpu_count; i++) {
        if (lost_counts[i].dropped == lost_counts[i].reported)
            continue;
        lines += "lost " + std::to_string(lost_counts[i].dropped - lost_counts[i].reported) + " samples on CPU " +
                 std::to_string(i) + "\n";
        lost_counts[i].reported = lost_counts[i].dropped;
    }
    if (lines.empty())
        return;
    last_loss_report = now;
    ssize_t ignored = write(STDERR_FILENO, lines.data(), lines.size());
    (void)ignored;
}

// The kernel writes a ring's count of lost samples only in front of the
// next sample it puts there: a marker on every CPU, once the rings are read,
// has it tell the losses no packet came after.
static void tell_pending_losses()
{
    int fd = bpf_program__fd(skel->progs.tell_pending_losses);
    for (int cpu = 0; cpu < cpu_count && fd >= 0; cpu++) {
        LIBBPF_OPTS(bpf_test_run_opts, run, .flags = BPF_F_TEST_RUN_ON_CPU, .cpu = __u32(cpu));
        bpf_prog_test_run_opts(fd, &run); // an offline CPU has no ring
    }
}

// A kprobe's program is not run when another probe's program is already
// running on that CPU: a softirq that comes in while a return probe's
// program runs in process context passes every probe unseen. The kernel
// counts each such hit for each program; the trace and standard error say
// how many, so that a trace with these holes does not look whole.
static void report_skipped_runs()
{
    std::string lines;
    struct bpf_program *prog;
    bpf_object__for_each_program(prog, skel->obj)
    {
        const char *label = program_label(bpf_program__name(prog));
        int fd = bpf_program__fd(prog);
        struct bpf_prog_info info = {};
        __u32 size = sizeof(info);
        if (!label || fd < 0 || bpf_obj_get_info_by_fd(fd, &info, &size) != 0 || !info.recursion_misses)
            continue;
        write_skipped_runs_line(label, info.recursion_misses);
        lines += skipped_runs_text(label, info.recursion_misses) + "\n";
    }
    ssize_t ignored = write(STDERR_FILENO, lines.data(), lines.size());
    (void)ignored;
}

static void open_perf_buffer()
{
    lost_counts = static_cast<lost_count_t *>(calloc(cpu_count > 0 ? cpu_count : 1, sizeof(*lost_counts)));
    if (!lost_counts) {
        report_error("can not alloc net_data_t struct.\n");
        exit(EXIT_ALLOC);
    }
    track_sample_losses(cpu_count);
    perf_buf = perf_buffer__new(bpf_map__fd(skel->maps.events), 8, queue_trace_event, count_lost_samples,
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
        // An IPv6 trace's records are IPv4's with the addresses after them.
        cpu_records[i] = static_cast<data_t *>(calloc(1, sizeof(data6_t)));
        if (!cpu_keys[i] || !cpu_records[i]) {
            report_error("can not alloc net_data_t struct.\n");
            exit(EXIT_ALLOC);
        }
        *cpu_keys[i] = i;
        bpf_map_update_elem(data_map_fd, cpu_keys[i], cpu_records[i], BPF_ANY);
    }
}

// A second signal, while the way out is under way (a row write that blocks
// on a stuck pipe), ends the process at once as it would without a handler.
static void on_stop_signal(int signo)
{
    if (stop_signal) {
        signal(signo, SIG_DFL);
        raise(signo);
        return;
    }
    stop_signal = signo;
}

// The handler only sets a flag (or ends the process, above): the signal cuts
// the poll's wait short (or the wait times out within 100 ms) and the loop
// ends on it. A signal the monitor was started with ignored (a background
// job of a script) stays so.
static void catch_stop_signals()
{
    for (int signo : {SIGINT, SIGTERM}) {
        struct sigaction old;
        if (sigaction(signo, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        struct sigaction sa = {};
        sa.sa_handler = on_stop_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(signo, &sa, nullptr);
    }
}

// Tracing into nowhere helps no one: a trace that can no longer be written
// ends the run.
[[noreturn]] static void end_with_trace_lost()
{
    report_lost_samples(true);
    report_error("write trace failed, errno: " + std::to_string(trace_lost_errno) + "\n");
    exit(EXIT_TRACE_LOST);
}

// An IPv4 trace of a port that ends with no row, while IPv6 packets of that
// port went by (curl to localhost goes to ::1 first): said on the way out,
// with all of them counted, so that the empty trace is not taken for no
// traffic.
static void tell_of_ipv6_packets()
{
    static bool told;
    if (told || trace_ipv6 || !skel->rodata->count6_port || trace_rows_written)
        return;
    int possible = libbpf_num_possible_cpus();
    if (possible <= 0)
        return;
    std::vector<uint64_t> counts(size_t(possible), 0);
    __u32 key = 0;
    if (bpf_map_lookup_elem(bpf_map__fd(skel->maps.ipv6_seen), &key, counts.data()) != 0)
        return;
    uint64_t seen = 0;
    for (uint64_t c : counts)
        seen += c;
    if (!seen)
        return;
    told = true;
    std::cerr << "no IPv4 packet to port " << cmd_args.port << "; " << seen
              << " IPv6 packets seen: trace them with -6" << std::endl;
}

// Ctrl-C or SIGTERM: what the rings hold is taken in once (its rows, and
// the kernel's counts of what it dropped, which come only as the ring is
// read), the samples lost since the last report are told, then the signal
// ends the process by its default action, so the exit status is the
// signal's as it always was.
[[noreturn]] static void end_by_signal(int signo)
{
    perf_buffer__consume(perf_buf);
    tell_pending_losses();
    perf_buffer__consume(perf_buf);
    handle_queued_trace_events();
    report_lost_samples(true);
    report_skipped_runs();
    tell_of_ipv6_packets();
    signal(signo, SIG_DFL);
    raise(signo);
    _exit(128 + signo); // not reached: the default action of both ends the process
}

// Runs until a poll fails or a stop signal comes. A stop and continue of the
// process (job control) interrupts the wait with -EINTR; that is no failure,
// so tracing goes on.
static int poll_events()
{
    int err = 0;
    while (!stop_signal && (err >= 0 || err == -EINTR)) {
        // Every sample made before the poll begins is in its ring by then:
        // those are taken, the later ones wait for the next poll. A
        // program's time is taken a moment before it writes its sample.
        uint64_t begun = monotonic_ns();
        err = perf_buffer__poll(perf_buf, 100);
        handle_queued_trace_events(begun > SAMPLE_WRITE_NS ? begun - SAMPLE_WRITE_NS : 0);
        if (trace_lost_errno)
            end_with_trace_lost();
        report_lost_samples(false);
    }
    handle_queued_trace_events(); // what waited, when a poll failed
    return err;
}

static void shut_down(int err)
{
    report_lost_samples(true);
    report_skipped_runs();
    tell_of_ipv6_packets();
    report_error("error perf_buffer__poll, err: " + std::to_string(err) + ".\n");
    for (int i = 0; i < cpu_count; i++) {
        free(cpu_keys[i]);
        free(cpu_records[i]);
    }
    close(trace_fd);
    close(err_log_fd);
    free(cpu_records);
    free(cpu_keys);
    free(lost_counts);
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
    libbpf_set_print(print_libbpf_message);
    CLI::App app{"vorna trace net data tool", ""};
    app.add_option("-H", cmd_args.host, "monitor host address");
    app.add_option("-P", cmd_args.protocol, "protocol type, support [icmp\\udp\\tcp]")->required();
    app.add_option("-p", cmd_args.port, "tcp or udp port")->check(CLI::Range(1, 65535));
    app.add_option("-o", cmd_args.save_file, "monitor data save file");
    app.add_flag("-N", cmd_args.packet_columns, "add each row's packet number and network namespace");
    app.add_flag("-6", cmd_args.ipv6, "trace IPv6 instead of IPv4 (-P icmp is ICMPv6)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e, std::cout, std::cerr);
    }

    startup_check(cmd_args, trace_filter);

    cpu_count = count_cpu_records();
    load_probes();
    open_perf_buffer();
    data_map_fd = bpf_map__fd(trace_ipv6 ? skel->maps.data6_map : skel->maps.data_map);
    if (data_map_fd < 0) {
        report_error("Failed to get data map.\n");
        exit(EXIT_KERNEL_OBJECT);
    }
    seed_cpu_records();
    start_buffer_numbers(); // its tables made now, not at the first row
    make_sample_queue();

    catch_stop_signals();
    int err = poll_events();
    if (stop_signal)
        end_by_signal(stop_signal);
    shut_down(err);
    // A failed poll ended the trace early: that is a perf buffer failure,
    // not a successful run.
    return EXIT_KERNEL_OBJECT;
}
