// The ipv6 phase: -6 traces of IPv6 on the veth pair, the NIC pair and from
// a container through a bridge and root's forwarding, held against the
// captures of every device, the kernel's kprobe counters and what
// ipv6.env says was sent; and an IPv4 monitor of a port only IPv6 reached.
#include <regex>
#include <sstream>

#include "lab_results.h"
#include "report_lines.h"

namespace {

struct Ipv6 {
    Phase ph;  // packets: veth0; peer_packets: veth1
    std::map<std::string, std::string> sent;        // ipv6.env
    std::map<std::string, std::vector<Packet>> on;  // per captured device: veth0, veth1, the NICs, ct0

    std::string operator[](const std::string& k) const
    {
        auto it = sent.find(k);
        EXPECT_NE(it, sent.end()) << "ipv6.env has no " << k;
        return it == sent.end() ? "" : it->second;
    }
    const std::vector<Packet>& captured(const std::string& dev) const
    {
        static const std::vector<Packet> none;
        auto it = on.find(dev);
        return it == on.end() ? none : it->second;
    }
    // The -6 monitors, the three that follow every packet of a protocol first.
    std::vector<std::string> ipv6_monitors() const { return {"icmp", "tcp", "udp", "tcp_port", "icmp_host"}; }
    // From one of the frames no IP layer builds, sent after the counted
    // window (ODD_SOURCE followed by its kind's number).
    bool odd(const std::string& sip) const
    {
        const std::string prefix = (*this)["ODD_SOURCE"];
        return sip.size() == prefix.size() + 1 && sip.compare(0, prefix.size(), prefix) == 0;
    }
};

const Ipv6& ipv6()
{
    static const Ipv6 v = [] {
        Ipv6 v;
        v.ph = read_phase(env("LAB_RESULTS"), "ipv6", {"icmp", "tcp", "udp", "tcp_port", "icmp_host", "tcp_ipv4"}, 6);
        v.sent = read_settings(v.ph.dir + "/ipv6.env");
        for (const std::string& dev : {std::string("veth0"), std::string("veth1"), v["NIC_A"], v["NIC_B"],
                                       std::string("ct0")})
            v.on[dev] = read_pcap(v.ph.dir + "/" + dev + ".pcap", dev, 6);
        return v;
    }();
    return v;
}

bool is_ndp(const Packet& p) { return p.proto == 58 && p.a >= 133 && p.a <= 137; }
bool is_mld(const Packet& p) { return p.proto == 58 && (p.a == 130 || p.a == 131 || p.a == 132 || p.a == 143); }

// A -H trace never matches neighbour discovery, whose addresses name hosts
// that are not its endpoints' traffic.
bool follows(const Monitor& m, const Packet& p) { return m.covers(p) && (m.host.empty() || !is_ndp(p)); }

bool lossy(const Monitor& m) { return !loss_windows(m).empty(); }

// The rows of a monitor at FUNC inside the traffic's window, when the
// kernel's counters ran.
long rows_in_window(const Phase& ph, const Monitor& m, const std::string& func)
{
    long long from = (long long)((ph.window[0] - 0.01) * 1e9), to = (long long)((ph.window[1] + 0.01) * 1e9);
    return std::count_if(m.rows.begin(), m.rows.end(),
                         [&](const Row& r) { return r.func == func && r.time >= from && r.time <= to; });
}

TEST(Ipv6, EveryMonitorTracedToItsEndAndTheIpv6TracesHaveTheirAddressColumns)
{
    const Ipv6& v = ipv6();
    for (const auto& [name, m] : v.ph.monitors) {
        SCOPED_TRACE(name + " (" + m.args + ")");
        expect_stopped_whole(m);
        EXPECT_EQ(m.notices, expected_notices(v.ph, m.ipv6));
        std::string header = m.header, packet, netns;
        if (m.numbered) {
            ASSERT_TRUE(take_packet_and_netns(header, packet, netns)) << m.header;
        }
        const int sip = 115, dip = sip + m.layout->address_width + 1;
        EXPECT_EQ(trim(header.substr(sip, m.layout->address_width)), m.ipv6 ? "SIP6" : "SIP") << header;
        EXPECT_EQ(trim(header.substr(dip, m.layout->address_width)), m.ipv6 ? "DIP6" : "DIP") << header;
        EXPECT_EQ(m.rows.empty(), !m.ipv6) << "only IPv6 crossed the links";
    }
    EXPECT_EQ(v.ph.error_log, "");
}

// Every row not inside a reported loss is a captured packet: on its device
// where that device was captured, with the capture's MACs once the link
// header exists. A forwarded buffer keeps the header it came in with
// until the neighbour output writes the next one: up to there its MACs
// are those of a frame captured where it arrived.
TEST(Ipv6, EveryRowIsACapturedPacketOnItsDevice)
{
    const Ipv6& v = ipv6();
    std::set<std::string> anywhere, on_device, with_macs, arrived_with_macs;
    for (const auto& [dev, packets] : v.on)
        for (const auto& p : packets) {
            anywhere.insert(p.key);
            on_device.insert(dev + " " + p.key);
            with_macs.insert(dev + " " + p.key + " " + p.smac + " " + p.dmac);
            arrived_with_macs.insert(p.key + " " + p.smac + " " + p.dmac);
        }
    const std::set<std::string> before_next_header = {"ip6_output", "ip6_finish_output", "ip6_finish_output2"};
    for (const auto& name : v.ipv6_monitors()) {
        const Monitor& m = v.ph.monitor(name);
        std::vector<const Monitor*> self = {&m};
        int rows = 0;
        for (const auto& r : m.rows) {
            // The peer's ICMPv6 errors to the odd frames' sources, which no
            // neighbour answers for, never reach the link.
            if (in_loss_window(self, r.time) || v.odd(r.sip) || v.odd(r.dip))
                continue;
            rows++;
            SCOPED_TRACE(name + ": " + r.line);
            ASSERT_TRUE(anywhere.count(r.key)) << "no captured packet has these fields";
            if (!v.on.count(r.dev))
                continue;  // br6, vc6, nil: not captured
            EXPECT_TRUE(on_device.count(r.dev + " " + r.key)) << "not captured on " << r.dev;
            if (r.smac != zero_mac) {
                EXPECT_TRUE(with_macs.count(r.dev + " " + r.key + " " + r.smac + " " + r.dmac) ||
                            (before_next_header.count(r.func) &&
                             arrived_with_macs.count(r.key + " " + r.smac + " " + r.dmac)));
            }
        }
        EXPECT_GT(rows, 0) << name;
    }
}

// Every captured packet of the phase's own traffic (MLD reports come when
// IPv6 is switched on, before the monitors) that a monitor follows has its
// rows at the device layer of both ends: sent by one device, received by
// the other, the same addresses, ports, sequence numbers, ICMPv6 id and
// sequence. Only a monitor that reported lost samples may miss some.
TEST(Ipv6, EveryCapturedPacketHasRowsAtTheDeviceLayerOfBothEnds)
{
    const Ipv6& v = ipv6();
    const Lab& l = lab();
    struct Link {
        std::string a, b, mac_a, receive;
    };
    const Link links[] = {{"veth0", "veth1", l["MAC_A"], "__netif_receive_skb"},
                          {v["NIC_A"], v["NIC_B"], v["MAC_NIC_A"], gro_hand_off(v.ph)}};
    std::map<std::string, int> followed;
    for (const auto& link : links) {
        EXPECT_GT(v.ph.hit(link.receive), 0) << link.receive;
        for (const auto& name : v.ipv6_monitors()) {
            const Monitor& m = v.ph.monitor(name);
            std::vector<std::string> missing;
            for (const auto& p : v.captured(link.a)) {
                if (!follows(m, p) || is_mld(p) || v.odd(p.sip))
                    continue;
                followed[name]++;
                bool out = p.smac == link.mac_a;
                std::string sender = out ? link.a : link.b, receiver = out ? link.b : link.a;
                bool sent = false, received = false;
                for (const Row* r : rows_at(m, p.key, "")) {
                    sent |= r->func == "dev_hard_start_xmit" && r->dev == sender && r->smac == p.smac &&
                            r->dmac == p.dmac;
                    received |= r->func == link.receive && r->dev == receiver && r->smac == p.smac;
                }
                if (!sent || !received)
                    missing.push_back(p.key + " frame " + std::to_string(p.index) + (sent ? "" : " not sent") +
                                      (received ? "" : " not received"));
            }
            if (!lossy(m)) {
                EXPECT_TRUE(missing.empty()) << name << " on " << link.a << ": " << ::testing::PrintToString(missing);
            }
        }
    }
    for (const auto& name : v.ipv6_monitors())
        EXPECT_GT(followed[name], 0) << name;
}

// The kernel's own counters of IPv6's functions: each ran and has rows, no
// monitor has more rows at one than its calls, and the three unfiltered
// traces, which see every IPv6 packet there was, have one row per call
// but for the calls the kernel skipped (a kprobe already running on that
// CPU) and one in a hundred.
TEST(Ipv6, TheKernelsCallsOfEachIpv6FunctionAreItsRows)
{
    const Ipv6& v = ipv6();
    const Phase& ph = v.ph;
    ASSERT_EQ(ph.window.size(), 2u);
    for (const char* f : {"ipv6_rcv", "ip6_input", "ip6_input_finish", "ip6_output", "ip6_finish_output",
                          "ip6_finish_output2", "tcp_v6_rcv", "tcp_v6_do_rcv", "udpv6_rcv", "icmpv6_rcv",
                          "inet6_lookup_listener", "ip6_forward", "ip6t_do_table"})
        EXPECT_GT(ph.hit(f), 0) << f << " never ran: the phase or the witness is broken";
    for (const auto& [f, calls] : ph.hits) {
        SCOPED_TRACE(f);
        long every = 0, skipped = 0;
        bool lost = false;
        for (const auto& name : v.ipv6_monitors()) {
            const Monitor& m = ph.monitor(name);
            long rows = rows_in_window(ph, m, f);
            EXPECT_LE(rows, calls) << name;
            if (name == "icmp" || name == "tcp" || name == "udp") {
                every += rows;
                lost |= lossy(m);
                // A hit skipped while another probe's program ran is skipped
                // for every monitor at once: each tells the same count.
                skipped = std::max(skipped, m.skipped(f));
            }
        }
        if (probe_family(f) != "IPV6")
            continue;  // family-independent: IPv4's and ARP's calls too
        EXPECT_EQ(calls > 0, every > 0) << calls << " calls, " << every << " rows";
        if (lost)
            EXPECT_LE(every, calls);
        else
            EXPECT_LE(std::abs(calls - every), ph.missed(f) + skipped + calls / 100)
                << calls << " calls, " << every << " rows, " << skipped << " runs skipped";
    }
}

// Echo requests both ways on the link, over the NICs and from the
// container, each with the identifier and the sequence numbers sent, and
// their replies: captured, and received by icmpv6_rcv at the other end;
// each reply's copy for lab_net's raw socket at rawv6_rcv. An echo with a
// row where the monitor lost samples may have lost the others.
TEST(Ipv6, EchoesCarryTheirIdentifiersAndSequenceNumbersBothWays)
{
    const Ipv6& v = ipv6();
    const Monitor& m = v.ph.monitor("icmp");
    auto near = packets_near_losses({&m});
    int count = std::stoi(v["PING_COUNT"]);
    EXPECT_GT(v.ph.hit("rawv6_rcv"), 0);
    struct Ping {
        const char *id, *from, *to, *capture;
    };
    const Ping pings[] = {{"PING_ID_A", "HOST_A", "HOST_B", "veth0"},
                          {"PING_ID_B", "HOST_B", "HOST_A", "veth0"},
                          {"PING_ID_NIC", "NIC_HOST_A", "NIC_HOST_B", "NIC_A"},
                          {"PING_ID_CT", "CT_HOST", "HOST_B", "ct0"}};
    for (const auto& ping : pings) {
        unsigned id = (unsigned)std::stoul(v[ping.id]);
        std::string capture = std::string(ping.capture) == "NIC_A" ? v["NIC_A"] : ping.capture;
        for (int seq = 1; seq <= count; seq++) {
            for (bool reply : {false, true}) {
                std::string sip = v[reply ? ping.to : ping.from], dip = v[reply ? ping.from : ping.to];
                std::string key = packet_key(58, sip, dip, reply ? 129 : 128, 0, id, (uint32_t)seq);
                SCOPED_TRACE(key);
                int captured = 0;
                for (const auto& p : v.captured(capture))
                    captured += p.key == key;
                EXPECT_EQ(captured, 1) << "on " << capture;
                if (near.count({id, (uint32_t)seq}))
                    continue;
                EXPECT_EQ(rows_at(m, key, "icmpv6_rcv").size(), 1u);
                EXPECT_EQ(rows_at(m, key, "rawv6_rcv").size(), reply ? 1u : 0u);
            }
        }
    }
}

// The connection over the link to the port traced alone (the NICs carry
// another to the same port, of other addresses): as IPv4's, at IPv6's
// receive and listener lookup.
TEST(Ipv6, AConnectShowsTheListenerLookupStatesAndDataSegments)
{
    const Ipv6& v = ipv6();
    const Monitor& m = v.ph.monitor("tcp_port");
    unsigned port = (unsigned)std::stoul(v["TCP_PORT"]);
    expect_one_connect(m, v.ph.packets, port, "tcp_v6_rcv", "inet6_lookup_listener");
    for (const auto& r : m.rows)
        EXPECT_TRUE(r.a == port || r.b == port) << "a row of another port: " << r.line;
}

// Where the peer refused packets and why: a legacy ip6tables rule (its walk
// returns NF_DROP, the packet is freed after it), an nft rule of an inet
// table (freed inside the walk, which returns NF_STOLEN), a SYN to a port
// nobody listens on (the lookup finds nothing) and a datagram to a closed
// port; none reaches its transport's receive after the drop. A packet
// with a row where its monitor lost samples may have lost the others.
TEST(Ipv6, RulesAndClosedPortsDropWithTheirReasonAtTheirPlace)
{
    const Ipv6& v = ipv6();
    const Monitor &udp = v.ph.monitor("udp"), &tcp = v.ph.monitor("tcp");
    struct Case {
        const Monitor& m;
        const char* port;
        std::vector<std::pair<std::string, std::string>> rows;  // function, OTHER_INFO (a regex)
        const char* never;                                       // a function it must not reach
    };
    const Case cases[] = {
        {udp, "DROP_PORT",
         {{"ip6t_do_table", "hook:NF_INET_LOCAL_IN table: filter"},
          {"ret_ip6t_do_table", "verdict: NF_DROP"},
          {"kfree_skb", "reason:NETFILTER_DROP at: \\S+ buf:[0-9]+"}},
         "udpv6_rcv"},
        {tcp, "NFT_PORT",
         {{"nft_do_chain", "hook:NF_INET_LOCAL_IN table: inet v6fw chain: in"},
          {"kfree_skb", "reason:NETFILTER_DROP at: nft_do_chain buf:[0-9]+"},
          {"ret_nft_do_chain", "verdict: NF_STOLEN"}},
         "tcp_v6_rcv"},
        {tcp, "CLOSED_TCP_PORT",
         {{"tcp_v6_rcv", "sock:TCP_MAX_STATES"},
          {"inet6_lookup_listener", "sock:TCP_MAX_STATES"},
          {"kfree_skb", "reason:NO_SOCKET at: tcp_v6_rcv buf:[0-9]+"}},
         "tcp_v6_do_rcv"},
        {udp, "CLOSED_UDP_PORT", {{"kfree_skb", "reason:NO_SOCKET at: (__udp6_lib_rcv|udpv6_rcv) buf:[0-9]+"}}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        unsigned port = (unsigned)std::stoul(v[c.port]);
        int packets = 0;
        std::map<std::string, size_t> sent;  // a SYN sent again has the same fields
        for (const auto& p : v.ph.packets)
            sent[p.key]++;
        auto near = packets_near_losses({&c.m});
        for (const auto& p : v.ph.packets) {
            if (!c.m.covers(p) || p.b != port || near.count({p.c, p.d}))
                continue;
            packets++;
            for (const auto& [func, other] : c.rows) {
                auto rows = rows_at(c.m, p.key, func);
                EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [&](const Row* r) {
                    return std::regex_match(r->other, std::regex(other));
                })) << p.key << ": no " << func << " row reading " << other;
            }
            EXPECT_EQ(rows_at(c.m, p.key, "kfree_skb").size(), sent[p.key]) << p.key;
            if (*c.never) {
                EXPECT_TRUE(rows_at(c.m, p.key, c.never).empty()) << p.key << " went on to " << c.never;
            }
        }
        EXPECT_GT(packets, 0);
    }
    int verdicts = 0, datagrams = (int)numbers_of(v["DROP_SIZES"]).size();
    for (const auto& r : udp.rows)
        verdicts += r.func == "ret_ip6t_do_table" && r.other == "verdict: NF_DROP" && !v.odd(r.sip);
    if (lossy(udp))
        EXPECT_LE(verdicts, datagrams);
    else
        EXPECT_EQ(verdicts, datagrams) << "NF_DROP verdicts against the datagrams sent";
    // The peer answered the closed ports: a reset and a port unreachable.
    int answers = 0;
    for (const auto& p : v.ph.packets) {
        bool reset = p.proto == 6 && p.a == std::stoul(v["CLOSED_TCP_PORT"]) && (p.tcp_flags & 0x04);
        bool unreachable = p.proto == 58 && p.a == 1 && p.b == 4 && p.sip == v["HOST_B"];
        if (!reset && !unreachable)
            continue;
        answers++;
        const Monitor& m = v.ph.monitor(reset ? "tcp" : "icmp");
        EXPECT_FALSE(rows_at(m, p.key, reset ? "tcp_v6_rcv" : "icmpv6_rcv").empty()) << p.key;
    }
    EXPECT_GE(answers, 2);
}

