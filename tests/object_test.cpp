// The kernel object as the monitor receives it: its programs, maps, licence
// and record layout read from the built file, and its passage through the
// running kernel's verifier. The expected names, sections and offsets are
// written out here: they are the contract the monitor and the trace rely on.
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <bpf/bpf.h>
#include <bpf/btf.h>
#include <bpf/libbpf.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vn_bpf_net_monitor.h"
#include "vn_bpf_net_monitor.skel.h"

namespace {

struct program_entry {
    const char *name;
    const char *section;
    const char *module; // the module that brings its function, or null
    bool ipv4, ipv6;    // the traces it serves
};

// In object order: the skeleton hands out program slots in this order.
#define NO_MODULE nullptr
#define IPV4 true, false
#define IPV6 false, true
#define BOTH true, true
#define PROBE(program, kind, section, function, point, body, args, module, rank, device_layer, family) \
    {"trace_" #program, section, module, family},
const std::vector<program_entry> PROGRAMS = {
#include "probe_points.def"
};
#undef PROBE
#undef BOTH
#undef IPV6
#undef IPV4
#undef NO_MODULE

struct map_entry {
    const char *name;
    bpf_map_type type;
    __u32 key_size;
    __u32 value_size;
    __u32 max_entries;
};

// In object order. events has no max_entries of its own: the loader sizes
// it to the possible CPUs. The drop tracepoint's record is apart from the
// kprobes' (drop_scratch): a softirq's drop never writes into theirs.
const std::vector<map_entry> MAPS = {
    {"data_map", BPF_MAP_TYPE_HASH, 4, 168, 4096},
    {"events", BPF_MAP_TYPE_PERF_EVENT_ARRAY, 4, 4, 0},
    {"drop_scratch", BPF_MAP_TYPE_PERCPU_ARRAY, 4, 168, 1},
    {"data6_map", BPF_MAP_TYPE_HASH, 4, 200, 4096},
    {"drop6_scratch", BPF_MAP_TYPE_PERCPU_ARRAY, 4, 200, 1},
    {"count6_scratch", BPF_MAP_TYPE_PERCPU_ARRAY, 4, 200, 1},
    {"ipv6_seen", BPF_MAP_TYPE_PERCPU_ARRAY, 4, 8, 1},
};
// The monitor's settings before loading (the family, and the protocol and
// port whose IPv6 packets an IPv4 trace counts): the one read-only data
// section, and nothing else in it but the one literal the kernel needs
// there, the format that names a drop's code.
constexpr unsigned SETTINGS_SIZE = 4;
constexpr char DROP_SITE_FORMAT[] = "%ps";
constexpr unsigned READ_ONLY_SIZE = SETTINGS_SIZE + sizeof(DROP_SITE_FORMAT);


struct field_at {
    const char *path;
    unsigned offset;
    unsigned size;
};

// Every member of data_t and of its parts, at its byte offset in data_t.
const std::vector<field_at> RECORD_FIELDS = {
    {"skb", 0, 8},
    {"func_info", 8, 40},
    {"func_info.rcv_ts", 8, 8},
    {"func_info.func_name", 16, 32},
    {"sock_data", 48, 1},
    {"sock_data.sk_state", 48, 1},
    {"net_data", 52, 20},
    {"net_data.net_dev_name", 52, 16},
    {"net_data.ns_id", 68, 4},
    {"eth_data", 72, 14},
    {"eth_data.dmac", 72, 6},
    {"eth_data.smac", 78, 6},
    {"eth_data.protocol", 84, 2},
    {"ip_data", 88, 16},
    {"ip_data.iph_size", 88, 1},
    {"ip_data.pad", 89, 1},
    {"ip_data.frag_off", 90, 2},
    {"ip_data.saddr", 92, 4},
    {"ip_data.daddr", 96, 4},
    {"ip_data.protocol", 100, 1},
    {"tcp_data", 104, 12},
    {"tcp_data.seq", 104, 4},
    {"tcp_data.ack_seq", 108, 4},
    {"tcp_data.source", 112, 2},
    {"tcp_data.dst", 114, 2},
    {"icmp_data", 116, 6},
    {"icmp_data.type", 116, 1},
    {"icmp_data.code", 117, 1},
    {"icmp_data.seq", 118, 2},
    {"icmp_data.id", 120, 2},
    {"udp_data", 122, 6},
    {"udp_data.source", 122, 2},
    {"udp_data.dst", 124, 2},
    {"udp_data.len", 126, 2},
    {"ipt_data", 128, 40},
    {"ipt_data.hook", 128, 4},
    {"ipt_data.table_name", 132, 32},
    {"ipt_data.verdict", 164, 4},
};

struct object_closer {
    void operator()(bpf_object *obj) const { bpf_object__close(obj); }
};
using object_ptr = std::unique_ptr<bpf_object, object_closer>;

struct skeleton_destroyer {
    void operator()(vn_bpf_net_monitor_bpf *skel) const { vn_bpf_net_monitor_bpf__destroy(skel); }
};
using skeleton_ptr = std::unique_ptr<vn_bpf_net_monitor_bpf, skeleton_destroyer>;

// The built object files, one per architecture; the first is the one the
// monitor embeds on this machine.
struct built_object {
    const char *arch;
    const char *path;
};

void PrintTo(const built_object &object, std::ostream *os)
{
    *os << object.arch << " object " << object.path;
}

const built_object BUILT_OBJECTS[] = {
    {BPF_ARCH, BPF_OBJECT},
    {BPF_OTHER_ARCH, BPF_OTHER_OBJECT},
};

// Hands the ELF file at PATH, read with libelf (independent of libbpf), and
// the index of its section names to VISIT; nothing when it cannot be read.
template <typename Visit> void read_elf(const char *path, Visit visit)
{
    elf_version(EV_CURRENT);
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return;
    Elf *elf = elf_begin(fd, ELF_C_READ, nullptr);
    size_t names = 0;
    if (elf && elf_getshdrstrndx(elf, &names) == 0)
        visit(elf, names);
    elf_end(elf);
    close(fd);
}

// Section name -> contents.
std::map<std::string, std::string> elf_sections(const char *path)
{
    std::map<std::string, std::string> sections;
    read_elf(path, [&](Elf *elf, size_t names) {
        for (Elf_Scn *scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
            GElf_Shdr shdr;
            if (!gelf_getshdr(scn, &shdr))
                continue;
            const char *name = elf_strptr(elf, names, shdr.sh_name);
            Elf_Data *data = elf_getdata(scn, nullptr);
            std::string bytes;
            if (data && data->d_buf)
                bytes.assign(static_cast<const char *>(data->d_buf), data->d_size);
            sections[name ? name : ""] = bytes;
        }
    });
    return sections;
}

// Code section -> the maps its instructions name, from the relocations (a
// map is a symbol of the .maps section).
std::map<std::string, std::set<std::string>> maps_named_by_code(const char *path)
{
    std::map<std::string, std::set<std::string>> named;
    read_elf(path, [&](Elf *elf, size_t names) {
        auto section_name = [&](size_t index) {
            GElf_Shdr shdr;
            const char *name = gelf_getshdr(elf_getscn(elf, index), &shdr) ? elf_strptr(elf, names, shdr.sh_name) : "";
            return std::string(name ? name : "");
        };
        GElf_Shdr symtab{};
        Elf_Data *symbols = nullptr;
        for (Elf_Scn *scn = elf_nextscn(elf, nullptr); scn && !symbols; scn = elf_nextscn(elf, scn))
            if (gelf_getshdr(scn, &symtab) && symtab.sh_type == SHT_SYMTAB)
                symbols = elf_getdata(scn, nullptr);
        for (Elf_Scn *scn = symbols ? elf_nextscn(elf, nullptr) : nullptr; scn; scn = elf_nextscn(elf, scn)) {
            GElf_Shdr rels;
            if (!gelf_getshdr(scn, &rels) || rels.sh_type != SHT_REL)
                continue;
            Elf_Data *data = elf_getdata(scn, nullptr);
            for (size_t i = 0; data && i < rels.sh_size / rels.sh_entsize; i++) {
                GElf_Rel rel;
                GElf_Sym sym;
                if (gelf_getrel(data, int(i), &rel) && gelf_getsym(symbols, int(GELF_R_SYM(rel.r_info)), &sym) &&
                    section_name(sym.st_shndx) == ".maps")
                    named[section_name(rels.sh_info)].insert(elf_strptr(elf, symtab.sh_link, sym.st_name));
            }
        }
    });
    return named;
}

const btf_member *find_member(const btf *btf, const btf_type *type, const std::string &name)
{
    const btf_member *m = btf_members(type);
    for (int i = 0; i < btf_vlen(type); i++, m++)
        if (name == btf__name_by_offset(btf, m->name_off))
            return m;
    return nullptr;
}

// Byte offset and size of a dotted member path below a struct, or false.
bool locate(const btf *btf, __u32 struct_id, const std::string &path, unsigned *offset, unsigned *size)
{
    std::istringstream parts(path);
    std::string part;
    __u32 id = struct_id;
    unsigned at = 0;
    while (std::getline(parts, part, '.')) {
        const btf_type *type = btf__type_by_id(btf, id);
        if (!type || !btf_is_struct(type))
            return false;
        const btf_member *m = find_member(btf, type, part);
        if (!m)
            return false;
        at += btf_member_bit_offset(type, m - btf_members(type)) / 8;
        id = btf__resolve_type(btf, m->type);
    }
    *offset = at;
    *size = static_cast<unsigned>(btf__resolve_size(btf, id));
    return true;
}

// Every member path below a struct, parts included, in declaration order.
void member_paths(const btf *btf, __u32 struct_id, const std::string &prefix, std::vector<std::string> *out)
{
    const btf_type *type = btf__type_by_id(btf, struct_id);
    const btf_member *m = btf_members(type);
    for (int i = 0; i < btf_vlen(type); i++, m++) {
        std::string path = prefix + btf__name_by_offset(btf, m->name_off);
        out->push_back(path);
        __u32 member_type = btf__resolve_type(btf, m->type);
        if (btf_is_struct(btf__type_by_id(btf, member_type)))
            member_paths(btf, member_type, path + ".", out);
    }
}

class KernelObject : public testing::TestWithParam<built_object> {
protected:
    void SetUp() override
    {
        obj.reset(bpf_object__open_file(GetParam().path, nullptr));
        ASSERT_NE(obj, nullptr) << "cannot open " << GetParam().path << ": " << strerror(errno);
    }

    object_ptr obj;
};

TEST_P(KernelObject, holds_the_23_probes_in_table_order_then_those_of_newer_kernels)
{
    std::vector<program_entry> found;
    bpf_program *prog;
    bpf_object__for_each_program(prog, obj.get())
    {
        found.push_back({bpf_program__name(prog), bpf_program__section_name(prog), nullptr, false, false});
        bool tracepoint = strncmp(bpf_program__section_name(prog), "raw_tp", 6) == 0;
        EXPECT_EQ(bpf_program__type(prog), tracepoint ? BPF_PROG_TYPE_RAW_TRACEPOINT : BPF_PROG_TYPE_KPROBE)
            << bpf_program__name(prog);
    }
    // Last, never attached: the marker run on every CPU on the way out.
    ASSERT_EQ(found.size(), PROGRAMS.size() + 1);
    EXPECT_STREQ(found.back().name, "tell_pending_losses");
    EXPECT_STREQ(found.back().section, "raw_tp");
    // The design's 23 come first: the skeleton's slots of older monitors stay put.
    ASSERT_GT(found.size(), 23u);
    EXPECT_STREQ(found[0].name, "trace_udp_rcv");
    EXPECT_STREQ(found[22].name, "trace_ret_ipt_do_table");
    for (size_t i = 0; i < PROGRAMS.size(); i++) {
        EXPECT_STREQ(found[i].name, PROGRAMS[i].name) << "program #" << i + 1;
        EXPECT_STREQ(found[i].section, PROGRAMS[i].section) << "program #" << i + 1;
    }
}

TEST_P(KernelObject, has_exactly_the_scratch_record_hash_the_perf_event_array_and_the_drops_own_record)
{
    std::vector<bpf_map *> maps;
    bpf_map *map;
    bpf_object__for_each_map(map, obj.get()) maps.push_back(map);
    ASSERT_EQ(maps.size(), MAPS.size() + 1) << "globals or literals add maps of their own";
    bpf_map *settings = maps.back();
    maps.pop_back();
    EXPECT_TRUE(bpf_map__is_internal(settings));
    EXPECT_NE(std::string(bpf_map__name(settings)).find(".rodata"), std::string::npos) << bpf_map__name(settings);
    EXPECT_EQ(bpf_map__value_size(settings), READ_ONLY_SIZE);
    for (size_t i = 0; i < MAPS.size(); i++) {
        const map_entry &want = MAPS[i];
        EXPECT_STREQ(bpf_map__name(maps[i]), want.name) << "map #" << i + 1;
        EXPECT_FALSE(bpf_map__is_internal(maps[i])) << want.name;
        EXPECT_EQ(bpf_map__type(maps[i]), want.type) << want.name;
        EXPECT_EQ(bpf_map__key_size(maps[i]), want.key_size) << want.name;
        EXPECT_EQ(bpf_map__value_size(maps[i]), want.value_size) << want.name;
        EXPECT_EQ(bpf_map__max_entries(maps[i]), want.max_entries) << want.name;
        EXPECT_EQ(bpf_map__map_flags(maps[i]), 0u) << want.name;
    }
}

// A drop comes in softirqs that may interrupt a kprobe halfway through the
// CPU's record in data_map: the drop program never names that map, and no
// kprobe names the drop's record.
TEST_P(KernelObject, keeps_the_drop_record_apart_from_the_kprobes_record)
{
    std::map<std::string, std::set<std::string>> named = maps_named_by_code(GetParam().path);
    ASSERT_FALSE(named.empty()) << "no map relocations read from " << GetParam().path;
    std::set<std::string> drop_maps = named["raw_tp/kfree_skb"];
    for (auto i = drop_maps.begin(); i != drop_maps.end();)
        i = i->find(".rodata") != std::string::npos ? drop_maps.erase(i) : std::next(i);
    EXPECT_EQ(drop_maps, (std::set<std::string>{"drop_scratch", "drop6_scratch", "events"}));
    EXPECT_EQ(named.count(".text"), 0u) << "the shared capture names a map";
    for (const program_entry &p : PROGRAMS) {
        if (strcmp(p.section, "raw_tp/kfree_skb") == 0)
            continue;
        EXPECT_EQ(named[p.section].count("data_map"), p.ipv4 ? 1u : 0u) << p.section;
        EXPECT_EQ(named[p.section].count("data6_map"), p.ipv6 ? 1u : 0u) << p.section;
        EXPECT_FALSE(named[p.section].count("drop_scratch")) << p.section;
        EXPECT_FALSE(named[p.section].count("drop6_scratch")) << p.section;
    }
}

TEST_P(KernelObject, carries_a_gpl_compatible_licence_and_no_data_but_the_settings)
{
    std::map<std::string, std::string> sections = elf_sections(GetParam().path);
    ASSERT_FALSE(sections.empty()) << "cannot read the ELF sections of " << GetParam().path;
    ASSERT_EQ(sections.count("license"), 1u);
    EXPECT_EQ(sections["license"], std::string("Dual BSD/GPL\0", 13));
    for (const auto &[name, bytes] : sections) {
        if (name == ".rodata") {
            EXPECT_EQ(bytes.size(), READ_ONLY_SIZE) << "a literal in the read-only data";
            EXPECT_NE(bytes.find(std::string(DROP_SITE_FORMAT, sizeof(DROP_SITE_FORMAT))), std::string::npos);
        }
        else
            EXPECT_NE(name.rfind(".rodata", 0), 0u) << name;
        EXPECT_NE(name.rfind(".data", 0), 0u) << name;
        EXPECT_NE(name.rfind(".bss", 0), 0u) << name;
    }
}

TEST_P(KernelObject, describes_data_t_with_the_shared_168_byte_layout)
{
    const btf *btf = bpf_object__btf(obj.get());
    ASSERT_NE(btf, nullptr) << "the object carries no BTF";
    __s32 typedef_id = btf__find_by_name_kind(btf, "data_t", BTF_KIND_TYPEDEF);
    ASSERT_GT(typedef_id, 0) << "no data_t in the object's BTF";
    __s32 record_id = btf__resolve_type(btf, typedef_id);
    ASSERT_GT(record_id, 0);
    ASSERT_TRUE(btf_is_struct(btf__type_by_id(btf, record_id)));
    EXPECT_EQ(btf__resolve_size(btf, record_id), 168);
    EXPECT_EQ(btf__align_of(btf, record_id), 8);

    // The maps' values are that very record, the IPv6 maps' that record
    // followed by the two addresses.
    for (const char *name : {"data_map", "drop_scratch"}) {
        bpf_map *map = bpf_object__find_map_by_name(obj.get(), name);
        ASSERT_NE(map, nullptr) << name;
        EXPECT_EQ(btf__resolve_type(btf, bpf_map__btf_value_type_id(map)), record_id) << name;
    }
    __s32 record6_id = btf__resolve_type(btf, btf__find_by_name_kind(btf, "data6_t", BTF_KIND_TYPEDEF));
    ASSERT_GT(record6_id, 0) << "no data6_t in the object's BTF";
    unsigned offset = 0, size = 0;
    ASSERT_TRUE(locate(btf, record6_id, "common", &offset, &size));
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(size, 168u);
    ASSERT_TRUE(locate(btf, record6_id, "saddr", &offset, &size));
    EXPECT_EQ(offset, 168u);
    ASSERT_TRUE(locate(btf, record6_id, "daddr", &offset, &size));
    EXPECT_EQ(offset, 184u);
    EXPECT_EQ(size, 16u);
    for (const char *name : {"data6_map", "drop6_scratch", "count6_scratch"}) {
        bpf_map *map = bpf_object__find_map_by_name(obj.get(), name);
        ASSERT_NE(map, nullptr) << name;
        EXPECT_EQ(btf__resolve_type(btf, bpf_map__btf_value_type_id(map)), record6_id) << name;
    }

    for (const field_at &field : RECORD_FIELDS) {
        unsigned offset = 0, size = 0;
        ASSERT_TRUE(locate(btf, record_id, field.path, &offset, &size)) << "data_t has no " << field.path;
        EXPECT_EQ(offset, field.offset) << field.path;
        EXPECT_EQ(size, field.size) << field.path;
    }

    // Nothing beyond the listed fields, and in the listed order.
    std::vector<std::string> paths;
    member_paths(btf, record_id, "", &paths);
    std::vector<std::string> expected;
    for (const field_at &field : RECORD_FIELDS)
        expected.push_back(field.path);
    EXPECT_EQ(paths, expected);
}

TEST_P(KernelObject, keeps_the_header_capture_as_one_shared_subprogram)
{
    const btf *btf = bpf_object__btf(obj.get());
    ASSERT_NE(btf, nullptr);
    for (const char *capture : {"strace_skb", "strace_skb6"}) {
        __s32 id = btf__find_by_name_kind(btf, capture, BTF_KIND_FUNC);
        ASSERT_GT(id, 0) << capture << " was inlined into the probes";
        // A FUNC's vlen is its linkage (btf_func_linkage() is hidden by the enum in C++).
        EXPECT_EQ(btf_vlen(btf__type_by_id(btf, id)), BTF_FUNC_STATIC) << capture;
    }
}

INSTANTIATE_TEST_SUITE_P(built, KernelObject, testing::ValuesIn(BUILT_OBJECTS),
                         [](const testing::TestParamInfo<built_object> &info) {
                             return std::string(info.param.arch);
                         });

// Loading needs bpf() rights that a test process may lack; without them the
// verifier cannot be asked, which is a skip, never a pass.
std::string bpf_refused()
{
    int fd = bpf_map_create(BPF_MAP_TYPE_ARRAY, nullptr, 4, 4, 1, nullptr);
    if (fd >= 0) {
        close(fd);
        return "";
    }
    return std::string("bpf() is refused to this process (") + strerror(-fd) +
           "): run the tests as root to put the object through the kernel's verifier";
}

std::vector<bpf_program *> programs_of(const vn_bpf_net_monitor_bpf *skel)
{
    std::vector<bpf_program *> progs;
    bpf_program *prog;
    bpf_object__for_each_program(prog, skel->obj) progs.push_back(prog);
    return progs;
}

bool is_iptables_program(const bpf_program *prog)
{
    for (const program_entry &p : PROGRAMS)
        if (p.module && strcmp(p.module, "ip_tables") == 0 && strcmp(p.name, bpf_program__name(prog)) == 0)
            return true;
    return false;
}

// The embedded object, opened through its skeleton as the monitor opens it.
class KernelVerifier : public testing::Test {
protected:
    void SetUp() override
    {
        std::string refused = bpf_refused();
        if (!refused.empty())
            GTEST_SKIP() << refused;
        skel.reset(vn_bpf_net_monitor_bpf__open());
        ASSERT_NE(skel, nullptr) << "the embedded object does not open";
    }

    skeleton_ptr skel;
};

TEST_F(KernelVerifier, accepts_every_probe_of_the_embedded_object)
{
    ASSERT_EQ(vn_bpf_net_monitor_bpf__load(skel.get()), 0) << "rejected: the verifier log is above";

    std::vector<bpf_program *> progs = programs_of(skel.get());
    ASSERT_EQ(progs.size(), PROGRAMS.size() + 1);
    for (bpf_program *prog : progs) {
        EXPECT_GE(bpf_program__fd(prog), 0) << bpf_program__name(prog) << " was not loaded";
        RecordProperty(bpf_program__name(prog), static_cast<int>(bpf_program__insn_cnt(prog)));
    }
    EXPECT_GE(bpf_map__fd(skel->maps.data_map), 0);
    EXPECT_GE(bpf_map__fd(skel->maps.events), 0);
    EXPECT_GE(bpf_map__fd(skel->maps.drop_scratch), 0);
}

// A full ring tells its losses only in front of its next sample: the
// marker run on a CPU on the way out is that sample, so a loss no packet
// followed is still told, and the marker itself is no record.
TEST_F(KernelVerifier, a_marker_run_on_a_cpu_makes_its_ring_tell_the_losses_no_sample_followed)
{
    ASSERT_EQ(vn_bpf_net_monitor_bpf__load(skel.get()), 0);
    struct seen_t {
        unsigned long long lost = 0, samples = 0, shorter_than_a_record = 0;
    } seen;
    auto on_sample = [](void *ctx, int cpu, void *, __u32 size) {
        auto *s = static_cast<seen_t *>(ctx);
        s->samples += cpu == 0;
        s->shorter_than_a_record += size < sizeof(data_t);
    };
    auto on_lost = [](void *ctx, int cpu, __u64 count) { static_cast<seen_t *>(ctx)->lost += cpu == 0 ? count : 0; };
    std::unique_ptr<perf_buffer, decltype(&perf_buffer__free)> rings(
        perf_buffer__new(bpf_map__fd(skel->maps.events), 8, on_sample, on_lost, &seen, nullptr), perf_buffer__free);
    ASSERT_EQ(libbpf_get_error(rings.get()), 0);
    int fd = bpf_program__fd(skel->progs.tell_pending_losses);
    auto run_on_cpu0 = [&] {
        LIBBPF_OPTS(bpf_test_run_opts, run, .flags = BPF_F_TEST_RUN_ON_CPU, .cpu = 0);
        return bpf_prog_test_run_opts(fd, &run);
    };
    // Far more markers than 8 pages hold, none read: the ring overflows.
    for (int i = 0; i < 4096; i++)
        ASSERT_EQ(run_on_cpu0(), 0);
    ASSERT_GE(perf_buffer__consume(rings.get()), 0);
    EXPECT_GT(seen.samples, 0u);
    EXPECT_LT(seen.samples, 4096u);
    EXPECT_EQ(seen.lost, 0u) << "the kernel told the loss before any sample followed it";
    ASSERT_EQ(run_on_cpu0(), 0);
    ASSERT_GE(perf_buffer__consume(rings.get()), 0);
    EXPECT_EQ(seen.lost + seen.samples, 4097u);
    EXPECT_EQ(seen.shorter_than_a_record, seen.samples);
}

// An IPv6 trace loads its family's programs, each with the other family's
// code dropped; an IPv4 trace of a port counts IPv6 packets beside.
TEST_F(KernelVerifier, accepts_the_ipv6_trace_and_the_ipv4_trace_that_counts_ipv6_packets)
{
    for (bool ipv6 : {true, false}) {
        SCOPED_TRACE(ipv6 ? "-6" : "-p 8080");
        if (!skel)
            skel.reset(vn_bpf_net_monitor_bpf__open());
        ASSERT_NE(skel, nullptr);
        skel->rodata->trace_ipv6 = ipv6;
        skel->rodata->count6_protocol = ipv6 ? 0 : 6; // TCP
        skel->rodata->count6_port = ipv6 ? 0 : 8080;
        size_t loaded = 0;
        for (bpf_program *prog : programs_of(skel.get())) {
            for (const program_entry &p : PROGRAMS)
                if (strcmp(p.name, bpf_program__name(prog)) == 0)
                    bpf_program__set_autoload(prog, ipv6 ? p.ipv6 : p.ipv4);
            loaded += bpf_program__autoload(prog);
        }
        ASSERT_EQ(vn_bpf_net_monitor_bpf__load(skel.get()), 0) << "rejected: the verifier log is above";
        for (bpf_program *prog : programs_of(skel.get()))
            EXPECT_EQ(bpf_program__fd(prog) >= 0, bpf_program__autoload(prog)) << bpf_program__name(prog);
        EXPECT_GT(loaded, 20u);
        skel.reset();
    }
}

TEST_F(KernelVerifier, loads_the_other_probes_without_the_iptables_pair)
{
    ASSERT_EQ(bpf_program__set_autoload(skel->progs.trace_ipt_do_table, false), 0);
    ASSERT_EQ(bpf_program__set_autoload(skel->progs.trace_ret_ipt_do_table, false), 0);
    ASSERT_EQ(vn_bpf_net_monitor_bpf__load(skel.get()), 0) << "rejected: the verifier log is above";

    int loaded = 0;
    for (bpf_program *prog : programs_of(skel.get())) {
        if (is_iptables_program(prog)) {
            EXPECT_LT(bpf_program__fd(prog), 0) << bpf_program__name(prog) << " was loaded though switched off";
        } else {
            EXPECT_GE(bpf_program__fd(prog), 0) << bpf_program__name(prog) << " was not loaded";
            loaded++;
        }
    }
    EXPECT_EQ(loaded, int(PROGRAMS.size()) - 2 + 1); // and the marker
}

} // namespace
