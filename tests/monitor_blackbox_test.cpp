// The real binary, run as a user would run it (see run_monitor.h for how
// each case gets its own /var and /proc files).
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>

#include <cstring>

#include "run_monitor.h"

namespace {

// ---- command line ----------------------------------------------------------

TEST_F(Monitor, help_lists_the_options_on_stdout_and_exits_zero)
{
    for (const char *flag : {"-h", "--help"}) {
        run_result r = run({flag});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "vorna trace net data tool\n"
                         "Usage: " MONITOR_BIN " [OPTIONS]\n"
                         "\n"
                         "Options:\n"
                         "  -h,--help                   Print this help message and exit\n"
                         "  -H TEXT                     monitor host address\n"
                         "  -P TEXT REQUIRED            protocol type, support [icmp\\udp\\tcp]\n"
                         "  -p UINT:INT in [1 - 65535]  tcp or udp port\n"
                         "  -o TEXT                     monitor data save file\n"
                         "  -N                          add each row's packet number and network namespace\n"
                         "  -6                          trace IPv6 instead of IPv4 (-P icmp is ICMPv6)\n"
                         "\n");
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(exists(DATA_DIR));
    }
}

TEST_F(Monitor, bad_command_lines_end_with_the_parser_message_and_create_nothing)
{
    struct bad_case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const bad_case cases[] = {
        {{}, 106, "-P is required\n"},
        {{"-P", "tcp", "-p", "0"}, 105, "-p: Value 0 not in range 1 to 65535\n"},
        {{"-P", "tcp", "-p", "65536"}, 105, "-p: Value 65536 not in range 1 to 65535\n"},
        {{"-P", "tcp", "-p", "abc"}, 105, "-p: Value abc not in range 1 to 65535\n"},
        {{"-P", "tcp", "--host", "198.18.0.1"}, 109,
         "The following arguments were not expected: 198.18.0.1 --host\n"},
        {{"-P", "tcp", "extra"}, 109, "The following argument was not expected: extra\n"},
        {{"-P", "tcp", "-p"}, 114, "-p: 1 required UINT:INT in [1 - 65535] missing\n"},
    };
    for (const bad_case &c : cases) {
        std::string line;
        for (const std::string &a : c.args)
            line += a + " ";
        run_result r = run(c.args);
        EXPECT_EQ(r.status, c.status) << line;
        EXPECT_EQ(r.err, c.message + "Run with --help for more information.\n") << line;
        EXPECT_EQ(r.out, "") << line;
        EXPECT_FALSE(exists(DATA_DIR)) << line;
    }
}

TEST_F(Monitor, port_bounds_1_and_65535_are_accepted)
{
    for (const char *port : {"1", "65535"}) {
        run_result r = run({"-P", "udp", "-p", port});
        EXPECT_EQ(r.status, 3) << port;
        EXPECT_EQ(r.out, UDP_HEADER) << port;
    }
}

// ---- start-up ----------------------------------------------------------------

