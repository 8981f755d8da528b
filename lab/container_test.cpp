// The containers phase: a bridge, two namespaces with an eth0 each, root
// forwarding them to the peer through a masquerade, a FORWARD drop, a port
// forward and a moment with forwarding off. The -N traces are held against
// the two captures of the NAT (container 1's eth0, the peer's veth1), the
// namespaces the guest recorded, and the reader's journeys.
#include <regex>

#include "report_lines.h"

namespace {

struct Containers {
    Phase ph;  // packets: container 1's eth0; peer_packets: the peer's veth1
    std::map<std::string, std::string> sent;  // containers.env
    std::map<std::string, std::vector<nlohmann::json>> journeys;  // per monitor

    std::string operator[](const std::string& k) const
    {
        auto it = sent.find(k);
        EXPECT_NE(it, sent.end()) << "containers.env has no " << k;
        return it == sent.end() ? "" : it->second;
    }
};

const Containers& containers()
{
    static const Containers c = [] {
        Containers c;
        c.ph = read_phase(env("LAB_RESULTS"), "containers", {"tcp", "udp", "icmp", "tcp_c1", "tcp_plain"});
        c.sent = read_settings(c.ph.dir + "/containers.env");
        for (const auto& [name, m] : c.ph.monitors) {
            auto& mine = c.journeys[name];
            for (const auto& j : m.numbered ? journeys_of(m) : std::vector<nlohmann::json>{})
                if (j["kind"] == "journey")
                    mine.push_back(j);
        }
        return c;
    }();
    return c;
}

const char* protocol_name(int proto) { return proto == 6 ? "tcp" : proto == 17 ? "udp" : "icmp"; }

// Container 1's address as the peer's side of the NAT has it: root's own on
// veth0, both ways (masqueraded requests, the port forward's replies).
std::string wire_key(const Containers& c, const Packet& p)
{
    std::string host = lab()["HOST_A"], mine = c["CT_HOST_1"];
    return packet_key(p.proto, p.sip == mine ? host : p.sip, p.dip == mine ? host : p.dip, p.a, p.b, p.c, p.d);
}

// Container 1's packets that crossed the NAT: captured on its eth0 and, with
// the address translated, on the peer's veth1. Key on eth0 -> key on veth1,
// once per such packet.
std::vector<std::pair<std::string, std::string>> nat_crossings(const Containers& c)
{
    std::map<std::string, int> on_wire;
    for (const auto& q : c.ph.peer_packets)
        on_wire[q.key]++;
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& p : c.ph.packets)
        if (on_wire[wire_key(c, p)]-- > 0)
            out.push_back({p.key, wire_key(c, p)});
    return out;
}

// What a has more of than b.
std::multiset<std::string> beyond(const std::multiset<std::string>& a, const std::multiset<std::string>& b)
{
    std::multiset<std::string> out;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::inserter(out, out.end()));
    return out;
}

// The rows of M without their time, those of packets near where any of MONITORS lost samples left out.
std::multiset<std::string> rows_outside_losses(const Monitor& m, const std::vector<const Monitor*>& monitors)
{
    auto near = packets_near_losses(monitors);
    std::multiset<std::string> out;
    for (const auto& r : m.rows)
        if (!near.count({r.c, r.d}))
            out.insert(r.without_time());
    return out;
}

// A journey's rows as the trace has them, found by their line.
std::vector<const Row*> rows_of(const Monitor& m, const nlohmann::json& j)
{
    std::map<int, const Row*> by_line;
    for (const auto& r : m.rows)
        by_line[r.number] = &r;
    std::vector<const Row*> out;
    for (const auto& row : j["rows"]) {
        const Row* r = by_line[row["line"].get<int>()];
        EXPECT_TRUE(r && r->time == row["time"].get<long long>()) << "line " << row["line"];
        if (r)
            out.push_back(r);
    }
    return out;
}

