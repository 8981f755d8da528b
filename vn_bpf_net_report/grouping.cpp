// How a key's rows become journeys: grouped as they are read, placed on
// paths, and each path made a journey with its steps and its ending.
//
// A probe that sees a non-IPv4 frame repeats the packet fields of the last
// row on its CPU. Such rows can only come from the device layer (the IP
// layer never sees those frames) and they come after the packet whose
// fields they carry has passed. So a journey made only of device-layer rows,
// of a key that already had a journey, is not a packet: its rows are frames
// with repeated fields.
#include "grouping.h"

#include <algorithm>

#include "endings.h"
#include "path_order.h"
#include "placement.h"
#include "steps.h"
#include "trace_rows.h"
#include "vn_bpf_net_monitor.h"

namespace {
constexpr size_t ROWS_ROOM = 32;         // a packet's path is a dozen to twenty rows
constexpr size_t SPARE_ROWS_MAX = 1024; // room kept for reuse, at most
} // namespace

std::vector<trace_row> room_for_rows(report_state &state)
{
    std::vector<trace_row> rows;
    if (!state.spare_rows.empty()) {
        rows.swap(state.spare_rows.back());
        state.spare_rows.pop_back();
    } else
        rows.reserve(ROWS_ROOM);
    return rows;
}

void give_back_rows(report_state &state, std::vector<trace_row> &&rows)
{
    std::vector<trace_row> given = std::move(rows);
    rows.clear(); // a vector moved from is left valid but unspecified
    if (given.capacity() < ROWS_ROOM || given.capacity() > 4 * ROWS_ROOM || state.spare_rows.size() >= SPARE_ROWS_MAX)
        return;
    given.clear();
    state.spare_rows.push_back(std::move(given));
}

namespace {

// Whether a journey is only the purge of a socket's queue (QUEUE_PURGE).
bool purged_alone(report_state &state, const journey &j)
{
    return std::all_of(j.rows.begin(), j.rows.end(), [&](const trace_row &row) {
        return place_of(state, row.function).drop &&
               split_other_info(state.names.text(row.other_info)).reason == "QUEUE_PURGE";
    });
}

// With packet numbers a packet's rows are one group whatever its addresses
// (NAT): the number alone, in its source, is the key.
flow_key packet_key(uint32_t source, uint64_t packet)
{
    return {source, 0, 0, {uint32_t(packet), uint32_t(packet >> 32), 0, 0}};
}

// CPUs whose last row is remembered.
constexpr int32_t LAST_CPUS_MAX = 1024;

// Two rows the monitor numbers afresh belong to the packet of the row
// before them on their CPU: the return of the nft walk that dropped it
// (NF_STOLEN: the number ended at the drop row), and a raw socket's copy
// (raw_rcv, rawv6_rcv: a buffer of its own), which tells how the packet was
// delivered.
uint64_t packet_of(report_state &state, trace_source &from, const trace_row &row)
{
    bool fresh = row.packet > from.last_packet;
    from.last_packet = std::max(from.last_packet, row.packet);
    if (row.cpu < 0 || row.cpu >= LAST_CPUS_MAX)
        return row.packet;
    if (size_t(row.cpu) >= from.last_on_cpu.size())
        from.last_on_cpu.resize(size_t(row.cpu) + 1);
    trace_source::cpu_last &last = from.last_on_cpu[size_t(row.cpu)];
    function_place place = place_of(state, row.function);
    uint64_t packet = row.packet;
    if (fresh && last.packet &&
        ((place.walk_return && last.drop) || (!last.drop && is_raw_copy(state.names.text(row.function)))))
        packet = last.packet;
    last = {packet, place.drop};
    return packet;
}

void note_netns(report_state &state, const trace_row &row)
{
    // "nil" is no device: every namespace has it.
    if (state.nil_device == NO_NAME)
        state.nil_device = state.names.id("nil");
    if (row.netns == 0 || row.device == state.nil_device)
        return;
    if (row.device >= state.netns_of_device.size())
        state.netns_of_device.resize(row.device + 1);
    report_state::device_netns &seen = state.netns_of_device[row.device];
    if (seen.first == 0)
        seen.first = row.netns;
    seen.many = seen.many || seen.first != row.netns;
}

// The ACK numbers a flow sent are what its receiver had taken: a segment
// the other way that starts before the one its receiver last sent was had.
constexpr size_t ACK_HISTORY_MAX = 64;
constexpr size_t ACK_FLOWS_MAX = size_t(1) << 16;
constexpr int64_t ACK_FLOW_IDLE_NS = 60ll * 1000 * 1000 * 1000;

void note_ack(report_state &state, uint32_t source, const trace_row &row)
{
    uint32_t ack = row.fields[3];
    if (ack == 0) // a SYN's, or a reset's
        return;
    if (state.acks_sent.size() >= ACK_FLOWS_MAX) {
        for (auto it = state.acks_sent.begin(); it != state.acks_sent.end();)
            it = elapsed_ns(it->second.back().time, row.time) > ACK_FLOW_IDLE_NS ? state.acks_sent.erase(it)
                                                                                 : std::next(it);
        // All still busy: forget them all rather than look again at every row.
        if (state.acks_sent.size() > ACK_FLOWS_MAX / 2)
            state.acks_sent.clear();
    }
    std::vector<report_state::timed_ack> &acks = state.acks_sent[flow_of(source, row)];
    if (!acks.empty() && int32_t(ack - acks.back().ack) <= 0)
        return;
    if (acks.size() >= ACK_HISTORY_MAX)
        acks.erase(acks.begin());
    acks.push_back({row.time, ack});
}

} // namespace

