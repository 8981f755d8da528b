// Rows that are claims about packets: none for a frame that is not IPv4 or
// for a call without a packet, every verdict and listener state on the packet
// of its own call, fragments without made-up headers; ICMP beyond echo; an
// offline CPU that leaves the others traced.
#include "lab_results.h"

namespace {

// How often a packet may pass a function: once, and a table walk once on
// each side of the link (LOCAL_OUT in the sender, LOCAL_IN in the receiver).
int passes(const std::string& func) { return is_table_walk(func) ? 2 : 1; }

// Frames of an EtherType in a capture: the traffic a check relies on was there.
int frames_of(const std::string& path, unsigned ethertype)
{
    std::string data = read_file(path);
    const uint8_t* f = reinterpret_cast<const uint8_t*>(data.data());
    int n = 0;
    for (size_t off = 24; off + 16 <= data.size();) {
        uint32_t caplen = f[off + 8] | f[off + 9] << 8 | f[off + 10] << 16 | (uint32_t)f[off + 11] << 24;
        const uint8_t* e = f + off + 16;
        off += 16 + caplen;
        n += off <= data.size() && caplen >= 14 && be16(e + 12) == ethertype;
    }
    return n;
}

TEST(Truth, ArpCrossedTheNicsWithTheNeighboursLeftToTheKernel)
{
    for (const char* phase : {"nic", "nic_nogro"}) {
        const Phase& ph = lab().phase(phase);
        EXPECT_GT(frames_of(ph.dir + "/" + lab()(ph, "DEV_A") + ".pcap", 0x0806), 1) << phase;
    }
}

TEST(Truth, TheTruthPhaseSentIpv6ArpFragmentsAndSocketDiagnostics)
{
    const Lab& l = lab();
    const Phase& ph = l.phase("truth");
    EXPECT_GT(frames_of(ph.dir + "/veth0.pcap", 0x86dd), 4) << "no IPv6 on the link";
    EXPECT_GT(frames_of(ph.dir + "/veth0.pcap", 0x0806), 1) << "no ARP on the link";
    int later_fragments = 0;
    for (const auto& p : ph.packets)
        later_fragments += p.fragment > 0;
    EXPECT_GE(later_fragments, 2);
    std::string steps = read_file(ph.dir + "/steps.log");
    EXPECT_NE(steps.find("answer type 20"), std::string::npos) << "no socket-diagnostic answer: " << steps;
}

// A probe that saw no IPv4 packet emits nothing: no row repeats a packet
// more often than the capture saw it pass.
TEST(Truth, NoRowRepeatsAPacketMoreOftenThanItWasSent)
{
    const Lab& l = lab();
    for (const auto& ph : l.phases) {
        SCOPED_TRACE("phase " + ph.name);
        auto sent = key_counts(ph);
        for (const auto& [name, m] : ph.monitors) {
            std::map<std::pair<std::string, std::string>, int> rows;
            for (const auto& r : m.rows)
                rows[{r.key, r.func}]++;
            for (const auto& [at, n] : rows) {
                int times = sent.count(at.first) ? sent.at(at.first) : 0;
                if (times == 0 && (is_table_walk(at.second) || is_drop_row(at.second)))
                    times = 1; // the rejected SYN, never on a device: held below
                EXPECT_LE(n, times * passes(at.second))
                    << name << ": " << n << " rows at " << at.second << " for " << at.first << ", sent " << times;
            }
        }
    }
}

// On each CPU a walk's entry row comes before its return row, and walks
// nest: a return belongs to the innermost open walk. Every return row must
// carry the packet of that walk. On a preemptible kernel a task can move to
// another CPU between the entry probe and the walk's own disabling of
// bottom halves; its return then comes on the new CPU, and belongs to the
// innermost open walk of that packet on the CPU it left. Rows are taken in
// time order, since a file holds each CPU's rows in order but not across CPUs.
TEST(Truth, EveryVerdictIsGivenToThePacketOfItsOwnWalk)
{
    int walks = 0, unmatched = 0, moved = 0;
    for (const auto& ph : lab().phases) {
        for (const auto& [name, m] : ph.monitors) {
            SCOPED_TRACE("phase " + ph.name + ", " + name);
            std::vector<const Row*> rows;
            for (const auto& r : m.rows)
                rows.push_back(&r);
            std::stable_sort(rows.begin(), rows.end(), [](const Row* a, const Row* b) { return a->time < b->time; });
            // Open walks by CPU and walk (iptables', nft's).
            std::map<std::pair<int, std::string>, std::vector<const Row*>> open;
            for (const Row* r : rows) {
                if (!is_table_walk(r->func))
                    continue;
                bool is_return = r->func.rfind("ret_", 0) == 0;
                std::string walk = is_return ? r->func.substr(4) : r->func;
                if (!is_return) {
                    open[{r->cpu, walk}].push_back(r);
                    walks++;
                } else {
                    auto& here = open[{r->cpu, walk}];
                    if (!here.empty() && here.back()->key == r->key) {
                        here.pop_back();
                        continue;
                    }
                    auto left = std::find_if(open.begin(), open.end(), [&](const auto& cpu) {
                        return cpu.first.first != r->cpu && cpu.first.second == walk && !cpu.second.empty() &&
                               cpu.second.back()->key == r->key;
                    });
                    ASSERT_NE(left, open.end()) << "a verdict without its walk: " << r->line << "\ninnermost walk here: "
                                                << (here.empty() ? "none" : here.back()->line);
                    left->second.pop_back();
                    moved++;
                }
            }
            for (const auto& [cpu, left] : open)
                unmatched += int(left.size());
        }
    }
    RecordProperty("table_walks", walks);
    RecordProperty("walks_without_verdict", unmatched);
    RecordProperty("walks_returning_on_another_cpu", moved);
    EXPECT_GT(walks, 0);
    EXPECT_EQ(unmatched, 0) << "walks whose return could not be matched to them";
}

// The OUTPUT rule answers the SYN with a reset; the reset's own receive
// path, its INPUT walk included, runs inside the SYN's walk on that CPU.
TEST(Truth, TheRejectedSynGetsTheDropAndTheResetItsOwnVerdicts)
{
    const Lab& l = lab();
    const Phase& ph = l.phase("truth");
    const Monitor& m = ph.monitor("tcp");
    int syn_walks = 0, syn_drops = 0, resets = 0;
    for (const auto& r : m.rows) {
        if (rejected_syn(l, r)) {
            // Dropped at LOCAL_OUT: its walk, and the kernel's drop row.
            EXPECT_TRUE(is_table_walk(r.func) || (is_drop_row(r.func) && r.other.rfind("reason:NETFILTER_DROP", 0) == 0))
                << "the rejected SYN went on: " << r.line;
            syn_walks += r.func == "ipt_do_table";
            if (r.func == "ipt_do_table") {
                EXPECT_EQ(r.other.substr(0, r.other.find(' ')), "hook:NF_INET_LOCAL_OUT") << r.line;
            }
            if (r.func == "ret_ipt_do_table") {
                EXPECT_EQ(r.other, "verdict: NF_DROP") << r.line;
                syn_drops++;
            }
        }
        if (r.func == "ret_ipt_do_table" && std::to_string(r.a) == l["REJECT_PORT"] && r.sip == l["HOST_B"]) {
            EXPECT_EQ(r.other, "verdict: NF_ACCEPT") << "the reset got another walk's verdict: " << r.line;
            resets++;
        }
    }
    EXPECT_GE(syn_walks, 1);
    EXPECT_EQ(syn_drops, syn_walks);
    EXPECT_GE(resets, 2) << "the reset's OUTPUT and INPUT walks";
}

// A listener lookup without a packet (socket diagnostics) has no row; each
// row is a captured SYN's.
TEST(Truth, ListenerRowsComeOnlyFromCapturedSyns)
{
    for (const auto& ph : lab().phases) {
        SCOPED_TRACE("phase " + ph.name);
        std::map<std::string, int> syns;
        for (const auto& p : ph.packets)
            syns[p.key] += p.proto == 6 && (p.tcp_flags & 0x12) == 0x02;
        for (const auto& [name, m] : ph.monitors) {
            std::map<std::string, int> lookups;
            for (const auto& r : m.rows)
                lookups[r.key] += r.func == "__inet_lookup_listener";
            for (const auto& [key, n] : lookups)
                EXPECT_LE(n, syns[key]) << name << ": listener rows for " << key;
        }
    }
    const Monitor& tcp = lab().phase("truth").monitor("tcp");
    EXPECT_TRUE(std::any_of(tcp.rows.begin(), tcp.rows.end(),
                            [](const Row& r) { return r.func == "__inet_lookup_listener"; }))
        << "the connection's SYN has no listener row";
}

// A datagram larger than the link's MTU leaves in fragments; only the first
// has a UDP header. Later ones show zero ports and length and where they
// begin, never payload bytes as ports.
TEST(Truth, LaterFragmentsShowWhereTheyBeginAndNoPayloadAsHeader)
{
    const Lab& l = lab();
    const Phase& ph = l.phase("truth");
    const Monitor& all = ph.monitor("udp_all");
    const Monitor& port = ph.monitor("udp");
    std::set<unsigned> offsets;
    for (const auto& p : ph.packets)
        if (p.proto == 17 && p.fragment)
            offsets.insert(p.fragment);
    ASSERT_FALSE(offsets.empty());
    std::set<unsigned> shown;
    for (const auto& r : all.rows) {
        size_t at = r.other.find("frag_off:");
        if (at == std::string::npos) {
            EXPECT_TRUE(r.a != 0 && r.b != 0) << "ports 0 without a fragment offset: " << r.line;
            continue;
        }
        EXPECT_EQ(r.a, 0u) << r.line;
        EXPECT_EQ(r.b, 0u) << r.line;
        EXPECT_EQ(r.c, 0u) << r.line;
        shown.insert((unsigned)std::stoul(r.other.substr(at + 9)));
    }
    EXPECT_EQ(shown, offsets);
    // The chosen port's monitor sees the first fragment and the datagram
    // delivered whole, never a later fragment.
    unsigned udp_port = (unsigned)std::stoul(l["UDP_PORT"]);
    bool whole = false;
    for (const auto& r : port.rows) {
        EXPECT_TRUE(r.a == udp_port || r.b == udp_port) << r.line;
        EXPECT_EQ(r.other.find("frag_off:"), std::string::npos) << r.line;
        whole = whole || (r.func == "udp_rcv" && std::to_string(r.c) == l["BIG_SIZE"]);
    }
    EXPECT_TRUE(whole) << "no udp_rcv row of the whole datagram";
}

// A frame whose IPv4 header is one word short (IHL 4): the device layer and
// ip_rcv see it before the kernel drops it. Its rows show no transport
// fields, never bytes of its own IP header read as ports, and end at ip_rcv.
TEST(Truth, AHeaderTheKernelRejectsShowsNoTransportFields)
{
    const Lab& l = lab();
    const Phase& ph = l.phase("truth");
    auto frame = std::find_if(ph.packets.begin(), ph.packets.end(), [](const Packet& p) { return p.rejected; });
    ASSERT_NE(frame, ph.packets.end()) << "the frame with IHL 4 was not captured";
    EXPECT_EQ(frame->key, packet_key(6, l["HOST_A"], l["HOST_B"], 0, 0, 0, 0));
    // Read wrongly, its rows would carry other fields and no captured packet's
    // (held by the witness checks too).
    std::set<std::string> at;
    for (const auto& r : ph.monitor("tcp").rows)
        if (r.key == frame->key)
            at.insert(r.func);
    EXPECT_TRUE(at.count("dev_hard_start_xmit")) << "no row of the frame as it left";
    EXPECT_TRUE(at.count("ip_rcv")) << "no row of the frame at ip_rcv";
    for (const auto& f : at)
        EXPECT_LE(path_rank(f), path_rank("ip_rcv")) << "the frame went on to " << f;
}

TEST(Icmp, AnErrorAndAHeaderWithOptionsAreDecoded)
{
    const Lab& l = lab();
    const Phase& ph = l.phase("plain");
    const Monitor& m = ph.monitor("icmp");
    // Port unreachable: type 3, code 3, from the peer back to the sender.
    auto unreachable = std::find_if(m.rows.begin(), m.rows.end(), [&](const Row& r) {
        return r.func == "icmp_rcv" && r.a == 3 && r.b == 3 && r.sip == l["HOST_B"] && r.dip == l["HOST_A"];
    });
    EXPECT_NE(unreachable, m.rows.end()) << "no port-unreachable at icmp_rcv";
    // Record route: a 60-byte header, the ICMP header read behind it.
    unsigned id = (unsigned)std::stoul(l["RR_PING_ID"]);
    int request = 0, reply = 0;
    for (const auto& r : m.rows) {
        if (r.func != "icmp_rcv" || r.c != id)
            continue;
        request += r.a == 8 && r.d == 1;
        reply += r.a == 0 && r.d == 1;
    }
    EXPECT_EQ(request, 1);
    EXPECT_EQ(reply, 1);
}

// /proc/cpuinfo lists the online CPUs only; records are seeded for every
// possible one, so CPU 2 is traced with CPU 1 offline.
TEST(Cpus, WithACpuOfflineTheCpusAboveItAreStillTraced)
{
    const Phase& ph = lab().phase("cpus");
    EXPECT_EQ(lines_of(read_file(ph.dir + "/cpuinfo.txt")).size(), 2u) << "CPU 1 did not go offline";
    const Monitor& m = ph.monitor("icmp");
    int on_cpu2 = 0;
    for (const auto& r : m.rows) {
        EXPECT_NE(r.cpu, 1) << r.line;
        on_cpu2 += r.cpu == 2 && r.func == "icmp_rcv";
    }
    EXPECT_GE(on_cpu2, 6) << "the pinned pings' requests and replies";
}

}  // namespace
