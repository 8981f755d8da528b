/* The kernel structures the probes read, and only the fields they read.
 *
 * Every structure is marked preserve_access_index, so each field access is
 * recorded as a CO-RE relocation by name and libbpf moves it to the offset
 * that the running kernel's BTF gives. The local layouts are therefore
 * flat: fields that the kernel keeps inside anonymous unions or structs
 * (sk_buff's header offsets) are found by name all the same. Only the
 * field widths here must match the kernel's. The packet headers are not
 * here: their layout is the wire's, read whole (vn_bpf_net_monitor.bpf.c). */
#ifndef VN_BPF_NET_MONITOR_KERNEL_TYPES_H
#define VN_BPF_NET_MONITOR_KERNEL_TYPES_H

#include <linux/types.h>

#define CORE_TYPE __attribute__((preserve_access_index))

/* A network namespace is known by its inode number, as ip netns and lsns
 * show it. */
struct ns_common {
    unsigned int inum;
} CORE_TYPE;

struct net {
    struct ns_common ns;
} CORE_TYPE;

typedef struct {
    struct net *net;
} possible_net_t;

/* IPv4's settings of a device: data[0] is its forwarding switch. */
struct ipv4_devconf {
    int data[1];
} CORE_TYPE;

struct in_device {
    struct ipv4_devconf cnf;
} CORE_TYPE;

struct net_device {
    char name[16];
    possible_net_t nd_net;
    struct in_device *ip_ptr;
} CORE_TYPE;

struct sock_common {
    unsigned char skc_state;
    possible_net_t skc_net;
} CORE_TYPE;

struct sock {
    struct sock_common __sk_common;
    __u32 sk_ack_backlog;     /* a listener's connections waiting for accept() */
    __u32 sk_max_ack_backlog; /* and how many listen() allowed */
} CORE_TYPE;

struct sk_buff {
    struct sock *sk;
    struct net_device *dev;
    unsigned char *head;
    __be16 protocol;
    __u16 mac_header;
    __u16 network_header;
    unsigned int tail; /* sk_buff_data_t: an offset from head on 64-bit kernels */
    unsigned int end;  /* the same: where the shared info lies */
    __u8 cloned : 1;   /* a bit among others: read as the kernel's BTF lays it out */
} CORE_TYPE;

/* Behind a buffer's data: how many buffers share it (the low half). */
typedef struct {
    int counter;
} atomic_t;

struct skb_shared_info {
    atomic_t dataref;
} CORE_TYPE;

struct nf_hook_state {
    __u8 hook;
    __u8 pf;
} CORE_TYPE;

struct xt_table {
    char name[32];
} CORE_TYPE;

/* nf_tables' own types, in its module's BTF. */
struct nft_pktinfo {
    struct sk_buff *skb;
    const struct nf_hook_state *state;
} CORE_TYPE;

/* family is a 6-bit field beside others: read as the kernel's BTF lays it out. */
struct nft_table {
    __u16 family : 6;
    char *name;
} CORE_TYPE;

struct nft_chain {
    struct nft_table *table;
    char *name;
} CORE_TYPE;

/* The probe context. libbpf's PT_REGS_* accessors name the registers as
 * the kernel does once __VMLINUX_H__ is defined (x86), and read arm64's
 * through struct user_pt_regs. */
#if defined(__TARGET_ARCH_x86)
#define __VMLINUX_H__
struct pt_regs {
    unsigned long ax;
    unsigned long cx;
    unsigned long dx;
    unsigned long si;
    unsigned long di;
} CORE_TYPE;
#elif defined(__TARGET_ARCH_arm64)
struct user_pt_regs {
    __u64 regs[31];
} CORE_TYPE;
#else
#error "the kernel object is built for x86 or arm64 (__TARGET_ARCH_x86, __TARGET_ARCH_arm64)"
#endif

#undef CORE_TYPE

#endif
