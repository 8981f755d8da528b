// Rendering of records into trace rows. Expected rows are written out in
// full: they are what a reader of the trace sees, byte for byte.
#include <arpa/inet.h>
#include <linux/netfilter.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "trace_layout.h"
#include "trace_output.h"

namespace {

const uint8_t MAC_A[6] = {0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f};
const uint8_t MAC_B[6] = {0xa0, 0xb1, 0xc2, 0xd3, 0xe4, 0xf5};

uint32_t addr(const char *text)
{
    uint32_t a;
    inet_pton(AF_INET, text, &a);
    return a;
}

data_t record(const char *label, uint8_t protocol)
{
    data_t r;
    memset(&r, 0, sizeof(r));
    r.func_info.rcv_ts = 123456789;
    memcpy(r.func_info.func_name, label, strnlen(label, sizeof(r.func_info.func_name)));
    strcpy(r.net_data.net_dev_name, "veth0");
    memcpy(r.eth_data.smac, MAC_A, 6);
    memcpy(r.eth_data.dmac, MAC_B, 6);
    r.ip_data.saddr = addr("198.18.0.1");
    r.ip_data.daddr = addr("198.18.0.2");
    r.ip_data.protocol = protocol;
    return r;
}

data_t tcp_record(const char *label, uint16_t sport, uint16_t dport)
{
    data_t r = record(label, PROTO_TCP);
    r.tcp_data.source = htons(sport);
    r.tcp_data.dst = htons(dport);
    r.tcp_data.seq = htonl(3000000000u);
    r.tcp_data.ack_seq = htonl(1);
    return r;
}

data_t udp_record(const char *label, uint16_t sport, uint16_t dport, uint16_t len)
{
    data_t r = record(label, PROTO_UDP);
    r.udp_data.source = htons(sport);
    r.udp_data.dst = htons(dport);
    r.udp_data.len = htons(len);
    return r;
}

data_t icmp_record(const char *label)
{
    data_t r = record(label, PROTO_ICMP);
    r.icmp_data.type = 8;
    r.icmp_data.code = 0;
    const uint8_t id[2] = {0x12, 0x34};
    memcpy(&r.icmp_data.id, id, 2);
    r.icmp_data.seq = htons(1);
    return r;
}

// The code that freed a drop row's packet, as the kernel names it into the
// record ("%ps": a module's function with " [module]" after it).
void dropped_at(data_t &r, const char *site)
{
    memset(r.ipt_data.table_name, 0, sizeof(r.ipt_data.table_name));
    strncpy(r.ipt_data.table_name, site, sizeof(r.ipt_data.table_name) - 1);
}

// The trace goes to an in-memory file; each test reads back what was written.
class TraceOutput : public ::testing::Test {
protected:
    void SetUp() override
    {
        fd = memfd_create("trace", 0);
        ASSERT_GE(fd, 0);
        trace_fd = fd;
        trace_filter = {0, PROTO_TCP, 0};
        trace_lost_errno = 0;
        track_sample_losses(4);
        start_buffer_numbers();
    }
    void TearDown() override
    {
        close(fd);
        trace_fd = 1;
        trace_ipv6 = false;
    }
    std::string written()
    {
        std::string out(65536, '\0');
        ssize_t n = pread(fd, out.data(), out.size(), 0);
        out.resize(n < 0 ? 0 : size_t(n));
        return out;
    }
    // Starts the file again from nothing, the trace's buffer numbers kept.
    void clear_keeping_numbers()
    {
        ASSERT_EQ(ftruncate(fd, 0), 0);
        ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    }
    // Starts the trace again from nothing, for the next case of a test.
    void clear()
    {
        ASSERT_EQ(ftruncate(fd, 0), 0);
        ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
        start_buffer_numbers();
    }
    void feed(const data_t &r, int cpu = 1)
    {
        handle_trace_event(nullptr, cpu, const_cast<data_t *>(&r), sizeof(r));
    }
    void feed6(const data6_t &r, int cpu = 1)
    {
        handle_trace_event(nullptr, cpu, const_cast<data6_t *>(&r), sizeof(r));
    }
    // The first OTHER_INFO sub-field of the single row written so far.
    std::string other_info(size_t column)
    {
        std::string row = written();
        return row.size() > column ? row.substr(column, row.find(' ', column) - column) : "";
    }
    int fd = -1;
};

TEST_F(TraceOutput, header_lines_name_the_columns_of_each_protocol)
{
    EXPECT_EQ(write_trace_header(PROTO_TCP), 213);
    EXPECT_EQ(written(),
              "TIME                 CPU   TRACE_INFO                     INTERFACE          SMAC       "
              "        DMAC               SIP                DIP                SPORT      DPORT      "
              "SEQ        ACK_SEQ    OTHER_INFO     \n");
    clear();
    EXPECT_EQ(write_trace_header(PROTO_UDP), 202);
    EXPECT_EQ(written(),
              "TIME                 CPU   TRACE_INFO                     INTERFACE          SMAC       "
              "        DMAC               SIP                DIP                SPORT      DPORT      "
              "LEN        OTHER_INFO     \n");
    clear();
    EXPECT_EQ(write_trace_header(PROTO_ICMP), 196);
    // "SEQUENCE" overflows its five columns and pushes OTHER_INFO to column 180.
    EXPECT_EQ(written(),
              "TIME                 CPU   TRACE_INFO                     INTERFACE          SMAC       "
              "        DMAC               SIP                DIP                TYPE  CODE  ID    "
              "SEQUENCE OTHER_INFO     \n");
    EXPECT_EQ(written().find("OTHER_INFO"), 180u);
}

TEST_F(TraceOutput, header_for_an_unknown_protocol_writes_nothing_and_yields_zero)
{
    EXPECT_EQ(write_trace_header(99), 0);
    EXPECT_EQ(written(), "");
}

TEST_F(TraceOutput, header_write_failure_is_returned_negative)
{
    trace_fd = -1;
    EXPECT_LT(write_trace_header(PROTO_TCP), 0);
}

TEST_F(TraceOutput, tcp_row_at_tcp_v4_rcv_shows_ports_sequence_numbers_and_socket_state)
{
    data_t r = tcp_record("tcp_v4_rcv", 80, 54321);
    r.sock_data.sk_state = 1;
    feed(r);
    EXPECT_EQ(written(),
              "123456789            1     tcp_v4_rcv                     veth0              "
              "0a:1b:2c:3d:4e:5f  a0:b1:c2:d3:e4:f5  198.18.0.1         198.18.0.2         80         "
              "54321      3000000000 1          sock:TCP_ESTABLISHED                      \n");
}

TEST_F(TraceOutput, tcp_row_at_ipt_do_table_shows_hook_and_table_shifting_the_rest)
{
    data_t r = tcp_record("ipt_do_table", 80, 54321);
    r.func_info.rcv_ts = 5;
    strcpy(r.net_data.net_dev_name, "lo");
    r.ipt_data.hook = 3;
    strcpy(r.ipt_data.table_name, "filter");
    feed(r, 0);
    EXPECT_EQ(written(),
              "5                    0     ipt_do_table                   lo                 "
              "0a:1b:2c:3d:4e:5f  a0:b1:c2:d3:e4:f5  198.18.0.1         198.18.0.2         80         "
              "54321      3000000000 1          hook:NF_INET_LOCAL_OUT table: filter           \n");
}

// What an nft walk's entry packs into its verdict field.
uint32_t nft_names(uint32_t hook_family, uint32_t table_family, uint32_t cuts = 0)
{
    return hook_family << NFT_HOOK_FAMILY_SHIFT | table_family << NFT_TABLE_FAMILY_SHIFT | cuts;
}

// An nft walk names its table and chain; both are names any user picks
// (nft takes quoted names), so what could steer a terminal or split a
// column is escaped, and each is cut to its half of the table field.
TEST_F(TraceOutput, udp_rows_of_an_nft_walk_show_hook_table_and_chain_then_the_verdict)
{
    trace_filter.proto = PROTO_UDP;
    data_t r = udp_record("nft_do_chain", 40000, 9999, 12);
    r.ipt_data.hook = 1;
    strcpy(r.ipt_data.table_name, "fw");
    strcpy(r.ipt_data.table_name + NFT_NAME_MAX_LEN, "in");
    r.ipt_data.verdict = nft_names(NFPROTO_IPV4, NFPROTO_INET);
    feed(r);
    EXPECT_EQ(written().substr(186), "hook:NF_INET_LOCAL_IN table: inet fw chain: in \n");

    clear();
    memcpy(r.ipt_data.table_name, "my \x1b[2Jtable\\123", 16); // fills its half: no NUL
    memcpy(r.ipt_data.table_name + NFT_NAME_MAX_LEN, "a\tb\n", 5);
    r.ip_data.frag_off = htons(185); // a later fragment at a forward hook
    feed(r);
    EXPECT_EQ(written().substr(186), "hook:NF_INET_LOCAL_IN table: inet my\\x20\\x1b[2Jtable\\x5c123 "
                                     "chain: a\\x09b\\x0a frag_off:1480\n");

    clear();
    r = udp_record("ret_nft_do_chain", 40000, 9999, 12);
    r.ipt_data.verdict = 0x00010002; // NF_STOLEN with EPERM: the walk freed the packet itself
    feed(r);
    EXPECT_EQ(written().substr(186), "verdict: NF_STOLEN                      \n");

    // NF_QUEUE to queue 7: the queue told; the legacy walk's rows stay as they were.
    clear();
    r.ipt_data.verdict = 0x00070003;
    feed(r);
    EXPECT_EQ(written().substr(186), "verdict: NF_QUEUE            queue:7   \n");
    clear();
    memcpy(r.func_info.func_name, "ret_ipt_do_table", sizeof("ret_ipt_do_table"));
    feed(r);
    EXPECT_EQ(written().substr(186), "verdict: NF_QUEUE                      \n");
}

// A hook number means what its family says (0 is NF_NETDEV_INGRESS at a
// netdev chain), a table is named as nft names it, and a name the kernel
// side had to cut says so.
TEST_F(TraceOutput, nft_rows_name_hook_and_table_by_their_families_and_mark_a_cut_name)
{
    struct nft_case {
        uint32_t hook, names;
        const char *table, *chain;
        const char *other_info;
    } cases[] = {
        {0, nft_names(NFPROTO_IPV4, NFPROTO_IPV4), "filter", "PREROUTING",
         "hook:NF_INET_PRE_ROUTING table: ip filter chain: PREROUTING\n"},
        {4, nft_names(NFPROTO_IPV6, NFPROTO_IPV6), "t", "c", "hook:NF_INET_POST_ROUTING table: ip6 t chain: c  \n"},
        {5, nft_names(NFPROTO_IPV4, NFPROTO_INET), "fw", "early", "hook:NF_INET_INGRESS table: inet fw chain: early\n"},
        {6, nft_names(NFPROTO_INET, NFPROTO_INET), "fw", "in", "hook:6          table: inet fw chain: in \n"},
        {0, nft_names(NFPROTO_NETDEV, NFPROTO_NETDEV), "nd", "in", "hook:NF_NETDEV_INGRESS table: netdev nd chain: in \n"},
        {1, nft_names(NFPROTO_NETDEV, NFPROTO_NETDEV), "nd", "out", "hook:NF_NETDEV_EGRESS table: netdev nd chain: out\n"},
        {2, nft_names(NFPROTO_NETDEV, NFPROTO_NETDEV), "nd", "x", "hook:2          table: netdev nd chain: x  \n"},
        {0, nft_names(NFPROTO_BRIDGE, NFPROTO_BRIDGE), "br", "pre", "hook:NF_BR_PRE_ROUTING table: bridge br chain: pre\n"},
        {5, nft_names(NFPROTO_BRIDGE, NFPROTO_BRIDGE), "br", "b", "hook:NF_BR_BROUTING table: bridge br chain: b  \n"},
        {2, nft_names(NFPROTO_ARP, NFPROTO_ARP), "a", "fwd", "hook:NF_ARP_FORWARD table: arp a chain: fwd\n"},
        {3, nft_names(NFPROTO_ARP, NFPROTO_ARP), "a", "x", "hook:3          table: arp a chain: x  \n"},
        {1, nft_names(42, 63), "fw", "in", "hook:1          table: 63 fw chain: in \n"},
        {1, nft_names(0, 0), "fw", "in", "hook:1          table: 0 fw chain: in \n"},
        // Both names of exactly 15 bytes are whole; longer ones end in the mark.
        {1, nft_names(NFPROTO_IPV4, NFPROTO_INET), "filter_long_nam", "filter_PREROUTI",
         "hook:NF_INET_LOCAL_IN table: inet filter_long_nam chain: filter_PREROUTI\n"},
        {0, nft_names(NFPROTO_IPV4, NFPROTO_IPV4, NFT_TABLE_NAME_CUT | NFT_CHAIN_NAME_CUT), "filter_long_nam",
         "filter_PREROUTI", "hook:NF_INET_PRE_ROUTING table: ip filter_long_nam~ chain: filter_PREROUTI~\n"},
        {0, nft_names(NFPROTO_IPV4, NFPROTO_IPV4, NFT_CHAIN_NAME_CUT), "t", "a b",
         "hook:NF_INET_PRE_ROUTING table: ip t chain: a\\x20b~\n"},
    };
    trace_filter.proto = PROTO_UDP;
    for (const nft_case &c : cases) {
        clear();
        data_t r = udp_record("nft_do_chain", 40000, 9999, 12);
        r.ipt_data.hook = c.hook;
        r.ipt_data.verdict = c.names;
        strcpy(r.ipt_data.table_name, c.table);
        strcpy(r.ipt_data.table_name + NFT_NAME_MAX_LEN, c.chain);
        feed(r);
        EXPECT_EQ(written().substr(186), c.other_info) << c.hook << " " << std::hex << c.names;
    }
    // The table walk of iptables keeps its words, whatever its verdict field holds.
    clear();
    data_t walk = udp_record("ipt_do_table", 40000, 9999, 12);
    walk.ipt_data.hook = 0;
    walk.ipt_data.verdict = nft_names(NFPROTO_NETDEV, NFPROTO_NETDEV, NFT_TABLE_NAME_CUT);
    strcpy(walk.ipt_data.table_name, "filter");
    feed(walk);
    EXPECT_EQ(written().substr(186), "hook:NF_INET_PRE_ROUTING table: filter           \n");
}

// A drop row names the kernel's reason and the function that freed the
// packet, from what the running kernel told at start-up; what it did not
// tell is shown as a number rather than guessed.
TEST_F(TraceOutput, tcp_rows_at_kfree_skb_show_the_drop_reason_and_the_function_that_dropped_it)
{
    kernel_names.drop_reasons = {{1, "NOT_SPECIFIED"}, {2, "NO_SOCKET"}, {4, "SOCKET_RCVBUFF"}, {0x20001, "SUBSYS_X"}};
    struct drop_case {
        uint32_t reason;
        const char *site;
        const char *other_info;
    } cases[] = {
        {2, "tcp_v4_rcv", "reason:NO_SOCKET at: tcp_v4_rcv "},
        {0x20001, "tcp_v4_rcv", "reason:SUBSYS_X at: tcp_v4_rcv "},
        {3, "tcp_v4_do_rcv", "reason:3        at: tcp_v4_do_rcv "},
        {6, "nft_do_chain [nf_tables]", "reason:6        at: nft_do_chain "},
        // No name is no address: a kernel address never reaches a row.
        {4, "", "reason:SOCKET_RCVBUFF at: unknown "},
        // The kernel's text, whatever its bytes, stays one escaped word.
        {2, "bad\tname\\x", "reason:NO_SOCKET at: bad\\x09name\\x5cx "},
        {2, "a_function_name_thirty_one_long [m]", "reason:NO_SOCKET at: a_function_name_thirty_one_long "},
    };
    for (const drop_case &c : cases) {
        clear();
        data_t r = tcp_record("kfree_skb", 40000, 8099);
        r.ipt_data.hook = c.reason;
        dropped_at(r, c.site);
        r.sock_data.sk_state = 10; // a socket state is no part of a drop row
        feed(r);
        EXPECT_EQ(written().substr(197), std::string(c.other_info) + "buf:1     \n") << c.reason << " " << c.site;
    }
    // A free without a reason (unread data at a socket's close, reassembled
    // fragments) is no packet lost: no row, of any protocol.
    for (uint32_t proto : {PROTO_TCP, PROTO_UDP, PROTO_ICMP}) {
        clear();
        trace_filter.proto = proto;
        data_t r = proto == PROTO_TCP ? tcp_record("kfree_skb", 1, 2)
                   : proto == PROTO_UDP ? udp_record("kfree_skb", 1, 2, 9)
                                        : icmp_record("kfree_skb");
        r.ipt_data.hook = 1;
        feed(r);
        EXPECT_EQ(written(), "") << proto;
        r.ipt_data.hook = 2;
        feed(r);
        EXPECT_NE(written(), "") << proto;
    }
    data_t walk = tcp_record("ipt_do_table", 1, 2); // hook 1 is no reason here
    walk.ipt_data.hook = 1;
    trace_filter.proto = PROTO_TCP;
    clear();
    feed(walk);
    EXPECT_NE(written(), "");
    kernel_names = {};
}

// Drop rows and a raw socket's copy show the buffer by its number in the
// trace, never its address: a raw copy dropped has its raw_rcv row's
// number, a copy no row saw a new one, and an address freed and used again
// is a new buffer.
TEST_F(TraceOutput, drop_and_raw_copy_rows_tell_buffers_apart_by_number)
{
    kernel_names.drop_reasons = {{2, "NO_SOCKET"}, {4, "SOCKET_RCVBUFF"}};
    trace_filter.proto = PROTO_ICMP;
    auto row = [&](const char *label, uint64_t skb) {
        data_t r = icmp_record(label);
        r.skb = skb;
        r.ipt_data.hook = 4;
        feed(r);
        std::string line = written();
        clear_keeping_numbers();
        return line.substr(177, line.size() - 178); // OTHER_INFO, without the line feed
    };
    const std::pair<const char *, uint64_t> seen[] = {
        {"raw_rcv", 0xffff888001},   {"kfree_skb", 0xffff888002}, {"kfree_skb", 0xffff888001},
        {"kfree_skb", 0xffff888001}, {"icmp_rcv", 0xffff888003},  {"raw_rcv", 0xffff888004},
        // A fragment taken into its datagram frees its buffer without a row;
        // a raw socket's copy made next at that address is a buffer anew.
        {"ip_local_deliver", 0xffff888006}, {"raw_rcv", 0xffff888006}};
    // icmp_rcv's row shows no number, yet its packet has one.
    const char *numbers[] = {"buf:1", "buf:2", "buf:1", "buf:3", "", "buf:5", "", "buf:7"};
    for (size_t i = 0; i < std::size(seen); i++) {
        std::string info = row(seen[i].first, seen[i].second);
        std::string last = info.substr(0, info.find_last_not_of(' ') + 1);
        last = last.substr(last.rfind(' ') + 1); // the last word: "" for a row with no OTHER_INFO
        EXPECT_EQ(last, *numbers[i] ? numbers[i] : "") << seen[i].first << " " << info;
        EXPECT_EQ(info.find("888"), std::string::npos) << info; // no address
    }
    kernel_names = {};
}

// A segment GRO merged names the packet it went into by that packet's
// number, never by its address; a packet never seen has no number to name.
TEST_F(TraceOutput, a_gro_merge_row_names_the_packet_it_went_into_by_number)
{
    trace_filter.proto = PROTO_TCP;
    auto row = [&](const char *label, uint64_t skb, uint64_t into) {
        data_t r = tcp_record(label, 40000, 80);
        r.skb = skb;
        memcpy(r.ipt_data.table_name, &into, sizeof(into));
        feed(r);
        std::string line = written();
        clear_keeping_numbers();
        return line.substr(0, line.size() - 1);
    };
    row("napi_gro_receive", 0xffff888001, 0);
    row("napi_gro_receive", 0xffff888002, 0);
    std::string merged = row("skb_gro_receive", 0xffff888002, 0xffff888001);
    EXPECT_EQ(merged.substr(merged.find("gro:")), "gro:merged      into:1               ") << merged;
    std::string stray = row("skb_gro_receive", 0xffff888003, 0xffff888009);
    EXPECT_EQ(stray.substr(stray.find("gro:")), "gro:merged                           ") << stray;
    EXPECT_EQ((merged + stray).find("888"), std::string::npos);
}

// 6.1 and 6.12 free with NOT_SPECIFIED where input routing fails, where
// TCP gets a segment for no local address, where a queue has no listener:
// drops at those places keep their row; every other such free is none.
TEST_F(TraceOutput, a_drop_without_a_reason_keeps_its_row_where_the_input_path_frees_what_it_could_not_deliver)
{
    kernel_names.drop_reasons = {{1, "NOT_SPECIFIED"}, {2, "NO_SOCKET"}};
    const struct {
        const char *site;
        const char *at; // the row's "at:", or null for no row
    } cases[] = {
        {"ip_error", "ip_error"},
        {"ip_rcv_finish_core.isra.0", "ip_rcv_finish_core.isra.0"},
        {"ip_route_input_slow.cold", "ip_route_input_slow.cold"},
        {"nf_hook_slow", "nf_hook_slow"},
        {"tcp_v4_rcv", "tcp_v4_rcv"},
        {"nf_queue.constprop.0", "nf_queue.constprop.0"},
        {"ip_errors", nullptr},         // a longer name is another function
        {"ip_forward_finish", nullptr},
        {"skb_release_data", nullptr},  // unread data at a close
        {"nft_do_chain [nf_tables]", nullptr},
        {"", nullptr},                  // no name to hold against the list
    };
    for (const auto &c : cases) {
        clear();
        data_t r = tcp_record("kfree_skb", 40000, 8099);
        r.ipt_data.hook = 1;
        dropped_at(r, c.site);
        feed(r);
        std::string expected = c.at ? "reason:NOT_SPECIFIED at: " + std::string(c.at) + " " : "";
        EXPECT_EQ(written().size() > 197 ? written().substr(197, expected.size()) : written(), expected) << c.site;
    }
    kernel_names = {};
}

TEST_F(TraceOutput, udp_row_shows_payload_length_zero_for_a_bare_header)
{
    trace_filter.proto = PROTO_UDP;
    data_t r = udp_record("udp_rcv", 5353, 9999, 8);
    r.func_info.rcv_ts = 42;
    strcpy(r.net_data.net_dev_name, "veth1");
    std::swap(r.ip_data.saddr, r.ip_data.daddr);
    feed(r, 3);
    EXPECT_EQ(written(),
              "42                   3     udp_rcv                        veth1              "
              "0a:1b:2c:3d:4e:5f  a0:b1:c2:d3:e4:f5  198.18.0.2         198.18.0.1         5353       "
              "9999       0                                               \n");
}

TEST_F(TraceOutput, udp_length_below_the_header_wraps_around)
{
    trace_filter.proto = PROTO_UDP;
    feed(udp_record("udp_rcv", 1, 2, 0));
    EXPECT_EQ(written().substr(175, 11), "65528      ");
}

// A fragment after the first carries no transport header: its columns are
// zero (LEN too) and the third OTHER_INFO sub-field says where it begins.
TEST_F(TraceOutput, a_later_fragment_shows_its_offset_instead_of_a_transport_header)
{
    trace_filter.proto = PROTO_UDP;
    data_t r = udp_record("ip_rcv", 0, 0, 0);
    r.ip_data.frag_off = htons(185); // 1480 bytes in, no more-fragments flag
    feed(r);
    EXPECT_EQ(written(),
              "123456789            1     ip_rcv                         veth0              "
              "0a:1b:2c:3d:4e:5f  a0:b1:c2:d3:e4:f5  198.18.0.1         198.18.0.2         0          "
              "0          0" + std::string(37, ' ') + "frag_off:1480\n");
    clear();
    trace_filter.proto = PROTO_ICMP;
    data_t icmp = record("ipt_do_table", PROTO_ICMP);
    icmp.ip_data.frag_off = htons(0x2000 | 370); // more fragments follow
    icmp.ipt_data.hook = 1;
    strcpy(icmp.ipt_data.table_name, "filter");
    feed(icmp);
    std::string row = written();
    EXPECT_EQ(row.substr(153, 24), "0     0     0     0     ");
    const std::string tail = "hook:NF_INET_LOCAL_IN table: filter frag_off:2960\n";
    ASSERT_GE(row.size(), tail.size());
    EXPECT_EQ(row.substr(row.size() - tail.size()), tail);
}

// The first fragment has its header; only the flags are set.
TEST_F(TraceOutput, a_first_fragment_is_a_packet_like_any_other)
{
    trace_filter.proto = PROTO_UDP;
    data_t r = udp_record("ip_rcv", 4242, 5301, 3008);
    r.ip_data.frag_off = htons(0x2000);
    feed(r);
    std::string row = written();
    EXPECT_EQ(row.substr(153, 33), "4242       5301       3000       ");
    EXPECT_EQ(row.find("frag_off"), std::string::npos) << row;
}

TEST_F(TraceOutput, icmp_row_shows_type_code_then_identifier_before_sequence)
{
    trace_filter.proto = PROTO_ICMP;
    data_t r = icmp_record("icmp_rcv");
    r.func_info.rcv_ts = 7;
    strcpy(r.net_data.net_dev_name, "veth1");
    feed(r);
    EXPECT_EQ(written(),
              "7                    1     icmp_rcv                       veth1              "
              "0a:1b:2c:3d:4e:5f  a0:b1:c2:d3:e4:f5  198.18.0.1         198.18.0.2         8     0     "
              "4660  1                                          \n");
}

TEST_F(TraceOutput, icmp_row_at_ret_ipt_do_table_shows_the_verdict)
{
    trace_filter.proto = PROTO_ICMP;
    data_t r = icmp_record("ret_ipt_do_table");
    r.func_info.rcv_ts = 7;
    strcpy(r.net_data.net_dev_name, "veth1");
    r.ipt_data.verdict = 1;
    feed(r);
    EXPECT_EQ(written(),
              "7                    1     ret_ipt_do_table               veth1              "
              "0a:1b:2c:3d:4e:5f  a0:b1:c2:d3:e4:f5  198.18.0.1         198.18.0.2         8     0     "
              "4660  1     verdict: NF_ACCEPT                      \n");
}

TEST_F(TraceOutput, longest_possible_row_is_written_whole)
{
    // Every value at its widest, names filling their arrays without a NUL:
    // the row stays under the line limit and no byte beyond an array is read.
    data_t r = tcp_record("", 65535, 65535);
    memset(r.func_info.func_name, 'A', sizeof(r.func_info.func_name));
    memset(r.net_data.net_dev_name, 'B', sizeof(r.net_data.net_dev_name));
    memset(r.ipt_data.table_name, 'T', sizeof(r.ipt_data.table_name));
    memcpy(r.func_info.func_name + 10, "ipt_do_table", 12);
    r.func_info.rcv_ts = ~0ull;
    r.ip_data.saddr = r.ip_data.daddr = 0xffffffff;
    r.tcp_data.seq = r.tcp_data.ack_seq = 0xffffffff;
    r.ipt_data.hook = 4;
    feed(r, -2147483647 - 1);
    EXPECT_EQ(written(),
              "-1                   -2147483648 AAAAAAAAAAipt_do_tableAAAAAAAAAA BBBBBBBBBBBBBBBB   "
              "0a:1b:2c:3d:4e:5f  a0:b1:c2:d3:e4:f5  255.255.255.255    255.255.255.255    65535      "
              "65535      4294967295 4294967295 hook:NF_INET_POST_ROUTING table: "
              "TTTTTTTTTTTTTTTTTTTTTTTTTTTTTTTT           \n");
    EXPECT_LE(written().size(), TRACE_LINE_MAX);
}

TEST_F(TraceOutput, a_row_that_does_not_fit_is_lost_whole_and_the_next_starts_its_own_line)
{
    // A file size limit cuts a write short, as a full file system does.
    data_t r = tcp_record("tcp_rcv_established", 1, 2);
    feed(r);
    const std::string row = written();
    ASSERT_EQ(row.size(), 235u);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    sighandler_t old_handler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved;
    limit.rlim_cur = row.size() + 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    feed(r); // 100 bytes would fit
    feed(r); // nothing fits
    std::string while_full = written();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(while_full, row);
    feed(r);
    EXPECT_EQ(written(), row + row);
    EXPECT_EQ(trace_lost_errno, 0) << "a row that did not fit ended the trace";
}

// A trace that cannot take rows any more is told to the loop, which ends
// the run; a pipe that cannot be synced is no such trace.
TEST_F(TraceOutput, a_trace_that_can_no_longer_be_written_is_lost_and_a_pipe_is_not)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    trace_fd = pipe_fds[1];
    feed(tcp_record("tcp_rcv_established", 1, 2));
    char row[300];
    EXPECT_EQ(read(pipe_fds[0], row, sizeof(row)), 235);
    EXPECT_EQ(trace_lost_errno, 0) << "fsync's EINVAL on a pipe ended the trace";