TEST_F(Monitor, a_valid_run_creates_its_directory_and_log_writes_the_header_and_reaches_attachment)
{
    run_result r = run({"-P", "tcp"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, TCP_HEADER);
    // The log holds libbpf's reason and the monitor's lines, as standard error ends.
    EXPECT_TRUE(ends_with_attach_failure(r.err)) << r.err;
    EXPECT_TRUE(attach_failures(read_file(ERR_LOG))) << read_file(ERR_LOG);
    EXPECT_TRUE(ends_with(r.err, read_file(ERR_LOG))) << r.err;
    EXPECT_EQ(mode_of(DATA_DIR), 0700u);
    EXPECT_EQ(mode_of(ERR_LOG), 0600u);
}

TEST_F(Monitor, each_protocol_gets_its_own_header)
{
    EXPECT_EQ(run({"-P", "icmp"}).out, ICMP_HEADER);
    EXPECT_EQ(run({"-P", "udp", "-p", "53"}).out, UDP_HEADER);
    EXPECT_EQ(run({"-P", "tcp", "-H", "198.18.0.1", "-p", "80"}).out, TCP_HEADER);
    // -N puts its two columns in and moves nothing else; the run ends as any other here.
    for (const std::string &header : {ICMP_HEADER, UDP_HEADER, TCP_HEADER}) {
        std::string protocol = header == ICMP_HEADER ? "icmp" : header == UDP_HEADER ? "udp" : "tcp";
        run_result r = run({"-N", "-P", protocol});
        std::string expected = header;
        expected.insert(header.find("INTERFACE") + 19, "NETNS       ");
        expected.insert(header.find("TRACE_INFO"), "PACKET   ");
        EXPECT_EQ(r.status, 3) << protocol;
        EXPECT_EQ(r.out, expected) << protocol;
        EXPECT_TRUE(ends_with_attach_failure(r.err)) << r.err;
    }
    // An IPv6 trace, asked for with -6 or by an IPv6 host, says so in its
    // address columns' labels and widths; nothing else moves.
    for (const std::string &header : {ICMP_HEADER, UDP_HEADER, TCP_HEADER}) {
        std::string protocol = header == ICMP_HEADER ? "icmp" : header == UDP_HEADER ? "udp" : "tcp";
        std::string expected = header;
        expected.replace(header.find("SIP"), 38, "SIP6" + std::string(37, ' ') + "DIP6" + std::string(37, ' '));
        for (const std::vector<std::string> &args : {std::vector<std::string>{"-6", "-P", protocol},
                                                      {"-P", protocol, "-H", "2001:db8::1"},
                                                      {"-P", protocol, "-6", "-H", "::ffff:198.18.0.1"}}) {
            run_result r = run(args);
            EXPECT_EQ(r.status, 3) << protocol;
            EXPECT_EQ(r.out, expected) << protocol;
            EXPECT_TRUE(ends_with_attach_failure(r.err)) << r.err;
        }
    }
}

TEST_F(Monitor, an_existing_data_directory_is_accepted_as_it_is)
{
    ASSERT_EQ(mkdir(DATA_DIR.c_str(), 0755), 0);
    run_result r = run({"-P", "icmp"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, ICMP_HEADER);
    EXPECT_EQ(mode_of(DATA_DIR), 0755u);
}

TEST_F(Monitor, a_missing_parent_directory_is_reported_by_mkdir_on_stderr_only)
{
    ASSERT_EQ(rmdir(PARENT_DIR.c_str()), 0);
    run_result r = run({"-P", "tcp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "mkdir " + DATA_DIR + " failed:: No such file or directory\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(exists(PARENT_DIR));
}

TEST_F(Monitor, a_regular_file_at_the_directory_path_is_refused)
{
    std::string path = DATA_DIR.substr(0, DATA_DIR.size() - 1);
    write_file(path, "not a directory");
    run_result r = run({"-P", "tcp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, DATA_DIR + "not is a dir.\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(path), "not a directory");
}

TEST_F(Monitor, an_error_log_that_cannot_be_opened_is_reported_by_its_path)
{
    ASSERT_EQ(mkdir(DATA_DIR.c_str(), 0700), 0);
    bind_over(DATA_DIR, DATA_DIR);
    ASSERT_EQ(mount(nullptr, DATA_DIR.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    run_result r = run({"-P", "tcp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "open " + ERR_LOG + " failed:: Read-only file system\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(exists(ERR_LOG));
}

TEST_F(Monitor, invalid_hosts_are_reported_on_stderr_and_in_the_log)
{
    for (const char *host : {"300.1.1.1", "::1 ", "localhost", "198.18.0.1 ", " 198.18.0.1", "198.18.1",
                             "2001:db8::1::2", "[::1]", "fe80::1%lo"}) {
        run_result r = run({"-P", "tcp", "-H", host});
        std::string message = std::string("host[") + host +
                              "] is not a valid network address in the specified address family(ipv4).\n";
        EXPECT_EQ(r.status, 1) << host;
        EXPECT_EQ(r.err, message) << host;
        EXPECT_EQ(r.out, "") << host;
        EXPECT_TRUE(ends_with(read_file(ERR_LOG), message)) << host;
    }
    // With -6 an IPv4 address is no host of the trace.
    for (const char *host : {"198.18.0.1", "::1 ", "2001:db8::g"}) {
        run_result r = run({"-6", "-P", "udp", "-H", host});
        std::string message = std::string("host[") + host +
                              "] is not a valid network address in the specified address family(ipv6).\n";
        EXPECT_EQ(r.status, 1) << host;
        EXPECT_EQ(r.err, message) << host;
        EXPECT_EQ(r.out, "") << host;
        EXPECT_TRUE(ends_with(read_file(ERR_LOG), message)) << host;
    }
}

TEST_F(Monitor, any_host_address_means_every_host)
{
    run_result r = run({"-P", "tcp", "-H", "0.0.0.0"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, TCP_HEADER);
    EXPECT_TRUE(attach_failures(read_file(ERR_LOG))) << read_file(ERR_LOG);
}

TEST_F(Monitor, icmp_with_a_port_is_refused_before_the_trace_file_is_touched)
{
    std::string trace = IO_DIR + "/trace";
    write_file(trace, "old trace\n");
    run_result r = run({"-P", "icmp", "-p", "80", "-o", trace});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "this protocol[icmp] don't need port.\n");
    EXPECT_EQ(read_file(ERR_LOG), r.err);
    EXPECT_EQ(read_file(trace), "old trace\n");
    run({"-P", "icmp", "-p", "80", "-o", IO_DIR + "/new"});
    EXPECT_FALSE(exists(IO_DIR + "/new"));
}

TEST_F(Monitor, protocols_are_matched_exactly_and_case_sensitively)
{
    for (const char *protocol : {"TCP", "", "icmp ", "sctp"}) {
        run_result r = run({"-P", protocol});
        std::string message = std::string("this protocol[") + protocol + "] is not supported.\n";
        EXPECT_EQ(r.status, 1) << protocol;
        EXPECT_EQ(r.err, message) << protocol;
        EXPECT_TRUE(ends_with(read_file(ERR_LOG), message)) << protocol;
    }
}

TEST_F(Monitor, a_bad_host_is_reported_before_a_bad_protocol)
{
    run_result r = run({"-P", "TCP", "-H", "300.1.1.1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "host[300.1.1.1] is not a valid network address in the specified address "
                     "family(ipv4).\n");
}

TEST_F(Monitor, the_error_log_keeps_every_run_and_grows)
{
    ASSERT_EQ(mkdir(DATA_DIR.c_str(), 0700), 0);
    write_file(ERR_LOG, "earlier\n", 0600);
    run({"-P", "TCP"});
    run({"-P", "icmp", "-p", "1"});
    run({"-P", "udp", "-o", "/var/no/such/dir/trace"});
    EXPECT_EQ(read_file(ERR_LOG), "earlier\n"
                                  "this protocol[TCP] is not supported.\n"
                                  "this protocol[icmp] don't need port.\n"
                                  "open /var/no/such/dir/trace failed, errno: 2");
}

TEST_F(Monitor, a_trace_file_that_cannot_be_opened_is_reported_with_errno_and_no_line_end)
{
    run_result missing = run({"-P", "tcp", "-o", "/var/no/such/dir/trace"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "open /var/no/such/dir/trace failed, errno: 2");
    EXPECT_FALSE(exists("/var/no"));

    run_result directory = run({"-P", "tcp", "-o", IO_DIR});
    EXPECT_EQ(directory.status, 1);
    EXPECT_EQ(directory.err, "open " + IO_DIR + " failed, errno: 21");
    EXPECT_EQ(read_file(ERR_LOG), missing.err + directory.err);
}

TEST_F(Monitor, a_new_trace_file_gets_the_header_and_owner_only_mode)
{
    std::string trace = IO_DIR + "/trace";
    run_result r = run({"-P", "udp", "-o", trace});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(trace), UDP_HEADER);
    EXPECT_EQ(mode_of(trace), 0600u);
}

TEST_F(Monitor, an_existing_trace_file_is_emptied_and_becomes_roots_with_owner_only_mode)
{
    std::string trace = IO_DIR + "/trace";
    write_file(trace, std::string(5000, 'x') + "\n", 0644);
    ASSERT_EQ(chmod(trace.c_str(), 0644), 0);
    ASSERT_EQ(chown(trace.c_str(), 1234, 1234), 0);
    run_result r = run({"-P", "icmp", "-o", trace});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(read_file(trace), ICMP_HEADER);
    struct stat st;
    ASSERT_EQ(stat(trace.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
}

// Root writes where others may plant names: nothing that is not a regular
// file of its own is opened for the trace, and what is refused is left as
// it was.
TEST_F(Monitor, a_trace_path_that_is_no_plain_file_is_refused_and_left_untouched)
{
    const std::string victim = "/var/victim", trace = IO_DIR + "/trace";
    struct refusal {
        const char *what;
        void (*plant)(const std::string &trace, const std::string &victim);
        std::string message; // after "open " + trace
    };
    const refusal cases[] = {
        {"a symlink to a file of the host",
         [](const std::string &t, const std::string &v) { ASSERT_EQ(symlink(v.c_str(), t.c_str()), 0); },
         " failed, errno: 40"},
        {"a symlink to nothing yet",
         [](const std::string &t, const std::string &) {
             ASSERT_EQ(symlink((IO_DIR + "/made").c_str(), t.c_str()), 0);
         },
         " failed, errno: 40"},
        {"a second name of a file of the host",
         [](const std::string &t, const std::string &v) { ASSERT_EQ(link(v.c_str(), t.c_str()), 0); },
         " refused, 2 links to it\n"},
        {"a FIFO nobody reads", [](const std::string &t, const std::string &) { ASSERT_EQ(mkfifo(t.c_str(), 0666), 0); },
         " failed, errno: 6"},
        {"a FIFO someone reads",
         [](const std::string &t, const std::string &) {
             ASSERT_EQ(mkfifo(t.c_str(), 0666), 0);
             ASSERT_GE(open(t.c_str(), O_RDONLY | O_NONBLOCK), 0); // held until the test process ends
         },
         " refused, not a regular file\n"},
        {"a device", [](const std::string &t, const std::string &) { ASSERT_EQ(mknod(t.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0); },
         " refused, not a regular file\n"},
    };
    for (const refusal &c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        write_file(victim, "precious\n", 0644);
        c.plant(trace, victim);
        struct stat before;
        ASSERT_EQ(lstat(trace.c_str(), &before), 0);
        run_result r = run({"-P", "tcp", "-o", trace});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "open " + trace + c.message);
        EXPECT_EQ(read_file(ERR_LOG), r.err);
        EXPECT_EQ(read_file(victim), "precious\n");
        EXPECT_EQ(mode_of(victim), 0644u);
        EXPECT_FALSE(exists(IO_DIR + "/made"));
        struct stat after;
        ASSERT_EQ(lstat(trace.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_ino, before.st_ino);
    }
}

TEST_F(Monitor, a_header_that_cannot_be_written_is_reported_and_ends_the_run)
{
    // A file system with no block left: the file is made, its header does not fit.
    const std::string full = IO_DIR + "/full";
    ASSERT_EQ(mkdir(full.c_str(), 0755), 0);
    ASSERT_EQ(mount("tmpfs", full.c_str(), "tmpfs", 0, "size=4k"), 0);
    mounts.push_back(full);
    write_file(full + "/filler", std::string(4096, 'f'));
    run_result r = run({"-P", "tcp", "-o", full + "/trace"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "write trace header failed, errno: 28\n");
    EXPECT_EQ(read_file(ERR_LOG), r.err);
    EXPECT_EQ(read_file(full + "/trace"), "");

    // Standard output a pipe whose reader is gone, SIGPIPE ignored.
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    close(pipe_fds[0]);
    r = run({"-P", "udp"}, 0, pipe_fds[1]);
    close(pipe_fds[1]);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "write trace header failed, errno: 32\n");
    EXPECT_EQ(read_file(ERR_LOG), "write trace header failed, errno: 28\n" + r.err);
}

TEST_F(Monitor, closed_standard_descriptors_never_mix_the_trace_and_the_error_log)
{
    std::string trace = IO_DIR + "/trace";
    run_result no_stdout = run({"-P", "tcp"}, 1u << 1);
    EXPECT_EQ(no_stdout.status, 3);
    EXPECT_TRUE(attach_failures(read_file(ERR_LOG))) << read_file(ERR_LOG);

    run_result no_stderr = run({"-P", "tcp", "-o", trace}, 1u << 2);
    EXPECT_EQ(no_stderr.status, 3);
    EXPECT_TRUE(attach_failures(read_file(ERR_LOG), 2));
    EXPECT_EQ(read_file(trace), TCP_HEADER);

    run_result none = run({"-P", "udp", "-o", trace}, 7);
    EXPECT_EQ(none.status, 3);
    EXPECT_TRUE(attach_failures(read_file(ERR_LOG), 3));
    EXPECT_EQ(read_file(trace), UDP_HEADER);
}

// ---- /proc as the monitor reads it ------------------------------------------

// A socket cannot be opened as a file: the cleanest stand-in for a /proc
// file that is there but unreadable, even for root.
std::string make_unopenable_file(const std::string &path)
{
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    close(s);
    return path;
}

// Records are seeded for every possible CPU id, which the kernel gives in
// /sys; /proc/cpuinfo lists the online ones only and is not needed then.
TEST_F(Monitor, the_cpu_records_come_from_the_possible_cpus_not_from_cpuinfo)
{
    bind_over(make_unopenable_file(IO_DIR + "/cpuinfo"), "/proc/cpuinfo");
    run_result r = run({"-P", "tcp"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, TCP_HEADER);
    EXPECT_EQ(r.err.find("cpuinfo"), std::string::npos) << r.err;
    EXPECT_TRUE(attach_failures(read_file(ERR_LOG))) << read_file(ERR_LOG);
}

// libbpf sizes the perf event array by the possible CPUs too: without them
// the object does not load, and the log tells libbpf's reason. What libbpf
// quotes of a file it cannot parse stays inside its entry: a line that
// would pass for the monitor's is indented, a terminal's escape escaped.
TEST_F(Monitor, without_the_possible_cpus_an_unreadable_cpuinfo_is_reported_and_loading_fails)
{
    for (bool forged : {false, true}) {
        SCOPED_TRACE(forged ? "possible CPUs that forge lines" : "possible CPUs unreadable");
        TearDown();
        SetUp();
        const std::string possible = IO_DIR + "/possible";
        if (forged)
            write_file(possible, "x\nFailed to load bpf skel.\n\033[2J\\ end\n");
        else
            make_unopenable_file(possible);
        bind_over(possible, "/sys/devices/system/cpu/possible");
        bind_over(make_unopenable_file(IO_DIR + "/cpuinfo"), "/proc/cpuinfo");
        run_result r = run({"-P", "tcp"});
        const std::string log = read_file(ERR_LOG);
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.out, TCP_HEADER);
        EXPECT_NE(r.err.find("open /proc/cpuinfo failed.\n"), std::string::npos) << r.err;
        EXPECT_TRUE(ends_with(r.err, "Failed to load bpf skel.\n")) << r.err;
        EXPECT_EQ(r.err.find('\033'), std::string::npos) << r.err;
        EXPECT_EQ(monitor_lines(log), "open /proc/cpuinfo failed.\nFailed to load bpf skel.\n") << log;
        EXPECT_NE(log.find("libbpf: map 'events': failed to determine number of system CPUs"), std::string::npos)
            << log;
        if (forged) {
            EXPECT_NE(log.find("\n\tFailed to load bpf skel.\n\t\\x1b[2J\\x5c end\n"), std::string::npos) << log;
        }
    }
}

TEST_F(Monitor, a_cpuinfo_without_processor_lines_is_no_failure)
{
    write_file(IO_DIR + "/cpuinfo", "Processor\t: 0\nmodel name\t: none\n");
    bind_over(IO_DIR + "/cpuinfo", "/proc/cpuinfo");
    run_result r = run({"-P", "tcp"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(attach_failures(read_file(ERR_LOG))) << read_file(ERR_LOG);
}

TEST_F(Monitor, an_unreadable_kallsyms_only_switches_the_iptables_probes_off)
{
    bind_over(make_unopenable_file(IO_DIR + "/kallsyms"), "/proc/kallsyms");
    run_result r = run({"-P", "tcp"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, TCP_HEADER);
    EXPECT_TRUE(ends_with_attach_failure(r.err)) << r.err;
    EXPECT_TRUE(attach_failures(read_file(ERR_LOG))) << read_file(ERR_LOG);
}

// A kernel that has none of the probed functions: nothing to attach, and
// the line before the one scripts look for says so.
TEST_F(Monitor, a_kernel_without_any_probe_point_is_told_before_the_skeleton_line)
{
    write_file(IO_DIR + "/kallsyms", "ffffffff81000000 T _stext\n");
    bind_over(IO_DIR + "/kallsyms", "/proc/kallsyms");
    run_result r = run({"-P", "tcp"});
    const std::string ending = "no probe point of this kernel can be traced\nFailed to open bpf skel.\n";
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, TCP_HEADER);
    EXPECT_TRUE(ends_with(r.err, ending)) << r.err;
    EXPECT_NE(r.err.find("napi_gro_receive: not in this kernel"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(ERR_LOG), ending);
}

// kptr_restrict: the symbol list gives every address as 0. Functions are
// found by name and the kernel names the code of a drop itself: a run goes
// as it does where the list shows addresses, with no word of them.
TEST_F(Monitor, a_symbol_list_that_hides_addresses_changes_nothing)
{
    const char *symbols[] = {"_stext", "ip_rcv", "nft_do_chain\t[nf_tables]"};
    write_file(IO_DIR + "/kallsyms", "");
    bind_over(IO_DIR + "/kallsyms", "/proc/kallsyms");
    auto run_with = [&](const char *address) {
        std::string list;
        for (const char *name : symbols)
            list += std::string(address) + (name[0] == 'n' ? " t " : " T ") + name + "\n";
        write_file(IO_DIR + "/kallsyms", list); // in place: the bound file
        return run({"-P", "tcp"});
    };
    run_result shown = run_with("ffffffff81000000"), hidden = run_with("0000000000000000");
    EXPECT_EQ(hidden.status, 3);
    EXPECT_EQ(hidden.out, TCP_HEADER);
    EXPECT_EQ(hidden.err, shown.err);
    EXPECT_EQ(hidden.err.find("kptr_restrict"), std::string::npos) << hidden.err;
    EXPECT_TRUE(ends_with_attach_failure(hidden.err)) << hidden.err;
    // Each run logged its failure alone, the same.
    std::string log = read_file(ERR_LOG), once = log.substr(0, log.size() / 2);
    EXPECT_EQ(log, once + once);
    EXPECT_TRUE(attach_failures(once)) << log;
}

} // namespace