flow_key flow_of(uint32_t source, const trace_row &row)
{
    flow_key key = key_of(source, PROTO_TCP, row);
    key.fields[2] = key.fields[3] = 0;
    return key;
}

bool had_been_acked(const report_state &state, uint32_t source, const trace_row &row, bool &known)
{
    trace_row back = row;
    std::swap(back.saddr, back.daddr);
    std::swap(back.fields[0], back.fields[1]);
    auto it = state.acks_sent.find(flow_of(source, back));
    known = false;
    if (it == state.acks_sent.end())
        return false;
    uint32_t ack = 0;
    for (const report_state::timed_ack &a : it->second)
        if (a.time < row.time)
            ack = a.ack, known = true;
    return known && int32_t(row.fields[2] - ack) < 0;
}

void add_row(report_state &state, uint32_t source, const trace_row &row, int64_t now_ms)
{
    trace_source &from = state.sources[source];
    flow_key key = from.packet_columns ? packet_key(source, packet_of(state, from, row))
                                       : key_of(source, from.protocol, row);
    // Later fragments have no transport fields: those of one datagram, and
    // of datagrams alike, are told apart by where they begin. (IPv6 rows
    // know the fragment header only from ipv6_rcv on.)
    if (!from.packet_columns && !row.ipv6)
        if (uint32_t offset = fragment_offset(state, row))
            key.fields[3] = offset;
    if (from.packet_columns)
        note_netns(state, row);
    if (from.protocol == PROTO_TCP)
        note_ack(state, source, row);
    if (!state.last_group || !(key == state.last_key)) {
        auto entry = state.groups.try_emplace(key).first;
        state.last_group = &entry->second; // map values stay put when it grows
        state.last_key = key;
        if (entry->second.rows.empty())
            state.opened.push_back(&*entry);
    }
    key_group &group = *state.last_group;
    if (group.rows.capacity() == 0)
        group.rows = room_for_rows(state);
    group.rows.push_back(row);
    group.last_read_ms = now_ms;
    group.first_time = std::min(group.first_time, row.time);
    group.last_time = std::max(group.last_time, row.time);
    state.last_row_time = row.time;
    state.rows_read++;
}

// Losses of a source, kept in the order of their ends; a trace that tells
// more than this keeps the rest merged into its last window.
constexpr size_t LOSS_WINDOWS_MAX = 1 << 16;

void keep_loss(trace_source &source, const loss_window &loss)
{
    auto &losses = source.losses;
    if (losses.size() >= LOSS_WINDOWS_MAX) {
        loss_window &last = losses.back();
        last.from = std::min(last.from, loss.from);
        last.to = std::max(last.to, loss.to);
        last.samples += loss.samples;
        source.longest_loss_ns = std::max(source.longest_loss_ns, elapsed_ns(last.from, last.to));
        return;
    }
    auto at = std::upper_bound(losses.begin(), losses.end(), loss.to,
                               [](int64_t to, const loss_window &w) { return to < w.to; });
    losses.insert(at, loss);
    source.longest_loss_ns = std::max(source.longest_loss_ns, elapsed_ns(loss.from, loss.to));
}

void take_parsed_line(report_state &state, uint32_t &source, uint64_t line_no, line_kind kind, uint32_t header,
                      const trace_row &row, int64_t now_ms, const loss_window &loss)
{
    if (kind == line_kind::loss) {
        keep_loss(state.sources[source], loss);
        return;
    }
    if (kind == line_kind::header) {
        // A header further down starts another trace (traces joined with cat).
        if (line_no != 1) {
            state.sources.push_back(state.sources[source]);
            source = uint32_t(state.sources.size() - 1);
            state.sources[source].last_packet = 0; // numbered afresh
            state.sources[source].last_on_cpu.clear();
        }
        state.sources[source].protocol = header & PROTOCOL_MASK;
        state.sources[source].packet_columns = header & PACKET_COLUMNS;
        state.sources[source].ipv6 = header & IPV6_ADDRESSES;
        return;
    }
    if (kind == line_kind::unreadable)
        state.unreadable_rows++;
    if (kind != line_kind::row)
        return;
    add_row(state, source, row, now_ms);
}