// Neighbours left to NDP: solicitations and advertisements were on the link
// and over the NICs, in the unfiltered ICMPv6 trace, and never in the
// trace of one host. That trace keeps every other row of the host's
// packets that the unfiltered one has.
TEST(Ipv6, NeighbourDiscoveryIsInTheCaptureAndNeverMatchesAHost)
{
    const Ipv6& v = ipv6();
    const Monitor &all = v.ph.monitor("icmp"), &host = v.ph.monitor("icmp_host");
    for (const std::string& dev : {std::string("veth0"), v["NIC_A"]}) {
        std::set<unsigned> types;
        for (const auto& p : v.captured(dev))
            if (is_ndp(p)) {
                types.insert(p.a);
                EXPECT_FALSE(rows_at(all, p.key, "").empty()) << "an NDP frame not traced: " << p.key;
            }
        EXPECT_TRUE(types.count(135) && types.count(136)) << dev << ": " << ::testing::PrintToString(types);
    }
    for (const auto& r : host.rows)
        EXPECT_FALSE(r.a >= 133 && r.a <= 137) << r.line;
    std::vector<const Monitor*> both = {&all, &host};
    auto near = packets_near_losses(both);
    std::multiset<std::string> want, kept;
    std::string h = v["HOST_B"];
    for (const auto& r : all.rows)
        if ((r.sip == h || r.dip == h) && !(r.a >= 133 && r.a <= 137) && !near.count({r.c, r.d}))
            want.insert(r.without_time());
    for (const auto& r : host.rows)
        if (!near.count({r.c, r.d}))
            kept.insert(r.without_time());
    std::multiset<std::string> extra, missing;
    std::set_difference(kept.begin(), kept.end(), want.begin(), want.end(), std::inserter(extra, extra.end()));
    std::set_difference(want.begin(), want.end(), kept.begin(), kept.end(), std::inserter(missing, missing.end()));
    // A hit the kernel skipped for one monitor alone, at most one row in a hundred.
    EXPECT_LE((extra.size() + missing.size()) * 100, want.size())
        << ::testing::PrintToString(extra) << " / " << ::testing::PrintToString(missing);
    EXPECT_GT(want.size(), 50u);
}

