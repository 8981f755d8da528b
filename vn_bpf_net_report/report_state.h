// What the reader holds of the traces it reads: their texts and steps, the
// inputs, and the rows of each key not yet made into journeys.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "journey.h"
#include "names.h"

// Where a function sits on the path of a packet: transmit side first, then
// receive side. Unknown functions have no place (-1).
struct function_place {
    int rank = -1;
    bool device_layer = false; // sees frames before IP is known: may repeat fields
    bool walk_entry = false;   // ipt_do_table: its place is the hook's
    bool walk_return = false;  // ret_ipt_do_table: stays in the walk's place
    bool drop = false;         // kfree_skb: where the kernel dropped the packet
    bool handover = false;     // br_forward, ip_forward...: the packet goes on at a lower rank...
    int handover_floor = 0;    // ...down to this one
    bool waits = false;        // ip_finish_output2: the kernel may hold the packet for seconds
};

// Rows of one key not yet made into journeys.
struct key_group {
    std::vector<trace_row> rows;
    uint32_t journeys_before = 0; // journeys already made of this key
    int64_t last_read_ms = 0;     // wall clock, for --follow
    size_t rows_kept = 0;         // rows left by the last split that kept paths open
    // Trace time: the earliest row still in rows, and the latest row ever.
    int64_t first_time = INT64_MAX, last_time = INT64_MIN;
};

// Where a drop row's buffer may be a copy the kernel made for one socket.
enum class copy_kind : uint8_t { no, always, to_many /* when the packet went to many: multicast, broadcast */ };

struct report_state {
    name_table names;
    step_table steps;
    std::vector<trace_source> sources;
    std::vector<function_place> places; // by function id
    // By OTHER_INFO id, read once: the place of a walk at the hook it names,
    // and whether it tells a drop verdict.
    struct other_info_facts {
        int hook_rank;
        bool drop;
        copy_kind copy; // a drop row's: whether the buffer freed is a copy for one socket
        bool later_fragment; // a fragment after the first ("frag_off:N")
        bool accept_queue_full; // a listener dropped it ("acceptq:full")
        bool gro_merged;        // GRO merged it into the packet before it ("gro:merged")
        bool sole;              // a group datagram's drop row: no other member got a copy ("sole")
        uint32_t fragment_offset; // a later fragment's ("frag_off:1480"), else 0
    };
    std::vector<other_info_facts> info_facts;
    // Walk steps: by entry function << 32 | OTHER_INFO, and by return
    // function << 32 | the entry's step.
    std::unordered_map<uint64_t, uint32_t> walk_steps;
    uint32_t nil_device = NO_NAME, zero_mac = NO_NAME; // name ids of "nil" and a zero MAC, once known

    std::unordered_map<flow_key, key_group, flow_key_hash> groups;
    // Per TCP flow one way (its ports, no sequence numbers): the ACK
    // numbers its segments carried as they grew, with the time each was
    // first seen; the newest ACK_HISTORY_MAX of them.
    struct timed_ack {
        int64_t time;
        uint32_t ack;
    };
    std::unordered_map<flow_key, std::vector<timed_ack>, flow_key_hash> acks_sent;
    // Room for a packet's rows, given back by journeys written: every packet
    // needs some for its group, its path and its journey, and a block this
    // size is slow to get from the allocator.
    std::vector<std::vector<trace_row>> spare_rows;
    // Groups that got a row while they had none, so that a look for done
    // keys passes only keys with rows, not every key remembered (map
    // entries stay put while others come and go).
    std::vector<std::pair<const flow_key, key_group> *> opened;
    // The group of the last row: a packet's rows mostly come one after another.
    flow_key last_key{};
    key_group *last_group = nullptr; // cleared whenever a group is erased
    // By device id: the network namespace its rows showed first, and
    // whether they showed another: such a name is two devices.
    struct device_netns {
        uint32_t first = 0;
        bool many = false;
    };
    std::vector<device_netns> netns_of_device;
    uint64_t rows_read = 0, unreadable_rows = 0, repeated_frames = 0;
    int64_t last_row_time = 0; // the time of the row read last
    // Placing a row looks at each open path of its key while there are at
    // most this many, and through piles beyond (the same choice either way:
    // tests and the fuzzer set 0 or SIZE_MAX to hold one against the other).
    size_t path_scan_max = 8;
};
