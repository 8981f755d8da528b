// The trace reader: rows read back as the monitor writes them, packets made
// into journeys with their endings and stage latencies, filters, JSON,
// bad input and --follow. The sample traces in tests/data/report are in the
// monitor's exact layout: a TCP and a UDP trace with a DROP rule on port
// 5304 at NF_INET_LOCAL_IN, a UDP trace through GRO, and an ICMP trace that
// ends in frames with repeated fields.
#include <arpa/inet.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "endings.h"
#include "grouping.h"
#include "line_reader.h"
#include "report_writer.h"
#include "stages.h"
#include "report_schema.h"
#include "run_report.h"
#include "trace_layout.h"
#include "trace_output.h"
#include "trace_rows.h"

namespace {

using json = nlohmann::json;

// ---- Rows as the monitor's renderer writes them, read back -----------------

data_t monitor_record(const char *label, uint8_t protocol)
{
    data_t r;
    memset(&r, 0, sizeof(r));
    r.func_info.rcv_ts = 987654321012;
    memcpy(r.func_info.func_name, label, strnlen(label, sizeof(r.func_info.func_name)));
    strcpy(r.net_data.net_dev_name, "veth1");
    const uint8_t smac[6] = {0x72, 0x5f, 0xec, 0xc7, 0x84, 0x0a}, dmac[6] = {1, 2, 3, 4, 5, 6};
    memcpy(r.eth_data.smac, smac, 6);
    memcpy(r.eth_data.dmac, dmac, 6);
    inet_pton(AF_INET, "198.18.0.1", &r.ip_data.saddr);
    inet_pton(AF_INET, "10.200.3.254", &r.ip_data.daddr);
    r.ip_data.protocol = protocol;
    return r;
}

// The lines the monitor wrote for these records, header first.
std::vector<std::string> render(uint32_t protocol, const std::vector<data_t> &records)
{
    int fd = memfd_create("trace", 0);
    trace_fd = fd;
    trace_filter = {0, protocol, 0};
    write_trace_header(protocol);
    for (const data_t &r : records)
        handle_trace_event(nullptr, 3, const_cast<data_t *>(&r), sizeof(r));
    lseek(fd, 0, SEEK_SET);
    std::string text(size_t(lseek(fd, 0, SEEK_END)), '\0');
    ssize_t got = pread(fd, text.data(), text.size(), 0);
    close(fd);
    text.resize(got > 0 ? size_t(got) : 0);
    trace_fd = 1;
    return lines_of(text);
}

void expect_common_fields(const parsed_row &row, const data_t &r)
{
    EXPECT_EQ(row.time, int64_t(r.func_info.rcv_ts));
    EXPECT_EQ(row.cpu, 3);
    EXPECT_EQ(row.function, std::string_view(r.func_info.func_name, strnlen(r.func_info.func_name, 32)));
    EXPECT_EQ(row.device, "veth1");
    EXPECT_EQ(row.smac, "72:5f:ec:c7:84:0a");
    EXPECT_EQ(row.dmac, "01:02:03:04:05:06");
    EXPECT_EQ(row.saddr, 0xc6120001u);
    EXPECT_EQ(row.daddr, 0x0ac803feu);
}

TEST(ReportRows, tcp_rows_of_the_monitor_read_back_field_for_field_even_when_names_shift_the_columns)
{
    data_t lookup = monitor_record("__inet_lookup_listener", PROTO_TCP);
    lookup.tcp_data.source = htons(65535), lookup.tcp_data.dst = htons(5302);
    lookup.tcp_data.seq = htonl(4294967295u), lookup.tcp_data.ack_seq = htonl(7);
    lookup.sock_data.sk_state = 12; // TCP_NEW_SYN_RECV: longer than its column
    data_t walk = lookup;
    memset(walk.func_info.func_name, 'x', sizeof(walk.func_info.func_name)); // 32 bytes, no NUL
    memcpy(walk.func_info.func_name, "ipt_do_table", 12);
    walk.ipt_data.hook = 9; // outside the table: its number
    memset(walk.ipt_data.table_name, 't', 31);
    std::vector<std::string> lines = render(PROTO_TCP, {lookup, walk});
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(header_protocol(lines[0]), 6u);

    parsed_row row;
    ASSERT_EQ(parse_row(lines[1], 6, row), nullptr) << lines[1];
    expect_common_fields(row, lookup);
    EXPECT_EQ(std::vector<uint32_t>(row.fields, row.fields + 4),
              (std::vector<uint32_t>{65535, 5302, 4294967295u, 7}));
    EXPECT_EQ(row.other_info, "sock:TCP_NEW_SYN_RECV");
    EXPECT_EQ(split_other_info(row.other_info).sock, "TCP_NEW_SYN_RECV");

    ASSERT_EQ(parse_row(lines[2], 6, row), nullptr) << lines[2];
    EXPECT_EQ(row.function.size(), 30u + 2u); // the whole array, past its column
    EXPECT_EQ(row.fields[2], 4294967295u);
    other_info_fields parts = split_other_info(row.other_info);
    EXPECT_EQ(parts.hook, "9");
    EXPECT_EQ(parts.table, std::string(31, 't'));
    EXPECT_TRUE(parts.unknown.empty());
}

TEST(ReportRows, udp_and_icmp_rows_of_the_monitor_read_back_field_for_field)
{
    data_t ret = monitor_record("ret_ipt_do_table", PROTO_UDP);
    ret.udp_data.source = htons(45001), ret.udp_data.dst = htons(5304), ret.udp_data.len = htons(8);
    ret.ipt_data.verdict = 4;
    std::vector<std::string> udp = render(PROTO_UDP, {ret});
    ASSERT_EQ(udp.size(), 2u);
    EXPECT_EQ(header_protocol(udp[0]), 17u);
    parsed_row row;
    ASSERT_EQ(parse_row(udp[1], 17, row), nullptr);
    expect_common_fields(row, ret);
    EXPECT_EQ(std::vector<uint32_t>(row.fields, row.fields + 3), (std::vector<uint32_t>{45001, 5304, 0}));
    EXPECT_EQ(split_other_info(row.other_info).verdict, "NF_REPEAT");

    data_t echo = monitor_record("icmp_rcv", PROTO_ICMP);
    echo.icmp_data.type = 8, echo.icmp_data.code = 255;
    echo.icmp_data.id = htons(65535), echo.icmp_data.seq = htons(1);
    std::vector<std::string> icmp = render(PROTO_ICMP, {echo});
    ASSERT_EQ(icmp.size(), 2u);
    EXPECT_EQ(header_protocol(icmp[0]), 1u);
    ASSERT_EQ(parse_row(icmp[1], 1, row), nullptr);
    expect_common_fields(row, echo);
    EXPECT_EQ(std::vector<uint32_t>(row.fields, row.fields + 4), (std::vector<uint32_t>{8, 255, 65535, 1}));
    EXPECT_EQ(row.other_info, "");
}

TEST(ReportRows, only_the_three_header_lines_are_headers)
{
    std::vector<std::string> lines = render(PROTO_UDP, {});
    std::string header = lines[0];
    EXPECT_EQ(header_protocol(header), 17u);
    EXPECT_EQ(header_protocol(header.substr(0, header.find("OTHER_INFO"))), 0u);
    EXPECT_EQ(header_protocol(header + " EXTRA"), 0u);
    EXPECT_EQ(header_protocol(""), 0u);
    std::string swapped = header;
    swapped.replace(swapped.find("SIP"), 3, "DIP");
    EXPECT_EQ(header_protocol(swapped), 0u);
    EXPECT_EQ(header_protocol(slurp(data_file("icmp.trace")).substr(0, 195)), 1u);
}

// What the taker sees of a cut line, names as texts (ids differ by the order texts come in).
std::string cut_line_text(const cut_line &line, const name_table &names)
{
    std::string text = std::to_string(int(line.kind)) + (line.too_long ? " long" : "") +
                       (line.unterminated ? " unterminated" : "") + " " + std::to_string(line.header);
    if (line.kind == line_kind::row)
        text += " " + std::to_string(line.row.line) + " " + std::to_string(line.row.time) + " " +
                std::string(names.text(line.row.function)) + " " + std::string(names.text(line.row.other_info));
    return text;
}

TEST(ReportRows, lines_cut_by_the_reading_thread_from_bytes_in_any_pieces_are_the_lines_of_the_whole)
{
    std::vector<std::string> lines = lines_of(slurp(data_file("tcp_iptables.trace")));
    std::string text = lines[0] + "\n" + lines[1] + "\r\n\n   \n" + lines[2] + "\n";
    // Lines at, just past and far past the longest a row may be, between rows.
    for (size_t length : {LINE_LEN_MAX, LINE_LEN_MAX + 1, 3 * LINE_LEN_MAX + 5, LINE_LEN_MAX - 1})
        text += std::string(length, 'y') + "\n" + lines[3] + "\n";
    text += lines[0] + "\n" + lines[4] + "\ngarbage\n" + lines[5].substr(0, 120); // joined by cat, cut short

    name_table whole_names;
    line_cutter whole;
    whole.names = &whole_names;
    std::vector<cut_line> expected;
    cut_lines(whole, text.data(), text.size(), true, expected);
    ASSERT_EQ(expected.size(), 17u);
    EXPECT_EQ(expected[1].kind, line_kind::row);
    EXPECT_EQ(expected[2].kind, line_kind::blank);
    EXPECT_TRUE(expected[7].too_long && expected[9].too_long);
    EXPECT_FALSE(expected[5].too_long || expected[11].too_long);
    EXPECT_EQ(expected[13].kind, line_kind::header);
    EXPECT_EQ(expected[15].kind, line_kind::unreadable);
    EXPECT_TRUE(expected.back().unterminated);

    // Written to a pipe in pieces of these sizes (0: each line without its
    // line feed, then a pause, so a read ends just before it), read in
    // chunks of these.
    for (size_t piece : {size_t(0), size_t(1), size_t(4093), size_t(LINE_LEN_MAX + 3), text.size()})
        for (size_t chunk : {size_t(4096), size_t(1) << 18}) {
            int ends[2];
            ASSERT_EQ(pipe(ends), 0);
            std::thread writer([&] {
                for (size_t at = 0, end; at < text.size(); at = end) {
                    end = piece ? std::min(at + piece, text.size()) : std::min(text.find('\n', at + 1), text.size());
                    if (write(ends[1], text.data() + at, end - at) < 0)
                        break;
                    if (!piece)
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                close(ends[1]);
            });
            name_table names;
            line_reader reader(ends[0], chunk, names);
            std::vector<std::string> got;
            line_batch batch;
            while (reader.next_batch(batch)) {
                EXPECT_EQ(batch.error, 0);
                for (const cut_line &line : batch.lines)
                    got.push_back(cut_line_text(line, names));
            }
            writer.join();
            close(ends[0]);
            ASSERT_EQ(got.size(), expected.size()) << "pieces of " << piece << ", chunks of " << chunk;
            for (size_t i = 0; i < got.size(); i++)
                EXPECT_EQ(got[i], cut_line_text(expected[i], whole_names)) << "line " << i + 1 << ", pieces of " << piece;
        }

    // A first line that is no header is the end of the input: nothing after it is read.
    name_table names;
    line_cutter refused;
    refused.names = &names;
    std::vector<cut_line> cut;
    std::string no_trace = "garbage\n" + text;
    EXPECT_EQ(cut_lines(refused, no_trace.data(), no_trace.size(), false, cut), no_trace.size());
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].kind, line_kind::no_header);
}

// The reader goes before the input's end: its thread ends rather than wait
// on a full queue or for more input, and the reader is joined.
TEST(ReportRows, a_reader_left_before_the_end_of_its_input_ends_its_thread)
{
    alarm(30); // a thread never ended hangs the join: killed, not waited for
    std::string text = slurp(data_file("tcp_iptables.trace"));
    std::string dir = temp_dir(), file = dir + "/long.trace";
    {
        std::ofstream out(file, std::ios::binary);
        for (int i = 0; i < 100; i++) // far more batches of 4096 bytes than are cut ahead
            out << text;
    }
    int fd = open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    {
        name_table names;
        line_reader reader(fd, 4096, names);
        line_batch batch;
        ASSERT_TRUE(reader.next_batch(batch));
        EXPECT_FALSE(batch.last);
        usleep(100000); // time for the thread to fill its queue
    }
    close(fd);

    // A first line that is no header, its pipe left open: nothing more is read.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::string no_trace = "garbage\n" + text;
    ASSERT_EQ(write(ends[1], no_trace.data(), no_trace.size()), ssize_t(no_trace.size()));
    {
        name_table names;
        line_reader reader(ends[0], 4096, names);
        std::vector<cut_line> cut;
        line_batch batch;
        while (reader.next_batch(batch))
            cut.insert(cut.end(), batch.lines.begin(), batch.lines.end());
        ASSERT_EQ(cut.size(), 1u);
        EXPECT_EQ(cut[0].kind, line_kind::no_header);
    }
    close(ends[0]), close(ends[1]);
    std::filesystem::remove_all(dir);
    alarm(0);
}

TEST(ReportRows, an_unreadable_row_names_its_first_bad_column)
{
    std::string good = lines_of(slurp(data_file("udp_gro.trace")))[1];
    parsed_row row;
    ASSERT_EQ(parse_row(good, 17, row), nullptr);
    std::string bad_ip = good;
    bad_ip.replace(good.find("198.18.0.1"), 10, "198.18.0.x");
    EXPECT_STREQ(parse_row(bad_ip, 17, row), "SIP");
    EXPECT_STREQ(parse_row("x" + good.substr(1), 17, row), "TIME");
    EXPECT_STREQ(parse_row(good.substr(0, 153), 17, row), "SPORT");
    std::string big_port = good;
    big_port.replace(153, 5, "70000");
    EXPECT_STREQ(parse_row(big_port, 17, row), "SPORT");
    EXPECT_STREQ(parse_row(good.substr(0, 164), 17, row), "DPORT");
    EXPECT_STREQ(parse_row(good.substr(0, 175), 17, row), "LEN");
    // Cut inside OTHER_INFO: the row is whole up to there.
    EXPECT_EQ(parse_row(good.substr(0, 190), 17, row), nullptr);
}

