// The traffic phase: what real programs make of the packet path (ping, an
// HTTP fetch, a connection kept alive, multicast, routing refusals, nft
// drops), each journey's ending held against the traffic's own outcome and
// the kernel's counters of both namespaces.
#include <regex>

#include "report_lines.h"

namespace {

// /proc/net/snmp and /proc/net/netstat: per group a line of names and a
// line of values ("Ip: Forwarding ..." then "Ip: 2 64 ..."), read as
// "IpExt.InNoRoutes" -> value.
std::map<std::string, long long> read_counters(const std::string& path)
{
    std::map<std::string, long long> out;
    std::map<std::string, std::vector<std::string>> names;
    for (const auto& line : lines_of(read_file(path))) {
        std::stringstream ss(line);
        std::string group, word;
        ss >> group;
        std::vector<std::string> words;
        while (ss >> word)
            words.push_back(word);
        if (!names.count(group)) {
            names[group] = words;
            continue;
        }
        for (size_t i = 0; i < words.size() && i < names[group].size(); i++)
            out[group.substr(0, group.size() - 1) + "." + names[group][i]] = std::stoll(words[i]);
    }
    return out;
}

struct Traffic {
    Phase ph;
    std::map<std::string, std::string> sent;  // traffic.env: what each step sent and got
    std::map<std::string, std::vector<nlohmann::json>> journeys;  // per monitor

