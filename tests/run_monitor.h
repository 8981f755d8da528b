// Running the real binary for the black-box tests. Each test process enters
// a private mount namespace and every case gets a fresh tmpfs over /var, so
// the data directory, the error log and the trace files are the test's own
// and the host's real paths are never touched. /proc files are swapped by
// bind mounts in the same namespace. MONITOR_BIN is the binary under test.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

inline const std::string PARENT_DIR = "/var/vorna-helmsight/monitor";
inline const std::string DATA_DIR = PARENT_DIR + "/vn_bpf_net_monitor/";
inline const std::string ERR_LOG = DATA_DIR + "vn_bpf_net_monitor_err.log";
inline const std::string IO_DIR = "/var/test-io";

inline const std::string TCP_HEADER =
    "TIME                 CPU   TRACE_INFO                     INTERFACE          SMAC               "
    "DMAC               SIP                DIP                SPORT      DPORT      SEQ        "
    "ACK_SEQ    OTHER_INFO     \n";
inline const std::string UDP_HEADER =
    "TIME                 CPU   TRACE_INFO                     INTERFACE          SMAC               "
    "DMAC               SIP                DIP                SPORT      DPORT      LEN        "
    "OTHER_INFO     \n";
inline const std::string ICMP_HEADER =
    "TIME                 CPU   TRACE_INFO                     INTERFACE          SMAC               "
    "DMAC               SIP                DIP                TYPE  CODE  ID    SEQUENCE OTHER_INFO     \n";

// This host's kernel verifies and loads the object but has no kprobes, so a
// run that passes every check before attachment ends here: libbpf's reason,
// one line naming the probe point the kernel refused, then the line scripts
// look for.
inline const std::string ATTACH_FAILED = "Failed to open bpf skel.\n";

// The length of one entry of libbpf's at POS of TEXT, or 0 if there is none:
// "libbpf: " and the message, its further lines each after a tab, no other
// byte a terminal acts on.
inline size_t libbpf_entry_at(const std::string &text, size_t pos)
{
    const std::string head = "libbpf: ";
    if (text.compare(pos, head.size(), head) != 0)
        return 0;
    size_t end = pos;
    for (; end < text.size(); end++) {
        unsigned char c = text[end];
        bool continued = c == '\t' && text[end - 1] == '\n';
        if (c == '\n' && (end + 1 == text.size() || text[end + 1] != '\t'))
            return end + 1 - pos;
        if ((c < ' ' && c != '\n' && !continued) || c >= 0x7f)
            return 0;
    }
    return 0;
}

// The lines of TEXT that are not libbpf's: what the monitor itself said.
inline std::string monitor_lines(const std::string &text)
{
    std::string lines;
    for (size_t pos = 0; pos < text.size();) {
        size_t n = libbpf_entry_at(text, pos);
        if (n == 0) {
            size_t end = text.find('\n', pos);
            n = end == std::string::npos ? text.size() - pos : end + 1 - pos;
            lines += text.substr(pos, n);
        }
        pos += n;
    }
    return lines;
}

// The length of one such ending (libbpf's entries, the last naming the
// program, "attach kprobe/NAME failed, errno: N\n", then ATTACH_FAILED) at
// POS of TEXT, or 0 if there is none.
inline size_t attach_failure_at(const std::string &text, size_t pos)
{
    size_t start = pos, reason = std::string::npos;
    while (size_t n = libbpf_entry_at(text, pos)) {
        reason = pos;
        pos += n;
    }
    const std::string head = "attach kprobe/", middle = " failed, errno: ";
    if (reason == std::string::npos || text.compare(pos, head.size(), head) != 0)
        return 0;
    size_t name = pos + head.size(), name_end = text.find(middle, name);
    if (name_end == std::string::npos || name_end == name)
        return 0;
    for (size_t i = name; i < name_end; i++)
        if (!islower(text[i]) && !isdigit(text[i]) && text[i] != '_')
            return 0;
    const std::string program = "prog 'trace_" + text.substr(name, name_end - name) + "'";
    if (text.substr(reason, pos - reason).find(program) == std::string::npos)
        return 0;
    size_t digits = name_end + middle.size(), end = digits;
    while (end < text.size() && isdigit(text[end]))
        end++;
    if (end == digits || text[digits] == '0' || text.compare(end, ATTACH_FAILED.size() + 1, "\n" + ATTACH_FAILED) != 0)
        return 0;
    return end + 1 + ATTACH_FAILED.size() - start;
}

// TEXT is exactly COUNT such endings (an error log of COUNT runs).
inline bool attach_failures(const std::string &text, int count = 1)
{
    size_t pos = 0;
    for (int i = 0; i < count; i++) {
        size_t n = attach_failure_at(text, pos);
        if (n == 0)
            return false;
        pos += n;
    }
    return pos == text.size();
}

// The probe choice's notices may come first on standard error.
inline bool ends_with_attach_failure(const std::string &text)
{
    size_t pos = 0;
    do {
        size_t n = attach_failure_at(text, pos);
        if (n != 0 && pos + n == text.size())
            return true;
        pos = text.find('\n', pos);
    } while (pos++ != std::string::npos);
    return false;
}

struct run_result {
    int status; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void write_file(const std::string &path, const std::string &text, mode_t mode = 0644)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    close(fd);
}

inline bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline mode_t mode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

inline bool ends_with(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class Monitor : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(geteuid(), 0u) << "the black-box tests need root for a private mount namespace";
        ASSERT_EQ(unshare(CLONE_NEWNS), 0);
        ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    }

    void SetUp() override
    {
        ASSERT_EQ(mount("tmpfs", "/var", "tmpfs", 0, "mode=0755"), 0);
        ASSERT_EQ(mkdir(IO_DIR.c_str(), 0755), 0);
        ASSERT_EQ(mkdir("/var/vorna-helmsight", 0755), 0);
        ASSERT_EQ(mkdir(PARENT_DIR.c_str(), 0755), 0);
    }

    void TearDown() override
    {
        for (auto it = mounts.rbegin(); it != mounts.rend(); ++it)
            umount2(it->c_str(), MNT_DETACH);
        umount2("/var", MNT_DETACH);
    }

    // Shows the monitor another file at a path, for this case only.
    void bind_over(const std::string &source, const std::string &target)
    {
        ASSERT_EQ(mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr), 0) << target;
        mounts.push_back(target);
    }

    // closed_fds: a bit for each standard descriptor the monitor starts without;
    // out_fd: its standard output instead of a file, with SIGPIPE ignored as
    // a service manager starts it.
    run_result run(const std::vector<std::string> &args, unsigned closed_fds = 0, int out_fd = -1)
    {
        const std::string out_path = IO_DIR + "/stdout", err_path = IO_DIR + "/stderr";
        pid_t pid = fork();
        if (pid == 0) {
            int in = open("/dev/null", O_RDONLY);
            int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out_fd >= 0) {
                close(out);
                out = out_fd;
                signal(SIGPIPE, SIG_IGN); // stays ignored across exec
            }
            dup2(in, 0), dup2(out, 1), dup2(err, 2);
            for (int fd : {in, out, err})
                if (fd > 2)
                    close(fd);
            for (int fd = 0; fd <= 2; fd++)
                if (closed_fds & (1u << fd))
                    close(fd);
            std::vector<char *> argv{const_cast<char *>(MONITOR_BIN)};
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            alarm(60); // survives exec: a run that hangs is killed, not waited for
            execv(MONITOR_BIN, argv.data());
            _exit(127);
        }
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        int status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
        return {status, read_file(out_path), read_file(err_path)};
    }

    std::vector<std::string> mounts;
};
