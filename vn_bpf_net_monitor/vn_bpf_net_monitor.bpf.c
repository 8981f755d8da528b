// SPDX-License-Identifier: (GPL-2.0-only OR BSD-2-Clause)
/* Kernel side of the monitor: probes on the IPv4 packet path.
 *
 * Every kprobe works on the scratch record of the CPU it runs on, kept in
 * data_map and seeded by the monitor: it overwrites the fields it owns,
 * stores the record back and emits it whole on events. Fields it does not
 * own keep what earlier probes on that CPU left there. The drop tracepoint
 * keeps a record of its own (drop_scratch): it fires in softirqs that may
 * interrupt a kprobe halfway through the CPU's record. */
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

#define ETH_HLEN 14
#define ETH_P_IP 0x0800

/* Reads a member by the kernel's offset for it, as wide as it is declared. */
#define member_read(dst, src, member)                       \
    bpf_probe_read((void *)(dst), sizeof((src)->member),    \
                   (const void *)__builtin_preserve_access_index(&(src)->member))

static __always_inline data_t *lookup_cpu_data(int *cpu_id)
{
    __u32 key;

    *cpu_id = bpf_get_smp_processor_id();
    if (*cpu_id < 0)
        return NULL;
    key = *cpu_id;
    return bpf_map_lookup_elem(&data_map, &key);
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
    member_read(&span->head, skb, head);
}

/* The start of the frame as one read takes it: the Ethernet header (when
 * one ends where the IPv4 header starts), the IPv4 header without options
 * and the transport fields a row shows. The leading pad aligns the IPv4 and
 * transport headers on 4 bytes of the stack. */
struct frame_window {
    __u16 pad;
    __u8 eth[ETH_HLEN];
    struct ipv4_wire ip;
    union {
        struct tcp_wire tcp;
        struct udp_wire udp;
        struct icmp_wire icmp;
    } l4;
};

/* Reads the frame from FROM (the link header when WITH_ETH, else the IPv4
 * header) in one call. The read ends at most 32 bytes past the start of the
 * IPv4 header: inside the buffer's own allocation, which keeps the kernel's
 * shared info behind the data, so where the IPv4 header can be read the
 * rest can too. */
static __always_inline void read_frame(struct frame_window *w, const unsigned char *from, int with_eth)
{
    if (with_eth)
        bpf_probe_read_kernel(w->eth, sizeof(*w) - offsetof(struct frame_window, eth), from);
    else
        bpf_probe_read_kernel(&w->ip, sizeof(*w) - offsetof(struct frame_window, ip), from);
}

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

/* Captures the link, IPv4 and transport headers of an IPv4 buffer and
 * returns 1. Any other buffer (ARP, IPv6, none at all) returns 0 and leaves
 * the record as it was, skb too: the probe then emits nothing, since a row
 * is a claim that this packet was there. One subprogram shared by all
 * probes keeps each of them small for the verifier. */
static __noinline int strace_skb(data_t *pd, struct sk_buff *skb)
{
    struct skb_span span = {};
    struct frame_window w = {};
    __u16 network_header;
    int with_eth;

    if (!skb)
        return 0;
    read_skb_span(&span, skb);
    /* The version nibble alone takes an ARP or IPv6 frame whose first byte
     * happens to start with 4 for IPv4; the buffer's own protocol does not. */
    if (span.protocol != bpf_htons(ETH_P_IP))
        return 0;
    network_header = span.network_header;
    /* Not set yet on the way in: the IP header follows the Ethernet one. */
    if (network_header == 0)
        network_header = span.mac_header + ETH_HLEN;
    /* Only a link header that ends where the IP header starts is Ethernet;
     * the sum is an int, so an unset offset (0xffff) never matches. */
    with_eth = span.mac_header + ETH_HLEN == network_header;
    /* A read that fails leaves it zeroed: version 0, no IPv4. */
    read_frame(&w, span.head + (with_eth ? span.mac_header : network_header), with_eth);
    if ((w.ip.version_ihl & 0xf0) != 0x40)
        return 0;

    pd->skb = (__u64)skb;
    set_ipv4_header(pd, &w.ip);
    if (with_eth)
        __builtin_memcpy(pd->eth_data.dmac, w.eth, sizeof(pd->eth_data.dmac) + sizeof(pd->eth_data.smac));
    else
        __builtin_memset(pd->eth_data.dmac, 0, sizeof(pd->eth_data.dmac) + sizeof(pd->eth_data.smac));

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
    switch (pd->ip_data.protocol) {
    case PROTO_ICMP:
        set_icmp_header(pd, &w.l4.icmp);
        break;
    case PROTO_TCP:
        set_tcp_header(pd, &w.l4.tcp);
        break;
    case PROTO_UDP:
        set_udp_header(pd, &w.l4.udp);
        break;
    }
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
                                             struct sock *sk, const char *name)
{
    set_func_info(pd, name);
    if (!strace_skb(pd, skb)) {
        pd->skb = 0;
        return 0;
    }
    set_net_dev(pd, dev, skb, sk);
    return 1;
}