    sighandler_t old_handler = signal(SIGPIPE, SIG_IGN);
    close(pipe_fds[0]);
    feed(tcp_record("tcp_v4_rcv", 1, 2));
    signal(SIGPIPE, old_handler);
    EXPECT_EQ(trace_lost_errno, EPIPE);
    // The first cause is kept.
    close(pipe_fds[1]);
    feed(tcp_record("tcp_v4_rcv", 1, 2));
    EXPECT_EQ(trace_lost_errno, EPIPE);

    trace_lost_errno = 0;
    feed(tcp_record("tcp_v4_rcv", 1, 2));
    EXPECT_EQ(trace_lost_errno, EBADF);
}

// A loss is told where it happened: before the first row of its CPU after
// it, whether or not that sample's row is kept, with the times of that
// CPU's samples on either side; losses in a row are one line.
TEST_F(TraceOutput, lost_samples_are_told_in_the_trace_before_the_next_sample_of_their_cpu)
{
    auto sample = [](uint64_t time, uint16_t port) {
        data_t r = tcp_record("tcp_v4_rcv", port, 2);
        r.func_info.rcv_ts = time;
        r.skb = time; // a packet of its own
        return r;
    };
    trace_filter.port = 80;
    feed(sample(100, 80), 1);
    // The ring read past CPU 1's sample at 150: a loss after it filled the
    // ring before then. No CPU without a sample is bounded so.
    note_rings_read(150);
    note_rings_read(180);
    note_lost_samples(1, 3);
    note_lost_samples(1, 4);
    note_lost_samples(2, 9); // CPU 2 has given nothing yet
    feed(sample(200, 80), 0); // another CPU's sample does not end CPU 1's loss
    feed(sample(300, 81), 1); // filtered out, yet it ends the loss
    feed(sample(400, 80), 1);
    note_lost_samples(3, 1);
    note_lost_samples(1, 2); // lost after the sample at 400, whose ring was not read since
    note_lost_samples(-1, 5); // no such CPU: nothing to tell in the trace
    note_lost_samples(4, 5);
    // The marker run on the way out makes the kernel tell CPU 1's loss: it
    // is no row, and no sample that ends the loss's window.
    uint64_t marker = 850;
    queue_trace_event(nullptr, 1, &marker, sizeof(marker));
    handle_queued_trace_events();
    write_pending_sample_losses(900);
    std::vector<std::string> lines;
    std::string text = written();
    for (size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1)
        lines.push_back(text[pos] == '#' ? text.substr(pos, end - pos) : text.substr(pos, 37)); // a row to its label
    const std::vector<std::string> expected = {
        "100                  1     tcp_v4_rcv",
        "200                  0     tcp_v4_rcv",
        "# lost 7 samples on CPU 1 between 100 and 150",
        "400                  1     tcp_v4_rcv",
        "# lost 2 samples on CPU 1 between 400 and 900",
        "# lost 9 samples on CPU 2 between 0 and 900",
        "# lost 1 samples on CPU 3 between 0 and 900",
    };
    EXPECT_EQ(lines, expected) << text;
    clear();
    write_pending_sample_losses(1000);
    EXPECT_EQ(written(), "") << "a loss is told once";
}

