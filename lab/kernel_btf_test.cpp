// The choice of probe programs held against each lab kernel without booting
// it: its BTF read from the unpacked package (the kernel image and the
// ip_tables module). Debian's packages carry no real System.map, so which
// functions the kernel has comes from BTF, as in a monitor that cannot read
// /proc/kallsyms. A new kernel that moves an argument or drops a function
// fails here in seconds.
// LAB_WORK names the folder fetch.sh unpacked into, LAB_SERIES the series.
#include <gtest/gtest.h>
#include <zlib.h>

#include <bpf/btf.h>
#include <bpf/libbpf.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harmless_drops.h"
#include "probe_selection.h"

namespace {

std::string env(const char *name)
{
    const char *v = getenv(name);
    return v ? v : "";
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string trim(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

// gzip (arm64's Image.gz on Debian 12) or as it is.
std::string read_maybe_gzip(const std::string &path)
{
    std::string out;
    gzFile f = gzopen(path.c_str(), "rb");
    if (!f)
        return out;
    char buf[1 << 16];
    for (int n; (n = gzread(f, buf, sizeof(buf))) > 0;)
        out.append(buf, n);
    gzclose(f);
    return out;
}

// The kernel's .BTF blob inside an image of any form (ELF vmlinux or a raw
// arm64 Image): its header is 24 bytes, magic 0xeB9F, version 1, and the
// type and string sections follow back to back.
btf *btf_of_image(const std::string &path)
{
    std::string image = read_maybe_gzip(path);
    static const char magic[] = "\x9f\xeb\x01\x00\x18\x00\x00\x00";
    for (size_t at = image.find(magic, 0, 8); at != std::string::npos; at = image.find(magic, at + 1, 8)) {
        uint32_t h[4];
        if (at + 24 > image.size())
            break;
        memcpy(h, image.data() + at + 8, sizeof(h)); // type_off, type_len, str_off, str_len
        if (h[0] != 0 || h[2] != h[1] || at + 24 + uint64_t(h[2]) + h[3] > image.size())
            continue;
        btf *b = btf__new(image.data() + at, 24 + h[2] + h[3]);
        if (!libbpf_get_error(b) && btf__find_by_name_kind(b, "ip_rcv", BTF_KIND_FUNC) > 0)
            return b;
        if (!libbpf_get_error(b))
            btf__free(b);
    }
    return nullptr;
}

// A module's split BTF; xz-compressed modules are unpacked to a file first.
btf *btf_of_module(const std::string &path, btf *vmlinux)
{
    std::string file = path;
    if (path.size() > 3 && path.compare(path.size() - 3, 3, ".xz") == 0) {
        file = testing::TempDir() + "/module.ko";
        if (system(("xz -dc '" + path + "' > '" + file + "'").c_str()) != 0)
            return nullptr;
    }
    btf *b = btf__parse_split(file.c_str(), vmlinux);
    return libbpf_get_error(b) ? nullptr : b;
}

struct unpacked_kernel {
    std::string version, root, modules;
    btf *vmlinux = nullptr;
    std::map<std::string, btf *> module_btf; // the probed modules', by name
    kernel_view_t view;
};

// The split BTF of module NAME (from modules.dep), or null.
btf *module_of(const unpacked_kernel &k, const std::string &dep, const std::string &name)
{
    std::istringstream lines(dep);
    std::string line;
    while (k.vmlinux && std::getline(lines, line)) {
        std::string path = line.substr(0, line.find(':')); // the module itself, not what it needs
        if (path.find("/" + name + ".ko") != std::string::npos)
            return btf_of_module(k.modules + "/" + path, k.vmlinux);
    }
    return nullptr;
}

const unpacked_kernel &kernel()
{
    static const unpacked_kernel k = [] {
        unpacked_kernel k;
        std::string work = env("LAB_WORK");
        k.version = trim(read_file(work + "/kernel/kver"));
        k.root = work + "/kernel/root";
        k.modules = k.root + "/lib/modules/" + k.version;
        k.vmlinux = btf_of_image(work + "/kernel/kernel");
        std::string dep = read_file(k.modules + "/modules.dep");
        // As on a host with the modules loaded.
        for (const auto &p : probe_points()) {
            if (!p.module || k.module_btf.count(p.module))
                continue;
            k.module_btf[p.module] = module_of(k, dep, p.module);
            if (k.module_btf[p.module])
                k.view.modules[p.module] = k.module_btf[p.module];
        }
        k.view.vmlinux = k.vmlinux;
        return k;
    }();
    return k;
}

// What the monitor would load on this kernel: point's first function ->
// chosen program (or "-" for none) and notice.
std::map<std::string, std::pair<std::string, std::string>> choices(const kernel_view_t &view)
{
    std::map<std::string, std::pair<std::string, std::string>> out;
    for (const auto &c : choose_probes(view, TRACE_IPV4 | TRACE_IPV6))
        out[c.point->variants.front().function] = {c.program ? c.program->program : "-", c.notice};
    return out;
}

// Kernels from 6.18 on: napi_gro_receive is an inline wrapper of
// gro_receive_skb, and the listener lookup lost its hashinfo argument.
bool newer_than_6_17(const std::string &version)
{
    int major = 0, minor = 0;
    sscanf(version.c_str(), "%d.%d", &major, &minor);
    return major > 6 || (major == 6 && minor >= 18);
}

TEST(KernelBtf, ThePackageHoldsTheKernelsBtfSymbolsAndTheTableModules)
{
    const unpacked_kernel &k = kernel();
    ASSERT_FALSE(k.version.empty()) << "nothing unpacked in " << env("LAB_WORK");
    if (env("LAB_SERIES") != "backports") {
        EXPECT_EQ(k.version.rfind(env("LAB_SERIES") + ".", 0), 0u) << k.version;
    }
    ASSERT_NE(k.vmlinux, nullptr) << "no BTF in the kernel image";
    for (const auto &[name, b] : k.module_btf)
        EXPECT_NE(b, nullptr) << "no BTF in " << name << ".ko";
    EXPECT_EQ(k.module_btf.size(), 5u); // ip_tables, ip6_tables, nf_tables, veth, bridge
}

TEST(KernelBtf, EveryProbePointGetsTheProgramWrittenForItsPrototype)
{
    const unpacked_kernel &k = kernel();
    ASSERT_NE(k.vmlinux, nullptr);
    bool newer = newer_than_6_17(k.version);
    std::map<std::string, std::pair<std::string, std::string>> expected;
    for (const auto &p : probe_points())
        expected[p.variants.front().function] = {p.variants.front().program, ""};
    if (newer) {
        expected["napi_gro_receive"] = {"trace_gro_receive_skb",
                                        "napi_gro_receive: not in this kernel, gro_receive_skb traced instead"};
        expected["__inet_lookup_listener"] = {"trace___inet_lookup_listener_skb_arg2", ""};
        expected["inet6_lookup_listener"] = {"trace_inet6_lookup_listener_skb_arg2", ""};
    }
    auto got = choices(k.view);
    for (const auto &[function, want] : expected) {
        SCOPED_TRACE(function + " on " + k.version);
        ASSERT_TRUE(got.count(function));
        EXPECT_EQ(got[function].first, want.first);
        EXPECT_EQ(got[function].second, want.second);
    }
    EXPECT_EQ(got.size(), expected.size());
}

TEST(KernelBtf, WithoutTheIptablesModuleTheTableWalkIsSkippedWithANotice)
{
    kernel_view_t view = kernel().view;
    ASSERT_NE(view.vmlinux, nullptr);
    view.modules.clear();
    view.functions.erase("ipt_do_table");
    auto got = choices(view);
    EXPECT_EQ(got["ipt_do_table"].first, "-");
    EXPECT_EQ(got["ipt_do_table"].second, "ipt_do_table: not in this kernel (module ip_tables not loaded), not traced");
    EXPECT_EQ(got["ip_rcv"].first, "trace_ip_rcv");
}

// A symbol list that names exactly the functions BTF knows gives the same
// choice: the two ways of telling presence agree.
TEST(KernelBtf, TheSymbolListAndBtfAgreeOnWhatIsThere)
{
    kernel_view_t view = kernel().view;
    ASSERT_NE(view.vmlinux, nullptr);
    auto from_btf = choices(view);
    view.symbols_known = true;
    for (const auto &p : probe_points()) {
        const btf *b = p.module && view.modules.count(p.module) ? view.modules.at(p.module) : view.vmlinux;
        for (const auto &v : p.variants)
            if (btf__find_by_name_kind(b, v.function, BTF_KIND_FUNC) > 0)
                view.functions.insert(v.function);
    }
    EXPECT_EQ(choices(view), from_btf);
}

// The drop rows' reasons come from the kernel's own enum: the ones the lab
// provokes are there by name on every lab kernel.
TEST(KernelBtf, TheDropReasonsTheLabProvokesAreNamedInTheKernelsEnum)
{
    const unpacked_kernel &k = kernel();
    ASSERT_NE(k.vmlinux, nullptr);
    std::set<std::string> names;
    for (const auto &[value, name] : read_drop_reasons(k.vmlinux))
        names.insert(name);
    for (const char *reason : {"NOT_SPECIFIED", "NO_SOCKET", "SOCKET_RCVBUFF", "NETFILTER_DROP"})
        EXPECT_TRUE(names.count(reason)) << reason << " on " << k.version;
    // Subsystems' reasons came with 6.5; qdisc's, from 7.x on, are named in
    // the kernel's own BTF.
    EXPECT_EQ(read_drop_subsystems(k.vmlinux).empty(), env("LAB_SERIES") == "6.1") << k.version;
    EXPECT_EQ(names.count("QDISC_DROP_OVERLIMIT"), env("LAB_SERIES") == "backports" ? 1u : 0u) << k.version;
}

// A kernel's reason for discarding an old duplicate (a timestamp's PAWS
// check, data or a sequence before the window, a merged out-of-order copy)
// loses nothing: the reader must read it so, or a new kernel's duplicates
// read as drops.
TEST(KernelBtf, EveryReasonForAnOldDuplicateIsOneTheReaderKnowsHarmless)
{
    const unpacked_kernel &k = kernel();
    ASSERT_NE(k.vmlinux, nullptr);
    int duplicates = 0;
    for (const auto &[value, name] : read_drop_reasons(k.vmlinux)) {
        bool duplicate = name.rfind("TCP_", 0) == 0 &&
                         (name.find("PAWS") != std::string::npos || name.find("_OLD_DATA") != std::string::npos ||
                          name.find("_OLD_SEQUENCE") != std::string::npos || name.find("OFOMERGE") != std::string::npos);
        duplicates += duplicate;
        EXPECT_TRUE(!duplicate || harmless_drop_reason(name)) << name << " on " << k.version;
    }
    EXPECT_GE(duplicates, 3) << k.version;
}

// Byte offset of a member of a struct, looked for through the anonymous
// unions and structs the kernel nests its fields in; -1 when absent.
long member_offset(const btf *b, int type_id, const std::string &name)
{
    const btf_type *t = btf__type_by_id(b, type_id);
    while (t && (btf_is_mod(t) || btf_is_typedef(t)))
        t = btf__type_by_id(b, t->type);
    if (!t || !btf_is_composite(t))
        return -1;
    const btf_member *m = btf_members(t);
    for (int i = 0; i < btf_vlen(t); i++, m++) {
        const char *member = btf__name_by_offset(b, m->name_off);
        long here = btf_member_bit_offset(t, i) / 8;
        if (*member == '\0') {
            long inner = member_offset(b, m->type, name);
            if (inner >= 0)
                return here + inner;
        } else if (name == member) {
            return here;
        }
    }
    return -1;
}

// The capture reads the buffer's protocol, header offsets and head pointer
// in one call where they lie as its span expects (skb_span in the kernel
// object), and falls back to a read per field elsewhere: still right, but
// slower. A kernel that moves them shows here.
TEST(KernelBtf, TheBuffersHeaderFieldsLieWhereTheSingleReadTakesThem)
{
    const unpacked_kernel &k = kernel();
    ASSERT_NE(k.vmlinux, nullptr);
    int skb = btf__find_by_name_kind(k.vmlinux, "sk_buff", BTF_KIND_STRUCT);
    ASSERT_GT(skb, 0);
    long protocol = member_offset(k.vmlinux, skb, "protocol");
    ASSERT_GE(protocol, 0);
    EXPECT_EQ(member_offset(k.vmlinux, skb, "network_header") - protocol, 4);
    EXPECT_EQ(member_offset(k.vmlinux, skb, "mac_header") - protocol, 6);
    EXPECT_EQ(member_offset(k.vmlinux, skb, "head") - protocol, 20);
}

// An nft walk's entry names the hook by the hook's family and the table by
// the table's (a 6-bit field), and reads both names through pointers: the
// fields it relocates are in the kernel's and nf_tables' BTF.
TEST(KernelBtf, TheFieldsThatNameAnNftWalkAreWhereTheEntryReadsThem)
{
    const unpacked_kernel &k = kernel();
    ASSERT_NE(k.vmlinux, nullptr);
    const btf *nft = k.module_btf.count("nf_tables") ? k.module_btf.at("nf_tables") : nullptr;
    ASSERT_NE(nft, nullptr) << "no BTF of nf_tables";
    const std::pair<const char *, std::vector<const char *>> wanted[] = {
        {"nf_hook_state", {"hook", "pf"}},
        {"nft_pktinfo", {"skb", "state"}},
        {"nft_chain", {"table", "name"}},
        {"nft_table", {"family", "name"}},
    };
    for (const auto &[type, members] : wanted) {
        int id = btf__find_by_name_kind(nft, type, BTF_KIND_STRUCT);
        ASSERT_GT(id, 0) << type << " on " << k.version;
        for (const char *member : members)
            EXPECT_GE(member_offset(nft, id, member), 0) << type << "." << member << " on " << k.version;
    }
}

} // namespace
