// The trace reader (REPORT_BIN) run on the lab's traces: its JSON lines,
// each held against the documented schema, and the packet each journey is.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>

#include "lab_results.h"
#include "report_schema.h"

// A journey's text field, empty where the schema has null.
inline std::string text_of(const nlohmann::json& j, const char* field)
{
    return j[field].is_string() ? j[field].get<std::string>() : "";
}

// Every line the reader writes for ARGS, each held against the schema; its
// exit status in STATUS.
inline std::vector<nlohmann::json> reader_lines(const std::string& args, int& status)
{
    std::vector<nlohmann::json> lines;
    status = -1;
    FILE* pipe = popen((std::string(REPORT_BIN) + " --json " + args + " 2>&1").c_str(), "r");
    if (!pipe)
        return lines;
    std::string text;
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;)
        text.append(buf, n);
    status = pclose(pipe);
    EXPECT_EQ(status, 0) << text.substr(0, 500);
    for (const auto& line : lines_of(text)) {
        auto j = nlohmann::json::parse(line, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << line;
        if (!j.is_discarded())
            lines.push_back(j);
    }
    EXPECT_EQ(stream_error(lines), "");
    return lines;
}

inline std::vector<nlohmann::json> journeys_of(const Monitor& m)
{
    int status;
    std::vector<nlohmann::json> out;
    for (const auto& j : reader_lines("'" + m.trace_path + "'", status))
        if (j["kind"] == "journey" || j["kind"] == "repeated")
            out.push_back(j);
    return out;
}

// The packet key of a journey, from its first row, as the capture's.
inline std::string key_of(const std::string& protocol, const nlohmann::json& row)
{
    std::string sip = row["sip"], dip = row["dip"];
    if (protocol == "tcp")
        return packet_key(6, sip, dip, row["sport"], row["dport"], row["seq"], row["ack_seq"]);
    if (protocol == "udp")
        return packet_key(17, sip, dip, row["sport"], row["dport"], row["len"], 0);
    return packet_key(1, sip, dip, row["type"], row["code"], row["id"], row["sequence"]);
}
