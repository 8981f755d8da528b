/* The two maps of the record's fixed mechanism, the same in the monitor's
 * kernel object and in the bench's floor: each CPU's record in data_map,
 * emitted whole on events. */
#ifndef RECORD_MAPS_BPF_H
#define RECORD_MAPS_BPF_H

#include "vn_bpf_net_monitor.h"

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 4096);
    __type(key, int);
    __type(value, data_t);
} data_map SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_PERF_EVENT_ARRAY);
    __uint(key_size, sizeof(int));
    __uint(value_size, sizeof(int));
} events SEC(".maps");

char LICENSE[] SEC("license") = "Dual BSD/GPL";

#endif