// An IPv6 trace's header tells its family; its rows read back with their
// 16-byte addresses, with and without -N's columns, from any text inet_pton
// takes, and are shown in RFC 5952's form. A row of the other family, or an
// address that does not parse, is unreadable at its address column.
TEST(ReportRows, ipv6_rows_read_back_under_sip6_and_dip6_and_a_row_of_the_other_family_is_unreadable)
{
    std::vector<std::string> lines = lines_of(slurp(data_file("ipv6.trace")));
    const uint32_t icmp6 = 58 | IPV6_ADDRESSES;
    EXPECT_EQ(header_protocol(lines[0]), icmp6);
    std::string half = lines[0];
    half.replace(half.find("DIP6 "), 5, "DIP  ");
    EXPECT_EQ(header_protocol(half), 0u);
    std::string v4_header = lines_of(slurp(data_file("icmp.trace")))[0];
    EXPECT_EQ(header_protocol(v4_header), 1u);

    parsed_row row;
    ASSERT_EQ(parse_row(lines[1], icmp6, row), nullptr);
    EXPECT_TRUE(row.ipv6);
    EXPECT_EQ(row.function, "ip6_output");
    EXPECT_EQ(row.sip, "fd00:1::1");
    const uint8_t fd00_1__2[16] = {0xfd, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    EXPECT_EQ(memcmp(row.daddr6, fd00_1__2, 16), 0);
    EXPECT_EQ(row.fields[0], 128u);
    EXPECT_EQ(row.fields[2], 4660u);

    // Any text of the address reads as the same 16 bytes and shows canonical.
    std::string long_text = lines[1];
    long_text.replace(long_text.find("fd00:1::2"), 26, "FD00:0001:0000:0:0:0:0:0002");
    ASSERT_EQ(parse_row(long_text, icmp6, row), nullptr);
    EXPECT_EQ(memcmp(row.daddr6, fd00_1__2, 16), 0);
    ip_address shown;
    for (auto [text, canonical] : {std::pair{"FD00:0001:0000:0:0:0:0:0002", "fd00:1::2"},
                                   {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"}, {"0:0:0:0:0:ffff:c612:1", "::ffff:198.18.0.1"},
                                   {"198.18.0.1", "198.18.0.1"}}) {
        ASSERT_TRUE(parse_address(text, shown)) << text;
        EXPECT_EQ(address_text(shown), canonical);
    }
    for (const char *bad : {"fd00::1::2", "fd00:1::2%eth0", "fd00:1:2:3:4:5:6:7:8", "198.18.0.256", ""})
        EXPECT_FALSE(parse_address(bad, shown)) << bad;

    std::string bad_source = lines[1];
    bad_source.replace(bad_source.find("fd00:1::1"), 9, "fd00::1::");
    EXPECT_STREQ(parse_row(bad_source, icmp6, row), "SIP6");
    std::string bad_destination = lines[1];
    bad_destination.replace(bad_destination.find("fd00:1::2"), 9, "fd00:1::g");
    EXPECT_STREQ(parse_row(bad_destination, icmp6, row), "DIP6");
    // Each family's rows under the other's header.
    std::string v4_row = lines_of(slurp(data_file("icmp.trace")))[1];
    EXPECT_STREQ(parse_row(v4_row, icmp6, row), "SIP6");
    EXPECT_STREQ(parse_row(lines[1], 1, row), "SIP");

    // -N's columns: PACKET after CPU, NETNS after INTERFACE.
    std::string numbered_header = lines[0];
    numbered_header.insert(numbered_header.find("INTERFACE") + 19, "NETNS       ");
    numbered_header.insert(numbered_header.find("TRACE_INFO"), "PACKET   ");
    EXPECT_EQ(header_protocol(numbered_header), icmp6 | PACKET_COLUMNS);
    std::string numbered = lines[1];
    numbered.insert(77, "4026531840  ");
    numbered.insert(27, "7        ");
    ASSERT_EQ(parse_row(numbered, icmp6 | PACKET_COLUMNS, row), nullptr) << numbered;
    EXPECT_EQ(row.packet, 7u);
    EXPECT_EQ(row.netns, 4026531840u);
    EXPECT_EQ(row.sip, "fd00:1::1");
    EXPECT_EQ(row.fields[3], 1u);
}

// Rows are read digit by digit where the values are plain; values past
// that (19 digits, a sign, leading zeros, a bound of their type) are read
// exactly as before, or refused by their column.
TEST(ReportRows, numbers_at_their_bounds_are_read_exactly_or_refused_by_their_column)
{
    std::string good = lines_of(slurp(data_file("tcp_iptables.trace")))[1];
    auto with = [&](size_t at, size_t length, const std::string &value) {
        return std::string(good).replace(at, length, value);
    };
    parsed_row row;
    ASSERT_EQ(parse_row(with(0, 19, "9223372036854775807"), 6, row), nullptr);
    EXPECT_EQ(row.time, INT64_MAX);
    EXPECT_STREQ(parse_row(with(0, 19, "9223372036854775808"), 6, row), "TIME");
    ASSERT_EQ(parse_row(with(0, 10, "-5        "), 6, row), nullptr);
    EXPECT_EQ(row.time, -5);
    std::string max_cpu = with(21, 5, "2147483647"); // the row's texts point into it
    ASSERT_EQ(parse_row(max_cpu, 6, row), nullptr);
    EXPECT_EQ(row.cpu, INT32_MAX);
    EXPECT_EQ(row.function, "ipt_do_table");
    EXPECT_STREQ(parse_row(with(21, 5, "2147483648"), 6, row), "CPU");
    ASSERT_EQ(parse_row(with(153, 10, "0000032812"), 6, row), nullptr);
    EXPECT_EQ(row.fields[0], 32812u);
    ASSERT_EQ(parse_row(with(175, 10, "4294967295"), 6, row), nullptr);
    EXPECT_EQ(row.fields[2], UINT32_MAX);
    EXPECT_STREQ(parse_row(with(175, 10, "4294967296"), 6, row), "SEQ");
    std::string zeros_ip = with(115, 15, "198.018.000.001");
    ASSERT_EQ(parse_row(zeros_ip, 6, row), nullptr);
    EXPECT_EQ(row.saddr, 0xc6120001u);
    EXPECT_EQ(row.sip, "198.018.000.001");
    EXPECT_STREQ(parse_row(with(115, 15, "198.18.0.0001  "), 6, row), "SIP");
}

TEST(ReportRows, other_info_splits_into_known_parts_and_keeps_texts_it_does_not_know)
{
    other_info_fields walk = split_other_info("hook:NF_INET_LOCAL_IN table: filter");
    EXPECT_EQ(walk.hook, "NF_INET_LOCAL_IN");
    EXPECT_EQ(walk.table, "filter");
    EXPECT_EQ(split_other_info("verdict: NF_DROP").verdict, "NF_DROP");
    other_info_fields queued = split_other_info("verdict: NF_QUEUE            queue:7 frag_off:8");
    EXPECT_EQ(queued.verdict, "NF_QUEUE");
    EXPECT_EQ(queued.queue, "7");
    EXPECT_EQ(queued.unknown, "frag_off:8");
    other_info_fields fragment = split_other_info("frag_off:1480");
    EXPECT_EQ(fragment.unknown, "frag_off:1480");
    EXPECT_TRUE(fragment.hook.empty() && fragment.verdict.empty() && fragment.sock.empty());
    EXPECT_EQ(split_other_info("sock:TCP_LISTEN frag_off:1480").unknown, "frag_off:1480");
    other_info_fields chain = split_other_info("hook:NF_INET_LOCAL_IN table: fw  chain: in frag_off:8");
    EXPECT_EQ(chain.table, "fw");
    EXPECT_EQ(chain.chain, "in");
    EXPECT_EQ(chain.unknown, "frag_off:8");
    // nft's tables by family and name, a cut name with its mark.
    other_info_fields nft = split_other_info("hook:NF_NETDEV_INGRESS table: netdev fw chain: filter_PREROUTI~ frag_off:8");
    EXPECT_EQ(nft.hook, "NF_NETDEV_INGRESS");
    EXPECT_EQ(nft.table, "netdev fw");
    EXPECT_EQ(nft.chain, "filter_PREROUTI~");
    EXPECT_EQ(nft.unknown, "frag_off:8");
    other_info_fields ipt_fragment = split_other_info("hook:NF_INET_LOCAL_IN table: filter frag_off:8");
    EXPECT_EQ(ipt_fragment.table, "filter");
    EXPECT_EQ(ipt_fragment.unknown, "frag_off:8");
    other_info_fields drop = split_other_info("reason:NO_SOCKET at: tcp_v4_rcv");
    EXPECT_EQ(drop.reason, "NO_SOCKET");
    other_info_fields numbered = split_other_info("reason:SOCKET_RCVBUFF at: raw_rcv_skb buf:12 frag_off:8");
    EXPECT_EQ(numbered.location, "raw_rcv_skb");
    EXPECT_EQ(numbered.buffer, "12");
    EXPECT_EQ(numbered.unknown, "frag_off:8");
    EXPECT_EQ(split_other_info("  buf:3").buffer, "3"); // a raw socket's copy
    EXPECT_EQ(drop.location, "tcp_v4_rcv");
    other_info_fields off = split_other_info("reason:IP_INADDRERRORS at: ip_error buf:7 fwd:off");
    EXPECT_TRUE(off.forwarding_off);
    EXPECT_EQ(off.buffer, "7");
    EXPECT_EQ(off.unknown, "");
    other_info_fields not_off = split_other_info("reason:NOT_SPECIFIED at: ip_error buf:7 fwd:offline");
    EXPECT_FALSE(not_off.forwarding_off);
    EXPECT_EQ(not_off.unknown, "fwd:offline");
    EXPECT_FALSE(split_other_info("reason:NOT_SPECIFIED at: ip_error fwd:off").forwarding_off); // only after buf:N
}

// -N adds PACKET after CPU and NETNS after INTERFACE, both or neither; a
// value that is no packet number (1 on) or namespace ("-" or 1 on) makes
// the row unreadable by that column.
TEST(ReportRows, rows_with_packet_and_netns_columns_read_back_and_bad_values_name_their_column)
{
    std::vector<std::string> lines = lines_of(slurp(data_file("nat_tcp.trace")));
    EXPECT_EQ(header_protocol(lines[0]), 6u | PACKET_COLUMNS);
    std::string no_netns = lines[0];
    no_netns.replace(no_netns.find("NETNS      "), 12, "");
    EXPECT_EQ(header_protocol(no_netns), 0u);
    const uint32_t layout = 6 | PACKET_COLUMNS;
    parsed_row row;
    ASSERT_EQ(parse_row(lines[1], layout, row), nullptr);
    EXPECT_EQ(row.packet, 1u);
    EXPECT_EQ(row.netns, 4026532281u);
    EXPECT_EQ(row.function, "ip_output");
    EXPECT_EQ(row.device, "nil");
    EXPECT_EQ(row.smac, "00:00:00:00:00:00");
    EXPECT_EQ(row.sip, "10.88.0.2");
    EXPECT_EQ(row.fields[0], 40000u);
    EXPECT_EQ(row.fields[2], 1000u);
    // Column starts: PACKET at 27, NETNS at 86.
    auto with = [&](size_t at, size_t length, const std::string &value) {
        return std::string(lines[1]).replace(at, length, value);
    };
    ASSERT_EQ(parse_row(with(86, 11, "-          "), layout, row), nullptr);
    EXPECT_EQ(row.netns, 0u);
    std::string widest = with(27, 8, "18446744073709551615"); // longer: shifts the rest; the row points into it
    ASSERT_EQ(parse_row(widest, layout, row), nullptr);
    EXPECT_EQ(row.packet, UINT64_MAX);
    EXPECT_EQ(row.function, "ip_output");
    EXPECT_EQ(row.netns, 4026532281u);
    for (const char *bad : {"x       ", "0       ", "18446744073709551616", "-       ", "-1      "})
        EXPECT_STREQ(parse_row(with(27, 8, bad), layout, row), "PACKET") << bad;
    for (const char *bad : {"abc        ", "0          ", "4294967296 ", "--         "})
        EXPECT_STREQ(parse_row(with(86, 11, bad), layout, row), "NETNS") << bad;
    // A row without the columns under a header with them, and the other way round.
    std::string plain = lines_of(slurp(data_file("forward_tcp.trace")))[1];
    EXPECT_NE(parse_row(plain, layout, row), nullptr);
    EXPECT_NE(parse_row(lines[1], 6, row), nullptr);
}

// ---- Stage latencies -------------------------------------------------------

journey two_row_journey(report_state &state, int64_t latency_ns)
{
    journey j;
    j.source = 0;
    uint32_t from = state.names.id("ip_rcv"), to = state.names.id("ip_local_deliver"), empty = state.names.id("");
    j.rows.push_back({1000, 2, 0, from, empty, empty, empty, empty, 1, 2, {0, 0, 0, 0}});
    j.rows.push_back({1000 + latency_ns, 3, 0, to, empty, empty, empty, empty, 1, 2, {0, 0, 0, 0}});
    j.steps = {state.steps.id_of_function(from), state.steps.id_of_function(to)};
    return j;
}

TEST(ReportStages, percentiles_are_nearest_rank_over_every_latency_of_a_stage)
{
    report_state state;
    stage_stats stats;
    for (int64_t us = 100; us >= 1; us--) // out of order on purpose
        add_stages(stats, two_row_journey(state, us * 1000));
    // The same whether the sample is sorted whole (for the page) or the three are selected.
    for (bool whole_sample : {false, true}) {
        std::vector<stage_summary> stages = summarize_stages(state, stats, whole_sample);
        ASSERT_EQ(stages.size(), 1u);
        EXPECT_EQ(state.names.text(state.steps.get(stages[0].from).function), "ip_rcv");
        EXPECT_EQ(state.names.text(state.steps.get(stages[0].to).function), "ip_local_deliver");
        EXPECT_EQ(stages[0].count, 100u);
        EXPECT_EQ(stages[0].p50, 50000);
        EXPECT_EQ(stages[0].p90, 90000);
        EXPECT_EQ(stages[0].p99, 99000);
        EXPECT_EQ(stages[0].max, 100000);
        EXPECT_EQ(stages[0].total, 5050000);
        EXPECT_EQ(stages[0].mean, 50500);
        EXPECT_EQ(std::is_sorted(stages[0].sorted.begin(), stages[0].sorted.end()), whole_sample);
    }
    // Selected from samples of every length up to 300, with repeats, as a sort finds them.
    std::mt19937_64 random(7);
    for (int64_t n = 1; n <= 300; n++) {
        report_state some;
        stage_stats sample;
        std::vector<int64_t> latencies;
        for (int64_t i = 0; i < n; i++)
            latencies.push_back(int64_t(random() % 50) * 1000);
        for (int64_t ns : latencies)
            add_stages(sample, two_row_journey(some, ns));
        std::sort(latencies.begin(), latencies.end());
        auto rank = [&](size_t p) { return latencies[(latencies.size() * p + 99) / 100 - 1]; };
        stage_summary s = summarize_stages(some, sample).at(0);
        EXPECT_EQ(std::make_tuple(s.p50, s.p90, s.p99), std::make_tuple(rank(50), rank(90), rank(99))) << n << " latencies";
    }
}

TEST(ReportStages, a_long_run_keeps_a_bounded_sample_with_exact_count_and_max)
{
    report_state state;
    stage_stats stats;
    size_t total = STAGE_SAMPLE_MAX + 5000;
    for (size_t i = 0; i < total; i++)
        add_stages(stats, two_row_journey(state, int64_t(i % 1000) + (i == total - 1 ? 1000000 : 0)));
    const stage_samples &s = stats.pairs.begin()->second;
    EXPECT_EQ(s.count, total);
    EXPECT_EQ(s.sample.size(), STAGE_SAMPLE_MAX);
    EXPECT_EQ(s.max_ns, 1000000 + int64_t((total - 1) % 1000));
    // The total counts every latency, not only the sample's.
    uint64_t sum = 1000000;
    for (size_t i = 0; i < total; i++)
        sum += i % 1000;
    EXPECT_EQ(uint64_t(summarize_stages(state, stats).at(0).total), sum);
}

// The summary names the stage a user looks for first, from the same
// numbers JSON gives: the slowest by p90 among stages of ten latencies or
// more, and the one that took most time in all; a percentile the count
// cannot tell is "-".
TEST(ReportStages, the_summary_names_the_slowest_stage_and_the_one_that_took_most_time)
{
    const std::string trace = data_file("lab_tcp_iptables.trace");
    std::vector<json> stages;
    for (const std::string &line : lines_of(run_report({"--json", trace}).out))
        if (json j = json::parse(line); j["kind"] == "stage")
            stages.push_back(j);
    ASSERT_FALSE(stages.empty());
    const json *slowest = nullptr, *most = nullptr;
    for (const json &s : stages) {
        EXPECT_EQ(s["mean_ns"].get<int64_t>(), s["total_ns"].get<int64_t>() / s["count"].get<int64_t>());
        if (s["count"] >= 10 && (!slowest || s["p90_ns"] > (*slowest)["p90_ns"]))
            slowest = &s;
        if (!most || s["total_ns"] > (*most)["total_ns"])
            most = &s;
    }
    ASSERT_TRUE(slowest && most);
    auto name = [](const json &s) { return s["from"].get<std::string>() + " -> " + s["to"].get<std::string>(); };
    std::string text = run_report({trace}).out;
    EXPECT_NE(text.find("\nslowest stage: " + name(*slowest) + " (p90 "), std::string::npos) << text;
    EXPECT_NE(text.find("\nmost time in all: " + name(*most) + " ("), std::string::npos) << text;
    for (const json &s : stages) {
        size_t at = text.find("\n" + name(s) + " ");
        ASSERT_NE(at, std::string::npos) << name(s);
        std::istringstream row(text.substr(at + 1 + name(s).size(), text.find('\n', at + 1) - at - 1 - name(s).size()));
        std::string count, p50, p90, p99;
        row >> count >> p50 >> p90 >> p99;
        EXPECT_EQ(p90 == "-", s["count"] < 10) << name(s);
        EXPECT_EQ(p99 == "-", s["count"] < 100) << name(s);
    }
}

// ---- Endings as values, rendered by each writer --------------------------

// One journey of every ending kind through the text, detail and JSON
// writers: each tells the same sentence, JSON says dropped for the drops
// alone with the fields the trace told, and the summary counts each kind.
// The count of an ending in the summary's table (its class, the count, the
// ending last), or -1.
long ending_count(const std::string &out, const std::string &ending)
{
    for (const std::string &line : lines_of(out)) {
        size_t at = line.size() - std::min(line.size(), ending.size() + 2);
        if (line.compare(at, std::string::npos, "  " + ending) != 0)
            continue;
        std::istringstream words(line.substr(0, at));
        std::vector<std::string> before;
        for (std::string word; words >> word;)
            before.push_back(word);
        std::string count = before.empty() ? "" : before.back(), klass;
        for (size_t i = 0; i + 1 < before.size(); i++)
            klass += (i ? " " : "") + before[i];
        if (count.empty() || count.find_first_not_of("0123456789") != std::string::npos ||
            (klass != "" && klass != "delivered" && klass != "dropped" && klass != "not seen"))
            continue;
        return std::stol(count);
    }
    return -1;
}

TEST(ReportEndings, every_kind_reads_alike_in_each_writer_and_counts_once)
{
    report_state state;
    state.sources.push_back({"trace", 6, {}, 0});
    std::vector<std::string> hosts = {"alpha", "beta"};
    auto id = [&](const char *text) { return state.names.id(text); };
    struct kind_case {
        ending end;
        std::string sentence;
        bool known, dropped;
        const char *klass;
    };
    const kind_case cases[] = {
        {{ending_kind::ended, id("tcp_v4_do_rcv")}, "ended at tcp_v4_do_rcv", true, false, "delivered"},
        {{ending_kind::dropped, id("tcp_v4_rcv"), id("NO_SOCKET")}, "dropped at tcp_v4_rcv: NO_SOCKET", true, true,
         "dropped"},
        {{ending_kind::dropped, NO_NAME, NO_NAME}, "dropped at ?: ?", true, true, "dropped"},
        {{ending_kind::dropped, id("ip_error"), id("NOT_SPECIFIED")},
         "dropped at ip_error: reason not given by this kernel", true, true, "dropped"},
        {{ending_kind::dropped_by_table, id("nft_do_chain"), id("NETFILTER_DROP"), id("inet fw"), id("in"),
          id("NF_INET_LOCAL_IN")},
         "dropped by table inet fw base chain in at NF_INET_LOCAL_IN", true, true, "dropped"},
        {{ending_kind::dropped_by_hook, id("nf_hook_slow"), id("NETFILTER_DROP")},
         "dropped by a netfilter hook that is not a traced table (conntrack, ...)", true, true, "dropped"},
        {{ending_kind::never_arrived, NO_NAME, NO_NAME, NO_NAME, NO_NAME, NO_NAME, 0, 1},
         "left alpha at dev_hard_start_xmit, never seen at beta", true, false, "not_seen"},
        {{ending_kind::raw_delivered, id("icmp_rcv"), id("NO_SOCKET")}, "delivered to a raw socket", true, false,
         "delivered"},
        {{ending_kind::freed_unread, id("sk_stream_kill_queues"), id("QUEUE_PURGE")},
         "delivered, freed unread at close", true, false, "delivered"},
        {{ending_kind::discarded, id("tcp_validate_incoming"), id("TCP_OLD_SEQUENCE")},
         "discarded: duplicate or stale (TCP_OLD_SEQUENCE)", true, false, "delivered"},
        {{ending_kind::copy_dropped, id("__udp_queue_rcv_skb"), id("SOCKET_RCVBUFF")},
         "a copy for one socket dropped (SOCKET_RCVBUFF)", true, false, "delivered"},
        {{ending_kind::time_wait, id("tcp_v4_rcv"), id("NOT_SPECIFIED")}, "delivered to a socket in TIME_WAIT", true,
         false, "delivered"},
        {{ending_kind::handshake, id("tcp_v4_rcv"), id("NOT_SPECIFIED")},
         "delivered to a connection in its handshake", true, false, "delivered"},
        {{ending_kind::merged_by_gro, id("skb_gro_receive")}, "merged by GRO into the packet before it", true, false,
         "delivered"},
        {{ending_kind::samples_lost}, "not seen to the end (samples lost)", true, false, "not_seen"},
        {{ending_kind::last_seen, id("ip_rcv")}, "last seen at ip_rcv", true, false, "not_seen"},
        {{ending_kind::forwarding_off, id("ip_error"), id("IP_INADDRERRORS")},
         "dropped at ip_error: IPv4 forwarding is off", true, true, "dropped"},
        {{ending_kind::no_ping_socket, id("icmpv6_rcv"), id("NO_SOCKET")},
         "no ping socket took it, and no raw socket's copy was traced", true, false, "not_seen"},
        {{ending_kind::unknown}, ENDING_UNKNOWN, false, false, nullptr},
    };
    std::string text, detail, lines;
    report_totals totals;
    std::unique_ptr<report_writer> writers[] = {text_writer(text, state, hosts), detail_writer(detail, state, hosts),
                                                json_writer(lines, state, hosts)};
    uint32_t function = id("tcp_v4_do_rcv"), empty = id("");
    for (const kind_case &c : cases) {
        journey j;
        j.source = 0;
        j.rows.push_back({1000, 2, 0, function, empty, empty, empty, empty, 1, 2, {80, 443, 7, 0}});
        j.steps = {state.steps.id_of_function(function)};
        j.end = c.end;
        count_journey(totals, j);
        for (auto &w : writers)
            w->journey(j);
        EXPECT_EQ(ending_sentence(state.names, hosts, c.end), c.sentence);
    }
    for (auto &w : writers)
        w->summary(totals);
    std::vector<json> objects;
    for (const std::string &line : lines_of(lines))
        objects.push_back(json::parse(line));
    ASSERT_EQ(objects.size(), std::size(cases) + 1);
    for (size_t i = 0; i < std::size(cases); i++) {
        const kind_case &c = cases[i];
        const json &o = objects[i];
        EXPECT_EQ(o["ending"], c.known ? json(c.sentence) : json(nullptr));
        EXPECT_EQ(o["dropped"], c.known ? json(c.dropped) : json(nullptr)) << c.sentence;
        EXPECT_EQ(o["class"], c.klass ? json(c.klass) : json(nullptr)) << c.sentence;
        EXPECT_EQ(o["drop_reason"].is_string(), c.dropped && c.end.reason != NO_NAME) << c.sentence;
        EXPECT_EQ(o["drop_table"].is_string(), c.end.kind == ending_kind::dropped_by_table) << c.sentence;
        EXPECT_NE(lines_of(text)[i].find(" " + c.sentence + " "), std::string::npos) << lines_of(text)[i];
        if (c.klass) {
            EXPECT_NE(lines_of(text)[i].find("  " + std::string(class_label(c.end.what())) + "  "), std::string::npos)
                << lines_of(text)[i];
        }
        EXPECT_NE(detail.find(", " + c.sentence + "\n"), std::string::npos) << c.sentence;
    }
    std::map<std::string, uint64_t> counted;
    for (const json &e : objects.back()["endings"])
        counted[e["ending"]] = e["count"];
    EXPECT_EQ(counted.size(), std::size(cases));
    for (const kind_case &c : cases) {
        EXPECT_EQ(counted[c.sentence], 1u) << c.sentence;
        EXPECT_EQ(ending_count(text, c.sentence), 1) << c.sentence;
    }
    // Each class counted once per journey, and said before the endings.
    const json &classes = objects.back()["classes"];
    EXPECT_EQ(classes["delivered"], 8);
    EXPECT_EQ(classes["dropped"], 6);
    EXPECT_EQ(classes["not_seen"], 5);
    EXPECT_NE(text.find("delivered: 8, dropped: 6, not seen to the end: 5\n"), std::string::npos) << text;
}

// ---- The binary on the sample traces ---------------------------------------

// The journeys' and frames' lines of a JSON report, the whole stream held
// against the documented schema first.
json json_lines(const std::string &out)
{
    std::vector<json> lines;
    for (const std::string &line : lines_of(out))
        lines.push_back(json::parse(line));
    EXPECT_EQ(stream_error(lines), "");
    json journeys = json::array();
    for (const json &line : lines)
        if (line["kind"] == "journey" || line["kind"] == "repeated")
            journeys.push_back(line);
    return journeys;
}

// The count of a stage pair in the summary, or -1 when it is not there.
long stage_count(const std::string &out, const std::string &stage)
{
    size_t at = out.find("\n" + stage + " ");
    if (at == std::string::npos)
        return -1;
    return std::stol(out.substr(at + 1 + stage.size()));
}

TEST(ReportCli, icmp_pings_are_four_journeys_and_the_later_device_frames_are_counted_apart)
{
    report_result r = run_report({data_file("icmp.trace")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> journeys = journey_lines(r.out);
    ASSERT_EQ(journeys.size(), 4u) << r.out;
    EXPECT_NE(journeys[0].find("198.18.0.1 > 198.18.0.2 type 8 id 4660 seq 1 "), std::string::npos);
    EXPECT_NE(journeys[1].find("198.18.0.2 > 198.18.0.1 type 0 id 4660 seq 1 "), std::string::npos);
    for (const std::string &line : journeys) {
        EXPECT_NE(line.find("  12  "), std::string::npos) << line; // rows
        EXPECT_NE(line.find("ended at icmp_rcv"), std::string::npos) << line;
    }
    EXPECT_NE(r.out.find("frames with repeated fields: 4\n"), std::string::npos);
    EXPECT_NE(r.out.find("journeys: 4 (48 rows)\n"), std::string::npos);

    json lines = json_lines(run_report({"--json", data_file("icmp.trace")}).out);
    size_t repeated_rows = 0;
    for (const json &line : lines)
        if (line["repeated_fields"]) {
            for (const json &row : line["rows"]) {
                repeated_rows++;
                EXPECT_GE(row["line"].get<int>(), 50); // the last four rows of the trace
                EXPECT_EQ(row["id"], 4660);
            }
            EXPECT_TRUE(line["ending"].is_null());
        }
    EXPECT_EQ(repeated_rows, 4u);
}

// The IPv6 sample: each packet's ending as its traffic was (a ping and
// its reply, neighbor discovery, a SYN to a listener and its answer, a SYN
// refused, an ip6tables and an nft drop, a datagram, a later fragment),
// addresses in RFC 5952's form; read with an IPv4 trace, each journey keeps
// its family; --flow takes IPv6 hosts.
TEST(ReportCli, ipv6_journeys_end_as_their_packets_did_and_keep_their_family_beside_ipv4_ones)
{
    report_result r = run_report({data_file("ipv6.trace")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::pair<const char *, const char *> expected[] = {
        {"icmp6 fd00:1::1 > fd00:1::2 type 128 (echo request) id 4660 seq 1 ", "delivered  ended at icmpv6_rcv"},
        {"icmp6 fd00:1::2 > fd00:1::1 type 129 (echo reply) id 4660 seq 1 ", "delivered  ended at icmpv6_rcv"},
        {"icmp6 fd00:1::1 > ff02::1:ff00:2 type 135 (neighbor solicitation) id 0 seq 0 ", "delivered  ended at icmpv6_rcv"},
        {"icmp6 fd00:1::2 > fd00:1::1 type 136 (neighbor advertisement) id 24576 seq 0 ", "delivered  ended at icmpv6_rcv"},
        {"tcp   [fd00:1::1]:40000 > [fd00:1::2]:8080 seq 1000 ack 0 ", "delivered  ended at tcp_v6_do_rcv"},
        {"tcp   [fd00:1::2]:8080 > [fd00:1::1]:40000 seq 5000 ack 1001 ", "delivered  ended at tcp_v6_do_rcv"},
        {"tcp   [fd00:1::1]:40002 > [fd00:1::2]:9999 seq 2000 ack 0 ", "dropped    dropped at tcp_v6_rcv: NO_SOCKET"},
        {"tcp   [fd00:1::1]:40004 > [fd00:1::2]:7070 seq 3000 ack 0 ", "dropped    dropped by table filter at NF_INET_LOCAL_IN"},
        {"udp   [fd00:1::1]:50000 > [fd00:1::2]:5301 len 100 ", "delivered  ended at udpv6_rcv"},
        {"udp   [fd00:1::1]:50002 > [fd00:1::2]:5302 len 20 ",
         "dropped    dropped by table inet fw base chain input at NF_INET_LOCAL_IN"},
        {"udp   [fd00:1::1]:0 > [fd00:1::2]:0 len 0 ", "delivered  ended at ip6_input_finish"},
    };
    std::vector<std::string> journeys = journey_lines(r.out);
    ASSERT_EQ(journeys.size(), std::size(expected)) << r.out;
    for (size_t i = 0; i < journeys.size(); i++) {
        EXPECT_NE(journeys[i].find(expected[i].first), std::string::npos) << journeys[i];
        EXPECT_NE(journeys[i].find(expected[i].second), std::string::npos) << journeys[i];
    }
    EXPECT_NE(r.out.find("delivered: 8, dropped: 3, not seen to the end: 0\n"), std::string::npos) << r.out;

    // Neighbor discovery is no echo's flow: each of its journeys is the first of its own.
    json lines = json_lines(run_report({"--json", data_file("icmp.trace"), data_file("ipv6.trace")}).out);
    std::map<std::string, int> families;
    for (const json &line : lines) {
        if (line["kind"] != "journey")
            continue;
        families[line["family"]]++;
        EXPECT_EQ(line["family"], line["protocol"] == "icmp" ? "ipv4" : "ipv6") << line["flow"];
        if (line["family"] == "ipv6") {
            EXPECT_TRUE(line["first_of_flow"]) << line["flow"];
            EXPECT_EQ(line["rows"][0]["sip"], line["saddr"]);
        }
    }
    EXPECT_EQ(families, (std::map<std::string, int>{{"ipv4", 4}, {"ipv6", 11}}));

    auto starts = [&](std::vector<std::string> args) {
        args.push_back(data_file("ipv6.trace"));
        args.push_back(data_file("icmp.trace"));
        return journey_starts(args);
    };
    EXPECT_EQ(starts({"--flow", "ff02::1:ff00:2"}), "7800904000 ");
    EXPECT_EQ(starts({"--flow", "[FD00:1:0::2]:9999"}), "7804004000 ");
    EXPECT_EQ(starts({"--flow", "fd00:1::2", "--dropped"}), "7804004000 7805004000 7807004000 ");
    EXPECT_EQ(run_report({"--flow", "[fd00::1", data_file("ipv6.trace")}).status, 2);
}

TEST(ReportCli, syns_to_the_drop_port_end_in_nf_drop_at_local_in_and_a_retransmission_is_its_own_journey)
{
    report_result r = run_report({data_file("tcp_iptables.trace")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> journeys = journey_lines(r.out);
    ASSERT_EQ(journeys.size(), 3u) << r.out;
    EXPECT_NE(journeys[0].find("198.18.0.1:32812 > 198.18.0.2:5302 seq 1464773421 ack 0"), std::string::npos);
    EXPECT_NE(journeys[0].find("ended at tcp_v4_do_rcv"), std::string::npos);
    for (int i : {1, 2}) {
        EXPECT_NE(journeys[size_t(i)].find("198.18.0.1:40112 > 198.18.0.2:5304 seq 2810455102 ack 0"),
                  std::string::npos);
        EXPECT_NE(journeys[size_t(i)].find("dropped by table filter at NF_INET_LOCAL_IN"), std::string::npos);
        EXPECT_NE(journeys[size_t(i)].find("  14  "), std::string::npos); // its rows up to the verdict
    }
    // Endings, most frequent first.
    size_t dropped = r.out.find("  dropped by table filter at NF_INET_LOCAL_IN\n"),
           ended = r.out.find("  ended at tcp_v4_do_rcv\n");
    ASSERT_NE(dropped, std::string::npos);
    ASSERT_NE(ended, std::string::npos);
    EXPECT_LT(dropped, ended);
    EXPECT_EQ(ending_count(r.out, "dropped by table filter at NF_INET_LOCAL_IN"), 2);
    EXPECT_EQ(ending_count(r.out, "ended at tcp_v4_do_rcv"), 1);
    // Six table walks (two per SYN, one at each hook, named by it), one
    // accepted SYN reaching the listener.
    EXPECT_EQ(stage_count(r.out, "ipt_do_table@LOCAL_OUT -> ret_ipt_do_table@LOCAL_OUT"), 3);
    EXPECT_EQ(stage_count(r.out, "ipt_do_table@LOCAL_IN -> ret_ipt_do_table@LOCAL_IN"), 3);
    EXPECT_EQ(stage_count(r.out, "ipt_do_table -> ret_ipt_do_table"), -1);
    EXPECT_EQ(stage_count(r.out, "ip_rcv -> ip_rcv_finish"), 3);
    EXPECT_EQ(stage_count(r.out, "tcp_v4_rcv -> __inet_lookup_listener"), 1);
    EXPECT_EQ(stage_count(r.out, "ret_ipt_do_table@LOCAL_IN -> ip_local_deliver_finish"), 1);
    // Stages in path order: the transmit side's walk before the receive side's.
    EXPECT_LT(r.out.find("\nipt_do_table@LOCAL_OUT -> "), r.out.find("\nip_rcv -> "));
    EXPECT_LT(r.out.find("\nip_rcv -> "), r.out.find("\nipt_do_table@LOCAL_IN -> "));
}

TEST(ReportCli, filters_keep_journeys_by_host_port_drop_verdict_and_total_time)
{
    const std::string trace = data_file("tcp_iptables.trace");
    auto journeys_with = [&](std::vector<std::string> args) {
        args.push_back(trace);
        report_result r = run_report(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return journey_lines(r.out).size();
    };
    EXPECT_EQ(journeys_with({"--dropped"}), 2u);
    EXPECT_EQ(journeys_with({"--flow", ":5302"}), 1u);
    EXPECT_EQ(journeys_with({"--flow", ":40112"}), 2u); // either port
    EXPECT_EQ(journeys_with({"--flow", "198.18.0.2"}), 3u); // either address
    EXPECT_EQ(journeys_with({"--flow", "198.18.0.2:5304", "--dropped"}), 2u);
    EXPECT_EQ(journeys_with({"--flow", "198.18.0.9"}), 0u);
    EXPECT_EQ(journeys_with({"--slower-than", "700"}), 1u); // 884 us against 676 us
    EXPECT_EQ(journeys_with({"--slower-than", "884"}), 0u);
    report_result summary = run_report({"--dropped", trace});
    EXPECT_NE(summary.out.find("journeys: 2 (28 rows)\n"), std::string::npos);
    EXPECT_EQ(summary.out.find("ended at tcp_v4_do_rcv"), std::string::npos);
    // Frames with repeated fields are counted only where the filters keep them:
    // a TCP port keeps no ICMP frame.
    report_result frames = run_report({"--flow", ":5302", data_file("icmp.trace"), trace});
    EXPECT_NE(frames.out.find("frames with repeated fields: 0\n"), std::string::npos) << frames.out;
    frames = run_report({"--flow", "198.18.0.2", data_file("icmp.trace"), trace});
    EXPECT_NE(frames.out.find("frames with repeated fields: 4\n"), std::string::npos) << frames.out;

    report_result bad = run_report({"--flow", "198.18.0:80", trace});
    EXPECT_NE(bad.status, 0);
    EXPECT_NE(bad.err.find("--flow"), std::string::npos);

    // --detail: the journeys kept, hop by hop; the hops' times add up to the
    // journey's and each row's step, CPU and device is the trace's.
    for (std::vector<std::string> pick : {std::vector<std::string>{"--start", "5531060164"},
                                          std::vector<std::string>{"--flow", ":5302"}}) {
        pick.insert(pick.begin(), "--detail");
        pick.push_back(trace);
        report_result detail = run_report(pick);
        ASSERT_EQ(detail.status, 0) << detail.err;
        std::vector<std::string> lines = lines_of(detail.out);
        ASSERT_GT(lines.size(), 3u);
        EXPECT_EQ(lines[0].substr(0, lines[0].find(':')), "5531060164 tcp 198.18.0.1") << lines[0];
        EXPECT_NE(lines[0].find(": 18 rows, 884.0 us, ended at tcp_v4_do_rcv"), std::string::npos) << lines[0];
        double hops = 0;
        for (size_t i = 2; i < 20; i++)
            hops += std::stod(lines[i]);
        EXPECT_NEAR(hops, 884.0, 0.1);
        EXPECT_EQ(lines[2].rfind("       0.0        0.0  0     ipt_do_table@LOCAL_OUT   ", 0), 0u) << lines[2];
        EXPECT_NE(lines[19].find("tcp_v4_do_rcv"), std::string::npos) << lines[19];
        EXPECT_NE(detail.out.find("journeys: 1 (18 rows)\n"), std::string::npos);
        for (const std::string &line : lines)
            EXPECT_TRUE(line.empty() || line.back() != ' ') << line;
    }
    EXPECT_NE(run_report({"--detail", "--json", trace}).status, 0);
}

// Four datagrams as the monitor writes them, each stopped another way: a
// native nft chain (the kernel frees it inside the walk, which returns
// NF_STOLEN), an iptables rule (NF_DROP, then the kernel's NETFILTER_DROP
// at nf_hook_slow: one ending), a closed port, and one delivered.
std::string drops_trace()
{
    kernel_names.drop_reasons = {{2, "NO_SOCKET"}, {6, "NETFILTER_DROP"}};
    std::vector<data_t> records;
    int64_t now = 1000000;
    auto row = [&](const char *label, uint16_t len, auto &&set) {
        data_t r = monitor_record(label, PROTO_UDP);
        r.func_info.rcv_ts = uint64_t(now += 1000);
        r.udp_data.source = htons(40000), r.udp_data.dst = htons(9999), r.udp_data.len = htons(len);
        set(r);
        records.push_back(r);
    };
    auto none = [](data_t &) {};
    auto walk = [](const char *table, const char *chain) {
        return [=](data_t &r) {
            r.ipt_data.hook = 1;
            // An nft entry's families (ip hook, inet table); no word of an iptables row.
            r.ipt_data.verdict = 2 << NFT_HOOK_FAMILY_SHIFT | 1 << NFT_TABLE_FAMILY_SHIFT;
            strcpy(r.ipt_data.table_name, table);
            strcpy(r.ipt_data.table_name + NFT_NAME_MAX_LEN, chain);
        };
    };
    auto verdict = [](uint32_t v) { return [=](data_t &r) { r.ipt_data.verdict = v; }; };
    auto dropped = [](uint32_t reason, const char *at) {
        return [=](data_t &r) {
            r.ipt_data.hook = reason;
            strcpy(r.ipt_data.table_name, at);
        };
    };
    row("ip_local_deliver", 18, none);
    row("nft_do_chain", 18, walk("fw", "in"));
    row("kfree_skb", 18, dropped(6, "nft_do_chain [nf_tables]"));
    row("ret_nft_do_chain", 18, verdict(0x10002));
    row("ip_local_deliver", 28, none);
    row("ipt_do_table", 28, walk("filter", ""));
    row("ret_ipt_do_table", 28, verdict(0));
    row("kfree_skb", 28, dropped(6, "nf_hook_slow"));
    for (const char *label : {"ip_local_deliver", "ip_local_deliver_finish", "udp_rcv"})
        row(label, 38, none);
    row("kfree_skb", 38, dropped(2, "__udp4_lib_rcv"));
    for (const char *label : {"ip_local_deliver", "ip_local_deliver_finish", "udp_rcv"})
        row(label, 48, none);
    std::string text;
    for (const std::string &line : render(PROTO_UDP, records))
        text += line + "\n";
    kernel_names = {};
    std::string path = temp_dir() + "/drops.trace";
    FILE *f = fopen(path.c_str(), "w");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    return path;
}

TEST(ReportCli, a_dropped_packet_ends_where_and_why_the_kernel_dropped_it_one_ending_per_drop)
{
    const std::string trace = drops_trace();
    report_result r = run_report({trace});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> journeys = journey_lines(r.out);
    ASSERT_EQ(journeys.size(), 4u) << r.out;
    const char *endings[] = {"dropped by table inet fw base chain in at NF_INET_LOCAL_IN",
                             "dropped by table filter at NF_INET_LOCAL_IN", "dropped at __udp4_lib_rcv: NO_SOCKET",
                             "ended at udp_rcv"};
    for (size_t i = 0; i < 4; i++) {
        EXPECT_NE(journeys[i].find(endings[i]), std::string::npos) << journeys[i];
        EXPECT_EQ(ending_count(r.out, endings[i]), 1) << endings[i];
    }
    EXPECT_NE(r.out.find("journeys: 4 (15 rows)\n"), std::string::npos) << r.out;
    EXPECT_EQ(journey_lines(run_report({"--dropped", trace}).out).size(), 3u);

    json lines = json_lines(run_report({"--json", trace}).out);
    ASSERT_EQ(lines.size(), 4u);
    // The nft walk is named by its hook, as the iptables one, in path and stages.
    EXPECT_EQ(lines[0]["path"][1], "nft_do_chain@LOCAL_IN");
    EXPECT_EQ(lines[0]["rows"][1]["trace_info"], "nft_do_chain");
    EXPECT_NE(r.out.find("\nip_local_deliver -> nft_do_chain@LOCAL_IN "), std::string::npos) << r.out;
    EXPECT_EQ(lines[0]["drop_table"], "inet fw");
    EXPECT_EQ(lines[0]["drop_chain"], "in");
    EXPECT_EQ(lines[0]["drop_hook"], "NF_INET_LOCAL_IN");
    EXPECT_EQ(lines[0]["drop_reason"], "NETFILTER_DROP");
    EXPECT_EQ(lines[0]["drop_function"], "nft_do_chain");
    EXPECT_EQ(lines[0]["rows"][1]["chain"], "in");
    EXPECT_EQ(lines[0]["rows"][2]["reason"], "NETFILTER_DROP");
    EXPECT_EQ(lines[0]["rows"][2]["location"], "nft_do_chain");
    EXPECT_TRUE(lines[1]["drop_chain"].is_null());
    EXPECT_EQ(lines[1]["drop_function"], "nf_hook_slow");
    EXPECT_TRUE(lines[2]["drop_table"].is_null());
    EXPECT_EQ(lines[2]["drop_reason"], "NO_SOCKET");
    EXPECT_EQ(lines[2]["drop_function"], "__udp4_lib_rcv");
    EXPECT_EQ(lines[3]["dropped"], false);
    EXPECT_TRUE(lines[3]["drop_reason"].is_null());

    // The page colours each cause apart: the two table drops alike, the
    // closed port otherwise, the delivered one not as a drop.
    std::string page_path = temp_dir() + "/drops.html";
    ASSERT_EQ(run_report({"--html", page_path, trace}).status, 0);
    std::string page = slurp(page_path);
    auto bar_of = [&](const std::string &ending) { // its class and colour
        size_t at = page.find(">" + ending + "</span><span class=\"num\">");
        size_t bar = page.find("<span class=\"bar", at);
        return at == std::string::npos ? std::string("none") : page.substr(bar, page.find('>', bar) - bar);
    };
    auto colour_of = [&](const std::string &ending) {
        std::string bar = bar_of(ending);
        size_t colour = bar.find("background:");
        return colour == std::string::npos ? "none" : bar.substr(colour, bar.find('"', colour) - colour);
    };
    EXPECT_EQ(colour_of(endings[0]), "background:#d62728");
    EXPECT_EQ(colour_of(endings[1]), colour_of(endings[0]));
    EXPECT_NE(colour_of(endings[2]), colour_of(endings[0]));
    EXPECT_NE(colour_of(endings[2]), "none");
    EXPECT_NE(bar_of(endings[0]).find("class=\"bar dropped table-drop\""), std::string::npos);
    EXPECT_NE(bar_of(endings[2]).find("class=\"bar dropped\""), std::string::npos);
    EXPECT_NE(bar_of("ended at udp_rcv").find("class=\"bar\""), std::string::npos);
}

TEST(ReportCli, identical_datagrams_are_two_journeys_and_the_drop_port_ends_in_nf_drop)
{
    report_result r = run_report({data_file("udp_iptables.trace")});
    std::vector<std::string> journeys = journey_lines(r.out);
    ASSERT_EQ(journeys.size(), 3u) << r.out;
    for (int i : {0, 1}) {
        EXPECT_NE(journeys[size_t(i)].find("198.18.0.1:45001 > 198.18.0.2:5302 len 32"), std::string::npos);
        EXPECT_NE(journeys[size_t(i)].find("ended at udp_rcv"), std::string::npos);
    }
    EXPECT_NE(journeys[2].find(":5304 len 32"), std::string::npos);
    EXPECT_NE(journeys[2].find("dropped by table filter at NF_INET_LOCAL_IN"), std::string::npos);

    report_result gro = run_report({data_file("udp_gro.trace")});
    ASSERT_EQ(journey_lines(gro.out).size(), 3u);
    EXPECT_NE(gro.out.find("\ndev_hard_start_xmit -> napi_gro_receive "), std::string::npos);
    EXPECT_NE(gro.out.find(" dev_hard_start_xmit napi_gro_receive __netif_receive_skb "), std::string::npos);
}

TEST(ReportCli, several_files_and_standard_input_make_one_report_in_start_order)
{
    report_result all = run_report({data_file("udp_gro.trace"), data_file("tcp_iptables.trace"), "-"},
                                   slurp(data_file("icmp.trace")));
    ASSERT_EQ(all.status, 0) << all.err;
    std::vector<std::string> journeys = journey_lines(all.out);
    ASSERT_EQ(journeys.size(), 10u);
    for (size_t i = 1; i < journeys.size(); i++)
        EXPECT_LE(std::stoll(journeys[i - 1]), std::stoll(journeys[i]));
    EXPECT_NE(all.out.find("journeys: 10 (136 rows)\n"), std::string::npos);

    report_result piped = run_report({}, slurp(data_file("tcp_iptables.trace")));
    EXPECT_EQ(journey_lines(piped.out).size(), 3u);
    json from_stdin = json_lines(run_report({"--json", "-"}, slurp(data_file("tcp_iptables.trace"))).out);
    EXPECT_EQ(from_stdin[0]["file"], "standard input");
}

// Every line of every sample trace holds to the documented schema (in
// json_lines), and every field of every row in the JSON is the trace's own
// text at that line. The stream ends with the stages and a summary that
// agree with the text report's.
TEST(ReportCli, json_lines_hold_every_field_of_every_row_as_the_trace_has_it)
{
    for (const char *name : {"tcp_iptables.trace", "udp_iptables.trace", "icmp.trace", "udp_gro.trace",
                             "lab_icmp_plain.trace", "lab_tcp_interleaved.trace", "lab_tcp_iptables.trace",
                             "lab_udp_gro.trace", "lab_udp_iptables.trace"}) {
        std::string trace_path = data_file(name);
        std::vector<std::string> trace = lines_of(slurp(trace_path));
        std::istringstream header(trace[0]);
        std::vector<std::string> labels;
        for (std::string label; header >> label;)
            labels.push_back(label);
        report_result r = run_report({"--json", trace_path});
        ASSERT_EQ(r.status, 0);
        json summary = json::parse(lines_of(r.out).back());
        std::string text = run_report({trace_path}).out;
        EXPECT_NE(text.find("journeys: " + std::to_string(summary["journeys"].get<int>()) + " (" +
                            std::to_string(summary["rows"].get<int>()) + " rows)\n"),
                  std::string::npos)
            << name;
        for (const json &e : summary["endings"])
            EXPECT_EQ(ending_count(text, e["ending"]), e["count"]) << name;
        size_t rows = 0;
        for (const json &journey : json_lines(r.out)) {
            EXPECT_EQ(journey["file"], trace_path);
            const json &first = journey["rows"][0];
            EXPECT_EQ(journey["saddr"], first["sip"]);
            EXPECT_EQ(journey["sport"], first.contains("sport") ? first["sport"] : json());
            EXPECT_EQ(journey["dport"], first.contains("dport") ? first["dport"] : json());
            for (const json &row : journey["rows"]) {
                rows++;
                std::string line = trace.at(row["line"].get<size_t>() - 1);
                std::istringstream words(line);
                for (size_t i = 0; i + 1 < labels.size(); i++) { // every column before OTHER_INFO
                    std::string word, key = labels[i];
                    words >> word;
                    for (char &c : key)
                        c = char(tolower(c));
                    const json &value = row.at(key);
                    EXPECT_EQ(value.is_string() ? value.get<std::string>() : value.dump(), word)
                        << name << ":" << row["line"] << " " << key;
                }
                std::string rest;
                std::getline(words, rest);
                size_t first = rest.find_first_not_of(' '), last = rest.find_last_not_of(' ');
                EXPECT_EQ(row["other_info"], first == std::string::npos ? "" : rest.substr(first, last - first + 1));
            }
        }
        EXPECT_EQ(rows, trace.size() - 1) << name; // every row is in a journey or a frame
    }
}

// ---- Real traces from the lab VM (Debian 12's 6.1 kernel, veth pair) ------

// nat_tcp.trace (-N): a container's SYN bridged, forwarded and
// masqueraded; its SYN-ACK de-NATed back into the container; a connection
// to a published port DNAT'd into a second container; and that
// container's SYN dropped in FORWARD. Three namespaces each have an eth0.
TEST(ReportCli, with_packet_numbers_a_nat_rewrite_stays_one_journey_and_is_told_where_it_happened)
{
    const std::string trace = data_file("nat_tcp.trace");
    json lines = json_lines(run_report({"--json", trace}).out);
    ASSERT_EQ(lines.size(), 4u);
    auto endpoints = [](const json &e) {
        return e["saddr"].get<std::string>() + ":" + std::to_string(e["sport"].get<int>()) + ">" +
               e["daddr"].get<std::string>() + ":" + std::to_string(e["dport"].get<int>());
    };
    struct expected {
        size_t rows;
        std::string ending, kind, from, to, at;
    };
    const expected want[] = {
        {24, "ended at dev_hard_start_xmit", "snat", "10.88.0.2:40000>198.18.0.2:8080", "198.18.0.1:40000>198.18.0.2:8080",
         "ip_finish_output"},
        {24, "ended at tcp_v4_do_rcv", "dnat", "198.18.0.2:8080>198.18.0.1:40000", "198.18.0.2:8080>10.88.0.2:40000",
         "ip_forward"},
        {24, "ended at tcp_v4_do_rcv", "dnat", "198.18.0.2:50000>198.18.0.1:8080", "198.18.0.2:50000>10.88.0.3:80",
         "ip_forward"},
        {17, "dropped by table ip filter base chain FORWARD at NF_INET_FORWARD", "", "", "", ""},
    };
    for (size_t i = 0; i < 4; i++) {
        const json &j = lines[i];
        EXPECT_EQ(j["rows"].size(), want[i].rows) << i;
        EXPECT_EQ(j["ending"], want[i].ending) << i;
        // The return of the walk that dropped packet 4 comes under a number of
        // its own (the monitor ends a number at its drop row): still packet 4's.
        for (const json &row : j["rows"])
            EXPECT_EQ(row["packet"], i == 3 && &row == &j["rows"].back() ? 5 : i + 1);
        if (want[i].kind.empty()) {
            EXPECT_EQ(j["rewrites"], json::array());
            continue;
        }
        ASSERT_EQ(j["rewrites"].size(), 1u) << i;
        const json &r = j["rewrites"][0];
        EXPECT_EQ(r["kind"], want[i].kind);
        EXPECT_EQ(endpoints(r["from"]), want[i].from);
        EXPECT_EQ(endpoints(r["to"]), want[i].to);
        size_t at = r["row"];
        EXPECT_EQ(j["path"][at], want[i].at);
        auto row_endpoints = [&](const json &row) {
            return endpoints({{"saddr", row["sip"]}, {"sport", row["sport"]}, {"daddr", row["dip"]}, {"dport", row["dport"]}});
        };
        EXPECT_EQ(row_endpoints(j["rows"][at]), want[i].to); // the first row that shows it
        EXPECT_EQ(row_endpoints(j["rows"][at - 1]), want[i].from);
        EXPECT_EQ(j["flow"].get<std::string>().substr(0, 15), want[i].from.substr(0, 15)); // the first row's
    }
    EXPECT_EQ(lines[0]["rows"][0]["netns"], 4026532281u);
    EXPECT_EQ(lines[0]["rows"].back()["netns"], 4026531840u);

    report_result r = run_report({trace});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(" ret_nft_do_chain@POST_ROUTING [snat 10.88.0.2:40000>198.18.0.2:8080 => "
                         "198.18.0.1:40000>198.18.0.2:8080] ip_finish_output ip_finish_output2 "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("ret_nft_do_chain@PRE_ROUTING [dnat 198.18.0.2:8080>198.18.0.1:40000 => "
                         "198.18.0.2:8080>10.88.0.2:40000] ip_forward "),
              std::string::npos);
    EXPECT_NE(r.out.find("journeys: 4 (89 rows)\n"), std::string::npos);
    EXPECT_EQ(lines[3]["path"].back(), "ret_nft_do_chain@FORWARD");

    // The same rows without the numbers: each NATed packet falls in two.
    std::string plain;
    for (const std::string &line : lines_of(slurp(trace)))
        plain += line.substr(0, 27) + line.substr(36, 86 - 36) + line.substr(98) + "\n";
    EXPECT_EQ(journey_lines(run_report({"-"}, plain).out).size(), 7u);

    // --flow holds any address a packet had: the container's finds its SYN
    // and the reply that was rewritten to it; the published port's target too.
    auto starts = [&](std::vector<std::string> args) {
        args.push_back(trace);
        return journey_starts(args);
    };
    EXPECT_EQ(starts({"--flow", "10.88.0.2"}), "1000900 2000900 ");
    EXPECT_EQ(starts({"--flow", "198.18.0.1:40000"}), "1000900 2000900 ");
    EXPECT_EQ(starts({"--flow", "10.88.0.3:80"}), "3000900 ");
    EXPECT_EQ(starts({"--flow", "10.88.0.3"}), "3000900 4000900 ");
}

TEST(ReportCli, a_device_name_in_two_namespaces_is_shown_with_its_namespace_and_one_in_one_stays_plain)
{
    // A word of the detail's rows: a blank before it, a blank or the line's end after.
    auto shows = [](const std::string &out, const std::string &word) {
        for (size_t at = out.find(" " + word); at != std::string::npos; at = out.find(" " + word, at + 1))
            if (at + 1 + word.size() == out.size() || out[at + 1 + word.size()] == ' ' || out[at + 1 + word.size()] == '\n')
                return true;
        return false;
    };
    report_result r = run_report({"--detail", data_file("nat_tcp.trace")});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *device : {"eth0@4026532281", "eth0@4026532350", "eth0@4026531840", "cni0", "vethA", "vethB", "nil"})
        EXPECT_TRUE(shows(r.out, device)) << device;
    for (const char *plain : {"cni0@", "vethA@", "nil@"})
        EXPECT_EQ(r.out.find(plain), std::string::npos) << plain;
    EXPECT_FALSE(shows(r.out, "eth0"));
    // Without the columns nothing tells namespaces apart.
    report_result plain = run_report({"--detail", data_file("forward_tcp.trace")});
    EXPECT_TRUE(shows(plain.out, "eth0"));
    EXPECT_EQ(plain.out.find("@40"), std::string::npos);
}

// forward_tcp.trace has no -N columns: after a bridge port's frame, the
// frame on the bridge and a forwarded packet sent out again continue it.
TEST(ReportCli, bridged_and_forwarded_packets_are_one_journey_without_packet_numbers_and_forwarding_off_is_told)
{
    const std::string trace = data_file("forward_tcp.trace");
    json lines = json_lines(run_report({"--json", trace}).out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["ending"], "dropped by table ip filter base chain FORWARD at NF_INET_FORWARD");
    EXPECT_EQ(lines[0]["rows"].size(), 17u);
    EXPECT_EQ(lines[1]["ending"], "dropped at ip_error: IPv4 forwarding is off");
    EXPECT_EQ(lines[1]["class"], "dropped");
    EXPECT_EQ(lines[1]["dropped"], true);
    EXPECT_EQ(lines[1]["drop_function"], "ip_error");
    EXPECT_EQ(lines[1]["drop_reason"], "NOT_SPECIFIED");
    EXPECT_EQ(lines[2]["ending"], "ended at dev_hard_start_xmit");
    EXPECT_EQ(lines[2]["rows"].size(), 24u);
    for (const json &j : lines) {
        EXPECT_EQ(j["rewrites"], json::array());
        EXPECT_FALSE(j["rows"][0].contains("packet") || j["rows"][0].contains("netns"));
    }
    EXPECT_EQ(lines[2]["path"][17], "ip_output"); // after ip_forward_finish

    // Cut short after a hand-over, a packet was on its way.
    std::vector<std::string> rows = lines_of(slurp(trace));
    for (const char *last : {"ip_forward_finish", "br_forward", "veth_xmit", "br_handle_frame", "ip_forward"}) {
        std::string cut;
        size_t kept = 0;
        for (const std::string &line : rows) {
            cut += line + "\n";
            kept += line.find("43000") != std::string::npos && line.find(std::string(" ") + last + " ") != std::string::npos;
            if (kept)
                break;
        }
        if (std::string(last) == "br_forward") // the forwarded SYN never meets a bridge on its way out
            cut = rows[0] + "\n" + std::string(rows.back()).replace(27, 19, "br_forward         ") + "\n";
        report_result r = run_report({"-"}, cut);
        std::vector<std::string> journeys = journey_lines(r.out);
        ASSERT_FALSE(journeys.empty()) << last;
        EXPECT_NE(journeys.back().find(std::string("last seen at ") + last + " "), std::string::npos) << journeys.back();
    }
}

TEST(ReportLab, every_real_icmp_ping_and_reply_is_one_journey_from_ip_output_to_icmp_rcv)
{
    report_result r = run_report({data_file("lab_icmp_plain.trace")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> journeys = journey_lines(r.out);
    ASSERT_EQ(journeys.size(), 22u); // 11 pings, each request and reply
    for (const std::string &line : journeys) {
        EXPECT_NE(line.find("  11  "), std::string::npos) << line;
        EXPECT_NE(line.find(" ip_output ip_finish_output ip_finish_output2 __dev_queue_xmit dev_hard_start_xmit "
                            "__netif_receive_skb __netif_receive_skb_one_core ip_rcv ip_local_deliver "
                            "ip_local_deliver_finish icmp_rcv"),
                  std::string::npos)
            << line;
    }
    EXPECT_NE(r.out.find("journeys: 22 (242 rows)\n"), std::string::npos); // every row of the trace
    EXPECT_EQ(ending_count(r.out, "ended at icmp_rcv"), 22);
    EXPECT_EQ(stage_count(r.out, "ip_rcv -> ip_local_deliver"), 22);
    EXPECT_EQ(stage_count(r.out, "dev_hard_start_xmit -> __netif_receive_skb"), 22);
    EXPECT_EQ(count_of(r.out, " -> "), 12u); // eleven functions, ten stages, two named slowest
}

// The lab's pings numbered as -N numbers them: each journey's rows one
// packet, a raw socket's copy (raw_rcv) a buffer with a number of its own.
// The copy still tells how the reply was delivered.
TEST(ReportLab, a_real_ping_trace_numbered_per_packet_reads_as_without_the_numbers)
{
    const std::string trace = data_file("lab_traffic_icmp.trace");
    std::vector<std::string> lines = lines_of(slurp(trace));
    std::map<int, size_t> journey_of_line;
    json journeys = json_lines(run_report({"--json", trace}).out);
    for (size_t j = 0; j < journeys.size(); j++)
        for (const json &row : journeys[j]["rows"])
            journey_of_line[row["line"].get<int>()] = j;
    auto pad = [](std::string text, size_t width) { return text.append(width + 1 - text.size(), ' '); };
    auto with_columns = [&](const std::string &line, const std::string &packet, const std::string &netns) {
        return line.substr(0, 27) + pad(packet, 8) + line.substr(27, 50) + pad(netns, 11) + line.substr(77) + "\n";
    };
    std::string numbered = with_columns(lines[0], "PACKET", "NETNS");
    std::map<size_t, uint64_t> number_of_journey;
    uint64_t last = 0;
    size_t copies = 0;
    for (size_t i = 1; i < lines.size(); i++) {
        if (lines[i].empty() || lines[i][0] == '#') {
            numbered += lines[i] + "\n";
            continue;
        }
        auto in = journey_of_line.find(int(i + 1));
        bool copy = lines[i].compare(27, 8, "raw_rcv ") == 0;
        copies += copy;
        uint64_t packet = in == journey_of_line.end() || copy ? ++last
                          : number_of_journey.count(in->second) ? number_of_journey[in->second]
                                                                : number_of_journey[in->second] = ++last;
        numbered += with_columns(lines[i], std::to_string(packet), "-");
    }
    EXPECT_EQ(copies, 3u);
    auto endings = [](const std::string &out) {
        size_t at = out.find("\nCLASS ");
        return out.substr(at, out.find("\n\n", at) - at);
    };
    std::string plain = run_report({trace}).out, read = run_report({"-"}, numbered).out;
    EXPECT_NE(endings(plain).find("delivered         3  delivered to a raw socket"), std::string::npos) << plain;
    EXPECT_EQ(endings(read), endings(plain));
    EXPECT_EQ(journey_lines(read).size(), journey_lines(plain).size());
}

TEST(ReportLab, real_datagrams_to_the_drop_port_end_in_nf_drop_at_local_in)
{
    report_result r = run_report({data_file("lab_udp_iptables.trace")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> journeys = journey_lines(r.out);
    ASSERT_EQ(journeys.size(), 6u);
    for (const std::string &line : journeys) {
        bool to_drop_port = line.find("> 198.18.0.2:5304 ") != std::string::npos;
        EXPECT_EQ(line.find("dropped by table filter at NF_INET_LOCAL_IN") != std::string::npos, to_drop_port)
            << line;
        EXPECT_EQ(line.find("ended at udp_rcv") != std::string::npos, !to_drop_port) << line;
    }
    EXPECT_EQ(ending_count(r.out, "ended at udp_rcv"), 4);
    EXPECT_EQ(ending_count(r.out, "dropped by table filter at NF_INET_LOCAL_IN"), 2);
    EXPECT_EQ(stage_count(r.out, "ipt_do_table@LOCAL_OUT -> ret_ipt_do_table@LOCAL_OUT"), 6);
    EXPECT_EQ(stage_count(r.out, "ipt_do_table@LOCAL_IN -> ret_ipt_do_table@LOCAL_IN"), 6);
    EXPECT_EQ(stage_count(r.out, "ip_local_deliver_finish -> udp_rcv"), 4);
    EXPECT_NE(r.out.find("journeys: 6 (92 rows)\n"), std::string::npos);

    report_result dropped = run_report({"--dropped", "--json", data_file("lab_udp_iptables.trace")});
    json lines = json_lines(dropped.out);
    ASSERT_EQ(lines.size(), 2u);
    for (const json &j : lines) {
        EXPECT_EQ(j["drop_hook"], "NF_INET_LOCAL_IN");
        EXPECT_EQ(j["drop_table"], "filter");
        EXPECT_EQ(j["rows"].back()["verdict"], "NF_DROP");
        EXPECT_EQ(j["rows"].back()["dport"], 5304);
    }
}

TEST(ReportLab, a_real_tcp_connection_splits_into_its_segments_even_where_an_ack_and_data_share_seq_and_ack)
{
    report_result r = run_report({data_file("lab_tcp_iptables.trace")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> journeys = journey_lines(r.out);
    ASSERT_EQ(journeys.size(), 10u) << r.out;
    EXPECT_NE(journeys[0].find("198.18.0.1:35338 > 198.18.0.2:5302 seq 493272869 ack 0"), std::string::npos);
    EXPECT_NE(journeys[0].find("tcp_v4_rcv __inet_lookup_listener tcp_v4_do_rcv"), std::string::npos);
    // The handshake's last ACK and the first data segment carry the same numbers.
    EXPECT_NE(journeys[2].find("seq 493272870 ack 4224997753"), std::string::npos);
    EXPECT_NE(journeys[3].find("seq 493272870 ack 4224997753"), std::string::npos);
    EXPECT_NE(journeys[3].find("ended at tcp_queue_rcv"), std::string::npos);
    EXPECT_NE(r.out.find("journeys: 10 (169 rows)\n"), std::string::npos);
    EXPECT_EQ(ending_count(r.out, "ended at tcp_queue_rcv"), 4);
    EXPECT_EQ(stage_count(r.out, "tcp_v4_rcv -> __inet_lookup_listener"), 1);
}

// The handshake's last ACK and the first data segment carry the same numbers;
// here (Debian 13 backports' 7.3 kernel) they were in flight at once on two
// CPUs and their rows interleave in time. Each row goes with the copy on its
// own CPU's path, so both are whole journeys.
TEST(ReportLab, two_copies_of_a_packet_in_flight_at_once_on_two_cpus_are_two_whole_journeys)
{
    report_result r = run_report({"--json", data_file("lab_tcp_interleaved.trace")});
    json all = json_lines(r.out);
    ASSERT_EQ(all.size(), 2u) << r.out;
    EXPECT_EQ(all[0]["path"].size(), 13u);
    EXPECT_EQ(all[0]["ending"], "ended at tcp_rcv_established");
    EXPECT_EQ(all[1]["ending"], "ended at tcp_queue_rcv");
    for (const json &j : all) {
        EXPECT_EQ(j["path"][0], "ip_output");
        int cpu = j["rows"][0]["cpu"];
        for (const json &row : j["rows"])
            EXPECT_EQ(row["cpu"], cpu) << row.dump();
    }

    // A real datagram's 16 rows and a copy of them on CPU 1, 30 us later:
    // the copy's table walk at LOCAL_OUT is another packet's, not a second
    // table at the hook, so each copy is one whole journey on its own CPU.
    std::vector<std::string> lines = lines_of(slurp(data_file("lab_udp_iptables.trace")));
    std::vector<std::pair<int64_t, std::string>> rows;
    for (size_t i = 1; i <= 16; i++) {
        int64_t time = std::stoll(lines[i].substr(0, 20));
        std::string copy = std::to_string(time + 30000);
        copy.resize(21, ' ');
        rows.push_back({time, lines[i]});
        rows.push_back({time + 30000, copy + "1     " + lines[i].substr(27)});
    }
    std::stable_sort(rows.begin(), rows.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::string twice = lines[0] + "\n";
    for (const auto &[time, line] : rows)
        twice += line + "\n";
    json copies = json_lines(run_report({"--json"}, twice).out);
    ASSERT_EQ(copies.size(), 2u);
    for (const json &j : copies) {
        EXPECT_EQ(j["rows"].size(), 16u) << j.dump();
        EXPECT_EQ(j["ending"], "ended at udp_rcv");
        for (const json &row : j["rows"])
            EXPECT_EQ(row["cpu"], j["rows"][0]["cpu"]) << row.dump();
    }
}

// The same two packets (7.3 on arm64, two CPUs) found their socket held by
// its process: both waited in its backlog, which the process then handled
// on CPU 2 and, moved by the scheduler, finished on CPU 0. A step under the
// socket's lock goes on with the packet the socket handled last, whatever
// its CPU, so these are two journeys that each pass the socket once.
TEST(ReportLab, a_socket_backlog_finished_on_another_cpu_leaves_two_packets_two_journeys)
{
    report_result r = run_report({"--json", data_file("lab_tcp_backlog_moved.trace")});
    ASSERT_EQ(r.status, 0) << r.err;
    json all = json_lines(r.out);
    ASSERT_EQ(all.size(), 2u) << r.out;
    std::multiset<std::string> endings;
    for (const json &j : all) {
        endings.insert(j["ending"].get<std::string>());
        std::vector<std::string> path = j["path"];
        EXPECT_EQ(path.front(), "ipt_do_table@LOCAL_OUT");
        EXPECT_EQ(std::count(path.begin(), path.end(), "tcp_v4_rcv"), 1) << j.dump();
        EXPECT_EQ(std::count(path.begin(), path.end(), "tcp_v4_do_rcv"), 1) << j.dump();
        EXPECT_EQ(std::count(path.begin(), path.end(), "tcp_rcv_established"), 1) << j.dump();
    }
    EXPECT_EQ(endings, (std::multiset<std::string>{"ended at tcp_queue_rcv", "ended at tcp_rcv_established"}));
}

// A loss marks only the journeys whose next row it could hide. The lab's
// datagrams a socket took on CPU 2 stay delivered when CPU 0, which they
// never used, loses samples after them; the first reads samples lost when
// CPU 2 loses them just after its last row. A TCP segment the socket left
// in its backlog may go on on another CPU, where the rest of it was lost.
TEST(ReportLab, lost_samples_mark_only_the_journeys_whose_next_row_they_could_hide)
{
    const std::string udp = slurp(data_file("lab_drops_udp.trace"));
    struct loss_case {
        const char *loss, *summary, *first_delivered; // the ending of the datagram of length 101
    };
    const loss_case cases[] = {
        {"# lost 1 samples on CPU 0 between 191953216740 and 191953216741",
         "delivered: 4, dropped: 7, not seen to the end: 0\n", "ended at udp_rcv"},
        {"# lost 1 samples on CPU 2 between 191574844580 and 191626189200",
         "delivered: 3, dropped: 7, not seen to the end: 1\n", "not seen to the end (samples lost)"},
    };
    for (const loss_case &c : cases) {
        SCOPED_TRACE(c.loss);
        report_result r = run_report({}, udp + c.loss + "\n");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(c.summary), std::string::npos) << r.out;
        std::vector<std::string> journeys = journey_lines(r.out);
        auto first = std::find_if(journeys.begin(), journeys.end(),
                                  [](const std::string &line) { return line.find(" len 101 ") != std::string::npos; });
        ASSERT_NE(first, journeys.end());
        EXPECT_NE(first->find(c.first_delivered), std::string::npos) << *first;
    }

    std::vector<std::string> backlog = lines_of(slurp(data_file("lab_tcp_backlog_moved.trace")));
    std::string segment; // the header and the first segment, up to its tcp_v4_rcv on CPU 0
    for (size_t i = 0; i < 18; i++)
        segment += backlog[i] + "\n";
    report_result r = run_report({}, segment + "# lost 1 samples on CPU 2 between 172267324080 and 172292785328\n");
    std::vector<std::string> journeys = journey_lines(r.out);
    ASSERT_EQ(journeys.size(), 1u) << r.out;
    EXPECT_NE(journeys[0].find("not seen to the end (samples lost)"), std::string::npos) << journeys[0];
}

// Real IPv6 traces of the lab: to each port the ending its traffic had
// (5332 and 5339 delivered, 5333 dropped by ip6tables, 5334 by an nft inet
// table, 5335 and 5336 refused, no listener); pings through a router are
// one journey each across it, and their replies, which ping reads on a raw
// socket no IPv6 probe sees, are never read as dropped.
TEST(ReportLab, real_ipv6_traffic_ends_as_it_did_and_a_forwarded_ping_is_one_journey)
{
    const std::map<uint32_t, std::vector<std::string>> ending_of_port = {
        {5332, {"ended at udpv6_rcv", "last seen at ip6_input_finish"}}, // a datagram in fragments: the first queued
        {5339, {"ended at udpv6_rcv", "ended at dev_hard_start_xmit"}},   // sent to another host
        {5333, {"dropped by table filter at NF_INET_LOCAL_IN"}},
        {5334, {"dropped by table inet v6fw base chain in at NF_INET_LOCAL_IN"}},
        {5335, {"dropped at tcp_v6_rcv: NO_SOCKET"}},
        {5336, {"dropped at __udp6_lib_rcv: NO_SOCKET"}},
    };
    std::map<uint32_t, size_t> seen;
    for (const char *name : {"lab_ipv6_udp.trace", "lab_ipv6_tcp.trace"}) {
        report_result r = run_report({"--json", data_file(name)});
        ASSERT_EQ(r.status, 0) << r.err;
        for (const json &line : json_lines(r.out)) {
            if (line["kind"] != "journey")
                continue;
            EXPECT_EQ(line["family"], "ipv6");
            auto port = ending_of_port.find(line["dport"].get<uint32_t>());
            if (port == ending_of_port.end())
                continue;
            seen[port->first]++;
            const std::vector<std::string> &endings = port->second;
            EXPECT_NE(std::find(endings.begin(), endings.end(), line["ending"]), endings.end())
                << name << ": " << line["flow"] << ": " << line["ending"];
        }
    }
    EXPECT_EQ(seen, (std::map<uint32_t, size_t>{{5332, 4}, {5333, 2}, {5334, 2}, {5335, 1}, {5336, 1}, {5339, 6}}));

    report_result r = run_report({"--json", data_file("lab_ipv6_icmp_host.trace")});
    ASSERT_EQ(r.status, 0) << r.err;
    size_t requests = 0, forwarded = 0, replies = 0;
    for (const json &line : json_lines(r.out)) {
        if (line["kind"] != "journey")
            continue;
        std::string flow = line["flow"], ending = line["ending"];
        const json &path = line["path"];
        bool through_router = std::find(path.begin(), path.end(), "ip6_forward") != path.end();
        if (flow.find("(echo request)") != std::string::npos) {
            requests++;
            forwarded += through_router;
            // Sent and received in one journey, however many hops.
            EXPECT_NE(std::find(path.begin(), path.end(), "ip6_output"), path.end()) << flow;
            EXPECT_EQ(ending, "ended at icmpv6_rcv") << flow;
        } else if (flow.find("(echo reply)") != std::string::npos) {
            replies++;
            // ping's raw socket took its copy (rawv6_rcv); the original is freed.
            EXPECT_EQ(line["class"], "delivered") << flow;
            EXPECT_EQ(ending, "delivered to a raw socket") << flow;
        }
        EXPECT_EQ(through_router, line["saddr"].get<std::string>().rfind("2001:db8:6:3::", 0) == 0 ||
                                      line["daddr"].get<std::string>().rfind("2001:db8:6:3::", 0) == 0)
            << flow;
    }
    EXPECT_EQ(requests, 9u);
    EXPECT_EQ(replies, 9u);
    EXPECT_EQ(forwarded, 3u);
}

TEST(ReportLab, real_datagrams_through_gro_start_their_receive_side_at_napi_gro_receive)
{
    report_result r = run_report({data_file("lab_udp_gro.trace")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(journey_lines(r.out).size(), 4u);
    EXPECT_EQ(stage_count(r.out, "dev_hard_start_xmit -> napi_gro_receive"), 4);
    EXPECT_EQ(stage_count(r.out, "dev_hard_start_xmit -> __netif_receive_skb"), -1);
    EXPECT_EQ(ending_count(r.out, "ended at udp_rcv"), 4);
    EXPECT_NE(r.out.find("journeys: 4 (56 rows)\n"), std::string::npos);
}

// ---- Placing rows ----------------------------------------------------------

// A row in the monitor's layout: the common columns, the protocol's, OTHER_INFO.
std::string layout_line(const std::vector<std::string> &common, const trace_layout::column_t *columns,
                        const std::vector<std::string> &values, const std::string &other)
{
    using namespace trace_layout;
    std::string out;
    auto put = [&](const std::string &value, size_t width) {
        out += value;
        out.append(value.size() < width ? width - value.size() : 0, ' ');
        out += ' ';
    };
    for (size_t i = 0; i < COMMON_COUNT; i++)
        put(common[i], COMMON[i].width);
    for (size_t i = 0; i < values.size(); i++)
        put(values[i], columns[i].width);
    return out + other;
}

// A UDP row in the monitor's layout from 198.18.0.1:45001 to
// 198.18.0.2:5304, any bytes in its texts (as an older monitor wrote them).
std::string udp_line(int64_t time, const std::string &function, const std::string &device = "veth0",
                     const std::string &other = "", int cpu = 0, unsigned len = 32)
{
    return layout_line({std::to_string(time), std::to_string(cpu), function, device, "02:00:00:00:00:01",
                        "02:00:00:00:00:02", "198.18.0.1", "198.18.0.2"},
                       trace_layout::UDP, {"45001", "5304", std::to_string(len)}, other);
}

std::string udp_header()
{
    return render(PROTO_UDP, {})[0];
}

// ---- Traces of two hosts ----------------------------------------------------

std::string write_temp(const std::string &dir, const std::string &name, const std::string &text)
{
    std::ofstream(dir + "/" + name, std::ios::binary) << text;
    return dir + "/" + name;
}

// Host b booted three hours after host a: b's clock = a's + HOURS_3.
constexpr int64_t HOURS_3 = int64_t(3) * 3600 * 1000 * 1000 * 1000;

// A lab trace of 198.18.0.1 and 198.18.1.1 (host a) talking to 198.18.0.2
// and 198.18.1.2 (host b) over veth pairs, cut into what each host's
// monitor would have written: a packet's rows down to dev_hard_start_xmit
// (table walks at LOCAL_OUT and POST_ROUTING included) on its sender, the
// rest on its receiver; b's times moved by HOURS_3. keep(row words) false
// leaves a row out of both.
const std::set<std::string> TRANSMIT = {"ip_output",         "ip_finish_output",  "ip_finish_output2",
                                        "ip6_output",        "ip6_finish_output", "ip6_finish_output2",
                                        "__dev_queue_xmit", "dev_hard_start_xmit"};

struct two_hosts {
    std::string a, b;
    std::map<int64_t, int64_t> wire; // by the time of a packet's dev_hard_start_xmit row: its true one-way time
};

bool is_number(const std::string &word)
{
    return !word.empty() && word.find_first_not_of("0123456789") == std::string::npos;
}

two_hosts split_hosts(const std::string &trace, const std::function<bool(const std::vector<std::string> &)> &keep)
{
    two_hosts out;
    std::vector<std::string> lines = lines_of(trace);
    out.a = out.b = lines[0] + "\n";
    std::map<std::string, bool> on_sender;                   // by packet: where its last row was
    std::map<std::string, std::pair<int64_t, int64_t>> sent; // by packet: its xmit's time, as written
    for (size_t i = 1; i < lines.size(); i++) {
        std::istringstream in(lines[i]);
        std::vector<std::string> words;
        for (std::string w; in >> w;)
            words.push_back(w);
        if (!keep(words))
            continue;
        std::string packet = words[6] + " " + words[7] + " " + words[8] + " " + words[9] + " " + words[10];
        if (words.size() > 11 && is_number(words[11]))
            packet += " " + words[11];
        const std::string &function = words[2];
        bool sender = TRANSMIT.count(function) || lines[i].find("hook:NF_INET_LOCAL_OUT") != std::string::npos ||
                      lines[i].find("hook:NF_INET_POST_ROUTING") != std::string::npos ||
                      (function.rfind("ret_", 0) == 0 && on_sender[packet]);
        on_sender[packet] = sender;
        bool from_a = words[6].back() == '1', on_a = sender == from_a;
        int64_t time = std::stoll(words[0]), written = on_a ? time : time + HOURS_3;
        if (function == "dev_hard_start_xmit")
            sent[packet] = {time, written};
        else if (!sender && sent.count(packet)) {
            out.wire[sent[packet].second] = time - sent[packet].first;
            sent.erase(packet);
        }
        std::string stamp = std::to_string(written);
        size_t width = lines[i].find_first_not_of(' ', words[0].size());
        stamp.append(stamp.size() < width ? width - stamp.size() : 1, ' ');
        (on_a ? out.a : out.b) += stamp + lines[i].substr(width) + "\n";
    }
    return out;
}

// Each joined journey's wire: never negative, the true one-way time within the bound.
void expect_true_wires(const std::vector<json> &lines, const two_hosts &hosts, int64_t error)
{
    for (const json &line : lines) {
        if (line["kind"] != "joined")
            continue;
        const json &rows = line["rows"];
        size_t xmit = 0;
        while (xmit + 1 < rows.size() && rows[xmit]["trace_info"] != "dev_hard_start_xmit")
            xmit++;
        EXPECT_EQ(rows[xmit]["host"], line["hosts"][0]);
        EXPECT_EQ(rows[xmit + 1]["host"], line["hosts"][1]);
        int64_t wire = line["wire_ns"], truth = hosts.wire.at(rows[xmit]["time"]);
        EXPECT_EQ(line["wire_error_ns"], error);
        EXPECT_LE(std::llabs(wire - truth), error) << line["flow"];
        EXPECT_GE(line["duration_ns"].get<int64_t>(), wire);
    }
}

std::vector<json> all_json_lines(const std::string &out)
{
    std::vector<json> lines;
    for (const std::string &line : lines_of(out))
        lines.push_back(json::parse(line));
    EXPECT_EQ(stream_error(lines), "");
    return lines;
}

// Eleven pings each way, one request lost on the wire (b never saw it, so
// never answered): twenty packets seen on both hosts, one only on a.
TEST(ReportHosts, a_packet_seen_on_two_hosts_is_one_journey_across_the_wire_and_the_clocks_match_within_the_bound)
{
    two_hosts hosts = split_hosts(slurp(data_file("lab_icmp_plain.trace")), [](const std::vector<std::string> &w) {
        return w[10] != "199" || w[11] != "1" || (w[6] == "198.18.0.1" && TRANSMIT.count(w[2]));
    });
    // The second request's receive on b: every probe skipped but its drop.
    std::string b_trace;
    bool drop_written = false;
    for (const std::string &line : lines_of(hosts.b)) {
        bool request_2 = line.find(" 198.18.0.1 ") != std::string::npos && line.find(" 8     0     199   2 ") != std::string::npos;
        if (request_2 && !drop_written)
            b_trace += line.substr(0, 27) + "kfree_skb                     " + line.substr(57, 177 - 57) +
                       "reason:NO_SOCKET at: icmp_rcv\n";
        drop_written = drop_written || request_2;
        if (!request_2)
            b_trace += line + "\n";
    }
    ASSERT_TRUE(drop_written);
    hosts.b = b_trace;
    std::string dir = temp_dir();
    std::string a = write_temp(dir, "a.txt", hosts.a), b = write_temp(dir, "b.txt", hosts.b);
    report_result r = run_report({"--json", "--host", "a=" + a, "--host", "b=" + b});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<json> lines = all_json_lines(r.out);
    ASSERT_EQ(lines[0]["kind"], "clock");
    const json &clock = lines[0];
    EXPECT_EQ(clock["hosts"], json({"a", "b"}));
    EXPECT_EQ(clock["matched"], 20);
    int64_t offset = clock["offset_ns"], error = clock["error_ns"];
    EXPECT_GE(error, 0);
    EXPECT_LE(std::llabs(offset - HOURS_3), error);
    EXPECT_LT(error, 1000 * 1000); // the least one-way times are well under a millisecond
    size_t joined = 0, rows = 0;
    for (const json &line : lines) {
        if (line["kind"] == "journey") {
            EXPECT_EQ(line["ending"], "left a at dev_hard_start_xmit, never seen at b");
            EXPECT_EQ(line["dropped"], false);
            EXPECT_EQ(line["flow"], "198.18.0.1 > 198.18.0.2 type 8 id 199 seq 1");
            rows += line["rows"].size();
        }
        if (line["kind"] != "joined")
            continue;
        joined++;
        rows += line["rows"].size();
        bool from_a = line["saddr"].get<std::string>().back() == '1';
        EXPECT_EQ(line["hosts"], from_a ? json({"a", "b"}) : json({"b", "a"}));
        EXPECT_EQ(line["file"], from_a ? a : b);
        EXPECT_EQ(line["rows"][4]["trace_info"], "dev_hard_start_xmit");
        if (line["flow"] == "198.18.0.1 > 198.18.0.2 type 8 id 199 seq 2") {
            EXPECT_EQ(line["ending"], "dropped at icmp_rcv: NO_SOCKET");
            EXPECT_EQ(line["rows"].size(), 6u);
            EXPECT_EQ(line["rows"][5]["trace_info"], "kfree_skb");
            EXPECT_EQ(line["rows"][5]["host"], "b");
        } else {
            EXPECT_EQ(line["ending"], "ended at icmp_rcv");
            EXPECT_EQ(line["rows"][5]["trace_info"], "__netif_receive_skb");
        }
        EXPECT_EQ(line["start_ns"], line["rows"][0]["time"]);
    }
    EXPECT_EQ(joined, 20u);
    expect_true_wires(lines, hosts, error);
    EXPECT_EQ(rows, lines_of(hosts.a).size() + lines_of(hosts.b).size() - 2); // every row in one line

    // Plain files are one host's: never joined, whatever traffic they share.
    report_result plain = run_report({"--json", a, b});
    EXPECT_EQ(plain.err, "");
    for (const json &line : all_json_lines(plain.out))
        EXPECT_TRUE(line["kind"] != "clock" && line["kind"] != "joined") << line;
    // A plain file beside named hosts is a host of its own, named by its
    // base name, made apart from a --host of that name.
    std::filesystem::create_directory(dir + "/again");
    std::string b_again = write_temp(dir + "/again", "a.txt", hosts.b);
    std::vector<json> mixed = all_json_lines(run_report({"--json", "--host", "a=" + a, b_again}).out);
    EXPECT_EQ(mixed[0]["hosts"], json({"a", "a-2"}));
    EXPECT_EQ(mixed[0]["offset_ns"], offset);

    // The text: the clock once, then a line per packet with its hosts and wire.
    report_result text = run_report({"--host", "a=" + a, "--host", "b=" + b});
    EXPECT_EQ(text.out.substr(0, text.out.find('\n') + 1),
              "clock: b = a + " + std::to_string(offset) + " ns +- " + std::to_string(error) +
                  " ns (20 packets seen on both)\n");
    std::vector<std::string> journeys = journey_lines(text.out);
    ASSERT_EQ(journeys.size(), 21u);
    EXPECT_NE(journeys[0].find(" a:ip_output ip_finish_output ip_finish_output2 __dev_queue_xmit "
                               "dev_hard_start_xmit =(wire:"),
              std::string::npos)
        << journeys[0];
    EXPECT_NE(journeys[0].find("us)=>b:__netif_receive_skb __netif_receive_skb_one_core ip_rcv "), std::string::npos);
    EXPECT_EQ(ending_count(text.out, "left a at dev_hard_start_xmit, never seen at b"), 1);
    EXPECT_EQ(ending_count(text.out, "ended at icmp_rcv"), 19);
    EXPECT_EQ(ending_count(text.out, "dropped at icmp_rcv: NO_SOCKET"), 1);
    EXPECT_EQ(stage_count(text.out, "dev_hard_start_xmit -> __netif_receive_skb"), -1); // no stage across hosts
    // Stages per host: a's requests and b's replies leave by the same functions.
    EXPECT_EQ(stage_count(text.out, "ip_output -> ip_finish_output"), -1);
    EXPECT_EQ(stage_count(text.out, "a: ip_output -> ip_finish_output") +
                  stage_count(text.out, "b: ip_output -> ip_finish_output"),
              21);
    EXPECT_GT(stage_count(text.out, "b: ip_output -> ip_finish_output"), 0);

    // The page: a lane per joined journey, hosts as bands, the wire between.
    std::string page = dir + "/page.html";
    ASSERT_EQ(run_report({"--html", page, "--host", "a=" + a, "--host", "b=" + b}).status, 0);
    std::string html = slurp(page);
    size_t lanes = html.find("<div class=\"lanes\" id=\"joined\">");
    ASSERT_NE(lanes, std::string::npos);
    std::string svg = html.substr(lanes, html.find("<div class=\"lanes\" id=\"timeline\">", lanes) - lanes);
    size_t bands = 0, wires = 0;
    for (size_t at = 0; (at = svg.find("class=\"band ", at)) != std::string::npos; at++)
        bands++;
    for (size_t at = 0; (at = svg.find("class=\"wire\"", at)) != std::string::npos; at++)
        wires++;
    EXPECT_EQ(bands, 40u);
    EXPECT_EQ(wires, 20u);
    std::filesystem::remove_all(dir);
}

// As the monitor traces one protocol a run, each host has a trace per
// protocol: the TCP connection (equal SEQ and ACK_SEQ twice, so packets
// of one key paired in time order) matches the clocks, and the datagrams
// one way, some dropped by b's table, join on that clock.
// IPv6 packets seen on two hosts join as IPv4 ones do: the ping and its
// reply, the neighbor solicitation and its advertisement, each one journey
// across the wire.
TEST(ReportHosts, ipv6_packets_seen_on_two_hosts_join_across_the_wire)
{
    std::string icmp6 = slurp(data_file("ipv6.trace"));
    icmp6 = icmp6.substr(0, icmp6.find("\nTIME ") + 1); // the ICMPv6 trace alone
    // Two hosts on a wire: no veth hands the packet over between them.
    two_hosts hosts = split_hosts(icmp6, [](const std::vector<std::string> &w) { return w[2] != "veth_xmit"; });
    std::string dir = temp_dir();
    std::string a = write_temp(dir, "a.txt", hosts.a), b = write_temp(dir, "b.txt", hosts.b);
    report_result r = run_report({"--json", "--host", "a=" + a, "--host", "b=" + b});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<json> lines = all_json_lines(r.out);
    ASSERT_EQ(lines[0]["kind"], "clock");
    EXPECT_EQ(lines[0]["matched"], 4);
    int64_t error = lines[0]["error_ns"];
    EXPECT_LE(std::llabs(lines[0]["offset_ns"].get<int64_t>() - HOURS_3), error);
    std::set<std::string> flows;
    for (const json &line : lines) {
        EXPECT_NE(line["kind"], "journey") << line["flow"];
        if (line["kind"] != "joined")
            continue;
        EXPECT_EQ(line["family"], "ipv6");
        EXPECT_EQ(line["ending"], "ended at icmpv6_rcv");
        flows.insert(line["flow"].get<std::string>());
    }
    EXPECT_EQ(flows, (std::set<std::string>{"fd00:1::1 > fd00:1::2 type 128 (echo request) id 4660 seq 1",
                                            "fd00:1::2 > fd00:1::1 type 129 (echo reply) id 4660 seq 1",
                                            "fd00:1::1 > ff02::1:ff00:2 type 135 (neighbor solicitation) id 0 seq 0",
                                            "fd00:1::2 > fd00:1::1 type 136 (neighbor advertisement) id 24576 seq 0"}));
    expect_true_wires(lines, hosts, error);
}

TEST(ReportHosts, a_host_of_several_traces_joins_tcp_both_ways_and_datagrams_dropped_on_the_receiver)
{
    auto all = [](const std::vector<std::string> &) { return true; };
    two_hosts tcp = split_hosts(slurp(data_file("lab_tcp_iptables.trace")), all);
    two_hosts udp = split_hosts(slurp(data_file("lab_udp_iptables.trace")), all);
    std::string dir = temp_dir();
    report_result r = run_report({"--json", "--host", "a=" + write_temp(dir, "a_tcp.txt", tcp.a), "--host",
                                  "b=" + write_temp(dir, "b_udp.txt", udp.b), "--host",
                                  "a=" + write_temp(dir, "a_udp.txt", udp.a), "--host",
                                  "b=" + write_temp(dir, "b_tcp.txt", tcp.b)});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<json> lines = all_json_lines(r.out);
    EXPECT_EQ(lines[0]["hosts"], json({"a", "b"}));
    EXPECT_EQ(lines[0]["matched"], 10 + 6);
    int64_t error = lines[0]["error_ns"];
    EXPECT_LE(std::llabs(lines[0]["offset_ns"].get<int64_t>() - HOURS_3), error);
    std::map<std::string, int> endings;
    for (const json &line : lines) {
        EXPECT_NE(line["kind"], "journey") << line.dump().substr(0, 300);
        if (line["kind"] == "joined")
            endings[line["protocol"].get<std::string>() + " " + line["ending"].get<std::string>()]++;
        if (line["kind"] == "joined" && line["dport"] == 5304) {
            EXPECT_EQ(line["dropped"], true);
            EXPECT_EQ(line["drop_hook"], "NF_INET_LOCAL_IN");
            EXPECT_EQ(line["rows"].back()["host"], "b");
        }
    }
    EXPECT_EQ(endings, (std::map<std::string, int>{{"tcp ended at tcp_queue_rcv", 4},
                                                   {"tcp ended at tcp_rcv_established", 2},
                                                   {"tcp ended at tcp_v4_do_rcv", 3},
                                                   {"tcp ended at tcp_v4_rcv", 1},
                                                   {"udp dropped by table filter at NF_INET_LOCAL_IN", 2},
                                                   {"udp ended at udp_rcv", 4}}));
    two_hosts both = tcp;
    both.wire.insert(udp.wire.begin(), udp.wire.end());
    expect_true_wires(lines, both, error);
    std::filesystem::remove_all(dir);
}

// Traffic one way only (b's replies and a's receive rows left out): no
// clock can be matched. Named hosts are refused; plain files are one host's,
// read exactly as one input holding both, without a word.
TEST(ReportHosts, traces_that_share_no_traffic_both_ways_are_refused_with_host_and_read_as_one_host_as_files)
{
    two_hosts hosts = split_hosts(slurp(data_file("lab_icmp_plain.trace")),
                                  [](const std::vector<std::string> &w) { return w[6].back() == '1'; });
    std::string dir = temp_dir();
    std::string a = write_temp(dir, "sender.trace", hosts.a), b = write_temp(dir, "receiver.trace", hosts.b);
    for (bool json_out : {false, true}) {
        std::vector<std::string> args = {"--host", "a=" + a, "--host", "b=" + b};
        if (json_out)
            args.push_back("--json");
        report_result named = run_report(args);
        EXPECT_EQ(named.status, 1);
        EXPECT_EQ(named.out, "");
        EXPECT_EQ(named.err, "no traffic seen in both directions between a and b: their clocks cannot be matched\n");
    }
    report_result plain = run_report({a, b});
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(plain.out, run_report({}, hosts.a + hosts.b).out);
    // A host named by its file's name is shown as every trace text is.
    std::string evil = write_temp(dir, "evil\x1b[2J.trace", hosts.b);
    EXPECT_EQ(run_report({"--host", "a=" + a, evil}).err,
              "no traffic seen in both directions between a and evil\\x1b[2J: their clocks cannot be matched\n");
    EXPECT_EQ(journey_lines(plain.out).size(), 22u);
    EXPECT_EQ(ending_count(plain.out, "ended at dev_hard_start_xmit"), 11);

    // One file twice is one host: nothing to join, nothing to say.
    std::filesystem::create_symlink(a, dir + "/link.trace");
    report_result twice = run_report({a, dir + "/link.trace"});
    EXPECT_EQ(twice.err, "");
    EXPECT_EQ(journey_lines(twice.out).size(), 22u);
    std::filesystem::remove_all(dir);
}

// Clocks far apart at the ends of int64: an offset that fits is found, one
// that does not (b's clock behind a's by more than int64 holds) is no match.
TEST(ReportHosts, clocks_at_the_ends_of_int64_join_when_their_offset_fits_and_are_refused_when_not)
{
    auto back = [](std::string line) { // the same row, from 198.18.0.2 to 198.18.0.1
        size_t at = line.find("198.18.0.1");
        line.replace(at, 10, "198.18.0.X");
        line.replace(line.find("198.18.0.2"), 10, "198.18.0.1");
        return line.replace(at, 10, "198.18.0.2");
    };
    const std::pair<int64_t, int64_t> clocks[] = {{4000000000000000000, 9000000000000000000},
                                                  {9000000000000000000, 1000000000000000000},
                                                  {INT64_MAX - 1000, INT64_MIN}};
    for (auto [a_at, b_at] : clocks) {
        std::string dir = temp_dir();
        std::string a = write_temp(dir, "a.trace",
                                   udp_header() + "\n" + udp_line(a_at, "ip_output") + "\n" +
                                       udp_line(a_at + 10, "dev_hard_start_xmit") + "\n" +
                                       back(udp_line(a_at + 300, "__netif_receive_skb")) + "\n" +
                                       back(udp_line(a_at + 310, "udp_rcv")) + "\n");
        std::string b = write_temp(dir, "b.trace",
                                   udp_header() + "\n" + udp_line(b_at + 100, "__netif_receive_skb") + "\n" +
                                       udp_line(b_at + 110, "udp_rcv") + "\n" +
                                       back(udp_line(b_at + 200, "ip_output")) + "\n" +
                                       back(udp_line(b_at + 210, "dev_hard_start_xmit")) + "\n");
        report_result r = run_report({"--json", "--host", "a=" + a, "--host", "b=" + b});
        if (b_at == INT64_MIN) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "no traffic seen in both directions between a and b: their clocks cannot be matched\n");
        } else {
            ASSERT_EQ(r.status, 0) << r.err;
            std::vector<json> lines = all_json_lines(r.out);
            ASSERT_EQ(lines.size(), 8u); // clock, two joined, two stages on each host, summary
            for (size_t i : {3, 4, 5, 6})
                EXPECT_EQ(lines[i]["host"], i < 5 ? "a" : "b") << lines[i];
            EXPECT_EQ(lines[2]["kind"], "joined");
            // One-way times of 90 and 90 ns: the offset exactly, within their mean.
            EXPECT_EQ(lines[0]["offset_ns"], b_at - a_at);
            EXPECT_EQ(lines[0]["error_ns"], 90);
            EXPECT_EQ(lines[1]["wire_ns"], 90);
            EXPECT_EQ(lines[1]["duration_ns"], 10 + 90 + 10);
            EXPECT_EQ(lines[2]["start_ns"], b_at + 200); // the sender's clock
            int64_t offset = b_at - a_at;
            std::string text = run_report({"--host", "a=" + a, "--host", "b=" + b}).out;
            EXPECT_EQ(text.substr(0, text.find('\n') + 1),
                      "clock: b = a " + std::string(offset < 0 ? "- " : "+ ") + std::to_string(std::llabs(offset)) +
                          " ns +- 90 ns (2 packets seen on both)\n");
        }
        std::filesystem::remove_all(dir);
    }
}

// A trace read with the library, every key made into journeys: the lines of
// each journey's rows, in the order of their first lines.
std::vector<std::vector<uint32_t>> journeys_by_line(const std::string &trace, size_t path_scan_max)
{
    report_state state;
    state.path_scan_max = path_scan_max;
    state.sources.push_back({"trace", 0, {}, 0});
    uint32_t source = 0;
    uint64_t line_no = 0;
    const char *bad;
    for (const std::string &line : lines_of(trace))
        read_line(state, source, ++line_no, line, 0, &bad);
    std::vector<journey> journeys, repeated;
    for (auto &[key, group] : state.groups)
        split_group(state, key, group, false, journeys, repeated);
    std::vector<std::vector<uint32_t>> out;
    for (const std::vector<journey> *list : {&journeys, &repeated})
        for (const journey &j : *list) {
            out.emplace_back();
            for (const trace_row &row : j.rows)
                out.back().push_back(row.line);
        }
    std::sort(out.begin(), out.end());
    return out;
}

// A FIN sent twice, both copies in flight at once: the first reached the
// socket in FIN_WAIT1 and went on, the second found it in TIME_WAIT, which
// freed it at tcp_v4_rcv after sending its ACK. The drop row is the copy's
// that stopped there, never a drop of the one that went on (a real trace).
TEST(ReportEndings, a_drop_row_goes_with_the_copy_that_stopped_where_the_kernel_freed_it)
{
    std::vector<json> journeys;
    for (const json &line : all_json_lines(run_report({"--json", data_file("lab_fin_twice.trace")}).out))
        if (line["kind"] == "journey")
            journeys.push_back(line);
    ASSERT_EQ(journeys.size(), 2u);
    std::multiset<std::string> endings;
    for (const json &j : journeys) {
        EXPECT_EQ(j["class"], "delivered") << j["ending"];
        endings.insert(j["ending"].get<std::string>());
    }
    EXPECT_EQ(endings, (std::multiset<std::string>{"delivered to a socket in TIME_WAIT", "ended at tcp_v4_do_rcv"}));
}

// Two files of one host: a stage line per file, both of that host, whose
// counts add up to the text's stage of the host; each flow's earliest
// journey alone is its first, and a stage's max that a first paid says so.
TEST(ReportStages, stage_lines_are_per_file_and_host_and_the_first_journey_of_each_flow_is_marked)
{
    const std::string tcp = data_file("lab_traffic_tcp.trace"), udp = data_file("lab_traffic_udp.trace");
    std::vector<json> lines = all_json_lines(run_report({"--json", tcp, udp}).out);
    std::map<std::string, int64_t> counts; // by stage name, over both files
    std::set<std::string> files, flows;
    for (const json &line : lines) {
        if (line["kind"] == "stage") {
            files.insert(line["file"].get<std::string>());
            EXPECT_EQ(line["host"], "lab_traffic_tcp") << line; // plain files: one host, the first's name
            counts[line["from"].get<std::string>() + " -> " + line["to"].get<std::string>()] += line["count"].get<int64_t>();
        }
        if (line["kind"] != "journey")
            continue;
        // Journeys come in start order: a flow's first is the first of its flow seen.
        std::string flow = line["file"].get<std::string>() + " " + line["saddr"].get<std::string>() + " " +
                           line["daddr"].get<std::string>() + " " + line["sport"].dump() + " " + line["dport"].dump();
        EXPECT_EQ(line["first_of_flow"], flows.insert(flow).second) << line["flow"] << " " << line["start_ns"];
    }
    EXPECT_EQ(files, (std::set<std::string>{tcp, udp}));
    EXPECT_GT(flows.size(), 2u);
    std::string text = run_report({tcp, udp}).out;
    for (const auto &[name, count] : counts)
        EXPECT_EQ(stage_count(text, name), count) << name;

    // A journey's first packet pays the connection's first walk: a stage
    // whose max the SYN paid says so; the others do not.
    std::string trace = slurp(data_file("lab_tcp_interleaved.trace"));
    std::vector<json> one = all_json_lines(run_report({"--json", "-"}, trace).out);
    int64_t first_max = 0, later_max = 0;
    for (const json &line : one)
        if (line["kind"] == "journey")
            for (size_t i = 1; i < line["rows"].size(); i++) {
                int64_t ns = line["rows"][i]["time"].get<int64_t>() - line["rows"][i - 1]["time"].get<int64_t>();
                (line["first_of_flow"] ? first_max : later_max) = std::max(line["first_of_flow"] ? first_max : later_max, ns);
            }
    bool said = false;
    for (const json &line : one)
        if (line["kind"] == "stage" && line["max_first_of_flow"] == true) {
            said = true;
            EXPECT_LE(line["max_ns"].get<int64_t>(), first_max) << line;
        }
    EXPECT_EQ(said, first_max > 0);
}

// The neighbour output holds a packet until its neighbour answers, or
// gives up and frees it: seconds later, and still one journey; a packet
// last seen anywhere else is not waited for that long.
TEST(ReportEndings, a_packet_held_for_its_neighbour_is_one_journey_however_long_it_waits)
{
    auto rows = [](std::initializer_list<std::pair<int64_t, const char *>> steps, const char *drop_at = nullptr,
                   int64_t drop_after = 3'000'000'000) {
        std::string text = udp_header() + "\n";
        int64_t last = 0;
        for (const auto &[time, function] : steps)
            text += udp_line(last = time, function) + "\n";
        if (drop_at)
            text += udp_line(last + drop_after, "kfree_skb", "veth0", std::string("reason:NEIGH_FAILED at: ") + drop_at) +
                    "\n";
        return text;
    };
    struct wait_case {
        std::string trace;
        std::vector<const char *> endings;
    } cases[] = {
        {rows({{1000, "ip_output"}, {2000, "ip_finish_output"}, {3000, "ip_finish_output2"}}, "arp_error_report"),
         {"dropped at arp_error_report: NEIGH_FAILED"}},
        {rows({{1000, "ip_output"}, {2000, "ip_finish_output"}, {3000, "ip_finish_output2"},
               {1'500'003'000, "__dev_queue_xmit"}, {1'500'004'000, "dev_hard_start_xmit"}}),
         {"ended at dev_hard_start_xmit"}},
        {rows({{1000, "ip_output"}, {2000, "ip_finish_output"}}, "arp_error_report"),
         {"last seen at ip_finish_output", "dropped at arp_error_report: NEIGH_FAILED"}},
        {rows({{1000, "ip_output"}, {2000, "ip_finish_output"}, {3000, "ip_finish_output2"}}, "arp_error_report",
              11'000'000'000),
         {"last seen at ip_finish_output2", "dropped at arp_error_report: NEIGH_FAILED"}},
    };
    for (const wait_case &c : cases) {
        report_result r = run_report({}, c.trace);
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> journeys = journey_lines(r.out);
        ASSERT_EQ(journeys.size(), c.endings.size()) << r.out;
        for (size_t i = 0; i < journeys.size(); i++)
            EXPECT_NE(journeys[i].find(c.endings[i]), std::string::npos) << journeys[i];
    }
}

// A socket's queue purged at its close, seconds after it took the packet:
// the purge row is no second packet, yet alone (the trace began after the
// delivery) it tells how that packet ended.
TEST(ReportEndings, a_purge_long_after_the_delivery_is_no_second_journey)
{
    std::string delivered;
    int64_t time = 1000;
    for (const char *function : {"ip_rcv", "ip_local_deliver", "ip_local_deliver_finish", "udp_rcv"})
        delivered += udp_line(time += 1000, function) + "\n";
    const std::string purge =
        udp_line(3'000'000'000, "kfree_skb", "veth0", "reason:QUEUE_PURGE at: inet_sock_destruct buf:1") + "\n";
    const std::pair<std::string, const char *> cases[] = {
        {delivered + purge, "ended at udp_rcv"},
        {purge, "delivered, freed unread at close"},
        {delivered + udp_line(3'000'000'000, "kfree_skb", "veth0", "reason:NO_SOCKET at: __udp4_lib_rcv buf:1") + "\n",
         "dropped at __udp4_lib_rcv: NO_SOCKET"},
    };
    for (const auto &[rows, last_ending] : cases) {
        report_result r = run_report({}, udp_header() + "\n" + rows);
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> journeys = journey_lines(r.out);
        ASSERT_EQ(journeys.size(), rows.find("NO_SOCKET") == std::string::npos ? 1u : 2u) << r.out;
        EXPECT_NE(journeys.back().find(last_ending), std::string::npos) << journeys.back();
    }
}

// What each drop row did to its packet, read from the rows around it: the
// packet's own drop, or what the kernel freed after a delivery (a raw
// socket's copy taken, a copy for one socket, a purge at close, a stale
// segment), and a journey whose end the trace did not see.
// A TCP row in the monitor's layout from 198.18.0.1:45000 to
// 198.18.0.2:5302, or back (reply).
std::string tcp_line(int64_t time, const std::string &function, bool reply, uint32_t seq, uint32_t ack,
                     const std::string &other = "", int cpu = 0)
{
    return layout_line({std::to_string(time), std::to_string(cpu), function, "veth0", "02:00:00:00:00:01",
                        "02:00:00:00:00:02", reply ? "198.18.0.2" : "198.18.0.1", reply ? "198.18.0.1" : "198.18.0.2"},
                       trace_layout::TCP,
                       {reply ? "5302" : "45000", reply ? "45000" : "5302", std::to_string(seq), std::to_string(ack)},
                       other);
}

// The journeys of one trace's text, its rows read into STATE as one source.
std::vector<journey> journeys_read(report_state &state, const std::string &trace)
{
    state.sources.push_back({"trace", 0, {}, 0});
    uint32_t source = uint32_t(state.sources.size() - 1);
    uint64_t line_no = 0;
    const char *bad = nullptr;
    for (const std::string &line : lines_of(trace))
        read_line(state, source, ++line_no, line, 0, &bad);
    std::vector<journey> journeys, repeated;
    for (auto &[key, group] : state.groups)
        split_group(state, key, group, false, journeys, repeated);
    return journeys;
}

TEST(ReportEndings, each_drop_row_is_read_for_what_it_did_to_the_packet)
{
    struct drop_case {
        const char *name;
        std::vector<std::pair<std::string, std::string>> rows; // function, OTHER_INFO
        std::string sentence, klass;
        const char *daddr = nullptr;  // another destination than 198.18.0.2
        std::string extra_line = "";  // a line after the header
        const char *dmac = nullptr;   // another destination MAC
    };
    auto drop = [](const char *reason, const char *at) {
        return std::make_pair(std::string("kfree_skb"), std::string("reason:") + reason + " at: " + at);
    };
    const std::pair<std::string, std::string> deliver[] = {{"ip_rcv", ""}, {"ip_local_deliver", ""},
                                                           {"ip_local_deliver_finish", ""}};
    auto path = [&](std::initializer_list<std::pair<std::string, std::string>> tail) {
        std::vector<std::pair<std::string, std::string>> rows(std::begin(deliver), std::end(deliver));
        rows.insert(rows.end(), tail);
        return rows;
    };
    const drop_case cases[] = {
        {"ping's reply: a raw socket took its copy",
         path({{"raw_rcv", ""}, {"icmp_rcv", ""}, drop("NO_SOCKET", "icmp_rcv")}), "delivered to a raw socket",
         "delivered"},
        {"no raw socket: no socket at all", path({{"icmp_rcv", ""}, drop("NO_SOCKET", "icmp_rcv")}),
         "dropped at icmp_rcv: NO_SOCKET", "dropped"},
        {"a raw socket's own copy over its buffer, the rest freed as no ping socket wanted it",
         path({{"raw_rcv", ""}, drop("SOCKET_RCVBUFF", "raw_rcv_skb"), {"icmp_rcv", ""}, drop("NO_SOCKET", "ping_rcv")}),
         "delivered to a raw socket", "delivered"},
        {"freed from a socket's queue at its close", path({{"udp_rcv", ""}, drop("QUEUE_PURGE", "sk_stream_kill_queues")}),
         "delivered, freed unread at close", "delivered"},
        {"freed from a neighbour's queue, never sent",
         {{"ip_output", ""}, {"ip_finish_output2", ""}, drop("QUEUE_PURGE", "neigh_flush_dev")},
         "dropped at neigh_flush_dev: QUEUE_PURGE", "dropped"},
        {"a keepalive", path({{"udp_rcv", ""}, drop("TCP_OLD_SEQUENCE", "tcp_validate_incoming")}),
         "discarded: duplicate or stale (TCP_OLD_SEQUENCE)", "delivered"},
        {"a segment that met its socket as the connection ended",
         path({{"udp_rcv", ""}, drop("TCP_CLOSE", "tcp_rcv_state_process")}),
         "discarded: duplicate or stale (TCP_CLOSE)", "delivered"},
        {"one multicast socket's copy over its buffer",
         path({{"udp_rcv", ""}, drop("SOCKET_RCVBUFF", "__udp_queue_rcv_skb")}),
         "a copy for one socket dropped (SOCKET_RCVBUFF)", "delivered", "239.1.2.3"},
        {"a group's only member over its buffer: the only buffer",
         path({{"udp_rcv", ""}, {"kfree_skb", "reason:SOCKET_RCVBUFF at: __udp_queue_rcv_skb buf:3 sole"}}),
         "dropped at __udp_queue_rcv_skb: SOCKET_RCVBUFF", "dropped", "239.1.2.3"},
        {"the only socket's buffer full", path({{"udp_rcv", ""}, drop("SOCKET_RCVBUFF", "__udp_queue_rcv_skb")}),
         "dropped at __udp_queue_rcv_skb: SOCKET_RCVBUFF", "dropped"},
        // UDP frees a group's datagram no socket holds without a reason.
        {"a multicast no socket held", path({{"udp_rcv", ""}, drop("NOT_SPECIFIED", "__udp4_lib_rcv")}),
         "dropped at __udp4_lib_rcv: no socket for the broadcast or multicast", "dropped", "239.18.0.1"},
        {"a broadcast no socket held", path({{"udp_rcv", ""}, drop("NOT_SPECIFIED", "__udp4_lib_mcast_deliver.isra.0")}),
         "dropped at __udp4_lib_mcast_deliver.isra.0: no socket for the broadcast or multicast", "dropped",
         "255.255.255.255"},
        {"a subnet's broadcast, told by its frame", path({{"udp_rcv", ""}, drop("NOT_SPECIFIED", "udp_rcv")}),
         "dropped at udp_rcv: no socket for the broadcast or multicast", "dropped", "198.18.0.255", "",
         "ff:ff:ff:ff:ff:ff"},
        {"a unicast UDP freed with no reason (a header cut short)",
         path({{"udp_rcv", ""}, drop("NOT_SPECIFIED", "udp_rcv")}),
         "dropped at udp_rcv: reason not given by this kernel", "dropped"},
        {"a multicast with no reason freed elsewhere", path({{"udp_rcv", ""}, drop("NOT_SPECIFIED", "ip_rcv_finish_core")}),
         "dropped at ip_rcv_finish_core: reason not given by this kernel", "dropped", "239.18.0.1"},
        {"a copy dropped before the packet itself", path({{"udp_rcv", ""}, drop("PACKET_SOCK_ERROR", "packet_rcv"),
                                                            drop("NO_SOCKET", "__udp4_lib_rcv")}),
         "dropped at __udp4_lib_rcv: NO_SOCKET", "dropped"},
        {"a segment a socket in TIME_WAIT handled",
         {{"ip_rcv", ""}, {"ip_local_deliver", ""}, {"ip_local_deliver_finish", ""}, {"tcp_v4_rcv", "sock:TCP_TIME_WAIT"},
          drop("NOT_SPECIFIED", "tcp_v4_rcv")},
         "delivered to a socket in TIME_WAIT", "delivered"},
        // Over the loopback no early demux finds the socket: the TIME_WAIT
        // socket's own row tells it. A SYN sent again to a connection in its
        // handshake is answered by it and freed the same way.
        {"a segment a socket in TIME_WAIT handled, found by the segment's own lookup",
         {{"ip_rcv", ""}, {"tcp_v4_rcv", "sock:TCP_MAX_STATES"}, {"tcp_timewait_state_process", "sock:TCP_TIME_WAIT"},
          drop("NOT_SPECIFIED", "tcp_v4_rcv")},
         "delivered to a socket in TIME_WAIT", "delivered"},
        {"a SYN sent again to a connection in its handshake",
         {{"ip_rcv", ""}, {"tcp_v4_rcv", "sock:TCP_NEW_SYN_RECV"}, {"tcp_check_req", "sock:TCP_NEW_SYN_RECV"},
          drop("NOT_SPECIFIED", "tcp_v4_rcv")},
         "delivered to a connection in its handshake", "delivered"},
        {"a segment GRO merged into the one before it, samples lost after",
         {{"napi_gro_receive", ""}, {"skb_gro_receive", "gro:merged into:7"}},
         "merged by GRO into the packet before it", "delivered", nullptr,
         "# lost 3 samples on CPU 0 between 2500 and 9000"},
        {"a drop row alone, samples lost just before it: what handled the segment may be lost",
         {drop("NOT_SPECIFIED", "tcp_v4_rcv")}, "not seen to the end (samples lost)", "not_seen", nullptr,
         "# lost 3 samples on CPU 1 between 1500 and 1900"},
        {"a drop row after samples lost on its CPU since the row before: the rows that told why may be lost",
         path({{"udp_rcv", ""}, drop("NOT_SPECIFIED", "udp_rcv")}), "not seen to the end (samples lost)", "not_seen",
         nullptr, "# lost 3 samples on CPU 0 between 5500 and 5900"},
        {"a drop row after samples lost on another CPU", path({{"udp_rcv", ""}, drop("NOT_SPECIFIED", "udp_rcv")}),
         "dropped at udp_rcv: reason not given by this kernel", "dropped", nullptr,
         "# lost 3 samples on CPU 1 between 5500 and 5900"},
        {"a drop row alone, samples lost only after it", {drop("NOT_SPECIFIED", "tcp_v4_rcv")},
         "dropped at tcp_v4_rcv: reason not given by this kernel", "dropped", nullptr,
         "# lost 3 samples on CPU 0 between 2001 and 9000"},
        {"a merge row's mark alone is no merge", {{"napi_gro_receive", ""}, {"ip_rcv", "gro:merged~"}},
         "last seen at ip_rcv", "not_seen"},
        // A listener's full accept queue: a SYN the kernel frees as handled,
        // a last ACK it frees without a reason (6.1) or with its own.
        {"a SYN a full accept queue dropped",
         {{"ip_rcv", ""}, {"tcp_v4_rcv", "sock:TCP_LISTEN"}, {"tcp_v4_do_rcv", ""},
          {"tcp_conn_request", "sock:TCP_LISTEN acceptq:full"}},
         "dropped at tcp_conn_request: the listener's accept queue is full", "dropped"},
        {"a last ACK a full accept queue dropped",
         {{"ip_rcv", ""}, {"tcp_v4_rcv", "sock:TCP_NEW_SYN_RECV"},
          {"tcp_v4_syn_recv_sock", "sock:TCP_LISTEN acceptq:full"}, drop("NOT_SPECIFIED", "tcp_v4_rcv")},
         "dropped at tcp_v4_syn_recv_sock: the listener's accept queue is full", "dropped"},
        {"a listener's row without the mark", {{"ip_rcv", ""}, {"tcp_v4_do_rcv", ""}, {"tcp_conn_request", "sock:TCP_LISTEN"}},
         "ended at tcp_conn_request", "delivered"},
        {"a segment for no local address",
         {{"ip_rcv", ""}, {"ip_local_deliver", ""}, {"ip_local_deliver_finish", ""}, {"tcp_v4_rcv", "sock:TCP_MAX_STATES"},
          drop("NOT_SPECIFIED", "tcp_v4_rcv")},
         "dropped at tcp_v4_rcv: reason not given by this kernel", "dropped"},
        {"a datagram its NFQUEUE program dropped",
         {{"ip_rcv", ""}, {"ip_local_deliver", ""}, {"nft_do_chain", "hook:NF_INET_LOCAL_IN table: inet lab chain: input"},
          {"ret_nft_do_chain", "verdict: NF_QUEUE queue:7"}, drop("NOT_SPECIFIED", "nfqnl_reinject")},
         "dropped at nfqnl_reinject: its NFQUEUE program's verdict (queue 7)", "dropped"},
        {"a datagram queued where no program takes the queue",
         {{"ip_rcv", ""}, {"ip_local_deliver", ""}, {"nft_do_chain", "hook:NF_INET_LOCAL_IN table: inet lab chain: input"},
          {"ret_nft_do_chain", "verdict: NF_QUEUE"}, drop("NOT_SPECIFIED", "nf_queue")},
         "dropped at nf_queue: no program takes its NFQUEUE queue", "dropped"},
        {"routing failed, no reason given",
         {{"ip_rcv", ""}, {"ip_rcv_finish", ""}, drop("NOT_SPECIFIED", "ip_error")},
         "dropped at ip_error: reason not given by this kernel", "dropped"},
        {"an accepting walk, then conntrack's drop",
         {{"ip_rcv", ""}, {"ip_local_deliver", ""}, {"ipt_do_table", "hook:NF_INET_LOCAL_IN table: filter"},
          {"ret_ipt_do_table", "verdict: NF_ACCEPT"}, drop("NETFILTER_DROP", "nf_hook_slow")},
         "dropped by a netfilter hook that is not a traced table (conntrack, ...)", "dropped"},
        {"an iptables walk's NF_DROP just before the kernel's",
         {{"ip_rcv", ""}, {"ip_local_deliver", ""}, {"ipt_do_table", "hook:NF_INET_LOCAL_IN table: filter"},
          {"ret_ipt_do_table", "verdict: NF_DROP"}, drop("NETFILTER_DROP", "nf_hook_slow")},
         "dropped by table filter at NF_INET_LOCAL_IN", "dropped"},
        {"an nft walk told dropping before it returns, after another that returned",
         {{"__netif_receive_skb", ""},
          {"nft_do_chain", "hook:NF_INET_INGRESS table: inet raw chain: pre"},
          {"ret_nft_do_chain", "verdict: NF_ACCEPT"},
          {"nft_do_chain", "hook:NF_NETDEV_INGRESS table: netdev edge chain: filter_PREROUT~"},
          drop("NETFILTER_DROP", "nf_hook_slow"), {"ret_nft_do_chain", "verdict: NF_STOLEN"}},
         "dropped by table netdev edge base chain filter_PREROUT~ at NF_NETDEV_INGRESS", "dropped"},
        {"delivered to a socket", path({{"udp_rcv", ""}}), "ended at udp_rcv", "delivered"},
        {"handed to the device on the way out", {{"ip_output", ""}, {"dev_hard_start_xmit", ""}},
         "ended at dev_hard_start_xmit", "delivered"},
        {"last seen on its way in", {{"__netif_receive_skb", ""}, {"ip_rcv", ""}}, "last seen at ip_rcv", "not_seen"},
        {"on its way while its trace lost samples", {{"__netif_receive_skb", ""}, {"ip_rcv", ""}},
         "not seen to the end (samples lost)", "not_seen", nullptr, "# lost 3 samples on CPU 1 between 1500 and 9000"},
        {"handed to the device while its trace lost samples", {{"ip_output", ""}, {"dev_hard_start_xmit", ""}},
         "not seen to the end (samples lost)", "not_seen", nullptr, "# lost 3 samples on CPU 1 between 1500 and 9000"},
        {"delivered to a socket, where a drop row may have been lost", path({{"udp_rcv", ""}}),
         "not seen to the end (samples lost)", "not_seen", nullptr, "# lost 3 samples on CPU 0 between 5000 and 5200"},
        {"delivered to a socket, samples lost on a CPU it never used", path({{"udp_rcv", ""}}), "ended at udp_rcv",
         "delivered", nullptr, "# lost 3 samples on CPU 1 between 1500 and 9000"},
        {"on its way, samples lost the last moment a row could still go on with it",
         {{"__netif_receive_skb", ""}, {"ip_rcv", ""}}, "not seen to the end (samples lost)", "not_seen", nullptr,
         "# lost 3 samples on CPU 0 between 500003000 and 500004000"},
        {"on its way, samples lost after no row could go on with it", {{"__netif_receive_skb", ""}, {"ip_rcv", ""}},
         "last seen at ip_rcv", "not_seen", nullptr, "# lost 3 samples on CPU 0 between 500003001 and 500004000"},
        {"a loss that ended before its last row", {{"__netif_receive_skb", ""}, {"ip_rcv", ""}}, "last seen at ip_rcv",
         "not_seen", nullptr, "# lost 3 samples on CPU 1 between 1500 and 2500"},
        {"a later fragment taken into its datagram", {{"ip_rcv", "  frag_off:1480"}, {"ip_local_deliver", "  frag_off:1480"}},
         "ended at ip_local_deliver", "delivered"},
        {"a fragment conntrack took into reassembly", {{"ip_rcv", "  frag_off:1480"}, {"ip_defrag", "  frag_off:1480"}},
         "ended at ip_defrag", "delivered"},
        {"the fragment that completed its datagram goes on as it from PRE_ROUTING",
         {{"ip_rcv", ""}, {"ip_defrag", ""}, {"ip_rcv_finish", ""}, {"ip_local_deliver", ""},
          {"ip_local_deliver_finish", ""}, {"udp_rcv", ""}},
         "ended at udp_rcv", "delivered"},
        {"a later fragment last seen before", {{"__netif_receive_skb", "  frag_off:1480"}, {"ip_rcv", "  frag_off:1480"}},
         "last seen at ip_rcv", "not_seen"},
        {"a loss long before it", {{"__netif_receive_skb", ""}, {"ip_rcv", ""}}, "last seen at ip_rcv", "not_seen",
         nullptr, "# lost 3 samples on CPU 1 between 100 and 200"},
        {"a note and a loss line that is not one", {{"__netif_receive_skb", ""}, {"ip_rcv", ""}},
         "last seen at ip_rcv", "not_seen", nullptr, "# a note\n# lost 3 samples on CPU x between 1500 and 9000"},
    };
    for (const drop_case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string trace = udp_header() + "\n" + (c.extra_line.empty() ? "" : c.extra_line + "\n");
        int64_t time = 1000;
        for (const auto &[function, other] : c.rows) {
            std::string line = udp_line(time += 1000, function, "veth0", other);
            if (c.daddr) // the DIP column, 18 wide
                line.replace(line.find("198.18.0.2 "), 18, c.daddr + std::string(18 - std::strlen(c.daddr), ' '));
            if (c.dmac)
                line.replace(line.find("02:00:00:00:00:02"), 17, c.dmac);
            trace += line + "\n";
        }
        report_state state;
        std::vector<journey> journeys = journeys_read(state, trace);
        bool bad_loss = c.extra_line.find("CPU x") != std::string::npos;
        EXPECT_EQ(state.unreadable_rows, bad_loss ? 1u : 0u);
        ASSERT_EQ(journeys.size(), 1u);
        settle_losses(state, journeys[0]);
        EXPECT_EQ(ending_sentence(state.names, {}, journeys[0].end), c.sentence);
        EXPECT_EQ(class_name(journeys[0].end.what()), c.klass);
        EXPECT_EQ(journeys[0].end.is_drop(), c.klass == "dropped");
    }
}

// TCP_INVALID_SEQUENCE is a copy of data the receiver had on 6.1 and new
// data beyond its window on both 6.1 and later kernels: the receiver's own
// ACK before it tells which; with none in the trace it is not called a drop.
TEST(ReportEndings, a_segment_refused_for_its_sequence_is_a_drop_only_beyond_what_its_receiver_acked)
{
    const std::string refused = "reason:TCP_INVALID_SEQUENCE at: tcp_validate_incoming";
    struct sequence_case {
        const char *name;
        bool acked; // the receiver's ACK of 4294967000 (serial: 70000 lies after it) comes first
        uint32_t seq;
        std::string sentence, klass;
    };
    const sequence_case cases[] = {
        {"a copy of data the receiver had", true, 4294966000u, "discarded: duplicate or stale (TCP_INVALID_SEQUENCE)",
         "delivered"},
        {"new data beyond the window, the sequence numbers wrapped", true, 70000,
         "dropped at tcp_validate_incoming: TCP_INVALID_SEQUENCE (beyond the receive window)", "dropped"},
        {"no ACK of its receiver in the trace", false, 70000, "discarded: duplicate or stale (TCP_INVALID_SEQUENCE)",
         "delivered"},
    };
    for (const sequence_case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string trace = render(PROTO_TCP, {})[0] + "\n";
        if (c.acked)
            trace += tcp_line(1000, "ip_output", true, 900, 4294967000u) + "\n";
        trace += tcp_line(2000, "ip_rcv", false, c.seq, 901) + "\n" + tcp_line(2100, "tcp_v4_rcv", false, c.seq, 901) +
                 "\n" + tcp_line(2200, "kfree_skb", false, c.seq, 901, refused) + "\n";
        // The receiver's ACK after the refused segment says nothing of it.
        trace += tcp_line(3000, "ip_output", true, 900, 100000) + "\n";
        report_state state;
        std::vector<journey> journeys = journeys_read(state, trace);
        EXPECT_EQ(state.unreadable_rows, 0u);
        int refused_journeys = 0;
        for (const journey &j : journeys) {
            if (j.rows.back().fields[2] != c.seq)
                continue;
            refused_journeys++;
            EXPECT_EQ(ending_sentence(state.names, {}, j.end), c.sentence);
            EXPECT_EQ(class_name(j.end.what()), c.klass);
        }
        EXPECT_EQ(refused_journeys, 1);
    }
}

// The same segment twice in flight, received one after the other: one
// copy goes on into its socket, the other meets the socket in TIME_WAIT,
// which frees it at tcp_v4_rcv without a reason. That drop is the second's.
TEST(ReportEndings, a_drop_inside_the_function_one_copy_stopped_in_goes_with_that_copy)
{
    std::string trace = render(PROTO_TCP, {})[0] + "\n";
    int64_t t = 1000;
    for (const char *function : {"ip_output", "dev_hard_start_xmit"})
        trace += tcp_line(t += 100, function, false, 7, 9) + "\n";
    for (const char *function : {"ip_output", "dev_hard_start_xmit"})
        trace += tcp_line(t += 100, function, false, 7, 9) + "\n";
    for (const char *function : {"__netif_receive_skb", "ip_rcv", "tcp_v4_rcv", "tcp_v4_do_rcv"})
        trace += tcp_line(t += 100, function, false, 7, 9, function == std::string("tcp_v4_rcv") ? "sock:TCP_FIN_WAIT1" : "") + "\n";
    for (const char *function : {"__netif_receive_skb", "ip_rcv", "tcp_v4_rcv", "tcp_timewait_state_process"})
        trace += tcp_line(t += 100, function, false, 7, 9, function == std::string("ip_rcv") ? "" : "sock:TCP_TIME_WAIT") +
                 "\n";
    trace += tcp_line(t += 100, "kfree_skb", false, 7, 9, "reason:NOT_SPECIFIED at: tcp_v4_rcv buf:2") + "\n";
    report_state state;
    std::vector<journey> journeys = journeys_read(state, trace);
    std::multiset<std::string> endings;
    for (const journey &j : journeys)
        endings.insert(ending_sentence(state.names, {}, j.end));
    EXPECT_EQ(endings, (std::multiset<std::string>{"ended at tcp_v4_do_rcv", "delivered to a socket in TIME_WAIT"}));
}

// Later fragments of two datagrams alike (two pings) begin at the same
// place and have no transport fields: one key. A fragment taken into
// reassembly goes on under its datagram's key if at all, so the second
// ping's fragment is a packet of its own, not the first's going on.
TEST(ReportEndings, later_fragments_of_two_datagrams_alike_are_two_journeys_each_taken_into_its_datagram)
{
    std::string trace = udp_header() + "\n";
    for (int64_t start : {1000000, 301000000})
        for (const char *function : {"dev_hard_start_xmit", "ip_rcv", "ip_local_deliver", "ip_defrag"})
            trace += udp_line(start += 1000, function, "veth0", "  frag_off:1480", 0, 0) + "\n";
    report_state state;
    std::vector<journey> journeys = journeys_read(state, trace);
    ASSERT_EQ(journeys.size(), 2u);
    for (const journey &j : journeys) {
        EXPECT_EQ(j.rows.size(), 4u);
        EXPECT_EQ(ending_sentence(state.names, {}, j.end), "ended at ip_defrag");
    }
}

// The piles of open paths are a faster way to the choice made by looking at
// every open path; both make the same journeys of the sample traces and of
// a random one with many copies of one packet on four CPUs, table walks,
// drops, unknown functions and gaps.
TEST(ReportJourneys, the_piles_of_open_paths_choose_as_looking_at_every_path_does)
{
    std::vector<std::string> traces;
    for (const char *name : {"icmp.trace", "tcp_iptables.trace", "udp_iptables.trace", "udp_gro.trace",
                             "lab_tcp_interleaved.trace", "lab_tcp_iptables.trace", "lab_udp_iptables.trace",
                             "forward_tcp.trace", "lab_tcp_backlog_moved.trace"})
        traces.push_back(slurp(data_file(name)));
    std::mt19937_64 random(19);
    const char *functions[] = {"ip_output", "ip_finish_output", "__dev_queue_xmit", "napi_gro_receive",
                               "__netif_receive_skb", "ip_rcv", "ip_local_deliver", "udp_rcv",
                               "ipt_do_table", "ret_ipt_do_table", "an_unknown_function", "br_forward",
                               "ip_forward_finish"};
    const char *others[] = {"", "hook:NF_INET_LOCAL_IN table: filter", "hook:NF_INET_LOCAL_OUT table: raw",
                            "verdict: NF_DROP", "verdict: NF_ACCEPT"};
    std::string trace = udp_header() + "\n";
    int64_t time = 1000000000;
    for (int i = 0; i < 20000; i++) {
        time += int64_t(random() % 3000) + (random() % 500 == 0 ? 600000000 : 0);
        size_t f = random() % std::size(functions);
        const char *other = f == 8 ? others[1 + random() % 2] : f == 9 ? others[3 + random() % 2] : others[0];
        const char *device = random() % 4 == 0 ? "veth2" : random() % 3 == 0 ? "nil" : "veth0";
        trace += udp_line(time - int64_t(random() % 5000), functions[f], device, other, int(random() % 4),
                          32 + unsigned(random() % 2)) + "\n";
    }
    traces.push_back(trace);
    for (const std::string &t : traces) {
        std::vector<std::vector<uint32_t>> scanned = journeys_by_line(t, SIZE_MAX);
        EXPECT_EQ(journeys_by_line(t, 0), scanned);
        EXPECT_EQ(journeys_by_line(t, 8), scanned);
    }

    // Two copies leave by veth0 and veth2; the second's next row runs on the
    // first's CPU. On the transmit side a row continues only the copy seen
    // on its device, whichever CPU it came from.
    std::string two_links = udp_header() + "\n" + udp_line(1000, "ip_finish_output", "veth0", "", 0) + "\n" +
                            udp_line(1100, "ip_finish_output", "veth2", "", 1) + "\n" +
                            udp_line(1200, "__dev_queue_xmit", "veth2", "", 0) + "\n" +
                            udp_line(1300, "__dev_queue_xmit", "veth0", "", 0) + "\n";
    for (size_t scan_max : {size_t(0), SIZE_MAX})
        EXPECT_EQ(journeys_by_line(two_links, scan_max), (std::vector<std::vector<uint32_t>>{{2, 5}, {3, 4}}));

    // A walk's return goes back to the path whose walk it ends, though the
    // key's next copy moved on more recently on the same CPU.
    std::string walk_return = udp_header() + "\n" + udp_line(1000, "__dev_queue_xmit") + "\n" +
                              udp_line(1100, "ip_output") + "\n" + udp_line(1200, "napi_gro_receive", "veth1") +
                              "\n" + udp_line(1300, "ipt_do_table", "veth1", "hook:NF_INET_LOCAL_IN table: filter") +
                              "\n" + udp_line(1400, "ret_ipt_do_table", "veth1", "verdict: NF_ACCEPT") + "\n" +
                              udp_line(1500, "__dev_queue_xmit") + "\n";
    for (size_t scan_max : {size_t(0), SIZE_MAX})
        EXPECT_EQ(journeys_by_line(walk_return, scan_max),
                  (std::vector<std::vector<uint32_t>>{{2, 4, 5, 6}, {3, 7}}));
    EXPECT_GT(journeys_by_line(trace, 0).size(), 1000u);
}

// One flow of equal datagrams: every datagram is the same key, thousands of
// them in flight within half a second. 100,000 rows take well under a
// second (placing a row looked at every open path of its key before: 0.9 s
// here). The bound leaves room for a loaded machine and a sanitizer build.
TEST(ReportScale, one_busy_flow_of_equal_datagrams_is_read_in_well_under_a_second)
{
    const char *path[] = {"ip_output", "ip_finish_output", "ip_finish_output2", "__dev_queue_xmit",
                          "dev_hard_start_xmit", "__netif_receive_skb", "__netif_receive_skb_one_core",
                          "ip_rcv", "ip_rcv_finish", "ip_local_deliver", "ip_local_deliver_finish", "udp_rcv"};
    std::string dir = temp_dir(), trace = udp_header() + "\n";
    for (int i = 0; i < 100000; i++)
        trace += udp_line(1000000000 + int64_t(i / 12) * 10000 + i % 12 * 500, path[i % 12]) + "\n";
    std::string file = dir + "/busy.trace";
    std::ofstream(file, std::ios::binary) << trace;
    auto start = std::chrono::steady_clock::now();
    report_result r = run_report({file});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("journeys: 8334 (100000 rows)\n"), std::string::npos);
    EXPECT_EQ(ending_count(r.out, "ended at udp_rcv"), 8333);
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(seconds, 2.0); // ASan and UBSan cost several times the plain build
#elif defined(__SANITIZE_THREAD__)
    EXPECT_LT(seconds, 4.0); // TSan costs more still
#else
    EXPECT_LT(seconds, 0.5);
#endif
    std::filesystem::remove_all(dir);
}

// ---- Hostile input ---------------------------------------------------------

// Only printable ASCII and line feeds: no byte of a trace steers a terminal.
bool printable(const std::string &text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c == '\n' || (c >= ' ' && c <= '~'); });
}

struct hostile_case {
    const char *what;
    const char *file_name;
    std::vector<std::string> rows; // after the header
    int journeys, unreadable;
    std::vector<std::string> text_has, page_has;
};

// Each trace is read into the text report, JSON Lines and the HTML page:
// the program ends normally, no byte of the trace reaches a terminal or the
// page raw, every JSON line parses, every journey's rows are in time order
// and at most half a second apart (so rows 18e18 ns apart are never one
// journey), and no duration is negative.
TEST(ReportHostile, extreme_and_backward_times_control_bytes_and_long_fields_in_text_json_and_html)
{
    const int64_t MIN = INT64_MIN, MAX = INT64_MAX;
    const std::vector<hostile_case> cases = {
        {"times at the limits of int64 and 18e18 ns apart",
         "limits.trace",
         {udp_line(-9000000000000000000, "ip_output"), udp_line(9000000000000000000, "ip_rcv"),
          udp_line(MIN, "ip_output"), udp_line(MIN + 500, "ip_rcv"), udp_line(MAX, "udp_rcv")},
         4,
         0,
         {"journeys: 4 (5 rows)\n", "-9223372036854775808 ", "9223372036854775807 "},
         {"journeys started, over 18446744073.7 s"}},
        {"times running backwards",
         "backwards.trace",
         {udp_line(4000, "udp_rcv"), udp_line(3000, "ip_local_deliver"), udp_line(2000, "ip_rcv"),
          udp_line(1000, "ip_output"), udp_line(-4000, "udp_rcv"), udp_line(-5000, "ip_output")},
         2,
         0,
         {"journeys: 2 (6 rows)\n", " 3.0  delivered  ended at udp_rcv", " ip_output ip_rcv ip_local_deliver udp_rcv\n",
          "\n-5000 "},
         {}},
        {"control bytes, bytes past ASCII, a backslash and markup in names, OTHER_INFO and the file name",
         "hostile\x1b[2J\x07.trace",
         {udp_line(1000, "ipt_do_table", "veth\x1b[2J", "hook:NF_INET_LOCAL_IN table: f\x1b[31m"),
          udp_line(2000, "ret_ipt_do_table", "v\r1", "verdict: NF_DROP"),
          udp_line(3000, "ip\x07<script>\x7f\xff\\x", "v\x01", "sock:\x1b]0;title\x07 <b>&amp;"),
          udp_line(4000, "pre\\x1bescaped"), "\x1b[2Jgarbage"},
         2,
         1,
         {"dropped by table f\\x1b[31m at NF_INET_LOCAL_IN", " ip\\x07<script>\\x7f\\xff\\x5cx pre\\x1bescaped\n",
          "last seen at pre\\x1bescaped"},
         {"ip\\x07&lt;script&gt;\\x7f\\xff\\x5cx", "veth\\x1b[2J", "sock:\\x1b]0;title\\x07 &lt;b&gt;&amp;amp;",
          "hostile\\x1b[2J\\x07.trace"}},
        {"long fields: a long function, a table name of 60000 bytes, a line too long to be a row",
         "long.trace",
         {udp_line(1000, std::string(1000, 'f')),
          udp_line(2000, "ipt_do_table", "veth0", "hook:NF_INET_LOCAL_IN table: " + std::string(60000, 't')),
          udp_line(2100, "ret_ipt_do_table", "veth0", "verdict: NF_DROP"), std::string(70000, 'y'),
          udp_line(3000, "ip_rcv", std::string(500, 'd'))},
         2,
         1,
         {"journeys: 2 (4 rows)\n", "dropped by table " + std::string(60000, 't') + " at NF_INET_LOCAL_IN"},
         {}},
    };
    std::string dir = temp_dir();
    for (const hostile_case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string trace = dir + "/" + c.file_name, page = dir + "/page.html";
        std::string text = udp_header() + "\n";
        for (const std::string &row : c.rows)
            text += row + "\n";
        std::ofstream(trace, std::ios::binary) << text;

        report_result r = run_report({trace});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(printable(r.out)) << r.out.substr(0, 2000);
        EXPECT_TRUE(printable(r.err)) << r.err;
        EXPECT_EQ(count_of(r.err, "unreadable row"), size_t(c.unreadable)) << r.err;
        EXPECT_NE(r.out.find("journeys: " + std::to_string(c.journeys) + " ("), std::string::npos);
        EXPECT_NE(r.out.find("unreadable rows: " + std::to_string(c.unreadable) + "\n"), std::string::npos);
        for (const std::string &part : c.text_has)
            EXPECT_NE(r.out.find(part), std::string::npos) << part.substr(0, 200) << "\n" << r.out.substr(0, 3000);

        report_result js = run_report({"--json", trace});
        EXPECT_EQ(js.status, 0) << js.err;
        EXPECT_TRUE(printable(js.err)) << js.err;
        int journeys = 0;
        for (const std::string &line : lines_of(js.out))
            ASSERT_TRUE(json::accept(line)) << line.substr(0, 2000);
        for (const json &j : json_lines(js.out)) {
            journeys += j["kind"] == "journey";
            const json &rows = j["rows"];
            __int128 first = rows.front()["time"].get<int64_t>(), last = rows.back()["time"].get<int64_t>();
            EXPECT_EQ(__int128(j["duration_ns"].get<int64_t>()), last - first);
            EXPECT_GE(j["duration_ns"].get<int64_t>(), 0);
            for (size_t i = 1; i < rows.size(); i++) {
                __int128 gap = __int128(rows[i]["time"].get<int64_t>()) - rows[i - 1]["time"].get<int64_t>();
                EXPECT_GE(gap, 0);
                EXPECT_LE(gap, 500000000);
            }
        }
        EXPECT_EQ(journeys, c.journeys);

        report_result html = run_report({"--html", page, trace});
        EXPECT_EQ(html.status, 0) << html.err;
        std::string body = slurp(page);
        EXPECT_TRUE(printable(body));
        EXPECT_EQ(body.find("<script"), std::string::npos);
        for (const std::string &part : c.page_has)
            EXPECT_NE(body.find(part), std::string::npos) << part;
        std::filesystem::remove(page);
    }
    std::filesystem::remove_all(dir);
}

TEST(ReportHostile, a_slower_than_beyond_what_nanoseconds_hold_is_refused_and_the_largest_is_read)
{
    const std::string trace = data_file("tcp_iptables.trace");
    for (const char *bad : {"9223372036854775.808", "9223372036854776", "99999999999999999999", "1e3", "-1", ".",
                            "1.2.3", "", "0x10", " 5", "9223372036854775808ns", "9223372036855ms", "ms", "5 ms",
                            "5xs", "1.5h"}) {
        report_result r = run_report({"--slower-than", bad, trace});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("--slower-than: a time: a number and ns, us, ms or s (microseconds without a unit), "
                             "at most 9223372036854775807ns"),
                  std::string::npos)
            << bad << ": " << r.err;
        EXPECT_EQ(r.out, "");
    }
    report_result largest = run_report({"--slower-than", "9223372036854775.807", trace});
    EXPECT_EQ(largest.status, 0) << largest.err;
    EXPECT_NE(largest.out.find("journeys: 0 (0 rows)"), std::string::npos);
    // The journeys took 884 us, 676 us and less: each unit reads the same bound.
    const std::pair<const char *, size_t> kept[] = {
        {"0.5", 3},        {"883.999", 1}, {"884.", 0},      {".5", 3},   {"883999ns", 1}, {"884000ns", 0},
        {"883.999us", 1},  {"0.883999ms", 1}, {"0.884ms", 0}, {"0.000883999s", 1}, {"1ms", 0}, {"883999.9ns", 1},
        {"9223372036854775807ns", 0}};
    for (const auto &[bound, journeys] : kept)
        EXPECT_EQ(journey_lines(run_report({"--slower-than", bound, trace}).out).size(), journeys) << bound;
}

// A usage error ends with 2 and says what to type; --help shows the values'
// forms and an example for each question; a filter that matches nothing is
// said beside an empty report, which is no failure.
TEST(ReportCli, usage_errors_say_what_to_type_and_end_with_two_and_a_filter_matching_nothing_is_said)
{
    const std::string trace = data_file("tcp_iptables.trace");
    const std::pair<std::vector<std::string>, std::string> usage[] = {
        {{"--flow", "8080", trace}, "--flow: the host must be an IPv4 or IPv6 address: 8080 (a port alone is :8080)"},
        {{"--flow", "host:80", trace}, "--flow: the host must be an IPv4 or IPv6 address: host:80\n"},
        {{"--flow", ":0", trace}, "--flow: the port must be 1 to 65535: :0"},
        {{"--bogus", trace}, "The following argument was not expected: --bogus"},
        {{"--json", "--detail", trace}, "--json excludes --detail"},
        {{"--quiet-ms", "0", "--follow", trace}, "--quiet-ms"},
    };
    for (const auto &[args, says] : usage) {
        report_result r = run_report(args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    report_result help = run_report({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.find("TEXT"), std::string::npos) << help.out;
    for (const char *shown : {"--flow HOST[:PORT]|:PORT", "--slower-than TIME", "--dropped trace.txt",
                              "--slower-than 1ms trace.txt", "--detail --start START_NS trace.txt",
                              "  delivered    it reached", "  dropped      a table", "  not seen     the trace"})
        EXPECT_NE(help.out.find(shown), std::string::npos) << shown;

    report_result none = run_report({"--start", "123", "--slower-than", "2ms", trace});
    EXPECT_EQ(none.status, 0) << none.err;
    EXPECT_EQ(none.err, "vn_bpf_net_report: --slower-than 2ms --start 123: no journey matches\n");
    EXPECT_NE(none.out.find("journeys: 0 (0 rows)"), std::string::npos);
    report_result some = run_report({"--dropped", trace});
    EXPECT_EQ(some.err, "");
    EXPECT_FALSE(journey_lines(some.out).empty());
}

// ---- Journey lines on a terminal ------------------------------------------

// The reader run on a terminal of `columns` columns, COLUMNS set to
// env_columns (unset when null); what the terminal showed, without its
// carriage returns.
std::string run_in_terminal(const std::vector<std::string> &args, unsigned short columns, const char *env_columns)
{
    winsize size{};
    size.ws_col = columns, size.ws_row = 50;
    int terminal = -1;
    pid_t pid = forkpty(&terminal, nullptr, nullptr, &size);
    if (pid == 0) {
        if (env_columns)
            setenv("COLUMNS", env_columns, 1);
        else
            unsetenv("COLUMNS");
        exec_report(args);
    }
    std::string shown;
    char chunk[4096];
    for (ssize_t n; pid > 0 && ((n = read(terminal, chunk, sizeof(chunk))) > 0 || (n < 0 && errno == EINTR));)
        shown.append(chunk, size_t(std::max<ssize_t>(n, 0)));
    close(terminal);
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    shown.erase(std::remove(shown.begin(), shown.end(), '\r'), shown.end());
    return shown;
}

// A line of a table cut into its columns at its header's labels: a column
// of numbers ends where its label ends, any other starts where its label
// starts. A cell out of its column (a text that pushed the rest along)
// fails here.
const std::set<std::string> NUMBER_LABELS = {"ROWS",   "TOTAL_US", "JOURNEYS", "COUNT", "P50_US",
                                             "P90_US", "P99_US",   "MAX_US",   "+US",   "AT_US"};

std::map<std::string, std::string> cells_of(const std::string &header, const std::string &line)
{
    std::vector<std::pair<std::string, size_t>> labels;
    std::istringstream words(header);
    for (std::string label; words >> label;)
        labels.push_back({label, header.find(label, labels.empty() ? 0 : labels.back().second + 1)});
    std::map<std::string, std::string> cells;
    size_t next = line.size();
    for (size_t i = labels.size(); i-- > 0;) {
        const auto &[label, at] = labels[i];
        size_t start = std::min(at, next), end = next;
        if (NUMBER_LABELS.count(label)) {
            end = at + label.size();
            // A number's digits end under its label's end; a "*" after them hangs past it.
            if (end < line.size() && line[end] == '*')
                end++;
            EXPECT_TRUE(end <= line.size() && line[end - 1] != ' ' && (end == line.size() || line[end] == ' '))
                << label << " out of its column: " << line;
            end = std::min(end, line.size());
            start = end ? line.find_last_of(' ', end - 1) + 1 : 0;
        }
        EXPECT_TRUE(start == 0 || start >= line.size() || (line[start - 1] == ' ' && line[start] != ' '))
            << label << " out of its column: " << line;
        std::string cell = line.substr(start, end - start);
        cells[label] = cell.erase(cell.find_last_not_of(' ') + 1);
        next = start;
    }
    return cells;
}

// A text shown whole, or cut: what is kept of it, then "...".
bool whole_or_cut(const std::string &shown, const std::string &whole)
{
    if (shown == whole)
        return true;
    size_t kept = shown.size() - std::min<size_t>(shown.size(), 3);
    return shown.substr(kept) == "..." && kept < whole.size() && whole.compare(0, kept, shown, 0, kept) == 0;
}

// The lines of `out` from the first that starts with `label` and holds
// `also`, to the blank after.
std::vector<std::string> table_at(const std::string &out, const std::string &label, const std::string &also = "")
{
    std::vector<std::string> lines = lines_of(out), table;
    auto at = std::find_if(lines.begin(), lines.end(), [&](const std::string &l) {
        return l.rfind(label, 0) == 0 && l.find(also) != std::string::npos;
    });
    for (; at != lines.end() && !at->empty(); ++at)
        table.push_back(*at);
    return table;
}

// On a terminal a journey line fits its width ($COLUMNS over what the
// terminal says, however narrow or wide): each column in place, its text
// whole or cut to "...", never inside a \xNN; an ending too long for reason
// is cut in its column. Into a pipe the lines stay whole, whatever COLUMNS
// says; --json always has everything.
TEST(ReportOutput, journey_lines_on_a_terminal_fit_its_width_and_stay_whole_into_a_pipe)
{
    std::string dir = temp_dir(), trace = dir + "/fit.trace";
    std::ofstream(trace, std::ios::binary)
        << udp_header() + "\n" +
               // Dropped by a table with a long name.
               udp_line(1000, "ipt_do_table", "veth0", "hook:NF_INET_LOCAL_IN table: " + std::string(300, 't')) +
               "\n" + udp_line(2000, "ret_ipt_do_table", "veth0", "verdict: NF_DROP") + "\n" +
               // A path of escaped bytes: each is four columns.
               udp_line(3000, "ip_output", "veth0", "", 0, 33) + "\n" +
               udp_line(4000, std::string(60, '\x1b'), "veth0", "", 0, 33) + "\n" +
               // A path of one short step.
               udp_line(5000, "udp_rcv", "veth0", "", 0, 34) + "\n";
    const std::vector<std::string> args{trace, data_file("tcp_iptables.trace"), data_file("udp_iptables.trace"),
                                        data_file("ipv6.trace")};
    std::vector<std::string> whole = journey_lines(run_report(args).out);
    ASSERT_EQ(whole.size(), 20u);
    ASSERT_GT(whole[0].size(), 300u);

    setenv("COLUMNS", "100", 1);
    report_result piped = run_report(args);
    unsetenv("COLUMNS");
    EXPECT_EQ(journey_lines(piped.out), whole);

    // Each journey's texts as shown whole.
    std::vector<std::map<std::string, std::string>> texts;
    std::vector<std::string> json_args = args;
    json_args.insert(json_args.begin(), "--json");
    for (const json &j : json_lines(run_report(json_args).out)) {
        if (j["kind"] != "journey")
            continue;
        std::string path;
        for (const json &step : j["path"])
            path += (path.empty() ? "" : " ") + shown_text(step.get<std::string>());
        texts.push_back(
            {{"FLOW", j["flow"]}, {"ENDING", shown_text(j["ending"].get<std::string>(), true)}, {"PATH", path}});
    }
    ASSERT_EQ(texts.size(), whole.size());

    struct terminal_case {
        unsigned short columns;
        const char *env_columns;
        size_t width;
    };
    for (const terminal_case &c : std::vector<terminal_case>{
             {90, nullptr, 90}, {300, nullptr, 300}, {40, nullptr, 40}, {90, "120", 120}, {90, "wide", 90}}) {
        SCOPED_TRACE(std::to_string(c.columns) + " columns, COLUMNS " + (c.env_columns ? c.env_columns : "unset"));
        std::string shown = run_in_terminal(args, c.columns, c.env_columns);
        std::vector<std::string> lines = table_at(shown, lines_of(shown)[0]);
        ASSERT_EQ(lines.size(), whole.size() + 1) << shown;
        EXPECT_LE(lines[0].size(), c.width) << lines[0]; // the header
        size_t widest = 0;
        for (size_t i = 0; i < whole.size(); i++) {
            const std::string &line = lines[i + 1];
            widest = std::max(widest, line.size());
            EXPECT_LE(line.size(), c.width) << line;
            std::map<std::string, std::string> cells = cells_of(lines[0], line);
            for (const char *column : {"FLOW", "ENDING", "PATH"})
                if (cells.count(column)) {
                    EXPECT_TRUE(whole_or_cut(cells[column], texts[i][column])) << column << ": " << line;
                }
            for (size_t at = line.find('\\'); at != std::string::npos; at = line.find('\\', at + 1))
                EXPECT_TRUE(at + 3 < line.size() && line[at + 1] == 'x' && isxdigit(line[at + 2]) &&
                            isxdigit(line[at + 3]))
                    << line;
        }
        EXPECT_EQ(widest, c.width);
        if (c.width < 300)
            continue;
        // Wide, every column shows; the long table name is cut in its
        // column (a third of the width), the short path whole.
        std::map<std::string, std::string> long_ending = cells_of(lines[0], lines[1]);
        EXPECT_EQ(long_ending.size(), 8u);
        EXPECT_EQ(long_ending["ENDING"], "dropped by table " + std::string(80, 't') + "...");
        EXPECT_EQ(cells_of(lines[0], lines[3])["PATH"], "udp_rcv");
    }
    std::filesystem::remove_all(dir);
}

// The whole text report of the lab's traces on terminals from narrow to
// wide: no line past the width; every column in place, its texts whole or
// cut with "..." (numbers never); the ending whole from 80 columns on
// (START_NS, PROTO, the path, the rows, the total time and the flow gave way
// first); at 300 nothing cut that fits. Into a pipe nothing is cut.
TEST(ReportOutput, the_whole_text_report_fits_a_terminal_in_aligned_columns_and_the_ending_gives_way_last)
{
    for (const char *name : {"lab_traffic_tcp.trace", "lab_traffic_udp.trace", "lab_tcp_iptables.trace"}) {
        SCOPED_TRACE(name);
        const std::string trace = data_file(name);
        std::vector<json> journeys, stages;
        json summary;
        for (const std::string &line : lines_of(run_report({"--json", trace}).out)) {
            json j = json::parse(line);
            if (j["kind"] == "journey")
                journeys.push_back(j);
            else if (j["kind"] == "stage")
                stages.push_back(j);
            else if (j["kind"] == "summary")
                summary = j;
        }
        ASSERT_GT(journeys.size(), 5u);
        auto path_of = [](const json &j) {
            std::string path;
            for (const json &step : j["path"])
                path += (path.empty() ? "" : " ") + step.get<std::string>();
            return path;
        };
        auto label_of = [](const json &klass) { return klass == "not_seen" ? "not seen" : klass.get<std::string>(); };

        setenv("COLUMNS", "80", 1);
        report_result piped = run_report({trace});
        unsetenv("COLUMNS");
        EXPECT_EQ(piped.out.find("..."), std::string::npos);
        std::vector<std::string> whole = journey_lines(piped.out);
        ASSERT_EQ(whole.size(), journeys.size());
        for (size_t i = 0; i < whole.size(); i++) {
            EXPECT_NE(whole[i].find("  " + journeys[i]["ending"].get<std::string>() + " "), std::string::npos);
            EXPECT_EQ(whole[i].substr(whole[i].size() - path_of(journeys[i]).size() - 1), " " + path_of(journeys[i]));
        }

        for (unsigned short width : {60, 80, 120, 200, 300}) {
            SCOPED_TRACE(std::to_string(width) + " columns");
            std::string shown = run_in_terminal({trace}, width, nullptr);
            for (const std::string &line : lines_of(shown)) {
                EXPECT_LE(line.size(), width) << line;
                if (width == 300 && line.size() < width) {
                    EXPECT_EQ(line.find("..."), std::string::npos) << line;
                }
            }
            std::vector<std::string> lines = table_at(shown, lines_of(shown)[0]);
            ASSERT_EQ(lines.size(), journeys.size() + 1) << shown;
            for (size_t i = 0; i < journeys.size(); i++) {
                const json &j = journeys[i];
                const std::string &line = lines[i + 1];
                std::map<std::string, std::string> cells = cells_of(lines[0], line);
                EXPECT_EQ(cells["CLASS"], label_of(j["class"])) << line;
                EXPECT_TRUE(width < 80 || cells["ENDING"] == j["ending"]) << line;
                const std::map<std::string, std::string> exact = {
                    {"START_NS", std::to_string(j["start_ns"].get<int64_t>())},
                    {"PROTO", j["protocol"]},
                    {"ROWS", std::to_string(j["rows"].size())},
                    {"TOTAL_US", micros_text(j["duration_ns"]) + (j["first_of_flow"] == true ? "*" : "")}};
                const std::map<std::string, std::string> cuttable = {
                    {"FLOW", j["flow"]}, {"ENDING", j["ending"]}, {"PATH", path_of(j)}};
                for (const auto &[label, text] : exact)
                    if (cells.count(label)) {
                        EXPECT_EQ(cells[label], text) << line;
                    }
                for (const auto &[label, text] : cuttable)
                    if (cells.count(label)) {
                        EXPECT_TRUE(whole_or_cut(cells[label], text)) << label << ": " << line;
                    }
                EXPECT_TRUE(!cells.count("PATH") || cells["PATH"] == path_of(j) || line.size() == width) << line;
                EXPECT_TRUE(width < 300 || cells.size() == 8u) << lines[0];
            }

            std::vector<std::string> endings = table_at(shown, "CLASS ", " JOURNEYS ");
            ASSERT_EQ(endings.size(), summary["endings"].size() + 1) << shown;
            for (size_t i = 0; i < summary["endings"].size(); i++) {
                const json &e = summary["endings"][i];
                std::map<std::string, std::string> cells = cells_of(endings[0], endings[i + 1]);
                EXPECT_EQ(cells["CLASS"], label_of(e["class"]));
                EXPECT_EQ(cells["JOURNEYS"], std::to_string(e["count"].get<int>())); // its column, every line
                EXPECT_TRUE(whole_or_cut(cells["ENDING"], e["ending"])) << endings[i + 1];
                EXPECT_TRUE(cells["ENDING"] == e["ending"] || endings[i + 1].size() == width) << endings[i + 1];
            }

            std::vector<std::string> stage_lines = table_at(shown, "STAGE ");
            ASSERT_EQ(stage_lines.size(), stages.size() + 1) << shown;
            for (size_t i = 0; i < stages.size(); i++) {
                const json &s = stages[i];
                std::map<std::string, std::string> cells = cells_of(stage_lines[0], stage_lines[i + 1]);
                std::string stage = s["from"].get<std::string>() + " -> " + s["to"].get<std::string>();
                EXPECT_TRUE(whole_or_cut(cells["STAGE"], stage)) << stage_lines[i + 1];
                EXPECT_EQ(cells["COUNT"], std::to_string(s["count"].get<int>()));
                EXPECT_EQ(cells["MAX_US"], micros_text(s["max_ns"]) + (s["max_first_of_flow"] == true ? "*" : ""));
            }
            // The stage gives way in the lines that name one, their numbers stay.
            for (const char *lead : {"slowest stage: ", "most time in all: "}) {
                std::vector<std::string> told = table_at(shown, lead);
                ASSERT_FALSE(told.empty()) << shown;
                EXPECT_TRUE(width < 80 || told[0].back() == ')') << told[0];
            }

            // --detail: a journey's heading ends in its ending (on a line
            // of its own where both do not fit), its table in columns.
            std::vector<std::string> detail = lines_of(run_in_terminal({"--detail", trace}, width, nullptr));
            size_t at = 0;
            for (const json &j : journeys) {
                while (at < detail.size() && detail[at].find("+US ") == std::string::npos)
                    at++;
                ASSERT_LT(at + j["rows"].size(), detail.size());
                const std::string &heading = detail[at - 1], header = detail[at];
                std::string told = heading.substr(heading.rfind("  ", 0) == 0 ? 2 : heading.find(" us, ") + 5);
                EXPECT_TRUE(width < 80 ? whole_or_cut(told, j["ending"]) : told == j["ending"]) << heading;
                for (size_t r = 0; r < j["rows"].size(); r++) {
                    const std::string &line = detail[++at];
                    std::map<std::string, std::string> cells = cells_of(header, line);
                    EXPECT_TRUE(whole_or_cut(cells["STEP"], j["path"][r])) << line;
                    EXPECT_EQ(cells["CPU"], std::to_string(j["rows"][r]["cpu"].get<int>())) << line;
                    EXPECT_EQ(cells["DEVICE"], j["rows"][r]["interface"]) << line;
                }
            }
        }
    }
}

// ---- Output that cannot be written ------------------------------------------

TEST(ReportOutput, a_full_standard_output_is_an_error_on_standard_error_and_exit_status_one)
{
    const std::string trace = data_file("icmp.trace");
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{trace}, {"--json", trace}, {"--help"}, {"--follow", trace + "-missing"}}) {
        report_result r = run_report(args, "", "/dev/full");
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_NE(r.err.find("vn_bpf_net_report: standard output: No space left on device\n"), std::string::npos)
            << args[0] << ": " << r.err;
        EXPECT_EQ(count_of(r.err, "standard output"), 1u) << r.err;
    }
}

// --html names a file to write: never an input (the same name, the same
// file by another name, standard input), nor an existing file that is no
// page of the reader, such as a trace whose name `--html trace.txt` took for
// the page's. The refused inputs are untouched and nothing is read.
TEST(ReportOutput, the_page_never_overwrites_an_input_nor_a_file_that_is_no_page)
{
    std::string dir = temp_dir();
    std::string trace = dir + "/trace.txt", original = slurp(data_file("icmp.trace"));
    std::ofstream(trace, std::ios::binary) << original;
    std::filesystem::create_hard_link(trace, dir + "/hard.txt");
    std::filesystem::create_symlink(trace, dir + "/link.txt");
    struct refusal {
        std::vector<std::string> args;
        std::string stdin_from, says;
    };
    const refusal refusals[] = {
        {{"--html", trace, trace}, "", "the page would overwrite the input " + trace},
        {{"--html", dir + "/hard.txt", trace}, "", "the page would overwrite the input " + trace},
        {{"--html", dir + "/link.txt", trace}, "", "the page would overwrite the input " + trace},
        {{"--html", dir + "/../" + std::filesystem::path(dir).filename().string() + "/trace.txt", trace}, "",
         "the page would overwrite the input " + trace},
        {{"--html", trace, "-"}, trace, "the page would overwrite the input standard input"},
        {{"--html", trace}, trace, "the page would overwrite the input standard input"},
        {{"--html", trace}, data_file("udp_gro.trace"), "exists and is no page of vn_bpf_net_report"},
        {{"--html", dir, trace}, "", "is a directory"},
    };
    for (const refusal &r : refusals) {
        report_result run = run_report(r.args, "", "", r.stdin_from);
        EXPECT_EQ(run.status, 1) << r.args[1];
        EXPECT_NE(run.err.find("vn_bpf_net_report: --html " + r.args[1] + ": " + r.says), std::string::npos)
            << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(slurp(trace), original);
    }
    EXPECT_TRUE(std::filesystem::is_symlink(dir + "/link.txt"));

    // A page of the reader, an empty file and /dev/null are written over.
    std::string page = dir + "/page.html";
    for (int round = 0; round < 2; round++) {
        report_result run = run_report({"--html", page, trace});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(slurp(page).find("<title>vn_bpf_net_report: packet journeys</title>"), std::string::npos);
    }
    std::ofstream(dir + "/empty.html");
    EXPECT_EQ(run_report({"--html", dir + "/empty.html", trace}).status, 0);
    EXPECT_GT(std::filesystem::file_size(dir + "/empty.html"), 1000u);
    EXPECT_EQ(run_report({"--html", "/dev/null", trace}).status, 0);
    // No page of nothing, and a page that cannot be written is an error.
    report_result none = run_report({"--html", dir + "/none.html", dir + "/missing.trace"});
    EXPECT_EQ(none.status, 1);
    EXPECT_FALSE(std::filesystem::exists(dir + "/none.html"));
    report_result nowhere = run_report({"--html", dir + "/no/such/dir/page.html", trace});
    EXPECT_EQ(nowhere.status, 1);
    EXPECT_NE(nowhere.err.find("cannot write the page: No such file or directory"), std::string::npos)
        << nowhere.err;
    // Nothing is left beside the pages.
    size_t files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        files += !entry.path().empty();
    EXPECT_EQ(files, 5u); // trace, hard link, symbolic link, page, empty.html
    EXPECT_EQ(slurp(trace), original);
    std::filesystem::remove_all(dir);
}

// ---- Bad input -------------------------------------------------------------

TEST(ReportBadInput, a_file_that_is_no_trace_is_refused_in_one_line_naming_it_and_the_others_are_read)
{
    std::string dir = temp_dir();
    std::string notes = write_temp(dir, "notes.txt", "hello\nworld\n");
    std::string empty = write_temp(dir, "empty.trace", "");
    report_result r = run_report({notes, data_file("udp_gro.trace"), empty, dir + "/missing.trace"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vn_bpf_net_report: " + notes + ": not a trace (its first line is no trace header)\n" +
                         "vn_bpf_net_report: " + empty + ": not a trace (it is empty)\n" +
                         "vn_bpf_net_report: " + dir + "/missing.trace: No such file or directory\n");
    EXPECT_EQ(journey_lines(r.out).size(), 3u);

    // When no input could be read there is no report: not even its frame.
    for (bool json_out : {false, true}) {
        report_result none = run_report(json_out ? std::vector<std::string>{"--json", notes, empty}
                                                 : std::vector<std::string>{notes, dir + "/missing.trace"});
        EXPECT_EQ(none.status, 1);
        EXPECT_EQ(none.out, "");
    }
    std::filesystem::remove_all(dir);
}

TEST(ReportBadInput, unreadable_rows_are_counted_and_named_by_line_and_the_rest_is_read)
{
    std::vector<std::string> lines = lines_of(slurp(data_file("tcp_iptables.trace")));
    std::string text;
    for (size_t i = 0; i < lines.size(); i++) {
        std::string line = lines[i];
        if (i == 2)
            line.replace(line.find("198.18.0.1"), 10, "198.18.0.x");
        if (i == 20)
            line = "garbage";
        text += line + "\n";
    }
    text += std::string(70000, 'y') + "\n"; // far longer than any row
    report_result r = run_report({"-"}, text + lines[5] + "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "vn_bpf_net_report: standard input:3: unreadable row (no valid SIP)\n"
                     "vn_bpf_net_report: standard input:21: unreadable row (no valid TIME)\n"
                     "vn_bpf_net_report: standard input:48: unreadable row (longer than 65536 bytes)\n");
    EXPECT_NE(r.out.find("unreadable rows: 3\n"), std::string::npos);
    // 46 rows minus two unreadable, plus line 6 again after the long line.
    EXPECT_NE(r.out.find("(45 rows)"), std::string::npos) << r.out;

    // Beyond the first three, unreadable rows are counted in one line.
    report_result many = run_report({"-"}, text + "garbage\ngarbage\n");
    EXPECT_EQ(count_of(many.err, "unreadable row ("), 3u) << many.err;
    EXPECT_NE(many.err.find("standard input: 5 unreadable rows in all (the first 3 named above)\n"),
              std::string::npos)
        << many.err;

    // A trace squeezed to one blank between columns (tr -s ' ') reads as the trace.
    for (const char *name : {"lab_tcp_iptables.trace", "lab_udp_iptables.trace", "lab_icmp_plain.trace"}) {
        std::string trace = slurp(data_file(name)), squeezed;
        for (char c : trace)
            if (c != ' ' || squeezed.empty() || squeezed.back() != ' ')
                squeezed += c;
        report_result whole = run_report({"-"}, trace), read = run_report({"-"}, squeezed);
        EXPECT_EQ(read.err, "") << name;
        EXPECT_EQ(read.out, whole.out) << name;
    }
}

TEST(ReportBadInput, bad_packet_and_netns_values_are_unreadable_rows_and_the_rest_reads_as_before)
{
    std::vector<std::string> lines = lines_of(slurp(data_file("nat_tcp.trace")));
    std::string text;
    for (size_t i = 0; i < lines.size(); i++) {
        std::string line = lines[i];
        if (i == 2)
            line.replace(27, 8, "x       ");
        if (i == 3)
            line.replace(86, 11, "99999999999");
        if (i == 4)
            line = line.substr(0, 40); // cut in TRACE_INFO's padding: no INTERFACE
        text += line + "\n";
    }
    report_result r = run_report({"-"}, text);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "vn_bpf_net_report: standard input:3: unreadable row (no valid PACKET)\n"
                     "vn_bpf_net_report: standard input:4: unreadable row (no valid NETNS)\n"
                     "vn_bpf_net_report: standard input:5: unreadable row (no valid NETNS)\n");
    EXPECT_NE(r.out.find("unreadable rows: 3\n"), std::string::npos);
    EXPECT_NE(r.out.find("journeys: 4 (86 rows)\n"), std::string::npos) << r.out;
}

// Host names end up in every output: only 1 to 32 of [A-Za-z0-9._-] are
// taken from --host; a name made of a file's name is shown as every trace
// text is. One file is never two hosts.
TEST(ReportBadInput, hostile_host_names_and_one_file_as_two_hosts_are_refused_before_anything_is_read)
{
    std::string trace = data_file("icmp.trace");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"--host", "a b=" + trace}, 2, "bad host name: a b\n"},
        {{"--host", "=" + trace}, 2, "bad host name: \n"},
        {{"--host", std::string(33, 'x') + "=" + trace}, 2, "bad host name: " + std::string(33, 'x') + "\n"},
        {{"--host", "\x1b]0;owned\x07=" + trace}, 2, "bad host name: \\x1b]0;owned\\x07\n"},
        {{"--host", "../a=" + trace}, 2, "bad host name: ../a\n"},
        {{"--host", "noequals"}, 2, "bad host name: noequals\n"},
        {{"--host", "a=" + trace, "--host", "b=" + trace}, 2,
         "vn_bpf_net_report: " + trace + " is the trace of a: it cannot be the trace of b too\n"},
    };
    for (const auto &c : cases) {
        report_result r = run_report(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[1];
        EXPECT_EQ(r.out, "") << c.args[1];
        EXPECT_EQ(r.err, c.err) << c.args[1];
    }
    // The name ends at the first '=': this is host a's file "b=...".
    report_result equals = run_report({"--host", "a=b=" + trace});
    EXPECT_EQ(equals.status, 1);
    EXPECT_EQ(equals.err, "vn_bpf_net_report: b=" + trace + ": No such file or directory\n");
    // The longest name, and one host given twice: one host, read as today.
    std::string plain = run_report({trace}).out;
    EXPECT_EQ(run_report({"--host", "Az09._-" + std::string(25, 'x') + "=" + trace}).out, plain);
    EXPECT_EQ(run_report({"--host", "h=" + trace, "--host", "h=" + trace}).out, run_report({trace, trace}).out);

    // Traces of one host whose packets never crossed a wire: nothing to say.
    report_result one_host = run_report({trace, data_file("udp_gro.trace")});
    EXPECT_EQ(one_host.status, 0);
    EXPECT_EQ(one_host.err, "");
}

TEST(ReportBadInput, odd_rows_are_read_whole_unknown_names_and_texts_included_and_a_cut_last_line_too)
{
    std::vector<std::string> lines = lines_of(slurp(data_file("udp_gro.trace")));
    std::string text = lines[0] + "\n";
    auto with = [&](std::string line, const std::string &function, const std::string &other) {
        line.replace(27, function.size() > 30 ? 30 : function.size(), function);
        return line.substr(0, 186) + other;
    };
    text += with(lines[1], "ip_defrag                     ", "frag_off:1480") + "\n";
    text += with(lines[2], "ret_ipt_do_table              ", "verdict: NF_STOP") + "\n";
    text += with(lines[3], "ipt_do_table                  ",
                 "hook:NF_INET_NUMHOOKS table: a_table_name_of_thirty_one_ch") + "\n";
    text += lines[4].substr(0, 200); // cut in OTHER_INFO, no line feed
    report_result r = run_report({"--json"}, text);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::map<int, json> rows;
    for (const json &line : json_lines(r.out))
        for (const json &row : line["rows"])
            rows[row["line"]] = row;
    ASSERT_EQ(rows.size(), 4u) << r.out;
    EXPECT_EQ(rows[2]["trace_info"], "ip_defrag");
    EXPECT_EQ(rows[2]["other_info"], "frag_off:1480");
    EXPECT_EQ(rows[3]["verdict"], "NF_STOP");
    EXPECT_EQ(rows[4]["hook"], "NF_INET_NUMHOOKS");
    EXPECT_EQ(rows[4]["table"], "a_table_name_of_thirty_one_ch");
    EXPECT_EQ(rows[5]["trace_info"], "__dev_queue_xmit");

    // Unknown names filling blocks of the name table, added by the cutting
    // thread while the grouping thread writes journeys (every 16,384 rows)
    // with names added before: each journey's path names its rows in turn.
    std::string many = lines[0] + "\n";
    const size_t functions = 8 * name_table::BLOCK;
    for (size_t i = 0; i < functions; i++) {
        std::string function = "fn_" + std::to_string(i);
        many += with(lines[1], function + std::string(30 - function.size(), ' '), "") + "\n";
    }
    report_result named = run_report({}, many);
    ASSERT_EQ(named.status, 0) << named.err;
    std::vector<std::string> path; // the words after "ended at fn_N"
    for (const std::string &line : journey_lines(named.out)) {
        std::istringstream words(line);
        std::vector<std::string> all;
        for (std::string word; words >> word;)
            all.push_back(word);
        auto at = std::find(all.begin(), all.end(), "at");
        ASSERT_LT(at + 2, all.end()) << line;
        path.insert(path.end(), at + 2, all.end());
    }
    ASSERT_EQ(path.size(), functions);
    for (size_t i = 0; i < functions; i++)
        ASSERT_EQ(path[i], "fn_" + std::to_string(i));

    // A drop verdict cut to "verdict: NF_D" decides no ending; whole, the
    // same unknown verdict is read as it is.
    std::string dropped = slurp(data_file("udp_iptables.trace"));
    dropped.resize(dropped.find("verdict: NF_DROP", dropped.size() - 60) + 13);
    for (std::string end : {"", "\n"}) {
        report_result cut = run_report({}, dropped + end);
        ASSERT_EQ(cut.status, 0) << cut.err;
        EXPECT_EQ(ending_count(cut.out, "ending unknown (a row cut short)"), end.empty() ? 1 : -1) << cut.out;
        EXPECT_EQ(ending_count(cut.out, "last seen at ret_ipt_do_table"), end.empty() ? -1 : 1) << cut.out;
        json last = json_lines(run_report({"--json"}, dropped + end).out).back();
        EXPECT_EQ(last["ending"].is_null(), end.empty()) << last.dump();
        EXPECT_EQ(last["dropped"].is_null(), end.empty()) << last.dump();
    }
}

// ---- --follow --------------------------------------------------------------

// Reads what is there within timeout_ms.
std::string read_for(int fd, int timeout_ms)
{
    std::string text;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, timeout_ms) > 0) {
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0)
            break;
        text.append(buffer, size_t(n));
        if (text.find("icmp ") != std::string::npos)
            break;
    }
    return text;
}

TEST(ReportFollow, a_journey_is_written_once_its_packet_is_quiet_before_the_input_ends)
{
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0), dup2(out[1], 1);
        close(in[1]), close(out[0]);
        alarm(30);
        execl(REPORT_BIN, REPORT_BIN, "--follow", "--quiet-ms", "200", nullptr);
        _exit(127);
    }
    close(in[0]), close(out[1]);
    std::vector<std::string> lines = lines_of(slurp(data_file("icmp.trace")));
    std::string first = lines[0] + "\n";
    for (size_t i = 1; i < lines.size(); i++) {
        parsed_row row;
        if (!parse_row(lines[i], 1, row) && row.fields[0] == 8 && row.fields[3] == 1)
            first += lines[i] + "\n";
    }
    ASSERT_EQ(count_of(first, "\n"), 13u); // the header and the first echo request
    ASSERT_EQ(write(in[1], first.data(), first.size()), ssize_t(first.size()));
    std::string early = read_for(out[0], 3000);
    EXPECT_NE(early.find("START_NS"), std::string::npos);
    EXPECT_NE(early.find("198.18.0.1 > 198.18.0.2 type 8 id 4660 seq 1 "), std::string::npos) << early;
    EXPECT_NE(early.find("ended at icmp_rcv"), std::string::npos);
    close(in[1]); // the input ends only now
    std::string rest = read_for(out[0], 3000);
    int wstatus;
    waitpid(pid, &wstatus, 0);
    close(out[0]);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
    EXPECT_EQ(count_of(early + rest, "type 8 id 4660 seq 1"), 1u);
    EXPECT_NE(rest.find("journeys: 1 (12 rows)"), std::string::npos) << rest;
}

// The reader under --follow: its standard input a pipe written here (or
// /dev/null), its standard output a pipe read here (or a file).
struct follower {
    pid_t pid = -1;
    int in = -1, in_read = -1, out = -1;
    std::string text; // its output read so far

    follower(const std::vector<std::string> &args, bool input_pipe, const std::string &output_file = "")
    {
        signal(SIGPIPE, SIG_IGN);
        int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1};
        if (input_pipe && pipe(in_pipe) != 0)
            return;
        if (output_file.empty() && pipe(out_pipe) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            int input = input_pipe ? in_pipe[0] : open("/dev/null", O_RDONLY);
            int output = output_file.empty() ? out_pipe[1] : open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(input, 0), dup2(output, 1);
            for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1]})
                if (fd > 1)
                    close(fd);
            // Freed memory kept back by AddressSanitizer would count as the reader's own.
            const char *asan = getenv("ASAN_OPTIONS");
            std::string options = std::string(asan && *asan ? asan : "verbosity=0") + ":quarantine_size_mb=1";
            setenv("ASAN_OPTIONS", options.c_str(), 1);
            exec_report(args);
        }
        if (input_pipe)
            in = in_pipe[1], in_read = in_pipe[0]; // the read end stays open here only to see what is left
        if (output_file.empty())
            out = out_pipe[0], close(out_pipe[1]);
    }
    ~follower()
    {
        for (int fd : {in, in_read, out})
            if (fd >= 0)
                close(fd);
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    bool send(const std::string &data) { return write(in, data.data(), data.size()) == ssize_t(data.size()); }
    void end_input()
    {
        close(in);
        in = -1;
    }

    // Reads its output until done(text) holds or timeout_ms pass.
    bool read_until(const std::function<bool(const std::string &)> &done, int timeout_ms)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!done(text)) {
            int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
                               .count());
            pollfd p{out, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0)
                return false;
            char buffer[65536];
            ssize_t n = read(out, buffer, sizeof(buffer));
            if (n <= 0)
                return done(text);
            text.append(buffer, size_t(n));
        }
        return true;
    }
    std::string read_to_end()
    {
        read_until([](const std::string &) { return false; }, 20000);
        return text;
    }

    // Waits until it has read every byte sent on its standard input.
    bool drained(int timeout_ms)
    {
        for (int waited = 0; waited < timeout_ms; waited += 10) {
            int left = 0;
            if (ioctl(in_read, FIONREAD, &left) == 0 && left == 0)
                return true;
            usleep(10000);
        }
        return false;
    }

    // Whether it is still running.
    bool running() { return waitpid(pid, nullptr, WNOHANG) == 0; }

    int wait(rusage *usage = nullptr)
    {
        int wstatus = 0;
        rusage ignored;
        wait4(pid, &wstatus, 0, usage ? usage : &ignored);
        pid = -1;
        return wstatus;
    }
};

size_t journeys_written(const std::string &out)
{
    return journey_lines(out).size();
}

// SIGINT (Ctrl-C) or SIGTERM: reading stops, the journeys still pending are
// written, then the summary, and the reader ends by that signal (a shell
// shows 130 or 143). --quiet-ms is long here: only the signal can write them.
TEST(ReportFollow, sigint_and_sigterm_write_the_pending_journeys_and_the_summary_then_end_by_the_signal)
{
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        follower f({"--follow", "--quiet-ms", "60000"}, true);
        ASSERT_TRUE(f.read_until([](const std::string &t) { return t.find("START_NS") != std::string::npos; }, 5000));
        ASSERT_TRUE(f.send(slurp(data_file("icmp.trace"))));
        ASSERT_TRUE(f.drained(5000));
        EXPECT_FALSE(f.read_until([](const std::string &t) { return journeys_written(t) > 0; }, 300));
        ASSERT_TRUE(f.running());
        kill(f.pid, sig);
        std::string out = f.read_to_end();
        int wstatus = f.wait();
        EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == sig) << wstatus;
        EXPECT_EQ(journeys_written(out), 4u) << out;
        EXPECT_NE(out.find("journeys: 4 (48 rows)\n"), std::string::npos) << out;
        EXPECT_NE(out.find("frames with repeated fields: 4\n"), std::string::npos);
        EXPECT_NE(out.find("\nip_rcv -> ip_rcv_finish "), std::string::npos);
    }
}

