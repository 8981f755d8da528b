// The table of probe points and the choice of programs for a kernel.
#include "probe_selection.h"

#include <bpf/btf.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr probe_arg_t SKB1{1, arg_kind::skb};
constexpr probe_arg_t SKB2{2, arg_kind::skb};
constexpr probe_arg_t SKB3{3, arg_kind::skb};

// The argument lists that probe_points.def names.
const std::vector<probe_arg_t> ARGS_SKB1 = {SKB1}, ARGS_SKB2 = {SKB2}, ARGS_SKB3 = {SKB3};
const std::vector<probe_arg_t> ARGS_SKB1_DEV2 = {SKB1, {2, arg_kind::net_device}};
const std::vector<probe_arg_t> ARGS_IPT_ARGS = {{1, arg_kind::table}, SKB2, {3, arg_kind::hook_state}};
const std::vector<probe_arg_t> ARGS_NFT_ARGS = {{1, arg_kind::pktinfo}, {2, arg_kind::chain}};
const std::vector<probe_arg_t> ARGS_NO_ARGS = {};

struct listed_program {
    const char *program;
    bool is_return;
    const char *function;
    const char *point;
    const std::vector<probe_arg_t> &args;
    const char *module;
};

#define ENTRY false
#define RETURN true
#define NO_MODULE nullptr
#define PROBE(program, kind, section, function, point, body, args, module, rank, device_layer) \
    {"trace_" #program, kind, #function, #point, ARGS_##args, module},
const listed_program LISTED[] = {
#include "probe_points.def"
};
#undef PROBE
#undef NO_MODULE
#undef RETURN
#undef ENTRY

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
            points.push_back({{}, nullptr, p.module});
        }
        if (p.is_return)
            points[i].return_program = p.program;
        else
            points[i].variants.push_back({p.program, p.function, p.args});
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

bool read_symbol_list(const char *path, std::set<std::string> &found)
{
    FILE *list = fopen(path, "r");
    if (!list)
        return false;
    const std::set<std::string> wanted = probed_functions();
    char line[512];
    while (fgets(line, sizeof(line), list)) {
        // "ffffffff81000000 T name" or "... t name\t[module]"
        char *name = strchr(line, ' ');
        name = name ? strchr(name + 1, ' ') : nullptr;
        if (!name)
            continue;
        name++;
        name[strcspn(name, "\t\n ")] = '\0';
        if (wanted.count(name))
            found.insert(name);
    }
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

const btf_type *skip_modifiers(const btf *b, __u32 &id)
{
    const btf_type *t = btf__type_by_id(b, id);
    while (t && (btf_is_mod(t) || btf_is_typedef(t))) {
        id = t->type;
        t = btf__type_by_id(b, id);
    }
    return t;
}

// Whether a parameter's type is what the program takes it for.
bool param_is(const btf *b, __u32 type_id, arg_kind kind)
{
    const btf_type *t = skip_modifiers(b, type_id);
    if (!t || !btf_is_ptr(t))
        return false;
    __u32 target_id = t->type;
    const btf_type *target = skip_modifiers(b, target_id);
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
    case arg_kind::hook_state:
        return strcmp(name, "nf_hook_state") == 0;
    case arg_kind::table:
        return strcmp(name, "xt_table") == 0;
    case arg_kind::pktinfo:
        return strcmp(name, "nft_pktinfo") == 0;
    case arg_kind::chain:
        return strcmp(name, "nft_chain") == 0;
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

// The function's prototype in BTF, or null.
const btf_type *prototype(const btf *b, const char *function)
{
    if (!b)
        return nullptr;
    __s32 id = btf__find_by_name_kind(b, function, BTF_KIND_FUNC);
    if (id <= 0)
        return nullptr;
    const btf_type *proto = btf__type_by_id(b, btf__type_by_id(b, id)->type);
    return proto && btf_is_func_proto(proto) ? proto : nullptr;
}

bool fits(const btf *b, const btf_type *proto, const probe_program_t &program)
{
    const btf_param *params = btf_params(proto);
    for (const auto &arg : program.args)
        if (arg.position > btf_vlen(proto) || !param_is(b, params[arg.position - 1].type, arg.kind))
            return false;
    return true;
}

bool present(const kernel_view_t &kernel, const btf *b, const char *function)
{
    if (kernel.symbols_known)
        return kernel.functions.count(function) > 0;
    return prototype(b, function) != nullptr;
}

probe_choice_t choose(const kernel_view_t &kernel, const probe_point_t &point)
{
    const btf *b = btf_of(kernel, point);
    const char *first = point.variants.front().function;
    const char *unknown = nullptr; // present, but no program fits its prototype
    for (const auto &v : point.variants) {
        if (!present(kernel, b, v.function))
            continue;
        const btf_type *proto = prototype(b, v.function);
        if (proto && fits(b, proto, v)) {
            std::string notice;
            if (strcmp(v.function, first) != 0)
                notice = std::string(first) + ": not in this kernel, " + v.function + " traced instead";
            return {&point, &v, notice};
        }
        if (!unknown)
            unknown = v.function;
    }
    if (unknown) {
        const char *why = prototype(b, unknown) ? "prototype not known to this monitor"
                                                : "no type information in this kernel";
        return {&point, nullptr, std::string(unknown) + ": " + why + ", not traced"};
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

std::vector<probe_choice_t> choose_probes(const kernel_view_t &kernel)
{
    std::vector<probe_choice_t> choices;
    for (const auto &p : probe_points())
        choices.push_back(choose(kernel, p));
    return choices;
}
