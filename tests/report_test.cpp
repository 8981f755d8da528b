// The trace reader: rows read back as the monitor writes them, packets made
// into journeys with their endings and stage latencies, filters, JSON,
// bad input and --follow. The sample traces in tests/data/report are in the
// monitor's exact layout: a TCP and a UDP trace with a DROP rule on port
// 5304 at NF_INET_LOCAL_IN, a UDP trace through GRO, and an ICMP trace that
// ends in frames with repeated fields.
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>

#include <cstring>
#include <filesystem>
#include <map>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "journeys.h"
#include "report_output.h"
#include "run_report.h"
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
    pread(fd, text.data(), text.size(), 0);
    close(fd);
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
    walk.ipt_data.hook = 9; // outside the table: NF_INET_NUMHOOKS
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
    EXPECT_EQ(parts.hook, "NF_INET_NUMHOOKS");
    EXPECT_EQ(parts.table, std::string(31, 't'));
    EXPECT_TRUE(parts.unknown.empty());
}

TEST(ReportRows, udp_and_icmp_rows_of_the_monitor_read_back_field_for_field)
{
    data_t ret = monitor_record("ret_ipt_do_table", PROTO_UDP);
    ret.udp_data.source = htons(45001), ret.udp_data.dst = htons(5304), ret.udp_data.len = htons(8);
    ret.ipt_data.verdict = 4; // NF_REPEAT is written as NF_STOP
    std::vector<std::string> udp = render(PROTO_UDP, {ret});
    ASSERT_EQ(udp.size(), 2u);
    EXPECT_EQ(header_protocol(udp[0]), 17u);
    parsed_row row;
    ASSERT_EQ(parse_row(udp[1], 17, row), nullptr);
    expect_common_fields(row, ret);
    EXPECT_EQ(std::vector<uint32_t>(row.fields, row.fields + 3), (std::vector<uint32_t>{45001, 5304, 0}));
    EXPECT_EQ(split_other_info(row.other_info).verdict, "NF_STOP");

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

TEST(ReportRows, other_info_splits_into_known_parts_and_keeps_texts_it_does_not_know)
{
    other_info_fields walk = split_other_info("hook:NF_INET_LOCAL_IN table: filter");
    EXPECT_EQ(walk.hook, "NF_INET_LOCAL_IN");
    EXPECT_EQ(walk.table, "filter");
    EXPECT_EQ(split_other_info("verdict: NF_DROP").verdict, "NF_DROP");
    other_info_fields fragment = split_other_info("frag_off:1480");
    EXPECT_EQ(fragment.unknown, "frag_off:1480");
    EXPECT_TRUE(fragment.hook.empty() && fragment.verdict.empty() && fragment.sock.empty());
    EXPECT_EQ(split_other_info("sock:TCP_LISTEN frag_off:1480").unknown, "frag_off:1480");
    other_info_fields chain = split_other_info("hook:NF_INET_LOCAL_IN table: fw  chain: in frag_off:8");
    EXPECT_EQ(chain.table, "fw");
    EXPECT_EQ(chain.chain, "in");
    EXPECT_EQ(chain.unknown, "frag_off:8");
    other_info_fields drop = split_other_info("reason:NO_SOCKET at: tcp_v4_rcv");
    EXPECT_EQ(drop.reason, "NO_SOCKET");
    EXPECT_EQ(drop.location, "tcp_v4_rcv");
}

// ---- Stage latencies -------------------------------------------------------

journey two_row_journey(report_state &state, int64_t latency_ns)
{
    journey j;
    j.source = 0;
    uint32_t from = state.names.id("ip_rcv"), to = state.names.id("ip_local_deliver"), empty = state.names.id("");
    j.rows.push_back({1000, 2, 0, from, empty, empty, empty, empty, 1, 2, {0, 0, 0, 0}});
    j.rows.push_back({1000 + latency_ns, 3, 0, to, empty, empty, empty, empty, 1, 2, {0, 0, 0, 0}});
    return j;
}

TEST(ReportStages, percentiles_are_nearest_rank_over_every_latency_of_a_stage)
{
    report_state state;
    stage_stats stats;
    for (int64_t us = 100; us >= 1; us--) // out of order on purpose
        add_stages(stats, two_row_journey(state, us * 1000));
    std::vector<stage_summary> stages = summarize_stages(state, stats);
    ASSERT_EQ(stages.size(), 1u);
    EXPECT_EQ(state.names.text(stages[0].from), "ip_rcv");
    EXPECT_EQ(state.names.text(stages[0].to), "ip_local_deliver");
    EXPECT_EQ(stages[0].count, 100u);
    EXPECT_EQ(stages[0].p50, 50000);
    EXPECT_EQ(stages[0].p90, 90000);
    EXPECT_EQ(stages[0].p99, 99000);
    EXPECT_EQ(stages[0].max, 100000);
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
}

// ---- The binary on the sample traces ---------------------------------------

json json_lines(const std::string &out)
{
    json all = json::array();
    for (const std::string &line : lines_of(out))
        all.push_back(json::parse(line));
    return all;
}

// The count of a stage pair in the summary, or -1 when it is not there.
long stage_count(const std::string &out, const std::string &stage)
{
    size_t at = out.find("\n" + stage + " ");
    if (at == std::string::npos)
        return -1;
    return std::stol(out.substr(at + 1 + stage.size()));
}

// The count of an ending in the summary, or -1.
long ending_count(const std::string &out, const std::string &ending)
{
    size_t at = out.find("\n" + ending + "  ");
    return at == std::string::npos ? -1 : std::stol(out.substr(at + 1 + ending.size()));
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
            EXPECT_FALSE(line.contains("ending"));
        }
    EXPECT_EQ(repeated_rows, 4u);
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
    size_t dropped = r.out.find("\ndropped by table filter at NF_INET_LOCAL_IN "),
           ended = r.out.find("\nended at tcp_v4_do_rcv ");
    ASSERT_NE(dropped, std::string::npos);
    ASSERT_NE(ended, std::string::npos);
    EXPECT_LT(dropped, ended);
    EXPECT_EQ(ending_count(r.out, "dropped by table filter at NF_INET_LOCAL_IN"), 2);
    EXPECT_EQ(ending_count(r.out, "ended at tcp_v4_do_rcv"), 1);
    // Six table walks (two per SYN), one accepted SYN reaching the listener.
    EXPECT_EQ(stage_count(r.out, "ipt_do_table -> ret_ipt_do_table"), 6);
    EXPECT_EQ(stage_count(r.out, "ip_rcv -> ip_rcv_finish"), 3);
    EXPECT_EQ(stage_count(r.out, "tcp_v4_rcv -> __inet_lookup_listener"), 1);
    EXPECT_EQ(stage_count(r.out, "ret_ipt_do_table -> ip_local_deliver_finish"), 1);
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

    report_result bad = run_report({"--flow", "198.18.0:80", trace});
    EXPECT_NE(bad.status, 0);
    EXPECT_NE(bad.err.find("--flow"), std::string::npos);
}

