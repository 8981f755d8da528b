// What one lab boot left, read for the checks: tcpdump's captures, the
// monitors' traces and the kernel's own kprobe hit counters. LAB_RESULTS
// names the results folder, LAB_ARCH and LAB_SERIES the machine and kernel
// series it must come from.
#pragma once

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

#include "trace_layout.h"

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(' ');
    size_t e = s.find_last_not_of(" \n");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

inline std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream ss(text);
    for (std::string line; std::getline(ss, line);)
        out.push_back(line);
    return out;
}

inline std::vector<long> numbers_of(const std::string& text)
{
    std::vector<long> out;
    std::stringstream ss(text);
    for (long n; ss >> n;)
        out.push_back(n);
    return out;
}

inline bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

inline std::string env(const char* name)
{
    const char* v = getenv(name);
    return v ? v : "";
}

// ---- the capture -------------------------------------------------------

inline std::string mac_text(const uint8_t* p)
{
    char buf[20];
    snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", p[0], p[1], p[2], p[3], p[4], p[5]);
    return buf;
}

inline std::string ip_text(const uint8_t* p)
{
    return std::to_string(p[0]) + "." + std::to_string(p[1]) + "." + std::to_string(p[2]) + "." +
           std::to_string(p[3]);
}

// In RFC 5952's text, as the monitor writes it.
inline std::string ip6_text(const uint8_t* p)
{
    char buf[trace_layout::IPV6_TEXT_MAX];
    return std::string(buf, trace_layout::format_ipv6(buf, p));
}

inline unsigned be16(const uint8_t* p) { return (unsigned)p[0] << 8 | p[1]; }
inline uint32_t be32(const uint8_t* p) { return (uint32_t)be16(p) << 16 | be16(p + 2); }

struct Packet {
    int index = 0;
    int family = 4;             // 4 or 6
    std::string dmac, smac, sip, dip;
    int proto = 0;              // the transport's, behind any IPv6 extension header
    unsigned a = 0, b = 0;      // ICMP type/code, or source/destination port
    uint32_t c = 0, d = 0;      // ICMP id/sequence, TCP seq/ack, UDP payload length
    unsigned tcp_flags = 0;
    unsigned payload = 0;       // TCP payload bytes
    unsigned fragment = 0;      // fragment offset in bytes; such a packet has no transport header
    bool first_fragment = false;
    bool rejected = false;      // a header ip_rcv drops (IHL < 5, total length short of it): no transport header
    std::string dev;            // the interface it was captured on
    std::string key;            // the fields a trace row shows, as one text
};

// What a row shows of a packet, in one comparable text.
inline std::string packet_key(int proto, const std::string& sip, const std::string& dip, unsigned a, unsigned b,
                       uint32_t c, uint32_t d)
{
    std::ostringstream k;
    k << proto << ' ' << sip << '>' << dip << ' ' << a << ' ' << b << ' ' << c << ' ' << d;
    return k.str();
}

// The transport's fields that a row shows, from its header at L4 with LEN
// bytes of it and after it in the IP packet.
inline void read_transport(Packet& p, const uint8_t* l4, size_t len)
{
    if ((p.proto == 1 || p.proto == 58) && len >= 8) {
        p.a = l4[0], p.b = l4[1], p.c = be16(l4 + 4), p.d = be16(l4 + 6);
    } else if (p.proto == 6 && len >= 20) {
        p.a = be16(l4), p.b = be16(l4 + 2), p.c = be32(l4 + 4), p.d = be32(l4 + 8);
        p.tcp_flags = l4[13];
        p.payload = (unsigned)len - (l4[12] >> 4) * 4;
    } else if (p.proto == 17 && len >= 8) {
        p.a = be16(l4), p.b = be16(l4 + 2), p.c = be16(l4 + 4) < 8 ? 0 : be16(l4 + 4) - 8;
    }
}

inline void read_ipv4(Packet& p, const uint8_t* ip)
{
    size_t ihl = (ip[0] & 0xf) * 4;
    p.sip = ip_text(ip + 12);
    p.dip = ip_text(ip + 16);
    p.proto = ip[9];
    unsigned ip_len = be16(ip + 2);
    p.fragment = (be16(ip + 6) & 0x1fff) * 8;
    p.first_fragment = !p.fragment && (be16(ip + 6) & 0x2000);
    p.rejected = ihl < 20 || ip_len < ihl;
    // A later fragment: what follows the IP header is payload, and a
    // row shows zeros there; so does a header the kernel rejects.
    if (!p.fragment && !p.rejected)
        read_transport(p, ip + ihl, ip_len - ihl);
}

// Behind the fixed header, extension headers up to the transport's: a
// fragment header tells the offset, and after the first fragment no
// transport header follows.
inline void read_ipv6(Packet& p, const uint8_t* ip, size_t caplen)
{
    p.family = 6;
    p.sip = ip6_text(ip + 8);
    p.dip = ip6_text(ip + 24);
    size_t end = std::min(caplen, 40 + (size_t)be16(ip + 4)), at = 40;
    int next = ip[6];
    for (bool more = true; more && at + 8 <= end;) {
        const uint8_t* h = ip + at;
        switch (next) {
        case 0: case 43: case 60:  // hop-by-hop, routing, destination options
            next = h[0], at += (h[1] + 1) * 8;
            break;
        case 51:  // authentication: its length in 4-byte words, less two
            next = h[0], at += (h[1] + 2) * 4;
            break;
        case 44:
            p.fragment = be16(h + 2) & 0xfff8;
            p.first_fragment = !p.fragment && (h[3] & 1);
            next = h[0], at += 8;
            more = !p.fragment;
            break;
        default:
            more = false;
        }
    }
    p.proto = next;
    if (!p.fragment && at < end)
        read_transport(p, ip + at, end - at);
}

