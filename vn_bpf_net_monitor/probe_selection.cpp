// The table of probe points and the choice of programs for a kernel.
#include "probe_selection.h"

#include <bpf/btf.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr probe_arg_t SKB1{1, arg_kind::skb};
constexpr probe_arg_t SKB2{2, arg_kind::skb};
constexpr probe_arg_t SKB3{3, arg_kind::skb};

// The argument lists that probe_points.def names.
const std::vector<probe_arg_t> ARGS_SKB1 = {SKB1}, ARGS_SKB2 = {SKB2}, ARGS_SKB3 = {SKB3};
const std::vector<probe_arg_t> ARGS_SKB_REF1 = {{1, arg_kind::skb_ref}};
const std::vector<probe_arg_t> ARGS_SK1_SKB2 = {{1, arg_kind::sock}, SKB2};
const std::vector<probe_arg_t> ARGS_TW1_SKB2 = {{1, arg_kind::tw_sock}, SKB2};
const std::vector<probe_arg_t> ARGS_REQ3_SKB2 = {SKB2, {3, arg_kind::request}};
const std::vector<probe_arg_t> ARGS_SK3_SKB4 = {{3, arg_kind::sock}, {4, arg_kind::skb}};
const std::vector<probe_arg_t> ARGS_SKB1_DEV2 = {SKB1, {2, arg_kind::net_device}};
const std::vector<probe_arg_t> ARGS_IPT_ARGS = {{1, arg_kind::table}, SKB2, {3, arg_kind::hook_state}};
const std::vector<probe_arg_t> ARGS_NFT_ARGS = {{1, arg_kind::pktinfo}, {2, arg_kind::chain}};
// skb:kfree_skb(skb, location, reason): reason came with 5.17.
const std::vector<probe_arg_t> ARGS_DROP_ARGS = {SKB1, {3, arg_kind::drop_reason}};
const std::vector<probe_arg_t> ARGS_NO_ARGS = {};

enum listed_kind { ENTRY, RETURN, TRACEPOINT };

struct listed_program {
    const char *program;
    listed_kind kind;
    const char *function;
    const char *point;
    const std::vector<probe_arg_t> &args;
    const char *module;
    unsigned families;
};

#define NO_MODULE nullptr
#define IPV4 TRACE_IPV4
#define IPV6 TRACE_IPV6
#define BOTH (TRACE_IPV4 | TRACE_IPV6)
#define PROBE(program, kind, section, function, point, body, args, module, rank, device_layer, family) \
    {"trace_" #program, kind, #function, #point, ARGS_##args, module, family},
const listed_program LISTED[] = {
#include "probe_points.def"
};
#undef PROBE
#undef BOTH
#undef IPV6
#undef IPV4
#undef NO_MODULE

// The list's programs grouped by point, in the order each point first shows.
std::vector<probe_point_t> group_points()
{
    std::vector<probe_point_t> points;
    std::vector<const char *> names;
    for (const listed_program &p : LISTED) {
        size_t i = 0;
        while (i < names.size() && strcmp(names[i], p.point) != 0)
            i++;
        if (i == names.size()) {
            names.push_back(p.point);
            points.push_back({{}, nullptr, p.module, p.families});
        }
        if (p.kind == RETURN)
            points[i].return_program = p.program;
        else
            points[i].variants.push_back({p.program, p.function, p.args, p.kind == TRACEPOINT});
    }
    return points;
}

} // namespace

// Checked against each lab kernel's BTF by the selection test: a new kernel
// that moves an argument shows there first.
const std::vector<probe_point_t> &probe_points()
{
    static const std::vector<probe_point_t> points = group_points();
    return points;
}

std::set<std::string> probed_functions()
{
    std::set<std::string> names;
    for (const auto &p : probe_points())
        for (const auto &v : p.variants)
            names.insert(v.function);
    return names;
}

bool read_kernel_symbols(const char *symbols_path, std::set<std::string> &probed)
{
    FILE *list = fopen(symbols_path, "r");
    if (!list)
        return false;
    const std::set<std::string> wanted = probed_functions();
    // getline: a long name (Rust's run to hundreds of bytes) is never cut
    // into a second, made-up line.
    char *line = nullptr;
    size_t size = 0;
    while (getline(&line, &size, list) != -1) {
        // "ffffffff81000000 T name" or "... t name\t[module]"
        char *end;
        strtoull(line, &end, 16);
        if (end == line || end[0] != ' ' || !end[1] || end[2] != ' ')
            continue;
        char *name = end + 3;
        name[strcspn(name, "\t\n ")] = '\0';
        if (wanted.count(name))
            probed.insert(name);
    }
    free(line);
    fclose(list);
    return true;
}

