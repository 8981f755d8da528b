// Holds the monitor's traces from one lab boot against what else is known of
// the same packets: tcpdump's capture on the veth (every field a row shows)
// and the kernel's own kprobe hit counters (which functions really ran).
// LAB_RESULTS names the results folder, LAB_ARCH and LAB_SERIES the machine
// and kernel series it must come from.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(' ');
    size_t e = s.find_last_not_of(" \n");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream ss(text);
    for (std::string line; std::getline(ss, line);)
        out.push_back(line);
    return out;
}

std::vector<long> numbers_of(const std::string& text)
{
    std::vector<long> out;
    std::stringstream ss(text);
    for (long n; ss >> n;)
        out.push_back(n);
    return out;
}

std::string env(const char* name)
{
    const char* v = getenv(name);
    return v ? v : "";
}

// ---- the capture -------------------------------------------------------

std::string mac_text(const uint8_t* p)
{
    char buf[20];
    snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", p[0], p[1], p[2], p[3], p[4], p[5]);
    return buf;
}

std::string ip_text(const uint8_t* p)
{
    return std::to_string(p[0]) + "." + std::to_string(p[1]) + "." + std::to_string(p[2]) + "." +
           std::to_string(p[3]);
}

unsigned be16(const uint8_t* p) { return (unsigned)p[0] << 8 | p[1]; }
uint32_t be32(const uint8_t* p) { return (uint32_t)be16(p) << 16 | be16(p + 2); }

struct Packet {
    int index = 0;
    std::string dmac, smac, sip, dip;
    int proto = 0;
    unsigned a = 0, b = 0;      // ICMP type/code, or source/destination port
    uint32_t c = 0, d = 0;      // ICMP id/sequence, TCP seq/ack, UDP payload length
    unsigned tcp_flags = 0;
    unsigned payload = 0;       // TCP payload bytes
    std::string key;            // the fields a trace row shows, as one text
};

// What a row shows of a packet, in one comparable text.
std::string packet_key(int proto, const std::string& sip, const std::string& dip, unsigned a, unsigned b,
                       uint32_t c, uint32_t d)
{
    std::ostringstream k;
    k << proto << ' ' << sip << '>' << dip << ' ' << a << ' ' << b << ' ' << c << ' ' << d;
    return k.str();
}

// pcap: a 24-byte file header, then per packet a 16-byte header and the frame.
std::vector<Packet> read_pcap(const std::string& path)
{
    std::vector<Packet> out;
    std::string data = read_file(path);
    if (data.size() < 24)
        return out;
    const uint8_t* f = reinterpret_cast<const uint8_t*>(data.data());
    uint32_t magic = f[0] | f[1] << 8 | f[2] << 16 | (uint32_t)f[3] << 24;
    bool swapped = magic == 0xd4c3b2a1 || magic == 0x4d3cb2a1;
    auto u32 = [&](size_t off) {
        const uint8_t* p = f + off;
        return swapped ? be32(p) : (uint32_t)(p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24);
    };
    EXPECT_EQ(u32(20), 1u) << path << ": not an Ethernet capture";
    size_t off = 24;
    for (int index = 0; off + 16 <= data.size(); index++) {
        uint32_t caplen = u32(off + 8);
        const uint8_t* e = f + off + 16;
        off += 16 + caplen;
        if (off > data.size() || caplen < 34 || be16(e + 12) != 0x0800)
            continue;
        const uint8_t* ip = e + 14;
        size_t ihl = (ip[0] & 0xf) * 4;
        const uint8_t* l4 = ip + ihl;
        Packet p;
        p.index = index;
        p.dmac = mac_text(e);
        p.smac = mac_text(e + 6);
        p.sip = ip_text(ip + 12);
        p.dip = ip_text(ip + 16);
        p.proto = ip[9];
        unsigned ip_len = be16(ip + 2);
        if (p.proto == 1) {
            p.a = l4[0], p.b = l4[1], p.c = be16(l4 + 4), p.d = be16(l4 + 6);
        } else if (p.proto == 6) {
            p.a = be16(l4), p.b = be16(l4 + 2), p.c = be32(l4 + 4), p.d = be32(l4 + 8);
            p.tcp_flags = l4[13];
            p.payload = ip_len - ihl - (l4[12] >> 4) * 4;
        } else if (p.proto == 17) {
            p.a = be16(l4), p.b = be16(l4 + 2), p.c = (be16(l4 + 4) - 8) & 0xffff;
        }
        p.key = packet_key(p.proto, p.sip, p.dip, p.a, p.b, p.c, p.d);
        out.push_back(p);
    }
    return out;
}

// ---- the traces --------------------------------------------------------

struct Row {
    long long time = 0;
    int cpu = 0;
    std::string func, dev, smac, dmac, sip, dip, other, key, line;
    unsigned a = 0, b = 0;
    uint32_t c = 0, d = 0;
    std::string without_time() const { return line.substr(21); }
};