// A datagram larger than the link's MTU leaves in three fragments: the first
// carries the UDP header (LEN the whole payload), the later ones no ports and
// their offset; the reassembled datagram reaches udpv6_rcv with the first's.
TEST(Ipv6, LaterFragmentsShowTheirOffsetAndNoPorts)
{
    const Ipv6& v = ipv6();
    const Monitor& m = v.ph.monitor("udp");
    int first = 0;
    std::set<unsigned> offsets;
    for (const auto& p : v.ph.packets) {
        if (p.proto != 17 || (!p.fragment && !p.first_fragment))
            continue;
        if (p.first_fragment) {
            first++;
            EXPECT_EQ(p.c, (uint32_t)std::stoul(v["BIG_SIZE"]));
            EXPECT_EQ(p.b, (unsigned)std::stoul(v["UDP_PORT"]));
            EXPECT_FALSE(rows_at(m, p.key, "ipv6_rcv").empty()) << p.key;
            EXPECT_EQ(rows_at(m, p.key, "udpv6_rcv").size(), 1u) << p.key;
            continue;
        }
        offsets.insert(p.fragment);
        EXPECT_EQ(p.a + p.b + p.c, 0u);
        std::string want = std::string(trace_layout::FRAGMENT_PREFIX) + std::to_string(p.fragment);
        int at_receive = 0;
        for (const Row* r : rows_at(m, p.key, "")) {
            if (r->other != want)
                continue;
            at_receive += r->func == "ipv6_rcv";
            EXPECT_NE(r->func, "udpv6_rcv") << r->line;
        }
        EXPECT_EQ(at_receive, 1) << "the fragment at " << p.fragment;
    }
    EXPECT_EQ(first, 1);
    EXPECT_EQ(offsets.size(), 2u) << ::testing::PrintToString(offsets);
    for (const auto& r : m.rows)
        if (r.other.rfind(trace_layout::FRAGMENT_PREFIX, 0) == 0) {
            EXPECT_EQ(r.a + r.b + r.c, 0u) << r.line;
        }
}

