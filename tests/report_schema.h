// The reader's JSON Lines, schema 3, as README and the manual page list
// them: every line has a kind, and every line of a kind the same keys, of
// these types ("|null" where the value may be unknown). The tests and the
// lab hold every line they read against it.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct schema_key {
    const char *key;
    const char *types; // "string", "integer", "boolean", "array", "string|null", ...
};

inline const std::map<std::string, std::vector<schema_key>> &report_schema()
{
    static const std::vector<schema_key> journey = {
        {"kind", "string"},          {"schema", "integer"},        {"file", "string"},
        {"protocol", "string"},      {"family", "string"},         {"repeated_fields", "boolean"}, {"flow", "string"},
        {"saddr", "string"},         {"daddr", "string"},          {"sport", "integer|null"},
        {"dport", "integer|null"},   {"start_ns", "integer"},      {"duration_ns", "integer"},   {"first_of_flow", "boolean"},
        {"ending", "string|null"},   {"dropped", "boolean|null"},  {"class", "string|null"}, {"drop_table", "string|null"},
        {"drop_chain", "string|null"}, {"drop_hook", "string|null"}, {"drop_reason", "string|null"},
        {"drop_function", "string|null"}, {"path", "array"},       {"rewrites", "array"}, {"rows", "array"},
    };
    // A packet seen on two hosts: a journey's keys, then its hosts and the wire.
    static std::vector<schema_key> joined = journey;
    if (joined.size() == journey.size())
        joined.insert(joined.end(), {{"hosts", "array"}, {"wire_ns", "integer"}, {"wire_error_ns", "integer"}});
    static const std::map<std::string, std::vector<schema_key>> kinds = {
        {"journey", journey},
        {"repeated", journey},
        {"joined", joined},
        {"clock",
         {{"kind", "string"}, {"schema", "integer"}, {"hosts", "array"}, {"offset_ns", "integer"},
          {"error_ns", "integer"}, {"matched", "integer"}}},
        {"stage",
         {{"kind", "string"}, {"schema", "integer"}, {"file", "string"}, {"host", "string|null"}, {"from", "string"},
          {"to", "string"}, {"count", "integer"}, {"p50_ns", "integer"}, {"p90_ns", "integer"}, {"p99_ns", "integer"},
          {"max_ns", "integer"}, {"mean_ns", "integer"}, {"total_ns", "integer"}, {"max_first_of_flow", "boolean"}}},
        {"summary",
         {{"kind", "string"}, {"schema", "integer"}, {"journeys", "integer"}, {"rows", "integer"},
          {"repeated_frames", "integer"}, {"unreadable_rows", "integer"}, {"classes", "object"}, {"endings", "array"}}},
    };
    return kinds;
}

inline bool of_type(const nlohmann::json &value, const std::string &types)
{
    for (size_t start = 0; start <= types.size();) {
        size_t end = types.find('|', start);
        std::string type = types.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if ((type == "null" && value.is_null()) || (type == "string" && value.is_string()) ||
            (type == "integer" && value.is_number_integer()) || (type == "boolean" && value.is_boolean()) ||
            (type == "array" && value.is_array()) || (type == "object" && value.is_object()))
            return true;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return false;
}

// "" when the line holds to the schema, else what is wrong with it.
inline std::string schema_error(const nlohmann::json &line)
{
    if (!line.is_object() || !line.contains("kind") || !line["kind"].is_string())
        return "no kind";
    auto kind = report_schema().find(line["kind"].get<std::string>());
    if (kind == report_schema().end())
        return "unknown kind " + line["kind"].dump();
    if (line.size() != kind->second.size())
        return "not the keys of its kind";
    for (const schema_key &k : kind->second) {
        if (!line.contains(k.key))
            return std::string("no ") + k.key;
        if (!of_type(line[k.key], k.types))
            return std::string(k.key) + " is no " + k.types;
    }
    if (line["schema"] != 3)
        return "schema is not 3";
    if (kind->first == "joined" || kind->first == "clock") {
        const auto &hosts = line["hosts"];
        if (hosts.size() != 2 || !hosts[0].is_string() || !hosts[1].is_string() || hosts[0] == hosts[1])
            return "hosts are not two names";
    }
    if (kind->first == "joined") {
        if (line["wire_ns"] < 0 || line["wire_error_ns"] < 0)
            return "a negative wire time or bound";
        for (const auto &row : line["rows"])
            if (!row.contains("host") || (row["host"] != line["hosts"][0] && row["host"] != line["hosts"][1]))
                return "a row without one of the hosts";
        if (line["rows"].front()["host"] != line["hosts"][0] || line["rows"].back()["host"] != line["hosts"][1])
            return "rows not in the order the packet met the hosts";
    }
    if (kind->first == "journey" || kind->first == "repeated" || kind->first == "joined") {
        if (line["family"] != "ipv4" && line["family"] != "ipv6")
            return "family is neither ipv4 nor ipv6";
        if (line["path"].size() != line["rows"].size() || line["rows"].empty())
            return "a path step per row";
        if ((kind->first == "repeated") != line["repeated_fields"].get<bool>())
            return "repeated_fields disagrees with the kind";
        for (const auto &step : line["path"])
            if (!step.is_string())
                return "a path step is no string";
        for (const auto &row : line["rows"])
            if (!row.is_object() || !row["line"].is_number_integer() || !row["time"].is_number_integer())
                return "a row without its line and time";
        // A rewrite: the row that first shows `to`, and which side changed.
        for (const auto &r : line["rewrites"])
            if (!r.is_object() || r.size() != 4 || !r["row"].is_number_integer() || r["row"] < 1 ||
                r["row"] >= line["rows"].size() || !r["from"].is_object() || !r["to"].is_object() ||
                (r["kind"] != "snat" && r["kind"] != "dnat" && r["kind"] != "nat"))
                return "a rewrite is not {row, kind, from, to}";
    }
    if (kind->first == "summary")
        for (const auto &e : line["endings"])
            if (e.size() != 3 || !e["ending"].is_string() || !e["class"].is_string() ||
                !e["count"].is_number_integer())
                return "an ending is not {ending, class, count}";
    if (kind->first == "summary")
        for (const char *c : {"delivered", "dropped", "not_seen"})
            if (line["classes"].size() != 3 || !line["classes"][c].is_number_integer())
                return "classes are not {delivered, dropped, not_seen}";
    return "";
}

// "" when a whole stream holds to it: every line, then the stage lines and
// one summary at the end.
inline std::string stream_error(const std::vector<nlohmann::json> &lines)
{
    if (lines.empty() || lines.back()["kind"] != "summary")
        return "the stream does not end with its summary";
    bool stages = false, journeys = false;
    for (size_t i = 0; i < lines.size(); i++) {
        std::string error = schema_error(lines[i]);
        if (!error.empty())
            return "line " + std::to_string(i + 1) + ": " + error + ": " + lines[i].dump().substr(0, 300);
        std::string kind = lines[i]["kind"];
        if (kind == "summary" && i + 1 != lines.size())
            return "a summary before the end";
        if (stages && kind != "stage" && kind != "summary")
            return "a " + kind + " after the stages";
        if (kind == "clock" && journeys)
            return "a clock after a journey";
        journeys = journeys || kind != "clock";
        stages = stages || kind == "stage";
    }
    return "";
}
