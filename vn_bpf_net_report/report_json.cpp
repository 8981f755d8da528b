// JSON Lines. Every text of a row comes from the name table, so the
// library escapes each distinct text once (invalid UTF-8 replaced) and the
// rows are assembled from those pieces and numbers: at a million rows a
// second a JSON object per row would cost more than all the reading.
#include <charconv>
#include <cstring>

#include <nlohmann/json.hpp>

#include "endings.h"
#include "report_writer.h"
#include "stages.h"
#include "steps.h"
#include "trace_layout.h"
#include "trace_rows.h"
#include "vn_bpf_net_monitor.h"

using namespace trace_layout;

namespace {

constexpr const char *SCHEMA_MEMBER = ",\"schema\":3";

std::string json_string(std::string_view text)
{
    return nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
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

// "other_info":"..." and, for jq, the parts the text has.
std::string other_info_members(std::string_view text)
{
    std::string members = key_of_label(OTHER_INFO_LABEL) + json_string(text);
    other_info_fields parts = split_other_info(text);
    const std::pair<const char *, std::string_view> named[] = {
        {"verdict", parts.verdict}, {"hook", parts.hook},     {"table", parts.table},
        {"chain", parts.chain},     {"sock", parts.sock},     {"reason", parts.reason},
        {"location", parts.location}, {"buffer", parts.buffer},
    };
    for (const auto &[key, part] : named)
        if (!part.empty())
            append_text_field(members, key, part);
    return members;
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
    void unsigned_number(uint64_t value) { at = std::to_chars(at, at + 20, value).ptr; }
    // A row's address (as rows keep it), quoted: up to ADDRESS_MAX bytes.
    static constexpr size_t ADDRESS_MAX = IPV6_TEXT_MAX + 2;
    void address(const name_table &names, bool ipv6, uint32_t addr)
    {
        *at++ = '"';
        at = ipv6 ? write_address(at, address_of(names, true, addr)) : write_ipv4(at, addr);
        *at++ = '"';
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

// `saddr_key` and the source address, then "daddr" and the destination's.
void append_addresses(std::string &out, const name_table &names, const char *saddr_key, bool ipv6, uint32_t saddr,
                      uint32_t daddr)
{
    char address[piece_writer::ADDRESS_MAX];
    for (auto [key, addr] : {std::pair{saddr_key, saddr}, std::pair{",\"daddr\":", daddr}}) {
        out += key;
        piece_writer w{address};
        w.address(names, ipv6, addr);
        out.append(address, size_t(w.at - address));
    }
}

// "rewrites":[{"row":9,"kind":"snat","from":{"saddr":..,"daddr":..,"sport":..,"dport":..},"to":{..}}],
// for ICMP "id" in place of the ports.
void append_rewrites(std::string &out, const name_table &names, uint32_t protocol, const std::vector<rewrite> &rewrites)
{
    auto put = [&](const endpoints &e) {
        append_addresses(out, names, "{\"saddr\":", e.ipv6, e.saddr, e.daddr);
        if (is_icmp(protocol)) {
            out += ",\"id\":";
            append_number(out, e.sport);
        } else {
            out += ",\"sport\":";
            append_number(out, e.sport);
            out += ",\"dport\":";
            append_number(out, e.dport);
        }
        out += '}';
    };
    out += ",\"rewrites\":[";
    for (size_t i = 0; i < rewrites.size(); i++) {
        out += i ? ",{\"row\":" : "{\"row\":";
        append_number(out, rewrites[i].row);
        out += ",\"kind\":\"";
        out += rewrite_kind(rewrites[i]);
        out += "\",\"from\":";
        put(rewrites[i].from);
        out += ",\"to\":";
        put(rewrites[i].to);
        out += '}';
    }
    out += ']';
}

struct json_report final : report_writer {
    std::string &out;
    report_state &state;
    const std::vector<std::string> &hosts;
    // By name id, made once: the text as a JSON string, and as the JSON
    // members of an OTHER_INFO text ("other_info" and its parts).
    rendered_names quoted_names, other_infos;
    std::vector<std::string> quoted_steps; // by step id
    std::vector<std::string> ended_at;     // by function id: "ended at F" quoted, once made
    std::vector<std::string> files;        // by source
    const host_join *join = nullptr;
    std::string scratch;

    json_report(std::string &out_, report_state &state_, const std::vector<std::string> &hosts_)
        : out(out_), state(state_), hosts(hosts_)
    {
    }
    const std::string &quoted(uint32_t id) { return quoted_names.get(state.names, id, json_string); }
    const std::string &sentence(const ending &e);
    void row(const protocol_layout_t &layout, const trace_row &row, flow_members &flow);
    void members(const char *kind, const ::journey *const *parts, size_t count, int64_t duration_ns,
                 bool repeated_fields, const uint32_t *part_hosts);

    void header(const host_join *join) override;
    void journey(const ::journey &j) override;
    void frames(const ::journey &j) override;
    void joined(const joined_journey &jj) override;
    void summary(const report_totals &totals) override;
};

void json_report::row(const protocol_layout_t &layout, const trace_row &row, flow_members &flow)
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
        quoted(id);
    const std::string *texts[4];
    size_t texts_size = 0;
    for (size_t i = 0; i < 4; i++) {
        texts[i] = &quoted_names.texts[text_ids[i]];
        texts_size += texts[i]->size();
    }
    const std::string &info = other_infos.get(state.names, row.other_info, other_info_members);

    // With -N's columns: the packet's number and the row's namespace, where known.
    static const std::string packet_key = ",\"packet\":", netns_key = ",\"netns\":";
    keys_size += packet_key.size() + netns_key.size();
    // Keys, texts, 9 numbers of up to 20 characters, 2 addresses, 2 more.
    size_t start = out.size();
    out.resize(start + keys_size + texts_size + info.size() + 9 * 20 + 2 * piece_writer::ADDRESS_MAX + 2);
    piece_writer w{out.data() + start};
    w.text(line_key);
    w.number(row.line);
    w.text(common_keys[TIME]);
    w.number(row.time);
    w.text(common_keys[CPU]);
    w.number(row.cpu);
    if (row.packet)
        w.text(packet_key), w.unsigned_number(row.packet);
    const size_t text_columns[] = {TRACE_INFO, INTERFACE, SMAC, DMAC};
    for (size_t i = 0; i < 4; i++) {
        w.text(common_keys[text_columns[i]]);
        w.text(*texts[i]);
        if (text_columns[i] == INTERFACE && row.netns)
            w.text(netns_key), w.number(row.netns);
    }
    if (flow.fits(row)) {
        w.text(flow.text);
    } else {
        const char *from = w.at;
        w.text(common_keys[SIP]);
        w.address(state.names, row.ipv6, row.saddr);
        w.text(common_keys[DIP]);
        w.address(state.names, row.ipv6, row.daddr);
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
void json_report::members(const char *kind, const ::journey *const *parts, size_t count, int64_t duration_ns,
                          bool repeated_fields, const uint32_t *part_hosts)
{
    const ::journey &j = *parts[0];
    const ending &end = parts[count - 1]->end;
    const trace_source &source = state.sources[j.source];
    const protocol_layout_t &layout = *protocol_layout(source.protocol);
    const trace_row &first = j.rows.front();
    out += kind;
    out += SCHEMA_MEMBER;
    out += ",\"file\":";
    while (files.size() <= j.source)
        files.push_back(json_string(state.sources[files.size()].name));
    out += files[j.source];
    out += ",\"protocol\":\"";
    out += layout.name;
    out += source.ipv6 ? "\",\"family\":\"ipv6\"" : "\",\"family\":\"ipv4\"";
    out += repeated_fields ? ",\"repeated_fields\":true" : ",\"repeated_fields\":false";
    // Numbers and a few words: nothing in it to escape.
    out += ",\"flow\":\"";
    out += flow_text(state.names, source.protocol, first);
    out += '"';
    append_addresses(out, state.names, ",\"saddr\":", first.ipv6, first.saddr, first.daddr);
    // Ports for TCP and UDP; ICMP has none.
    for (size_t i : {size_t(0), size_t(1)}) {
        out += i ? ",\"dport\":" : ",\"sport\":";
        if (is_icmp(source.protocol))
            out += "null";
        else
            append_number(out, first.fields[i]);
    }
    out += ",\"start_ns\":";
    append_number(out, j.start());
    out += ",\"duration_ns\":";
    append_number(out, duration_ns);
    bool first_of_flow = false;
    for (size_t p = 0; p < count; p++)
        first_of_flow = first_of_flow || parts[p]->first_of_flow;
    out += first_of_flow ? ",\"first_of_flow\":true" : ",\"first_of_flow\":false";
    // Frames with repeated fields are no packet: they have no ending.
    bool known = !repeated_fields && end.known();
    out += ",\"ending\":";
    if (!known)
        out += "null";
    else
        out += sentence(end);
    out += !known ? ",\"dropped\":null" : end.is_drop() ? ",\"dropped\":true" : ",\"dropped\":false";
    out += ",\"class\":";
    if (!known)
        out += "null";
    else
        (out += '"') += class_name(end.what()), out += '"';
    // What is known of the drop: the table walk's and the kernel's.
    const std::pair<const char *, uint32_t> drop[] = {
        {"drop_table", end.table},   {"drop_chain", end.chain},       {"drop_hook", end.hook},
        {"drop_reason", end.reason}, {"drop_function", end.function},
    };
    for (const auto &[key, id] : drop) {
        if (known && end.is_drop() && id != NO_NAME) {
            append_text_field(out, key, state.names.text(id));
            continue;
        }
        out += ",\"";
        out += key;
        out += "\":null";
    }
    out += ",\"path\":[";
    bool first_step = true;
    for (size_t p = 0; p < count; p++)
        for (uint32_t id : parts[p]->steps) {
            if (!first_step)
                out += ',';
            while (quoted_steps.size() <= id)
                quoted_steps.push_back(json_string(step_name(state, state.steps.get(uint32_t(quoted_steps.size())))));
            out += quoted_steps[id];
            first_step = false;
        }
    out += ']';
    append_rewrites(out, state.names, source.protocol, count == 1 ? j.rewrites : std::vector<rewrite>());
    out += ",\"rows\":[";
    flow_members flow;
    bool first_row = true;
    for (size_t p = 0; p < count; p++)
        for (const trace_row &r : parts[p]->rows) {
            if (!first_row)
                out += ',';
            size_t at = out.size();
            row(layout, r, flow);
            if (part_hosts)
                out.insert(at + 1, "\"host\":" + json_string(hosts[part_hosts[p]]) + ",");
            first_row = false;
        }
    out += ']';
}

// The ending as a JSON string: most journeys end in a few functions.
const std::string &json_report::sentence(const ending &e)
{
    if (e.kind != ending_kind::ended) {
        scratch = json_string(ending_sentence(state.names, hosts, e));
        return scratch;
    }
    if (ended_at.size() <= e.function)
        ended_at.resize(e.function + 1);
    if (ended_at[e.function].empty())
        ended_at[e.function] = json_string(ending_sentence(state.names, hosts, e));
    return ended_at[e.function];
}

void json_report::journey(const ::journey &j)
{
    const ::journey *parts[] = {&j};
    members("{\"kind\":\"journey\"", parts, 1, j.duration_ns(), false, nullptr);
    out += "}\n";
}

void json_report::frames(const ::journey &j)
{
    const ::journey *parts[] = {&j};
    members("{\"kind\":\"repeated\"", parts, 1, j.duration_ns(), true, nullptr);
    out += "}\n";
}

void json_report::joined(const joined_journey &jj)
{
    const ::journey *parts[] = {jj.sent, jj.received};
    const uint32_t part_hosts[] = {jj.from, jj.to};
    members("{\"kind\":\"joined\"", parts, 2, joined_duration(jj), false, part_hosts);
    out += ",\"hosts\":[" + json_string(hosts[jj.from]) + "," + json_string(hosts[jj.to]) + "],\"wire_ns\":";
    append_number(out, jj.wire_ns);
    out += ",\"wire_error_ns\":";
    append_number(out, jj.wire_error_ns);
    out += "}\n";
}

void json_report::header(const host_join *join)
{
    this->join = join;
    if (!join)
        return;
    for (const host_clock &c : join->clocks) {
        out += "{\"kind\":\"clock\"";
        out += SCHEMA_MEMBER;
        out += ",\"hosts\":[" + json_string(join->hosts[c.a]) + "," + json_string(join->hosts[c.b]) + "],\"offset_ns\":";
        append_number(out, c.offset_ns);
        out += ",\"error_ns\":";
        append_number(out, c.error_ns);
        out += ",\"matched\":";
        append_number(out, int64_t(c.matched));
        out += "}\n";
    }
}

void json_report::summary(const report_totals &totals)
{
    // Stages per file: a source's group is the first source read from its file.
    std::vector<uint32_t> file_of_source(state.sources.size());
    for (uint32_t i = 0; i < state.sources.size(); i++) {
        file_of_source[i] = i;
        for (uint32_t k = 0; k < i && file_of_source[i] == i; k++)
            if (state.sources[k].name == state.sources[i].name)
                file_of_source[i] = file_of_source[k];
    }
    for (const stage_summary &s : summarize_stages(state, totals.stages, false, &file_of_source)) {
        out += "{\"kind\":\"stage\"";
        out += SCHEMA_MEMBER;
        out += ",\"file\":" + json_string(state.sources[s.source].name) + ",\"host\":";
        uint32_t host = join && s.source < join->host_of_source.size() ? join->host_of_source[s.source] : 0;
        out += host < hosts.size() ? json_string(hosts[host]) : "null";
        out += ",\"from\":" + json_string(step_name(state, state.steps.get(s.from))) +
               ",\"to\":" + json_string(step_name(state, state.steps.get(s.to)));
        const std::pair<const char *, int64_t> numbers[] = {
            {"count", int64_t(s.count)}, {"p50_ns", s.p50}, {"p90_ns", s.p90}, {"p99_ns", s.p99},
            {"max_ns", s.max},           {"mean_ns", s.mean}, {"total_ns", s.total}};
        for (const auto &[key, value] : numbers) {
            out += ",\"";
            out += key;
            out += "\":";
            append_number(out, value);
        }
        out += s.max_first ? ",\"max_first_of_flow\":true}\n" : ",\"max_first_of_flow\":false}\n";
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
    out += ",\"classes\":{";
    for (ending_class c : {ending_class::delivered, ending_class::dropped, ending_class::not_seen}) {
        out += c == ending_class::delivered ? "\"" : ",\"";
        out += class_name(c);
        out += "\":";
        append_number(out, int64_t(totals.by_class[size_t(c)]));
    }
    out += "}";
    out += ",\"endings\":[";
    bool first = true;
    for (const ending_count &e : endings_by_count(state, hosts, totals)) {
        out += first ? "{\"ending\":" : ",{\"ending\":";
        out += json_string(e.sentence) + ",\"class\":\"" + class_name(e.told.what()) + "\",\"count\":";
        append_number(out, int64_t(e.count));
        out += '}';
        first = false;
    }
    out += "]}\n";
}

} // namespace

std::unique_ptr<report_writer> json_writer(std::string &out, report_state &state,
                                           const std::vector<std::string> &hosts)
{
    return std::make_unique<json_report>(out, state, hosts);
}
