// SPDX-License-Identifier: (GPL-2.0-only OR BSD-2-Clause)
/* Kernel side of the monitor: probes on the IPv4 packet path, or with -6
 * on the IPv6 one.
 *
 * Every kprobe works on the scratch record of the CPU it runs on, kept in
 * data_map and seeded by the monitor: it overwrites the fields it owns,
 * stores the record back and emits it whole on events. Fields it does not
 * own keep what earlier probes on that CPU left there. The drop tracepoint
 * keeps a record of its own (drop_scratch): it fires in softirqs that may
 * interrupt a kprobe halfway through the CPU's record.
 *
 * An IPv6 trace does the same with IPv6 records (data6_t) in maps of their
 * own beside these. One trace is of one family: the monitor sets
 * trace_ipv6 before loading, and the verifier drops the other family's
 * code from every program. */
#include <linux/bpf.h>
#include <bpf/bpf_helpers.h>
#include "kernel_types.h"
#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_tracing.h>
#include "record_maps.bpf.h"

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, data_t);
} drop_scratch SEC(".maps");

/* The IPv6 trace's records: each CPU's and the entry/return pairs' (as
 * data_map), and the drop tracepoint's. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 4096);
    __type(key, int);
    __type(value, data6_t);
} data6_map SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, data6_t);
} drop6_scratch SEC(".maps");

/* An IPv4 trace of a port counts the IPv6 packets of its protocol and port
 * that this host's devices send or its NIC drivers hand in, so that an
 * empty trace can say where its packets went. */
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, data6_t);
} count6_scratch SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u64);
} ipv6_seen SEC(".maps");

/* Set by the monitor before loading: the family traced, and for the count
 * above the protocol and port of an IPv4 trace (0: nothing counted). */
const volatile __u8 trace_ipv6 = 0;
const volatile __u8 count6_protocol = 0;
const volatile __u16 count6_port = 0;

#define ETH_HLEN 14
#define ETH_P_IP 0x0800
#define ETH_P_IPV6 0x86DD

/* Reads a member by the kernel's offset for it, as wide as it is declared. */
#define member_read(dst, src, member)                       \
    bpf_probe_read((void *)(dst), sizeof((src)->member),    \
                   (const void *)__builtin_preserve_access_index(&(src)->member))

/* The family's map of records: V6 is a constant in every caller. An IPv6
 * record starts with an IPv4 one (data6_t.common): the probes work on that
 * part through a data_t pointer either way. */
static __always_inline void *records_of(int v6)
{
    return v6 ? (void *)&data6_map : (void *)&data_map;
}


static __always_inline data_t *lookup_cpu_data(int *cpu_id, int v6)
{
    __u32 key;

    *cpu_id = bpf_get_smp_processor_id();
    if (*cpu_id < 0)
        return NULL;
    key = *cpu_id;
    return bpf_map_lookup_elem(records_of(v6), &key);
}

/* Stores the bytes of SRC from AT on in one WIDTH-byte word, if SRC with
 * its terminator reaches that far: with a literal SRC the word is a
 * constant, one wide store instead of a store per byte. */
#define STORE_WORD(type, width)                                         \
    if (at + (width) <= len) {                                          \
        type word;                                                      \
        __builtin_memcpy(&word, src + at, (width));                     \
        *(type *)(dst + at) = word;                                     \
        at += (width);                                                  \
    }

/* Only ever called with a literal: inlined, its length and words are
 * constants, so no string needs a .rodata map. Exactly the name and its
 * terminator are written; bytes after the terminator are left alone. */
static __always_inline void copy_str(char *dst, const char *src)
{
    const int len = __builtin_strlen(src) + 1;
    int at = 0;

#pragma unroll
    for (int i = 0; i < FUNC_NAME_MAX_LEN / 8; i++)
        STORE_WORD(__u64, 8)
    STORE_WORD(__u32, 4)
    STORE_WORD(__u16, 2)
    STORE_WORD(__u8, 1)
}
#undef STORE_WORD

static __always_inline void set_func_info(data_t *pd, const char *name)
{
    pd->func_info.rcv_ts = bpf_ktime_get_ns();
    copy_str(pd->func_info.func_name, name);
}

/* Headers as they lie in the packet: their layout is the protocol's, not
 * the kernel's, so each is read whole with one helper call, not a call per
 * field. */
struct ipv4_wire {
    __u8 version_ihl;
    __u8 tos;
    __be16 tot_len;
    __be16 id;
    __be16 frag_off;
    __u8 ttl;
    __u8 protocol;
    __be16 check;
    __be32 saddr;
    __be32 daddr;
};

struct tcp_wire {
    __be16 source;
    __be16 dest;
    __be32 seq;
    __be32 ack_seq;
};

struct udp_wire {
    __be16 source;
    __be16 dest;
    __be16 len;
};

struct icmp_wire {
    __u8 type;
    __u8 code;
    __be16 check;
    __be16 id;
    __be16 sequence;
};

/* The buffer's own fields from protocol up to head, as 64-bit kernels from
 * 6.1 to 7.3 lay them out next to each other: one read instead of four. The
 * leading pad puts head on an 8-byte boundary of the stack. */
struct skb_span {
    __u32 pad;
    __be16 protocol;
    __u16 transport_header;
    __u16 network_header;
    __u16 mac_header;
    __u32 tail;
    __u32 end;
    __u32 hole;
    unsigned char *head;
};

#define SKB_SPAN_AT(field) (offsetof(struct skb_span, field) - offsetof(struct skb_span, protocol))
#define SKB_FIELD_AT(field) (bpf_core_field_offset(struct sk_buff, field) - \
                             bpf_core_field_offset(struct sk_buff, protocol))

/* Fills SPAN from the buffer. The relocated offsets are constants once the
 * object is loaded, so the verifier follows only one of the two ways: the
 * single read where the kernel's layout matches the span, a read per field
 * where it does not. */
