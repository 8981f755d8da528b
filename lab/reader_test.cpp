// The trace reader on every trace the lab takes: every captured packet that a
// monitor's filter lets through is one journey of the reader, and nothing
// else is. REPORT_BIN is the reader under test.
#include <nlohmann/json.hpp>

#include <cstdio>

#include "lab_results.h"
#include "report_schema.h"

namespace {

// The reader's journeys and frames for one trace, its whole JSON stream
// held against the documented schema.
// A journey's text field, empty where the schema has null.
std::string text_of(const nlohmann::json& j, const char* field)
{
    return j[field].is_string() ? j[field].get<std::string>() : "";
}

std::vector<nlohmann::json> journeys_of(const Monitor& m)
{
    std::vector<nlohmann::json> out;
    FILE* pipe = popen((std::string(REPORT_BIN) + " --json '" + m.trace_path + "' 2>&1").c_str(), "r");
    if (!pipe)
        return out;
    std::string text;
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;)
        text.append(buf, n);
    EXPECT_EQ(pclose(pipe), 0) << text.substr(0, 500);
    std::vector<nlohmann::json> lines;
    for (const auto& line : lines_of(text)) {
        auto j = nlohmann::json::parse(line, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << line;
        if (!j.is_discarded())
            lines.push_back(j);
    }
    EXPECT_EQ(stream_error(lines), "");
    for (const auto& j : lines)
        if (j["kind"] == "journey" || j["kind"] == "repeated")
            out.push_back(j);
    return out;
}

// The packet key of a journey, from its first row, as the capture's.
std::string key_of(const std::string& protocol, const nlohmann::json& row)
{
    std::string sip = row["sip"], dip = row["dip"];
    if (protocol == "tcp")
        return packet_key(6, sip, dip, row["sport"], row["dport"], row["seq"], row["ack_seq"]);
    if (protocol == "udp")
        return packet_key(17, sip, dip, row["sport"], row["dport"], row["len"], 0);
    return packet_key(1, sip, dip, row["type"], row["code"], row["id"], row["sequence"]);
}

TEST(Reader, EveryCapturedPacketIsOneJourneyOfTheReader)
{
    const Lab& l = lab();
    int journeys = 0;
    for (const auto& ph : l.phases) {
        for (const auto& [name, m] : ph.monitors) {
            SCOPED_TRACE("phase " + ph.name + ", " + name);
            std::map<std::string, int> captured, found;
            for (const auto& p : ph.packets)
                captured[p.key] += m.covers(p);
            for (const auto& j : journeys_of(m)) {
                EXPECT_FALSE(j["repeated_fields"].get<bool>()) << j.dump().substr(0, 300);
                const auto& row = j["rows"][0];
                // The SYN the OUTPUT rule rejects reaches no device to be captured on.
                if (j["protocol"] == "tcp" && row["sip"] == l["HOST_A"] &&
                    std::to_string(row["dport"].get<unsigned>()) == l["REJECT_PORT"])
                    continue;
                found[key_of(j["protocol"], row)]++;
                journeys++;
            }
            for (const auto& [key, n] : captured) {
                if (n) {
                    EXPECT_EQ(found[key], n) << "journeys of " << key;
                }
            }
            for (const auto& [key, n] : found)
                EXPECT_EQ(captured[key], n) << "journeys of " << key << ", a packet the capture does not have";
        }
    }
    EXPECT_GT(journeys, 0);
}

// Every packet the kernel dropped reads as dropped, with the place and the
// cause: a table (and nft chain) and hook for a rule's drop, the function
// and the kernel's reason for any other; a delivered one ends at its last
// function.
TEST(Reader, EveryDropReadsAsDroppedWithThePlaceAndTheCause)
{
    const Lab& l = lab();
    std::map<std::string, int> endings;
    for (const auto& ph : l.phases) {
        for (const auto& [name, m] : ph.monitors) {
            SCOPED_TRACE("phase " + ph.name + ", " + name);
            std::map<std::string, std::vector<const Packet*>> by_key;
            for (const auto& p : ph.packets)
                by_key[p.key].push_back(&p);
            for (const auto& j : journeys_of(m)) {
                if (j["kind"] != "journey")
                    continue; // frames with repeated fields have no ending
                auto it = by_key.find(key_of(j["protocol"], j["rows"][0]));
                if (it == by_key.end())
                    continue; // the rejected SYN: held by the truth checks
                const Packet& p = *it->second.front();
                std::string reason = drop_reason_of(l, ph, p), ending = text_of(j, "ending");
                // A pure ACK may share its key with the data segment before it.
                bool timed = std::any_of(it->second.begin(), it->second.end(), [&](const Packet* q) {
                    return may_be_dropped_by_timing(*q, text_of(j, "drop_reason"));
                });
                if (reason.empty() && timed)
                    reason = text_of(j, "drop_reason");
                std::string port = std::to_string(p.b), want;
                if (reason.empty())
                    want = "ended at ";
                else if (ph.name == "drops" && port == l["NFT_TCP_PORT"])
                    want = "dropped by table filter chain INPUT at NF_INET_LOCAL_IN";
                else if (ph.name == "drops" && port == l["NFT_UDP_PORT"])
                    want = "dropped by table fw chain in at NF_INET_LOCAL_IN";
                else if (reason == "NETFILTER_DROP")
                    want = "dropped by table filter at NF_INET_LOCAL_IN";
                else
                    want = "dropped at ";
                EXPECT_EQ(ending.substr(0, want.size()), want) << p.key;
                if (want == "dropped at ") {
                    EXPECT_EQ(ending.substr(ending.size() - reason.size() - 2), ": " + reason) << p.key;
                    EXPECT_EQ(j["drop_reason"], reason) << p.key;
                }
                EXPECT_EQ(j["dropped"].get<bool>(), !reason.empty()) << p.key;
                endings[ph.name + " " + ending]++;
            }
        }
    }
    RecordProperty("endings", ::testing::PrintToString(endings));
    EXPECT_GT(endings["drops dropped at tcp_v4_rcv: NO_SOCKET"], 0) << ::testing::PrintToString(endings);
}

}  // namespace