struct Layout {
    int proto;
    std::vector<int> starts;  // protocol columns
    std::vector<int> widths;
    int other;                // first OTHER_INFO sub-field
};

const Layout* layout_for(const std::string& protocol)
{
    static const Layout tcp{6, {153, 164, 175, 186}, {10, 10, 10, 10}, 197};
    static const Layout udp{17, {153, 164, 175}, {10, 10, 10}, 186};
    static const Layout icmp{1, {153, 159, 165, 171}, {5, 5, 5, 5}, 177};
    if (protocol == "tcp")
        return &tcp;
    if (protocol == "udp")
        return &udp;
    if (protocol == "icmp")
        return &icmp;
    return nullptr;
}

// Columns stand at fixed places as long as no value outgrows its width, which
// none of ours can; a blank must precede each.
bool parse_row(const std::string& line, const Layout& l, Row& r)
{
    static const int starts[] = {0, 21, 27, 58, 77, 96, 115, 134};
    static const int widths[] = {20, 5, 30, 18, 18, 18, 18, 18};
    if ((int)line.size() < l.other)
        return false;
    std::string col[8];
    for (int i = 0; i < 8; i++) {
        if (starts[i] > 0 && line[starts[i] - 1] != ' ')
            return false;
        col[i] = trim(line.substr(starts[i], widths[i]));
    }
    std::vector<long> v;
    for (size_t i = 0; i < l.starts.size(); i++) {
        if (line[l.starts[i] - 1] != ' ')
            return false;
        std::string t = trim(line.substr(l.starts[i], l.widths[i]));
        if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos)
            return false;
        v.push_back(std::stol(t));
    }
    r.line = line;
    r.time = std::stoll(col[0]);
    r.cpu = std::stoi(col[1]);
    r.func = col[2], r.dev = col[3], r.smac = col[4], r.dmac = col[5], r.sip = col[6], r.dip = col[7];
    r.a = v[0], r.b = v[1], r.c = v[2], r.d = v.size() > 3 ? v[3] : 0;
    // ICMP rows put ID before SEQUENCE, as the capture key does.
    r.other = trim(line.substr(l.other));
    r.key = packet_key(l.proto, r.sip, r.dip, r.a, r.b, r.c, r.d);
    return true;
}

struct Monitor {
    std::string name, args, protocol, host, trace_path, header;
    unsigned port = 0;
    const Layout* layout = nullptr;
    std::vector<Row> rows;
    std::vector<std::string> bad_lines;
    std::string status, alive, stderr_text, stdout_text;

    bool covers(const Packet& p) const
    {
        if (p.proto != layout->proto)
            return false;
        if (port && p.proto != 1 && p.a != port && p.b != port)
            return false;
        return host.empty() || p.sip == host || p.dip == host;
    }
};

std::string option(const std::vector<std::string>& words, const std::string& flag)
{
    auto it = std::find(words.begin(), words.end(), flag);
    return it != words.end() && it + 1 != words.end() ? *(it + 1) : "";
}

Monitor read_monitor(const std::string& dir, const std::string& name)
{
    Monitor m;
    m.name = name;
    m.args = trim(read_file(dir + "/" + name + ".args"));
    std::vector<std::string> words;
    std::stringstream ss(m.args);
    for (std::string w; ss >> w;)
        words.push_back(w);
    m.protocol = option(words, "-P");
    m.host = option(words, "-H");
    m.port = (unsigned)atoi(option(words, "-p").c_str());
    std::string file = option(words, "-o");
    // The guest named the file by its own path; here it sits beside the others.
    m.trace_path = file.empty() ? dir + "/" + name + ".stdout" : dir + "/" + name + ".trace";
    m.layout = layout_for(m.protocol);
    m.status = trim(read_file(dir + "/" + name + ".status"));
    m.alive = trim(read_file(dir + "/" + name + ".alive"));
    m.stderr_text = read_file(dir + "/" + name + ".stderr");
    m.stdout_text = read_file(dir + "/" + name + ".stdout");
    std::vector<std::string> lines = lines_of(read_file(m.trace_path));
    if (!lines.empty())
        m.header = lines[0];
    for (size_t i = 1; i < lines.size() && m.layout; i++) {
        Row r;
        if (parse_row(lines[i], *m.layout, r))
            m.rows.push_back(r);
        else
            m.bad_lines.push_back(lines[i]);
    }
    return m;
}

struct Phase {
    std::string name, dir;
    std::vector<Packet> packets;
    std::map<std::string, Monitor> monitors;
    std::map<std::string, long> hits;  // kernel kprobe hits per function
    std::string kallsyms_ipt, error_log;
    std::vector<double> window;  // uptime seconds when the traffic began and ended