line_kind read_line(report_state &state, uint32_t &source, uint64_t line_no, std::string_view line,
                    int64_t now_ms, const char **bad)
{
    parsed_row parsed;
    uint32_t header;
    loss_window loss;
    const trace_source &from = state.sources[source];
    uint32_t layout = from.protocol | (from.packet_columns ? PACKET_COLUMNS : 0) | (from.ipv6 ? IPV6_ADDRESSES : 0);
    line_kind kind = parse_line(line, line_no, layout, &header, parsed, bad, &loss);
    trace_row row{};
    row_names caches; // a line at a time is for tests: no need to keep them
    if (kind == line_kind::row)
        row = row_of(state.names, caches, parsed, line_no);
    take_parsed_line(state, source, line_no, kind, header, row, now_ms, loss);
    return kind;
}

namespace {

// Paths [0, first_kept) become journeys; the rows of the others go back to the group.
void make_journeys(report_state &state, const flow_key &key, key_group &group, std::vector<open_path> &paths,
                   size_t first_kept, size_t kept_alone, std::vector<journey> &journeys,
                   std::vector<journey> &repeated)
{
    std::vector<trace_row> &rows = group.rows;
    rows.clear();
    size_t paths_kept = 0;
    for (size_t i = 0; i < paths.size(); i++) {
        if (i >= first_kept || i == kept_alone) {
            rows.insert(rows.end(), paths[i].rows.begin(), paths[i].rows.end());
            give_back_rows(state, std::move(paths[i].rows));
            paths_kept++;
            continue;
        }
        journey j;
        j.source = key.source;
        j.rows.swap(paths[i].rows);
        bool device_only = std::all_of(j.rows.begin(), j.rows.end(), [&](const trace_row &row) {
            return place_of(state, row.function).device_layer;
        });
        name_steps(state, j);
        const trace_source &from = state.sources[key.source];
        if (from.packet_columns)
            find_rewrites(from.protocol, j);
        if (device_only && group.journeys_before > 0) {
            state.repeated_frames += j.rows.size();
            repeated.push_back(std::move(j));
        } else if (group.journeys_before > 0 && purged_alone(state, j)) {
            // A socket's queue freed at its close, seconds after it took
            // the packet: that packet's journey was told, and this is no
            // packet of its own.
            give_back_rows(state, std::move(j.rows));
        } else {
            settle_ending(state, j);
            group.journeys_before++;
            journeys.push_back(std::move(j));
        }
    }
    // Back in the order they were read, so rows of one time are placed again as they were.
    if (paths_kept > 1)
        std::sort(rows.begin(), rows.end(), [](const trace_row &a, const trace_row &b) { return a.line < b.line; });
    if (rows.empty())
        give_back_rows(state, std::move(rows)); // a key remembered keeps no room for rows
    group.rows_kept = rows.size();
    group.first_time = INT64_MAX;
    for (const trace_row &row : rows)
        group.first_time = std::min(group.first_time, row.time);
}

} // namespace

void split_group(report_state &state, const flow_key &key, key_group &group, bool keep_last,
                 std::vector<journey> &journeys, std::vector<journey> &repeated)
{
    size_t newest;
    std::vector<open_path> paths = place_rows(state, group.rows, &newest, state.sources[key.source].packet_columns);
    // Bounded memory: the path the newest row went on may still grow,
    // unless it is closed and can take no drop row or walk return.
    size_t kept = keep_last && !paths.empty() && (!paths[newest].closed || lingers(state, paths[newest]))
                      ? newest
                      : paths.size();
    make_journeys(state, key, group, paths, paths.size(), kept, journeys, repeated);
}

void split_done_paths(report_state &state, const flow_key &key, key_group &group, int64_t now,
                      std::vector<journey> &journeys, std::vector<journey> &repeated)
{
    size_t newest;
    std::vector<open_path> paths = place_rows(state, group.rows, &newest, state.sources[key.source].packet_columns);
    size_t first_open = 0;
    // A path is done once no row can come for it any more, however late
    // the monitor wrote it.
    while (first_open < paths.size() &&
           elapsed_ns(paths[first_open].rows.back().time, now) > path_gap_ns(state, paths[first_open]) + ROWS_LATE_NS)
        first_open++;
    make_journeys(state, key, group, paths, first_open, paths.size(), journeys, repeated);
}