// An IPv4 trace of a port that only IPv6 reached ends without a row and
// says how many IPv6 packets of the port went by: counted once per device
// that sent one (and once as a NIC received it), here each packet of the
// connection on the link, sent by one of its two ends; but for a send the
// kernel skipped (a kprobe already running on that CPU).
TEST(Ipv6, AnIpv4TraceOfAPortOnlyIpv6ReachedSaysHowManyIpv6PacketsCame)
{
    const Ipv6& v = ipv6();
    const Monitor& m = v.ph.monitor("tcp_ipv4");
    unsigned port = (unsigned)std::stoul(v["NOTICE_PORT"]);
    long sent = 0, seen_by_peer = 0;
    for (const auto& p : v.captured("veth0"))
        sent += p.proto == 6 && (p.a == port || p.b == port);
    for (const auto& p : v.captured("veth1"))
        seen_by_peer += p.proto == 6 && (p.a == port || p.b == port);
    EXPECT_EQ(sent, seen_by_peer) << "the two ends of the link captured other packets";
    EXPECT_GT(sent, 5);
    EXPECT_TRUE(m.rows.empty());
    std::smatch notice;
    ASSERT_TRUE(std::regex_match(m.stderr_text, notice,
                                 std::regex("no IPv4 packet to port " + std::to_string(port) +
                                            "; ([0-9]+) IPv6 packets seen: trace them with -6\n")))
        << m.stderr_text;
    long seen = std::stol(notice[1]);
    EXPECT_LE(seen, sent);
    EXPECT_GE(seen + v.ph.missed("__dev_queue_xmit"), sent);
}