// Probe runs the kernel skipped are told by the label the probe's rows
// carry: an entry's function, a return's program.
TEST_F(TraceOutput, skipped_probe_runs_are_told_by_the_label_of_the_probes_rows)
{
    EXPECT_STREQ(program_label("trace_ip6_input"), "ip6_input");
    EXPECT_STREQ(program_label("trace_ret_ipt_do_table"), "ret_ipt_do_table");
    EXPECT_STREQ(program_label("trace_kfree_skb"), "kfree_skb");
    EXPECT_EQ(program_label("tell_pending_losses"), nullptr) << "the marker makes no rows";
    EXPECT_EQ(program_label("trace_"), nullptr);
    write_skipped_runs_line(program_label("trace_ip6_input"), 3);
    EXPECT_EQ(written(), "# the kernel skipped 3 runs of ip6_input: another probe's program was running on its CPU\n");
}

// Names any user can choose reach root's terminal escaped; an ordinary
// name keeps its bytes and its column.
TEST_F(TraceOutput, names_from_the_kernel_are_written_with_unprintable_bytes_escaped)
{
    struct name_case {
        const char *what;
        std::string dev, table;
        std::string interface, table_text;
    };
    const name_case cases[] = {
        {"ordinary names", "veth0", "filter", "veth0", "table: filter"},
        {"a terminal title sequence", "\x1b]0;PWN\x07", "nat", "\\x1b]0;PWN\\x07", "table: nat"},
        {"a line feed and a blank", "a\nb c", "x\ny", "a\\x0ab\\x20c", "table: x\\x0ay"},
        {"a backslash, DEL and bytes past ASCII", "\\\x7f\xc3\xa9", "t\xff", "\\x5c\\x7f\\xc3\\xa9",
         "table: t\\xff"},
        {"names that fill their arrays", std::string(16, '\x01'), std::string(32, 'T'),
         [] {
             std::string s;
             for (int i = 0; i < 16; i++)
                 s += "\\x01";
             return s;
         }(),
         "table: " + std::string(32, 'T')},
    };
    for (const name_case &c : cases) {
        SCOPED_TRACE(c.what);
        clear();
        data_t r = tcp_record("ipt_do_table", 80, 54321);
        memset(r.net_data.net_dev_name, 0, sizeof(r.net_data.net_dev_name));
        memcpy(r.net_data.net_dev_name, c.dev.data(), c.dev.size());
        memcpy(r.ipt_data.table_name, c.table.data(), c.table.size());
        r.ipt_data.hook = 1;
        feed(r);
        std::string row = written();
        // INTERFACE is 18 wide at least; the SMAC column follows one blank on.
        std::string column = c.interface + std::string(c.interface.size() < 18 ? 18 - c.interface.size() : 0, ' ');
        EXPECT_EQ(row.substr(58, column.size() + 2), column + " 0");
        std::string tail = "hook:NF_INET_LOCAL_IN " + c.table_text;
        EXPECT_NE(row.find(tail), std::string::npos) << row;
        EXPECT_EQ(std::count(row.begin(), row.end(), '\n'), 1) << row;
        EXPECT_EQ(row.back(), '\n');
        EXPECT_TRUE(std::none_of(row.begin(), row.end() - 1,
                                 [](char b) { return (unsigned char)b < 0x20 || (unsigned char)b >= 0x7f; }))
            << row;
    }
}