bool read_module_list(const char *path, std::set<std::string> &found)
{
    FILE *list = fopen(path, "r");
    if (!list)
        return false;
    char line[4096];
    while (fgets(line, sizeof(line), list)) {
        // "kernel/net/ipv4/netfilter/ip_tables.ko.xz: kernel/net/netfilter/x_tables.ko.xz"
        char *end = strstr(line, ".ko");
        char *colon = strchr(line, ':');
        if (!end || !colon || end > colon)
            continue;
        char *start = end;
        while (start > line && start[-1] != '/')
            start--;
        std::string name(start, end);
        for (char &c : name)
            c = c == '-' ? '_' : c;
        found.insert(name);
    }
    fclose(list);
    return true;
}

namespace {

// The enumerators of an enum of B, NAME taken off where they start with it.
void add_enum_names(const btf *b, const btf_type *t, const char *prefix, drop_reason_names_t &names)
{
    const struct btf_enum *e = btf_enum(t);
    size_t prefix_len = strlen(prefix);
    for (int i = 0; i < btf_vlen(t); i++, e++) {
        const char *name = btf__name_by_offset(b, e->name_off);
        if (strncmp(name, prefix, prefix_len) == 0)
            name += prefix_len;
        names.emplace_back(uint32_t(e->val), name);
    }
}

// The enumerators of the enum of that name, by value; empty where B has none.
drop_reason_names_t enum_names(const btf *b, const char *enum_name, const char *prefix)
{
    drop_reason_names_t names;
    __s32 id = b ? btf__find_by_name_kind(b, enum_name, BTF_KIND_ENUM) : -1;
    if (id > 0)
        add_enum_names(b, btf__type_by_id(b, id), prefix, names);
    std::sort(names.begin(), names.end());
    return names;
}

bool ends_with(const char *text, const char *tail)
{
    size_t n = strlen(text), m = strlen(tail);
    return n >= m && strcmp(text + n - m, tail) == 0;
}

size_t leading_underscores(const std::string &name)
{
    return name.find_first_not_of('_') == std::string::npos ? name.size() : name.find_first_not_of('_');
}

} // namespace

drop_reason_names_t read_drop_reasons(const btf *vmlinux)
{
    drop_reason_names_t names = enum_names(vmlinux, "skb_drop_reason", "SKB_DROP_REASON_");
    add_subsystem_drop_reasons(vmlinux, read_drop_subsystems(vmlinux), names);
    return names;
}

drop_reason_names_t read_drop_subsystems(const btf *vmlinux)
{
    drop_reason_names_t subsystems = enum_names(vmlinux, "skb_drop_reason_subsys", "SKB_DROP_REASON_SUBSYS_");
    // CORE (0) is skb_drop_reason itself; NUM only counts them.
    subsystems.erase(std::remove_if(subsystems.begin(), subsystems.end(),
                                    [](const auto &s) { return s.first == 0 || s.second == "NUM"; }),
                     subsystems.end());
    return subsystems;
}

void add_subsystem_drop_reasons(const btf *b, const drop_reason_names_t &subsystems, drop_reason_names_t &names)
{
    if (!b || subsystems.empty())
        return;
    // A module's BTF holds the kernel's types too: only its own are read.
    const btf *base = btf__base_btf(b);
    __u32 first = base ? btf__type_cnt(base) : 1;
    auto in_a_subsystem = [&subsystems](uint32_t value) {
        return std::any_of(subsystems.begin(), subsystems.end(),
                           [value](const auto &s) { return s.first == value >> 16; });
    };
    drop_reason_names_t found;
    for (__u32 id = first; id < btf__type_cnt(b); id++) {
        const btf_type *t = btf__type_by_id(b, id);
        const char *name = btf__name_by_offset(b, t->name_off);
        if (!btf_is_enum(t) || !name || strcmp(name, "skb_drop_reason") == 0 || !ends_with(name, "_drop_reason"))
            continue;
        add_enum_names(b, t, "", found);
    }
    for (auto &reason : found)
        if (in_a_subsystem(reason.first))
            names.push_back(std::move(reason));
    std::stable_sort(names.begin(), names.end(), [](const auto &x, const auto &y) {
        return x.first != y.first ? x.first < y.first
                                  : leading_underscores(x.second) < leading_underscores(y.second);
    });
    names.erase(std::unique(names.begin(), names.end(),
                            [](const auto &x, const auto &y) { return x.first == y.first; }),
                names.end());
}