    std::string operator[](const std::string& k) const
    {
        auto it = sent.find(k);
        EXPECT_NE(it, sent.end()) << "traffic.env has no " << k;
        return it == sent.end() ? "" : it->second;
    }
    int count(const std::string& k) const { return (int)numbers_of((*this)[k]).size(); }
    // What a counter of the peer's namespace grew by over the traffic.
    long long peer_delta(const std::string& counter) const
    {
        for (const char* file : {"snmp", "netstat"}) {
            auto before = read_counters(ph.dir + "/" + file + "-peer-before.txt");
            auto after = read_counters(ph.dir + "/" + file + "-peer-after.txt");
            if (after.count(counter) && before.count(counter))
                return after[counter] - before[counter];
        }
        ADD_FAILURE() << "no counter " << counter;
        return -1;
    }
};

const Traffic& traffic()
{
    static const Traffic t = [] {
        Traffic t;
        t.ph = read_phase(env("LAB_RESULTS"), "traffic", {"icmp", "tcp", "udp", "udp_kptr"});
        t.sent = read_settings(t.ph.dir + "/traffic.env");
        for (const auto& [name, m] : t.ph.monitors) {
            auto& mine = t.journeys[name];
            for (const auto& j : journeys_of(m))
                if (j["kind"] == "journey")
                    mine.push_back(j);
        }
        return t;
    }();
    return t;
}

unsigned dport_of(const nlohmann::json& j) { return j["rows"][0]["dport"].get<unsigned>(); }

// The endings of a monitor's journeys of the datagrams to PORT (and HOST,
// where given), by ending.
std::map<std::string, int> endings_to(const std::string& monitor, const std::string& port, const std::string& host = "")
{
    std::map<std::string, int> out;
    for (const auto& j : traffic().journeys.at(monitor))
        if (std::to_string(dport_of(j)) == port && (host.empty() || j["rows"][0]["dip"] == host))
            out[text_of(j, "ending")]++;
    return out;
}

// What the peer's nft rule for datagrams to PORT that ends in ACTION
// counted ("udp dport P counter packets N bytes B ACTION"), or -1.
int counted_by_rule(const std::string& ruleset, const std::string& port, const std::string& action)
{
    std::smatch counted;
    if (!std::regex_search(ruleset, counted,
                           std::regex("udp dport " + port + " counter packets ([0-9]+) bytes [0-9]+ " + action)))
        return -1;
    return std::stoi(counted[1]);
}

// The drop rows of a monitor for datagrams to PORT: "reason:R at: F".
std::vector<std::string> drop_rows_to(const Monitor& m, const std::string& port)
{
    std::vector<std::string> out;
    for (const auto& r : m.rows)
        if (is_drop_row(r.func) && std::to_string(r.b) == port)
            out.push_back(drop_text(r.other));
    return out;
}

// A journey of a ping to NEIGH_HOST, or of the host-unreachable the kernel
// told its sender: none of them reached the captured link.
bool unanswered_neighbour(const Traffic& t, const nlohmann::json& j)
{
    const auto& row = j["rows"][0];
    return j["protocol"] == "icmp" &&
           (row["dip"] == t["NEIGH_HOST"] || (row["sip"] == row["dip"] && row["type"] == 3 && row["code"] == 1));
}

// Every monitor traced the phase to its end; every journey is a packet of
// the capture, one per captured packet, and only a journey of class dropped
// says dropped.
TEST(Traffic, EveryJourneyIsOneCapturedPacketAndOnlyTheDroppedClassSaysDropped)
{
    const Traffic& t = traffic();
    std::map<std::string, int> classes;
    for (const auto& [name, m] : t.ph.monitors) {
        SCOPED_TRACE(name + " (" + m.args + ")");
        EXPECT_EQ(m.alive, "1");
        EXPECT_EQ(m.status, "143");
        EXPECT_TRUE(m.bad_lines.empty()) << m.bad_lines.front();
        EXPECT_FALSE(m.rows.empty());
        std::map<std::string, int> captured, found;
        for (const auto& p : t.ph.packets)
            captured[p.key] += m.covers(p);
        for (const auto& j : t.journeys.at(name)) {
            std::string cls = text_of(j, "class");
            EXPECT_TRUE(cls == "delivered" || cls == "dropped" || cls == "not_seen") << cls;
            EXPECT_EQ(j["dropped"].get<bool>(), cls == "dropped") << text_of(j, "ending");
            if (unanswered_neighbour(t, j))
                continue; // held against what ping sent (below), not the capture
            found[key_of(j["protocol"], j["rows"][0])]++;
            classes[name + " " + cls]++;
        }
        // The monitor under kptr_restrict ran for the nft drops alone; a
        // monitor that said it lost samples may miss the packets of them,
        // and a packet whose middle rows were lost is read as two
        // journeys, each still a packet that was captured.
        bool lost = std::any_of(m.remarks.begin(), m.remarks.end(),
                                [](const std::string& r) { return r.rfind("# lost ", 0) == 0; });
        bool partial = name == "udp_kptr" || lost;
        for (const auto& [key, n] : found) {
            if (lost)
                EXPECT_GT(captured[key], 0) << "journeys of " << key;
            else
                EXPECT_TRUE(partial ? n <= captured[key] : n == captured[key]) << "journeys of " << key;
        }
        if (!partial) {
            for (const auto& [key, n] : captured)
                EXPECT_EQ(found[key], n) << "journeys of " << key;
        }
    }
    RecordProperty("classes", ::testing::PrintToString(classes));
    EXPECT_GT(classes["udp dropped"], 0);
}

// Pings to an address on the link nobody has: the neighbour output held
// each until ARP gave up, seconds later, and freed it: one journey each,
// dropped for it, as many as ping sent; and each host-unreachable the
// kernel then told ping is one delivered journey.
TEST(Traffic, APingWhoseNeighbourNeverAnsweredIsOneJourneyDroppedWhenArpGaveUp)
{
    const Traffic& t = traffic();
    int sent = std::stoi(t["NEIGH_SENT"]), dropped = 0, unreachable = 0;
    EXPECT_EQ(sent, std::stoi(t["NEIGH_PINGS"]));
    for (const auto& j : t.journeys.at("icmp")) {
        if (!unanswered_neighbour(t, j))
            continue;
        const auto& row = j["rows"][0];
        if (row["dip"] == t["NEIGH_HOST"]) {
            dropped++;
            EXPECT_TRUE(std::regex_match(text_of(j, "ending"), std::regex("dropped at [a-z0-9_.]+: NEIGH_FAILED")))
                << text_of(j, "ending");
            EXPECT_EQ(text_of(j, "class"), "dropped");
        } else {
            unreachable++;
            EXPECT_EQ(text_of(j, "class"), "delivered") << text_of(j, "ending");
        }
    }
    EXPECT_EQ(dropped, sent);
    EXPECT_EQ(unreachable, sent);
}

// busybox ping reads its replies on a raw socket: each reply is delivered
// (raw_rcv has its copy), though the kernel then frees it with NO_SOCKET.
TEST(Traffic, EveryEchoReplyIsDeliveredToThePingsRawSocket)
{
    const Traffic& t = traffic();
    const Monitor& m = t.ph.monitor("icmp");
    EXPECT_EQ(t["PING_RECEIVED"], t["PING_COUNT"]);
    int replies = 0;
    for (const auto& j : t.journeys.at("icmp")) {
        const auto& row = j["rows"][0];
        if (row["type"] != 0)
            continue;
        replies++;
        EXPECT_EQ(text_of(j, "ending"), "delivered to a raw socket");
        EXPECT_EQ(text_of(j, "class"), "delivered");
        EXPECT_EQ(rows_at(m, key_of("icmp", row), "raw_rcv").size(), 1u) << key_of("icmp", row);
    }
    EXPECT_EQ(std::to_string(replies), t["PING_RECEIVED"]);
    EXPECT_GE(t.ph.hit("raw_rcv"), replies);
}

// A fetched file and an idle connection kept alive: every byte arrived and
// nothing of either connection was dropped. The peer discards each
// keepalive probe (one byte before what it expects) as stale, having
// delivered it: its reply is what the prober waits for.
TEST(Traffic, NothingOfTheFetchOrTheKeptAliveConnectionReadsDropped)
{
    const Traffic& t = traffic();
    EXPECT_EQ(std::stol(t["FETCHED_BYTES"]), std::stol(t["FETCH_KIB"]) * 1024);
    std::map<std::string, int> probes;  // captured keepalive probes by key
    std::map<std::string, uint32_t> next_seq;
    for (const auto& p : t.ph.packets) {
        if (p.proto != 6 || std::to_string(p.b) != t["IDLE_PORT"])
            continue;
        std::string flow = p.sip + ":" + std::to_string(p.a);
        uint32_t end = p.c + p.payload + ((p.tcp_flags & 0x03) ? 1 : 0);  // SYN and FIN take one
        if (p.tcp_flags == 0x10 && p.payload == 0 && next_seq.count(flow) && p.c + 1 == next_seq[flow])
            probes[p.key]++;
        else if (!next_seq.count(flow) || (int32_t)(end - next_seq[flow]) > 0)
            next_seq[flow] = end;
    }
    EXPECT_FALSE(probes.empty()) << "no keepalive probe in the capture";
    std::map<std::string, int> per_port, stale;
    for (const auto& j : t.journeys.at("tcp")) {
        std::string sport = std::to_string(j["rows"][0]["sport"].get<unsigned>()), dport = std::to_string(dport_of(j));
        std::string port = sport == t["HTTP_PORT"] || dport == t["HTTP_PORT"] ? "http"
                           : sport == t["IDLE_PORT"] || dport == t["IDLE_PORT"] ? "idle" : "";
        if (port.empty())
            continue;
        per_port[port]++;
        // A segment that came after its socket had closed (the server's
        // ACK of the client's FIN sent twice, the client gone after the
        // first) is dropped for no socket, and its sender is reset: the
        // capture tells it.
        const auto& first = j["rows"][0];
        bool reset = std::any_of(t.ph.packets.begin(), t.ph.packets.end(), [&](const Packet& p) {
            return (p.tcp_flags & 0x04) && p.sip == first["dip"] && p.a == first["dport"] &&
                   p.c == first["ack_seq"];
        });
        if (!(reset && text_of(j, "ending") == "dropped at tcp_v4_rcv: NO_SOCKET")) {
            EXPECT_NE(text_of(j, "class"), "dropped") << text_of(j, "ending");
        }
        std::string key = key_of("tcp", j["rows"][0]);
        if (probes.count(key)) {
            EXPECT_EQ(delivered_drop_reason(text_of(j, "ending")).rfind("TCP_", 0), 0u) << text_of(j, "ending");
            EXPECT_EQ(text_of(j, "class"), "delivered");
            stale[key]++;
        }
    }
    EXPECT_EQ(stale, probes) << "keepalive probes read stale, against the capture";
    EXPECT_GT(per_port["http"], 0) << "the fetch is not in the trace";
    EXPECT_GT(per_port["idle"], 0) << "the kept-alive connection is not in the trace";
}

// Two sockets joined the group: the reader got every datagram; the one not
// read kept a few, and each copy it had no room for is one journey that
// says so, delivered (its sibling got the datagram), as many as the peer's
// Udp RcvbufErrors grew by.
TEST(Traffic, EachMulticastCopyTheFullSocketHadNoRoomForIsCountedOnce)
{
    const Traffic& t = traffic();
    int sent = t.count("MCAST_SIZES");
    EXPECT_EQ(std::stoi(t["MCAST_READ"]), sent);
    int lost_copies = sent - std::stoi(t["MCAST_KEPT"]);
    EXPECT_GT(lost_copies, 0) << "the full socket kept every datagram";
    EXPECT_EQ(t.peer_delta("Udp.RcvbufErrors"), lost_copies);
    int copies = 0, journeys = 0;
    for (const auto& j : t.journeys.at("udp")) {
        if (j["rows"][0]["dip"] != t["MCAST_GROUP"] || std::to_string(dport_of(j)) != t["MCAST_PORT"])
            continue;
        journeys++;
        EXPECT_EQ(text_of(j, "class"), "delivered") << text_of(j, "ending");
        copies += text_of(j, "ending") == "a copy for one socket dropped (SOCKET_RCVBUFF)";
    }
    EXPECT_EQ(journeys, sent);
    EXPECT_EQ(copies, lost_copies);
}

// Connects to a listener that never accepts, its backlog 0: each SYN or
// last ACK that found its accept queue full is one journey dropped there,
// as many as the peer's TcpExt ListenOverflows grew by, and every listen
// drop of the peer was one of them.
TEST(Traffic, EachPacketAFullAcceptQueueDroppedIsOneDroppedJourney)
{
    const Traffic& t = traffic();
    long long overflows = t.peer_delta("TcpExt.ListenOverflows");
    EXPECT_GE(overflows, t.count("FULL_CONNECTS") - 1) << "each connect but the one that waits overflows once at least";
    EXPECT_EQ(t.peer_delta("TcpExt.ListenDrops"), overflows);
    std::map<std::string, int> endings;
    for (const auto& j : t.journeys.at("tcp")) {
        if (std::to_string(dport_of(j)) != t["FULL_PORT"])
            continue;
        std::string ending = text_of(j, "ending");
        if (ending.find("accept queue") != std::string::npos) {
            endings[ending]++;
            EXPECT_EQ(text_of(j, "class"), "dropped");
        }
    }
    int full = 0;
    for (const auto& [ending, n] : endings) {
        EXPECT_TRUE(ending == "dropped at tcp_conn_request: the listener's accept queue is full" ||
                    ending == "dropped at tcp_v4_syn_recv_sock: the listener's accept queue is full")
            << ending;
        full += n;
    }
    EXPECT_EQ(full, overflows);
}

// Datagrams to the joined group on a port no socket holds: UDP frees each
// without a reason, as many as the peer's Udp IgnoredMulti grew by, and
// each is one journey dropped for no socket of the group.
TEST(Traffic, AMulticastNoSocketHoldsIsDroppedAsTheKernelCountsIt)
{
    const Traffic& t = traffic();
    int sent = t.count("DROPPED_SIZES");
    EXPECT_EQ(t.peer_delta("Udp.IgnoredMulti"), sent);
    int dropped = 0;
    for (const auto& j : t.journeys.at("udp")) {
        if (std::to_string(dport_of(j)) != t["MCAST_IDLE_PORT"])
            continue;
        EXPECT_EQ(j["rows"][0]["dip"], t["MCAST_GROUP"]);
        EXPECT_EQ(text_of(j, "class"), "dropped") << text_of(j, "ending");
        dropped += std::regex_match(text_of(j, "ending"),
                                    std::regex("dropped at [a-z0-9_.]+: no socket for the broadcast or multicast"));
    }
    EXPECT_EQ(dropped, sent);
}

// Datagrams the peer refused to route: no route (IpExt InNoRoutes), no
// forwarding (Ip InAddrErrors), a source its strict reverse-path filter
// refuses (TcpExt IPReversePathFilter). Each is one drop row naming the
// function, and one dropped journey saying the row's function and reason
// (in words where the kernel gives none), under kptr_restrict=2 as well:
// the kernel names its code whatever /proc/kallsyms hides.
TEST(Traffic, RoutingDropsAreCountedByTheKernelAndSayWhere)
{
    const Traffic& t = traffic();
    for (const char* monitor : {"udp", "udp_kptr"}) {
    SCOPED_TRACE(monitor);
    const Monitor& m = t.ph.monitor(monitor);
    struct Case {
        const char *port, *host, *counter;
        std::set<std::string> reasons;
        std::string at;  // the function, where the kernel's code fixes it
        bool forwarding_off = false; // the device does not forward: the row and the ending say so
    };
    const Case cases[] = {
        {"NOROUTE_PORT", "NOROUTE_HOST", "IpExt.InNoRoutes", {"NOT_SPECIFIED", "IP_INNOROUTES"}, "ip_error"},
        {"NOFWD_PORT", "NOFWD_HOST", "Ip.InAddrErrors", {"NOT_SPECIFIED", "IP_INADDRERRORS"}, "ip_error", true},
        {"MARTIAN_PORT", "HOST_B", "TcpExt.IPReversePathFilter", {"IP_RPFILTER"}, ""},
    };
    int sent = t.count("DROPPED_SIZES");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        std::string port = t[c.port];
        EXPECT_EQ(t.peer_delta(c.counter), sent) << c.counter;
        std::map<std::string, int> want;
        auto rows = drop_rows_to(m, port);
        EXPECT_EQ((int)rows.size(), sent);
        for (const auto& r : m.rows)
            if (is_drop_row(r.func) && std::to_string(r.b) == port) {
                EXPECT_EQ(r.other.find(" fwd:off") != std::string::npos, c.forwarding_off) << r.line;
            }
        for (const auto& other : rows) {
            std::smatch got;
            ASSERT_TRUE(std::regex_match(other, got, std::regex("reason:(\\S+) at: ([a-z_][a-z0-9_.]*)"))) << other;
            EXPECT_TRUE(c.reasons.count(got[1])) << other;
            if (!c.at.empty()) {
                EXPECT_EQ(got[2], c.at) << other;
            }
            std::string reason = got[1] == "NOT_SPECIFIED" ? "reason not given by this kernel" : got[1].str();
            if (c.forwarding_off)
                reason = "IPv4 forwarding is off";
            want["dropped at " + got[2].str() + ": " + reason]++;
        }
        std::string host = std::string(c.host) == "HOST_B" ? lab()["HOST_B"] : t[c.host];
        EXPECT_EQ(endings_to(monitor, port, host), want);
        for (const auto& j : t.journeys.at(monitor)) {
            if (std::to_string(dport_of(j)) == port) {
                EXPECT_EQ(text_of(j, "class"), "dropped");
            }
        }
    }
    }
}