// pcap: a 24-byte file header, then per packet a 16-byte header and the
// frame. The frames of FAMILY (IPv4 or IPv6) alone.
inline std::vector<Packet> read_pcap(const std::string& path, const std::string& dev, int family = 4)
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
    const unsigned ethertype = family == 6 ? 0x86dd : 0x0800;
    const size_t least = family == 6 ? 14 + 40 : 14 + 20;
    size_t off = 24;
    for (int index = 0; off + 16 <= data.size(); index++) {
        uint32_t caplen = u32(off + 8);
        const uint8_t* e = f + off + 16;
        off += 16 + caplen;
        if (off > data.size() || caplen < least || be16(e + 12) != ethertype)
            continue;
        Packet p;
        p.index = index;
        p.dmac = mac_text(e);
        p.smac = mac_text(e + 6);
        p.dev = dev;
        if (family == 6)
            read_ipv6(p, e + 14, caplen - 14);
        else
            read_ipv4(p, e + 14);
        p.key = packet_key(p.proto, p.sip, p.dip, p.a, p.b, p.c, p.d);
        out.push_back(p);
    }
    return out;
}

// ---- the traces --------------------------------------------------------

struct Row {
    long long time = 0;
    int cpu = 0;
    int number = 0;              // its line in the trace file, as the reader counts (the header is 1)
    std::string packet, netns;   // -N: the packet's number in the trace, its namespace's inode or "-"
    std::string func, dev, smac, dmac, sip, dip, other, key, line;
    unsigned a = 0, b = 0;
    uint32_t c = 0, d = 0;
    // The row as another trace of the same packets writes it: no time, and
    // no buffer number, which counts the buffers of its own trace.
    std::string without_time() const { return without_buffer(line.substr(21)); }
    static std::string without_buffer(std::string text)
    {
        size_t at = text.find(" buf:");
        if (at == std::string::npos)
            return text;
        size_t end = text.find(' ', at + 1);
        text.replace(at + 1, (end == std::string::npos ? text.size() : end) - at - 1, "buf:");
        return text.substr(0, text.find_last_not_of(' ') + 1); // its padding went with it
    }
};

struct Layout {
    int proto;
    std::vector<int> starts;  // protocol columns
    std::vector<int> widths;
    int other;                // first OTHER_INFO sub-field
    int address_width = 18;   // SIP and DIP, or SIP6 and DIP6
};

// An IPv6 trace's (-6): its address columns wider, ICMP as ICMPv6.
inline Layout ipv6_layout(Layout l)
{
    const int extra = (int)trace_layout::IPV6_EXTRA_WIDTH;
    for (int& start : l.starts)
        start += 2 * extra;
    l.other += 2 * extra;
    l.address_width += extra;
    l.proto = l.proto == 1 ? 58 : l.proto;
    return l;
}

inline const Layout* layout_for(const std::string& protocol, bool ipv6 = false)
{
    static const Layout tcp{6, {153, 164, 175, 186}, {10, 10, 10, 10}, 197};
    static const Layout udp{17, {153, 164, 175}, {10, 10, 10}, 186};
    static const Layout icmp{1, {153, 159, 165, 171}, {5, 5, 5, 5}, 177};
    static const Layout tcp6 = ipv6_layout(tcp), udp6 = ipv6_layout(udp), icmp6 = ipv6_layout(icmp);
    if (protocol == "tcp")
        return ipv6 ? &tcp6 : &tcp;
    if (protocol == "udp")
        return ipv6 ? &udp6 : &udp;
    if (protocol == "icmp")
        return ipv6 ? &icmp6 : &icmp;
    return nullptr;
}

