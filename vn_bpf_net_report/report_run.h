// One run of the reader: its settings, its inputs, the journeys made and
// not yet written, and its outputs. The program's procedures share this
// record; each file holds one part of the run's life.
#pragma once

#include <csignal>
#include <cstdint>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "filters.h"
#include "host_join.h"
#include "line_reader.h"
#include "report_state.h"
#include "report_writer.h"
#include "totals.h"

extern const char *const PROGRAM;

// The run cannot go on: the line that says why (empty when it was said
// already) and the exit status. Thrown where the reader meets it, caught
// once, in main; an input that fails is said and counted, and the run goes
// on with the others.
struct run_refused : std::runtime_error {
    int status;
    run_refused(const std::string &line, int status_) : std::runtime_error(line), status(status_) {}
};
// Output is written out once this much is waiting.
constexpr size_t READ_CHUNK = 1 << 20;
// How long a key is remembered after its last journey, so that frames with
// repeated fields arriving later are still known for what they are; and how
// many such keys at most (beyond it, keys quiet for --quiet-ms are forgotten
// at once), so that a fast input of many keys stays in bounded memory.
constexpr int64_t KEY_MEMORY_MS = 60 * 1000;
constexpr size_t KEYS_REMEMBERED_MAX = 1 << 16;

struct settings {
    std::vector<std::string> files{"-"};
    std::vector<std::string> hosts; // --host NAME=FILE
    bool json = false, follow = false, detail = false;
    std::string html;
    int quiet_ms = 500;
    journey_filter filter;
    std::string filters_given; // as given, for the notice when none matches
};

// One input being read. Under --follow every input is read a chunk at a
// time in turn; otherwise each is read to its end before the next.
struct input {
    std::string name;     // as given: "-" is standard input
    int fd = -1;
    bool regular = false; // under --follow read on as it grows
    uint32_t source = 0;  // where its rows go (moves at a header further down)
    uint32_t host = 0;
    uint64_t line_no = 0;
    uint64_t unreadable = 0;
    read_cutter reading; // --follow
    std::vector<cut_line> lines;
    bool open = false;
};

// A journey made but not written yet, or frames with repeated fields. Its
// place in the order is kept beside it, so that ordering reads no rows.
struct made_journey {
    int64_t start;
    uint32_t source, line;
    journey j;
    bool repeated;
};

struct run_t {
    settings set;
    report_state state;
    report_totals totals;
    host_join join; // hosts of the inputs, joined when there are several
    // The outputs: standard output's (text, detail or JSON), and the page's.
    std::string out, page;
    std::vector<std::unique_ptr<report_writer>> writers;
    bool header_written = false;
    std::vector<made_journey> made;  // a heap by start: the first to write on top
    bool writing_early = false;      // journeys may be written before the input ends
    uint64_t rows_at_last_look = 0;  // rows read at the last look for done keys
    std::deque<flow_key> done_keys;  // keys whose rows all became journeys, in that order
    int64_t last_sweep_ms = 0;
    size_t inputs_read = 0; // inputs read to their end (or to the stop) as traces
    int status = 0;
    bool output_failed = false;
    bool refused = false; // hosts named that share no traffic: no report
    // Flows with a journey written, by a non-zero hash of host, protocol,
    // addresses and ports (or ICMP id), in an open-addressed table of 8
    // bytes a slot: whose journey is the first of its flow. Once it holds
    // FLOWS_SEEN_MAX flows, no journey of a new flow is said to be a first.
    std::vector<uint64_t> flows_seen;
    size_t flows_seen_count = 0;
};
constexpr size_t FLOWS_SEEN_MAX = 1 << 18;

extern volatile sig_atomic_t stop_signal;

// The command line (command_line.cpp): the settings, the inputs with their
// hosts, and the writers. Throws run_refused when the run ends there.
void parse_command_line(run_t &run, int argc, char **argv, std::vector<input> &inputs);

// Reading (reading.cpp): every input to its end, one after the other, or
// (--follow) side by side until they end or a signal stops the reading.
void read_all(run_t &run, std::vector<input> &inputs);
void follow_all(run_t &run, std::vector<input> &inputs);
int64_t now_ms();

// Journeys in order (journey_order.cpp): made of the groups as their paths
// are done, kept in start order and written when no earlier one can come.
void make_done_journeys(run_t &run);
void make_all_journeys(run_t &run);
void write_made(run_t &run, int64_t before, bool everything);
// --follow: writes the journeys of keys that fell quiet (all with
// everything), and forgets keys long idle.
void write_quiet_journeys(run_t &run, bool everything);
// --follow: journeys written as they are made, in start order.
void write_journeys(run_t &run, std::vector<journey> &journeys, std::vector<journey> &repeated);

// A line on standard error: "vn_bpf_net_report: SUBJECT: TEXT" (the
// subject an input's name, as shown, or what failed).
void say(const std::string &subject, const std::string &text);

// Writing (writing.cpp): each journey the filters keep to every writer.
void write_header(run_t &run, const host_join *join);
void write_journey(run_t &run, journey &j, bool repeated);
// Marks a journey the first of its flow when none of its flow came before.
void mark_first_of_flow(run_t &run, journey &j);
void flush_out(run_t &run);
// Without --follow, once every input is read: the journeys not written
// yet (joined first where hosts are), then the summary and the page.
void write_report(run_t &run);
void write_summary(run_t &run);
// Standard output once nothing more will be written to it; false when what
// was written did not all arrive.
bool close_stdout(run_t &run);
