// Odd command lines and start-up settings, run through the real binary: each
// case states the status, the exact output and error text, what the error
// log holds and which files exist afterwards. Every case runs on a fresh /var.
#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

#include "run_monitor.h"

namespace {

const std::string HINT = "Run with --help for more information.\n";
const std::string BAD_HOST_TAIL = "] is not a valid network address in the specified address family(ipv4).\n";

// How far a run gets, which decides where its message is to be found.
enum stage_t {
    PARSER,   // refused while parsing: nothing on disk, not even the data directory
    STARTUP,  // refused by a start-up check: the error log holds exactly the message
    ATTACHED, // accepted: the header is out, the run ends at this host's missing kprobes
};

struct bad_input {
    const char *what;
    std::vector<std::string> args;
    stage_t stage;
    int status;
    std::string out;
    std::string err;                  // exact, or for ATTACHED what stderr ends with
    std::vector<std::string> created; // files in IO_DIR afterwards, besides stdout and stderr
    std::string trace_text = "";      // content of the one created file, if any
};

class BadInput : public Monitor {
protected:
    std::vector<std::string> created_files()
    {
        std::vector<std::string> names;
        DIR *dir = opendir(IO_DIR.c_str());
        if (!dir)
            return names;
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != ".." && name != "stdout" && name != "stderr")
                names.push_back(name);
        }
        closedir(dir);
        std::sort(names.begin(), names.end());
        return names;
    }

    void check(const bad_input &c)
    {
        SCOPED_TRACE(c.what);
        // A fresh /var for this case alone.
        TearDown();
        SetUp();
        run_result r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        switch (c.stage) {
        case PARSER:
            EXPECT_EQ(r.err, c.err);
            EXPECT_FALSE(exists(DATA_DIR));
            break;
        case STARTUP:
            EXPECT_EQ(r.err, c.err);
            EXPECT_TRUE(exists(ERR_LOG));
            EXPECT_EQ(read_file(ERR_LOG), c.err);
            break;
        case ATTACHED:
            // libbpf's reason, then the monitor's lines: on standard error and in the log.
            EXPECT_TRUE(ends_with(r.err, c.err)) << r.err;
            EXPECT_TRUE(ends_with_attach_failure(r.err)) << r.err;
            EXPECT_TRUE(attach_failures(read_file(ERR_LOG))) << read_file(ERR_LOG);
            break;
        }
        EXPECT_EQ(created_files(), c.created);
        if (c.created.size() == 1) {
            std::string trace = IO_DIR + "/" + c.created[0];
            EXPECT_EQ(read_file(trace), c.trace_text);
            EXPECT_EQ(mode_of(trace), 0600u);
        }
    }
};

std::string bad_host(const std::string &host)
{
    return "host[" + host + BAD_HOST_TAIL;
}

TEST_F(BadInput, empty_values_mean_the_default_or_are_refused_by_their_check)
{
    const bad_input cases[] = {
        {"an empty host means any host", {"-P", "tcp", "-H", ""}, ATTACHED, 3, TCP_HEADER, ATTACH_FAILED, {}},
        {"an empty trace path means standard output",
         {"-P", "udp", "-o", ""}, ATTACHED, 3, UDP_HEADER, ATTACH_FAILED, {}},
        {"an empty protocol is no protocol",
         {"-P", ""}, STARTUP, 1, "", "this protocol[] is not supported.\n", {}},
        {"an empty port is no number",
         {"-P", "tcp", "-p", ""}, PARSER, 105, "", "-p: Value  not in range 1 to 65535\n" + HINT, {}},
    };
    for (const bad_input &c : cases)
        check(c);
}

TEST_F(BadInput, very_long_texts_are_echoed_whole_or_refused_by_the_file_system)
{
    const std::string host(5000, '9'), protocol(5000, 'p');
    // Longer than PATH_MAX (4096) in components the file system would take one by one.
    std::string deep_path = IO_DIR;
    while (deep_path.size() <= 4096)
        deep_path += "/" + std::string(200, 'd');
    const std::string long_name = IO_DIR + "/" + std::string(5000, 'n');
    const std::string longest_name(255, 'm');
    const bad_input cases[] = {
        {"a 5000-byte host", {"-P", "tcp", "-H", host}, STARTUP, 1, "", bad_host(host), {}},
        {"a 5000-byte protocol",
         {"-P", protocol}, STARTUP, 1, "", "this protocol[" + protocol + "] is not supported.\n", {}},
        {"a trace path longer than PATH_MAX",
         {"-P", "tcp", "-o", deep_path}, STARTUP, 1, "", "open " + deep_path + " failed, errno: 36", {}},
        {"a trace file name longer than NAME_MAX",
         {"-P", "tcp", "-o", long_name}, STARTUP, 1, "", "open " + long_name + " failed, errno: 36", {}},
        {"a trace file name of exactly NAME_MAX bytes",
         {"-P", "icmp", "-o", IO_DIR + "/" + longest_name}, ATTACHED, 3, "", ATTACH_FAILED,
         {longest_name}, ICMP_HEADER},
    };
    for (const bad_input &c : cases)
        check(c);
}

