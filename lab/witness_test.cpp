// The witness checks: every row of every trace held against the capture of
// the same packets and the kernel's own counts of the functions called.
#include "lab_results.h"

namespace {

TEST(LabBoot, TheGuestRanTheAskedKernelAndEveryMonitorTracedUntilKilled)
{
    const Lab& l = lab();
    std::string machine = env("LAB_ARCH") == "arm64" ? "aarch64" : "x86_64";
    EXPECT_EQ(l["MACHINE"], machine);
    EXPECT_TRUE(of_series(l["KERNEL"], env("LAB_SERIES"))) << l["KERNEL"] << " is no " << env("LAB_SERIES") << " kernel";
    for (const auto& ph : l.phases) {
        SCOPED_TRACE("phase " + ph.name);
        EXPECT_FALSE(ph.packets.empty()) << "tcpdump captured nothing";
        EXPECT_TRUE(exists(ph.dir + "/vn_bpf_net_monitor_err.log")) << "the monitor made no error log";
        EXPECT_EQ(ph.error_log, "");
        for (const auto& [name, m] : ph.monitors) {
            SCOPED_TRACE("monitor " + name + " (" + m.args + ")");
            EXPECT_EQ(m.alive, "1") << "the monitor ended before it was stopped";
            EXPECT_EQ(m.status, "143") << "the monitor did not end by the SIGTERM sent to it";
            // Nothing but the start-up notices of probe points this kernel
            // cannot trace as the object was first written.
            EXPECT_EQ(m.stderr_text, "");
            std::string expected = expected_notices(ph, m.ipv6);
            EXPECT_EQ(m.notices, expected);
            // A busy phase can lose some samples, and the kernel skip some runs:
            // the trace and standard error tell them alike.
            expect_holes_told_alike(m);
            EXPECT_EQ(m.header.rfind("TIME ", 0), 0u) << "first line is no header: " << m.header;
            EXPECT_TRUE(m.bad_lines.empty()) << "a row out of layout: " << m.bad_lines.front();
            EXPECT_FALSE(m.rows.empty());
        }
    }
}

// TIME is the kernel's monotonic clock when the function was entered: every
// row falls inside the window in which the traffic ran (uptime runs on the
// same clock here, with no suspend; it has 10 ms steps).
TEST(Witness, RowTimesFallWithinTheTrafficWindow)
{
    for (const auto& ph : lab().phases) {
        SCOPED_TRACE("phase " + ph.name);
        ASSERT_EQ(ph.window.size(), 2u);
        long long from = (long long)((ph.window[0] - 0.02) * 1e9), to = (long long)((ph.window[1] + 0.02) * 1e9);
        for (const auto& [name, m] : ph.monitors)
            for (const auto& r : m.rows) {
                EXPECT_GE(r.time, from) << name << ": " << r.line;
                EXPECT_LE(r.time, to) << name << ": " << r.line;
            }
    }
}

// The kernel's own kprobe counters say which functions ran; the monitor
// attaches the same functions, so it has rows at them and nowhere else.
TEST(Witness, TheMonitorHasRowsExactlyAtTheFunctionsTheKernelCalled)
{
    for (const auto& ph : lab().phases) {
        SCOPED_TRACE("phase " + ph.name);
        ASSERT_FALSE(ph.hits.empty()) << "no kprobe_profile";
        // raw_rcv: busybox ping reads its replies on a raw socket.
        for (const std::string f : {"ip_output", "dev_hard_start_xmit", "ip_local_deliver", "icmp_rcv", "raw_rcv",
                                    "udp_rcv", "tcp_v4_rcv"})
            if (ph.name != "cpus" || (f != "udp_rcv" && f != "tcp_v4_rcv")) { // pings only there
                EXPECT_GT(ph.hit(f), 0) << f << " never ran: the witness is broken";
            }
        std::set<std::string> traced;
        // IPv6's own functions ran for the truth phase's ping6, which no
        // IPv4 trace shows: the ipv6 phase holds them.
        for (const auto& [name, m] : ph.monitors)
            for (const auto& r : m.rows)
                if (!is_drop_row(r.func)) // a tracepoint: held against the capture (Drops)
                    traced.insert(r.func.rfind("ret_", 0) == 0 && is_table_walk(r.func) ? r.func.substr(4) : r.func);
        for (const auto& f : traced)
            EXPECT_GT(ph.hit(f), 0) << "rows at " << f << ", which the kernel never called";
        for (const auto& [f, n] : ph.hits) {
            if (n > 0 && probe_family(f) != "IPV6" && !only_when_full(f) && !only_sometimes(f)) {
                EXPECT_TRUE(traced.count(f)) << f << " ran " << n << " times, no row shows it";
            }
        }
    }
}

TEST(Witness, EveryRowShowsACapturedPacketWithItsMacsAndDevice)
{
    const Lab& l = lab();
    for (const auto& ph : l.phases) {
        SCOPED_TRACE("phase " + ph.name);
        std::map<std::string, const Packet*> by_key;
        for (const auto& p : ph.packets)
            by_key[p.key] = &p;
        for (const auto& [name, m] : ph.monitors) {
            for (const auto& r : m.rows) {
                SCOPED_TRACE(name + ": " + r.line);
                auto it = by_key.find(r.key);
                // The rejected SYN never reaches a device; its walk and drop rows
                // are held by the truth checks.
                if (it == by_key.end() && rejected_syn(l, r) && (is_table_walk(r.func) || is_drop_row(r.func)))
                    continue;
                if (it == by_key.end() && never_on_the_wire(l, ph, r))
                    continue;
                ASSERT_NE(it, by_key.end()) << "no captured packet has these fields";
                const Packet& p = *it->second;
                bool out = from_root_end(l, ph, p);
                // Between two local addresses a packet crosses the loopback device.
                bool local = p.dev == "lo";
                std::string sender = local ? "lo" : out ? l(ph, "DEV_A") : l(ph, "DEV_B");
                std::string receiver = local ? "lo" : out ? l(ph, "DEV_B") : l(ph, "DEV_A");
                // A table walk on the sender's side (LOCAL_OUT) sees the packet
                // as the transmit functions do.
                bool local_out = is_table_walk(r.func) && (r.dev != receiver || local);
                if (is_transmit(r.func) || local_out) {
                    // The IP layer sets the device in ip_output, and the link
                    // header only right before the driver.
                    bool may_lack_dev = r.func == "ip_output" || local_out;
                    EXPECT_TRUE(r.dev == sender || (may_lack_dev && r.dev == "nil"));
                    if (r.func == "dev_hard_start_xmit" || r.func == "veth_xmit")
                        EXPECT_TRUE(r.smac == p.smac && r.dmac == p.dmac);
                    else
                        EXPECT_TRUE((r.smac == p.smac && r.dmac == p.dmac) ||
                                    (r.smac == zero_mac && r.dmac == zero_mac));
                } else {
                    EXPECT_TRUE(r.dev == receiver || ((device_cleared(r.func) || is_drop_row(r.func)) && r.dev == "nil"));
                    EXPECT_EQ(r.smac, p.smac);
                    EXPECT_EQ(r.dmac, p.dmac);
                }
                EXPECT_TRUE(r.smac == zero_mac || r.smac == (out ? l(ph, "MAC_A") : l(ph, "MAC_B")));
            }
        }
    }
}

// For every captured packet a monitor's filter lets through: a row at every
// function on its way that the kernel reports as called in that phase.
TEST(Witness, EveryCapturedPacketAppearsAtEveryFunctionItPassed)
{
    const Lab& l = lab();
    for (const auto& ph : l.phases) {
        SCOPED_TRACE("phase " + ph.name);
        for (const auto& [name, m] : ph.monitors) {
            int covered = 0;
            for (const auto& p : ph.packets) {
                if (!m.covers(p))
                    continue;
                covered++;
                // A frame sent as it is from a packet socket, whose header
                // ip_rcv drops: the device layer on both ends, then ip_rcv.
                if (p.rejected) {
                    for (const char* f : {"__dev_queue_xmit", "dev_hard_start_xmit", "napi_gro_receive",
                                          "gro_receive_skb", "__netif_receive_skb", "__netif_receive_skb_one_core",
                                          "ip_rcv"})
                        if (ph.hit(f) > 0) {
                            EXPECT_FALSE(rows_at(m, p.key, f).empty())
                                << name << ": no row at " << f << " for the rejected frame " << p.index;
                        }
                    continue;
                }
                std::vector<std::string> path = transmit;
                // Fragments are cut in ip_finish_output: before it only the
                // whole datagram passes, with the first fragment's header.
                if (p.fragment)
                    path.erase(path.begin(), path.begin() + 2);
                path.insert(path.end(), receive.begin(), receive.end());
                // IP reassembles fragments in ip_local_deliver: what goes on
                // is the whole datagram, with the first fragment's header.
                // Early demux leaves fragments alone.
                bool delivered = !dropped_by_rule(l, ph, p) && !p.fragment;
                if (delivered)
                    path.push_back("ip_local_deliver_finish");
                if (p.proto == 1 && delivered)
                    path.push_back("icmp_rcv");
                if (p.proto == 17) {
                    if (!p.fragment && !p.first_fragment)
                        path.push_back("udp_v4_early_demux");
                    if (delivered)
                        path.push_back("udp_rcv");
                }
                if (p.proto == 6 && !dropped_by_rule(l, ph, p))
                    path.push_back("tcp_v4_rcv");
                for (const auto& f : path) {
                    if (ph.hit(f) > 0) {
                        EXPECT_FALSE(rows_at(m, p.key, f).empty())
                            << name << ": no row at " << f << " for captured packet " << p.index << " (" << p.key
                            << ")";
                    }
                }
            }
            EXPECT_GT(covered, 0) << name << ": the capture holds none of its packets";
        }
    }
}

TEST(Witness, RowsOfAPacketFollowItsPathInTimeOnEachCpu)
{
    for (const auto& ph : lab().phases) {
        SCOPED_TRACE("phase " + ph.name);
        auto counts = key_counts(ph);
        for (const auto& [name, m] : ph.monitors) {
            for (const auto& [key, n] : counts) {
                if (n != 1)
                    continue;  // a key seen twice (a FIN after an ACK) cannot be ordered
                auto rows = rows_at(m, key, "");
                for (const Row* x : rows) {
                    for (const Row* y : rows) {
                        if (x->cpu == y->cpu && path_rank(x->func) >= 0 && path_rank(y->func) >= 0 &&
                            path_rank(x->func) < path_rank(y->func)) {
                            EXPECT_LE(x->time, y->time) << name << ": " << x->func << " after " << y->func
                                                        << " on CPU " << x->cpu << " for " << key;
                        }
                    }
                }
            }
        }
    }
}

TEST(Paths, PlainVethTakesTheBacklogAndGroTakesNapiAndTheListPath)
{
    const Phase& plain = lab().phase("plain");
    EXPECT_EQ(plain.hit("napi_gro_receive") + plain.hit("gro_receive_skb"), 0);
    EXPECT_GT(plain.hit("ip_rcv"), 0);
    EXPECT_GT(plain.hit("__netif_receive_skb"), 0);
    EXPECT_FALSE(rows_at(plain.monitor("icmp"), plain.packets.front().key, "ip_rcv").empty());
    const Phase& gro = lab().phase("gro");
    // The GRO hand-off is an inline wrapper from 6.18 on: its out-of-line
    // part, gro_receive_skb, is probed there and named in the rows.
    std::string hand_off = gro_hand_off(gro);
    EXPECT_EQ(hand_off, env("LAB_SERIES") == "backports" ? "gro_receive_skb" : "napi_gro_receive");
    EXPECT_GT(gro.hit(hand_off), 0);
    EXPECT_EQ(gro.hit("ip_rcv"), 0) << "GRO hands packets on as lists: ip_list_rcv, not ip_rcv";
    for (const auto& [name, m] : gro.monitors) {
        int napi = 0;
        for (const auto& r : m.rows) {
            EXPECT_NE(r.func, "ip_rcv") << name;
            EXPECT_NE(r.func, "__netif_receive_skb") << name;
            napi += r.func == hand_off;
        }
        EXPECT_GT(napi, 0) << name;
    }
}

// A host's NIC: the driver's NAPI poll hands a buffer to GRO before any
// header offset but the link header's is set, so the hand-off reads the IPv4
// header behind the Ethernet one. Its rows name the NIC and carry what the
// capture on both NICs saw, with GRO on and off; ARP is left to the kernel.
TEST(Paths, ARealNicHandsEveryPacketToGroWithItsHeadersReadBehindTheLinkHeader)
{
    const Lab& l = lab();
    for (const char* phase : {"nic", "nic_nogro"}) {
        const Phase& ph = l.phase(phase);
        SCOPED_TRACE(phase);
        ASSERT_FALSE(ph.packets.empty());
        // Both ends of the hub saw the same IPv4 packets.
        std::multiset<std::string> a, b;
        for (const auto& p : ph.packets)
            a.insert(p.key);
        for (const auto& p : ph.peer_packets)
            b.insert(p.key);
        EXPECT_EQ(a, b);
        std::string hand_off = gro_hand_off(ph);
        EXPECT_GT(ph.hit(hand_off), 0) << "the driver handed nothing to GRO";
        for (const auto& [name, m] : ph.monitors) {
            int rows = 0, covered = 0;
            for (const auto& p : ph.packets)
                covered += m.covers(p);
            for (const auto& r : m.rows) {
                if (r.func != hand_off)
                    continue;
                rows++;
                EXPECT_TRUE(r.dev == l(ph, "DEV_A") || r.dev == l(ph, "DEV_B")) << r.line;
                EXPECT_NE(r.smac, zero_mac) << r.line;
            }
            // A softirq that comes while a kprobe handler runs on its CPU
            // (the NIC's receive inside a send's probe) is skipped by the
            // kernel for every probe there, the monitor's and the lab's
            // counter alike: the counter's misses are the rows never seen. One
            // that comes while a return probe's program runs is skipped for
            // the monitor's programs alone, and its trace says how often.
            EXPECT_LE(rows, covered) << name << ": one hand-off row per captured packet";
            EXPECT_GE(rows + ph.missed(hand_off) + m.skipped(hand_off), covered)
                << name << ": one hand-off row per captured packet";
        }
    }
}

TEST(Icmp, EchoRequestAndReplyShowTypeIdAndSequenceInOrder)
{
    const Lab& l = lab();
    for (const auto& ph : l.phases) {
        SCOPED_TRACE("phase " + ph.name);
        const Monitor& m = ph.monitor("icmp");
        int requests = 0;
        for (const auto& p : ph.packets) {
            if (p.proto != 1 || p.a != 8)
                continue;
            requests++;
            auto req = rows_at(m, p.key, "icmp_rcv");
            std::string reply_key = packet_key(1, p.dip, p.sip, 0, 0, p.c, p.d);
            auto rep = rows_at(m, reply_key, "icmp_rcv");
            ASSERT_EQ(req.size(), 1u) << "echo request id " << p.c << " seq " << p.d;
            ASSERT_EQ(rep.size(), 1u) << "echo reply id " << p.c << " seq " << p.d;
            EXPECT_EQ(req[0]->a, 8u);
            EXPECT_EQ(rep[0]->a, 0u);
            EXPECT_LT(req[0]->time, rep[0]->time) << "the reply came before its request";
        }
        EXPECT_GT(requests, 0);
    }
}

TEST(Udp, OnlyTheChosenPortAppearsWithItsPayloadLengths)
{
    const Lab& l = lab();
    const Phase& ph = l.phase("plain");
    const Monitor& m = ph.monitor("udp");
    unsigned port = (unsigned)std::stoul(l["UDP_PORT"]);
    std::multiset<long> lengths;
    for (const auto& r : m.rows) {
        EXPECT_TRUE(r.a == port || r.b == port) << r.line;
        if (r.func == "udp_rcv")
            lengths.insert(r.c);
    }
    auto sizes = numbers_of(l["UDP_SIZES"]);
    EXPECT_EQ(lengths, std::multiset<long>(sizes.begin(), sizes.end()));
    int other = 0;
    for (const auto& p : ph.packets) {
        if (p.proto != 17)
            continue;
        if (std::to_string(p.b) == l["OTHER_PORT"])
            other++;
        else if (std::to_string(p.b) == l["UDP_PORT"]) {
            for (const char* f : {"udp_v4_early_demux", "udp_rcv"})
                EXPECT_EQ(rows_at(m, p.key, f).size(), 1u) << f << " for " << p.key;
        }
    }
    EXPECT_EQ(other, (int)numbers_of(l["OTHER_SIZES"]).size()) << "datagrams to the other port were not sent";
}

TEST(Tcp, AConnectShowsTheListenerLookupStatesAndDataSegments)
{
    const Lab& l = lab();
    for (const char* phase : {"plain", "iptables", "gro", "nic", "nic_nogro"}) {
        const Phase& ph = l.phase(phase);
        SCOPED_TRACE("phase " + ph.name);
        expect_one_connect(ph.monitor("tcp"), ph.packets, (unsigned)std::stoul(l["TCP_PORT"]), "tcp_v4_rcv",
                           "__inet_lookup_listener");
    }
}

TEST(Iptables, TableWalkRowsCarryHookTableAndVerdict)
{
    const Lab& l = lab();
    const Phase& ph = l.phase("iptables");
    EXPECT_NE(ph.kallsyms_ipt.find("\t[ip_tables]"), std::string::npos) << ph.kallsyms_ipt;
    std::set<std::string> hooks;
    int drops = 0;
    for (const auto& [name, m] : ph.monitors) {
        for (size_t i = 0; i < m.rows.size(); i++) {
            const Row& r = m.rows[i];
            if (r.func == "ipt_do_table") {
                hooks.insert(r.other.substr(0, r.other.find(' ')));
                EXPECT_NE(r.other.find(" table: filter"), std::string::npos) << r.line;
                // The return of the same walk follows on the same CPU or, where
                // the task moved to another CPU inside the walk (a preemptible
                // kernel), it is the packet's next row.
                auto after = m.rows.begin() + i + 1;
                auto on_cpu = std::find_if(after, m.rows.end(), [&](const Row& x) { return x.cpu == r.cpu; });
                auto of_key = std::find_if(after, m.rows.end(), [&](const Row& x) { return x.key == r.key; });
                bool returns_on_cpu =
                    on_cpu != m.rows.end() && on_cpu->func == "ret_ipt_do_table" && on_cpu->key == r.key;
                bool returns_moved = of_key != m.rows.end() && of_key->func == "ret_ipt_do_table";
                EXPECT_TRUE(returns_on_cpu || returns_moved) << r.line;
            }
            if (r.func == "ret_ipt_do_table") {
                bool drop = r.other == "verdict: NF_DROP";
                bool to_drop_port = std::to_string(r.b) == l["DROP_PORT"] && r.dev == l["DEV_B"];
                EXPECT_TRUE(drop ? to_drop_port : r.other == "verdict: NF_ACCEPT") << r.line;
                drops += drop;
            }
        }
    }
    EXPECT_TRUE(hooks.count("hook:NF_INET_LOCAL_IN"));
    EXPECT_TRUE(hooks.count("hook:NF_INET_LOCAL_OUT"));
    auto drop_sizes = numbers_of(l["DROP_SIZES"]);
    EXPECT_EQ(drops, (int)drop_sizes.size());
    const Monitor& udp = ph.monitor("udp");
    for (const auto& r : udp.rows) {
        if (r.func == "udp_rcv" || r.func == "ip_local_deliver_finish") {
            EXPECT_NE(std::to_string(r.b), l["DROP_PORT"]) << "a dropped datagram went on: " << r.line;
        }
    }
    // iptables' own counter of the DROP rule agrees.
    long counted = -1;
    for (const auto& line : lines_of(read_file(ph.dir + "/peer-input-counters.txt")))
        if (line.find("DROP") != std::string::npos && line.find("dpt:" + l["DROP_PORT"]) != std::string::npos)
            counted = numbers_of(line).front();
    EXPECT_EQ(counted, (long)drop_sizes.size());
}

TEST(Iptables, WithoutTheModulesTheMonitorRunsAndNoTableRowAppears)
{
    const Phase& ph = lab().phase("plain");
    EXPECT_EQ(ph.kallsyms_ipt, "");
    for (const auto& [name, m] : ph.monitors) {
        EXPECT_FALSE(m.rows.empty()) << name;
        for (const auto& r : m.rows)
            EXPECT_FALSE(is_table_walk(r.func)) << name << ": " << r.line;
    }
}

TEST(Filters, HostKeepsOnlyThatHostInEitherDirection)
{
    const Lab& l = lab();
    const Phase& ph = l.phase("plain");
    const Monitor& all = ph.monitor("icmp");
    const Monitor& host = ph.monitor("icmp_host");
    std::string h = l["HOST_B"];
    std::multiset<std::string> expected;
    int other = 0;
    for (const auto& r : all.rows) {
        if (r.sip == h || r.dip == h)
            expected.insert(r.without_time());
        other += r.sip == l["OTHER_B"] || r.dip == l["OTHER_B"];
    }
    EXPECT_GT(other, 0) << "no traffic to another host to leave out";
    int to = 0, from = 0;
    for (const auto& r : host.rows) {
        to += r.dip == h;
        from += r.sip == h;
    }
    EXPECT_GT(to, 0);
    EXPECT_GT(from, 0);
    EXPECT_EQ(rows_without_time(host), expected);
}

TEST(Output, AFileGetsTheSameRowsAsStandardOutput)
{
    const Phase& ph = lab().phase("plain");
    const Monitor& out = ph.monitor("icmp");
    const Monitor& file = ph.monitor("icmp_file");
    EXPECT_EQ(file.header, out.header);
    EXPECT_EQ(file.stdout_text, "") << "with -o nothing goes to standard output";
    EXPECT_EQ(rows_without_time(file), rows_without_time(out));
    struct stat st;
    ASSERT_EQ(stat(file.trace_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(JobControl, StoppingAndContinuingTheMonitorDoesNotEndTheTrace)
{
    const Lab& l = lab();
    const Phase& ph = l.phase("plain");
    const Monitor& m = ph.monitor("icmp_stop");
    EXPECT_EQ(m.alive, "1");
    // Three pings to the other host: before, during and after the stop.
    std::vector<unsigned> ids;
    for (const auto& p : ph.packets)
        if (p.proto == 1 && p.a == 8 && p.dip == l["OTHER_B"] &&
            std::find(ids.begin(), ids.end(), p.c) == ids.end())
            ids.push_back(p.c);
    ASSERT_EQ(ids.size(), 3u);
    for (unsigned id : ids) {
        int n = 0;
        for (const auto& r : m.rows)
            n += r.a == 0 && r.c == id && r.func == "icmp_rcv";
        EXPECT_EQ(n, 2) << "echo replies of ping id " << id;
    }
    EXPECT_EQ(rows_without_time(m), rows_without_time(ph.monitor("icmp")));
}

}  // namespace

// The kernel tells every packet it drops at kfree_skb: each captured packet
// the peer never got has exactly one drop row, with the reason the kernel
// had (a rule's, a closed port's, a full receive buffer's), and a packet
// that was delivered has none.
TEST(Drops, EveryPacketThePeerNeverGotHasOneDropRowWithItsReason)
{
    const Lab& l = lab();
    std::map<std::string, int> reasons_seen;
    for (const auto& ph : l.phases) {
        SCOPED_TRACE("phase " + ph.name);
        for (const auto& [name, m] : ph.monitors) {
            std::map<std::string, std::vector<std::string>> expected; // key -> a reason per undelivered packet
            std::set<std::string> covered;
            std::map<std::string, std::vector<const Packet*>> packets;
            for (const auto& p : ph.packets) {
                if (!m.covers(p))
                    continue;
                covered.insert(p.key);
                packets[p.key].push_back(&p);
                std::string reason = drop_reason_of(l, ph, p);
                if (!reason.empty())
                    expected[p.key].push_back(reason);
            }
            std::map<std::string, std::vector<std::string>> told;
            for (const auto& r : m.rows) {
                if (!is_drop_row(r.func))
                    continue;
                told[r.key].push_back(r.other.substr(0, r.other.find(' ')));
                // The SYN the OUTPUT rule rejects reaches no device to be captured on.
                EXPECT_TRUE(covered.count(r.key) || rejected_syn(l, r))
                    << name << ": a drop row of a packet the capture does not have: " << r.line;
            }
            for (const auto& key : covered) {
                std::vector<std::string> want, got = told[key];
                for (const auto& reason : expected[key])
                    want.push_back("reason:" + reason);
                // At most one drop that timing decided for each delivered
                // packet of the key: two pure ACKs of one key that a later
                // FIN overtook in the socket's backlog are both refused (PAWS).
                for (const Packet* p : packets[key]) {
                    if (!drop_reason_of(l, ph, *p).empty())
                        continue;
                    auto timed = std::find_if(got.begin(), got.end(), [&](const std::string& told_reason) {
                        return may_be_dropped_by_timing(*p, told_reason.substr(7));
                    });
                    if (timed != got.end())
                        got.erase(timed);
                }
                EXPECT_EQ(got, want) << name << ": drop rows of " << key;
                for (const auto& reason : expected[key])
                    reasons_seen[ph.name + " " + reason]++;
            }
        }
    }
    for (const char* seen : {"iptables NETFILTER_DROP", "drops NETFILTER_DROP", "drops NO_SOCKET",
                             "drops SOCKET_RCVBUFF"})
        EXPECT_GT(reasons_seen[seen], 0) << seen << ": the lab provoked none";
}

// The drops phase's walks: Debian's iptables (nft) walks its filter table's
// INPUT chain, nft its own table's chain, both at LOCAL_IN; a drop is told
// inside the walk (NF_STOLEN: the walk freed the packet) and where.
TEST(Drops, NftWalksNameTheirTableAndChainAndADropSaysWhere)
{
    const Lab& l = lab();
    const Phase& ph = l.phase("drops");
    EXPECT_NE(read_file(ph.dir + "/iptables-version.txt").find("nf_tables"), std::string::npos)
        << "iptables is not the nft backend";
    std::map<std::string, int> walks, drops;
    for (const char* name : {"tcp", "udp"}) {
        for (const auto& r : ph.monitor(name).rows) {
            std::string port = std::to_string(r.b);
            if (r.func == "nft_do_chain" && r.sip == l["HOST_A"])
                walks[port + " " + r.other]++;
            if (is_drop_row(r.func))
                drops[port + " " + drop_text(r.other)]++;
        }
    }
    // iptables-nft's table is of family ip, the lab's own of inet.
    std::string syn_walk = l["NFT_TCP_PORT"] + " hook:NF_INET_LOCAL_IN table: ip filter chain: INPUT";
    std::string udp_walk = l["NFT_UDP_PORT"] + " hook:NF_INET_LOCAL_IN table: inet fw chain: in";
    EXPECT_GT(walks[syn_walk], 0) << ::testing::PrintToString(walks);
    EXPECT_GT(walks[udp_walk], 0) << ::testing::PrintToString(walks);
    EXPECT_GT(drops[l["NFT_TCP_PORT"] + " reason:NETFILTER_DROP at: nft_do_chain"], 0) << ::testing::PrintToString(drops);
    EXPECT_GT(drops[l["NFT_UDP_PORT"] + " reason:NETFILTER_DROP at: nft_do_chain"], 0) << ::testing::PrintToString(drops);
    EXPECT_GT(drops[l["CLOSED_TCP_PORT"] + " reason:NO_SOCKET at: tcp_v4_rcv"], 0) << ::testing::PrintToString(drops);
}

// Two guests at once, each with one NIC on a link of their own: each ran the
// kernel its name asks for, its monitors traced until stopped, and each NIC
// saw the other's packets. In the last stream the receiver's NIC went down:
// the sender captured echo requests that the receiver never did.
TEST(PairBoot, EachGuestRanItsKernelAndTheLinkLostPacketsMidStream)
{
    const Pair& pr = pair();
    for (const PairGuest* g : {&pr.a, &pr.b}) {
        SCOPED_TRACE("guest " + g->name);
        std::string arch = g->name.substr(0, g->name.find('-')), series = g->name.substr(g->name.find('-') + 1);
        EXPECT_EQ((*g)["MACHINE"], arch == "arm64" ? "aarch64" : "x86_64");
        EXPECT_TRUE(of_series((*g)["KERNEL"], series)) << (*g)["KERNEL"] << " is no " << series << " kernel";
        const Phase& ph = g->phase;
        EXPECT_EQ(ph.error_log, "");
        for (const auto& [name, m] : ph.monitors) {
            EXPECT_EQ(m.alive, "1") << name << ": ended before it was stopped";
            EXPECT_EQ(m.status, "143") << name << ": did not end by the SIGTERM sent to it";
            EXPECT_EQ(m.stderr_text, "") << name;
            EXPECT_FALSE(m.rows.empty()) << name;
        }
        int from_peer = 0;
        for (const auto& p : ph.packets)
            from_peer += p.sip == (*g)["PEER"];
        EXPECT_GT(from_peer, 0) << "nothing came over the link";
    }
    // The two kernels of a mixed fleet differ.
    EXPECT_NE(pr.a["KERNEL"], pr.b["KERNEL"]);
    std::set<std::string> at_b;
    for (const auto& p : pr.b.phase.packets)
        at_b.insert(p.key);
    int arrived = 0, lost = 0;
    for (const auto& p : pr.a.phase.packets)
        if (p.proto == 1 && p.a == 8 && p.sip == pr.a["SELF"])
            (at_b.count(p.key) ? arrived : lost)++;
    EXPECT_GT(lost, 0) << "every echo request arrived: the receiver's NIC never went down";
    EXPECT_GT(arrived, 0);
    EXPECT_EQ(trim(read_file(pr.b.phase.dir + "/link.txt")), "down") << "the receiver's NIC";
}

// The host read both guests' clocks at every meeting; the reading's own
// error (half the round trip to each guest, the shortest of its rounds) is
// small beside the one-way times the reader's estimate rests on.
TEST(PairClock, TheHostReadBothGuestsClocksAtEveryMeeting)
{
    const Pair& pr = pair();
    std::vector<std::string> names;
    for (const auto& m : pr.meetings) {
        names.push_back(m.name);
        EXPECT_GE(m.error[0], 0) << m.name;
        EXPECT_GE(m.error[1], 0) << m.name;
        EXPECT_LT(m.bound(), 5000000) << m.name << ": the host read the guests' clocks no better than 5 ms";
        RecordProperty("meeting_" + m.name, std::to_string(m.b_minus_a()) + " +- " + std::to_string(m.bound()) + " ns");
    }
    EXPECT_EQ(names, (std::vector<std::string>{"traced", "listening", "exchanged", "lost", "done"}));
}