// Each kind of row at its widest: every name escaped whole, every number
// at its widest. The row must be written whole, one line, within the limit
// (the scratch it is laid out in is that long).
TEST_F(TraceOutput, the_widest_escaped_rows_are_written_whole)
{
    std::string long_reason(60, '\x1b');
    kernel_names.drop_reasons = {{7, long_reason}};
    struct widest_case {
        const char *label;
        const char *expected_in_row; // what the kind's OTHER_INFO shows
    };
    const widest_case cases[] = {
        {"ipt_do_table", "hook:NF_INET_POST_ROUTING table: \\x1b"},
        {"nft_do_chain", "hook:NF_INET_POST_ROUTING table: bridge \\x1b"},
        {"kfree_skb", ""},
    };
    // The kernel's long names are cut (40 bytes, and the record's 32 with no
    // end), never the row.
    std::string cut_drop = "reason:";
    for (int i = 0; i < 40; i++)
        cut_drop += "\\x1b";
    cut_drop += " at: ";
    for (int i = 0; i < 32; i++)
        cut_drop += "\\xff";
    cut_drop += " ";
    for (const widest_case &c : cases) {
        data_t r = tcp_record("", 65535, 65535);
        memset(r.func_info.func_name, 0xff, sizeof(r.func_info.func_name));
        memcpy(r.func_info.func_name + 10, c.label, strlen(c.label));
        memset(r.net_data.net_dev_name, 0xff, sizeof(r.net_data.net_dev_name));
        memset(r.ipt_data.table_name, 0x1b, sizeof(r.ipt_data.table_name));
        r.func_info.rcv_ts = 1ull << 63;
        r.ip_data.saddr = r.ip_data.daddr = 0xffffffff;
        r.ip_data.frag_off = htons(0x1fff);
        r.tcp_data.seq = r.tcp_data.ack_seq = 0xffffffff;
        r.ipt_data.hook = 4;
        // nft's longest family word, both names cut.
        r.ipt_data.verdict = nft_names(NFPROTO_INET, NFPROTO_BRIDGE, NFT_TABLE_NAME_CUT | NFT_CHAIN_NAME_CUT);
        if (strcmp(c.label, "kfree_skb") == 0) {
            memset(r.ipt_data.table_name, 0xff, sizeof(r.ipt_data.table_name));
            r.ipt_data.hook = 7;
        }
        feed(r, -2147483647 - 1);
        std::string row = written();
        SCOPED_TRACE(c.label);
        EXPECT_LE(row.size(), TRACE_LINE_MAX);
        EXPECT_EQ(std::count(row.begin(), row.end(), '\n'), 1) << row;
        EXPECT_EQ(row.back(), '\n');
        EXPECT_NE(row.find(*c.expected_in_row ? c.expected_in_row : cut_drop), std::string::npos) << row;
        EXPECT_EQ(row.substr(row.size() - 15), "frag_off:65528\n");
        EXPECT_TRUE(std::none_of(row.begin(), row.end() - 1,
                                 [](char b) { return (unsigned char)b < 0x20 || (unsigned char)b >= 0x7f; }))
            << row;
        clear();
    }
    kernel_names = {};
}