// Every -N monitor traced to its end, every line a row; the trace without
// -N is the -N trace with PACKET and NETNS taken out, header and rows.
TEST(Containers, EveryTraceIsWholeAndWithoutPacketAndNamespaceIsTheTraceWithoutThem)
{
    const Containers& c = containers();
    for (const auto& [name, m] : c.ph.monitors) {
        SCOPED_TRACE(name + " (" + m.args + ")");
        expect_stopped_whole(m);
        EXPECT_FALSE(m.rows.empty());
        EXPECT_EQ(m.numbered, name != "tcp_plain");
    }
    const Monitor &numbered = c.ph.monitor("tcp"), &plain = c.ph.monitor("tcp_plain");
    std::string header = numbered.header, packet, netns;
    ASSERT_TRUE(take_packet_and_netns(header, packet, netns)) << numbered.header;
    EXPECT_EQ(packet, "PACKET");
    EXPECT_EQ(netns, "NETNS");
    EXPECT_EQ(header, plain.header);
    std::vector<const Monitor*> both = {&numbered, &plain};
    auto with = rows_outside_losses(numbered, both), without = rows_outside_losses(plain, both);
    // The kernel skips a kprobe that fires while another probe's handler runs
    // on its CPU (its nmissed count): with five monitors attached, one of
    // them may miss a hit the others saw, with no loss to report. A row in
    // one trace alone is that, never a row that reads otherwise: at most one
    // in two hundred, and every other row is the same bytes.
    auto only_numbered = beyond(with, without), only_plain = beyond(without, with);
    EXPECT_LE((only_numbered.size() + only_plain.size()) * 200, with.size())
        << ::testing::PrintToString(only_numbered) << " / " << ::testing::PrintToString(only_plain);
    EXPECT_GT(with.size(), 500u);
}

// Each container's eth0 rows carry its own namespace's inode, as the guest
// read it; the bridge's and root's devices root's, veth1 the peer's.
TEST(Containers, EachRowCarriesTheNamespaceOfItsDevice)
{
    const Containers& c = containers();
    EXPECT_NE(c["C1_NETNS"], c["C2_NETNS"]);
    std::map<std::string, std::set<std::string>> seen;  // device@address -> namespaces
    for (const char* name : {"tcp", "udp", "icmp"}) {
        for (const auto& r : c.ph.monitor(name).rows) {
            std::string want = r.dev == "veth1" ? c["PEER_NETNS"] : c["ROOT_NETNS"];
            if (r.dev == "eth0") {
                bool first = r.sip == c["CT_HOST_1"] || r.dip == c["CT_HOST_1"];
                bool second = r.sip == c["CT_HOST_2"] || r.dip == c["CT_HOST_2"];
                ASSERT_NE(first, second) << r.line;
                want = first ? c["C1_NETNS"] : c["C2_NETNS"];
            }
            if (r.dev != "nil") {
                EXPECT_EQ(r.netns, want) << name << ": " << r.line;
            }
            seen[r.dev + (r.dev == "eth0" ? "@" + r.netns : "")].insert(r.netns);
        }
    }
    for (const auto& dev : {"eth0@" + c["C1_NETNS"], "eth0@" + c["C2_NETNS"], std::string("br0"), std::string("veth0"),
                            std::string("veth1")})
        EXPECT_TRUE(seen.count(dev)) << "no row on " << dev;
}

// The kernel called the bridge's, veth's and forwarding's functions, and each
// has its rows.
TEST(Containers, TheBridgeVethAndForwardingProbesHaveRowsWhereTheKernelCalledThem)
{
    const Containers& c = containers();
    for (const char* f : {"veth_xmit", "br_handle_frame", "br_forward", "ip_forward", "ip_forward_finish"}) {
        EXPECT_GT(c.ph.hit(f), 0) << f;
        size_t rows = 0;
        for (const char* name : {"tcp", "udp", "icmp"})
            for (const auto& r : c.ph.monitor(name).rows)
                rows += r.func == f;
        EXPECT_GT(rows, 0u) << f;
        EXPECT_LE((long)rows, c.ph.hit(f)) << f;
    }
}

