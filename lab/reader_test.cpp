// The trace reader on every trace the lab takes: every captured packet that a
// monitor's filter lets through is one journey of the reader, and nothing
// else is. REPORT_BIN is the reader under test.
#include "report_lines.h"

namespace {

TEST(Reader, EveryCapturedPacketIsOneJourneyOfTheReader)
{
    const Lab& l = lab();
    int journeys = 0;
    for (const auto& ph : l.phases) {
        for (const auto& [name, m] : ph.monitors) {
            SCOPED_TRACE("phase " + ph.name + ", " + name);
            std::map<std::string, int> captured, found;
            std::map<std::string, std::string> paths; // each journey's places, for a failure's message
            for (const auto& p : ph.packets)
                captured[p.key] += m.covers(p);
            for (const auto& j : journeys_of(m)) {
                EXPECT_FALSE(j["repeated_fields"].get<bool>()) << j.dump().substr(0, 300);
                const auto& row = j["rows"][0];
                // The SYN the OUTPUT rule rejects reaches no device to be captured on.
                if (j["protocol"] == "tcp" && row["sip"] == l["HOST_A"] &&
                    std::to_string(row["dport"].get<unsigned>()) == l["REJECT_PORT"])
                    continue;
                std::string key = key_of(j["protocol"], row);
                found[key]++;
                journeys++;
                paths[key] += "\njourney:";
                for (const auto& r : j["rows"])
                    paths[key] += " " + std::to_string(r["cpu"].get<int>()) + ":" + r["trace_info"].get<std::string>();
            }
            for (const auto& [key, n] : captured) {
                if (n) {
                    EXPECT_EQ(found[key], n) << "journeys of " << key << paths[key] << rows_of_key(m, key);
                }
            }
            for (const auto& [key, n] : found)
                EXPECT_EQ(captured[key], n) << "journeys of " << key << ", a packet the capture does not have"
                                            << paths[key] << rows_of_key(m, key);
        }
    }
    EXPECT_GT(journeys, 0);
}

// Every packet the kernel dropped reads as dropped, with the place and the
// cause: a table (its family and base chain for nft) and hook for a rule's
// drop, the function and the kernel's reason for any other. A delivered one
// ends at its last function, or says how it was delivered when the kernel
// freed it with a reason all the same: an echo reply that a ping's raw
// socket got, a segment freed unread at a close, a stale one.
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
                std::string reason = drop_reason_of(l, ph, p), ending = text_of(j, "ending"), cls = "dropped";
                // A pure ACK may share its key with the data segment before it.
                std::string timed_reason = delivered_drop_reason(ending);
                bool timed = std::any_of(it->second.begin(), it->second.end(), [&](const Packet* q) {
                    return may_be_dropped_by_timing(*q, timed_reason);
                });
                std::string port = std::to_string(p.b), want;
                // The kernel frees the reply with NO_SOCKET only after the raw socket's copy.
                if (delivered_to_raw_socket(p))
                    want = "delivered to a raw socket", cls = "delivered";
                else if (reason.empty() && timed)
                    want = ending, cls = "delivered";
                else if (reason.empty())
                    want = "ended at ", cls = "delivered";
                else if (ph.name == "drops" && port == l["NFT_TCP_PORT"])
                    want = "dropped by table ip filter base chain INPUT at NF_INET_LOCAL_IN";
                else if (ph.name == "drops" && port == l["NFT_UDP_PORT"])
                    want = "dropped by table inet fw base chain in at NF_INET_LOCAL_IN";
                else if (reason == "NETFILTER_DROP")
                    want = "dropped by table filter at NF_INET_LOCAL_IN";
                else
                    want = "dropped at ";
                EXPECT_EQ(ending.substr(0, want.size()), want) << p.key;
                if (want == "dropped at ") {
                    EXPECT_EQ(ending.substr(ending.size() - reason.size() - 2), ": " + reason) << p.key;
                    EXPECT_EQ(j["drop_reason"], reason) << p.key;
                }
                EXPECT_EQ(text_of(j, "class"), cls) << p.key << ": " << ending;
                EXPECT_EQ(j["dropped"].get<bool>(), cls == "dropped") << p.key;
                endings[ph.name + " " + ending]++;
            }
        }
    }
    RecordProperty("endings", ::testing::PrintToString(endings));
    EXPECT_GT(endings["drops dropped at tcp_v4_rcv: NO_SOCKET"], 0) << ::testing::PrintToString(endings);
    EXPECT_GT(endings["plain delivered to a raw socket"], 0) << ::testing::PrintToString(endings);
}