static __always_inline void read_skb_span(struct skb_span *span, struct sk_buff *skb)
{
    if (SKB_FIELD_AT(network_header) == SKB_SPAN_AT(network_header) &&
        SKB_FIELD_AT(mac_header) == SKB_SPAN_AT(mac_header) &&
        SKB_FIELD_AT(head) == SKB_SPAN_AT(head)) {
        bpf_probe_read_kernel(&span->protocol, sizeof(*span) - offsetof(struct skb_span, protocol),
                              (const void *)__builtin_preserve_access_index(&skb->protocol));
        return;
    }
    member_read(&span->protocol, skb, protocol);
    member_read(&span->network_header, skb, network_header);
    member_read(&span->mac_header, skb, mac_header);
    member_read(&span->tail, skb, tail);
    member_read(&span->head, skb, head);
}

/* The start of the frame as one read takes it: the Ethernet header (when
 * one ends where the IPv4 header starts), the IPv4 header without options
 * and the transport fields a row shows. The leading pad aligns the IPv4 and
 * transport headers on 4 bytes of the stack. */
union transport_wire {
    struct tcp_wire tcp;
    struct udp_wire udp;
    struct icmp_wire icmp;
};

struct frame_window {
    __u16 pad;
    __u8 eth[ETH_HLEN];
    struct ipv4_wire ip;
    union transport_wire l4;
};

/* Reads a frame window (IPv4's or IPv6's) from FROM, the link header when
 * WITH_ETH, else the network header, in one call. The read ends at most 32
 * bytes past the start of an IPv4 header, 56 past an IPv6 one: inside the
 * buffer's own allocation, which keeps the kernel's shared info behind the
 * data, so where the network header can be read the rest can too. */
#define read_frame(w, from, with_eth)                                                            \
    ((with_eth) ? bpf_probe_read_kernel((w)->eth, sizeof(*(w)) - offsetof(typeof(*(w)), eth), (from)) \
                : bpf_probe_read_kernel(&(w)->ip, sizeof(*(w)) - offsetof(typeof(*(w)), ip), (from)))

static __always_inline void set_ipv4_header(data_t *pd, const struct ipv4_wire *iph)
{
    pd->ip_data.saddr = iph->saddr;
    pd->ip_data.daddr = iph->daddr;
    pd->ip_data.protocol = iph->protocol;
    pd->ip_data.frag_off = iph->frag_off;
    /* Version 4 in the high nibble drops out of an 8-bit product. */
    pd->ip_data.iph_size = (__u8)(iph->version_ihl * 4);
}

static __always_inline void set_tcp_header(data_t *pd, const struct tcp_wire *th)
{
    pd->tcp_data.source = th->source;
    pd->tcp_data.dst = th->dest;
    pd->tcp_data.seq = th->seq;
    pd->tcp_data.ack_seq = th->ack_seq;
}

static __always_inline void set_udp_header(data_t *pd, const struct udp_wire *uh)
{
    pd->udp_data.source = uh->source;
    pd->udp_data.dst = uh->dest;
    pd->udp_data.len = uh->len;
}

static __always_inline void set_icmp_header(data_t *pd, const struct icmp_wire *ih)
{
    pd->icmp_data.type = ih->type;
    pd->icmp_data.code = ih->code;
    /* Taken for every type, echo or not. */
    pd->icmp_data.seq = ih->sequence;
    pd->icmp_data.id = ih->id;
}

/* A fragment after the first carries payload where a transport header would
 * be, a header the kernel rejects none at all: nothing of it is read, and
 * the transport part says nothing. */
static __always_inline void clear_transport(data_t *pd)
{
    __builtin_memset(&pd->tcp_data, 0, sizeof(pd->tcp_data));
    __builtin_memset(&pd->icmp_data, 0, sizeof(pd->icmp_data));
    __builtin_memset(&pd->udp_data, 0, sizeof(pd->udp_data));
}

/* Where the frame of a buffer of ETHERTYPE lies: the network header's
 * offset, and whether an Ethernet header ends there. 0 for a buffer of
 * another protocol (the version nibble alone would take an ARP frame whose
 * first byte starts with 4 for IPv4; the buffer's own protocol does not). */
static __always_inline int locate_frame(struct skb_span *span, struct sk_buff *skb, __u16 ethertype,
                                        __u32 *network_header, int *with_eth)
{
    if (!skb)
        return 0;
    read_skb_span(span, skb);
    if (span->protocol != bpf_htons(ethertype))
        return 0;
    *network_header = span->network_header;
    /* Not set yet on the way in: the IP header follows the Ethernet one. */
    if (*network_header == 0)
        *network_header = span->mac_header + ETH_HLEN;
    /* Only a link header that ends where the IP header starts is Ethernet;
     * the sum is an int, so an unset offset (0xffff) never matches. */
    *with_eth = span->mac_header + ETH_HLEN == *network_header;
    return 1;
}

static __always_inline void set_link_header(data_t *pd, const __u8 *eth, int with_eth)
{
    if (with_eth)
        __builtin_memcpy(pd->eth_data.dmac, eth, sizeof(pd->eth_data.dmac) + sizeof(pd->eth_data.smac));
    else
        __builtin_memset(pd->eth_data.dmac, 0, sizeof(pd->eth_data.dmac) + sizeof(pd->eth_data.smac));
}

/* The transport fields of PROTOCOL; ICMP_PROTOCOL is the family's ICMP. */
static __always_inline void set_transport(data_t *pd, const union transport_wire *l4, __u8 protocol,
                                          __u8 icmp_protocol)
{
    if (protocol == icmp_protocol)
        set_icmp_header(pd, &l4->icmp);
    else if (protocol == PROTO_TCP)
        set_tcp_header(pd, &l4->tcp);
    else if (protocol == PROTO_UDP)
        set_udp_header(pd, &l4->udp);
}

