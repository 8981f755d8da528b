/* The trace record shared by the kernel object and the monitor.
 *
 * One definition, compiled into both sides: the kernel fills it in place in
 * data_map (a drop in drop_scratch) and emits it whole on the events perf
 * array; the monitor decodes the samples. Header fields stay in network
 * byte order as captured, all other values are in host order. The layout
 * is pinned below, so a field that moves does not compile. */
#ifndef VN_BPF_NET_MONITOR_H
#define VN_BPF_NET_MONITOR_H

#include <linux/types.h>

#define DEV_NAME_MAX_LEN 16
#define TABLE_NAME_MAX_LEN 32
/* An nft chain walk keeps its table's name in the first half of
 * ipt_data.table_name and the chain's in the second, each cut to 15 bytes. */
#define NFT_NAME_MAX_LEN 16
#define FUNC_NAME_MAX_LEN 32

/* IP protocol numbers, as the record and the filter carry them. */
#define PROTO_ICMP 1
#define PROTO_TCP 6
#define PROTO_UDP 17
#define PROTO_ICMPV6 58

/* The state written when a probe finds no socket; the trace names it
 * TCP_MAX_STATES. */
#define SK_STATE_NONE 13

/* The fragment offset bits of the IPv4 header's frag_off, in host order. */
#define IP_FRAGMENT_OFFSET 0x1fff

typedef struct func_info_t {
    __u64 rcv_ts; /* bpf_ktime_get_ns() when the probe ran */
    char func_name[FUNC_NAME_MAX_LEN];
} func_info_t;

typedef struct sock_t {
    __u8 sk_state;
} sock_t;

typedef struct net_t {
    char net_dev_name[DEV_NAME_MAX_LEN];
    /* The network namespace's inode number (of the device's namespace, or
     * of the socket's where the buffer has no device yet), 0 where neither
     * is known. */
    __u32 ns_id;
} net_t;

typedef struct eth_data_t {
    __u8 dmac[6];
    __u8 smac[6];
    __u16 protocol; /* never written by a probe: keeps the seeded value */
} eth_data_t;

typedef struct ip_data_t {
    __u8 iph_size; /* header length in bytes */
    __u8 pad;
    /* Flags and fragment offset as in the header (network order). A packet
     * that is not the first fragment has no transport header: its
     * transport part is all zero. */
    __u16 frag_off;
    __u32 saddr;
    __u32 daddr;
    __u8 protocol;
} ip_data_t;

typedef struct tcp_data_t {
    __u32 seq;
    __u32 ack_seq;
    __u16 source;
    __u16 dst;
} tcp_data_t;

typedef struct icmp_data_t {
    __u8 type;
    __u8 code;
    __u16 seq;
    __u16 id;
} icmp_data_t;

typedef struct udp_data_t {
    __u16 source;
    __u16 dst;
    __u16 len;
} udp_data_t;

/* The table walks' part: ipt_do_table's, and nft_do_chain's with the chain
 * in the second half of table_name (NFT_NAME_MAX_LEN). A drop row
 * (kfree_skb) keeps its reason in hook, the name of the code that dropped
 * the packet in table_name (NUL-terminated, as the kernel prints it with
 * %ps: a module's function followed by " [module]"; empty where the kernel
 * has no name for it), and in verdict
 * the IPv4 forwarding switch of its device (DROP_FORWARDING_*): input
 * routing refuses every packet for elsewhere on a device that does not
 * forward; DROP_DATA_SHARED beside it.
 *
 * A GRO merge row (skb_gro_receive) keeps in the first 8 bytes of
 * table_name the address of the buffer it was merged into, a software
 * segmentation's row (__skb_gso_segment) that of the buffer it segmented;
 * the monitor turns either into that packet's number and never writes it.
 *
 * verdict is the walk's return value at a return. At an nft walk's entry,
 * which has no verdict yet, it carries what names the hook and the table:
 * bits 0-7 the hook's family (pkt->state->pf), bits 8-15 the table's
 * (chain->table->family), both NFPROTO_* numbers, and a bit for each name
 * longer than its 15 bytes (NFT_TABLE_NAME_CUT, NFT_CHAIN_NAME_CUT). */
#define NFT_HOOK_FAMILY_SHIFT 0
#define NFT_TABLE_FAMILY_SHIFT 8
#define NFT_FAMILY_MASK 0xffu
#define NFT_TABLE_NAME_CUT (1u << 16)
#define NFT_CHAIN_NAME_CUT (1u << 17)
#define DROP_FORWARDING_UNKNOWN 0
#define DROP_FORWARDING_ON 1
#define DROP_FORWARDING_OFF 2
#define DROP_FORWARDING_MASK 0xffu
/* A drop row's buffer was copied (a copy made for another socket, or the
 * original such a copy was made of), or shares its data now. */
