// Rows grouped into journeys, one per packet: what the reader keeps of a
// trace, how rows become journeys, how a journey ended, and the latency of
// each stage between two functions.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "trace_rows.h"

// Texts seen in rows (functions, devices, MACs, OTHER_INFO), each stored
// once: a row holds their numbers, so keeping a row allocates nothing.
// The thread that cuts lines adds the texts of rows while the grouping
// thread adds its own (endings, steps) and reads texts: adding takes the
// lock; reading does not, as texts sit in blocks that never move, listed
// in an array made once whose entries are each set once, before any id of
// their block exists, and a thread reads only ids it made or was handed
// (through a lock) after they were made.
struct name_table {
    static constexpr size_t BLOCK = 1 << 12, BLOCKS_MAX = 1 << 16;
    // Left unset beyond the blocks made: unused entries cost no memory.
    std::unique_ptr<std::string *[]> blocks{new std::string *[BLOCKS_MAX]};
    size_t blocks_made = 0;
    uint32_t count = 0;
    std::unordered_map<std::string_view, uint32_t> ids;
    std::mutex adding;

    name_table() = default;
    name_table(const name_table &) = delete;
    name_table &operator=(const name_table &) = delete;
    ~name_table();
    uint32_t id(std::string_view text);
    std::string_view text(uint32_t id) const { return blocks[id / BLOCK][id % BLOCK]; }
};

struct trace_row {
    int64_t time; // kernel monotonic clock, ns
    uint32_t line;
    int32_t cpu;
    uint32_t function, device, smac, dmac, other_info; // name_table ids
    uint32_t saddr, daddr;                             // host byte order
    uint32_t fields[4];                                // the protocol columns in row order
    bool cut = false; // the input's last line, without its line feed: its text may be cut short
};

// A trace file (or standard input) being read.
struct trace_source {
    std::string name;
    uint32_t protocol = 0;
};

// What makes rows the same packet: the source, the addresses and, per
// protocol, TCP ports, SEQ and ACK_SEQ; UDP ports and LEN; ICMP type, id
// and sequence.
struct flow_key {
    uint32_t source, saddr, daddr;
    uint32_t fields[4];
    bool operator==(const flow_key &other) const;
};
struct flow_key_hash {
    size_t operator()(const flow_key &key) const;
};
flow_key key_of(uint32_t source, uint32_t protocol, const trace_row &row);

// The time from one row to a later one, in ns. Rows may lie anywhere in
// int64_t: the difference is taken unsigned and saturates at INT64_MAX, so
// it never overflows and is never negative.
int64_t elapsed_ns(int64_t from, int64_t to);

// A journey never holds more rows than this: a packet's path is a dozen to
// twenty rows, and only rows of unknown functions or walks at one hook
// repeated without end come near it. The row after the last one starts a
// new journey, so a key whose rows never end a journey is still made into
// journeys as it goes (--follow keeps bounded memory).
constexpr size_t JOURNEY_ROWS_MAX = 4096;
// A row more than this after a path's last one is never the same packet.
constexpr int64_t JOURNEY_GAP_NS = 500 * 1000 * 1000;

struct journey {
    uint32_t source;
    std::vector<trace_row> rows; // in time order
    // Each row's step as paths and stages name it (name_table ids): its
    // function, a table walk's and its return's with the hook
    // ("ipt_do_table@LOCAL_IN"), as walks at different hooks differ.
    std::vector<uint32_t> steps;
    // The kernel dropped it: a table walk's NF_DROP, or a drop row (kfree_skb)
    // with the reason and the function that freed it. A table's drop told
    // both ways (NETFILTER_DROP) is the table's.
    bool dropped = false;
    // A row cut short may have lost the text that tells how it ended
    // ("verdict: NF_D"): then neither the ending nor a drop is known.
    bool ending_known = true;
    std::string_view drop_table, drop_chain, drop_hook, drop_reason, drop_function;
    // Set when traces of hosts are joined: "left A at dev_hard_start_xmit,
    // never seen at B" (in the name table), the ending instead of its last row.
    std::string_view ending_note;

    int64_t start() const { return rows.front().time; }
    int64_t duration_ns() const { return elapsed_ns(rows.front().time, rows.back().time); }
};

// Rows of one key not yet made into journeys.
struct key_group {
    std::vector<trace_row> rows;
    uint32_t journeys_before = 0; // journeys already made of this key
    int64_t last_read_ms = 0;     // wall clock, for --follow
    size_t rows_kept = 0;         // rows left by the last split that kept paths open
    // Trace time: the earliest row still in rows, and the latest row ever.
    int64_t first_time = INT64_MAX, last_time = INT64_MIN;
};

// Where a function sits on the path of a packet: transmit side first, then
// receive side. Unknown functions have no place (-1).
struct function_place {
    int rank = -1;
    bool device_layer = false; // sees frames before IP is known: may repeat fields
    bool walk_entry = false;   // ipt_do_table: its place is the hook's
    bool walk_return = false;  // ret_ipt_do_table: stays in the walk's place
    bool drop = false;         // kfree_skb: where the kernel dropped the packet
};

