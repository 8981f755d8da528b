// Running the trace reader's binary for the black-box tests: arguments in,
// optional standard input, status and both outputs back. REPORT_BIN is the
// binary under test, REPORT_DATA the folder of sample traces.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct report_result {
    int status; // exit status, or 128 + signal
    std::string out, err;
};

inline std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string data_file(const std::string &name)
{
    return std::string(REPORT_DATA) + "/" + name;
}

inline std::string temp_dir()
{
    char dir[] = "/tmp/report_test.XXXXXX";
    return mkdtemp(dir) ? dir : "/tmp";
}

// In a child: becomes the reader with these arguments.
[[noreturn]] inline void exec_report(const std::vector<std::string> &args)
{
    std::vector<char *> argv{const_cast<char *>(REPORT_BIN)};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    alarm(60); // a run that hangs is killed, not waited for
    execv(REPORT_BIN, argv.data());
    _exit(127);
}

// stdout_to: where standard output goes instead of a file read back (such
// as /dev/full); its text is then not returned. stdin_from: a file read as
// standard input instead of `input`.
inline report_result run_report(const std::vector<std::string> &args, const std::string &input = "",
                                const std::string &stdout_to = "", const std::string &stdin_from = "")
{
    std::string dir = temp_dir();
    std::string in_path = dir + "/stdin", out_path = dir + "/stdout", err_path = dir + "/stderr";
    std::ofstream(in_path, std::ios::binary) << input;
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(stdin_from.empty() ? in_path.c_str() : stdin_from.c_str(), O_RDONLY);
        int out = open(stdout_to.empty() ? out_path.c_str() : stdout_to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0), dup2(out, 1), dup2(err, 2);
        exec_report(args);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    report_result result{WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus), slurp(out_path),
                         slurp(err_path)};
    for (const std::string &path : {in_path, out_path, err_path})
        unlink(path.c_str());
    rmdir(dir.c_str());
    return result;
}

inline std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Lines of the text report that describe journeys (they start with a time).
inline std::vector<std::string> journey_lines(const std::string &out)
{
    std::vector<std::string> found;
    for (const std::string &line : lines_of(out))
        if (!line.empty() && line[0] >= '0' && line[0] <= '9')
            found.push_back(line);
    return found;
}

// The start times of the journeys the reader writes for ARGS, each followed
// by a space.
inline std::string journey_starts(const std::vector<std::string> &args)
{
    std::string starts;
    for (const std::string &line : journey_lines(run_report(args).out))
        starts += line.substr(0, line.find(' ')) + " ";
    return starts;
}

inline size_t count_of(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}