// A packet the kernel holds for its neighbour is not written as last seen
// once its key falls quiet: it waits as long as the kernel may hold it, and
// its drop seconds later ends the one journey.
TEST(ReportFollow, a_packet_held_for_its_neighbour_waits_past_the_quiet_time_for_its_end)
{
    follower f({"--follow", "--quiet-ms", "100"}, true);
    std::string held;
    for (const char *function : {"ip_output", "ip_finish_output", "ip_finish_output2"})
        held += udp_line(1000 + int64_t(held.size()), function, "veth0", "", 0, 40) + "\n";
    std::string delivered;
    for (const char *function : {"ip_rcv", "ip_local_deliver", "ip_local_deliver_finish", "udp_rcv"})
        delivered += udp_line(5000 + int64_t(delivered.size()), function, "veth0", "", 0, 41) + "\n";
    ASSERT_TRUE(f.send(udp_header() + "\n" + held + delivered));
    ASSERT_TRUE(f.read_until([](const std::string &t) { return journeys_written(t) >= 1; }, 5000)) << f.text;
    EXPECT_FALSE(f.read_until([](const std::string &t) { return journeys_written(t) >= 2; }, 600)) << f.text;
    ASSERT_TRUE(f.send(udp_line(3000001000, "kfree_skb", "veth0", "reason:NEIGH_FAILED at: neigh_invalidate buf:1", 0,
                                40) +
                       "\n"));
    f.end_input();
    std::string out = f.read_to_end();
    EXPECT_EQ(f.wait(), 0);
    EXPECT_EQ(journeys_written(out), 2u) << out;
    EXPECT_NE(out.find("dropped at neigh_invalidate: NEIGH_FAILED"), std::string::npos) << out;
    EXPECT_EQ(out.find("last seen at"), std::string::npos) << out;
}