static __always_inline int capture_packet(data_t *pd, struct sk_buff *skb,
                                          struct net_device *dev, const char *name)
{
    return capture_packet_of(pd, skb, dev, NULL, name);
}

static __always_inline void store_record(int cpu_id, data_t *pd)
{
    bpf_map_update_elem(&data_map, &cpu_id, pd, BPF_ANY);
}

static __always_inline int emit_record(void *ctx, int cpu_id, data_t *pd)
{
    store_record(cpu_id, pd);
    bpf_perf_event_output(ctx, &events, BPF_F_CURRENT_CPU, pd, sizeof(data_t));
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
/* A call in the kernel takes microseconds: a record older than this was
 * left by an entry whose return never came (a missed kretprobe). */
#define PAIR_MAX_AGE_NS 1000000000ULL

/* task_struct is cache-line aligned: bits 6 to 32 of its address go into
 * the key, bits 32 to 63 into the kept copy's ns_id, so two tasks that
 * share a key are still told apart. */
static __always_inline __u32 pair_key(__u64 task, int pair, int level)
{
    return 0x80000000u | (__u32)pair << 29 | (__u32)level << 27 | ((__u32)(task >> 6) & 0x07ffffffu);
}

/* Keeps a copy of the CPU's record for the return of this call; a record
 * whose capture failed is kept as well (skb 0), so the return of that call
 * finds its own record and not the one of the call around it. */
static __always_inline void pair_save(data_t *pd, int pair)
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
        data_t *old = bpf_map_lookup_elem(&data_map, &key);
        if (old && now - old->func_info.rcv_ts < PAIR_MAX_AGE_NS)
            continue;
        if (bpf_map_update_elem(&data_map, &key, pd, old ? BPF_EXIST : BPF_NOEXIST) == 0)
            break;
    }
    pd->net_data.ns_id = ns_id;
    pd->ipt_data.verdict = verdict;
}

/* The record the entry of this task's innermost open call kept, removed
 * from the map; null when there is none or it is too old to trust. The
 * caller copies out what it needs before the next map update. */
static __always_inline data_t *pair_take(int pair, __u32 *taken)
{
    __u64 task = bpf_get_current_task();
    data_t *found = NULL;

#pragma unroll
    for (int level = PAIR_LEVELS - 1; level >= 0; level--) {
        __u32 key = pair_key(task, pair, level);
        data_t *rec = bpf_map_lookup_elem(&data_map, &key);
        if (rec && rec->net_data.ns_id == (__u32)(task >> 32)) {
            found = rec;
            *taken = key;
            break;
        }
    }
    if (!found)
        return NULL;
    if (bpf_ktime_get_ns() - found->func_info.rcv_ts > PAIR_MAX_AGE_NS || !found->skb) {
        bpf_map_delete_elem(&data_map, taken);
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
static __always_inline int packet_probe(void *ctx, struct sk_buff *skb, const char *name)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id);
    if (!pd)
        return -1;
    if (!capture_packet(pd, skb, BPF_CORE_READ(skb, dev), name))
        return 0;
    return emit_record(ctx, cpu_id, pd);
}

#define ARG(ctx, n) PT_REGS_PARM##n((struct pt_regs *)(ctx))

static __always_inline int packet_skb1(void *ctx, const char *name)
{
    return packet_probe(ctx, (struct sk_buff *)ARG(ctx, 1), name);
}

static __always_inline int packet_skb2(void *ctx, const char *name)
{
    return packet_probe(ctx, (struct sk_buff *)ARG(ctx, 2), name);
}

static __always_inline int packet_skb3(void *ctx, const char *name)
{
    return packet_probe(ctx, (struct sk_buff *)ARG(ctx, 3), name);
}