// nft drops in the peer: a netdev ingress chain, an inet ingress chain, and
// a regular chain with a long name that the input base chain jumps to. Each
// drop reads the table with its family, the base chain the walk began in
// and the hook, as often as the rule's own counter says it dropped.
TEST(Traffic, NftDropsNameFamilyTableBaseChainAndHook)
{
    const Traffic& t = traffic();
    EXPECT_EQ(t["INET_INGRESS"], "1") << "every kernel of the lab takes an inet ingress chain (5.10 on)";
    std::string ruleset = read_file(t.ph.dir + "/nft-ruleset.txt");
    int sent = t.count("DROPPED_SIZES");
    const std::pair<const char*, std::string> cases[] = {
        {"NETDEV_DROP_PORT", "dropped by table netdev edge base chain ingress at NF_NETDEV_INGRESS"},
        {"INGRESS_DROP_PORT", "dropped by table inet lab base chain early at NF_INET_INGRESS"},
        {"JUMP_DROP_PORT", "dropped by table inet lab base chain input at NF_INET_LOCAL_IN"},
    };
    for (const auto& [port_name, ending] : cases) {
        std::string port = t[port_name];
        EXPECT_EQ(counted_by_rule(ruleset, port, "drop"), sent) << port_name << ":\n" << ruleset;
        for (const char* monitor : {"udp", "udp_kptr"})
            EXPECT_EQ(endings_to(monitor, port), (std::map<std::string, int>{{ending, sent}})) << port_name << " " << monitor;
    }
    EXPECT_NE(ruleset.find("chain " + t["LONG_CHAIN"] + " {"), std::string::npos) << ruleset;
}