// --follow FILE on a regular file that is still being written is read as
// tail -f reads it: what is appended later is read too, a row written in two
// pieces is one row, and the reader waits for more until a signal.
TEST(ReportFollow, a_growing_file_is_read_on_as_it_grows_and_from_its_start_when_cut_short_until_a_signal)
{
    std::string dir = temp_dir(), file = dir + "/growing.trace";
    std::vector<std::string> lines = lines_of(slurp(data_file("icmp.trace")));
    auto rows = [&](size_t from, size_t to) {
        std::string text;
        for (size_t i = from; i < to; i++)
            text += lines[i] + "\n";
        return text;
    };
    std::ofstream(file, std::ios::binary) << rows(0, 13); // the header and the first echo request
    follower f({"--follow", "--quiet-ms", "1000", file}, false);
    auto written = [](size_t n) { return [n](const std::string &t) { return journeys_written(t) >= n; }; };
    ASSERT_TRUE(f.read_until(written(1), 5000)) << f.text;
    EXPECT_NE(f.text.find("198.18.0.1 > 198.18.0.2 type 8 id 4660 seq 1 "), std::string::npos);

    std::string more = rows(13, lines.size());
    size_t cut = more.find('\n', 1000) + 60; // inside a row
    std::ofstream(file, std::ios::binary | std::ios::app) << more.substr(0, cut);
    usleep(300000); // less than --quiet-ms: the packet has not fallen quiet
    std::ofstream(file, std::ios::binary | std::ios::app) << more.substr(cut);
    ASSERT_TRUE(f.read_until(written(4), 5000)) << f.text;
    usleep(300000); // the end of the file is no end of the input
    ASSERT_TRUE(f.running());
    // Written over by a shorter trace: read again from its start.
    std::ofstream(file, std::ios::binary | std::ios::trunc) << slurp(data_file("udp_gro.trace"));
    ASSERT_TRUE(f.read_until(written(7), 5000)) << f.text;
    kill(f.pid, SIGTERM);
    std::string out = f.read_to_end();
    int wstatus = f.wait();
    EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == SIGTERM) << wstatus;
    EXPECT_EQ(journeys_written(out), 7u) << out;
    EXPECT_NE(out.find("journeys: 7 (90 rows)\nframes with repeated fields: 4\nunreadable rows: 0\n"),
              std::string::npos)
        << out;
    std::filesystem::remove_all(dir);
}