// Four datagrams as the monitor writes them, each stopped another way: a
// native nft chain (the kernel frees it inside the walk, which returns
// NF_STOLEN), an iptables rule (NF_DROP, then the kernel's NETFILTER_DROP
// at nf_hook_slow: one ending), a closed port, and one delivered.
std::string drops_trace()
{
    kernel_names.drop_reasons = {{2, "NO_SOCKET"}, {6, "NETFILTER_DROP"}};
    kernel_names.code_symbols = {{0x1000, "nft_do_chain"}, {0x2000, "nf_hook_slow"}, {0x3000, "__udp4_lib_rcv"}};
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
            strcpy(r.ipt_data.table_name, table);
            strcpy(r.ipt_data.table_name + NFT_NAME_MAX_LEN, chain);
        };
    };
    auto verdict = [](uint32_t v) { return [=](data_t &r) { r.ipt_data.verdict = v; }; };
    auto dropped = [](uint32_t reason, uint64_t at) {
        return [=](data_t &r) {
            r.ipt_data.hook = reason;
            memcpy(r.ipt_data.table_name, &at, sizeof(at));
        };
    };
    row("ip_local_deliver", 18, none);
    row("nft_do_chain", 18, walk("fw", "in"));
    row("kfree_skb", 18, dropped(6, 0x1234));
    row("ret_nft_do_chain", 18, verdict(0x10002));
    row("ip_local_deliver", 28, none);
    row("ipt_do_table", 28, walk("filter", ""));
    row("ret_ipt_do_table", 28, verdict(0));
    row("kfree_skb", 28, dropped(6, 0x2040));
    for (const char *label : {"ip_local_deliver", "ip_local_deliver_finish", "udp_rcv"})
        row(label, 38, none);
    row("kfree_skb", 38, dropped(2, 0x3010));
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
    const char *endings[] = {"dropped by table fw chain in at NF_INET_LOCAL_IN",
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
    EXPECT_EQ(lines[0]["drop_table"], "fw");
    EXPECT_EQ(lines[0]["drop_chain"], "in");
    EXPECT_EQ(lines[0]["drop_hook"], "NF_INET_LOCAL_IN");
    EXPECT_EQ(lines[0]["drop_reason"], "NETFILTER_DROP");
    EXPECT_EQ(lines[0]["drop_function"], "nft_do_chain");
    EXPECT_EQ(lines[0]["rows"][1]["chain"], "in");
    EXPECT_EQ(lines[0]["rows"][2]["reason"], "NETFILTER_DROP");
    EXPECT_EQ(lines[0]["rows"][2]["location"], "nft_do_chain");
    EXPECT_FALSE(lines[1].contains("drop_chain"));
    EXPECT_EQ(lines[1]["drop_function"], "nf_hook_slow");
    EXPECT_FALSE(lines[2].contains("drop_table"));
    EXPECT_EQ(lines[2]["drop_reason"], "NO_SOCKET");
    EXPECT_EQ(lines[2]["drop_function"], "__udp4_lib_rcv");
    EXPECT_EQ(lines[3]["dropped"], false);
    EXPECT_FALSE(lines[3].contains("drop_reason"));

    // The page colours each cause apart: the two table drops alike, the
    // closed port otherwise, the delivered one not as a drop.
    std::string page_path = temp_dir() + "/drops.html";
    ASSERT_EQ(run_report({"--html", page_path, trace}).status, 0);
    std::string page = slurp(page_path);
    auto fill_of = [&](const std::string &ending) {
        size_t at = page.find(">" + ending + "</text><rect class=\"bar");
        size_t fill = page.find("fill:", at);
        return at == std::string::npos ? std::string("none") : page.substr(fill, page.find('"', fill) - fill);
    };
    EXPECT_EQ(fill_of(endings[0]), "fill:#d62728");
    EXPECT_EQ(fill_of(endings[1]), fill_of(endings[0]));
    EXPECT_NE(fill_of(endings[2]), fill_of(endings[0]));
    EXPECT_NE(fill_of(endings[2]), "none");
    EXPECT_EQ(page.find(">ended at udp_rcv</text><rect class=\"bar dropped"), std::string::npos);
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

// Every field of every row in the JSON is the trace's own text at that line.
TEST(ReportCli, json_lines_hold_every_field_of_every_row_as_the_trace_has_it)
{
    for (const char *name : {"tcp_iptables.trace", "udp_iptables.trace", "icmp.trace"}) {
        std::string trace_path = data_file(name);
        std::vector<std::string> trace = lines_of(slurp(trace_path));
        std::istringstream header(trace[0]);
        std::vector<std::string> labels;
        for (std::string label; header >> label;)
            labels.push_back(label);
        report_result r = run_report({"--json", trace_path});
        ASSERT_EQ(r.status, 0);
        size_t rows = 0;
        for (const json &journey : json_lines(r.out)) {
            EXPECT_EQ(journey["file"], trace_path);
            if (!journey["repeated_fields"]) {
                EXPECT_EQ(journey["path"].size(), journey["rows"].size());
            }
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
    EXPECT_EQ(count_of(r.out, " -> "), 10u); // eleven functions, ten stages
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
    EXPECT_EQ(stage_count(r.out, "ipt_do_table -> ret_ipt_do_table"), 12); // LOCAL_OUT and LOCAL_IN each
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

// ---- Bad input -------------------------------------------------------------

std::string write_temp(const std::string &dir, const std::string &name, const std::string &text)
{
    std::ofstream(dir + "/" + name, std::ios::binary) << text;
    return dir + "/" + name;
}

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

} // namespace