// A packet of container 1 that crossed the NAT keeps its number from its
// eth0 to the peer's veth1 and back: its rows on both sides, the addresses
// translated, are one packet of the trace, and one journey of the reader
// that tells the rewrite.
TEST(Containers, EveryPacketOnBothSidesOfTheNatIsOnePacketAndOneJourney)
{
    const Containers& c = containers();
    auto crossings = nat_crossings(c);
    std::map<std::string, int> per_protocol;
    for (const auto& [mine, wire] : crossings) {
        int proto = std::stoi(mine);
        std::string name = protocol_name(proto);
        SCOPED_TRACE(name + ": " + mine + " / " + wire);
        per_protocol[name]++;
        const Monitor& m = c.ph.monitor(name);
        int packets = 0;
        for (const auto& [number, rows] : rows_by_packet(m))
            packets += has_row(rows, mine, "eth0", c["C1_NETNS"]) && has_row(rows, wire, "veth1", c["PEER_NETNS"]);
        int crossed = (int)std::count(crossings.begin(), crossings.end(), std::make_pair(mine, wire));
        // Where the monitor lost samples a packet may have lost the rows
        // that showed it on one side: never more packets than crossed.
        bool lossy = !loss_windows(m).empty();
        if (lossy)
            EXPECT_LE(packets, crossed);
        else
            EXPECT_EQ(packets, crossed);
        int journeys = 0;
        for (const auto& j : c.journeys.at(name)) {
            auto rows = rows_of(m, j);
            if (!has_row(rows, mine, "eth0", c["C1_NETNS"]) || !has_row(rows, wire, "veth1", c["PEER_NETNS"]))
                continue;
            journeys++;
            EXPECT_FALSE(j["rewrites"].empty()) << j.dump().substr(0, 400);
            if (lossy && text_of(j, "class") == "not_seen")
                EXPECT_NE(text_of(j, "ending").find("samples lost"), std::string::npos) << text_of(j, "ending");
            else
                EXPECT_EQ(text_of(j, "class"), "delivered") << text_of(j, "ending");
        }
        if (lossy)
            EXPECT_LE(journeys, crossed);
        else
            EXPECT_EQ(journeys, crossed);
    }
    RecordProperty("crossings", ::testing::PrintToString(per_protocol));
    // Both ways: requests and replies, the port forward's too.
    auto both_ways = [&](const std::string& port) {
        int out = 0, in = 0;
        for (const auto& [mine, wire] : crossings) {
            out += mine.find(" " + c["CT_HOST_1"] + ">") != std::string::npos && mine.find(" " + port + " ") != std::string::npos;
            in += mine.find(">" + c["CT_HOST_1"] + " ") != std::string::npos && mine.find(" " + port + " ") != std::string::npos;
        }
        return out > 0 && in > 0;
    };
    EXPECT_TRUE(both_ways(c["CT_TCP_PORT"]));
    EXPECT_TRUE(both_ways(c["CT_DNAT_PORT"]));
    EXPECT_EQ(per_protocol["udp"], (int)numbers_of(c["CT_UDP_SIZES"]).size());
    EXPECT_EQ(per_protocol["icmp"], 2 * std::stoi(c["CT_PING_COUNT"]));
}

// Following container 1 (-H) keeps every row of its packets, those on the
// wire under root's address before and after the rewrite, and nothing of
// any other packet: container 2's connection leaves under the same address.
TEST(Containers, FollowingTheContainerKeepsItsPacketsWholeAndNoOther)
{
    const Containers& c = containers();
    const Monitor &all = c.ph.monitor("tcp"), &followed = c.ph.monitor("tcp_c1");
    std::multiset<std::string> want;
    std::vector<const Monitor*> both = {&all, &followed};
    // A packet that crossed a loss window may have lost the very row that
    // matched it, and with it the rows held for it: its whole span is left
    // out of the comparison, as the window is.
    std::vector<std::pair<long long, long long>> spans_lost;
    for (const auto& [number, rows] : rows_by_packet(all)) {
        auto [first, last] = std::minmax_element(rows.begin(), rows.end(),
                                                 [](const Row* a, const Row* b) { return a->time < b->time; });
        long long from_time = (*first)->time, to_time = (*last)->time;
        if (std::any_of(both.begin(), both.end(), [&](const Monitor* m) {
                for (const auto& [from, to] : loss_windows(*m))
                    if (from_time <= to && to_time >= from)
                        return true;
                return false;
            }))
            spans_lost.emplace_back(from_time, to_time);
    }
    auto near = packets_near_losses(both);
    auto compared = [&](const Row& r) {
        return !near.count({r.c, r.d}) &&
               std::none_of(spans_lost.begin(), spans_lost.end(),
                            [&](const auto& span) { return r.time >= span.first && r.time <= span.second; });
    };
    for (const auto& [number, rows] : rows_by_packet(all)) {
        bool mine = std::any_of(rows.begin(), rows.end(), [&](const Row* r) {
            return r->sip == c["CT_HOST_1"] || r->dip == c["CT_HOST_1"];
        });
        for (const Row* r : rows)
            if (mine && compared(*r))
                want.insert(r->without_time());
    }
    std::multiset<std::string> kept;
    for (const auto& r : followed.rows)
        if (compared(r))
            kept.insert(r.without_time());
    // As between the traces with and without -N: a hit the kernel skipped
    // for one monitor alone is a row in one trace alone, and here it may
    // leave a packet numbered apart in one of the two; one row in a hundred
    // at most (the arm64 7.3 guest has shown 4 in 541).
    auto not_mine = beyond(kept, want), left_out = beyond(want, kept);
    EXPECT_LE((not_mine.size() + left_out.size()) * 100, want.size())
        << "rows of packets not container 1's: " << ::testing::PrintToString(not_mine)
        << "; rows of container 1's packets left out: " << ::testing::PrintToString(left_out);
    EXPECT_GT(want.size(), 300u);
    int wire_out = 0, wire_in = 0;
    for (const auto& r : followed.rows) {
        wire_out += r.sip == lab()["HOST_A"] && r.dev == "veth1";
        wire_in += r.dip == lab()["HOST_A"] && r.dev == "veth1";
        EXPECT_NE(std::to_string(r.b), c["CT_C2_PORT"]) << r.line;
        EXPECT_NE(std::to_string(r.a), c["CT_C2_PORT"]) << r.line;
    }
    EXPECT_GT(wire_out, 0);
    EXPECT_GT(wire_in, 0);
}