    const Monitor& monitor(const std::string& name) const
    {
        static const Monitor none;
        auto it = monitors.find(name);
        EXPECT_NE(it, monitors.end()) << "no monitor " << name << " in phase " << this->name;
        return it == monitors.end() ? none : it->second;
    }
    long hit(const std::string& f) const
    {
        auto it = hits.find(f);
        return it == hits.end() ? 0 : it->second;
    }
};

Phase read_phase(const std::string& results, const std::string& name, const std::vector<std::string>& monitors)
{
    Phase ph;
    ph.name = name;
    ph.dir = results + "/" + name;
    ph.packets = read_pcap(ph.dir + "/veth0.pcap");
    for (const auto& m : monitors)
        ph.monitors[m] = read_monitor(ph.dir, m);
    for (const auto& line : lines_of(read_file(ph.dir + "/kprobe_profile.txt"))) {
        std::stringstream ss(line);
        std::string f;
        long n = 0;
        if (ss >> f >> n)
            ph.hits[f] = n;
    }
    ph.kallsyms_ipt = read_file(ph.dir + "/kallsyms-ipt.txt");
    ph.error_log = read_file(ph.dir + "/vn_bpf_net_monitor_err.log");
    std::stringstream w(read_file(ph.dir + "/window.txt"));
    for (double t; w >> t;)
        ph.window.push_back(t);
    return ph;
}

struct Lab {
    std::map<std::string, std::string> host;
    std::vector<Phase> phases;

    const Phase& phase(const std::string& name) const
    {
        for (const auto& p : phases)
            if (p.name == name)
                return p;
        static const Phase none;
        ADD_FAILURE() << "no phase " << name;
        return none;
    }
    std::string operator[](const std::string& k) const
    {
        auto it = host.find(k);
        return it == host.end() ? "" : it->second;
    }
};

const Lab& lab()
{
    static const Lab l = [] {
        Lab l;
        std::string results = env("LAB_RESULTS");
        for (const auto& line : lines_of(read_file(results + "/hosts.env"))) {
            size_t eq = line.find('=');
            if (eq != std::string::npos)
                l.host[line.substr(0, eq)] = line.substr(eq + 1);
        }
        l.phases.push_back(read_phase(results, "plain", {"icmp", "icmp_file", "icmp_host", "icmp_stop", "udp", "tcp"}));
        l.phases.push_back(read_phase(results, "iptables", {"icmp", "tcp", "udp"}));
        l.phases.push_back(read_phase(results, "gro", {"icmp", "udp", "tcp"}));
        return l;
    }();
    return l;
}

// ---- the kernel's paths --------------------------------------------------

const std::vector<std::string> transmit = {"ip_output", "ip_finish_output", "ip_finish_output2",
                                           "__dev_queue_xmit", "dev_hard_start_xmit"};
const std::vector<std::string> receive = {"napi_gro_receive", "__netif_receive_skb", "__netif_receive_skb_one_core",
                                          "ip_rcv", "ip_rcv_finish", "ip_local_deliver"};

// Where each probed function stands on a packet's way from socket to socket.
int path_rank(const std::string& f)
{
    static const std::vector<std::string> order = {
        "ip_output", "ip_finish_output", "ip_finish_output2", "__dev_queue_xmit", "dev_hard_start_xmit",
        "napi_gro_receive", "__netif_receive_skb", "__netif_receive_skb_one_core", "ip_rcv", "ip_rcv_finish",
        "udp_v4_early_demux", "ip_local_deliver", "ip_local_deliver_finish", "icmp_rcv", "udp_rcv", "tcp_v4_rcv",
        "__inet_lookup_listener", "tcp_v4_do_rcv", "tcp_rcv_established", "tcp_queue_rcv"};
    auto it = std::find(order.begin(), order.end(), f);
    return it == order.end() ? -1 : (int)(it - order.begin());
}

bool is_transmit(const std::string& f)
{
    return std::find(transmit.begin(), transmit.end(), f) != transmit.end();
}

bool is_table_walk(const std::string& f) { return f == "ipt_do_table" || f == "ret_ipt_do_table"; }

bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool from_root_end(const Lab& l, const Packet& p) { return p.sip == l["HOST_A"] || p.sip == l["OTHER_A"]; }

bool dropped_by_rule(const Lab& l, const Phase& ph, const Packet& p)
{
    return ph.name == "iptables" && p.proto == 17 && std::to_string(p.b) == l["DROP_PORT"];
}

std::vector<const Row*> rows_at(const Monitor& m, const std::string& key, const std::string& func)
{
    std::vector<const Row*> out;
    for (const auto& r : m.rows)
        if (r.key == key && (func.empty() || r.func == func))
            out.push_back(&r);
    return out;
}

std::multiset<std::string> rows_without_time(const Monitor& m)
{
    std::multiset<std::string> out;
    for (const auto& r : m.rows)
        out.insert(r.without_time());
    return out;
}

std::map<std::string, int> key_counts(const Phase& ph)
{
    std::map<std::string, int> n;
    for (const auto& p : ph.packets)
        n[p.key]++;
    return n;
}