TEST_F(TraceOutput, socket_state_names_cover_the_table_and_fall_back_to_max_states)
{
    const std::pair<uint8_t, const char *> cases[] = {
        {1, "sock:TCP_ESTABLISHED"},  {2, "sock:TCP_SYN_SENT"},  {3, "sock:TCP_SYN_RECV"},
        {4, "sock:TCP_FIN_WAIT1"},    {5, "sock:TCP_FIN_WAIT2"}, {6, "sock:TCP_TIME_WAIT"},
        {7, "sock:TCP_CLOSE"},        {8, "sock:TCP_CLOSE_WAIT"}, {9, "sock:TCP_LAST_ACK"},
        {10, "sock:TCP_LISTEN"},      {11, "sock:TCP_CLOSING"},  {12, "sock:TCP_NEW_SYN_RECV"},
        {0, "sock:TCP_MAX_STATES"},   {13, "sock:TCP_MAX_STATES"}, {255, "sock:TCP_MAX_STATES"},
    };
    for (auto [state, name] : cases)
        EXPECT_STREQ(tcp_state_name(state), name) << int(state);
}

// A number without a name is shown as the number, never as a made-up name.
TEST_F(TraceOutput, hook_and_verdict_names_compare_the_whole_value)
{
    const std::pair<uint32_t, const char *> hooks[] = {
        {0, "hook:NF_INET_PRE_ROUTING"}, {1, "hook:NF_INET_LOCAL_IN"},      {2, "hook:NF_INET_FORWARD"},
        {3, "hook:NF_INET_LOCAL_OUT"},   {4, "hook:NF_INET_POST_ROUTING"}, {5, "hook:5"},
        {7, "hook:7"},                   {0x100, "hook:256"},              {0xffffffff, "hook:4294967295"},
    };
    for (auto [hook, name] : hooks)
        EXPECT_STREQ(nf_hook_name(hook).text, name) << hook;
    const std::pair<uint32_t, const char *> verdicts[] = {
        {0, "verdict: NF_DROP"},  {1, "verdict: NF_ACCEPT"}, {2, "verdict: NF_STOLEN"}, {3, "verdict: NF_QUEUE"},
        {4, "verdict: NF_REPEAT"}, {5, "verdict: NF_STOP"},  {6, "verdict: 6"},         {7, "verdict: 7"},
        {0xff, "verdict: 255"},   {0x106, "verdict: 6"},
    };
    for (auto [verdict, name] : verdicts)
        EXPECT_STREQ(nf_verdict_name(verdict).text, name) << verdict;
    const std::pair<uint32_t, const char *> families[] = {
        {NFPROTO_INET, "inet"}, {NFPROTO_IPV4, "ip"},    {NFPROTO_ARP, "arp"}, {NFPROTO_NETDEV, "netdev"},
        {NFPROTO_BRIDGE, "bridge"}, {NFPROTO_IPV6, "ip6"}, {0, "0"},            {4, "4"},
        {12, "12"},             {255, "255"},
    };
    for (auto [family, name] : families)
        EXPECT_STREQ(nft_family_name(family).text, name) << family;
}

// The kernel's verdict is its low byte; a queue number or an errno rides above it.
TEST_F(TraceOutput, a_verdict_is_named_by_its_low_byte_as_the_kernel_reads_it)
{
    const std::pair<uint32_t, const char *> cases[] = {
        {0x00010003, "verdict: NF_QUEUE"}, // NF_QUEUE_NR(1)
        {0xffff0003, "verdict: NF_QUEUE"}, // queue 65535
        {0x00018003, "verdict: NF_QUEUE"}, // with NF_VERDICT_FLAG_QUEUE_BYPASS
        {0x00010000, "verdict: NF_DROP"},  // NF_DROP_ERR(-EPERM)
        {0x006f0000, "verdict: NF_DROP"},  // NF_DROP_ERR(-ECONNREFUSED)
        {0x00010002, "verdict: NF_STOLEN"}, // stolen with an errno
        {0x00010001, "verdict: NF_ACCEPT"},
        {0x00000100, "verdict: NF_DROP"},
        {0x00010005, "verdict: NF_STOP"},
        {0x00010004, "verdict: NF_REPEAT"},
        {0x00010007, "verdict: 7"},
    };
    for (auto [verdict, name] : cases)
        EXPECT_STREQ(nf_verdict_name(verdict).text, name) << std::hex << verdict;
}

TEST_F(TraceOutput, other_info_follows_the_label_and_the_protocol)
{
    data_t r = tcp_record("__inet_lookup_listener", 1, 2);
    r.sock_data.sk_state = 10;
    feed(r);
    EXPECT_EQ(other_info(197), "sock:TCP_LISTEN");

    // A label is matched anywhere inside it, not for equality.
    clear();
    r = tcp_record("x_tcp_v4_rcv_y", 1, 2);
    r.sock_data.sk_state = 13;
    feed(r);
    EXPECT_EQ(other_info(197), "sock:TCP_MAX_STATES");

    // A listener whose accept queue is full: the kernel side writes these
    // rows only then.
    for (const char *label : {"tcp_conn_request", "tcp_v4_syn_recv_sock", "tcp_v6_syn_recv_sock"}) {
        clear();
        r = tcp_record(label, 1, 2);
        r.sock_data.sk_state = 10;
        feed(r);
        EXPECT_EQ(written().substr(197, 29), "sock:TCP_LISTEN acceptq:full ") << label;
    }

    // Socket states belong to TCP rows only.
    clear();
    trace_filter.proto = PROTO_UDP;
    data_t u = udp_record("tcp_v4_rcv", 1, 2, 20);
    u.sock_data.sk_state = 1;
    feed(u);
    std::string row = written();
    ASSERT_EQ(row.size(), 224u);
    EXPECT_EQ(row.substr(186), std::string(37, ' ') + "\n");

    // Other labels leave all three sub-fields empty.
    clear();
    trace_filter.proto = PROTO_TCP;
    r = tcp_record("tcp_rcv_established", 1, 2);
    r.sock_data.sk_state = 1;
    feed(r);
    EXPECT_EQ(written().size(), 235u);
    EXPECT_EQ(written().substr(197), std::string(37, ' ') + "\n");
}

TEST_F(TraceOutput, verdict_wins_over_hook_for_the_return_of_the_table_walk)
{
    data_t r = tcp_record("ret_ipt_do_table", 1, 2);
    r.ipt_data.verdict = 0;
    r.ipt_data.hook = 1;
    strcpy(r.ipt_data.table_name, "filter");
    feed(r);
    std::string row = written();
    EXPECT_EQ(row.substr(197), "verdict: NF_DROP                      \n");
}

struct filter_case {
    const char *what;
    uint16_t filter_port;
    const char *filter_host;
    uint16_t sport, dport;
    bool kept;
};