/* Captures the link, IPv4 and transport headers of an IPv4 buffer and
 * returns 1. Any other buffer (ARP, IPv6, none at all) returns 0 and leaves
 * the record as it was, skb too: the probe then emits nothing, since a row
 * is a claim that this packet was there. One subprogram shared by all
 * probes keeps each of them small for the verifier. */
static __noinline int strace_skb(data_t *pd, struct sk_buff *skb)
{
    struct skb_span span = {};
    struct frame_window w = {};
    __u32 network_header;
    int with_eth;

    if (!locate_frame(&span, skb, ETH_P_IP, &network_header, &with_eth))
        return 0;
    /* A read that fails leaves it zeroed: version 0, no IPv4. */
    read_frame(&w, span.head + (with_eth ? span.mac_header : network_header), with_eth);
    if ((w.ip.version_ihl & 0xf0) != 0x40)
        return 0;

    pd->skb = (__u64)skb;
    set_ipv4_header(pd, &w.ip);
    set_link_header(pd, w.eth, with_eth);

    /* A header the kernel drops in ip_rcv has no transport header to read,
     * yet the device layer and ip_rcv itself see it first: with fewer than
     * five words (IHL < 5) the ports would come from inside the IP header. */
    if (pd->ip_data.iph_size < sizeof(w.ip) || bpf_ntohs(w.ip.tot_len) < pd->ip_data.iph_size ||
        (bpf_ntohs(pd->ip_data.frag_off) & IP_FRAGMENT_OFFSET)) {
        clear_transport(pd);
        return 1;
    }
    /* With options the transport header starts further on: read it there. */
    if (pd->ip_data.iph_size != sizeof(w.ip))
        bpf_probe_read_kernel(&w.l4, sizeof(w.l4), span.head + network_header + pd->ip_data.iph_size);
    set_transport(pd, &w.l4, pd->ip_data.protocol, PROTO_ICMP);
    return 1;
}

/* ---- IPv6 ------------------------------------------------------------- */

struct ipv6_wire {
    __be32 version_class_flow;
    __be16 payload_len;
    __u8 nexthdr;
    __u8 hop_limit;
    __u8 saddr[16];
    __u8 daddr[16];
};

/* The first 8 bytes of an extension header: next header and length for
 * all, the offset field and the identification for a fragment header. */
struct ipv6_ext_wire {
    __u8 nexthdr;
    __u8 hdrlen;
    __be16 frag_off;
    __be32 id;
};

/* As frame_window, for IPv6: the link header, the fixed IPv6 header, and
 * the transport fields when no extension header comes between. */
struct frame6_window {
    __u16 pad;
    __u8 eth[ETH_HLEN];
    struct ipv6_wire ip;
    union transport_wire l4;
};

#define IPV6_HLEN 40
#define NEXTHDR_HOP 0
#define NEXTHDR_ROUTING 43
#define NEXTHDR_FRAGMENT 44
#define NEXTHDR_AUTH 51
#define NEXTHDR_DEST 60
/* Extension headers walked before giving up on a transport header: a chain
 * longer than this (or one that loops back on itself) ends the walk, and
 * the record carries no transport. */
#define IPV6_EXT_MAX 8
/* The IPv6 fragment header's offset field: offset in its top 13 bits, the
 * more-fragments flag in its lowest. */
#define IPV6_FRAG_MORE 0x0001
#define IP_MORE_FRAGMENTS 0x2000

static __always_inline int is_extension_header(__u8 next)
{
    return next == NEXTHDR_HOP || next == NEXTHDR_ROUTING || next == NEXTHDR_DEST || next == NEXTHDR_AUTH ||
           next == NEXTHDR_FRAGMENT;
}

/* Bytes of the transport header a record takes from each protocol. */
static __always_inline __u32 transport_need(__u8 protocol)
{
    return protocol == PROTO_TCP ? sizeof(struct tcp_wire) : protocol == PROTO_UDP ? sizeof(struct udp_wire)
                                                                                : sizeof(struct icmp_wire);
}

/* Captures the link, IPv6 and transport headers of an IPv6 buffer into
 * PD6 and returns 1; any other buffer returns 0 and leaves the record as
 * it was. Every read lies inside the buffer's linear data (before its
 * tail): extension headers are walked there, at most IPV6_EXT_MAX of them,
 * and a transport header that does not lie there whole is not read. */
static __noinline int strace_skb6(data6_t *pd6, struct sk_buff *skb)
{
    struct skb_span span = {};
    struct frame6_window w = {};
    struct ipv6_ext_wire ext;
    data_t *pd = &pd6->common;
    __u32 network_header, end, at, packet_end;
    __u8 next;
    int with_eth;

    if (!locate_frame(&span, skb, ETH_P_IPV6, &network_header, &with_eth))
        return 0;
    end = span.tail;
    if (network_header + IPV6_HLEN > end)
        return 0;
    read_frame(&w, span.head + (with_eth ? span.mac_header : network_header), with_eth);
    if ((w.ip.version_class_flow & bpf_htonl(0xf0000000)) != bpf_htonl(0x60000000))
        return 0;

    pd->skb = (__u64)skb;
    __builtin_memcpy(pd6->saddr, w.ip.saddr, sizeof(pd6->saddr));
    __builtin_memcpy(pd6->daddr, w.ip.daddr, sizeof(pd6->daddr));
    pd->ip_data.saddr = 0;
    pd->ip_data.daddr = 0;
    pd->ip_data.frag_off = 0;
    set_link_header(pd, w.eth, with_eth);

    /* A jumbogram's payload length is 0: its end is the linear data's. */
    packet_end = network_header + IPV6_HLEN + bpf_ntohs(w.ip.payload_len);
    if (w.ip.payload_len == 0 || packet_end > end)
        packet_end = end;
    next = w.ip.nexthdr;
    at = network_header + IPV6_HLEN;
    for (int i = 0; i < IPV6_EXT_MAX; i++) {
        if (!is_extension_header(next))
            break;
        if (at + sizeof(ext) > packet_end) {
            at = packet_end + 1; /* no transport header to read */
            break;
        }
        bpf_probe_read_kernel(&ext, sizeof(ext), span.head + at);
        if (next == NEXTHDR_FRAGMENT) {
            __u16 frag = bpf_ntohs(ext.frag_off);
            pd->ip_data.frag_off =
                bpf_htons((frag >> 3) | ((frag & IPV6_FRAG_MORE) ? IP_MORE_FRAGMENTS : 0));
            at += sizeof(ext);
        } else if (next == NEXTHDR_AUTH) {
            at += ((__u32)ext.hdrlen + 2) * 4;
        } else {
            at += ((__u32)ext.hdrlen + 1) * 8;
        }
        next = ext.nexthdr;
    }
    pd->ip_data.protocol = next;
    pd->ip_data.iph_size = at - network_header > 255 ? 255 : (__u8)(at - network_header);
    /* Still an extension header: the chain was longer than walked. */
    if (is_extension_header(next) || (bpf_ntohs(pd->ip_data.frag_off) & IP_FRAGMENT_OFFSET) ||
        at + transport_need(next) > packet_end) {
        clear_transport(pd);
        return 1;
    }
    if (at != network_header + IPV6_HLEN)
        bpf_probe_read_kernel(&w.l4, sizeof(w.l4), span.head + at);
    set_transport(pd, &w.l4, next, PROTO_ICMPV6);
    return 1;
}