// The reader's memory follows the journeys still open, not the trace's
// length: 300,000 rows cost it little more memory than 1,000.
// - --follow: a key whose rows never end a journey (an unknown function, row
//   after row 1 us apart on one CPU) is made into journeys of
//   JOURNEY_ROWS_MAX rows as it goes (keeping them all took 66 MB more).
// - Read to its end: datagrams of 12 rows 1 ms apart, a thousand keys taking
//   turns, are written once their paths are done in trace time (keeping
//   them all took 37 MB more), still in start order.
TEST(ReportFollow, memory_stays_bounded_however_many_rows_with_and_without_follow)
{
    const char *path[] = {"ip_output", "ip_finish_output", "ip_finish_output2", "__dev_queue_xmit",
                          "dev_hard_start_xmit", "__netif_receive_skb", "__netif_receive_skb_one_core",
                          "ip_rcv", "ip_rcv_finish", "ip_local_deliver", "ip_local_deliver_finish", "udp_rcv"};
    struct memory_case {
        const char *what;
        std::vector<std::string> args;
        std::function<std::string(int)> row;
        std::function<long(int)> journeys; // in a trace of so many rows
        const char *ending;
    };
    const std::vector<memory_case> cases = {
        {"--follow, one key that never ends a journey",
         {"--follow", "--quiet-ms", "60000"},
         [](int i) { return udp_line(1000000000 + int64_t(i) * 1000, "an_unknown_function"); },
         [](int rows) { return (rows + 4095) / 4096; },
         "last seen at an_unknown_function"},
        {"read to its end, datagrams of a thousand keys",
         {},
         [&](int i) {
             return udp_line(1000000000 + int64_t(i / 12) * 1000000 + i % 12 * 2000, path[i % 12], "veth0", "", 0,
                             32 + unsigned(i / 12 % 1000));
         },
         [](int rows) { return rows / 12; },
         "ended at udp_rcv"},
    };
    std::string dir = temp_dir();
    for (const memory_case &c : cases) {
        SCOPED_TRACE(c.what);
        auto max_rss_kb = [&](int rows, std::string &out_text) {
            std::string out = dir + "/out";
            follower f(c.args, true, out);
            std::string chunk = udp_header() + "\n";
            for (int i = 0; i < rows; i++) {
                chunk += c.row(i) + "\n";
                if (chunk.size() > (1 << 20) || i == rows - 1) {
                    EXPECT_TRUE(f.send(chunk));
                    chunk.clear();
                }
            }
            f.end_input();
            rusage usage{};
            int wstatus = f.wait(&usage);
            EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
            out_text = slurp(out);
            return long(usage.ru_maxrss);
        };
        std::string small, large;
        long base = max_rss_kb(1200, small), big = max_rss_kb(300000, large);
        auto summary = [&](int rows) {
            return "journeys: " + std::to_string(c.journeys(rows)) + " (" + std::to_string(rows) + " rows)\n";
        };
        EXPECT_NE(small.find(summary(1200)), std::string::npos) << small;
        EXPECT_NE(large.find(summary(300000)), std::string::npos) << large.substr(large.size() - 2000);
        EXPECT_EQ(ending_count(large, c.ending), c.journeys(300000));
        std::vector<std::string> journeys = journey_lines(large);
        for (size_t i = 1; i < journeys.size(); i++)
            ASSERT_LE(std::stoll(journeys[i - 1]), std::stoll(journeys[i])) << i;
#if defined(__SANITIZE_THREAD__)
        long bound_kb = 64 * 1024; // TSan's shadow grows some 8 times what the reader touches
#else
        long bound_kb = 16 * 1024;
#endif
        EXPECT_LT(big - base, bound_kb) << base << " KB for 1200 rows, " << big << " KB for 300000";
    }
    std::filesystem::remove_all(dir);
}

} // namespace