#define DROP_DATA_SHARED (1u << 8)
typedef struct ipt_t {
    __u32 hook;
    char table_name[TABLE_NAME_MAX_LEN];
    __u32 verdict;
} ipt_t;

typedef struct data_t {
    __u64 skb; /* kernel address of the last captured socket buffer */
    func_info_t func_info;
    sock_t sock_data;
    net_t net_data;
    eth_data_t eth_data;
    ip_data_t ip_data;
    tcp_data_t tcp_data;
    icmp_data_t icmp_data;
    udp_data_t udp_data;
    ipt_t ipt_data;
} data_t;

/* An IPv6 packet's record: the IPv4 record with the IPv6 addresses after
 * it, so every part but the addresses is read as an IPv4 record's. In it
 * ip_data holds no addresses (0); protocol is the transport's, found
 * behind the extension headers; frag_off is the fragment header's offset
 * and more-fragments bit in IPv4's encoding (0 without one); iph_size the
 * fixed header and the extension headers walked, at most 255. */
typedef struct data6_t {
    data_t common;
    __u8 saddr[16];
    __u8 daddr[16];
} data6_t;

#ifdef __cplusplus
#define RECORD_LAYOUT(cond) static_assert(cond, #cond)
#else
#define RECORD_LAYOUT(cond) _Static_assert(cond, #cond)
#endif
#define RECORD_AT(type, field, offset) RECORD_LAYOUT(__builtin_offsetof(type, field) == (offset))

RECORD_LAYOUT(sizeof(data_t) == 168);
RECORD_LAYOUT(__alignof__(data_t) == 8);
RECORD_AT(data_t, skb, 0);
RECORD_AT(data_t, func_info, 8);
RECORD_AT(data_t, func_info.rcv_ts, 8);
RECORD_AT(data_t, func_info.func_name, 16);
RECORD_AT(data_t, sock_data, 48);
RECORD_AT(data_t, sock_data.sk_state, 48);
RECORD_AT(data_t, net_data, 52);
RECORD_AT(data_t, net_data.net_dev_name, 52);
RECORD_AT(data_t, net_data.ns_id, 68);
RECORD_AT(data_t, eth_data, 72);
RECORD_AT(data_t, eth_data.dmac, 72);
RECORD_AT(data_t, eth_data.smac, 78);
RECORD_AT(data_t, eth_data.protocol, 84);
RECORD_AT(data_t, ip_data, 88);
RECORD_AT(data_t, ip_data.iph_size, 88);
RECORD_AT(data_t, ip_data.frag_off, 90);
RECORD_AT(data_t, ip_data.saddr, 92);
RECORD_AT(data_t, ip_data.daddr, 96);
RECORD_AT(data_t, ip_data.protocol, 100);
RECORD_AT(data_t, tcp_data, 104);
RECORD_AT(data_t, tcp_data.seq, 104);
RECORD_AT(data_t, tcp_data.ack_seq, 108);
RECORD_AT(data_t, tcp_data.source, 112);
RECORD_AT(data_t, tcp_data.dst, 114);
RECORD_AT(data_t, icmp_data, 116);
RECORD_AT(data_t, icmp_data.type, 116);
RECORD_AT(data_t, icmp_data.code, 117);
RECORD_AT(data_t, icmp_data.seq, 118);
RECORD_AT(data_t, icmp_data.id, 120);
RECORD_AT(data_t, udp_data, 122);
RECORD_AT(data_t, udp_data.source, 122);
RECORD_AT(data_t, udp_data.dst, 124);
RECORD_AT(data_t, udp_data.len, 126);
RECORD_AT(data_t, ipt_data, 128);
RECORD_AT(data_t, ipt_data.hook, 128);
RECORD_AT(data_t, ipt_data.table_name, 132);
RECORD_AT(data_t, ipt_data.verdict, 164);
RECORD_LAYOUT(sizeof(data6_t) == 200);
RECORD_LAYOUT(__alignof__(data6_t) == 8);
RECORD_AT(data6_t, common, 0);
RECORD_AT(data6_t, saddr, 168);
RECORD_AT(data6_t, daddr, 184);
RECORD_LAYOUT(sizeof(func_info_t) == 40);
RECORD_LAYOUT(sizeof(net_t) == 20);
RECORD_LAYOUT(sizeof(eth_data_t) == 14);
RECORD_LAYOUT(sizeof(ip_data_t) == 16);
RECORD_LAYOUT(sizeof(tcp_data_t) == 12);
RECORD_LAYOUT(sizeof(icmp_data_t) == 6);
RECORD_LAYOUT(sizeof(udp_data_t) == 6);
RECORD_LAYOUT(sizeof(ipt_t) == 40);

#undef RECORD_AT
#undef RECORD_LAYOUT

#endif