/* The device and its namespace; a buffer on its way out has no device
 * before routing, but its socket's namespace is the packet's. */
static __always_inline void set_net_dev(data_t *pd, struct net_device *dev, struct sk_buff *skb,
                                        struct sock *sk)
{
    if (!dev) {
        copy_str(pd->net_data.net_dev_name, "nil");
        if (!sk)
            sk = BPF_CORE_READ(skb, sk);
        pd->net_data.ns_id = BPF_CORE_READ(sk, __sk_common.skc_net.net, ns.inum);
        return;
    }
    /* The whole 16-byte field as the kernel holds it, not a string copy. */
    bpf_core_read(pd->net_data.net_dev_name, DEV_NAME_MAX_LEN, &dev->name);
    pd->net_data.ns_id = BPF_CORE_READ(dev, nd_net.net, ns.inum);
}

static __always_inline void set_sock_state(data_t *pd, struct sock *sk)
{
    if (!sk) {
        pd->sock_data.sk_state = SK_STATE_NONE;
        return;
    }
    pd->sock_data.sk_state = BPF_CORE_READ(sk, __sk_common.skc_state);
}

/* What every kprobe but the listener's return half writes; 0 when the
 * buffer holds no IPv4 packet, which the probe then does not emit, and skb
 * is 0: an entry keeps such a record for its return, which must not take it
 * for a packet. The device is read by the caller before the headers are
 * captured. */
static __always_inline int capture_packet_of(data_t *pd, struct sk_buff *skb, struct net_device *dev,
                                             struct sock *sk, const char *name, int v6)
{
    set_func_info(pd, name);
    if (!(v6 ? strace_skb6((data6_t *)pd, skb) : strace_skb(pd, skb))) {
        pd->skb = 0;
        return 0;
    }
    set_net_dev(pd, dev, skb, sk);
    return 1;
}

static __always_inline int capture_packet(data_t *pd, struct sk_buff *skb,
                                          struct net_device *dev, const char *name, int v6)
{
    return capture_packet_of(pd, skb, dev, NULL, name, v6);
}

static __always_inline void store_record(int cpu_id, data_t *pd, int v6)
{
    bpf_map_update_elem(records_of(v6), &cpu_id, pd, BPF_ANY);
}

static __always_inline void output_record(void *ctx, data_t *pd, int v6)
{
    if (v6)
        bpf_perf_event_output(ctx, &events, BPF_F_CURRENT_CPU, pd, sizeof(data6_t));
    else
        bpf_perf_event_output(ctx, &events, BPF_F_CURRENT_CPU, pd, sizeof(data_t));
}

static __always_inline int emit_record(void *ctx, int cpu_id, data_t *pd, int v6)
{
    store_record(cpu_id, pd, v6);
    output_record(ctx, pd, v6);
    return 0;
}

/* ---- entry and return halves ---------------------------------------------
 *
 * Between an entry and its return the CPU runs other code: ipt_do_table
 * enables bottom halves, so softirqs run whole receive paths (other walks,
 * other lookups) on the same CPU before the walk returns. The CPU's record
 * then holds another packet. So the entry keeps what its return needs in a
 * record of its own in data_map, keyed by the task and a nesting level: a
 * task's calls nest strictly (a softirq runs inside the walk it interrupts),
 * so a return takes the innermost record of its task. Keys have the top bit
 * set and never meet a CPU number. */

#define PAIR_LEVELS 4
#define PAIR_TABLE_WALK 0
#define PAIR_LISTENER 1
#define PAIR_CHAIN_WALK 2
#define PAIR_GRO_MERGE 3
#define PAIR_GSO 4
/* A call in the kernel takes microseconds: a record older than this was
 * left by an entry whose return never came (a missed kretprobe). */
#define PAIR_MAX_AGE_NS 1000000000ULL

/* task_struct is cache-line aligned: bits 6 to 31 of its address go into
 * the key, bits 32 to 63 into the kept copy's ns_id, so two tasks that
 * share a key are still told apart. */
static __always_inline __u32 pair_key(__u64 task, int pair, int level)
{
    return 0x80000000u | (__u32)pair << 28 | (__u32)level << 26 | ((__u32)(task >> 6) & 0x03ffffffu);
}

/* Keeps a copy of the CPU's record for the return of this call; a record
 * whose capture failed is kept as well (skb 0), so the return of that call
 * finds its own record and not the one of the call around it. */
