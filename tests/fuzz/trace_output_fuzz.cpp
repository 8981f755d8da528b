// libFuzzer harness for the record decoder: arbitrary samples of any size,
// any filter for the three protocols (and an unknown one), names without a
// NUL. Every written line is checked against the layout a reader relies on,
// and against the row the documented printf formats give for the same
// record, so a byte out of place aborts the run with the input saved.
//
// Input: byte 0 chooses the protocol (low two bits: ICMP, TCP, UDP, or the
// byte itself as an unknown number), in bits 2 and 3 whether the host and
// the port filters are cleared to "any", in bit 4 an IPv6 trace (-6: ICMP
// is ICMPv6, the samples IPv6 records); bytes 1-4 are the host filter (an
// IPv6 host is them four times over), 5-6 the port filter, 7-10 the CPU
// number; the rest is the sample.
#include <arpa/inet.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "trace_layout.h"
#include "trace_output.h"

namespace {

constexpr size_t PREFIX = 11;

bool label_has(const data_t &r, const char *needle)
{
    size_t len = strnlen(r.func_info.func_name, sizeof(r.func_info.func_name));
    return memmem(r.func_info.func_name, len, needle, strlen(needle)) != nullptr;
}

bool neighbour_discovery(const data_t &r)
{
    return r.ip_data.protocol == PROTO_ICMPV6 && r.icmp_data.type >= 133 && r.icmp_data.type <= 137;
}

bool kept(const data6_t &full, const trace_filter_t &f)
{
    const data_t &r = full.common;
    if (r.ip_data.protocol != f.proto)
        return false;
    if (f.proto == PROTO_TCP && f.port && f.port != ntohs(r.tcp_data.source) &&
        f.port != ntohs(r.tcp_data.dst))
        return false;
    if (f.proto == PROTO_UDP && f.port && f.port != ntohs(r.udp_data.source) &&
        f.port != ntohs(r.udp_data.dst))
        return false;
    if (trace_ipv6)
        return !f.has_addr6 || (!neighbour_discovery(r) && (memcmp(f.addr6, full.saddr, 16) == 0 ||
                                                            memcmp(f.addr6, full.daddr, 16) == 0));
    return f.addr == 0 || f.addr == r.ip_data.saddr || f.addr == r.ip_data.daddr;
}

std::string mac_text(const uint8_t *m)
{
    char text[20];
    snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return text;
}

// A name as a row shows it: bytes a terminal would act on, blanks, bytes
// past ASCII and the backslash as "\xNN", the rest as they are.
std::string name_text(const char *name, size_t n)
{
    std::string out;
    for (size_t i = 0; i < strnlen(name, n); i++) {
        unsigned char b = static_cast<unsigned char>(name[i]);
        char text[8];
        snprintf(text, sizeof(text), b <= ' ' || b >= 0x7f || b == '\\' ? "\\x%02x" : "%c", b);
        out += text;
    }
    return out;
}
template <size_t N> std::string name_text(const char (&name)[N])
{
    return name_text(name, N);
}

std::string ip_text(uint32_t a)
{
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

// RFC 5952's text by the C library's, but where its first 96 bits are zero
// and the rest is not one group: the library dots that (an IPv4-compatible
// address, long deprecated), the RFC keeps it hex.
std::string ip6_text(const uint8_t *a)
{
    static const uint8_t zero[12] = {};
    if (memcmp(a, zero, 12) == 0 && (a[12] || a[13])) {
        char text[16];
        snprintf(text, sizeof(text), "::%x:%x", a[12] << 8 | a[13], a[14] << 8 | a[15]);
        return text;
    }
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, a, text, sizeof(text));
    return text;
}

// The row as the documented formats lay it out, names escaped.
std::string reference_row(const data6_t &full, int cpu, uint32_t proto)
{
    const data_t &r = full.common;
    std::string first, second, third;
    bool drop = false;
    std::string site;
    if (label_has(r, "ret_ipt_do_table") || label_has(r, "ret_ip6t_do_table") || label_has(r, "ret_nft_do_chain")) {
        first = nf_verdict_name(r.ipt_data.verdict).text;
        // An nft walk's NF_QUEUE: its queue, from the verdict's upper half.
        if (label_has(r, "ret_nft_do_chain") && (r.ipt_data.verdict & 0xff) == 3)
            third = "queue:" + std::to_string(r.ipt_data.verdict >> 16);
    } else if (label_has(r, "ipt_do_table") || label_has(r, "ip6t_do_table")) {
        first = nf_hook_name(r.ipt_data.hook).text;
        second = "table: " + name_text(r.ipt_data.table_name);
    } else if (label_has(r, "nft_do_chain")) {
        // The entry's verdict field: families and the marks of cut names.
        uint32_t names = r.ipt_data.verdict;
        first = nft_hook_name(r.ipt_data.hook, names >> NFT_HOOK_FAMILY_SHIFT & NFT_FAMILY_MASK).text;
        second = "table: " + std::string(nft_family_name(names >> NFT_TABLE_FAMILY_SHIFT & NFT_FAMILY_MASK).text) +
                 " " + name_text(r.ipt_data.table_name, NFT_NAME_MAX_LEN) +
                 (names & NFT_TABLE_NAME_CUT ? "~" : "");
        third = "chain: " + name_text(r.ipt_data.table_name + NFT_NAME_MAX_LEN, NFT_NAME_MAX_LEN) +
                (names & NFT_CHAIN_NAME_CUT ? "~" : "");
    } else if (label_has(r, "kfree_skb")) {
        // No kernel told reasons here: a number. The site is the kernel's
        // name up to its module's, or "unknown".
        site = name_text(r.ipt_data.table_name);
        site = site.substr(0, site.find("\\x20"));
        first = "reason:" + std::to_string(r.ipt_data.hook);
        second = "at: " + (site.empty() ? std::string("unknown") : site);
        drop = true;
    } else if (proto == PROTO_TCP && (label_has(r, "tcp_conn_request") || label_has(r, "syn_recv_sock"))) {
        first = tcp_state_name(r.sock_data.sk_state);
        second = "acceptq:full";
    } else if (proto == PROTO_TCP && (label_has(r, "__inet_lookup_listener") || label_has(r, "tcp_v4_rcv") ||
                                      label_has(r, "inet6_lookup_listener") || label_has(r, "tcp_v6_rcv") ||
                                      label_has(r, "tcp_timewait_state_process") || label_has(r, "tcp_check_req"))) {
        first = tcp_state_name(r.sock_data.sk_state);
    } else if (label_has(r, "skb_gro_receive")) {
        // The packet it went into by number: in a trace of one record the
        // only numbered buffer is its own.
        first = "gro:merged";
        uint64_t into;
        memcpy(&into, r.ipt_data.table_name, sizeof(into));
        if (into && into == r.skb)
            second = "into:1";
    }
    // A drop's or a raw socket's copy's buffer: each input is a trace of its
    // own, whose first buffer is 1.
    if (drop || label_has(r, "raw_rcv") || label_has(r, "rawv6_rcv"))
        third += (third.empty() ? "" : " ") + std::string("buf:1");
    if (drop && (r.ipt_data.verdict & DROP_FORWARDING_MASK) == DROP_FORWARDING_OFF &&
        site.substr(0, site.find('.')) == "ip_error")
        third += " fwd:off";
    // A drop of a group's datagram whose buffer was never copied.
    uint32_t daddr = ntohl(r.ip_data.daddr);
    bool group = trace_ipv6 ? full.daddr[0] == 0xff : (daddr >> 28) == 0xe || daddr == 0xffffffffu;
    if (drop && !(r.ipt_data.verdict & DROP_DATA_SHARED) && (group || (r.eth_data.dmac[0] & 1)))
        third += " sole";
    // A fragment after the first: no transport header, its offset in the
    // third sub-field.
    unsigned fragment = ntohs(r.ip_data.frag_off) & IP_FRAGMENT_OFFSET;
    if (fragment)
        third += (third.empty() ? "" : " ") + std::string("frag_off:") + std::to_string(fragment * 8);
    char line[1200] = {0};
    std::string label = name_text(r.func_info.func_name), dev = name_text(r.net_data.net_dev_name);
    std::string smac = mac_text(r.eth_data.smac), dmac = mac_text(r.eth_data.dmac);
    std::string sip = ip_text(r.ip_data.saddr), dip = ip_text(r.ip_data.daddr);
    if (trace_ipv6) {
        sip = ip6_text(full.saddr);
        dip = ip6_text(full.daddr);
    }
    int address_width = trace_ipv6 ? 40 : 18;
    int n = snprintf(line, sizeof(line), "%-20ld %-5d %-30s %-18s %-18s %-18s %-*s %-*s ",
                     long(r.func_info.rcv_ts), cpu, label.c_str(), dev.c_str(), smac.c_str(), dmac.c_str(),
                     address_width, sip.c_str(), address_width, dip.c_str());
    size_t used = size_t(n);
    if (used >= sizeof(line))
        return line;
    if (proto == PROTO_TCP)
        n = snprintf(line + used, sizeof(line) - used, "%-10hu %-10hu %-10u %-10u ",
                     ntohs(r.tcp_data.source), ntohs(r.tcp_data.dst), ntohl(r.tcp_data.seq),
                     ntohl(r.tcp_data.ack_seq));
    else if (proto == PROTO_UDP)
        n = snprintf(line + used, sizeof(line) - used, "%-10hu %-10hu %-10hu ", ntohs(r.udp_data.source),
                     ntohs(r.udp_data.dst),
                     uint16_t(fragment || (trace_ipv6 && ntohs(r.udp_data.len) < 8) ? 0 : ntohs(r.udp_data.len) - 8));
    else
        n = snprintf(line + used, sizeof(line) - used, "%-5hu %-5hu %-5hu %-5hu ", r.icmp_data.type,
                     r.icmp_data.code, ntohs(r.icmp_data.id), ntohs(r.icmp_data.seq));
    used += size_t(n);
    if (used >= sizeof(line))
        return line;
    snprintf(line + used, sizeof(line) - used, "%-15s %-10s %-10s\n", first.c_str(), second.c_str(), third.c_str());
    return line;
}

// Where the columns of a row start while no value is wider than its column.
void check_columns(const std::string &line, const data_t &r, int cpu, uint32_t proto)
{
    // An IPv6 trace's address columns are 22 bytes wider each.
    const size_t wider = trace_ipv6 ? 22 : 0;
    char cpu_text[16];
    if (snprintf(cpu_text, sizeof(cpu_text), "%d", cpu) > 5 || name_text(r.func_info.func_name).size() > 30 ||
        name_text(r.net_data.net_dev_name).size() > 18)
        return;
    // Columns that always hold a value: a blank before, none at the start.
    const size_t common[] = {21, 77, 96, 115, 134 + wider};
    static const size_t tcp[] = {153, 164, 175, 186};
    static const size_t udp[] = {153, 164, 175};
    static const size_t icmp[] = {153, 159, 165, 171};
    const size_t *own = proto == PROTO_TCP ? tcp : proto == PROTO_UDP ? udp : icmp;
    size_t own_count = proto == PROTO_UDP ? 3 : 4;
    size_t other = (proto == PROTO_TCP ? 197 : proto == PROTO_UDP ? 186 : 177) + 2 * wider;
    CHECK(line.size() > other + 26, line);
    CHECK(line[0] != ' ', line);
    for (size_t start : common)
        CHECK(line[start - 1] == ' ' && line[start] != ' ', line);
    for (size_t i = 0; i < own_count; i++)
        CHECK(line[own[i] + 2 * wider - 1] == ' ' && line[own[i] + 2 * wider] != ' ', line);
    // Label and device columns may be empty; their separators are fixed.
    CHECK(line[26] == ' ' && line[57] == ' ' && line[76] == ' ', line);
    CHECK(line[other - 1] == ' ', line);
    std::string first = line.substr(other, 15);
    CHECK(first == std::string(15, ' ') || first.rfind("verdict: ", 0) == 0 ||
              first.rfind("hook:", 0) == 0 || first.rfind("reason:", 0) == 0 ||
              (proto == PROTO_TCP && first.rfind("sock:", 0) == 0) || first.rfind("gro:merged", 0) == 0,
          line);
    // A first sub-field that fits leaves the second at its start.
    if (line[other + 15] == ' ') {
        std::string second = line.substr(other + 16, 10);
        CHECK(second == std::string(10, ' ') || second.rfind("table: ", 0) == 0 || second.rfind("at: ", 0) == 0 ||
                  second.rfind("acceptq:fu", 0) == 0 || second.rfind("into:", 0) == 0,
              line);
    }
}

int trace_memfd = -1;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    trace_memfd = memfd_create("trace", 0);
    if (trace_memfd < 0)
        abort();
    trace_fd = trace_memfd;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < PREFIX)
        return 0;
    trace_ipv6 = data[0] & 16;
    const uint32_t protocols[] = {trace_ipv6 ? uint32_t(PROTO_ICMPV6) : PROTO_ICMP, PROTO_TCP, PROTO_UDP};
    trace_filter_t filter{};
    filter.proto = (data[0] & 3) == 3 ? data[0] : protocols[data[0] & 3];
    memcpy(&filter.addr, data + 1, 4);
    memcpy(&filter.port, data + 5, 2);
    for (int i = 0; i < 4; i++)
        memcpy(filter.addr6 + 4 * i, data + 1, 4);
    filter.has_addr6 = trace_ipv6 && !(data[0] & 4);
    if (data[0] & 4 || trace_ipv6)
        filter.addr = 0;
    if (data[0] & 8)
        filter.port = 0;
    int cpu;
    memcpy(&cpu, data + 7, 4);
    trace_filter = filter;

    // The sample in a buffer of exactly its size: a read past it is a finding.
    size_t sample_size = size - PREFIX;
    uint8_t *sample = static_cast<uint8_t *>(malloc(sample_size ? sample_size : 1));
    memcpy(sample, data + PREFIX, sample_size);
    if (ftruncate(trace_memfd, 0) != 0 || lseek(trace_memfd, 0, SEEK_SET) != 0)
        abort();
    start_buffer_numbers();
    handle_trace_event(nullptr, cpu, sample, uint32_t(sample_size));

    char out[2048];
    ssize_t got = pread(trace_memfd, out, sizeof(out), 0);
    CHECK(got >= 0, std::string());
    std::string line(out, size_t(got));

    data6_t record{};
    size_t record_size = trace_ipv6 ? sizeof(data6_t) : sizeof(data_t);
    bool whole = sample_size >= record_size;
    if (whole)
        memcpy(&record, sample, record_size);
    free(sample);
    bool known = filter.proto == protocols[0] || filter.proto == PROTO_TCP || filter.proto == PROTO_UDP;
    if (!whole || !known || !kept(record, filter)) {
        CHECK(line.empty(), line);
        return 0;
    }
    CHECK(!line.empty(), line);
    CHECK(line.size() <= TRACE_LINE_MAX, line);
    // One whole line, whatever the names hold: nothing a terminal acts on.
    CHECK(line.back() == '\n', line);
    CHECK(std::none_of(line.begin(), line.end() - 1,
                       [](char b) { return static_cast<unsigned char>(b) < ' ' || static_cast<unsigned char>(b) >= 0x7f; }),
          line);
    check_columns(line, record.common, cpu, filter.proto);
    CHECK(line == reference_row(record, cpu, filter.proto), line);
    return 0;
}