TEST_F(TraceOutput, tcp_and_udp_rows_are_kept_by_either_port_and_either_host)
{
    const filter_case cases[] = {
        {"any port, any host", 0, nullptr, 8080, 443, true},
        {"source port", 80, nullptr, 80, 40000, true},
        {"destination port", 80, nullptr, 40000, 80, true},
        {"neither port", 80, nullptr, 8080, 443, false},
        {"port bytes swapped are another port", 20480, nullptr, 80, 80, false},
        {"source host", 0, "198.18.0.1", 1, 2, true},
        {"destination host", 0, "198.18.0.2", 1, 2, true},
        {"other host", 0, "198.18.0.3", 1, 2, false},
        {"right port, wrong host", 80, "198.18.0.3", 80, 80, false},
        {"right host, wrong port", 81, "198.18.0.1", 80, 80, false},
    };
    for (uint32_t proto : {PROTO_TCP, PROTO_UDP}) {
        for (const filter_case &c : cases) {
            clear();
            trace_filter = {c.filter_host ? addr(c.filter_host) : 0, proto, c.filter_port};
            feed(proto == PROTO_TCP ? tcp_record("tcp_v4_rcv", c.sport, c.dport)
                                    : udp_record("udp_rcv", c.sport, c.dport, 30));
            EXPECT_EQ(!written().empty(), c.kept) << c.what << ", protocol " << proto;
        }
    }
}

TEST_F(TraceOutput, records_of_another_protocol_are_dropped)
{
    trace_filter.proto = PROTO_TCP;
    feed(udp_record("udp_rcv", 1, 2, 30));
    trace_filter.proto = PROTO_UDP;
    feed(tcp_record("tcp_v4_rcv", 1, 2));
    trace_filter.proto = PROTO_ICMP;
    feed(tcp_record("tcp_v4_rcv", 1, 2));
    trace_filter.proto = 2; // no writer for it: everything is ignored
    feed(icmp_record("icmp_rcv"));
    EXPECT_EQ(written(), "");
}

TEST_F(TraceOutput, icmp_rows_are_kept_by_host_and_ignore_the_port)
{
    trace_filter = {addr("198.18.0.2"), PROTO_ICMP, 7};
    feed(icmp_record("icmp_rcv"));
    EXPECT_EQ(written().size(), 215u);
    clear();
    trace_filter = {addr("10.0.0.1"), PROTO_ICMP, 0};
    feed(icmp_record("icmp_rcv"));
    EXPECT_EQ(written(), "");
}

TEST_F(TraceOutput, a_sample_shorter_than_a_record_is_dropped)
{
    data_t r = tcp_record("tcp_rcv_established", 1, 2);
    // The record sits at the very end of a mapping, so any read past the
    // short sample's end would fault.
    long page = sysconf(_SC_PAGESIZE);
    char *map = static_cast<char *>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(map, MAP_FAILED);
    ASSERT_EQ(mprotect(map + page, page, PROT_NONE), 0);
    char *end = map + page;
    memcpy(end - (sizeof(r) - 1), &r, sizeof(r) - 1);
    handle_trace_event(nullptr, 0, end - (sizeof(r) - 1), sizeof(r) - 1);
    EXPECT_EQ(written(), "");
    handle_trace_event(nullptr, 0, end, 0);
    EXPECT_EQ(written(), "");
    // A whole record at an odd address is read all the same.
    memcpy(end - sizeof(r), &r, sizeof(r));
    handle_trace_event(nullptr, 0, end - sizeof(r), sizeof(r));
    EXPECT_EQ(written().size(), 235u);
    munmap(map, 2 * page);
}

TEST_F(TraceOutput, a_longer_sample_is_rendered_from_its_record)
{
    unsigned char sample[sizeof(data_t) + 8];
    memset(sample, 0xff, sizeof(sample));
    data_t r = tcp_record("tcp_rcv_established", 1, 2);
    memcpy(sample, &r, sizeof(r));
    handle_trace_event(nullptr, 0, sample, sizeof(sample));
    EXPECT_EQ(written().size(), 235u);
}

// An IPv6 record: the IPv4 record of the same packet, its addresses after it.
data6_t record6(const data_t &common, const char *saddr, const char *daddr)
{
    data6_t r{};
    r.common = common;
    r.common.ip_data.saddr = r.common.ip_data.daddr = 0;
    inet_pton(AF_INET6, saddr, r.saddr);
    inet_pton(AF_INET6, daddr, r.daddr);
    return r;
}

TEST_F(TraceOutput, ipv6_rows_have_the_ipv4_columns_with_wide_addresses_in_their_shortest_text)
{
    trace_ipv6 = true;
    EXPECT_EQ(write_trace_header(PROTO_TCP), 257);
    data_t tcp = tcp_record("tcp_v6_rcv", 80, 54321);
    tcp.sock_data.sk_state = 10;
    feed6(record6(tcp, "2001:db8:0:0:1:0:0:1", "2001:0db8:ffff:ffff:ffff:ffff:ffff:fffe"));
    EXPECT_EQ(written(),
              "TIME                 CPU   TRACE_INFO                     INTERFACE          SMAC       "
              "        DMAC               SIP6                                     DIP6          "
              "                           SPORT      DPORT      SEQ        ACK_SEQ    OTHER_INFO     \n"
              "123456789            1     tcp_v6_rcv                     veth0              "
              "0a:1b:2c:3d:4e:5f  a0:b1:c2:d3:e4:f5  2001:db8::1:0:0:1                        "
              "2001:db8:ffff:ffff:ffff:ffff:ffff:fffe   80         54321      3000000000 1          "
              "sock:TCP_LISTEN                      \n");
    // ICMPv6 has ICMP's columns; the listener lookup names its socket's state.
    clear();
    trace_filter = {0, PROTO_ICMPV6, 0};
    data_t echo = icmp_record("icmpv6_rcv");
    echo.ip_data.protocol = PROTO_ICMPV6;
    echo.icmp_data.type = 128;
    feed6(record6(echo, "fe80::1", "ff02::1"));
    const std::string echo_row = "123456789            1     icmpv6_rcv                     veth0              "
                                 "0a:1b:2c:3d:4e:5f  a0:b1:c2:d3:e4:f5  fe80::1                                  "
                                 "ff02::1                                  128   0     4660  1     ";
    EXPECT_EQ(written().substr(0, echo_row.size()), echo_row);
    clear();
    trace_filter = {0, PROTO_TCP, 0};
    data_t lookup = tcp_record("inet6_lookup_listener", 80, 54321);
    lookup.sock_data.sk_state = SK_STATE_NONE;
    feed6(record6(lookup, "::1", "::1"));
    EXPECT_NE(written().find(" sock:TCP_MAX_STATES "), std::string::npos) << written();
    // A sample shorter than an IPv6 record is no record.
    clear();
    feed(tcp);
    EXPECT_EQ(written(), "");
}

TEST_F(TraceOutput, an_ipv6_host_keeps_its_packets_but_never_neighbour_discovery)
{
    trace_ipv6 = true;
    trace_filter = {0, PROTO_ICMPV6, 0};
    trace_filter.has_addr6 = true;
    inet_pton(AF_INET6, "2001:db8::2", trace_filter.addr6);
    data_t icmp = icmp_record("icmpv6_rcv");
    icmp.ip_data.protocol = PROTO_ICMPV6;
    uint64_t skb = 0x1000;
    for (uint8_t type : {128, 129, 133, 134, 135, 136, 137, 1}) {
        icmp.icmp_data.type = type;
        icmp.skb = skb += 0x1000;
        icmp.func_info.rcv_ts += 1000;
        feed6(record6(icmp, "2001:db8::2", "ff02::1:ff00:1"));
        feed6(record6(icmp, "2001:db8::3", "2001:db8::1"));
    }
    std::vector<std::string> types;
    std::string text = written();
    for (size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1)
        types.push_back(text.substr(pos + 197, 4));
    EXPECT_EQ(types, (std::vector<std::string>{"128 ", "129 ", "1   "})) << text;
}

TEST_F(TraceOutput, an_ipv6_datagram_without_a_length_has_none_and_a_later_fragment_no_ports)
{
    trace_ipv6 = true;
    trace_filter = {0, PROTO_UDP, 0};
    data_t jumbo = udp_record("udpv6_rcv", 5301, 5302, 0);
    feed6(record6(jumbo, "2001:db8::1", "2001:db8::2"));
    EXPECT_EQ(written().substr(197, 33), "5301       5302       0          ") << written();
    clear();
    data_t later = udp_record("ipv6_rcv", 0, 0, 0);
    later.ip_data.frag_off = htons(185);
    feed6(record6(later, "2001:db8::1", "2001:db8::2"));
    EXPECT_NE(written().find("frag_off:1480"), std::string::npos) << written();
}

TEST(TraceText, mac_bytes_are_two_lower_case_hex_digits_each)
{
    const uint8_t mac[6] = {0x0a, 0x00, 0xff, 0xab, 0x10, 0x09};
    EXPECT_STREQ(mac_to_string(mac).text, "0a:00:ff:ab:10:09");
}