static __always_inline void pair_save(data_t *pd, int pair, int v6)
{
    __u64 task = bpf_get_current_task();
    __u32 ns_id = pd->net_data.ns_id, verdict = pd->ipt_data.verdict;
    __u64 now = pd->func_info.rcv_ts;

    /* The copy's namespace rides in its verdict, which every return writes
     * anew or does not show. */
    pd->ipt_data.verdict = ns_id;
    pd->net_data.ns_id = (__u32)(task >> 32);
#pragma unroll
    for (int level = 0; level < PAIR_LEVELS; level++) {
        __u32 key = pair_key(task, pair, level);
        data_t *old = bpf_map_lookup_elem(records_of(v6), &key);
        if (old && now - old->func_info.rcv_ts < PAIR_MAX_AGE_NS)
            continue;
        if (bpf_map_update_elem(records_of(v6), &key, pd, old ? BPF_EXIST : BPF_NOEXIST) == 0)
            break;
    }
    pd->net_data.ns_id = ns_id;
    pd->ipt_data.verdict = verdict;
}

/* The record the entry of this task's innermost open call kept, removed
 * from the map; null when there is none or it is too old to trust. The
 * caller copies out what it needs before the next map update. */
static __always_inline data_t *pair_take(int pair, __u32 *taken, int v6)
{
    __u64 task = bpf_get_current_task();
    data_t *found = NULL;

#pragma unroll
    for (int level = PAIR_LEVELS - 1; level >= 0; level--) {
        __u32 key = pair_key(task, pair, level);
        data_t *rec = bpf_map_lookup_elem(records_of(v6), &key);
        if (rec && rec->net_data.ns_id == (__u32)(task >> 32)) {
            found = rec;
            *taken = key;
            break;
        }
    }
    if (!found)
        return NULL;
    if (bpf_ktime_get_ns() - found->func_info.rcv_ts > PAIR_MAX_AGE_NS || !found->skb) {
        bpf_map_delete_elem(records_of(v6), taken);
        return NULL;
    }
    return found;
}

/* The bodies of the programs, named in probe_points.def. Each takes the
 * probe context and the name its rows are labelled with. Arguments and
 * return values are loads from the probe context itself: it is the saved
 * registers, whose bounds the verifier checks, so the load cannot fault and
 * needs no helper call. */

/* A packet-path probe whose socket buffer is SKB; the device is the buffer's. */
static __always_inline int packet_probe(void *ctx, struct sk_buff *skb, const char *name, int v6)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id, v6);
    if (!pd)
        return -1;
    if (!capture_packet(pd, skb, BPF_CORE_READ(skb, dev), name, v6))
        return 0;
    return emit_record(ctx, cpu_id, pd, v6);
}

#define ARG(ctx, n) PT_REGS_PARM##n((struct pt_regs *)(ctx))

static __always_inline int packet_skb1(void *ctx, const char *name, int v6)
{
    return packet_probe(ctx, (struct sk_buff *)ARG(ctx, 1), name, v6);
}

static __always_inline int packet_skb2(void *ctx, const char *name, int v6)
{
    return packet_probe(ctx, (struct sk_buff *)ARG(ctx, 2), name, v6);
}

static __always_inline int packet_skb3(void *ctx, const char *name, int v6)
{
    return packet_probe(ctx, (struct sk_buff *)ARG(ctx, 3), name, v6);
}

/* A socket's input, handed the socket beside the buffer: a buffer past
 * its device has the socket's namespace. */
static __always_inline int socket_skb2(void *ctx, const char *name, int v6)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id, v6);
    if (!pd)
        return -1;
    struct sk_buff *skb = (struct sk_buff *)ARG(ctx, 2);
    if (!capture_packet_of(pd, skb, BPF_CORE_READ(skb, dev), (struct sock *)ARG(ctx, 1), name, v6))
        return 0;
    return emit_record(ctx, cpu_id, pd, v6);
}

/* A receive handler (a bridge port's) is handed the buffer by reference. */
static __always_inline int packet_skb_ref1(void *ctx, const char *name, int v6)
{
    struct sk_buff *skb = NULL;
    bpf_probe_read_kernel(&skb, sizeof(skb), (void *)ARG(ctx, 1));
    return packet_probe(ctx, skb, name, v6);
}

/* The lookup's entry captures the packet and keeps it without emitting;
 * the return half emits it with the state of the socket found. Lookups
 * without a packet (socket diagnostics, BPF socket lookups) emit nothing. */
static __always_inline int lookup_listener_entry(struct sk_buff *skb, const char *name, int v6)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id, v6);
    if (!pd)
        return -1;
    capture_packet(pd, skb, BPF_CORE_READ(skb, dev), name, v6);
    pair_save(pd, PAIR_LISTENER, v6);
    return 0;
}

static __always_inline int listener_skb3(void *ctx, const char *name, int v6)
{
    return lookup_listener_entry((struct sk_buff *)ARG(ctx, 3), name, v6);
}

/* From 6.18 the lookup takes no hashinfo: the buffer is argument 2. */
static __always_inline int listener_skb2(void *ctx, const char *name, int v6)
{
    return lookup_listener_entry((struct sk_buff *)ARG(ctx, 2), name, v6);
}

/* Puts the record this call's entry kept back as the CPU's record, with
 * its packet's namespace; 0 when there is none. */
static __always_inline int restore_entry(data_t *pd, int pair, int v6)
{
    __u32 key;
    data_t *entry = pair_take(pair, &key, v6);
    if (!entry)
        return 0;
    if (v6)
        __builtin_memcpy(pd, entry, sizeof(data6_t));
    else
        __builtin_memcpy(pd, entry, sizeof(data_t));
    pd->net_data.ns_id = entry->ipt_data.verdict;
    bpf_map_delete_elem(records_of(v6), &key);
    return 1;
}

static __always_inline int listener_return(void *ctx, const char *name, int v6)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id, v6);
    if (!pd)
        return -1;
    if (!restore_entry(pd, PAIR_LISTENER, v6))
        return 0;
    set_sock_state(pd, (struct sock *)PT_REGS_RC((struct pt_regs *)ctx));
    return emit_record(ctx, cpu_id, pd, v6);
}