// nft queues datagrams to a program that answers each with a drop, and to
// a queue no program takes: each is one journey dropped where the kernel
// freed it, saying which and the queue, as many as each rule counted and
// the program dropped.
TEST(Traffic, DatagramsAnNfqueueProgramDroppedOrNoProgramTookSaySo)
{
    const Traffic& t = traffic();
    std::string ruleset = read_file(t.ph.dir + "/nft-ruleset.txt");
    int sent = t.count("DROPPED_SIZES");
    EXPECT_EQ(t["QUEUE_DROPPED"], std::to_string(sent));
    const std::pair<const char*, std::string> cases[] = {
        {"QUEUE_DROP_PORT", "its NFQUEUE program's verdict \\(queue 7\\)"},
        {"QUEUE_NONE_PORT", "no program takes its NFQUEUE queue \\(queue 8\\)"},
    };
    for (const auto& [port_name, words] : cases) {
        std::string port = t[port_name];
        EXPECT_EQ(counted_by_rule(ruleset, port, "queue"), sent) << port_name << ":\n" << ruleset;
        auto endings = endings_to("udp", port);
        ASSERT_EQ(endings.size(), 1u) << port_name << " " << ::testing::PrintToString(endings);
        EXPECT_TRUE(std::regex_match(endings.begin()->first, std::regex("dropped at [a-z0-9_.]+: " + words)))
            << endings.begin()->first;
        EXPECT_EQ(endings.begin()->second, sent) << port_name;
    }
}