// The SYNs the FORWARD chain drops: each one journey from container 1's
// eth0 to the drop, never on the wire.
TEST(Containers, TheSynTheForwardChainDropsIsOneJourneyEndingAtTheForwardHook)
{
    const Containers& c = containers();
    const Monitor& m = c.ph.monitor("tcp");
    std::string port = c["CT_FWD_DROP_PORT"];
    int syns = 0;
    for (const auto& p : c.ph.packets)
        syns += p.proto == 6 && std::to_string(p.b) == port;
    for (const auto& q : c.ph.peer_packets)
        EXPECT_NE(std::to_string(q.b), port) << q.key;
    EXPECT_GT(syns, 0);
    int journeys = 0;
    for (const auto& j : c.journeys.at("tcp")) {
        auto rows = rows_of(m, j);
        if (std::none_of(rows.begin(), rows.end(), [&](const Row* r) { return std::to_string(r->b) == port; }))
            continue;
        journeys++;
        EXPECT_EQ(text_of(j, "ending"), "dropped by table ip containers base chain forward at NF_INET_FORWARD");
        EXPECT_EQ(text_of(j, "class"), "dropped");
        EXPECT_TRUE(std::any_of(rows.begin(), rows.end(),
                                [&](const Row* r) { return r->dev == "eth0" && r->netns == c["C1_NETNS"]; }))
            << "no row on container 1's eth0";
        // The drop frees it inside the walk, whose return may follow.
        EXPECT_TRUE(rows.back()->func == "kfree_skb" ||
                    (rows.back()->func == "ret_nft_do_chain" && rows.size() > 1 && rows[rows.size() - 2]->func == "kfree_skb"))
            << rows.back()->line;
    }
    EXPECT_EQ(journeys, syns);
}

// With root's forwarding off the datagram is dropped at ip_error, the row
// says so (fwd:off after the packet's own number) and the reader reads it.
TEST(Containers, ADatagramRootWouldNotForwardReadsForwardingOff)
{
    const Containers& c = containers();
    const Monitor& m = c.ph.monitor("udp");
    std::string port = c["CT_NOFWD_PORT"];
    int drops = 0;
    for (const auto& r : m.rows) {
        if (!is_drop_row(r.func))
            continue;
        std::smatch got;
        ASSERT_TRUE(std::regex_match(r.other, got, std::regex("reason:\\S+ +at: \\S+ +buf:([0-9]+)( +fwd:off)?")))
            << r.line;
        EXPECT_EQ(got[1], r.packet) << r.line;
        bool refused = std::to_string(r.b) == port;
        EXPECT_EQ(got[2].matched, refused) << r.line;
        if (refused) {
            drops++;
            EXPECT_NE(r.other.find("at: ip_error"), std::string::npos) << r.line;
            EXPECT_EQ(r.netns, c["ROOT_NETNS"]) << r.line;
            EXPECT_EQ(r.c, (uint32_t)std::stoul(c["CT_NOFWD_SIZE"])) << r.line;
        }
    }
    EXPECT_EQ(drops, 1);
    int journeys = 0;
    for (const auto& j : c.journeys.at("udp")) {
        if (std::to_string(j["rows"][0]["dport"].get<unsigned>()) != port)
            continue;
        journeys++;
        EXPECT_NE(text_of(j, "ending").find("forwarding is off"), std::string::npos) << text_of(j, "ending");
        EXPECT_EQ(text_of(j, "class"), "dropped");
    }
    EXPECT_EQ(journeys, 1);
}

}  // namespace
