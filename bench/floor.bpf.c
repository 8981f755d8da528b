// SPDX-License-Identifier: (GPL-2.0-only OR BSD-2-Clause)
/* The bench's floor: the monitor's attach points with only its fixed
 * mechanism in each program (find the CPU's record, store it back, emit it
 * whole), no capture. What kprobes, the map and the perf ring cost alone;
 * the monitor's cost is measured against it. Program names are the
 * monitor's, so the kernel's per-program statistics pair them up. */
#include <linux/bpf.h>
#include <bpf/bpf_helpers.h>
#include "record_maps.bpf.h"

struct pt_regs;

static __always_inline int emit_cpu_record(struct pt_regs *ctx)
{
    int cpu_id = bpf_get_smp_processor_id();
    data_t *pd = bpf_map_lookup_elem(&data_map, &cpu_id);

    if (!pd)
        return -1;
    bpf_map_update_elem(&data_map, &cpu_id, pd, BPF_ANY);
    bpf_perf_event_output(ctx, &events, BPF_F_CURRENT_CPU, pd, sizeof(data_t));
    return 0;
}

#define FLOOR_PROBE(kind, func, name)        \
    SEC(kind "/" #func)                      \
    int name(struct pt_regs *ctx)            \
    {                                        \
        return emit_cpu_record(ctx);         \
    }

FLOOR_PROBE("kprobe", udp_rcv, trace_udp_rcv)
FLOOR_PROBE("kprobe", udp_v4_early_demux, trace_udp_v4_early_demux)
FLOOR_PROBE("kprobe", icmp_rcv, trace_icmp_rcv)
FLOOR_PROBE("kprobe", tcp_queue_rcv, trace_tcp_queue_rcv)
FLOOR_PROBE("kprobe", __inet_lookup_listener, trace___inet_lookup_listener)
FLOOR_PROBE("kretprobe", __inet_lookup_listener, trace_ret__inet_lookup_listener)
FLOOR_PROBE("kprobe", tcp_rcv_established, trace_tcp_rcv_established)
FLOOR_PROBE("kprobe", tcp_v4_do_rcv, trace_tcp_v4_do_rcv)
FLOOR_PROBE("kprobe", tcp_v4_rcv, trace_tcp_v4_rcv)
FLOOR_PROBE("kprobe", ip_output, trace_ip_output)
FLOOR_PROBE("kprobe", ip_finish_output, trace_ip_finish_output)
FLOOR_PROBE("kprobe", ip_finish_output2, trace_ip_finish_output2)
FLOOR_PROBE("kprobe", ip_rcv_finish, trace_ip_rcv_finish)
FLOOR_PROBE("kprobe", ip_local_deliver_finish, trace_ip_local_deliver_finish)
FLOOR_PROBE("kprobe", ip_local_deliver, trace_ip_local_deliver)
FLOOR_PROBE("kprobe", ip_rcv, trace_ip_rcv)
FLOOR_PROBE("kprobe", __dev_queue_xmit, trace___dev_queue_xmit)
FLOOR_PROBE("kprobe", dev_hard_start_xmit, trace_dev_hard_start_xmit)
FLOOR_PROBE("kprobe", __netif_receive_skb_one_core, trace___netif_receive_skb_one_core)
FLOOR_PROBE("kprobe", __netif_receive_skb, trace___netif_receive_skb)
FLOOR_PROBE("kprobe", napi_gro_receive, trace_napi_gro_receive)
FLOOR_PROBE("kprobe", ipt_do_table, trace_ipt_do_table)
FLOOR_PROBE("kretprobe", ipt_do_table, trace_ret_ipt_do_table)
FLOOR_PROBE("kprobe", gro_receive_skb, trace_gro_receive_skb)