// Under kptr_restrict=2 the kernel shows every code address as 0 in
// /proc/kallsyms; the monitor started then names the code of each drop as
// the one started before it does, and no trace of the phase holds a kernel
// address.
TEST(Traffic, UnderKptrRestrictDropRowsNameTheCodeAndNoRowHoldsAnAddress)
{
    const Traffic& t = traffic();
    const Monitor& hidden = t.ph.monitor("udp_kptr");
    const Monitor& named = t.ph.monitor("udp");
    int rows = 0;
    for (const char* port_name : {"NOROUTE_PORT", "NOFWD_PORT", "MARTIAN_PORT", "NETDEV_DROP_PORT",
                                  "INGRESS_DROP_PORT", "JUMP_DROP_PORT"}) {
        std::string port = t[port_name];
        auto h = drop_rows_to(hidden, port), n = drop_rows_to(named, port);
        std::sort(h.begin(), h.end());
        std::sort(n.begin(), n.end());
        EXPECT_EQ(h, n) << port_name;
        for (const auto& other : h)
            EXPECT_TRUE(std::regex_match(other, std::regex("reason:\\S+ at: [a-z_][a-z0-9_.]*"))) << other;
        rows += (int)h.size();
    }
    EXPECT_EQ(rows, 6 * t.count("DROPPED_SIZES"));
    for (const auto& [name, m] : t.ph.monitors)
        for (const auto& r : m.rows)
            EXPECT_EQ(r.line.find("0xffff"), std::string::npos) << name << ": " << r.line;
}

}  // namespace