const std::string zero_mac = "00:00:00:00:00:00";

// ---- tests -----------------------------------------------------------------

TEST(LabBoot, TheGuestRanTheAskedKernelAndEveryMonitorTracedUntilKilled)
{
    const Lab& l = lab();
    std::string machine = env("LAB_ARCH") == "arm64" ? "aarch64" : "x86_64";
    EXPECT_EQ(l["MACHINE"], machine);
    EXPECT_EQ(l["KERNEL"].rfind(env("LAB_SERIES") + ".", 0), 0u) << l["KERNEL"];
    for (const auto& ph : l.phases) {
        SCOPED_TRACE("phase " + ph.name);
        EXPECT_FALSE(ph.packets.empty()) << "tcpdump captured nothing";
        EXPECT_TRUE(exists(ph.dir + "/vn_bpf_net_monitor_err.log")) << "the monitor made no error log";
        EXPECT_EQ(ph.error_log, "");
        for (const auto& [name, m] : ph.monitors) {
            SCOPED_TRACE("monitor " + name + " (" + m.args + ")");
            EXPECT_EQ(m.alive, "1") << "the monitor ended before it was stopped";
            EXPECT_EQ(m.status, "143") << "the monitor did not end by the SIGTERM sent to it";
            EXPECT_EQ(m.stderr_text.find("Failed"), std::string::npos) << m.stderr_text;
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
        for (const std::string f : {"ip_output", "dev_hard_start_xmit", "ip_local_deliver", "icmp_rcv", "udp_rcv",
                                    "tcp_v4_rcv"})
            EXPECT_GT(ph.hit(f), 0) << f << " never ran: the witness is broken";
        std::set<std::string> traced;
        for (const auto& [name, m] : ph.monitors)
            for (const auto& r : m.rows)
                traced.insert(r.func == "ret_ipt_do_table" ? "ipt_do_table" : r.func);
        for (const auto& f : traced)
            EXPECT_GT(ph.hit(f), 0) << "rows at " << f << ", which the kernel never called";
        for (const auto& [f, n] : ph.hits) {
            if (n > 0) {
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
                ASSERT_NE(it, by_key.end()) << "no captured packet has these fields";
                const Packet& p = *it->second;
                bool out = from_root_end(l, p);
                std::string sender = out ? l["DEV_A"] : l["DEV_B"];
                std::string receiver = out ? l["DEV_B"] : l["DEV_A"];
                // A table walk on the sender's side (LOCAL_OUT) sees the packet
                // as the transmit functions do.
                bool local_out = is_table_walk(r.func) && r.dev != receiver;
                if (is_transmit(r.func) || local_out) {
                    // The IP layer sets the device in ip_output, and the link
                    // header only right before the driver.
                    bool may_lack_dev = r.func == "ip_output" || local_out;
                    EXPECT_TRUE(r.dev == sender || (may_lack_dev && r.dev == "nil"));
                    if (r.func == "dev_hard_start_xmit")
                        EXPECT_TRUE(r.smac == p.smac && r.dmac == p.dmac);
                    else
                        EXPECT_TRUE((r.smac == p.smac && r.dmac == p.dmac) ||
                                    (r.smac == zero_mac && r.dmac == zero_mac));
                } else {
                    // TCP clears the device once tcp_v4_rcv has taken the segment.
                    bool tcp_after_rcv = path_rank(r.func) > path_rank("tcp_v4_rcv");
                    EXPECT_TRUE(r.dev == receiver || (tcp_after_rcv && r.dev == "nil"));
                    EXPECT_EQ(r.smac, p.smac);
                    EXPECT_EQ(r.dmac, p.dmac);
                }
                EXPECT_TRUE(r.smac == zero_mac || r.smac == (out ? l["MAC_A"] : l["MAC_B"]));
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
                std::vector<std::string> path = transmit;
                path.insert(path.end(), receive.begin(), receive.end());
                if (!dropped_by_rule(l, ph, p))
                    path.push_back("ip_local_deliver_finish");
                if (p.proto == 1)
                    path.push_back("icmp_rcv");
                if (p.proto == 17) {
                    path.push_back("udp_v4_early_demux");
                    if (!dropped_by_rule(l, ph, p))
                        path.push_back("udp_rcv");
                }
                if (p.proto == 6)
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
    EXPECT_EQ(plain.hit("napi_gro_receive"), 0);
    EXPECT_GT(plain.hit("ip_rcv"), 0);
    EXPECT_GT(plain.hit("__netif_receive_skb"), 0);
    EXPECT_FALSE(rows_at(plain.monitor("icmp"), plain.packets.front().key, "ip_rcv").empty());
    const Phase& gro = lab().phase("gro");
    EXPECT_GT(gro.hit("napi_gro_receive"), 0);
    EXPECT_EQ(gro.hit("ip_rcv"), 0) << "GRO hands packets on as lists: ip_list_rcv, not ip_rcv";
    for (const auto& [name, m] : gro.monitors) {
        int napi = 0;
        for (const auto& r : m.rows) {
            EXPECT_NE(r.func, "ip_rcv") << name;
            EXPECT_NE(r.func, "__netif_receive_skb") << name;
            napi += r.func == "napi_gro_receive";
        }
        EXPECT_GT(napi, 0) << name;
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
        else
            for (const char* f : {"udp_v4_early_demux", "udp_rcv"})
                EXPECT_EQ(rows_at(m, p.key, f).size(), 1u) << f << " for " << p.key;
    }
    EXPECT_EQ(other, (int)numbers_of(l["OTHER_SIZES"]).size()) << "datagrams to the other port were not sent";
}

TEST(Tcp, AConnectShowsTheListenerLookupStatesAndDataSegments)
{
    const Lab& l = lab();
    for (const auto& ph : l.phases) {
        SCOPED_TRACE("phase " + ph.name);
        const Monitor& m = ph.monitor("tcp");
        std::string port = l["TCP_PORT"];
        int syns = 0, data = 0;
        for (const auto& p : ph.packets) {
            if (p.proto != 6)
                continue;
            if (std::to_string(p.a) != port && std::to_string(p.b) != port) {
                EXPECT_TRUE(rows_at(m, p.key, "").empty()) << "a row of another port: " << p.key;
                continue;
            }
            bool syn = (p.tcp_flags & 0x12) == 0x02;
            auto rcv = rows_at(m, p.key, "tcp_v4_rcv");
            ASSERT_FALSE(rcv.empty()) << p.key;
            for (const Row* r : rcv)
                EXPECT_EQ(r->other.rfind("sock:TCP_", 0), 0u) << r->line;
            if (syn) {
                syns++;
                // No socket holds a SYN yet; the lookup finds the listener.
                EXPECT_EQ(rcv[0]->other, "sock:TCP_MAX_STATES");
                auto lookup = rows_at(m, p.key, "__inet_lookup_listener");
                ASSERT_EQ(lookup.size(), 1u);
                EXPECT_EQ(lookup[0]->other, "sock:TCP_LISTEN");
            }
            if (p.payload > 0) {
                data++;
                // The answer reaches a long-established client socket. (The
                // request may not: it shares its SEQ/ACK with the handshake's
                // last ACK, and on the GRO list path early demux looks both
                // up before the ACK has made the server's socket.)
                if (std::to_string(p.a) == port) {
                    EXPECT_TRUE(std::any_of(rcv.begin(), rcv.end(),
                                            [](const Row* r) { return r->other == "sock:TCP_ESTABLISHED"; }))
                        << p.key;
                }
                EXPECT_FALSE(rows_at(m, p.key, "tcp_rcv_established").empty()) << p.key;
                EXPECT_FALSE(rows_at(m, p.key, "tcp_queue_rcv").empty()) << p.key;
            }
        }
        EXPECT_EQ(syns, 1);
        EXPECT_GE(data, 2) << "request and reply";
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
                // The return of the same walk follows on the same CPU.
                auto next = std::find_if(m.rows.begin() + i + 1, m.rows.end(),
                                         [&](const Row& x) { return x.cpu == r.cpu; });
                ASSERT_NE(next, m.rows.end()) << r.line;
                EXPECT_EQ(next->func, "ret_ipt_do_table") << r.line;
                EXPECT_EQ(next->key, r.key);
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

// ---- the fault phase ---------------------------------------------------------
//
// Every monitor of this phase traces -P icmp on the same pings to HOST_B:
// `reference` throughout, `killed` until a SIGKILL in the middle of a ping
// stream, `full` into a tmpfs with 8 KiB left, `memory` over a long run, and
// `poll_fail` (on the host's architecture also the sanitizer builds
// `leak_check` and `leak_kept`) until lab_fault fails one of its epoll waits.

const std::string poll_failure = "error perf_buffer__poll, err: -9.\n";
const std::string error_log_path = "/var/vorna-helmsight/monitor/vn_bpf_net_monitor/vn_bpf_net_monitor_err.log";

// The ping runs of the phase, in the order faults.sh sends them.
enum FaultPing { fill, stream, while_full, after_free, flood, fault_pings };

struct FaultPhase {
    Phase ph;
    std::vector<unsigned> ids;         // echo identifier of each ping run
    std::vector<std::string> failing;  // the monitors whose poll failed
    std::map<std::string, std::map<std::string, long>> rss;  // moment -> field -> KiB
};

const FaultPhase& faults()
{
    static const FaultPhase f = [] {
        FaultPhase f;
        f.failing = {"poll_fail"};
        if (env("LAB_LEAK_CHECK") == "1")
            f.failing.insert(f.failing.end(), {"leak_check", "leak_kept"});
        std::vector<std::string> names = {"reference", "killed", "full", "memory"};
        names.insert(names.end(), f.failing.begin(), f.failing.end());
        f.ph = read_phase(env("LAB_RESULTS"), "faults", names);
        for (const auto& p : f.ph.packets)
            if (p.proto == 1 && p.a == 8 && p.dip == lab()["HOST_B"] &&
                std::find(f.ids.begin(), f.ids.end(), p.c) == f.ids.end())
                f.ids.push_back(p.c);
        // "ready VmRSS: 2324 kB RssAnon: 272 kB ..."
        for (const auto& line : lines_of(read_file(f.ph.dir + "/memory.rss"))) {
            std::stringstream ss(line);
            std::string moment, field, unit;
            long kib;
            ss >> moment;
            while (ss >> field >> kib >> unit)
                f.rss[moment][field.substr(0, field.size() - 1)] = kib;
        }
        return f;
    }();
    return f;
}

std::string raw_trace(const Monitor& m) { return read_file(m.trace_path); }

// The path the guest gave with -o, as the monitor saw it.
std::string guest_trace_path(const Monitor& m)
{
    std::vector<std::string> words;
    std::stringstream ss(m.args);
    for (std::string w; ss >> w;)
        words.push_back(w);
    return option(words, "-o");
}

int rows_of_ping(const std::vector<Row>& rows, unsigned id, const std::string& func = "", int type = -1)
{
    int n = 0;
    for (const auto& r : rows)
        n += r.c == id && (func.empty() || r.func == func) && (type < 0 || (int)r.a == type);
    return n;
}

// Rows without their TIME, by the CPU whose ring delivered them, in the
// order written: each monitor has its own probes and stamps, but the same
// calls on a CPU give it the same rows in the same order.
std::map<int, std::vector<std::string>> rows_by_cpu(const Monitor& m)
{
    std::map<int, std::vector<std::string>> out;
    for (const auto& r : m.rows)
        out[r.cpu].push_back(r.without_time());
    return out;
}

// A monitor that ended early wrote, on every CPU, exactly the first rows that
// one running on wrote: none missing in between, none extra, none cut.
testing::AssertionResult prefix_on_every_cpu(const Monitor& part, const Monitor& whole)
{
    auto p = rows_by_cpu(part), w = rows_by_cpu(whole);
    for (const auto& [cpu, rows] : p) {
        const auto& all = w[cpu];
        for (size_t i = 0; i < rows.size(); i++) {
            if (i >= all.size())
                return testing::AssertionFailure() << part.name << " has " << rows.size() << " rows on CPU " << cpu
                                                   << ", " << whole.name << " only " << all.size();
            if (rows[i] != all[i])
                return testing::AssertionFailure() << part.name << " row " << i << " on CPU " << cpu << ":\n  "
                                                   << rows[i] << "\n" << whole.name << " has:\n  " << all[i];
        }
    }
    return testing::AssertionSuccess();
}

// The full file system's trace, split where the space ran out. `cut` is what
// the file held of the line that reached the limit, `glued` that line as it
// ended up; every other line is in `rows` or, out of layout, in `bad`. (A cut
// line is told by where it lies, not by its look: one cut in OTHER_INFO with
// a row after it has every column in place.)
struct FullTrace {
    std::string raw, at_limit, cut, glued;
    std::vector<Row> rows;
    std::vector<std::string> bad;
};

FullTrace full_trace(const FaultPhase& f)
{
    FullTrace t;
    const Monitor& m = f.ph.monitor("full");
    t.raw = raw_trace(m);
    t.at_limit = read_file(f.ph.dir + "/full.at_limit");
    size_t head = t.at_limit.rfind('\n') + 1;  // 0 when there is no line feed at all
    t.cut = t.at_limit.substr(head);
    size_t pos = 0;
    for (int n = 0; pos < t.raw.size(); n++) {
        size_t end = t.raw.find('\n', pos);
        end = end == std::string::npos ? t.raw.size() : end;
        std::string line = t.raw.substr(pos, end - pos);
        Row r;
        if (!t.cut.empty() && pos == head)
            t.glued = line;
        else if (n > 0 && parse_row(line, *m.layout, r))
            t.rows.push_back(r);
        else if (n > 0)
            t.bad.push_back(line);
        pos = end + 1;
    }
    return t;
}

TEST(FullFileSystem, RowsThatDoNotFitAreLostAndTracingGoesOnOnceThereIsSpace)
{
    const FaultPhase& f = faults();
    ASSERT_EQ(f.ids.size(), (size_t)fault_pings) << "the phase's ping runs are not all in the capture";
    const Monitor& m = f.ph.monitor("full");
    const Monitor& ref = f.ph.monitor("reference");
    EXPECT_EQ(m.alive, "1") << "the monitor ended on a full file system";
    EXPECT_EQ(m.status, "143");
    EXPECT_EQ(m.stderr_text, "") << "a failed row write is not reported";
    EXPECT_EQ(m.header, ref.header);
    FullTrace t = full_trace(f);
    // Nothing written is ever rewritten, and the file ends with a whole line.
    EXPECT_EQ(t.raw.compare(0, t.at_limit.size(), t.at_limit), 0);
    ASSERT_FALSE(t.raw.empty());
    EXPECT_EQ(t.raw.back(), '\n');
    EXPECT_TRUE(t.bad.empty()) << t.bad.front();
    EXPECT_GT(rows_of_ping(t.rows, f.ids[fill]), 0);
    // Rows of the pings sent while the file system was full are lost, not
    // kept back for later.
    EXPECT_EQ(rows_of_ping(t.rows, f.ids[stream]), 0);
    EXPECT_EQ(rows_of_ping(t.rows, f.ids[while_full]), 0);
    // Once the filler is gone, the next pings' rows are all there.
    EXPECT_GT(rows_of_ping(t.rows, f.ids[after_free], "icmp_rcv", 8), 0) << "no echo request after space came back";
    EXPECT_GT(rows_of_ping(t.rows, f.ids[after_free], "icmp_rcv", 0), 0) << "no echo reply after space came back";
    EXPECT_EQ(rows_of_ping(t.rows, f.ids[after_free]), rows_of_ping(ref.rows, f.ids[after_free]));
    // Every whole row is one that the reference wrote too.
    std::multiset<std::string> all = rows_without_time(ref);
    for (const auto& r : t.rows)
        EXPECT_TRUE(all.count(r.without_time())) << r.line;
}

// What the kernel does with the row that reaches the limit: tmpfs writes the
// part that fits and the write returns short. The monitor takes that part
// back, so the row is lost whole, the file ends with a whole line, and the
// first row written once there is space again starts a line of its own.
TEST(FullFileSystem, TheRowThatDoesNotFitIsLostWholeAndLeavesNoCutLine)
{
    const FaultPhase& f = faults();
    ASSERT_EQ(f.ids.size(), (size_t)fault_pings);
    FullTrace t = full_trace(f);
    ASSERT_FALSE(t.at_limit.empty());
    EXPECT_LE(t.at_limit.size(), 8192u);
    // Whole rows up to the last one that fit: less than a row (at most 299
    // bytes) short of full.
    EXPECT_GT(t.at_limit.size(), 8192u - 300u) << "the trace stopped before the file system was full";
    EXPECT_EQ(t.at_limit.back(), '\n') << "a cut row stayed in the file: " << t.cut;
    EXPECT_EQ(t.glued, "") << "a row was appended to a cut one";
}

TEST(Kill, AKilledMonitorLeavesWholeRowsTheSameAsARunningOnesUpToTheKill)
{
    const FaultPhase& f = faults();
    ASSERT_EQ(f.ids.size(), (size_t)fault_pings);
    const Monitor& m = f.ph.monitor("killed");
    const Monitor& ref = f.ph.monitor("reference");
    EXPECT_EQ(m.status, "137") << "not ended by the SIGKILL";
    std::string raw = raw_trace(m);
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ(raw.back(), '\n') << "the last row is cut";
    EXPECT_EQ(m.header, ref.header);
    EXPECT_TRUE(m.bad_lines.empty()) << m.bad_lines.front();
    EXPECT_TRUE(prefix_on_every_cpu(m, ref));
    // Killed while the stream's rows flowed: some written, not all.
    EXPECT_GT(rows_of_ping(m.rows, f.ids[stream]), 0);
    EXPECT_LT(rows_of_ping(m.rows, f.ids[stream]), rows_of_ping(ref.rows, f.ids[stream]));
    EXPECT_EQ(rows_of_ping(m.rows, f.ids[while_full]), 0);
}

TEST(PollFailure, TheFailureIsReportedTheRowsStayAndBothDescriptorsAreClosed)
{
    const FaultPhase& f = faults();
    ASSERT_EQ(f.ids.size(), (size_t)fault_pings);
    const Monitor& ref = f.ph.monitor("reference");
    std::string expected_log;
    for (const auto& name : f.failing) {
        SCOPED_TRACE(name);
        const Monitor& m = f.ph.monitor(name);
        expected_log += poll_failure;
        // leak_check's status is also LeakSanitizer's verdict: held below.
        if (name != "leak_check") {
            EXPECT_EQ(m.status, "3");
        }
        EXPECT_EQ(m.alive, "0") << "still running after the failed poll";
        EXPECT_EQ(m.stderr_text.substr(0, poll_failure.size()), poll_failure);
        EXPECT_EQ(m.stdout_text, "");
        // The rows written before the failure stay, whole.
        std::string raw = raw_trace(m);
        ASSERT_FALSE(raw.empty());
        EXPECT_EQ(raw.back(), '\n');
        EXPECT_TRUE(m.bad_lines.empty()) << m.bad_lines.front();
        EXPECT_GT(rows_of_ping(m.rows, f.ids[fill]), 0);
        EXPECT_EQ(rows_of_ping(m.rows, f.ids[stream]), 0) << "rows after the failure";
        EXPECT_TRUE(prefix_on_every_cpu(m, ref));
        // lab_fault failed one wait, then saw the exit path close the trace
        // file and the error log.
        std::vector<std::string> log = lines_of(read_file(f.ph.dir + "/" + name + ".fault"));
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log[0].rfind("failed epoll wait ", 0), 0u) << log[0];
        std::set<std::string> closed;
        for (const auto& line : log)
            if (line.rfind("close ", 0) == 0)
                closed.insert(line.substr(line.find(' ', 6) + 1));
        EXPECT_TRUE(closed.count(guest_trace_path(m))) << "the trace file was not closed";
        EXPECT_TRUE(closed.count(error_log_path)) << "the error log was not closed";
    }
    // Each failure is in the error log too, the same bytes.
    EXPECT_EQ(f.ph.error_log, expected_log);
}

// The sanitizer build, amd64 (the host's architecture) only: it is built on
// the host, and the guest of the other architecture cannot run it.
TEST(LeakCheck, LeakSanitizerFindsNothingAfterTheFailedPoll)
{
    const Monitor& m = faults().ph.monitor("leak_check");
    EXPECT_EQ(m.status, "3") << "LeakSanitizer or AddressSanitizer changed the exit status";
    EXPECT_EQ(m.stderr_text, poll_failure) << "a sanitizer reported something";
}

// LeakSanitizer counts what a global still points to as kept; with globals
// not scanned it reports all of that. The perf buffer is kept on purpose and
// shows (so the report works); the per-CPU seed records, freed on the exit
// path, must not.
TEST(LeakCheck, TheSeedRecordsAreFreedNotMerelyStillPointedTo)
{
    const Monitor& m = faults().ph.monitor("leak_kept");
    EXPECT_EQ(m.status, "3");
    EXPECT_EQ(m.stderr_text.substr(0, poll_failure.size()), poll_failure);
    EXPECT_NE(m.stderr_text.find("LeakSanitizer: detected memory leaks"), std::string::npos) << m.stderr_text;
    EXPECT_NE(m.stderr_text.find(" in open_perf_buffer "), std::string::npos)
        << "the kept perf buffer is not in the report: its stacks do not reach the monitor's frames";
    EXPECT_EQ(m.stderr_text.find("seed_cpu_records"), std::string::npos) << m.stderr_text;
    EXPECT_EQ(m.stderr_text.find("ERROR: AddressSanitizer"), std::string::npos) << m.stderr_text;
}

// A leak lands in anonymous memory (heap, stack, anonymous maps), counted in
// 4 KiB pages. The smallest heap block (32 bytes) lost per row would add a
// page every 128 rows: over the 4096 rows the run must at least give, 128
// KiB (it gives ten thousand and more; the rest of the samples the kernel
// drops while the monitor is busy). A page or two touched for the first time
// late in the run (stack, a code path) is no leak. 64 KiB, sixteen pages,
// lies between. The whole
// resident set may grow by the perf rings on top of that: on 6.12 each ring
// page (one header and 8 data pages per CPU) counts once the monitor has read
// it (6.1 does not count them).
TEST(Memory, TheResidentSetStaysFlatOverAFewThousandPackets)
{
    const FaultPhase& f = faults();
    ASSERT_EQ(f.ids.size(), (size_t)fault_pings);
    const Monitor& m = f.ph.monitor("memory");
    EXPECT_EQ(m.alive, "1");
    EXPECT_EQ(m.status, "143");
    EXPECT_TRUE(m.bad_lines.empty()) << m.bad_lines.front();
    int packets = 0;
    for (const auto& p : f.ph.packets)
        packets += p.proto == 1 && p.c == f.ids[flood];
    EXPECT_GE(packets, 2000) << "the long run was cut short";
    int rows = rows_of_ping(m.rows, f.ids[flood]);
    EXPECT_GE(rows, 4096) << "the monitor wrote too few rows in the long run";
    for (const char* moment : {"ready", "warm", "end"})
        for (const char* field : {"VmRSS", "RssAnon"})
            ASSERT_GT(f.rss.count(moment) ? f.rss.at(moment).count(field) : 0u, 0u) << moment << " " << field;
    long anon = f.rss.at("end").at("RssAnon") - f.rss.at("ready").at("RssAnon");
    long all = f.rss.at("end").at("VmRSS") - f.rss.at("ready").at("VmRSS");
    long rings = std::stol(lab()["CPUS"]) * (1 + 8) * 4;
    EXPECT_LT(anon, 64) << "KiB more anonymous memory after " << rows << " rows";
    EXPECT_LT(all, 64 + rings) << "KiB more resident after " << rows << " rows";
}

}  // namespace