static __always_inline int tcp_receive_skb1(void *ctx, const char *name, int v6)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id, v6);
    if (!pd)
        return -1;
    struct sk_buff *skb = (struct sk_buff *)ARG(ctx, 1);
    struct net_device *dev = BPF_CORE_READ(skb, dev);
    struct sock *sk = BPF_CORE_READ(skb, sk);
    if (!capture_packet(pd, skb, dev, name, v6))
        return 0;
    set_sock_state(pd, sk);
    return emit_record(ctx, cpu_id, pd, v6);
}

/* A TCP segment's row with the state of the socket that took it: a
 * listener whose accept queue is full, a connection in TIME_WAIT
 * (tcp_timewait_state_process) or still in its handshake (tcp_check_req,
 * with its request). The kernel frees what they handled without a reason;
 * the row says who handled it. */
static __always_inline int socket_state_row(void *ctx, struct sock *sk, struct sk_buff *skb, const char *name,
                                            int v6)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id, v6);
    if (!pd)
        return -1;
    if (!capture_packet_of(pd, skb, BPF_CORE_READ(skb, dev), sk, name, v6))
        return 0;
    set_sock_state(pd, sk);
    return emit_record(ctx, cpu_id, pd, v6);
}

/* A SYN (tcp_conn_request) or the handshake's last ACK (the listener's
 * syn_recv_sock) that finds the listener's accept queue full
 * (sk_acceptq_is_full): the kernel drops it without a drop event, so this
 * is the packet's last row, with the listener's state. */
static __always_inline int accept_queue_full(void *ctx, struct sock *sk, struct sk_buff *skb, const char *name,
                                             int v6)
{
    if (BPF_CORE_READ(sk, sk_ack_backlog) <= BPF_CORE_READ(sk, sk_max_ack_backlog))
        return 0;
    return socket_state_row(ctx, sk, skb, name, v6);
}

static __always_inline int accept_queue_full_sk3_skb4(void *ctx, const char *name, int v6)
{
    return accept_queue_full(ctx, (struct sock *)ARG(ctx, 3), (struct sk_buff *)ARG(ctx, 4), name, v6);
}

static __always_inline int accept_queue_full_sk1_skb2(void *ctx, const char *name, int v6)
{
    return accept_queue_full(ctx, (struct sock *)ARG(ctx, 1), (struct sk_buff *)ARG(ctx, 2), name, v6);
}

static __always_inline int time_wait_sk1_skb2(void *ctx, const char *name, int v6)
{
    return socket_state_row(ctx, (struct sock *)ARG(ctx, 1), (struct sk_buff *)ARG(ctx, 2), name, v6);
}

/* The request socket, argument 3, has the handshake's state; the listener,
 * argument 1, its own. */
static __always_inline int handshake_req3_skb2(void *ctx, const char *name, int v6)
{
    return socket_state_row(ctx, (struct sock *)ARG(ctx, 3), (struct sk_buff *)ARG(ctx, 2), name, v6);
}

/* A segment GRO merges into the packet before it (skb_gro_receive(p, skb)
 * returns 0) goes no further on its own: the kernel frees its buffer, or
 * keeps it in p's list, without a drop event. The entry captures the
 * segment and keeps it with p's address; the return emits it only when the
 * merge was made, labelled with the entry's name. */
static __always_inline int gro_merge_entry(void *ctx, const char *name, int v6)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id, v6);
    if (!pd)
        return -1;
    struct sk_buff *skb = (struct sk_buff *)ARG(ctx, 2);
    __u64 into = (__u64)ARG(ctx, 1);
    capture_packet(pd, skb, BPF_CORE_READ(skb, dev), name, v6);
    __builtin_memcpy(pd->ipt_data.table_name, &into, sizeof(into));
    pair_save(pd, PAIR_GRO_MERGE, v6);
    return 0;
}

static __always_inline int gro_merge_return(void *ctx, const char *name, int v6)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id, v6);
    if (!pd)
        return -1;
    if (!restore_entry(pd, PAIR_GRO_MERGE, v6))
        return 0;
    if (PT_REGS_RC((struct pt_regs *)ctx) != 0)
        return 0;
    return emit_record(ctx, cpu_id, pd, v6);
}

/* A buffer segmented in software on its way out (__skb_gso_segment: a
 * device that cannot segment it, a UDP_SEGMENT sender) is consumed, and the
 * segments go on in its place. The return emits the first segment, with
 * the original's address where a table's name would be, so its packet
 * keeps its number; the other segments start their own. */
static __always_inline int gso_entry(void *ctx, const char *name, int v6)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id, v6);
    if (!pd)
        return -1;
    struct sk_buff *skb = (struct sk_buff *)ARG(ctx, 1);
    capture_packet(pd, skb, BPF_CORE_READ(skb, dev), name, v6);
    pair_save(pd, PAIR_GSO, v6);
    return 0;
}

#define MAX_ERRNO 4095

static __always_inline int gso_return(void *ctx, const char *name, int v6)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id, v6);
    if (!pd)
        return -1;
    if (!restore_entry(pd, PAIR_GSO, v6))
        return 0;
    __u64 segs = PT_REGS_RC((struct pt_regs *)ctx), original = pd->skb;
    if (!segs || segs >= (__u64)-MAX_ERRNO || segs == original)
        return 0;
    if (!(v6 ? strace_skb6((data6_t *)pd, (struct sk_buff *)segs) : strace_skb(pd, (struct sk_buff *)segs)))
        return 0;
    __builtin_memcpy(pd->ipt_data.table_name, &original, sizeof(original));
    return emit_record(ctx, cpu_id, pd, v6);
}

/* ip_rcv is given the receiving device; the buffer's may not be set yet. */
static __always_inline int ip_rcv_skb1_dev2(void *ctx, const char *name, int v6)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id, v6);
    if (!pd)
        return -1;
    struct sk_buff *skb = (struct sk_buff *)ARG(ctx, 1);
    struct net_device *dev = (struct net_device *)ARG(ctx, 2);
    if (!capture_packet(pd, skb, dev, name, v6))
        return 0;
    return emit_record(ctx, cpu_id, pd, v6);
}

