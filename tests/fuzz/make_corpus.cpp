// Writes the fuzz harness's seed inputs into a directory: one record of each
// kind the decoder tells apart, plus samples shorter and longer than a
// record. The input layout is the harness's (see trace_output_fuzz.cpp).
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "vn_bpf_net_monitor.h"

namespace {

enum { ICMP = 0, TCP = 1, UDP = 2, ANY_HOST = 4, ANY_PORT = 8 };

data_t record(const char *label, uint8_t protocol)
{
    data_t r;
    memset(&r, 0, sizeof(r));
    r.func_info.rcv_ts = 1234567890123;
    strncpy(r.func_info.func_name, label, sizeof(r.func_info.func_name));
    strcpy(r.net_data.net_dev_name, "eth0");
    const uint8_t smac[6] = {0x02, 0x00, 0x0a, 0xbc, 0xde, 0xf0}, dmac[6] = {0x02, 0, 0, 0, 0, 1};
    memcpy(r.eth_data.smac, smac, 6);
    memcpy(r.eth_data.dmac, dmac, 6);
    inet_pton(AF_INET, "198.18.0.1", &r.ip_data.saddr);
    inet_pton(AF_INET, "198.18.0.2", &r.ip_data.daddr);
    r.ip_data.protocol = protocol;
    return r;
}

void save(const std::string &dir, const char *name, uint8_t flags, const data_t &r, size_t size,
          uint16_t port = 0)
{
    unsigned char input[11 + sizeof(data_t) + 16] = {0};
    input[0] = flags;
    inet_pton(AF_INET, "198.18.0.2", input + 1);
    memcpy(input + 5, &port, 2);
    int cpu = 3;
    memcpy(input + 7, &cpu, 4);
    memcpy(input + 11, &r, size < sizeof(r) ? size : sizeof(r));
    FILE *f = fopen((dir + "/" + name).c_str(), "wb");
    if (!f || fwrite(input, 1, 11 + size, f) != 11 + size || fclose(f) != 0)
        perror(name);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];

    data_t tcp = record("tcp_v4_rcv", PROTO_TCP);
    tcp.tcp_data.source = htons(80);
    tcp.tcp_data.dst = htons(40000);
    tcp.tcp_data.seq = htonl(3000000000u);
    tcp.sock_data.sk_state = 1;
    save(dir, "tcp_socket_state", TCP, tcp, sizeof(tcp), 80);

    data_t walk = record("ipt_do_table", PROTO_TCP);
    walk.ipt_data.hook = 3;
    memset(walk.ipt_data.table_name, 'f', sizeof(walk.ipt_data.table_name)); // no NUL
    save(dir, "tcp_table_walk_unterminated", TCP | ANY_PORT, walk, sizeof(walk));

    data_t udp = record("ret_ipt_do_table", PROTO_UDP);
    udp.udp_data.source = htons(53);
    udp.udp_data.dst = htons(5353);
    udp.udp_data.len = htons(8);
    udp.ipt_data.verdict = 1;
    save(dir, "udp_verdict", UDP | ANY_HOST, udp, sizeof(udp), 53);

    data_t chain = record("nft_do_chain", PROTO_UDP);
    chain.ipt_data.hook = 1;
    strcpy(chain.ipt_data.table_name, "fw");
    memset(chain.ipt_data.table_name + NFT_NAME_MAX_LEN, 'c', NFT_NAME_MAX_LEN - 1);
    chain.ipt_data.verdict = 2 << NFT_HOOK_FAMILY_SHIFT | 1 << NFT_TABLE_FAMILY_SHIFT | NFT_CHAIN_NAME_CUT;
    save(dir, "udp_nft_walk_chain_cut", UDP | ANY_HOST | ANY_PORT, chain, sizeof(chain));

    data_t icmp = record("icmp_rcv", PROTO_ICMP);
    icmp.icmp_data.type = 8;
    icmp.icmp_data.id = htons(0x1234);
    icmp.icmp_data.seq = htons(1);
    memset(icmp.func_info.func_name, 'x', sizeof(icmp.func_info.func_name)); // overlong label
    memset(icmp.net_data.net_dev_name, 'n', sizeof(icmp.net_data.net_dev_name));
    save(dir, "icmp_names_unterminated", ICMP, icmp, sizeof(icmp));

    save(dir, "tcp_short_sample", TCP | ANY_HOST | ANY_PORT, tcp, sizeof(tcp) - 1);
    save(dir, "udp_long_sample", UDP | ANY_HOST | ANY_PORT, udp, sizeof(udp) + 16);
    save(dir, "unknown_protocol", 3 | ANY_HOST | ANY_PORT, tcp, sizeof(tcp));
    return 0;
}