// The container's packets to the peer and back, forwarded by root: each is
// one packet number of the -N trace from the container's ct0 to the peer's
// veth1, with its rows at the bridge and at ip6_forward, in the namespaces
// the guest read.
TEST(Ipv6, EachForwardedPacketIsOnePacketAcrossTheBridgeAndForwarding)
{
    const Ipv6& v = ipv6();
    std::map<std::string, int> on_wire;
    for (const auto& q : v.captured("veth1"))
        on_wire[q.key]++;
    std::map<std::string, int> crossed;
    for (const auto& p : v.captured("ct0"))
        if (!is_ndp(p) && !is_mld(p) && on_wire[p.key]-- > 0)
            crossed[p.key]++;
    int tcp = 0, echoes = 0;
    for (const auto& [key, n] : crossed) {
        SCOPED_TRACE(key);
        int proto = std::stoi(key);
        const Monitor& m = v.ph.monitor(proto == 6 ? "tcp" : proto == 17 ? "udp" : "icmp");
        tcp += proto == 6 ? n : 0;
        echoes += proto == 58 ? n : 0;
        int packets = 0;
        for (const auto& [number, rows] : rows_by_packet(m)) {
            if (!has_row(rows, key, "ct0", v["CT_NETNS"]) || !has_row(rows, key, "veth1", v["PEER_NETNS"]))
                continue;
            packets++;
            auto at = [&](const char* f) {
                return std::any_of(rows.begin(), rows.end(), [&](const Row* r) { return r->func == f; });
            };
            EXPECT_TRUE(at("ip6_forward")) << "packet " << number;
            EXPECT_TRUE(at("br_handle_frame") || at("br_forward")) << "packet " << number;
        }
        if (lossy(m))
            EXPECT_LE(packets, n);
        else
            EXPECT_EQ(packets, n);
    }
    EXPECT_EQ(echoes, 2 * std::stoi(v["PING_COUNT"]));
    EXPECT_GT(tcp, 6) << "the container's connection, both ways";
}

