// vn_bpf_net_report: reads traces of vn_bpf_net_monitor and shows the
// journey of each packet, how it ended and how long each stage took.
//
// The program's life: parse the command line, read every input into the
// key groups, then turn them into journeys and write the report. With
// --follow journeys are written as soon as their key falls quiet, and leave
// memory then.
#include <csignal>
#include <cstdio>
#include <algorithm>
#include <exception>

#include "report_run.h"

const char *const PROGRAM = "vn_bpf_net_report";

int main(int argc, char **argv)
{
    run_t run;
    std::vector<input> inputs;
    try {
        parse_command_line(run, argc, argv, inputs);
        if (run.set.follow) {
            write_header(run, nullptr);
            flush_out(run);
            follow_all(run, inputs);
            write_quiet_journeys(run, true);
            write_summary(run);
        } else {
            read_all(run, inputs);
            write_report(run);
        }
    } catch (const run_refused &refused) {
        if (*refused.what())
            fprintf(stderr, "%s\n", refused.what());
        return close_stdout(run) ? refused.status : std::max(refused.status, 1);
    } catch (const std::exception &e) {
        // Out of memory, or of room for names: nothing sound can follow.
        fprintf(stderr, "%s: %s\n", PROGRAM, e.what());
        close_stdout(run);
        return 1;
    }
    close_stdout(run);
    // Stopped by a signal, all written: end by that signal, as a shell expects.
    if (stop_signal && run.status == 0)
        raise(stop_signal);
    return run.status;
}
