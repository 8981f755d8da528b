/* Makes a program's epoll wait fail for real, on demand, for the lab guest.
 *
 * Usage: lab_fault TRIGGER LOG PROGRAM [ARG...]
 *
 * Runs PROGRAM (exec'd in this very process, so its pid is the one the
 * caller started) under a seccomp filter that hands each of its epoll waits
 * and closes to a supervisor child. The supervisor lets every call through
 * until the file TRIGGER exists; the first epoll wait after that returns
 * EBADF without being run, the others go on as before. From then
 * on it logs to LOG every descriptor the program closes, with the path it
 * named, so the caller can see what the program's exit path released.
 *
 * Seccomp's user notification, not ptrace, because a ptraced process cannot
 * run LeakSanitizer's check at exit, and that check is what the lab wants to
 * see after the failure. */
#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
#define LAB_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define LAB_AUDIT_ARCH AUDIT_ARCH_AARCH64
#else
#error "lab_fault knows x86_64 and aarch64 only"
#endif

static void die(const char *what)
{
    perror(what);
    exit(125);
}

static int is_epoll_wait(long nr)
{
#ifdef __NR_epoll_wait
    if (nr == __NR_epoll_wait)
        return 1;
#endif
    return nr == __NR_epoll_pwait || nr == __NR_epoll_pwait2;
}

/* epoll_wait exists on x86_64 only; aarch64's C library waits with
 * epoll_pwait. Both, and epoll_pwait2, go to the supervisor, as does close. */
static int install_filter(void)
{
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, LAB_AUDIT_ARCH, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
#ifdef __NR_epoll_wait
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_epoll_wait, 4, 0),
#else
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_epoll_pwait, 4, 0),
#endif
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_epoll_pwait, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_epoll_pwait2, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
    };
    struct sock_fprog prog = {(unsigned short)(sizeof code / sizeof code[0]), code};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        die("prctl");
    int fd = (int)syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &prog);
    if (fd < 0)
        die("seccomp");
    return fd;
}

/* One byte of data carries the descriptor in its control message. */
union fd_control {
    struct cmsghdr h;
    char buf[CMSG_SPACE(sizeof(int))];
};

static struct msghdr fd_message(struct iovec *iov, union fd_control *control)
{
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    memset(control, 0, sizeof *control);
    msg.msg_iov = iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control->buf;
    msg.msg_controllen = sizeof control->buf;
    return msg;
}

static void send_fd(int sock, int fd)
{
    char data = 0;
    struct iovec iov = {&data, 1};
    union fd_control control;
    struct msghdr msg = fd_message(&iov, &control);
    struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
    if (sendmsg(sock, &msg, 0) != 1)
        die("sendmsg");
}

static int receive_fd(int sock)
{
    char data;
    struct iovec iov = {&data, 1};
    union fd_control control;
    struct msghdr msg = fd_message(&iov, &control);
    if (recvmsg(sock, &msg, 0) != 1)
        die("recvmsg");
    struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
    if (!c || c->cmsg_type != SCM_RIGHTS)
        die("no descriptor received");
    int fd;
    memcpy(&fd, CMSG_DATA(c), sizeof fd);
    return fd;
}

/* Answers every call of the program until no task uses the filter any more
 * (the program has ended). It must outlive the program: with the listener
 * gone, a filtered call would fail with ENOSYS. */
static int supervise(int listener, const char *trigger, FILE *log)
{
    struct seccomp_notif_sizes sizes;
    if (syscall(SYS_seccomp, SECCOMP_GET_NOTIF_SIZES, 0, &sizes) != 0)
        die("seccomp sizes");
    struct seccomp_notif *req = calloc(1, sizes.seccomp_notif);
    struct seccomp_notif_resp *resp = calloc(1, sizes.seccomp_notif_resp);
    if (!req || !resp)
        die("calloc");
    long waits = 0;
    int failed = 0;
    for (;;) {
        struct pollfd p = {listener, POLLIN, 0};
        if (poll(&p, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            die("poll");
        }
        if (!(p.revents & POLLIN))
            break; /* POLLHUP: the program and every task it made are gone */
        memset(req, 0, sizes.seccomp_notif);
        if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, req) != 0) {
            if (errno == EINTR || errno == ENOENT)
                continue;
            die("receive");
        }
        memset(resp, 0, sizes.seccomp_notif_resp);
        resp->id = req->id;
        resp->flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        if (is_epoll_wait(req->data.nr)) {
            waits++;
            if (!failed && access(trigger, F_OK) == 0) {
                resp->flags = 0;
                resp->error = -EBADF;
                failed = 1;
                fprintf(log, "failed epoll wait %ld with EBADF\n", waits);
                fflush(log);
            }
        } else if (failed) {
            /* The program is held in its close until the answer: the
             * descriptor still names what it had open. */
            char link[64], target[4096];
            snprintf(link, sizeof link, "/proc/%u/fd/%d", req->pid, (int)req->data.args[0]);
            ssize_t n = readlink(link, target, sizeof target - 1);
            target[n < 0 ? 0 : n] = 0;
            fprintf(log, "close %d %s\n", (int)req->data.args[0], target);
            fflush(log);
        }
        if (ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, resp) != 0 && errno != ENOENT)
            die("send");
    }
    fprintf(log, "ended after %ld epoll waits\n", waits);
    return failed ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fputs("usage: lab_fault TRIGGER LOG PROGRAM [ARG...]\n", stderr);
        return 2;
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        die("socketpair");
    pid_t child = fork();
    if (child < 0)
        die("fork");
    if (child == 0) {
        close(sv[0]);
        FILE *log = fopen(argv[2], "w");
        if (!log)
            die(argv[2]);
        int listener = receive_fd(sv[1]);
        close(sv[1]);
        /* Keep nothing of the program's standard descriptors open: its
         * output files end with it. */
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        return supervise(listener, argv[1], log);
    }
    close(sv[1]);
    int listener = install_filter();
    /* From here every close waits for the supervisor, which has the
     * listener once this message is through. */
    send_fd(sv[0], listener);
    close(listener);
    close(sv[0]);
    execvp(argv[3], argv + 3);
    die(argv[3]);
}