// Frames no IP layer builds (lab_net ipv6-odd): the kernel side walks at
// most 8 extension headers, inside the packet, and reads no transport
// header it cannot find there whole. Nine destination-options headers
// leave no UDP row at all; a header that runs past the packet leaves the
// ports 0; a jumbogram's UDP length 0 reads 0, not 65528; a payload length
// past the frame reads the datagram that is there. The peer drops each
// before UDP, whose receive has no row of them.
TEST(Ipv6, FramesNoIpLayerBuildsShowNoTransportHeaderThatIsNotThere)
{
    const Ipv6& v = ipv6();
    const Monitor& m = v.ph.monitor("udp");
    struct Want {
        bool rows;
        unsigned sport, dport, len;
    };
    const std::map<std::string, Want> want = {
        {"chain", {false, 0, 0, 0}}, {"overrun", {true, 0, 0, 0}}, {"jumbo", {true, 5371, 5372, 0}},
        {"short", {true, 5371, 5372, 4}}};
    std::istringstream kinds(v["ODD_KINDS"]);
    std::string kind;
    int n = 0;
    for (; kinds >> kind; n++) {
        ASSERT_TRUE(want.count(kind)) << kind;
        const Want& w = want.at(kind);
        std::string source = v["ODD_SOURCE"] + std::to_string(n + 1);
        SCOPED_TRACE(kind + " from " + source);
        EXPECT_TRUE(std::any_of(v.ph.packets.begin(), v.ph.packets.end(),
                                [&](const Packet& p) { return p.sip == source; }))
            << "not captured on veth0";
        int rows = 0, received = 0;
        for (const auto& r : m.rows) {
            if (r.sip != source)
                continue;
            rows++;
            received += r.func == "__netif_receive_skb";
            EXPECT_EQ(r.a, w.sport) << r.line;
            EXPECT_EQ(r.b, w.dport) << r.line;
            EXPECT_EQ(r.c, w.len) << r.line;
            EXPECT_NE(r.func, "udpv6_rcv") << r.line;
        }
        if (w.rows) {
            EXPECT_EQ(received, 1);
        } else {
            EXPECT_EQ(rows, 0);
        }
    }
    EXPECT_EQ(n, 4);
}