/* A socket's input, handed the socket beside the buffer: a buffer past
 * its device has the socket's namespace. */
static __always_inline int socket_skb2(void *ctx, const char *name)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id);
    if (!pd)
        return -1;
    struct sk_buff *skb = (struct sk_buff *)ARG(ctx, 2);
    if (!capture_packet_of(pd, skb, BPF_CORE_READ(skb, dev), (struct sock *)ARG(ctx, 1), name))
        return 0;
    return emit_record(ctx, cpu_id, pd);
}

/* A receive handler (a bridge port's) is handed the buffer by reference. */
static __always_inline int packet_skb_ref1(void *ctx, const char *name)
{
    struct sk_buff *skb = NULL;
    bpf_probe_read_kernel(&skb, sizeof(skb), (void *)ARG(ctx, 1));
    return packet_probe(ctx, skb, name);
}

/* The lookup's entry captures the packet and keeps it without emitting;
 * the return half emits it with the state of the socket found. Lookups
 * without a packet (socket diagnostics, BPF socket lookups) emit nothing. */
static __always_inline int lookup_listener_entry(struct sk_buff *skb, const char *name)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id);
    if (!pd)
        return -1;
    capture_packet(pd, skb, BPF_CORE_READ(skb, dev), name);
    pair_save(pd, PAIR_LISTENER);
    return 0;
}

static __always_inline int listener_skb3(void *ctx, const char *name)
{
    return lookup_listener_entry((struct sk_buff *)ARG(ctx, 3), name);
}

/* From 6.18 the lookup takes no hashinfo: the buffer is argument 2. */
static __always_inline int listener_skb2(void *ctx, const char *name)
{
    return lookup_listener_entry((struct sk_buff *)ARG(ctx, 2), name);
}

/* Puts the record this call's entry kept back as the CPU's record, with
 * its packet's namespace; 0 when there is none. */
static __always_inline int restore_entry(data_t *pd, int pair)
{
    __u32 key;
    data_t *entry = pair_take(pair, &key);
    if (!entry)
        return 0;
    __builtin_memcpy(pd, entry, sizeof(*pd));
    pd->net_data.ns_id = entry->ipt_data.verdict;
    bpf_map_delete_elem(&data_map, &key);
    return 1;
}

static __always_inline int listener_return(void *ctx, const char *name)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id);
    if (!pd)
        return -1;
    if (!restore_entry(pd, PAIR_LISTENER))
        return 0;
    set_sock_state(pd, (struct sock *)PT_REGS_RC((struct pt_regs *)ctx));
    return emit_record(ctx, cpu_id, pd);
}

static __always_inline int tcp_v4_rcv_skb1(void *ctx, const char *name)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id);
    if (!pd)
        return -1;
    struct sk_buff *skb = (struct sk_buff *)ARG(ctx, 1);
    struct net_device *dev = BPF_CORE_READ(skb, dev);
    struct sock *sk = BPF_CORE_READ(skb, sk);
    if (!capture_packet(pd, skb, dev, name))
        return 0;
    set_sock_state(pd, sk);
    return emit_record(ctx, cpu_id, pd);
}

/* ip_rcv is given the receiving device; the buffer's may not be set yet. */
static __always_inline int ip_rcv_skb1_dev2(void *ctx, const char *name)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id);
    if (!pd)
        return -1;
    struct sk_buff *skb = (struct sk_buff *)ARG(ctx, 1);
    struct net_device *dev = (struct net_device *)ARG(ctx, 2);
    if (!capture_packet(pd, skb, dev, name))
        return 0;
    return emit_record(ctx, cpu_id, pd);
}

/* The table walk emits on entry (hook and table) and on return (verdict);
 * the return half captures again the buffer of its own walk, as it stands
 * after the walk. */
static __always_inline int table_walk_entry(void *ctx, const char *name)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id);
    if (!pd)
        return -1;
    struct sk_buff *skb = (struct sk_buff *)ARG(ctx, 2);
    struct nf_hook_state *state = (struct nf_hook_state *)ARG(ctx, 3);
    struct xt_table *table = (struct xt_table *)ARG(ctx, 1);
    int captured = capture_packet(pd, skb, BPF_CORE_READ(skb, dev), name);
    pair_save(pd, PAIR_TABLE_WALK);
    if (!captured)
        return 0;
    pd->ipt_data.hook = BPF_CORE_READ(state, hook);
    bpf_core_read(pd->ipt_data.table_name, TABLE_NAME_MAX_LEN, &table->name);
    return emit_record(ctx, cpu_id, pd);
}