// RFC 5952's text: lowercase, no leading zeros, the longest run of two or
// more zero groups (the first of equal ones) as "::", an IPv4-mapped
// address dotted.
TEST(TraceText, ipv6_text_is_the_canonical_one)
{
    const std::pair<const char *, const char *> cases[] = {
        {"0:0:0:0:0:0:0:0", "::"},
        {"0:0:0:0:0:0:0:1", "::1"},
        {"1:0:0:0:0:0:0:0", "1::"},
        {"2001:0DB8:0000:0000:0001:0000:0000:0001", "2001:db8::1:0:0:1"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
        {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},
        {"0:2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8"},
        {"1:2:3:4:5:6:7:0", "1:2:3:4:5:6:7:0"},
        {"::ffff:c612:1", "::ffff:198.18.0.1"},
        {"::ffff:0:0", "::ffff:0.0.0.0"},
        {"::102:304", "::102:304"},
        {"64:ff9b::c612:1", "64:ff9b::c612:1"},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    };
    for (const auto &[given, canonical] : cases) {
        uint8_t a[16];
        ASSERT_EQ(inet_pton(AF_INET6, given, a), 1) << given;
        char text[64];
        size_t n = trace_layout::format_ipv6(text, a);
        EXPECT_EQ(std::string(text, n), canonical) << given;
        EXPECT_LE(n, trace_layout::IPV6_TEXT_MAX);
    }
}

TEST(TraceText, ipv4_text_matches_inet_ntop_for_any_address)
{
    std::mt19937 random(12345);
    const uint32_t fixed[] = {0, 0xffffffff, htonl(0x01020304), htonl(0x0a000001), htonl(0x64006400)};
    auto check = [](uint32_t a) {
        char expected[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &a, expected, sizeof(expected));
        EXPECT_STREQ(ipv4_to_string(a).text, expected);
    };
    for (uint32_t a : fixed)
        check(a);
    for (int i = 0; i < 10000; i++)
        check(random());
}

} // namespace

namespace {

// Rows of made-up packets: each step a label on a buffer at a time, with
// the addresses the packet had there.
struct packet_step {
    const char *label;
    uint64_t skb;
    uint64_t time;
    const char *saddr, *daddr;
};

data_t step_record(const packet_step &s)
{
    data_t r = tcp_record(s.label, 40000, 8080);
    r.skb = s.skb;
    r.func_info.rcv_ts = s.time;
    r.ip_data.saddr = addr(s.saddr);
    r.ip_data.daddr = addr(s.daddr);
    r.net_data.ns_id = 4026531840u;
    if (strcmp(s.label, "nft_do_chain") == 0) { // an inet table's chain at NF_INET_LOCAL_IN
        r.ipt_data.hook = 1;
        r.ipt_data.verdict = 1u << NFT_HOOK_FAMILY_SHIFT | 1u << NFT_TABLE_FAMILY_SHIFT;
    }
    return r;
}

} // namespace

// With -N every row says which packet it is and in which namespace; the
// number holds while the buffer's life goes on (forwarded, handed over by
// a veth, its addresses rewritten) and a buffer seen again where a packet
// starts is a new one.
TEST_F(TraceOutput, packet_numbers_follow_one_buffer_through_forwarding_and_hand_overs_and_not_past_its_life)
{
    trace_packet_columns = true;
    const char *c = "10.88.0.2", *p = "198.18.0.2", *h = "198.18.0.1";
    const packet_step steps[] = {
        {"ip_output", 1, 100, c, p},             // a container sends
        {"dev_hard_start_xmit", 1, 110, c, p},
        {"veth_xmit", 1, 120, c, p},             // its veth hands the buffer to the host side
        {"__netif_receive_skb", 1, 130, c, p},
        {"__netif_receive_skb_one_core", 1, 135, c, p},
        {"br_handle_frame", 1, 140, c, p},       // a bridge port...
        {"__netif_receive_skb", 1, 150, c, p},   // ...and the bridge: the same packet
        {"ip_rcv", 1, 160, c, p},
        {"ip_forward", 1, 170, c, p},
        {"ip_forward_finish", 1, 180, c, p},
        {"ip_output", 1, 190, c, p},             // forwarded: sent again, same packet
        {"ip_finish_output", 1, 200, h, p},      // masqueraded
        {"dev_hard_start_xmit", 1, 210, h, p},
        {"__netif_receive_skb", 1, 220, h, p},   // a NIC's buffer freed and reused: new
        {"ip_rcv", 1, 230, h, p},
        {"ip_output", 1, 240, h, p},             // sent with no hand-over before: new
        {"dev_hard_start_xmit", 1, 241, h, p},   // sent by a bridge device...
        {"br_forward", 1, 242, h, p},            // ...which forwards it out of a port
        {"__dev_queue_xmit", 1, 243, h, p},
        {"ip_finish_output", 1, 240 + 2000000000ull, h, p}, // two seconds later: new
        {"napi_gro_receive", 5, 3000000000ull, p, h},
        {"napi_gro_receive", 5, 3000000100ull, p, h}, // merged by GRO, freed and reused: new
        {"skb_gro_receive", 5, 3000000150ull, p, h},  // merged, its merge told
        {"tcp_v4_do_rcv", 5, 3000000160ull, p, h},    // the address's next packet, its first rows lost
        {"nft_do_chain", 5, 3000000200ull, p, h},
        {"nft_do_chain", 5, 3000000300ull, p, h}, // two base chains at one hook: the same
        {"kfree_skb", 5, 3000000400ull, p, h},    // a rule dropped it in the walk...
        {"ret_nft_do_chain", 5, 3000000500ull, p, h}, // ...whose return is still its
        {"ip_output", 5, 3000000600ull, p, h},    // the freed address's next packet
        {"ip_output", 7, 4000000000ull, h, p},
        {"ip_finish_output2", 7, 4000000100ull, h, p}, // held for a neighbour that never answers...
        {"kfree_skb", 7, 7000000100ull, h, p},    // ...and freed three seconds later: the same
        {"ip_output", 7, 7000000200ull, h, p},    // the freed address's next packet
        {"ip_finish_output2", 7, 7000000300ull, h, p}, // held for a neighbour that answers...
        {"__dev_queue_xmit", 7, 8500000300ull, h, p},  // ...a second and a half later: the same
        {"ip_output", 8, 9000000000ull, h, p},
        {"kfree_skb", 8, 12000000000ull, h, p},   // three seconds after a place that holds nothing: new
        {"ip_rcv", 9, 13000000000ull, p, h},
        {"ip_defrag", 9, 13000000100ull, p, h},   // the fragment that completes its datagram...
        {"ip_rcv_finish", 9, 13000000200ull, p, h}, // ...goes on as it: the same
        {"ip_defrag", 9, 13000000300ull, p, h},    // a fragment that did not complete it...
        {"ip_output", 9, 13000000400ull, h, p},    // ...and its buffer's next packet: new
    };
    const char *numbers[] = {"1", "1", "1", "1", "1", "1", "1", "1", "1", "1", "1", "1", "1", "2",
                             "2", "3", "3", "3", "3", "4", "5", "6", "6", "7", "8", "8", "8", "8",
                             "9", "10", "10", "10", "11", "11", "11", "12", "13", "14", "14", "14", "14", "15"};
    for (size_t i = 0; i < std::size(steps); i++)
        feed(step_record(steps[i]));
    std::string text = written();
    size_t row = 0;
    for (size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1, row++) {
        ASSERT_LT(row, std::size(numbers));
        std::string line = text.substr(pos, end - pos);
        EXPECT_EQ(line.substr(27, 9), std::string(numbers[row]) + std::string(9 - strlen(numbers[row]), ' '))
            << steps[row].label << " " << steps[row].time;
        EXPECT_EQ(line.substr(36, strlen(steps[row].label)), steps[row].label);
        EXPECT_EQ(line.substr(86, 12), "4026531840  "); // NETNS after INTERFACE
    }
    EXPECT_EQ(row, std::size(numbers));
    // A row with neither device nor socket knows no namespace.
    clear();
    data_t r = step_record(steps[0]);
    r.net_data.ns_id = 0;
    feed(r);
    EXPECT_EQ(written().substr(86, 12), "-           ");
    trace_packet_columns = false;
}

// A buffer segmented in software goes on as its first segment, under its
// number; the other segments are packets of their own.
TEST_F(TraceOutput, the_first_segment_of_a_buffer_segmented_in_software_keeps_its_packets_number)
{
    trace_packet_columns = true;
    const char *h = "198.18.0.1", *p = "198.18.0.2";
    const packet_step steps[] = {
        {"ip_output", 1, 100, h, p},          {"__dev_queue_xmit", 1, 110, h, p},
        {"__skb_gso_segment", 2, 120, h, p},  {"dev_hard_start_xmit", 2, 130, h, p},
        {"dev_hard_start_xmit", 3, 140, h, p}, {"__skb_gso_segment", 4, 150, h, p}, // of a buffer never seen
    };
    const char *numbers[] = {"1", "1", "1", "1", "2", "3"};
    for (const packet_step &s : steps) {
        data_t r = step_record(s);
        uint64_t segmented = s.skb == 4 ? 9 : 1;
        memcpy(r.ipt_data.table_name, &segmented, sizeof(segmented));
        feed(r);
    }
    std::vector<std::string> lines;
    std::string text = written();
    for (size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1)
        lines.push_back(text.substr(pos, end - pos));
    ASSERT_EQ(lines.size(), std::size(numbers));
    for (size_t i = 0; i < lines.size(); i++)
        EXPECT_EQ(lines[i].substr(27, 9), std::string(numbers[i]) + std::string(9 - strlen(numbers[i]), ' '))
            << lines[i];
    trace_packet_columns = false;
}

