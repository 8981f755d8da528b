// The probe choice on kernels made up here: their BTF built with libbpf, their
// symbol lists written as /proc/kallsyms writes them.
#include <gtest/gtest.h>

#include <bpf/btf.h>
#include <bpf/libbpf.h>

#include <fstream>
#include <map>
#include <string>

#include "probe_selection.h"

namespace {

// A kernel's BTF with the structures the probes read and any functions.
struct fake_kernel {
    btf *b = btf__new_empty();
    int skb = ptr_to(btf__add_struct(b, "sk_buff", 232));
    int skb_ref = ptr_to(skb);
    int dev = ptr_to(btf__add_struct(b, "net_device", 2048));
    int sock = ptr_to(btf__add_struct(b, "sock", 760));
    int tw_sock = ptr_to(btf__add_struct(b, "inet_timewait_sock", 240));
    int request = ptr_to(btf__add_struct(b, "request_sock", 232));
    int state = ptr_to(btf__add_struct(b, "nf_hook_state", 48));
    int pktinfo = ptr_to(btf__add_struct(b, "nft_pktinfo", 24));
    int integer = btf__add_int(b, "int", 4, BTF_INT_SIGNED);
    int reason = add_reasons();
    int void_ptr = btf__add_ptr(b, 0);
    kernel_view_t view;

