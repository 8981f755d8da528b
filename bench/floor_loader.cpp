// The bench's floor in the guest: attaches bench/floor.bpf.c where the
// running kernel has the function, seeds a record for every possible CPU and
// drains the perf buffer (8 pages a CPU, as the monitor) with a consumer that
// discards. Runs until killed.
//
// floor_loader write-rate PATH SECONDS: the consumer's own limit, a 224-byte
// row written and synced as the monitor writes one, over and over; prints
// "writes N ns T".
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "floor.skel.h"
#include "vn_bpf_net_monitor.h"

static long long now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int write_rate(const char *path, int seconds)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        perror(path);
        return 1;
    }
    std::string row(223, 'x');
    row += '\n';
    long long writes = 0, start = now_ns(), end = start + seconds * 1000000000LL, now = start;
    while (now < end) {
        if (write(fd, row.data(), row.size()) != (ssize_t)row.size()) {
            perror("write");
            return 1;
        }
        fsync(fd);
        writes++;
        // A clock read per row would cost as much as the syscalls measured.
        if ((writes & 63) == 0)
            now = now_ns();
    }
    now = now_ns();
    close(fd);
    printf("writes %lld ns %lld\n", writes, now - start);
    return 0;
}

static std::set<std::string> kernel_functions()
{
    std::set<std::string> names;
    std::ifstream in("/proc/kallsyms");
    std::string address, type, name;
    while (in >> address >> type >> name) {
        names.insert(name);
        in.ignore(4096, '\n');
    }
    return names;
}

static void discard(void *, int, void *, __u32) {}

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "write-rate") == 0)
        return write_rate(argv[2], atoi(argv[3]));
    if (argc != 1) {
        fprintf(stderr, "usage: floor_loader [write-rate PATH SECONDS]\n");
        return 2;
    }
    floor_bpf *skel = floor_bpf__open();
    if (!skel) {
        fprintf(stderr, "open failed\n");
        return 3;
    }
    std::set<std::string> functions = kernel_functions();
    struct bpf_program *prog;
    bpf_object__for_each_program(prog, skel->obj) {
        std::string section = bpf_program__section_name(prog);
        bool present = functions.count(section.substr(section.find('/') + 1)) > 0;
        bpf_program__set_autoload(prog, present);
    }
    if (floor_bpf__load(skel) != 0 || floor_bpf__attach(skel) != 0) {
        fprintf(stderr, "load or attach failed\n");
        return 3;
    }
    struct perf_buffer *pb = perf_buffer__new(bpf_map__fd(skel->maps.events), 8, discard, nullptr, nullptr, nullptr);
    if (libbpf_get_error(pb)) {
        fprintf(stderr, "perf buffer failed\n");
        return 3;
    }
    data_t record;
    memset(&record, 0, sizeof(record));
    for (int cpu = 0; cpu < libbpf_num_possible_cpus(); cpu++)
        bpf_map_update_elem(bpf_map__fd(skel->maps.data_map), &cpu, &record, BPF_ANY);
    int err;
    do {
        err = perf_buffer__poll(pb, 100);
    } while (err >= 0 || err == -EINTR);
    fprintf(stderr, "poll failed: %d\n", err);
    return 3;
}