// The reader on both guests' traces of one monitor, each guest a host named
// as the pair names it.
std::vector<nlohmann::json> pair_lines(const std::string& monitor)
{
    const Pair& pr = pair();
    int status;
    return reader_lines("--host '" + pr.a.name + "=" + pr.a.phase.monitor(monitor).trace_path + "' --host '" +
                            pr.b.name + "=" + pr.b.phase.monitor(monitor).trace_path + "'",
                        status);
}

// Held against tcpdump on both NICs: a packet both captured is one joined
// journey, from its sender's socket across the wire to the receiver's; a
// packet only its sender captured (the receiver's NIC was down) left the
// sender at the driver and was never seen at the receiver.
TEST(PairReader, EveryPacketBothCapturedIsOneJoinedJourneyAndEveryOtherLeftTheSender)
{
    const Pair& pr = pair();
    std::map<std::string, int> kinds;
    for (const char* monitor : {"icmp", "udp", "tcp"}) {
        SCOPED_TRACE(monitor);
        // Per packet key: how often its sender and its receiver captured it.
        std::map<std::string, int> sent, received, joined, left;
        std::map<std::string, const PairGuest*> receiver;
        for (const PairGuest* g : {&pr.a, &pr.b}) {
            const Monitor& m = g->phase.monitor(monitor);
            for (const auto& p : g->phase.packets) {
                if (!m.covers(p))
                    continue;
                if (p.sip == (*g)["SELF"]) {
                    sent[p.key]++;
                    receiver[p.key] = g == &pr.a ? &pr.b : &pr.a;
                }
                else if (p.sip == (*g)["PEER"])
                    received[p.key]++;
            }
        }
        for (const auto& j : pair_lines(monitor)) {
            if (j["kind"] != "joined" && j["kind"] != "journey")
                continue;
            const auto& rows = j["rows"];
            const PairGuest* from = pr.guest_at(rows[0]["sip"]);
            const PairGuest* to = pr.guest_at(rows[0]["dip"]);
            if (!from || !to)
                continue;
            std::string key = key_of(j["protocol"], rows[0]);
            if (j["kind"] == "joined") {
                joined[key]++;
                EXPECT_EQ(j["hosts"], nlohmann::json::array({from->name, to->name})) << key;
                EXPECT_GE(j["wire_ns"].get<long long>(), 0) << key;
                EXPECT_GE(j["wire_error_ns"].get<long long>(), 0) << key;
                // The sender's rows, then the receiver's.
                std::string hosts;
                for (const auto& r : rows)
                    if (hosts.empty() || hosts.substr(hosts.rfind(' ') + 1) != r["host"].get<std::string>())
                        hosts += " " + r["host"].get<std::string>();
                EXPECT_EQ(hosts, " " + from->name + " " + to->name) << key;
            } else if (text_of(j, "ending").rfind("left ", 0) == 0) {
                left[key]++;
                EXPECT_EQ(text_of(j, "ending"),
                          "left " + from->name + " at dev_hard_start_xmit, never seen at " + to->name) << key;
                EXPECT_EQ(j["dropped"], false) << key;
            }
        }
        for (const auto& [key, n] : sent) {
            // A receive softirq that came while a kprobe handler ran on its
            // CPU is skipped by the kernel for every probe: a packet the
            // receiver captured may then have no row there at all, nor an
            // echo reply its sender sent from inside that softirq.
            const Phase& to = receiver[key]->phase;
            const PairGuest* sender = receiver[key] == &pr.a ? &pr.b : &pr.a;
            const Phase& from = sender->phase;
            if (received[key] && rows_at(to.monitor(monitor), key, "").empty() && to.missed(gro_hand_off(to)) > 0)
                continue;
            if (received[key] && rows_at(from.monitor(monitor), key, "").empty() &&
                from.missed(gro_hand_off(from)) > 0)
                continue;
            EXPECT_EQ(joined[key], received[key]) << "joined journeys of " << key;
            EXPECT_EQ(left[key], n - received[key]) << "journeys of " << key << " that left and never arrived";
            kinds[std::string(monitor) + (received[key] ? " joined" : " lost")]++;
        }
        for (const auto& [key, n] : joined)
            EXPECT_TRUE(sent.count(key)) << "a joined journey of a packet no sender captured: " << key;
        for (const auto& [key, n] : left)
            EXPECT_TRUE(sent.count(key)) << "a lost journey of a packet no sender captured: " << key;
    }
    RecordProperty("packets", ::testing::PrintToString(kinds));
    for (const char* seen : {"icmp joined", "icmp lost", "udp joined", "tcp joined"})
        EXPECT_GT(kinds[seen], 0) << seen << ": " << ::testing::PrintToString(kinds);
}

