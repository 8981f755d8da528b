// JSON Lines. Every text of a row comes from the name table, so the
// library escapes each distinct text once (invalid UTF-8 replaced) and the
// rows are assembled from those pieces and numbers: at a million rows a
// second a JSON object per row would cost more than all the reading.
#include <charconv>
#include <cstring>

#include <nlohmann/json.hpp>

#include "host_join.h"
#include "report_output.h"
#include "trace_layout.h"
#include "trace_rows.h"

using namespace trace_layout;

namespace {

constexpr const char *SCHEMA_MEMBER = ",\"schema\":1";

std::string json_string(std::string_view text)
{
    return nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

const std::string &quoted_name(report_state &state, uint32_t id)
{
    while (state.json_texts.size() <= id)
        state.json_texts.push_back(json_string(state.names.text(uint32_t(state.json_texts.size()))));
    return state.json_texts[id];
}

// A column label as a JSON key: "TRACE_INFO" gives "trace_info":
std::string key_of_label(const char *label)
{
    std::string key = label;
    for (char &c : key)
        c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return "\"" + key + "\":";
}

void append_number(std::string &out, int64_t value)
{
    char text[24];
    out.append(text, size_t(std::to_chars(text, text + sizeof(text), value).ptr - text));
}

void append_text_field(std::string &out, const char *key, std::string_view text)
{
    out += ",\"";
    out += key;
    out += "\":";
    out += json_string(text);
}

void append_ipv4(std::string &out, uint32_t addr)
{
    char text[18];
    char *p = text;
    *p++ = '"';
    for (int shift = 24; shift >= 0; shift -= 8) {
        p = std::to_chars(p, text + sizeof(text), (addr >> shift) & 0xff).ptr;
        *p++ = shift ? '.' : '"';
    }
    out.append(text, size_t(p - text));
}

// "other_info":"..." and, for jq, the parts the text has.
const std::string &other_info_members(report_state &state, uint32_t id)
{
    while (state.json_other_info.size() <= id) {
        std::string_view text = state.names.text(uint32_t(state.json_other_info.size()));
        std::string members = key_of_label(OTHER_INFO_LABEL) + json_string(text);
        other_info_fields parts = split_other_info(text);
        if (!parts.verdict.empty())
            append_text_field(members, "verdict", parts.verdict);
        if (!parts.hook.empty())
            append_text_field(members, "hook", parts.hook);
        if (!parts.table.empty())
            append_text_field(members, "table", parts.table);
        if (!parts.chain.empty())
            append_text_field(members, "chain", parts.chain);
        if (!parts.sock.empty())
            append_text_field(members, "sock", parts.sock);
        if (!parts.reason.empty())
            append_text_field(members, "reason", parts.reason);
        if (!parts.location.empty())
            append_text_field(members, "location", parts.location);
        state.json_other_info.push_back(std::move(members));
    }
    return state.json_other_info[id];
}

// Appends pieces to a string through a pointer, into room made beforehand:
// a row is two dozen pieces, and appending each would check and copy each.
struct piece_writer {
    char *at;
    void text(const std::string &piece)
    {
        memcpy(at, piece.data(), piece.size());
        at += piece.size();
    }
    void number(int64_t value) { at = std::to_chars(at, at + 20, value).ptr; }
    void ipv4(uint32_t addr)
    {
        *at++ = '"';
        for (int shift = 24; shift >= 0; shift -= 8) {
            at = std::to_chars(at, at + 3, (addr >> shift) & 0xff).ptr;
            *at++ = shift ? '.' : '"';
        }
    }
};

// The members from SIP to the last protocol column: the same in every row
// of most journeys (they are the key's), so the first row's are copied into
// the others.
struct flow_members {
    const trace_row *first = nullptr;
    std::string text;

    bool fits(const trace_row &row) const
    {
        return first && row.saddr == first->saddr && row.daddr == first->daddr &&
               memcmp(row.fields, first->fields, sizeof(row.fields)) == 0;
    }
};

void append_row(std::string &out, report_state &state, const protocol_layout_t &layout, const trace_row &row,
                flow_members &flow)
{
    static const std::string line_key = "{\"line\":";
    static std::string common_keys[COMMON_COUNT];
    static std::string protocol_keys[std::size(PROTOCOLS)][4];
    std::string *keys = protocol_keys[&layout - PROTOCOLS];
    size_t keys_size = line_key.size();
    if (common_keys[0].empty())
        for (size_t i = 0; i < COMMON_COUNT; i++)
            common_keys[i] = "," + key_of_label(COMMON[i].label);
    for (size_t i = 0; i < COMMON_COUNT; i++)
        keys_size += common_keys[i].size();
    for (size_t i = 0; i < layout.count; i++) {
        if (keys[i].empty())
            keys[i] = "," + key_of_label(layout.columns[i].label);
        keys_size += keys[i].size();
    }
    // Made first: making one may move the others.
    const uint32_t text_ids[] = {row.function, row.device, row.smac, row.dmac};
    for (uint32_t id : text_ids)
        quoted_name(state, id);
    const std::string *texts[4];
    size_t texts_size = 0;
    for (size_t i = 0; i < 4; i++) {
        texts[i] = &state.json_texts[text_ids[i]];
        texts_size += texts[i]->size();
    }
    const std::string &info = other_info_members(state, row.other_info);

    // Keys, texts, 7 numbers of up to 20 characters, 2 addresses of up to 17, 2 more.
    size_t start = out.size();
    out.resize(start + keys_size + texts_size + info.size() + 7 * 20 + 2 * 17 + 2);
    piece_writer w{out.data() + start};
    w.text(line_key);
    w.number(row.line);
    w.text(common_keys[TIME]);
    w.number(row.time);
    w.text(common_keys[CPU]);
    w.number(row.cpu);
    const size_t text_columns[] = {TRACE_INFO, INTERFACE, SMAC, DMAC};
    for (size_t i = 0; i < 4; i++) {
        w.text(common_keys[text_columns[i]]);
        w.text(*texts[i]);
    }
    if (flow.fits(row)) {
        w.text(flow.text);
    } else {
        const char *from = w.at;
        w.text(common_keys[SIP]);
        w.ipv4(row.saddr);
        w.text(common_keys[DIP]);
        w.ipv4(row.daddr);
        for (size_t i = 0; i < layout.count; i++) {
            w.text(keys[i]);
            w.number(row.fields[i]);
        }
        if (!flow.first)
            flow.text.assign(from, size_t(w.at - from)), flow.first = &row;
    }
    *w.at++ = ',';
    w.text(info);
    *w.at++ = '}';
    out.resize(size_t(w.at - out.data()));
}

// A journey's members: its packet from the first part, its ending from the
// last, rows across all parts (each with its host when hosts are named).
void append_journey(std::string &out, report_state &state, const char *kind, const journey *const *parts,
                    size_t count, int64_t duration_ns, bool repeated_fields, const std::string *hosts)
{
    const journey &j = *parts[0], &last = *parts[count - 1];
    const trace_source &source = state.sources[j.source];
    const protocol_layout_t &layout = *protocol_layout(source.protocol);
    const trace_row &first = j.rows.front();
    out += kind;
    out += SCHEMA_MEMBER;
    out += ",\"file\":";
    out += quoted_name(state, state.names.id(source.name));
    out += ",\"protocol\":\"";
    out += layout.name;
    out += '"';
    out += repeated_fields ? ",\"repeated_fields\":true" : ",\"repeated_fields\":false";
    // Numbers and a few words: nothing in it to escape.
    out += ",\"flow\":\"";
    out += flow_text(source.protocol, first);
    out += '"';
    out += ",\"saddr\":";
    append_ipv4(out, first.saddr);
    out += ",\"daddr\":";
    append_ipv4(out, first.daddr);
    // Ports for TCP and UDP; ICMP has none.
    for (size_t i : {size_t(0), size_t(1)}) {
        out += i ? ",\"dport\":" : ",\"sport\":";
        if (source.protocol == 1)
            out += "null";
        else
            append_number(out, first.fields[i]);
    }
    out += ",\"start_ns\":";
    append_number(out, j.start());
    out += ",\"duration_ns\":";
    append_number(out, duration_ns);
    // Frames with repeated fields are no packet: they have no ending.
    bool known = !repeated_fields && last.ending_known;
    out += ",\"ending\":";
    if (!known)
        out += "null";
    else if (!last.dropped && last.ending_note.empty())
        out += quoted_name(state, ended_at(state, last.rows.back().function));
    else
        out += json_string(ending_of(state, last));
    out += !known ? ",\"dropped\":null" : last.dropped ? ",\"dropped\":true" : ",\"dropped\":false";
    // What is known of the drop: the table walk's and the kernel's.
    const std::pair<const char *, std::string_view> drop[] = {
        {"drop_table", last.drop_table},   {"drop_chain", last.drop_chain},       {"drop_hook", last.drop_hook},
        {"drop_reason", last.drop_reason}, {"drop_function", last.drop_function},
    };
    for (const auto &[key, text] : drop) {
        if (known && last.dropped && !text.empty()) {
            append_text_field(out, key, text);
            continue;
        }
        out += ",\"";
        out += key;
        out += "\":null";
    }
    out += ",\"path\":[";
    bool first_step = true;
    for (size_t p = 0; p < count; p++)
        for (uint32_t step : parts[p]->steps) {
            if (!first_step)
                out += ',';
            out += quoted_name(state, step);
            first_step = false;
        }
    out += ']';
    out += ",\"rows\":[";
    flow_members flow;
    bool first_row = true;
    for (size_t p = 0; p < count; p++)
        for (const trace_row &row : parts[p]->rows) {
            if (!first_row)
                out += ',';
            size_t at = out.size();
            append_row(out, state, layout, row, flow);
            if (hosts)
                out.insert(at + 1, "\"host\":" + json_string(hosts[p]) + ",");
            first_row = false;
        }
    out += ']';
}

} // namespace

void append_json_line(std::string &out, report_state &state, const journey &j, bool repeated_fields)
{
    const journey *parts[] = {&j};
    append_journey(out, state, repeated_fields ? "{\"kind\":\"repeated\"" : "{\"kind\":\"journey\"", parts, 1,
                   j.duration_ns(), repeated_fields, nullptr);
    out += "}\n";
}

void append_json_joined(std::string &out, report_state &state, const host_join &join, const joined_journey &jj)
{
    const journey *parts[] = {jj.sent, jj.received};
    const std::string hosts[] = {join.hosts[jj.from], join.hosts[jj.to]};
    append_journey(out, state, "{\"kind\":\"joined\"", parts, 2, joined_duration(jj), false, hosts);
    out += ",\"hosts\":[" + json_string(hosts[0]) + "," + json_string(hosts[1]) + "],\"wire_ns\":";
    append_number(out, jj.wire_ns);
    out += ",\"wire_error_ns\":";
    append_number(out, jj.wire_error_ns);
    out += "}\n";
}

void append_json_clocks(std::string &out, const host_join &join)
{
    for (const host_clock &c : join.clocks) {
        out += "{\"kind\":\"clock\"";
        out += SCHEMA_MEMBER;
        out += ",\"hosts\":[" + json_string(join.hosts[c.a]) + "," + json_string(join.hosts[c.b]) + "],\"offset_ns\":";
        append_number(out, c.offset_ns);
        out += ",\"error_ns\":";
        append_number(out, c.error_ns);
        out += ",\"matched\":";
        append_number(out, int64_t(c.matched));
        out += "}\n";
    }
}

void append_json_summary(std::string &out, report_state &state, report_totals &totals)
{
    for (const stage_summary &s : summarize_stages(state, totals.stages)) {
        out += "{\"kind\":\"stage\"";
        out += SCHEMA_MEMBER;
        out += ",\"from\":" + quoted_name(state, s.from) + ",\"to\":" + quoted_name(state, s.to);
        const std::pair<const char *, int64_t> numbers[] = {
            {"count", int64_t(s.count)}, {"p50_ns", s.p50}, {"p90_ns", s.p90}, {"p99_ns", s.p99}, {"max_ns", s.max}};
        for (const auto &[key, value] : numbers) {
            out += ",\"";
            out += key;
            out += "\":";
            append_number(out, value);
        }
        out += "}\n";
    }
    out += "{\"kind\":\"summary\"";
    out += SCHEMA_MEMBER;
    const std::pair<const char *, uint64_t> counts[] = {{"journeys", totals.journeys},
                                                        {"rows", totals.rows},
                                                        {"repeated_frames", totals.repeated_frames},
                                                        {"unreadable_rows", state.unreadable_rows}};
    for (const auto &[key, value] : counts) {
        out += ",\"";
        out += key;
        out += "\":";
        append_number(out, int64_t(value));
    }
    out += ",\"endings\":[";
    bool first = true;
    for (const auto &[ending, count] : count_endings(totals.endings)) {
        out += first ? "{\"ending\":" : ",{\"ending\":";
        out += json_string(ending) + ",\"count\":";
        append_number(out, int64_t(count));
        out += '}';
        first = false;
    }
    out += "]}\n";
}