/* The table walk emits on entry (hook and table) and on return (verdict);
 * the return half captures again the buffer of its own walk, as it stands
 * after the walk. */
static __always_inline int table_walk_entry(void *ctx, const char *name, int v6)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id, v6);
    if (!pd)
        return -1;
    struct sk_buff *skb = (struct sk_buff *)ARG(ctx, 2);
    struct nf_hook_state *state = (struct nf_hook_state *)ARG(ctx, 3);
    struct xt_table *table = (struct xt_table *)ARG(ctx, 1);
    int captured = capture_packet(pd, skb, BPF_CORE_READ(skb, dev), name, v6);
    pair_save(pd, PAIR_TABLE_WALK, v6);
    if (!captured)
        return 0;
    pd->ipt_data.hook = BPF_CORE_READ(state, hook);
    bpf_core_read(pd->ipt_data.table_name, TABLE_NAME_MAX_LEN, &table->name);
    return emit_record(ctx, cpu_id, pd, v6);
}

static __always_inline int table_walk_return(void *ctx, const char *name, int v6)
{
    int cpu_id;
    __u32 key;
    data_t *pd = lookup_cpu_data(&cpu_id, v6);
    if (!pd)
        return -1;
    data_t *entry = pair_take(PAIR_TABLE_WALK, &key, v6);
    if (!entry)
        return 0;
    struct sk_buff *skb = (struct sk_buff *)entry->skb;
    bpf_map_delete_elem(records_of(v6), &key);
    pd->ipt_data.verdict = (__u32)PT_REGS_RC((struct pt_regs *)ctx);
    if (!capture_packet(pd, skb, BPF_CORE_READ(skb, dev), name, v6))
        return 0;
    return emit_record(ctx, cpu_id, pd, v6);
}

/* Copies an nft name (up to 255 bytes) into its 16-byte half of
 * table_name and returns CUT when the name goes on past the 15 bytes kept:
 * a cut is told, never silent. A copy that filled the half ends either a
 * name of exactly 15 bytes or a longer one; the byte after tells which. */
static __always_inline __u32 read_nft_name(char *dst, const char *name, __u32 cut)
{
    char next = 0;
    if (bpf_probe_read_kernel_str(dst, NFT_NAME_MAX_LEN, name) == NFT_NAME_MAX_LEN)
        bpf_probe_read_kernel(&next, 1, name + NFT_NAME_MAX_LEN - 1);
    return next ? cut : 0;
}

/* An nft base chain's walk: the entry emits hook, table and chain, the
 * return the verdict. A drop frees the buffer inside the walk (the kernel
 * tells it at kfree_skb), so the return emits the packet its entry kept
 * instead of reading a freed buffer. A hook number means nothing without
 * its family (NF_NETDEV_INGRESS is 0, as NF_INET_PRE_ROUTING), nor a table
 * name without the table's: both ride in the entry's verdict field. */
static __always_inline int chain_walk_entry(void *ctx, const char *name, int v6)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id, v6);
    if (!pd)
        return -1;
    struct nft_pktinfo *pkt = (struct nft_pktinfo *)ARG(ctx, 1);
    struct nft_chain *chain = (struct nft_chain *)ARG(ctx, 2);
    struct sk_buff *skb = BPF_CORE_READ(pkt, skb);
    int captured = capture_packet(pd, skb, BPF_CORE_READ(skb, dev), name, v6);
    if (captured) {
        const struct nf_hook_state *state = BPF_CORE_READ(pkt, state);
        struct nft_table *table = BPF_CORE_READ(chain, table);
        __u32 names = (__u32)BPF_CORE_READ(state, pf) << NFT_HOOK_FAMILY_SHIFT;
        names |= ((__u32)BPF_CORE_READ_BITFIELD_PROBED(table, family) & NFT_FAMILY_MASK) << NFT_TABLE_FAMILY_SHIFT;
        pd->ipt_data.hook = BPF_CORE_READ(state, hook);
        names |= read_nft_name(pd->ipt_data.table_name, BPF_CORE_READ(table, name), NFT_TABLE_NAME_CUT);
        names |= read_nft_name(pd->ipt_data.table_name + NFT_NAME_MAX_LEN, BPF_CORE_READ(chain, name),
                               NFT_CHAIN_NAME_CUT);
        pd->ipt_data.verdict = names;
    }
    pair_save(pd, PAIR_CHAIN_WALK, v6);
    if (!captured)
        return 0;
    return emit_record(ctx, cpu_id, pd, v6);
}

static __always_inline int chain_walk_return(void *ctx, const char *name, int v6)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id, v6);
    if (!pd)
        return -1;
    if (!restore_entry(pd, PAIR_CHAIN_WALK, v6))
        return 0;
    pd->ipt_data.verdict = (__u32)PT_REGS_RC((struct pt_regs *)ctx);
    set_func_info(pd, name);
    return emit_record(ctx, cpu_id, pd, v6);
}

/* skb:kfree_skb: a packet the kernel drops, the code that freed it and the
 * reason (from 5.17). The record's table part carries the reason (hook),
 * which user space names, and the code's name in table_name, which the
 * kernel gives here: its own symbol table names code whatever /proc/kallsyms
 * hides (kptr_restrict), and a module loaded since start is named too. consume_skb, a packet freed after its delivery, is another
 * tracepoint and gives no row. Its record is drop_scratch's, written only
 * once the buffer is known to hold IPv4; the fields its rows show are all
 * its own. */
/* "tcp_v4_rcv", "nft_do_chain [nf_tables]": %ps as the kernel prints a
 * function, cut to the array. Code in no symbol comes back as its address,
 * "0x...": that is no name, and a kernel address never leaves the kernel,
 * so it becomes an empty name, as a failed call does. */