// -H keeps a packet whole once a row of it matched: its rows after the
// source was rewritten, and a reply's rows held back until its destination
// was put back to the filter's address. Packets that never match leave
// nothing, and what was held for them is forgotten at their drop.
TEST_F(TraceOutput, a_packet_that_matched_the_host_once_keeps_its_rows_on_both_sides_of_the_nat)
{
    trace_filter = {addr("10.88.0.2"), PROTO_TCP, 8080};
    const char *c = "10.88.0.2", *p = "198.18.0.2", *h = "198.18.0.1", *other = "10.88.0.3";
    const packet_step steps[] = {
        {"ip_forward", 1, 100, c, p},
        {"ip_finish_output", 1, 110, h, p},      // kept: the packet matched before
        {"__netif_receive_skb", 2, 120, p, h},   // the reply, not yet de-NATed: held
        {"ip_rcv", 2, 130, p, h},
        {"ip_rcv_finish", 2, 140, p, c},         // matches: the held rows come first
        {"ip_forward", 3, 150, other, p},        // another container's packet
        {"ip_finish_output", 3, 160, h, p},
        {"__netif_receive_skb", 4, 170, p, h},   // a reply for it, held...
        {"kfree_skb", 4, 180, p, h},             // ...and forgotten at its drop
        {"__netif_receive_skb", 4, 190, p, c},   // the address's next packet matches alone
    };
    for (const packet_step &s : steps)
        feed(step_record(s));
    std::vector<std::string> kept;
    std::string text = written();
    for (size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1)
        kept.push_back(text.substr(pos, 12) + text.substr(pos + 27, 30));
    const std::vector<std::string> expected = {
        "100         ip_forward                    ", "110         ip_finish_output              ",
        "120         __netif_receive_skb           ", "130         ip_rcv                        ",
        "140         ip_rcv_finish                 ", "190         __netif_receive_skb           ",
    };
    EXPECT_EQ(kept, expected) << text;
}

// A packet for elsewhere refused by input routing on a device that does
// not forward says so: that is the switch to turn, not a missing route.
// A group's datagram goes to each member but one as a copy: a drop of a
// buffer no other shares is of the datagram itself, which no other member
// got; one whose data another buffer shares is of one member's copy.
TEST_F(TraceOutput, a_group_datagrams_drop_says_when_no_other_member_got_a_copy)
{
    kernel_names.drop_reasons = {{4, "SOCKET_RCVBUFF"}};
    trace_filter.proto = PROTO_UDP;
    struct group_case {
        const char *daddr;
        bool group_mac, shared, sole;
    };
    const group_case cases[] = {
        {"239.1.2.3", false, false, true},      {"239.1.2.3", false, true, false},
        {"255.255.255.255", false, false, true}, {"198.18.0.255", true, false, true}, // a subnet's broadcast
        {"198.18.0.2", false, false, false},    // unicast: one socket, nothing to tell
    };
    for (const group_case &c : cases) {
        clear();
        data_t r = udp_record("kfree_skb", 40000, 5313, 29);
        r.ip_data.daddr = addr(c.daddr);
        if (c.group_mac)
            memset(r.eth_data.dmac, 0xff, 6);
        r.ipt_data.hook = 4;
        dropped_at(r, "__udp_queue_rcv_skb");
        r.ipt_data.verdict = DROP_FORWARDING_ON | (c.shared ? DROP_DATA_SHARED : 0);
        feed(r);
        std::string row = written();
        EXPECT_EQ(row.find(" buf:1 sole\n") != std::string::npos, c.sole) << row;
        EXPECT_EQ(row.find("sole") != std::string::npos, c.sole) << row;
    }
    kernel_names = {};
}

TEST_F(TraceOutput, a_drop_at_ip_error_on_a_device_that_does_not_forward_says_forwarding_is_off)
{
    // 6.1 gives no reason at ip_error, later kernels one of their own.
    kernel_names.drop_reasons = {{2, "NOT_SPECIFIED"}, {3, "IP_INADDRERRORS"}};
    trace_filter.proto = PROTO_UDP;
    struct drop_case {
        const char *site;
        uint32_t forwarding;
        bool told;
    };
    const drop_case cases[] = {
        {"ip_error", DROP_FORWARDING_OFF, true},        // forwarding off
        {"ip_error", DROP_FORWARDING_ON, false},        // no route
        {"ip_error", DROP_FORWARDING_UNKNOWN, false},   // no IPv4 on the device
        {"ip_errors", DROP_FORWARDING_OFF, false},      // another function
        {"tcp_v4_rcv", DROP_FORWARDING_OFF, false},
        {"", DROP_FORWARDING_OFF, false},               // no name: nothing to tell by
    };
    for (const drop_case &d : cases) {
        clear();
        data_t r = udp_record("kfree_skb", 40000, 5315, 29);
        r.ipt_data.hook = strcmp(d.site, "ip_error") == 0 ? 2 : 3;
        dropped_at(r, d.site);
        r.ipt_data.verdict = d.forwarding;
        feed(r);
        std::string row = written();
        ASSERT_FALSE(row.empty()) << d.site;
        EXPECT_EQ(row.find(" buf:1 fwd:off") != std::string::npos, d.told) << row;
        EXPECT_EQ(row.find("sole"), std::string::npos) << row; // no group's datagram
    }
    kernel_names = {};
}

// A poll reads the rings one CPU after another: its samples are taken in
// the order of their times, so a packet's rows from two CPUs keep their
// order, and the packet its number.
TEST_F(TraceOutput, a_polls_samples_are_taken_in_time_order_whatever_ring_gave_them_first)
{
    trace_packet_columns = true;
    const char *c = "10.88.0.2", *p = "198.18.0.2";
    data_t later = step_record({"tcp_queue_rcv", 9, 300, c, p});
    data_t earlier = step_record({"tcp_rcv_established", 9, 200, c, p});
    data_t first = step_record({"ip_rcv", 9, 100, c, p});
    queue_trace_event(nullptr, 2, &later, sizeof(later)); // the socket read on CPU 2, ring read first
    queue_trace_event(nullptr, 0, &first, sizeof(first));
    queue_trace_event(nullptr, 0, &earlier, sizeof(earlier));
    EXPECT_EQ(written(), "");
    handle_queued_trace_events();
    std::vector<std::string> rows;
    std::string text = written();
    for (size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1)
        rows.push_back(text.substr(pos, 61));
    const std::vector<std::string> expected = {
        "100                  0     1        ip_rcv                   ",
        "200                  0     1        tcp_rcv_established      ",
        "300                  2     1        tcp_queue_rcv            ",
    };
    EXPECT_EQ(rows, expected) << text;
    // A sample made while a poll ran waits for the next poll, which brings
    // an older one from a ring read before it was made: one packet still.
    clear_keeping_numbers();
    data_t read_late = step_record({"tcp_v4_rcv", 11, 1005, c, p});
    data_t made_later = step_record({"tcp_v4_do_rcv", 11, 1010, c, p});
    queue_trace_event(nullptr, 3, &made_later, sizeof(made_later));
    handle_queued_trace_events(1000);
    EXPECT_EQ(written(), "");
    queue_trace_event(nullptr, 1, &read_late, sizeof(read_late));
    handle_queued_trace_events(2000);
    text = written();
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    EXPECT_EQ(text.substr(0, 61), "1005                 1     2        tcp_v4_rcv               ") << text;
    EXPECT_EQ(text.substr(text.find('\n') + 1, 61), "1010                 3     2        tcp_v4_do_rcv            ")
        << text;
    trace_packet_columns = false;
}

// Rows held for packets that never matched and then left without a drop
// row (delivered) do not keep the pool: a later packet that matches after
// its rewrite still has its first rows.
TEST_F(TraceOutput, rows_held_for_packets_long_gone_make_room_for_a_reply_that_matches_late)
{
    trace_filter = {addr("10.88.0.2"), PROTO_TCP, 0};
    const char *p = "198.18.0.2", *h = "198.18.0.1", *c = "10.88.0.2";
    // Thousands of other packets, delivered: their rows held, never freed by a row.
    for (uint64_t skb = 1; skb <= 3000; skb++)
        feed(step_record({"ip_rcv", 0x1000 + skb, 1000 + skb, p, h}));
    EXPECT_EQ(written(), "");
    // A second later a reply comes, de-NATed to the container after its first row.
    feed(step_record({"ip_rcv", 0x9999, 2000000000ull, p, h}));
    feed(step_record({"ip_forward", 0x9999, 2000000100ull, p, c}));
    std::string text = written();
    EXPECT_NE(text.find(" ip_rcv "), std::string::npos) << text;
    EXPECT_NE(text.find(" ip_forward "), std::string::npos) << text;
}