// The reader's endings of the phase's traffic, as it went: the ip6tables
// and nft drops and the closed ports dropped where they were, a delivered
// datagram, segment or echo never read as dropped.
TEST(Ipv6, TheReaderEndsEachJourneyAsItsTrafficWent)
{
    const Ipv6& v = ipv6();
    auto port = [&](const char* name) { return (unsigned)std::stoul(v[name]); };
    const std::map<unsigned, std::string> dropped = {
        {port("DROP_PORT"), "dropped by table filter at NF_INET_LOCAL_IN"},
        {port("NFT_PORT"), "dropped by table inet v6fw base chain in at NF_INET_LOCAL_IN"},
        {port("CLOSED_TCP_PORT"), "dropped at tcp_v6_rcv: NO_SOCKET"},
    };
    const std::set<unsigned> delivered = {port("TCP_PORT"), port("UDP_PORT"), port("CT_PORT"), port("NIC_UDP_PORT")};
    std::map<unsigned, int> seen;
    for (const char* name : {"udp", "tcp", "icmp"}) {
        const Monitor& m = v.ph.monitor(name);
        for (const auto& j : journeys_of(m)) {
            if (j["kind"] != "journey" || v.odd(text_of(j, "saddr")))
                continue;
            SCOPED_TRACE(std::string(name) + ": " + text_of(j, "flow") + ": " + text_of(j, "ending"));
            EXPECT_EQ(j["family"], "ipv6");
            // Where the monitor lost samples, a journey may end there.
            if (lossy(m) && j["class"] == "not_seen" && text_of(j, "ending").find("samples lost") != std::string::npos)
                continue;
            if (std::string(name) == "icmp") {
                if (text_of(j, "flow").find("(echo") != std::string::npos) {
                    seen[0]++;
                    EXPECT_EQ(j["class"], "delivered");
                }
                continue;
            }
            unsigned dport = j["dport"].get<unsigned>();
            if (dropped.count(dport)) {
                seen[dport]++;
                EXPECT_EQ(text_of(j, "ending"), dropped.at(dport));
            } else if (dport == port("CLOSED_UDP_PORT")) {
                seen[dport]++;
                EXPECT_TRUE(std::regex_match(text_of(j, "ending"), std::regex("dropped at \\S+: NO_SOCKET")));
            } else if (delivered.count(dport) || delivered.count(j["sport"].get<unsigned>())) {
                EXPECT_NE(j["class"], "dropped");
            }
        }
    }
    for (unsigned p : {port("DROP_PORT"), port("NFT_PORT"), port("CLOSED_TCP_PORT"), port("CLOSED_UDP_PORT"), 0u})
        EXPECT_GT(seen[p], 0) << "no journey to port " << p;
}

}  // namespace
