/* The host's side of a lab pair's meetings: holds both guests' clock ports
 * (QEMU's unix sockets behind a virtio console each), waits until both say
 * "meet NAME", then asks each in turn for its clocks, ROUNDS times, stamping
 * the question and the answer on the host's CLOCK_MONOTONIC, and lets both go
 * on. A guest's stamp lies between the two host stamps, so each round bounds
 * the guest's clock against the host's by half its round trip. Ends when a
 * guest powers off.
 * Usage: lab_clock LOG SOCKET_A SOCKET_B
 * LOG lines: MEETING ROUND GUEST ASKED_NS ANSWERED_NS MONOTONIC_NS REALTIME_NS */
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#define ROUNDS 16
#define CONNECT_LIMIT_S 60

static long long now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

/* QEMU makes the socket as it starts: tries until it is there. */
static int connect_port(const char *path)
{
    struct sockaddr_un sa = {.sun_family = AF_UNIX};
    if (strlen(path) >= sizeof sa.sun_path) {
        fprintf(stderr, "lab_clock: socket path too long: %s\n", path);
        exit(2);
    }
    strcpy(sa.sun_path, path);
    for (int i = 0; i < CONNECT_LIMIT_S * 10; i++) {
        int s = socket(AF_UNIX, SOCK_STREAM, 0);
        if (s < 0) {
            perror("lab_clock: socket");
            exit(1);
        }
        if (connect(s, (struct sockaddr *)&sa, sizeof sa) == 0)
            return s;
        close(s);
        usleep(100000);
    }
    fprintf(stderr, "lab_clock: no guest at %s\n", path);
    exit(1);
}

/* One line, without its newline; 0 when the guest is gone. */
static int read_line(int fd, char *buf, size_t size)
{
    size_t n = 0;
    for (;;) {
        char c;
        ssize_t got = read(fd, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return 0;
        if (c == '\n')
            break;
        if (n + 1 < size)
            buf[n++] = c;
    }
    buf[n] = 0;
    return 1;
}

/* Both guests' "meet NAME" lines, in whichever order they come; 0 once
 * either guest is gone. Ending then closes the ports, so that the other
 * guest's read ends at once instead of waiting for a partner. */
static int await_meeting(const int port[2], char meeting[2][64])
{
    size_t n[2] = {0, 0};
    int done[2] = {0, 0};
    while (!done[0] || !done[1]) {
        struct pollfd fds[2] = {{port[0], done[0] ? 0 : POLLIN, 0}, {port[1], done[1] ? 0 : POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 0;
        }
        for (int g = 0; g < 2; g++) {
            char c;
            if (done[g] || !fds[g].revents)
                continue;
            if (read(port[g], &c, 1) != 1)
                return 0;
            if (c == '\n')
                done[g] = 1;
            else if (n[g] + 1 < 64)
                meeting[g][n[g]++] = c;
            meeting[g][n[g]] = 0;
        }
    }
    return 1;
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fputs("usage: lab_clock LOG SOCKET_A SOCKET_B\n", stderr);
        return 2;
    }
    FILE *log = fopen(argv[1], "w");
    if (!log) {
        perror(argv[1]);
        return 1;
    }
    int port[2] = {connect_port(argv[2]), connect_port(argv[3])};
    char meeting[2][64], answer[64];
    for (;;) {
        if (!await_meeting(port, meeting))
            return 0;
        if (strcmp(meeting[0], meeting[1]) != 0)
            fprintf(stderr, "lab_clock: the guests meet at different places: %s, %s\n", meeting[0], meeting[1]);
        const char *name = strncmp(meeting[0], "meet ", 5) == 0 ? meeting[0] + 5 : meeting[0];
        /* Each round asks the two in the other order. */
        for (int r = 0; r < ROUNDS; r++) {
            for (int i = 0; i < 2; i++) {
                int g = r % 2 ? 1 - i : i;
                long long asked = now_ns();
                if (write(port[g], "t", 1) != 1 || !read_line(port[g], answer, sizeof answer))
                    return 0;
                long long answered = now_ns();
                fprintf(log, "%s %d %c %lld %lld %s\n", name, r, "ab"[g], asked, answered, answer);
            }
        }
        fflush(log);
        for (int g = 0; g < 2; g++)
            if (write(port[g], "e", 1) != 1)
                return 0;
    }
}