// The texts of a column seen last and their ids, by a hash of the text: a
// column holds a few texts that repeat row after row (a dozen functions,
// three devices, the walks' OTHER_INFO), and a compare is cheaper than a
// lookup in the table.
struct name_cache {
    std::pair<std::string_view, uint32_t> slots[64] = {}; // texts in the name table, which never moves them

    uint32_t id(name_table &names, std::string_view value)
    {
        size_t n = value.size();
        size_t slot = n ? (n * 131 + uint8_t(value[0]) * 7 + uint8_t(value[n / 2]) + uint8_t(value[n - 1]) * 3) %
                              std::size(slots)
                        : 0;
        auto &[text, id] = slots[slot];
        if (text.data() == nullptr || text != value) {
            id = names.id(value);
            text = names.text(id);
        }
        return id;
    }
};

// The name caches of the text columns of rows, and a row taken apart made
// a row to keep: its texts as name ids.
struct row_names {
    name_cache functions, devices, smacs, dmacs, other_infos; // by TRACE_INFO, INTERFACE, SMAC, DMAC, OTHER_INFO
};
trace_row row_of(name_table &names, row_names &caches, const parsed_row &parsed, uint64_t line_no);

struct report_state {
    name_table names;
    row_names read_line_names; // read_line's
    std::vector<trace_source> sources;
    std::vector<function_place> places; // by function id
    std::unordered_map<flow_key, key_group, flow_key_hash> groups;
    // Room for a packet's rows, given back by journeys written: every packet
    // needs some for its group, its path and its journey, and a block this
    // size is slow to get from the allocator.
    std::vector<std::vector<trace_row>> spare_rows;
    // Groups that got a row while they had none, so that a look for done
    // keys passes only keys with rows, not every key remembered (map
    // entries stay put while others come and go).
    std::vector<std::pair<const flow_key, key_group> *> opened;
    // The group of the last row: a packet's rows mostly come one after another.
    flow_key last_key{};
    key_group *last_group = nullptr; // cleared whenever a group is erased
    // By name id, made once: the text as a JSON string, and as the JSON
    // members of an OTHER_INFO text ("other_info" and its parts).
    std::vector<std::string> json_texts, json_other_info;
    std::vector<std::string> shown_texts; // by name id, as shown_text() writes it
    std::vector<uint32_t> ended_at_names; // by function id, made once (UINT32_MAX: not yet)
    uint32_t nil_device = UINT32_MAX, zero_mac = UINT32_MAX; // name ids of "nil" and a zero MAC, once known
    // Step names of walks: by entry function << 32 | OTHER_INFO, and by
    // return function << 32 | the entry's step.
    std::unordered_map<uint64_t, uint32_t> walk_steps;
    uint64_t rows_read = 0, unreadable_rows = 0, repeated_frames = 0;
    int64_t last_row_time = 0; // the time of the row read last
    // By OTHER_INFO id, read once: the place of a walk at the hook it names,
    // and whether it tells a drop verdict.
    struct other_info_facts {
        int hook_rank;
        bool drop;
    };
    std::vector<other_info_facts> info_facts;
    // Placing a row looks at each open path of its key while there are at
    // most this many, and through piles beyond (the same choice either way:
    // tests and the fuzzer set 0 or SIZE_MAX to hold one against the other).
    size_t path_scan_max = 8;
};

// Room for a packet's rows (empty, with room for a path of a few dozen),
// and room given back.
std::vector<trace_row> room_for_rows(report_state &state);
void give_back_rows(report_state &state, std::vector<trace_row> &&rows);

function_place learn_place(report_state &state, uint32_t function);
inline function_place place_of(report_state &state, uint32_t function)
{
    return function < state.places.size() ? state.places[function] : learn_place(state, function);
}

// A name of the table as the text report and the page show it (shown_text).
const std::string &shown_name(report_state &state, uint32_t id);

// A row read from source into its key's group.
void add_row(report_state &state, uint32_t source, const trace_row &row, int64_t now_ms);

// What one line of an input was.
enum class line_kind {
    row,        // a row, now in its key's group
    header,     // a trace header: the rows after it have its protocol
    blank,
    unreadable, // counted in unreadable_rows; *bad names the first column that could not be read
    no_header,  // the input's first line is no trace header: the input is no trace
};
// Reads line number line_no (1 for the first, no line feed; a trailing CR
// is dropped) of the input whose rows go to `source`. A header further down
// starts another source (traces joined with cat) and `source` moves to it.
line_kind read_line(report_state &state, uint32_t &source, uint64_t line_no, std::string_view line,
                    int64_t now_ms, const char **bad);
// read_line in its halves. parse_line touches no state, so it may run on a
// thread of its own: `protocol` is that of the input's last header, and a
// header line gives its own in *header. row_of makes a row of it (the name
// table may be added to from two threads), and take_parsed_line does to the
// state what the line means.
line_kind parse_line(std::string_view line, uint64_t line_no, uint32_t protocol, uint32_t *header, parsed_row &row,
                     const char **bad);