static __always_inline int table_walk_return(void *ctx, const char *name)
{
    int cpu_id;
    __u32 key;
    data_t *pd = lookup_cpu_data(&cpu_id);
    if (!pd)
        return -1;
    data_t *entry = pair_take(PAIR_TABLE_WALK, &key);
    if (!entry)
        return 0;
    struct sk_buff *skb = (struct sk_buff *)entry->skb;
    bpf_map_delete_elem(&data_map, &key);
    pd->ipt_data.verdict = (__u32)PT_REGS_RC((struct pt_regs *)ctx);
    if (!capture_packet(pd, skb, BPF_CORE_READ(skb, dev), name))
        return 0;
    return emit_record(ctx, cpu_id, pd);
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
static __always_inline int chain_walk_entry(void *ctx, const char *name)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id);
    if (!pd)
        return -1;
    struct nft_pktinfo *pkt = (struct nft_pktinfo *)ARG(ctx, 1);
    struct nft_chain *chain = (struct nft_chain *)ARG(ctx, 2);
    struct sk_buff *skb = BPF_CORE_READ(pkt, skb);
    int captured = capture_packet(pd, skb, BPF_CORE_READ(skb, dev), name);
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
    pair_save(pd, PAIR_CHAIN_WALK);
    if (!captured)
        return 0;
    return emit_record(ctx, cpu_id, pd);
}

static __always_inline int chain_walk_return(void *ctx, const char *name)
{
    int cpu_id;
    data_t *pd = lookup_cpu_data(&cpu_id);
    if (!pd)
        return -1;
    if (!restore_entry(pd, PAIR_CHAIN_WALK))
        return 0;
    pd->ipt_data.verdict = (__u32)PT_REGS_RC((struct pt_regs *)ctx);
    set_func_info(pd, name);
    return emit_record(ctx, cpu_id, pd);
}

/* skb:kfree_skb: a packet the kernel drops, the code that freed it and the
 * reason (from 5.17). The record's table part carries the reason (hook)
 * and the code's address (the first 8 bytes of table_name); user space
 * names both. consume_skb, a packet freed after its delivery, is another
 * tracepoint and gives no row. Its record is drop_scratch's, written only
 * once the buffer is known to hold IPv4; the fields its rows show are all
 * its own. */
static __always_inline int drop_row(void *ctx, const char *name)
{
    struct bpf_raw_tracepoint_args *tp = ctx;
    __u32 key = 0;
    data_t *pd = bpf_map_lookup_elem(&drop_scratch, &key);
    if (!pd)
        return -1;
    struct sk_buff *skb = (struct sk_buff *)tp->args[0];
    __u64 location = tp->args[1];
    __u32 reason = (__u32)tp->args[2];
    struct net_device *dev = BPF_CORE_READ(skb, dev);
    __u64 now = bpf_ktime_get_ns();
    if (!strace_skb(pd, skb))
        return 0;
    pd->func_info.rcv_ts = now;
    copy_str(pd->func_info.func_name, name);
    set_net_dev(pd, dev, skb, NULL);
    pd->ipt_data.hook = reason;
    __builtin_memcpy(pd->ipt_data.table_name, &location, sizeof(location));
    pd->ipt_data.verdict = DROP_FORWARDING_UNKNOWN;
    struct in_device *in_dev = BPF_CORE_READ(dev, ip_ptr);
    if (in_dev)
        pd->ipt_data.verdict = BPF_CORE_READ(in_dev, cnf.data[0]) ? DROP_FORWARDING_ON : DROP_FORWARDING_OFF;
    bpf_perf_event_output(ctx, &events, BPF_F_CURRENT_CPU, pd, sizeof(data_t));
    return 0;
}

/* Every program, in the order of the list. An entry's rows are labelled
 * with its function's name, a return's with its program's. */
#define LABEL_ENTRY(program, function) #function
#define LABEL_TRACEPOINT(program, function) #function
#define LABEL_RETURN(program, function) #program
#define PROBE(program, kind, section, function, point, body, args, module, rank, device_layer) \
    SEC(section) int trace_##program(void *ctx)                                                 \
    {                                                                                           \
        return body(ctx, LABEL_##kind(program, function));                                      \
    }
#include "probe_points.def"
#undef PROBE
