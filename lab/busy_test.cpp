// The busy phase: a bulk transfer whose segments the receiver's GRO merges,
// traced with and without packet numbers. Every segment the sender put on
// the link is one journey that ends delivered, or merged into the packet
// before it, never "last seen" where GRO took it.
#include "report_lines.h"

namespace {

struct Busy {
    Phase ph;
    std::map<std::string, std::string> sent; // busy.env
};

const Busy& busy()
{
    static const Busy b = [] {
        Busy b;
        b.ph = read_phase(env("LAB_RESULTS"), "busy", {"tcp", "tcp_numbered", "icmp", "icmp_numbered"});
        b.sent = read_settings(b.ph.dir + "/busy.env");
        return b;
    }();
    return b;
}

constexpr const char MERGED[] = "merged by GRO into the packet before it";

// Whether the monitor told of samples it lost (its rings overflow under
// emulation, arm64's most): the rows of some segments are then missing.
bool lost_samples(const Monitor& m)
{
    return std::any_of(m.remarks.begin(), m.remarks.end(),
                       [](const std::string& r) { return r.rfind("# lost ", 0) == 0; });
}

TEST(Busy, EverySegmentGroMergedReadsMergedIntoThePacketBeforeItAndNoneIsLastSeen)
{
    const Busy& b = busy();
    const std::string port = b.sent.count("BULK_PORT") ? b.sent.at("BULK_PORT") : "?";
    std::map<std::string, int> sent;
    std::set<std::string> data;
    long long bytes = 0;
    // Every segment the sender put on the link: the data, and the ACKs,
    // one of which may share the first data segment's key.
    for (const auto& p : b.ph.packets)
        if (p.proto == 6 && std::to_string(p.b) == port) {
            sent[p.key]++;
            bytes += p.payload;
            if (p.payload > 0)
                data.insert(p.key);
        }
    ASSERT_GE(bytes, b.sent.count("BULK_BYTES") ? std::stoll(b.sent.at("BULK_BYTES")) : 1)
        << "the sender's segments on the link";
    EXPECT_NE(read_file(b.ph.dir + "/steps.log").find("= tcp-serve " + port + ": 0"), std::string::npos);
    for (const char* name : {"tcp", "tcp_numbered"}) {
        SCOPED_TRACE(name);
        const Monitor& m = b.ph.monitor(name);
        int merge_rows = 0;
        for (const auto& r : m.rows)
            merge_rows += r.func == "skb_gro_receive";
        std::map<std::string, int> found, endings;
        for (const auto& j : journeys_of(m)) {
            if (j["kind"] != "journey")
                continue;
            std::string key = key_of(j["protocol"], j["rows"][0]), ending = text_of(j, "ending");
            // The data: an ACK or FIN of the close may meet a socket gone
            // (a FIN sent again as the first ACK was on its way).
            if (data.count(key)) {
                EXPECT_NE(text_of(j, "class"), "dropped") << key << ": " << ending;
                EXPECT_NE(ending.rfind("last seen at ", 0), 0u) << key << ": " << ending;
            }
            endings[ending]++;
            found[key] += sent.count(key) > 0;
        }
        // Where samples were lost a packet's rows may be missing, or join
        // another's that reused its buffer: the count holds without losses.
        if (!lost_samples(m)) {
            for (const auto& [key, n] : sent) {
                EXPECT_EQ(found[key], n) << "journeys of the segment " << key;
            }
        }
        RecordProperty(std::string("endings_") + name, ::testing::PrintToString(endings));
        EXPECT_GT(endings[MERGED], 0) << ::testing::PrintToString(endings);
        EXPECT_EQ(endings[MERGED], merge_rows) << "one journey per merge";
        EXPECT_LE(merge_rows, b.ph.hit("skb_gro_receive"));
    }
}

// With packet numbers a merge row names the packet it went into: one of
// the same flow, earlier in the stream, that GRO took before it and that
// reached the socket carrying it.
TEST(Busy, AMergeRowNamesThePacketItWentIntoAndThatPacketReachedTheSocket)
{
    const Monitor& m = busy().ph.monitor("tcp_numbered");
    const bool lossy = lost_samples(m);
    std::map<std::string, std::vector<const Row*>> by_packet;
    for (const auto& r : m.rows)
        by_packet[r.packet].push_back(&r);
    int merges = 0;
    for (const auto& r : m.rows) {
        if (r.func != "skb_gro_receive")
            continue;
        merges++;
        size_t at = r.other.find("into:");
        ASSERT_NE(at, std::string::npos) << r.line;
        std::string into = r.other.substr(at + 5, r.other.find(' ', at) - at - 5);
        if (lossy && !by_packet.count(into))
            continue; // its rows may all be lost
        ASSERT_TRUE(by_packet.count(into)) << "no rows of packet " << into << ": " << r.line;
        const auto& rows = by_packet[into];
        const Row& first = *rows.front();
        EXPECT_EQ(first.a, r.a) << r.line;
        EXPECT_EQ(first.b, r.b) << r.line;
        EXPECT_LT((int32_t)(first.c - r.c), 0) << "packet " << into << " starts after the segment merged into it";
        bool taken = false, delivered = false;
        for (const Row* p : rows) {
            taken = taken || (p->time < r.time && (p->func == "napi_gro_receive" || p->func == "gro_receive_skb"));
            delivered = delivered || p->func == "tcp_v4_rcv";
        }
        if (!lossy) {
            EXPECT_TRUE(taken) << "GRO held no packet " << into << " when it merged " << r.line;
            EXPECT_TRUE(delivered) << "packet " << into << " never reached TCP";
        }
    }
    EXPECT_GT(merges, 0);
}

// Pings too large for the link cross it in fragments; the peer's conntrack
// gathers them at PRE_ROUTING (stolen from the path), root's local delivery
// its replies'. Each fragment reads as taken into reassembly, the one that
// completed it goes on as the datagram, and every ping reaches ICMP once,
// with packet numbers or without.
TEST(Busy, FragmentsGatheredByConntrackAreTakenIntoTheirDatagramAndEveryPingArrivesOnce)
{
    const Busy& b = busy();
    auto setting = [&](const char* k) { return b.sent.count(k) ? std::stoi(b.sent.at(k)) : -1; };
    ASSERT_GT(setting("PINGS_SENT"), 0);
    EXPECT_EQ(setting("PINGS_RECEIVED"), setting("PINGS_SENT"));
    int later_fragments = 0;
    for (const auto& p : b.ph.packets)
        later_fragments += p.proto == 1 && p.fragment > 0;
    EXPECT_GE(later_fragments, 2 * setting("PINGS_SENT")) << "requests and replies in fragments";
    for (const char* name : {"icmp", "icmp_numbered"}) {
        SCOPED_TRACE(name);
        const Monitor& m = b.ph.monitor(name);
        std::map<std::string, int> endings;
        int requests = 0, replies = 0;
        for (const auto& j : journeys_of(m)) {
            if (j["kind"] != "journey")
                continue;
            std::string ending = text_of(j, "ending");
            endings[ending]++;
            EXPECT_NE(text_of(j, "class"), "dropped") << ending;
            EXPECT_NE(ending.rfind("last seen at ", 0), 0u) << ending;
            bool at_icmp = false;
            for (const auto& r : j["rows"])
                at_icmp = at_icmp || r["trace_info"] == "icmp_rcv";
            if (at_icmp && j["rows"].back()["type"] == 8)
                requests++;
            if (at_icmp && j["rows"].back()["type"] == 0)
                replies++;
        }
        RecordProperty(std::string("endings_") + name, ::testing::PrintToString(endings));
        EXPECT_GT(endings["ended at ip_defrag"], 0) << ::testing::PrintToString(endings);
        if (!lost_samples(m)) {
            EXPECT_EQ(requests, setting("PINGS_SENT")) << ::testing::PrintToString(endings);
            EXPECT_EQ(replies, setting("PINGS_RECEIVED")) << ::testing::PrintToString(endings);
        }
    }
}

}  // namespace
