// Which probe programs fit the running kernel.
//
// Kernels move functions and arguments: napi_gro_receive became an inline
// wrapper of gro_receive_skb in 6.18, and __inet_lookup_listener lost an
// argument there. Each program of the object reads its arguments at fixed
// positions, so before loading, every probe point is held against what the
// kernel says about itself: its symbol list (is the function there?) and its
// BTF (are the arguments the program reads where it reads them?). Never a
// version number. A point whose function is missing, or whose prototype no
// program knows, is skipped with a notice instead of being read blindly.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>


struct btf;

// What a program reads from an argument register.
enum class arg_kind {
    skb,        // struct sk_buff *
    skb_ref,    // struct sk_buff **: a receive handler's
    net_device, // struct net_device *
    sock,       // struct sock *
    tw_sock,    // struct inet_timewait_sock *: its state where a sock's is
    request,    // struct request_sock *: the same
    hook_state, // const struct nf_hook_state *
    table,      // struct xt_table *, or the void *priv it is passed as
    pktinfo,    // struct nft_pktinfo *
    chain,      // struct nft_chain *, or the void *priv it is passed as
    drop_reason, // enum skb_drop_reason
};

struct probe_arg_t {
    int position; // 1-based, as PT_REGS_PARMn counts
    arg_kind kind;
};

// One program of the object and the prototype it was written for.
struct probe_program_t {
    const char *program;  // program name in the object
    const char *function; // kernel function it attaches to, or the tracepoint
    std::vector<probe_arg_t> args;
    bool tracepoint = false; // a raw tracepoint: its prototype is BTF's btf_trace_<name>
};

// The traces a probe point serves: the default one (IPv4) and -6's.
constexpr unsigned TRACE_IPV4 = 1, TRACE_IPV6 = 2;

// A place on the packet path: the programs that can trace it, the first that
// fits the kernel wins.
struct probe_point_t {
    std::vector<probe_program_t> variants;
    const char *return_program; // loaded with whichever variant, or null
    const char *module;         // the module that brings the function, or null
    unsigned families;          // TRACE_IPV4, TRACE_IPV6 or both
};

// Every probe point, in the order of the object's programs.
const std::vector<probe_point_t> &probe_points();

// The kernel as the choice sees it.
struct kernel_view_t {
    std::set<std::string> functions; // probed functions the symbol list has, by exact name
    bool symbols_known = false;      // false: no symbol list, presence is taken from BTF
    const btf *vmlinux = nullptr;
    std::map<std::string, const btf *> modules; // loaded modules' BTF, by module name
    // The modules this kernel has on disk (modules.dep), loaded or not.
    std::set<std::string> modules_on_disk;
    bool modules_known = false; // false: no modules.dep was read
};

struct probe_choice_t {
    const probe_point_t *point;
    const probe_program_t *program; // null: the point is not traced
    std::string notice;             // one line for the user, or empty
};

// The points of one family's trace (TRACE_IPV4 or TRACE_IPV6), each with its choice.
std::vector<probe_choice_t> choose_probes(const kernel_view_t &kernel, unsigned family);

// The names choose_probes may ask kernel_view_t::functions about.
std::set<std::string> probed_functions();

// The symbol list (/proc/kallsyms) read once: the probed functions it
// names, for kernel_view_t::functions (exact names only, so a clone such as
// "ip_rcv.cold" or a longer name that merely starts the same way never
// counts; a line's address, hidden or not, plays no part). Returns false
// when the list cannot be read.
bool read_kernel_symbols(const char *symbols_path, std::set<std::string> &probed);

// The module names of a modules.dep ("kernel/.../ip_tables.ko.xz: ..."),
// as the kernel names them ('-' read as '_'). False when it cannot be read.
bool read_module_list(const char *path, std::set<std::string> &found);

using drop_reason_names_t = std::vector<std::pair<uint32_t, std::string>>;

// The names of enum skb_drop_reason in a kernel's BTF, "SKB_DROP_REASON_"
// taken off ("NO_SOCKET"), and those the kernel's BTF gives its subsystems'
// reasons, by value; empty when the kernel has none.
drop_reason_names_t read_drop_reasons(const btf *vmlinux);

// The subsystems of enum skb_drop_reason_subsys that have reasons of their
// own ((n << 16) | code), "SKB_DROP_REASON_SUBSYS_" taken off, by number.
drop_reason_names_t read_drop_subsystems(const btf *vmlinux);

// Adds the names B (the kernel's BTF, or a module's split on it) gives the
// subsystems' reasons: the enumerators, in the subsystems' ranges, of its
// enums named "..._drop_reason" (ovs_drop_reason, qdisc_drop_reason). Of two
// names for one value the one with fewer leading underscores is kept.
void add_subsystem_drop_reasons(const btf *b, const drop_reason_names_t &subsystems, drop_reason_names_t &names);

// One line for the user naming the subsystems none of whose reasons has a
// name, or empty.
std::string drop_subsystems_notice(const drop_reason_names_t &subsystems, const drop_reason_names_t &names);