std::string drop_subsystems_notice(const drop_reason_names_t &subsystems, const drop_reason_names_t &names)
{
    std::string unnamed;
    for (const auto &[number, subsystem] : subsystems) {
        bool named = std::any_of(names.begin(), names.end(),
                                 [number = number](const auto &r) { return r.first >> 16 == number; });
        if (!named)
            unnamed += (unnamed.empty() ? "" : ", ") + subsystem;
    }
    if (unnamed.empty())
        return "";
    return "kfree_skb: drop reasons of " + unnamed +
           " shown as numbers (no name for them in the BTF of the kernel or of a loaded module)";
}

namespace {

const btf_type *skip_modifiers(const btf *b, __u32 &id)
{
    const btf_type *t = btf__type_by_id(b, id);
    while (t && (btf_is_mod(t) || btf_is_typedef(t))) {
        id = t->type;
        t = btf__type_by_id(b, id);
    }
    return t;
}

// Whether TYPE_ID, a pointer's target, is struct sk_buff.
bool param_is_skb_pointer(const btf *b, __u32 type_id)
{
    const btf_type *t = skip_modifiers(b, type_id);
    return t && btf_is_struct(t) && strcmp(btf__name_by_offset(b, t->name_off), "sk_buff") == 0;
}

// Whether a parameter's type is what the program takes it for.
bool param_is(const btf *b, __u32 type_id, arg_kind kind)
{
    const btf_type *t = skip_modifiers(b, type_id);
    if (t && kind == arg_kind::drop_reason)
        return btf_is_enum(t) && strcmp(btf__name_by_offset(b, t->name_off), "skb_drop_reason") == 0;
    if (!t || !btf_is_ptr(t))
        return false;
    __u32 target_id = t->type;
    const btf_type *target = skip_modifiers(b, target_id);
    if (kind == arg_kind::skb_ref)
        return target && btf_is_ptr(target) && param_is_skb_pointer(b, target->type);
    if (target_id == 0) // void *
        return kind == arg_kind::table || kind == arg_kind::chain;
    if (!target || !btf_is_struct(target))
        return false;
    const char *name = btf__name_by_offset(b, target->name_off);
    switch (kind) {
    case arg_kind::skb:
        return strcmp(name, "sk_buff") == 0;
    case arg_kind::net_device:
        return strcmp(name, "net_device") == 0;
    case arg_kind::sock:
        return strcmp(name, "sock") == 0;
    case arg_kind::tw_sock:
        return strcmp(name, "inet_timewait_sock") == 0;
    case arg_kind::request:
        return strcmp(name, "request_sock") == 0;
    case arg_kind::hook_state:
        return strcmp(name, "nf_hook_state") == 0;
    case arg_kind::table:
        return strcmp(name, "xt_table") == 0;
    case arg_kind::pktinfo:
        return strcmp(name, "nft_pktinfo") == 0;
    case arg_kind::chain:
        return strcmp(name, "nft_chain") == 0;
    case arg_kind::skb_ref:
    case arg_kind::drop_reason:
        return false;
    }
    return false;
}

// A module's BTF is split off the kernel's and holds both; a kernel that has
// the module built in has the function in its own.
const btf *btf_of(const kernel_view_t &kernel, const probe_point_t &point)
{
    auto it = point.module ? kernel.modules.find(point.module) : kernel.modules.end();
    return it == kernel.modules.end() ? kernel.vmlinux : it->second;
}

// The function's prototype in BTF, or null. A tracepoint's is that of
// btf_trace_<name>, a pointer to a function whose first parameter is the
// tracepoint's own data, ahead of its arguments.
const btf_type *prototype(const btf *b, const probe_program_t &program)
{
    if (!b)
        return nullptr;
    if (program.tracepoint) {
        __s32 id = btf__find_by_name_kind(b, (std::string("btf_trace_") + program.function).c_str(),
                                          BTF_KIND_TYPEDEF);
        const btf_type *ptr = id > 0 ? btf__type_by_id(b, btf__type_by_id(b, id)->type) : nullptr;
        const btf_type *proto = ptr && btf_is_ptr(ptr) ? btf__type_by_id(b, ptr->type) : nullptr;
        return proto && btf_is_func_proto(proto) ? proto : nullptr;
    }
    __s32 id = btf__find_by_name_kind(b, program.function, BTF_KIND_FUNC);
    if (id <= 0)
        return nullptr;
    const btf_type *proto = btf__type_by_id(b, btf__type_by_id(b, id)->type);
    return proto && btf_is_func_proto(proto) ? proto : nullptr;
}

bool fits(const btf *b, const btf_type *proto, const probe_program_t &program)
{
    const btf_param *params = btf_params(proto);
    int skip = program.tracepoint ? 1 : 0;
    for (const auto &arg : program.args)
        if (arg.position + skip > btf_vlen(proto) || !param_is(b, params[arg.position - 1 + skip].type, arg.kind))
            return false;
    return true;
}

// A tracepoint is in the symbol list under another name: its BTF tells.
bool present(const kernel_view_t &kernel, const btf *b, const probe_program_t &program)
{
    if (kernel.symbols_known && !program.tracepoint)
        return kernel.functions.count(program.function) > 0;
    return prototype(b, program) != nullptr;
}

bool reads_a_drop_reason(const probe_program_t &program)
{
    for (const auto &arg : program.args)
        if (arg.kind == arg_kind::drop_reason)
            return true;
    return false;
}

// Whether any parameter of the prototype is a drop reason, wherever it is.
bool gives_a_drop_reason(const btf *b, const btf_type *proto)
{
    const btf_param *params = btf_params(proto);
    for (int i = 0; i < btf_vlen(proto); i++)
        if (param_is(b, params[i].type, arg_kind::drop_reason))
            return true;
    return false;
}

probe_choice_t choose(const kernel_view_t &kernel, const probe_point_t &point)
{
    const btf *b = btf_of(kernel, point);
    const char *first = point.variants.front().function;
    const probe_program_t *unknown = nullptr; // present, but no program fits its prototype
    for (const auto &v : point.variants) {
        if (!present(kernel, b, v))
            continue;
        const btf_type *proto = prototype(b, v);
        if (proto && fits(b, proto, v)) {
            std::string notice;
            if (strcmp(v.function, first) != 0)
                notice = std::string(first) + ": not in this kernel, " + v.function + " traced instead";
            return {&point, &v, notice};
        }
        if (!unknown)
            unknown = &v;
    }
    if (unknown) {
        const btf_type *proto = prototype(b, *unknown);
        // Before 5.17 kfree_skb tells no reason: drops are not traced there.
        // A reason elsewhere than the program reads it is another matter.
        if (reads_a_drop_reason(*unknown) && proto)
            return {&point, nullptr,
                    std::string(unknown->function) +
                        (gives_a_drop_reason(b, proto)
                             ? ": its arguments do not match what this monitor reads, drops not traced"
                             : ": this kernel gives no drop reasons (5.17 and later do), drops not traced")};
        const char *why = proto ? "prototype not known to this monitor" : "no type information in this kernel";
        return {&point, nullptr, std::string(unknown->function) + ": " + why + ", not traced"};
    }
    std::string notice = std::string(first) + ": not in this kernel";
    // Loading a module helps only where the kernel has it: PREEMPT_RT
    // kernels from 7.x on have no ip_tables at all.
    if (point.module && kernel.modules_known && !kernel.modules_on_disk.count(point.module))
        notice += std::string(" (it has no module ") + point.module + ")";
    else if (point.module)
        notice += std::string(" (module ") + point.module + " not loaded)";
    return {&point, nullptr, notice + ", not traced"};
}

} // namespace

std::vector<probe_choice_t> choose_probes(const kernel_view_t &kernel, unsigned family)
{
    std::vector<probe_choice_t> choices;
    for (const auto &p : probe_points())
        if (p.families & family)
            choices.push_back(choose(kernel, p));
    return choices;
}