// The reader's offset of the two clocks, estimated from the traffic, and the
// guests' real offset as the host read it at the meetings around the
// traffic: the true offset lies within the reader's bound and within the
// meetings' (their own error, and what the clocks drifted between them), so
// the two ranges meet.
TEST(PairReader, TheEstimatedClockOffsetHoldsTheGuestsRealOffset)
{
    const Pair& pr = pair();
    long long low = 0, high = 0;
    bool first = true;
    for (const char* name : {"listening", "exchanged", "lost"}) {
        const Meeting& m = pr.meeting(name);
        low = first ? m.b_minus_a() - m.bound() : std::min(low, m.b_minus_a() - m.bound());
        high = first ? m.b_minus_a() + m.bound() : std::max(high, m.b_minus_a() + m.bound());
        first = false;
    }
    for (const char* monitor : {"icmp", "udp", "tcp"}) {
        SCOPED_TRACE(monitor);
        int clocks = 0;
        for (const auto& j : pair_lines(monitor)) {
            if (j["kind"] != "clock")
                continue;
            clocks++;
            // B's clock = A's clock + offset_ns.
            long long offset = j["offset_ns"], error = j["error_ns"];
            if (j["hosts"] == nlohmann::json::array({pr.b.name, pr.a.name}))
                offset = -offset;
            else
                EXPECT_EQ(j["hosts"], nlohmann::json::array({pr.a.name, pr.b.name}));
            EXPECT_GE(error, 0);
            EXPECT_GT(j["matched"].get<long long>(), 0);
            EXPECT_LE(offset - error, high) << "real offset " << low << " to " << high << " ns";
            EXPECT_GE(offset + error, low) << "real offset " << low << " to " << high << " ns";
            RecordProperty(std::string("offset_") + monitor, std::to_string(offset) + " +- " + std::to_string(error) +
                                                                 " ns, real " + std::to_string(low) + " to " +
                                                                 std::to_string(high) + " ns");
        }
        EXPECT_EQ(clocks, 1) << "one clock line for the one pair";
    }
}

// The receiver's rule drops the datagrams to one port: their joined
// journeys end on the receiver, dropped by its table.
TEST(PairReader, TheDroppedPortsDatagramsReadAsDroppedOnTheReceiver)
{
    const Pair& pr = pair();
    int dropped = 0;
    for (const auto& j : pair_lines("udp")) {
        if (j["kind"] != "joined" || std::to_string(j["rows"][0]["dport"].get<unsigned>()) != pr.a["DROP_PORT"])
            continue;
        dropped++;
        EXPECT_EQ(j["dropped"], true);
        EXPECT_EQ(text_of(j, "ending").rfind("dropped by table filter at NF_INET_LOCAL_IN", 0), 0u) << text_of(j, "ending");
        EXPECT_EQ(j["rows"].back()["host"], pr.b.name);
    }
    EXPECT_EQ(dropped, (int)numbers_of(pr.a["DROP_SIZES"]).size());
}

}  // namespace