void take_parsed_line(report_state &state, uint32_t &source, uint64_t line_no, line_kind kind, uint32_t header,
                      const trace_row &row, int64_t now_ms);

// --follow: a group this large is split at once, keeping its last journey,
// so a key whose rows keep coming holds at most JOURNEY_ROWS_MAX +
// GROUP_ROWS_MAX rows however long it goes on.
constexpr size_t GROUP_ROWS_MAX = 4096;
inline bool group_is_full(const key_group &group)
{
    return group.rows.size() >= group.rows_kept + GROUP_ROWS_MAX;
}

// Turns a group's rows into journeys, in time order. Rows that are frames
// with repeated fields go to `repeated` instead. keep_last leaves the last
// journey's rows in the group (it may still grow).
void split_group(report_state &state, const flow_key &key, key_group &group, bool keep_last,
                 std::vector<journey> &journeys, std::vector<journey> &repeated);

// Reading a trace as a stream, in trace time. A path takes no row more than
// JOURNEY_GAP_NS after its last one, and the monitor's rows come at most
// ROWS_LATE_NS behind a row written before them (each CPU's rows are in
// order; a perf ring holds a few packets' rows and is read within
// milliseconds, so half a second is a wide margin). So a path whose last
// row lies more than PATH_DONE_NS before the row read last can take no
// more rows, and a journey that starts ROWS_LATE_NS before it can have no
// earlier journey still to come than the rows still in groups.
constexpr int64_t ROWS_LATE_NS = 500 * 1000 * 1000;
constexpr int64_t PATH_DONE_NS = JOURNEY_GAP_NS + ROWS_LATE_NS;
// Whether a path or key whose last row was at `last` is done at trace time `now`.
inline bool done_by(int64_t last, int64_t now)
{
    return elapsed_ns(last, now) > PATH_DONE_NS;
}
// Makes journeys of the group's paths that are done by `now`, oldest first,
// up to the first path still open: that path and the ones after it stay in
// the group. Placing their rows again gives the same paths, so the
// journeys are those of the whole key read at once.
void split_done_paths(report_state &state, const flow_key &key, key_group &group, int64_t now,
                      std::vector<journey> &journeys, std::vector<journey> &repeated);

// "dropped by table filter at NF_INET_LOCAL_IN", "dropped by table fw chain in
// at NF_INET_LOCAL_IN", "dropped at tcp_v4_rcv: NO_SOCKET", "ended at
// tcp_v4_do_rcv" or ENDING_UNKNOWN, the names shown as shown_text() writes them.
constexpr const char *ENDING_UNKNOWN = "ending unknown (a row cut short)";
std::string ending_of(const report_state &state, const journey &j);
// The name id of "ended at FUNCTION", as ending_of gives it for a journey
// that ended there undropped: most journeys end in a few functions.
uint32_t ended_at(report_state &state, uint32_t function);

struct journey_filter {
    bool by_host = false, by_port = false, dropped_only = false;
    uint32_t host = 0;
    uint16_t port = 0;
    int64_t slower_than_ns = -1;
    bool by_start = false;
    int64_t start_ns = 0; // --start: the journey that starts then
};
bool journey_matches(const report_state &state, const journey &j, const journey_filter &filter);

// Latencies between consecutive rows of journeys, per pair of functions.
// Each pair keeps a bounded uniform sample (all of them up to the bound),
// so a long --follow run stays in bounded memory; count and max are exact.
struct stage_samples {
    uint64_t count = 0;
    int64_t max_ns = 0;
    std::vector<int64_t> sample;
};
struct stage_stats {
    std::unordered_map<uint64_t, stage_samples> pairs; // from << 32 | to
    uint64_t random = 0x9e3779b97f4a7c15ull;
    // Pairs found last, by a hash of the pair: a few dozen pairs repeat
    // journey after journey (map values stay put).
    std::pair<uint64_t, stage_samples *> recent[64] = {};
};
constexpr size_t STAGE_SAMPLE_MAX = 65536;
void add_stages(stage_stats &stats, const journey &j);

struct stage_summary {
    uint32_t from, to; // function ids
    uint64_t count;
    int64_t p50, p90, p99, max; // ns
    std::vector<int64_t> sorted; // the sample, ascending with whole_sample (else in no order)
};
// In path order: by the place of the first function, then of the second.
// whole_sample sorts each sample (the page draws it); the percentiles alone
// need only the three values selected.
std::vector<stage_summary> summarize_stages(report_state &state, stage_stats &stats, bool whole_sample = false);

// Endings with their counts, most frequent first.
std::vector<std::pair<std::string, uint64_t>>
count_endings(const std::unordered_map<std::string, uint64_t> &endings);

// "198.18.0.1:32812 > 198.18.0.2:5302 seq 1464773421 ack 0"
std::string flow_text(uint32_t protocol, const trace_row &row);