static __always_inline void name_code(char name[TABLE_NAME_MAX_LEN], __u64 location)
{
    static const char format[] = "%ps";
    __u64 args[1] = {location};
    if (bpf_snprintf(name, TABLE_NAME_MAX_LEN, format, args, sizeof(args)) < 0 ||
        (name[0] == '0' && name[1] == 'x'))
        name[0] = '\0';
}

/* Whether this buffer's data was ever shared: cloned is set on both the
 * original and the copy when the kernel copies a buffer for another socket
 * (a group's other members), and stays set when the copy is freed first;
 * the low half of dataref counts the buffers sharing it now. */
static __always_inline int data_shared(struct sk_buff *skb)
{
    if (BPF_CORE_READ_BITFIELD_PROBED(skb, cloned))
        return 1;
    unsigned char *head = BPF_CORE_READ(skb, head);
    __u32 end = BPF_CORE_READ(skb, end);
    struct skb_shared_info *shinfo = (struct skb_shared_info *)(head + end);
    return (BPF_CORE_READ(shinfo, dataref.counter) & 0xffff) > 1;
}

static __always_inline int drop_row(void *ctx, const char *name, int v6)
{
    struct bpf_raw_tracepoint_args *tp = ctx;
    __u32 key = 0;
    data_t *pd = v6 ? bpf_map_lookup_elem(&drop6_scratch, &key) : bpf_map_lookup_elem(&drop_scratch, &key);
    if (!pd)
        return -1;
    struct sk_buff *skb = (struct sk_buff *)tp->args[0];
    __u64 location = tp->args[1];
    __u32 reason = (__u32)tp->args[2];
    struct net_device *dev = BPF_CORE_READ(skb, dev);
    __u64 now = bpf_ktime_get_ns();
    if (!(v6 ? strace_skb6((data6_t *)pd, skb) : strace_skb(pd, skb)))
        return 0;
    pd->func_info.rcv_ts = now;
    copy_str(pd->func_info.func_name, name);
    set_net_dev(pd, dev, skb, NULL);
    pd->ipt_data.hook = reason;
    name_code(pd->ipt_data.table_name, location);
    pd->ipt_data.verdict = DROP_FORWARDING_UNKNOWN;
    struct in_device *in_dev = v6 ? NULL : BPF_CORE_READ(dev, ip_ptr);
    if (in_dev)
        pd->ipt_data.verdict = BPF_CORE_READ(in_dev, cnf.data[0]) ? DROP_FORWARDING_ON : DROP_FORWARDING_OFF;
    if (data_shared(skb))
        pd->ipt_data.verdict |= DROP_DATA_SHARED;
    output_record(ctx, pd, v6);
    return 0;
}

/* In an IPv4 trace of a port, an IPv6 packet of the traced protocol to or
 * from that port adds one to ipv6_seen. */
static __always_inline void count_ipv6_packet(struct sk_buff *skb)
{
    __u32 key = 0;
    data6_t *rec = bpf_map_lookup_elem(&count6_scratch, &key);
    __u64 *seen = bpf_map_lookup_elem(&ipv6_seen, &key);
    if (!rec || !seen || !strace_skb6(rec, skb) || rec->common.ip_data.protocol != count6_protocol)
        return;
    __be16 source = rec->common.tcp_data.source, dest = rec->common.tcp_data.dst;
    if (count6_protocol == PROTO_UDP) {
        source = rec->common.udp_data.source;
        dest = rec->common.udp_data.dst;
    }
    if (bpf_ntohs(source) == count6_port || bpf_ntohs(dest) == count6_port)
        __sync_fetch_and_add(seen, 1);
}

/* The device transmit and the NIC drivers' hand-off: the places where the
 * count above sees every packet once per device that sends it, and once
 * as a NIC receives it. */
static __always_inline int counting_skb1(void *ctx, const char *name, int v6)
{
    if (!v6 && count6_port)
        count_ipv6_packet((struct sk_buff *)ARG(ctx, 1));
    return packet_skb1(ctx, name, v6);
}

static __always_inline int counting_skb2(void *ctx, const char *name, int v6)
{
    if (!v6 && count6_port)
        count_ipv6_packet((struct sk_buff *)ARG(ctx, 2));
    return packet_skb2(ctx, name, v6);
}

/* Every program, in the order of the list. An entry's rows are labelled
 * with its function's name, a return's with its program's. */
#define LABEL_ENTRY(program, function) #function
#define LABEL_TRACEPOINT(program, function) #function
#define LABEL_RETURN(program, function) #program
/* A program of one family has that family's code alone; one of both
 * follows trace_ipv6, a constant to the verifier. */
#define CALL_IPV4(body, label) body(ctx, label, 0)
#define CALL_IPV6(body, label) body(ctx, label, 1)
#define CALL_BOTH(body, label) (trace_ipv6 ? body(ctx, label, 1) : body(ctx, label, 0))
#define PROBE(program, kind, section, function, point, body, args, module, rank, device_layer, family) \
    SEC(section) int trace_##program(void *ctx)                                                         \
    {                                                                                                   \
        return CALL_##family(body, LABEL_##kind(program, function));                                    \
    }
#include "probe_points.def"
#undef PROBE

/* Never attached: the monitor runs it once on every CPU on its way out. The
 * kernel tells of samples a full ring had no room for only in front of the
 * next sample it writes to that ring, so a loss with no packet after it on
 * that CPU would never be told. This marker is that next sample; shorter
 * than any record, it is no row. */
/* A helper, as the probes' output is: clang orders the maps by their first
 * use, and a program naming events first would put it before data_map. */
static __always_inline void output_marker(void *ctx)
{
    __u64 now = bpf_ktime_get_ns();
    bpf_perf_event_output(ctx, &events, BPF_F_CURRENT_CPU, &now, sizeof(now));
}

SEC("raw_tp")
int tell_pending_losses(void *ctx)
{
    output_marker(ctx);
    return 0;
}
