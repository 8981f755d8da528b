// How big each probe of a kernel object is: its instructions in the object
// file, the instructions the running kernel's verifier walked, and the size
// it translated and compiled it to. Loads the object (root, BPF allowed) but
// attaches nothing, so it runs on a kernel that cannot attach kprobes.
// Usage: probe_size OBJECT   prints "name insns verified xlated jited_bytes"
// per program, then "total ..." over them.
#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: probe_size OBJECT\n");
        return 2;
    }
    bpf_object *obj = bpf_object__open_file(argv[1], nullptr);
    if (!obj) {
        fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    if (bpf_object__load(obj) != 0) {
        fprintf(stderr, "the kernel refused to load %s\n", argv[1]);
        return 1;
    }
    unsigned long long total[4] = {0, 0, 0, 0};
    bpf_program *prog;
    bpf_object__for_each_program(prog, obj)
    {
        bpf_prog_info info;
        memset(&info, 0, sizeof(info));
        __u32 len = sizeof(info);
        if (bpf_obj_get_info_by_fd(bpf_program__fd(prog), &info, &len) != 0) {
            fprintf(stderr, "no info on %s\n", bpf_program__name(prog));
            return 1;
        }
        unsigned long long row[4] = {bpf_program__insn_cnt(prog), info.verified_insns,
                                     info.xlated_prog_len / 8, info.jited_prog_len};
        printf("%s %llu %llu %llu %llu\n", bpf_program__name(prog), row[0], row[1], row[2], row[3]);
        for (int i = 0; i < 4; i++)
            total[i] += row[i];
    }
    printf("total %llu %llu %llu %llu\n", total[0], total[1], total[2], total[3]);
    bpf_object__close(obj);
    return 0;
}