// Columns stand at fixed places as long as no value outgrows its width, which
// none of ours can; a blank must precede each.
inline bool parse_row(const std::string& line, const Layout& l, Row& r)
{
    const int aw = l.address_width;
    const int starts[] = {0, 21, 27, 58, 77, 96, 115, 115 + aw + 1};
    const int widths[] = {20, 5, 30, 18, 18, 18, aw, aw};
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

// With -N a line has PACKET after CPU and NETNS after INTERFACE, each
// followed by a blank; taken out, it is the line a trace without -N
// writes. False for a line without blanks where they belong.
inline bool take_packet_and_netns(std::string& line, std::string& packet, std::string& netns)
{
    using namespace trace_layout;
    const column_t columns[] = {PACKET_COLUMN, NETNS_COLUMN};
    const size_t after[] = {CPU, INTERFACE};
    std::string* values[] = {&packet, &netns};
    for (int i = 0; i < 2; i++) {
        size_t at = 0;
        for (size_t c = 0; c <= after[i]; c++)
            at += COMMON[c].width + 1;
        size_t width = columns[i].width + 1;
        if (line.size() < at + width || line[at - 1] != ' ' || line[at + width - 1] != ' ')
            return false;
        *values[i] = trim(line.substr(at, width));
        line.erase(at, width);
    }
    return true;
}

inline bool is_number(const std::string& s)
{
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

struct Monitor {
    std::string name, args, protocol, host, trace_path, header;
    bool numbered = false;  // -N
    bool ipv6 = false;      // -6, or an IPv6 address to -H
    unsigned port = 0;
    const Layout* layout = nullptr;
    std::vector<Row> rows;
    std::vector<std::string> bad_lines;
    std::vector<std::string> remarks; // trace lines that begin with "# "
    std::string status, alive, stderr_text, stdout_text;
    // The start-up lines on probe points not traced and on what drop rows
    // cannot name, kept apart from stderr_text.
    std::string notices;
    // What standard error told of the trace's holes ("lost N samples on CPU
    // C", "the kernel skipped N runs of F: ..."), kept apart from stderr_text.
    std::vector<std::string> holes;
    // Per row label, the probe hits the kernel did not run this monitor's
    // program for, as its trace tells them.
    std::map<std::string, long> skipped_runs;
    long skipped(const std::string& label) const
    {
        auto it = skipped_runs.find(label);
        return it == skipped_runs.end() ? 0 : it->second;
    }

    bool covers(const Packet& p) const
    {
        if (p.proto != layout->proto || p.family != (ipv6 ? 6 : 4))
            return false;
        if (port && p.proto != 1 && p.proto != 58 && p.a != port && p.b != port)
            return false;
        return host.empty() || p.sip == host || p.dip == host;
    }
};

inline std::string option(const std::vector<std::string>& words, const std::string& flag)
{
    auto it = std::find(words.begin(), words.end(), flag);
    return it != words.end() && it + 1 != words.end() ? *(it + 1) : "";
}

inline Monitor read_monitor(const std::string& dir, const std::string& name)
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
    m.numbered = std::find(words.begin(), words.end(), "-N") != words.end();
    m.ipv6 = std::find(words.begin(), words.end(), "-6") != words.end() || m.host.find(':') != std::string::npos;
    std::string file = option(words, "-o");
    // The guest named the file by its own path; here it sits beside the others.
    m.trace_path = file.empty() ? dir + "/" + name + ".stdout" : dir + "/" + name + ".trace";
    m.layout = layout_for(m.protocol, m.ipv6);
    m.status = trim(read_file(dir + "/" + name + ".status"));
    m.alive = trim(read_file(dir + "/" + name + ".alive"));
    // Start-up notices ("F: not in this kernel, not traced", "F: not in this
    // kernel, G traced instead") come first, one line each.
    std::string err = read_file(dir + "/" + name + ".stderr");
    for (size_t end; (end = err.find('\n')) != std::string::npos;) {
        std::string line = err.substr(0, end);
        bool notice = (line.size() > 12 && line.compare(line.size() - 12, 12, ", not traced") == 0) ||
                      (line.size() > 15 && line.compare(line.size() - 15, 15, " traced instead") == 0) ||
                      line.rfind("kfree_skb: ", 0) == 0;
        if (!notice)
            break;
        m.notices += line + "\n";
        err.erase(0, end + 1);
    }
    for (size_t at = 0; at < err.size();) {
        size_t end = err.find('\n', at);
        end = end == std::string::npos ? err.size() : end + 1;
        std::string line = err.substr(at, end - at);
        long n = 0;
        int cpu = 0;
        char tail = 0;
        bool whole = line.back() == '\n';
        bool lost = sscanf(line.c_str(), "lost %ld samples on CPU %d%c", &n, &cpu, &tail) == 3 && tail == '\n';
        if (whole && (lost || line.rfind("the kernel skipped ", 0) == 0))
            m.holes.push_back(line.substr(0, line.size() - 1));
        else
            m.stderr_text += line;
        at = end;
    }
    m.stdout_text = read_file(dir + "/" + name + ".stdout");
    std::vector<std::string> lines = lines_of(read_file(m.trace_path));
    if (!lines.empty())
        m.header = lines[0];
    for (size_t i = 1; i < lines.size() && m.layout; i++) {
        Row r;
        // The monitor's own remarks ("# lost N samples on CPU C between T1
        // and T2"), no rows.
        std::string line = lines[i];
        if (line.rfind("# ", 0) == 0) {
            m.remarks.push_back(line);
            long n = 0;
            char label[64] = "";
            if (sscanf(line.c_str(), "# the kernel skipped %ld runs of %63[^:]:", &n, label) == 2)
                m.skipped_runs[label] += n;
        } else if ((!m.numbered || (take_packet_and_netns(line, r.packet, r.netns) && is_number(r.packet) &&
                                    (r.netns == "-" || is_number(r.netns)))) &&
                   parse_row(line, *m.layout, r)) {
            r.number = (int)i + 1;
            m.rows.push_back(r);
        } else {
            m.bad_lines.push_back(lines[i]);
        }
    }
    return m;
}

// "KEY=value" lines.
inline std::map<std::string, std::string> read_settings(const std::string& path)
{
    std::map<std::string, std::string> out;
    for (const auto& line : lines_of(read_file(path))) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            out[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return out;
}

struct Phase {
    std::string name, dir;
    std::vector<Packet> packets;      // captured on the root namespace's end of the link
    std::vector<Packet> peer_packets; // on the peer's end, where the phase captures there too
    // The link's ends (DEV_A, DEV_B, HOST_A, HOST_B, MAC_A, MAC_B) where the
    // phase has a link of its own; the lab's hosts.env gives the others.
    std::map<std::string, std::string> settings;
    std::map<std::string, Monitor> monitors;
    std::map<std::string, long> hits;  // kernel kprobe hits per function
    std::map<std::string, long> misses; // hits the kernel skipped: a kprobe already running on that CPU
    std::string kallsyms_ipt, lsmod, error_log;
    std::vector<double> window;  // uptime seconds when the traffic began and ended

    const Monitor& monitor(const std::string& name) const
    {
        static const Monitor none;
        auto it = monitors.find(name);
        EXPECT_NE(it, monitors.end()) << "no monitor " << name << " in phase " << this->name;
        return it == monitors.end() ? none : it->second;
    }
    long missed(const std::string& f) const
    {
        auto it = misses.find(f);
        return it == misses.end() ? 0 : it->second;
    }
    long hit(const std::string& f) const
    {
        auto it = hits.find(f);
        return it == hits.end() ? 0 : it->second;
    }
};

// The captures' frames of FAMILY: IPv4's, or the ipv6 phase's IPv6.
inline Phase read_phase(const std::string& results, const std::string& name, const std::vector<std::string>& monitors,
                        int family = 4)
{
    Phase ph;
    ph.name = name;
    ph.dir = results + "/" + name;
    ph.settings = read_settings(ph.dir + "/phase.env");
    std::string dev_a = ph.settings.count("DEV_A") ? ph.settings["DEV_A"] : "veth0";
    ph.packets = read_pcap(ph.dir + "/" + dev_a + ".pcap", dev_a, family);
    if (ph.settings.count("DEV_B"))
        ph.peer_packets = read_pcap(ph.dir + "/" + ph.settings["DEV_B"] + ".pcap", ph.settings["DEV_B"], family);
    // Traffic between two local addresses crosses the loopback device.
    if (exists(ph.dir + "/lo.pcap"))
        for (auto& p : read_pcap(ph.dir + "/lo.pcap", "lo", family))
            ph.packets.push_back(p);
    for (const auto& m : monitors)
        ph.monitors[m] = read_monitor(ph.dir, m);
    for (const auto& line : lines_of(read_file(ph.dir + "/kprobe_profile.txt"))) {
        std::stringstream ss(line);
        std::string f;
        long n = 0, missed = 0;
        if (ss >> f >> n)
            ph.hits[f] = n;
        if (ss >> missed)
            ph.misses[f] = missed;
    }
    ph.kallsyms_ipt = read_file(ph.dir + "/kallsyms-ipt.txt");
    ph.lsmod = read_file(ph.dir + "/lsmod.txt");
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
    // A setting of the phase's own link, else of the lab's hosts.
    std::string operator()(const Phase& ph, const std::string& k) const
    {
        auto it = ph.settings.find(k);
        return it == ph.settings.end() ? (*this)[k] : it->second;
    }
};

inline const Lab& lab()
{
    static const Lab l = [] {
        Lab l;
        std::string results = env("LAB_RESULTS");
        for (const auto& line : lines_of(read_file(results + "/hosts.env"))) {
            size_t eq = line.find('=');
            if (eq != std::string::npos)
                l.host[line.substr(0, eq)] = line.substr(eq + 1);
        }
        // A boot of the core set runs some phases alone (lab.conf says which);
        // a phase it ran but left no results of fails the checks that read it.
        std::string listed = read_settings(results + "/lab.conf")["LAB_PHASES"];
        std::replace(listed.begin(), listed.end(), '"', ' ');
        std::set<std::string> ran;
        std::stringstream words(listed);
        for (std::string w; words >> w;)
            ran.insert(w);
        const std::pair<const char*, std::vector<std::string>> monitors_of[] = {
            {"plain", {"icmp", "icmp_file", "icmp_host", "icmp_stop", "udp", "tcp"}},
            {"iptables", {"icmp", "tcp", "udp"}},
            {"gro", {"icmp", "udp", "tcp"}},
            {"nic", {"icmp", "udp", "tcp"}},
            {"nic_nogro", {"icmp", "udp", "tcp"}},
            {"truth", {"icmp", "udp", "udp_all", "tcp"}},
            {"cpus", {"icmp"}},
            {"drops", {"icmp", "tcp", "udp"}},
        };
        for (const auto& [name, monitors] : monitors_of)
            if (ran.count(name))
                l.phases.push_back(read_phase(results, name, monitors));
        return l;
    }();
    return l;
}

// The kernel a guest ran is of the series asked for: backports is 6.18 or
// newer, any other the series' own version.
inline bool of_series(const std::string& kernel, const std::string& series)
{
    if (series != "backports")
        return kernel.rfind(series + ".", 0) == 0;
    int major = 0, minor = 0;
    sscanf(kernel.c_str(), "%d.%d", &major, &minor);
    return major > 6 || (major == 6 && minor >= 18);
}

// ---- a pair of guests ----------------------------------------------------

// One guest of a pair, named by its fetch folder (ARCH-SERIES): its
// settings (hosts.env: SELF, PEER, NIC, KERNEL, ...) and its one phase.
struct PairGuest {
    std::string name;
    std::map<std::string, std::string> env;
    Phase phase;
    std::string operator[](const std::string& k) const
    {
        auto it = env.find(k);
        return it == env.end() ? "" : it->second;
    }
};

// The host's reading of both guests' CLOCK_MONOTONIC at one meeting: per
// guest the round with the shortest round trip, guest = host + offset within
// +-error (the guest read its clock between the host's two stamps).
struct Meeting {
    std::string name;
    long long offset[2] = {0, 0}, error[2] = {-1, -1};
    // Guest b's clock against guest a's, and the bound of that reading.
    long long b_minus_a() const { return offset[1] - offset[0]; }
    long long bound() const { return error[0] + error[1]; }
};

struct Pair {
    PairGuest a, b;
    std::vector<Meeting> meetings;

    const Meeting& meeting(const std::string& name) const
    {
        for (const auto& m : meetings)
            if (m.name == name)
                return m;
        static const Meeting none;
        ADD_FAILURE() << "no meeting " << name;
        return none;
    }
    // The guest whose address is IP, null for neither.
    const PairGuest* guest_at(const std::string& ip) const
    {
        return ip == a["SELF"] ? &a : ip == b["SELF"] ? &b : nullptr;
    }
};

// clock.txt lines: MEETING ROUND GUEST(a|b) ASKED_NS ANSWERED_NS MONOTONIC_NS REALTIME_NS.
inline std::vector<Meeting> read_meetings(const std::string& path)
{
    std::vector<Meeting> out;
    for (const auto& line : lines_of(read_file(path))) {
        std::stringstream ss(line);
        std::string name, guest;
        int round;
        long long asked, answered, mono, real;
        if (!(ss >> name >> round >> guest >> asked >> answered >> mono >> real) || (guest != "a" && guest != "b")) {
            ADD_FAILURE() << "clock.txt: " << line;
            continue;
        }
        if (out.empty() || out.back().name != name)
            out.push_back(Meeting{name});
        int g = guest == "b";
        long long half = (answered - asked + 1) / 2;
        Meeting& m = out.back();
        if (m.error[g] < 0 || half < m.error[g]) {
            m.error[g] = half;
            m.offset[g] = mono - (asked + answered) / 2;
        }
    }
    return out;
}

inline PairGuest read_pair_guest(const std::string& results, const std::string& name)
{
    PairGuest g;
    g.name = name;
    g.env = read_settings(results + "/" + name + "/hosts.env");
    g.phase = read_phase(results + "/" + name, "pair", {"icmp", "udp", "tcp"});
    return g;
}

// The pair's results folder (LAB_RESULTS): pair.env names the guests.
inline const Pair& pair()
{
    static const Pair p = [] {
        Pair p;
        std::string results = env("LAB_RESULTS");
        auto names = read_settings(results + "/pair.env");
        EXPECT_TRUE(names.count("NAME_A") && names.count("NAME_B")) << results << " holds no pair";
        p.a = read_pair_guest(results, names["NAME_A"]);
        p.b = read_pair_guest(results, names["NAME_B"]);
        p.meetings = read_meetings(results + "/clock.txt");
        return p;
    }();
    return p;
}

// ---- the probe points ----------------------------------------------------

// The family of the traces that load a probed function's programs (IPV4,
// IPV6 or BOTH), as probe_points.def has it; empty for a function not probed.
inline std::string probe_family(const std::string& function)
{
#define PROBE(program, kind, section, function, point, body, args, module, rank, device_layer, family) \
    {#function, #family},
    static const std::map<std::string, std::string> families = {
#include "probe_points.def"
    };
#undef PROBE
    auto it = families.find(function);
    return it == families.end() ? "" : it->second;
}

// A trace's only remarks are its holes: samples lost, and probe runs the
// kernel skipped. Standard error tells the same holes: as many samples lost,
// and each skip in the same words.
inline void expect_holes_told_alike(const Monitor& m)
{
    long lost_in_trace = 0, lost_told = 0;
    std::multiset<std::string> skips_in_trace, skips_told;
    for (const auto& remark : m.remarks) {
        long n = 0;
        if (sscanf(remark.c_str(), "# lost %ld samples on CPU", &n) == 1)
            lost_in_trace += n;
        else if (remark.rfind("# the kernel skipped ", 0) == 0)
            skips_in_trace.insert(remark.substr(2));
        else
            ADD_FAILURE() << "a remark that tells no hole: " << remark;
    }
    for (const auto& line : m.holes) {
        long n = 0;
        if (sscanf(line.c_str(), "lost %ld samples on CPU", &n) == 1)
            lost_told += n;
        else
            skips_told.insert(line);
    }
    EXPECT_EQ(lost_in_trace, lost_told);
    EXPECT_EQ(skips_in_trace, skips_told);
}

// A monitor the phase stopped: still running then, ended by the SIGTERM
// it was sent, every line of its trace a row or a hole's line.
inline void expect_stopped_whole(const Monitor& m)
{
    EXPECT_EQ(m.alive, "1");
    EXPECT_EQ(m.status, "143");
    EXPECT_TRUE(m.bad_lines.empty()) << m.bad_lines.front();
    expect_holes_told_alike(m);
}

// The start-up notices of a monitor of this phase: probe points this kernel
// cannot trace as the object was first written, drop reasons without names.
inline std::string expected_notices(const Phase& ph, bool ipv6)
{
    std::string expected;
    if (env("LAB_SERIES") == "backports")
        expected += "napi_gro_receive: not in this kernel, gro_receive_skb traced instead\n";
    if (!ipv6 && ph.kallsyms_ipt.find("ipt_do_table") == std::string::npos)
        expected += "ipt_do_table: not in this kernel (module ip_tables not loaded), not traced\n";
    if (ph.lsmod.find("nf_tables") == std::string::npos)
        expected += "nft_do_chain: not in this kernel (module nf_tables not loaded), not traced\n";
    // The containers phase loads the bridge.
    if (ph.lsmod.find("\nbridge ") == std::string::npos)
        expected += "br_handle_frame: not in this kernel (module bridge not loaded), not traced\n"
                    "br_forward: not in this kernel (module bridge not loaded), not traced\n";
    if (ipv6 && ph.lsmod.find("\nip6_tables ") == std::string::npos)
        expected += "ip6t_do_table: not in this kernel (module ip6_tables not loaded), not traced\n";
    // Subsystem drop reasons came with 6.5; no lab guest loads mac80211 or
    // openvswitch, which name theirs (qdisc's are the kernel's).
    const std::string unnamed = env("LAB_SERIES") == "6.1"     ? ""
                                : env("LAB_SERIES") == "6.12" ? "MAC80211_UNUSABLE, MAC80211_MONITOR, OPENVSWITCH"
                                                              : "MAC80211_UNUSABLE, OPENVSWITCH";
    if (!unnamed.empty())
        expected += "kfree_skb: drop reasons of " + unnamed +
                    " shown as numbers (no name for them in the BTF of the kernel or of a loaded module)\n";
    return expected;
}

// ---- the kernel's paths --------------------------------------------------

inline const std::vector<std::string> transmit = {"ip_output", "ip_finish_output", "ip_finish_output2",
                                           "__dev_queue_xmit", "dev_hard_start_xmit"};
inline const std::vector<std::string> receive = {"napi_gro_receive", "gro_receive_skb", "__netif_receive_skb", "__netif_receive_skb_one_core",
                                          "ip_rcv", "ip_rcv_finish", "ip_local_deliver"};

// Where each probed function stands on a packet's way from socket to socket.
inline int path_rank(const std::string& f)
{
    static const std::vector<std::string> order = {
        "ip_output", "ip_finish_output", "ip_finish_output2", "__dev_queue_xmit", "dev_hard_start_xmit",
        "napi_gro_receive", "gro_receive_skb", "__netif_receive_skb", "__netif_receive_skb_one_core", "ip_rcv", "ip_rcv_finish",
        "udp_v4_early_demux", "ip_local_deliver", "ip_local_deliver_finish", "raw_rcv", "icmp_rcv", "udp_rcv", "tcp_v4_rcv",
        "__inet_lookup_listener", "tcp_v4_do_rcv", "tcp_rcv_established", "tcp_queue_rcv"};
    auto it = std::find(order.begin(), order.end(), f);
    return it == order.end() ? -1 : (int)(it - order.begin());
}

// A veth's and the loopback's hand-over: the sender's side, its link header built.
inline bool is_transmit(const std::string& f)
{
    return std::find(transmit.begin(), transmit.end(), f) != transmit.end() || f == "veth_xmit" ||
           f == "loopback_xmit";
}

inline bool is_table_walk(const std::string& f)
{
    return f == "ipt_do_table" || f == "ret_ipt_do_table" || f == "nft_do_chain" || f == "ret_nft_do_chain";
}

// The kernel's drop rows (skb:kfree_skb), held against the capture rather
// than a kprobe counter.
inline bool is_drop_row(const std::string& f) { return f == "kfree_skb"; }

inline bool from_root_end(const Lab& l, const Phase& ph, const Packet& p)
{
    return p.sip == l(ph, "HOST_A") || p.sip == l["OTHER_A"];
}

// The peer's legacy DROP rule stays from the iptables phase on; in the drops
// phase Debian's iptables (nft) drops SYNs to one port and a native nft
// chain datagrams to another.
inline bool dropped_by_rule(const Lab& l, const Phase& ph, const Packet& p)
{
    std::string port = std::to_string(p.b);
    if (p.proto == 17 && port == l["DROP_PORT"])
        return true;
    return ph.name == "drops" && p.sip == l["HOST_A"] &&
           ((p.proto == 6 && port == l["NFT_TCP_PORT"]) || (p.proto == 17 && port == l["NFT_UDP_PORT"]));
}

// Drops that timing decides, which the capture cannot foresee, each told
// with its own reason: a FIN that reaches a socket whose program closes
// before reading the end is freed unread at the close (QUEUE_PURGE from 6.12
// on; 6.1 gives no reason: no row); a pure ACK that arrives after a later
// segment (the two on different CPUs) fails TCP's timestamp check
// (TCP_RFC7323_PAWS, on 7.x TCP_RFC7323_PAWS_ACK).
inline bool may_be_dropped_by_timing(const Packet& p, const std::string& reason)
{
    if (p.proto != 6)
        return false;
    if (reason == "QUEUE_PURGE")
        return p.tcp_flags & 1;
    // A segment without data that reaches a socket already in TIME_WAIT
    // (an ACK or FIN that crossed the close): 6.1 frees it, handled, with
    // no reason at tcp_v4_rcv.
    if (reason == "NOT_SPECIFIED")
        return p.payload == 0;
    return reason.rfind("TCP_", 0) == 0 && p.tcp_flags == 0x10 && p.payload == 0;
}

// The payload sizes the receiver that did not read found kept for it.
inline std::set<unsigned> held_sizes(const Phase& ph)
{
    std::set<unsigned> out;
    for (const auto& line : lines_of(read_file(ph.dir + "/held.log")))
        if (line.rfind("datagram ", 0) == 0)
            out.insert((unsigned)atoi(line.c_str() + 9));
    return out;
}

// The pings here read replies on raw sockets: each reply is delivered, as a
// copy to the ping's raw socket, and then freed with NO_SOCKET because no
// ICMP socket of its own wants it.
inline bool delivered_to_raw_socket(const Packet& p) { return p.proto == 1 && p.a == 0; }

// The reason behind an ending of a packet the kernel freed with a reason yet
// had delivered: a segment freed unread at a close, a stale or duplicate one.
inline std::string delivered_drop_reason(const std::string& ending)
{
    static const std::string stale = "discarded: duplicate or stale (";
    if (ending == "delivered, freed unread at close")
        return "QUEUE_PURGE";
    if (ending == "delivered to a socket in TIME_WAIT")
        return "NOT_SPECIFIED";
    if (ending.rfind(stale, 0) == 0 && ending.back() == ')')
        return ending.substr(stale.size(), ending.size() - stale.size() - 1);
    return "";
}

// Why the kernel freed a captured packet with a reason, as its drop row must
// say: a packet the peer never got, and the echo replies; empty for any other.
inline std::string drop_reason_of(const Lab& l, const Phase& ph, const Packet& p)
{
    if (dropped_by_rule(l, ph, p))
        return "NETFILTER_DROP";
    // A delivered echo reply all the same (delivered_to_raw_socket): the
    // kernel frees it after the raw socket's copy, with this reason.
    if (delivered_to_raw_socket(p))
        return "NO_SOCKET";
    // A header ip_rcv rejects (IHL 4) is dropped there.
    if (p.rejected)
        return "IP_INHDR";
    if (p.sip != l(ph, "HOST_A") || p.dip != l(ph, "HOST_B") || p.fragment || p.first_fragment)
        return "";
    std::string port = std::to_string(p.b);
    if ((p.proto == 17 && port == l["CLOSED_PORT"]) || (p.proto == 6 && port == l["CLOSED_TCP_PORT"]))
        return "NO_SOCKET";
    if (ph.name == "drops" && p.proto == 17 && port == l["HOLD_PORT"] && !held_sizes(ph).count(p.c))
        return "SOCKET_RCVBUFF";
    return "";
}

inline std::vector<const Row*> rows_at(const Monitor& m, const std::string& key, const std::string& func)
{
    std::vector<const Row*> out;
    for (const auto& r : m.rows)
        if (r.key == key && (func.empty() || r.func == func))
            out.push_back(&r);
    return out;
}

// The rows of a key as a failed check shows them: time, CPU and place of
// each, so that a packet's path can be read from CI's output alone.
inline std::string rows_of_key(const Monitor& m, const std::string& key)
{
    std::string out = "\nrows of " + key + ":";
    for (const Row* r : rows_at(m, key, ""))
        out += "\n  " + std::to_string(r->time) + " cpu " + std::to_string(r->cpu) + " " + r->func + " " + r->dev +
               " " + r->other;
    return out;
}

// Whether the request overtook the handshake's last ACK, which another CPU
// sent at the same moment: then the request completes the handshake itself
// and the new socket's state machine queues it, with no tcp_rcv_established
// (the late ACK then meets a socket its process may have moved on).
inline bool completed_the_handshake(const Monitor& m, const std::string& key, const std::string& rcv_func)
{
    auto rows = rows_at(m, key, "");
    for (size_t i = 0; i < rows.size(); i++) {
        if (rows[i]->func != "tcp_queue_rcv")
            continue;
        for (size_t j = i; j-- > 0;) {
            if (rows[j]->cpu != rows[i]->cpu)
                continue;
            if (rows[j]->func == rcv_func && rows[j]->other == "sock:TCP_NEW_SYN_RECV")
                return true;
            break;
        }
    }
    return false;
}

// One connection to the listener on PORT, in the trace of M against the
// captured PACKETS: each segment at the transport's receive RCV with a
// socket state, the SYN's listener lookup (LOOKUP) finding the listener,
// request and reply at tcp_rcv_established and tcp_queue_rcv; no row of
// another port.
inline void expect_one_connect(const Monitor& m, const std::vector<Packet>& packets, unsigned port,
                               const std::string& rcv_func, const std::string& lookup_func)
{
    int syns = 0, data = 0;
    for (const auto& p : packets) {
        if (p.proto != 6 || p.family != (m.ipv6 ? 6 : 4))
            continue;
        if (p.a != port && p.b != port) {
            EXPECT_TRUE(rows_at(m, p.key, "").empty()) << "a row of another port: " << p.key;
            continue;
        }
        auto rcv = rows_at(m, p.key, rcv_func);
        ASSERT_FALSE(rcv.empty()) << p.key;
        for (const Row* r : rcv)
            EXPECT_EQ(r->other.rfind("sock:TCP_", 0), 0u) << r->line;
        if ((p.tcp_flags & 0x12) == 0x02) {
            syns++;
            // No socket holds a SYN yet; the lookup finds the listener.
            EXPECT_EQ(rcv[0]->other, "sock:TCP_MAX_STATES");
            auto lookup = rows_at(m, p.key, lookup_func);
            ASSERT_EQ(lookup.size(), 1u) << p.key;
            EXPECT_EQ(lookup[0]->other, "sock:TCP_LISTEN");
        }
        if (p.payload > 0) {
            data++;
            // The answer reaches a long-established client socket. (The
            // request may not: it shares its SEQ/ACK with the handshake's
            // last ACK, and on the GRO list path early demux looks both
            // up before the ACK has made the server's socket.)
            if (p.a == port) {
                EXPECT_TRUE(std::any_of(rcv.begin(), rcv.end(),
                                        [](const Row* r) { return r->other == "sock:TCP_ESTABLISHED"; }))
                    << p.key;
            }
            EXPECT_TRUE(!rows_at(m, p.key, "tcp_rcv_established").empty() ||
                        (p.b == port && completed_the_handshake(m, p.key, rcv_func)))
                << rows_of_key(m, p.key);
            EXPECT_FALSE(rows_at(m, p.key, "tcp_queue_rcv").empty()) << rows_of_key(m, p.key);
        }
    }
    EXPECT_EQ(syns, 1);
    EXPECT_GE(data, 2) << "request and reply";
}

// A drop row's "reason:R at: F", without the buffer's number that follows.
inline std::string drop_text(const std::string& other)
{
    std::string text = other.substr(0, other.find(" buf:"));
    return text.substr(0, text.find_last_not_of(' ') + 1);
}

// The rows of a -N trace by packet number.
inline std::map<std::string, std::vector<const Row*>> rows_by_packet(const Monitor& m)
{
    std::map<std::string, std::vector<const Row*>> out;
    for (const auto& r : m.rows)
        out[r.packet].push_back(&r);
    return out;
}

inline bool has_row(const std::vector<const Row*>& rows, const std::string& key, const std::string& dev,
                    const std::string& netns)
{
    return std::any_of(rows.begin(), rows.end(),
                       [&](const Row* r) { return r->key == key && r->dev == dev && r->netns == netns; });
}

// The windows in which a monitor lost samples ("# lost N samples on CPU C
// between T1 and T2"): rows of them may be missing from its trace alone, and
// several monitors on one emulated guest lose some now and then.
inline std::vector<std::pair<long long, long long>> loss_windows(const Monitor& m)
{
    std::vector<std::pair<long long, long long>> out;
    for (const auto& remark : m.remarks) {
        long long from = 0, to = 0;
        if (sscanf(remark.c_str(), "# lost %*s samples on CPU %*d between %lld and %lld", &from, &to) == 2)
            out.emplace_back(from, to);
    }
    return out;
}

inline bool in_loss_window(const std::vector<const Monitor*>& monitors, long long time)
{
    for (const Monitor* m : monitors)
        for (const auto& [from, to] : loss_windows(*m))
            if (time >= from && time <= to)
                return true;
    return false;
}

// The packets two traces of the same traffic leave out of a row-by-row
// comparison: every packet with a row in a window where either lost
// samples, all its rows in both traces. A window's ends are rows its
// monitor did write, and one kprobe hit lands microseconds apart in two
// traces, so a cut by time alone counts a row both have as in one alone.
// A packet is known by what a NAT leaves as it is: TCP's sequence and
// acknowledgement numbers, ICMP's id and sequence, UDP's length.
inline std::set<std::pair<uint32_t, uint32_t>> packets_near_losses(const std::vector<const Monitor*>& monitors)
{
    std::set<std::pair<uint32_t, uint32_t>> out;
    for (const Monitor* m : monitors)
        for (const auto& r : m->rows)
            if (in_loss_window(monitors, r.time))
                out.emplace(r.c, r.d);
    return out;
}

inline std::multiset<std::string> rows_without_time(const Monitor& m)
{
    std::multiset<std::string> out;
    for (const auto& r : m.rows)
        out.insert(r.without_time());
    return out;
}

inline std::map<std::string, int> key_counts(const Phase& ph)
{
    std::map<std::string, int> n;
    for (const auto& p : ph.packets)
        n[p.key]++;
    return n;
}

inline const std::string zero_mac = "00:00:00:00:00:00";

// The kernel function a driver hands received buffers to GRO through: an
// inline wrapper from 6.18 on, whose out-of-line part is probed then.
inline std::string gro_hand_off(const Phase& ph)
{
    return ph.hit("gro_receive_skb") > 0 ? "gro_receive_skb" : "napi_gro_receive";
}

// TCP drops the buffer's device once tcp_v4_rcv has taken the segment: the
// functions after it see none. Everywhere else a row without a device
// would be a capture that failed.
// Probes that write a row only for a listener whose accept queue is full:
// the kernel calls them for every SYN or last ACK.
inline bool only_when_full(const std::string& f)
{
    return f == "tcp_conn_request" || f == "tcp_v4_syn_recv_sock" || f == "tcp_v6_syn_recv_sock";
}

// Probes with a row for some calls alone: GRO tries to merge each segment
// of a flow it holds (a row for a merge made), segmentation and the TIME_WAIT
// and handshake checks run for flows and families no monitor of the phase
// traces.
inline bool only_sometimes(const std::string& f)
{
    return f == "skb_gro_receive" || f == "__skb_gso_segment" || f == "tcp_check_req" ||
           f == "tcp_timewait_state_process";
}

inline bool device_cleared(const std::string& f)
{
    return f == "tcp_v4_do_rcv" || f == "tcp_rcv_established" || f == "tcp_queue_rcv" || only_when_full(f);
}

// A ping to the phase's NEIGH_HOST, an address on the link nobody has, and
// the host-unreachable its sender is then told over the loopback device:
// the neighbour output held the one until ARP gave up, so neither reached
// a captured link.
inline bool never_on_the_wire(const Lab& l, const Phase& ph, const Row& r)
{
    std::string host = l(ph, "NEIGH_HOST");
    if (host.empty())
        return false;
    return r.dip == host || (r.key.rfind("1 ", 0) == 0 && r.sip == r.dip && r.a == 3 && r.b == 1);
}

// The SYN the OUTPUT rule of the truth phase answers with a reset: it never
// reaches a device, so no capture has it.
inline bool rejected_syn(const Lab& l, const Row& r)
{
    return r.key.rfind("6 ", 0) == 0 && r.sip == l["HOST_A"] && std::to_string(r.b) == l["REJECT_PORT"];
}