TEST_F(BadInput, non_ascii_bytes_are_passed_through_unchanged)
{
    const std::string fullwidth_digits = "\xef\xbc\x91\xef\xbc\x99\xef\xbc\x98.18.0.1";
    const std::string raw_bytes = "\xff\xfe\x80";
    const std::string trace_name = "tr\xc3\xa6" "ce\xff";
    const bad_input cases[] = {
        {"a host in full-width digits",
         {"-P", "tcp", "-H", fullwidth_digits}, STARTUP, 1, "", bad_host(fullwidth_digits), {}},
        {"a host of bytes that are no UTF-8", {"-P", "udp", "-H", raw_bytes}, STARTUP, 1, "", bad_host(raw_bytes), {}},
        {"a protocol with an accent",
         {"-P", "tcp\xc3\xa9"}, STARTUP, 1, "", "this protocol[tcp\xc3\xa9] is not supported.\n", {}},
        {"a trace file named in other bytes",
         {"-P", "udp", "-o", IO_DIR + "/" + trace_name}, ATTACHED, 3, "", ATTACH_FAILED, {trace_name},
         UDP_HEADER},
    };
    for (const bad_input &c : cases)
        check(c);
}

TEST_F(BadInput, a_trace_path_that_cannot_take_the_header_ends_the_run_with_status_1)
{
    const bad_input cases[] = {
        {"a directory", {"-P", "tcp", "-o", IO_DIR}, STARTUP, 1, "", "open " + IO_DIR + " failed, errno: 21", {}},
        {"a directory named with its final slash",
         {"-P", "tcp", "-o", IO_DIR + "/"}, STARTUP, 1, "", "open " + IO_DIR + "/ failed, errno: 21", {}},
        // Never opened for writing: a device is no trace file.
        {"a device that is always full",
         {"-P", "tcp", "-o", "/dev/full"}, STARTUP, 1, "", "open /dev/full refused, not a regular file\n", {}},
    };
    for (const bad_input &c : cases)
        check(c);
}

TEST_F(BadInput, only_plain_dotted_decimal_is_taken_for_a_host)
{
    // glibc's inet_pton takes no leading zero in a part, so a text that
    // inet_aton would read as octal is never taken for another address;
    // nor does it take inet_aton's hexadecimal and short forms, or blanks.
    const char *hosts[] = {"010.1.1.1", "10.1.1.01", "0x7f.0.0.1", "127.1", "198.18.0.1 ", " 198.18.0.1",
                           "198.18.0.1\t", "198.18.0.1.", "198.18.0.256"};
    for (const char *host : hosts)
        check({host, {"-P", "tcp", "-H", host}, STARTUP, 1, "", bad_host(host), {}});
    check({"zeros alone are no leading zeros", {"-P", "tcp", "-H", "0.0.0.0"}, ATTACHED, 3, TCP_HEADER,
           ATTACH_FAILED, {}});
}

TEST_F(BadInput, repeated_and_run_together_options_follow_the_parser)
{
    const std::string trace_a = IO_DIR + "/a", trace_b = IO_DIR + "/b";
    const bad_input cases[] = {
        {"-P twice", {"-P", "tcp", "-P", "udp"}, PARSER, 114, "", "-P: At Most 1 required but received 2\n" + HINT, {}},
        {"-H twice",
         {"-P", "tcp", "-H", "198.18.0.1", "-H", "198.18.0.2"}, PARSER, 114, "",
         "-H: At Most 1 required but received 2\n" + HINT, {}},
        {"-p twice with the same value",
         {"-P", "tcp", "-p", "80", "-p", "80"}, PARSER, 114, "", "-p: At Most 1 required but received 2\n" + HINT, {}},
        {"-o twice creates neither file",
         {"-P", "tcp", "-o", trace_a, "-o", trace_b}, PARSER, 114, "",
         "-o: At Most 1 required but received 2\n" + HINT, {}},
        // -H takes "-P" as its value, "tcp" is left over, and -P is missing.
        {"-H without a value before -P", {"-H", "-P", "tcp"}, PARSER, 106, "", "-P is required\n" + HINT, {}},
        {"a value run together with its option", {"-Ptcp", "-p80"}, ATTACHED, 3, TCP_HEADER, ATTACH_FAILED, {}},
        {"an equals sign is part of a short option's value",
         {"-P=tcp"}, STARTUP, 1, "", "this protocol[=tcp] is not supported.\n", {}},
        // A leading zero makes the parser read the port as octal: 8 is no octal digit.
        {"a port with a leading zero",
         {"-P", "tcp", "-p", "080"}, PARSER, 105, "", "-p: Value 080 not in range 1 to 65535\n" + HINT, {}},
    };
    for (const bad_input &c : cases)
        check(c);
}

} // namespace