    fake_kernel() { view.vmlinux = b; }
    ~fake_kernel() { btf__free(b); }
    int ptr_to(int id) { return btf__add_ptr(b, id); }
    int add_reasons()
    {
        int id = btf__add_enum(b, "skb_drop_reason", 4);
        btf__add_enum_value(b, "SKB_NOT_DROPPED_YET", 0);
        btf__add_enum_value(b, "SKB_DROP_REASON_NOT_SPECIFIED", 1);
        btf__add_enum_value(b, "SKB_DROP_REASON_NO_SOCKET", 2);
        btf__add_enum_value(b, "SKB_DROP_REASON_NETFILTER_DROP", 6);
        return id;
    }
    // A tracepoint as the kernel describes it: btf_trace_NAME, a pointer to
    // a function of the tracepoint's data and its arguments.
    void add_tracepoint(const char *name, std::initializer_list<int> args)
    {
        int proto = btf__add_func_proto(b, 0);
        btf__add_func_param(b, "__data", void_ptr);
        for (int a : args)
            btf__add_func_param(b, "arg", a);
        btf__add_typedef(b, (std::string("btf_trace_") + name).c_str(), ptr_to(proto));
    }
    void add(const char *name, std::initializer_list<int> params)
    {
        int proto = btf__add_func_proto(b, integer);
        for (int p : params)
            btf__add_func_param(b, "arg", p);
        btf__add_func(b, name, BTF_FUNC_GLOBAL, proto);
        view.functions.insert(name);
    }
    // Every probed function with the prototype the object was written for.
    void add_all_as_built()
    {
        for (const auto &p : probe_points()) {
            const probe_program_t &v = p.variants.front();
            if (v.tracepoint) {
                add_tracepoint(v.function, {skb, void_ptr, reason});
                continue;
            }
            int params[4] = {integer, integer, integer, integer};
            for (const auto &a : v.args)
                params[a.position - 1] = a.kind == arg_kind::skb ? skb
                                       : a.kind == arg_kind::skb_ref ? skb_ref
                                       : a.kind == arg_kind::net_device ? dev
                                       : a.kind == arg_kind::sock ? sock
                                       : a.kind == arg_kind::tw_sock ? tw_sock
                                       : a.kind == arg_kind::request ? request
                                       : a.kind == arg_kind::hook_state ? state
                                       : a.kind == arg_kind::pktinfo ? pktinfo
                                                                        : void_ptr;
            add(v.function, {params[0], params[1], params[2], params[3]});
        }
        view.symbols_known = true;
    }
    std::map<std::string, std::pair<std::string, std::string>> choices()
    {
        std::map<std::string, std::pair<std::string, std::string>> out;
        for (const auto &c : choose_probes(view, TRACE_IPV4 | TRACE_IPV6))
            out[c.point->variants.front().function] = {c.program ? c.program->program : "-", c.notice};
        return out;
    }
};

TEST(ProbeSelection, AKernelAsTheObjectWasWrittenForGetsEveryFirstProgramAndNoNotice)
{
    fake_kernel k;
    k.add_all_as_built();
    for (const auto &[function, choice] : k.choices()) {
        EXPECT_NE(choice.first, "-") << function;
        EXPECT_EQ(choice.second, "") << function;
    }
    EXPECT_EQ(k.choices()["ip_rcv"].first, "trace_ip_rcv");
}

TEST(ProbeSelection, AShiftedBufferArgumentIsNeverReadBlindly)
{
    fake_kernel swapped; // a made-up kernel that takes the device first
    swapped.add("ip_rcv", {swapped.dev, swapped.skb});
    swapped.view.symbols_known = true;
    auto c = swapped.choices();
    EXPECT_EQ(c["ip_rcv"].first, "-");
    EXPECT_EQ(c["ip_rcv"].second, "ip_rcv: prototype not known to this monitor, not traced");
    // A receive handler's buffer is a reference: the buffer itself is not it.
    fake_kernel handler;
    handler.add("br_handle_frame", {handler.skb});
    handler.view.symbols_known = true;
    EXPECT_EQ(handler.choices()["br_handle_frame"].second,
              "br_handle_frame: prototype not known to this monitor, not traced");
    // Functions it does not have are skipped, each with its line.
    EXPECT_EQ(c["udp_rcv"].second, "udp_rcv: not in this kernel, not traced");
}

TEST(ProbeSelection, TheListenerLookupWithoutHashinfoReadsTheBufferFromArgumentTwo)
{
    fake_kernel k;
    k.add("__inet_lookup_listener", {k.integer, k.skb, k.integer, k.integer});
    k.view.symbols_known = true;
    auto c = k.choices();
    EXPECT_EQ(c["__inet_lookup_listener"].first, "trace___inet_lookup_listener_skb_arg2");
    EXPECT_EQ(c["__inet_lookup_listener"].second, "");
}

TEST(ProbeSelection, TheGroHandOffFallsBackToGroReceiveSkbAndSaysSo)
{
    fake_kernel k;
    k.view.symbols_known = true;
    EXPECT_EQ(k.choices()["napi_gro_receive"].second, "napi_gro_receive: not in this kernel, not traced");
    k.add("gro_receive_skb", {k.integer, k.skb});
    auto c = k.choices();
    EXPECT_EQ(c["napi_gro_receive"].first, "trace_gro_receive_skb");
    EXPECT_EQ(c["napi_gro_receive"].second, "napi_gro_receive: not in this kernel, gro_receive_skb traced instead");
}

TEST(ProbeSelection, AFunctionWithoutBtfOrWithoutItsModuleIsSkippedWithItsReason)
{
    fake_kernel k;
    k.view.symbols_known = true;
    k.view.functions.insert("tcp_v4_rcv"); // in the symbol list, not in BTF
    auto c = k.choices();
    EXPECT_EQ(c["tcp_v4_rcv"].second, "tcp_v4_rcv: no type information in this kernel, not traced");
    EXPECT_EQ(c["ipt_do_table"].second, "ipt_do_table: not in this kernel (module ip_tables not loaded), not traced");
    // A kernel without the module at all (PREEMPT_RT from 7.x on): loading it would not help.
    k.view.modules_known = true;
    k.view.modules_on_disk = {"nf_tables"};
    c = k.choices();
    EXPECT_EQ(c["ipt_do_table"].second, "ipt_do_table: not in this kernel (it has no module ip_tables), not traced");
    EXPECT_EQ(c["nft_do_chain"].second, "nft_do_chain: not in this kernel (module nf_tables not loaded), not traced");
}

// Both walks are handed their table (iptables) or chain (nft) as void *priv
// on some kernels and typed on others; an order the program does not read
// (5.x's ipt_do_table(skb, state, table)) is left out.
TEST(ProbeSelection, TheWalksTakeTheirTableOrChainAsVoidPointerOrTyped)
{
    for (bool typed : {false, true}) {
        fake_kernel k;
        int table = typed ? k.ptr_to(btf__add_struct(k.b, "xt_table", 64)) : k.void_ptr;
        int chain = typed ? k.ptr_to(btf__add_struct(k.b, "nft_chain", 120)) : k.void_ptr;
        k.add("ipt_do_table", {table, k.skb, k.state});
        k.add("nft_do_chain", {k.pktinfo, chain});
        k.view.symbols_known = true;
        EXPECT_EQ(k.choices()["ipt_do_table"].first, "trace_ipt_do_table") << typed;
        EXPECT_EQ(k.choices()["nft_do_chain"].first, "trace_nft_do_chain") << typed;
    }
    fake_kernel old;
    old.add("ipt_do_table", {old.skb, old.state, old.void_ptr});
    old.add("nft_do_chain", {old.void_ptr, old.pktinfo});
    old.view.symbols_known = true;
    EXPECT_EQ(old.choices()["ipt_do_table"].first, "-");
    EXPECT_EQ(old.choices()["nft_do_chain"].first, "-");
}

// kfree_skb tells the reason from 5.17 on, and 6.11 added the socket after
// it; before, drops are not traced and the user is told why, as when its
// arguments are not where the program reads them.
TEST(ProbeSelection, DropsAreTracedWhereKfreeSkbTellsTheReason)
{
    fake_kernel with_socket;
    with_socket.add_tracepoint("kfree_skb", {with_socket.skb, with_socket.void_ptr, with_socket.reason,
                                             with_socket.void_ptr});
    with_socket.view.symbols_known = true; // a tracepoint is not in the symbol list by its name
    EXPECT_EQ(with_socket.choices()["kfree_skb"], std::make_pair(std::string("trace_kfree_skb"), std::string()));

    fake_kernel before_5_17;
    before_5_17.add_tracepoint("kfree_skb", {before_5_17.skb, before_5_17.void_ptr});
    EXPECT_EQ(before_5_17.choices()["kfree_skb"].first, "-");
    EXPECT_EQ(before_5_17.choices()["kfree_skb"].second,
              "kfree_skb: this kernel gives no drop reasons (5.17 and later do), drops not traced");
    EXPECT_EQ(fake_kernel().choices()["kfree_skb"].second, "kfree_skb: not in this kernel, not traced");

    // A kernel that gives the reason where the program does not read it, or
    // the buffer as something else, has reasons: the notice must not deny them.
    for (bool moved : {true, false}) {
        fake_kernel other;
        if (moved)
            other.add_tracepoint("kfree_skb", {other.skb, other.reason, other.void_ptr});
        else
            other.add_tracepoint("kfree_skb", {other.void_ptr, other.void_ptr, other.reason});
        EXPECT_EQ(other.choices()["kfree_skb"],
                  std::make_pair(std::string("-"),
                                 std::string("kfree_skb: its arguments do not match what this monitor reads, "
                                             "drops not traced")))
            << moved;
    }

    fake_kernel k;
    std::vector<std::pair<uint32_t, std::string>> want = {
        {0, "SKB_NOT_DROPPED_YET"}, {1, "NOT_SPECIFIED"}, {2, "NO_SOCKET"}, {6, "NETFILTER_DROP"}};
    EXPECT_EQ(read_drop_reasons(k.b), want);
    EXPECT_TRUE(read_drop_reasons(nullptr).empty());
}

TEST(ProbeSelection, ModulesAreNamedAsTheKernelNamesThem)
{
    std::string path = testing::TempDir() + "/modules.dep";
    std::ofstream(path) << "kernel/net/ipv4/netfilter/ip_tables.ko.xz: kernel/net/netfilter/x_tables.ko.xz\n"
                           "kernel/net/netfilter/nf_tables.ko: kernel/lib/libcrc32c.ko\n"
                           "kernel/drivers/net/virtio-net.ko.zst:\n"
                           "garbage line\n";
    std::set<std::string> found;
    ASSERT_TRUE(read_module_list(path.c_str(), found));
    EXPECT_EQ(found, (std::set<std::string>{"ip_tables", "nf_tables", "virtio_net"}));
    EXPECT_FALSE(read_module_list((path + ".missing").c_str(), found));
}

// Hidden addresses (kptr_restrict) hide no names: a hardened host's probes
// are chosen as any other's.
TEST(ProbeSelection, OnlyExactNamesInTheSymbolListCount)
{
    std::string path = testing::TempDir() + "/kallsyms";
    const std::string long_name(600, 'r'); // a Rust symbol, longer than a fixed line buffer
    std::ofstream(path) << "ffffffff81000000 T ip_rcv_finish_core\n"
                           "ffffffff81000010 t ip_rcv.cold\n"
                           "ffffffff81000020 T __netif_receive_skb_core\n"
                           "0000000000000000 T udp_rcv\n"
                           "ffffffff81000030 t " + long_name + "\n"
                           "0000000000000000 t ipt_do_table\t[ip_tables]\n"
                           "ffffffff82000000 D some_data\n"
                           "ffffffff81000040 T\n"
                           "not a symbol line\n";
    std::set<std::string> probed;
    ASSERT_TRUE(read_kernel_symbols(path.c_str(), probed));
    EXPECT_EQ(probed, (std::set<std::string>{"udp_rcv", "ipt_do_table"}));
    EXPECT_FALSE(read_kernel_symbols((path + ".missing").c_str(), probed));
}

// Subsystems define their reasons as (n << 16) | code in enums of their own,
// in the kernel's BTF (qdisc on 7.x) or a module's (openvswitch, mac80211).
TEST(ProbeSelection, SubsystemDropReasonsAreNamedFromTheKernelsAndTheModulesBtf)
{
    fake_kernel k;
    btf__add_enum(k.b, "skb_drop_reason_subsys", 4);
    btf__add_enum_value(k.b, "SKB_DROP_REASON_SUBSYS_CORE", 0);
    btf__add_enum_value(k.b, "SKB_DROP_REASON_SUBSYS_MAC80211_UNUSABLE", 1);
    btf__add_enum_value(k.b, "SKB_DROP_REASON_SUBSYS_OPENVSWITCH", 2);
    btf__add_enum_value(k.b, "SKB_DROP_REASON_SUBSYS_QDISC", 3);
    btf__add_enum_value(k.b, "SKB_DROP_REASON_SUBSYS_NUM", 4);
    btf__add_enum(k.b, "qdisc_drop_reason", 4);
    btf__add_enum_value(k.b, "QDISC_DROP_UNSPEC", 0);
    btf__add_enum_value(k.b, "QDISC_DROP_GENERIC", 0x30001);
    btf__add_enum_value(k.b, "QDISC_DROP_OVERLIMIT", 0x30002);
    btf__add_enum_value(k.b, "QDISC_DROP_BEYOND", 0x40001); // no subsystem 4
    btf__add_enum(k.b, "ip6_defrag_users", 4); // values in range, no drop reasons
    btf__add_enum_value(k.b, "IP6_DEFRAG_CONNTRACK_IN", 0x20001);

    drop_reason_names_t subsystems = read_drop_subsystems(k.b);
    EXPECT_EQ(subsystems, (drop_reason_names_t{{1, "MAC80211_UNUSABLE"}, {2, "OPENVSWITCH"}, {3, "QDISC"}}));
    drop_reason_names_t names = read_drop_reasons(k.b);
    drop_reason_names_t want = {{0, "SKB_NOT_DROPPED_YET"}, {1, "NOT_SPECIFIED"},         {2, "NO_SOCKET"},
                                {6, "NETFILTER_DROP"},      {0x30001, "QDISC_DROP_GENERIC"}, {0x30002, "QDISC_DROP_OVERLIMIT"}};
    EXPECT_EQ(names, want);
    EXPECT_EQ(drop_subsystems_notice(subsystems, names),
              "kfree_skb: drop reasons of MAC80211_UNUSABLE, OPENVSWITCH shown as numbers "
              "(no name for them in the BTF of the kernel or of a loaded module)");

    // mac80211 names its reasons twice, once with a prefix of underscores.
    btf *module = btf__new_empty_split(k.b);
    btf__add_enum(module, "___mac80211_drop_reason", 4);
    btf__add_enum_value(module, "___RX_CONTINUE", 1);
    btf__add_enum_value(module, "___RX_DROP_U_MIC_FAIL", 0x10001);
    btf__add_enum(module, "mac80211_drop_reason", 4);
    btf__add_enum_value(module, "RX_CONTINUE", 1);
    btf__add_enum_value(module, "RX_DROP_U_MIC_FAIL", 0x10001);
    btf__add_enum_value(module, "__RX_DROP_UNUSABLE_BASE", 0x10000);
    btf__add_enum(module, "ovs_drop_reason", 4);
    btf__add_enum_value(module, "OVS_DROP_LAST_ACTION", 0x20001);
    add_subsystem_drop_reasons(module, subsystems, names);
    btf__free(module);
    want.insert(want.begin() + 4, {{0x10000, "__RX_DROP_UNUSABLE_BASE"},
                                   {0x10001, "RX_DROP_U_MIC_FAIL"},
                                   {0x20001, "OVS_DROP_LAST_ACTION"}});
    EXPECT_EQ(names, want);
    EXPECT_EQ(drop_subsystems_notice(subsystems, names), "");
    // A kernel before subsystems: nothing more to name, nothing to say.
    fake_kernel old;
    EXPECT_TRUE(read_drop_subsystems(old.b).empty());
    EXPECT_EQ(drop_subsystems_notice({}, read_drop_reasons(old.b)), "");
}

} // namespace
