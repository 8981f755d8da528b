/* Traffic for the lab guest: a TCP listener and client and a UDP sender and
 * receiver, because busybox nc speaks no UDP, an echo request with IP
 * options, which busybox ping cannot send, a frame whose IPv4 header the
 * kernel rejects, a receiver that does not read, a socket-diagnostic lookup,
 * an idle connection kept alive, a multicast stream and its two receivers,
 * datagrams with a source address that is not the sender's,
 * and the bench's UDP load and its sink. Every call is bounded in time by
 * alarm(), so a lost packet ends the tool instead of the boot. Also the
 * meeting of a pair's two guests through the host, where each tells its
 * clocks. The TCP and UDP commands speak IPv6 too (an IPv6 HOST, or the
 * servers tcp-serve6 and udp-recv6), beside an IPv6 echo of known fields. */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <netinet/ether.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <netinet/ip.h>
#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>
#include <netinet/tcp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define TIME_LIMIT_S 20

static void die(const char *what)
{
    perror(what);
    exit(1);
}

static struct sockaddr_in address(const char *host, const char *port)
{
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((unsigned short)atoi(port));
    if (host == NULL)
        sa.sin_addr.s_addr = htonl(INADDR_ANY);
    else if (inet_pton(AF_INET, host, &sa.sin_addr) != 1) {
        fprintf(stderr, "bad address %s\n", host);
        exit(2);
    }
    return sa;
}

/* An IPv4 or IPv6 socket address, for the TCP and UDP commands. */
struct endpoint {
    union {
        struct sockaddr any;
        struct sockaddr_in in;
        struct sockaddr_in6 in6;
    } sa;
    socklen_t len;
};

/* HOST:PORT of either family, told by the text (an IPv6 address has a
 * colon); HOST NULL is the unspecified address of FAMILY. */
static struct endpoint endpoint_of(const char *host, const char *port, int family)
{
    struct endpoint e;
    memset(&e, 0, sizeof e);
    if (host ? strchr(host, ':') == NULL : family == AF_INET) {
        e.sa.in = address(host, port);
        e.len = sizeof e.sa.in;
        return e;
    }
    e.sa.in6.sin6_family = AF_INET6;
    e.sa.in6.sin6_port = htons((unsigned short)atoi(port));
    e.sa.in6.sin6_addr = in6addr_any;
    if (host != NULL && inet_pton(AF_INET6, host, &e.sa.in6.sin6_addr) != 1) {
        fprintf(stderr, "bad address %s\n", host);
        exit(2);
    }
    e.len = sizeof e.sa.in6;
    return e;
}

static void send_bytes(int fd, size_t n)
{
    char buf[4096];
    memset(buf, 'x', sizeof buf);
    while (n > 0) {
        ssize_t w = write(fd, buf, n < sizeof buf ? n : sizeof buf);
        if (w < 0)
            die("write");
        n -= (size_t)w;
    }
}

/* Accepts COUNT connections one after another; on each reads the request,
 * answers REPLY bytes and closes after the client has closed. */
/* A socket of FAMILY and TYPE, or the end of the program. */
static int new_socket(int family, int type)
{
    int s = socket(family, type, 0);
    if (s < 0)
        die("socket");
    return s;
}

/* A socket of TYPE bound to E; address reuse lets a phase rebind a port
 * the previous one left in TIME_WAIT. An IPv6 socket takes IPv6 alone. */
static int bound_endpoint(int type, const struct endpoint *e)
{
    int one = 1;
    int s = new_socket(e->sa.any.sa_family, type);
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (e->sa.any.sa_family == AF_INET6)
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (bind(s, &e->sa.any, e->len) < 0)
        die("bind");
    return s;
}

static int bound_socket(int type, const struct sockaddr_in *sa)
{
    struct endpoint e;
    e.sa.in = *sa;
    e.len = sizeof *sa;
    return bound_endpoint(type, &e);
}

/* Traffic only ever goes to the lab's own test hosts (198.18.0.0/15). */
static int is_test_address(const struct sockaddr_in *sa)
{
    return (ntohl(sa->sin_addr.s_addr) & 0xfffe0000u) == 0xc6120000u;
}

/* ... and, over IPv6, to the documentation prefix 2001:db8::/32. */
static int is_test_address6(const struct in6_addr *a)
{
    static const unsigned char documentation[4] = {0x20, 0x01, 0x0d, 0xb8};
    return memcmp(a, documentation, sizeof documentation) == 0;
}

static int is_test_endpoint(const struct endpoint *e)
{
    if (e->sa.any.sa_family == AF_INET6)
        return is_test_address6(&e->sa.in6.sin6_addr);
    return is_test_address(&e->sa.in);
}

/* Refuses (exit 2) a destination outside the lab, or one the route reaches
 * from an address outside it: only the lab's own namespaces hold such an
 * address, so on any other machine nothing is ever sent. A connected UDP
 * socket asks the kernel for the route without sending a packet. */
static void require_test_endpoint(const struct endpoint *e)
{
    struct endpoint local;
    local.len = sizeof local.sa;
    int s = socket(e->sa.any.sa_family, SOCK_DGRAM, 0);
    int ok = s >= 0 && is_test_endpoint(e) && connect(s, &e->sa.any, e->len) == 0 &&
             getsockname(s, &local.sa.any, &local.len) == 0 && is_test_endpoint(&local);
    if (s >= 0)
        close(s);
    if (!ok) {
        char text[INET6_ADDRSTRLEN] = "?";
        const void *a = e->sa.any.sa_family == AF_INET6 ? (const void *)&e->sa.in6.sin6_addr
                                                        : (const void *)&e->sa.in.sin_addr;
        inet_ntop(e->sa.any.sa_family, a, text, sizeof text);
        fprintf(stderr, "%s is not a lab test host reached from one\n", text);
        exit(2);
    }
}

static void require_test_route(const struct sockaddr_in *sa)
{
    struct endpoint e;
    e.sa.in = *sa;
    e.len = sizeof *sa;
    require_test_endpoint(&e);
}

static int tcp_serve(char **argv, int family)
{
    struct endpoint e = endpoint_of(NULL, argv[0], family);
    int count = atoi(argv[1]);
    size_t reply = (size_t)atoi(argv[2]);
    int s = bound_endpoint(SOCK_STREAM, &e);
    if (listen(s, 4) < 0)
        die("listen");
    printf("listening\n");
    fflush(stdout);
    for (int i = 0; i < count; i++) {
        char buf[4096];
        int c = accept(s, NULL, NULL);
        if (c < 0)
            die("accept");
        ssize_t got = read(c, buf, sizeof buf);
        if (got < 0)
            die("read");
        send_bytes(c, reply);
        while ((got = read(c, buf, sizeof buf)) > 0) {
        }
        close(c);
        printf("served %d\n", i + 1);
        fflush(stdout);
    }
    return 0;
}

/* Connects, sends REQUEST bytes, reads the whole answer until the server
 * closes, prints how much came back. */
static int tcp_send(char **argv)
{
    struct endpoint e = endpoint_of(argv[0], argv[1], AF_INET);
    require_test_endpoint(&e);
    size_t request = (size_t)atoi(argv[2]);
    size_t expect = (size_t)atoi(argv[3]);
    size_t total = 0;
    char buf[4096];
    int s = new_socket(e.sa.any.sa_family, SOCK_STREAM);
    if (connect(s, &e.sa.any, e.len) < 0)
        die("connect");
    send_bytes(s, request);
    while (total < expect) {
        ssize_t got = read(s, buf, sizeof buf);
        if (got <= 0)
            break;
        total += (size_t)got;
    }
    close(s);
    printf("received %zu\n", total);
    return total == expect ? 0 : 1;
}

/* Sends one datagram per SIZE argument, each with that many payload bytes. */
static int udp_send(int argc, char **argv)
{
    struct endpoint e = endpoint_of(argv[0], argv[1], AF_INET);
    require_test_endpoint(&e);
    char buf[8192]; /* more than a link's MTU: the datagram leaves in fragments */
    int s = new_socket(e.sa.any.sa_family, SOCK_DGRAM);
    memset(buf, 'u', sizeof buf);
    for (int i = 2; i < argc; i++) {
        size_t n = (size_t)atoi(argv[i]);
        if (n > sizeof buf)
            n = sizeof buf;
        if (sendto(s, buf, n, 0, &e.sa.any, e.len) < 0)
            die("sendto");
        usleep(50000);
    }
    return 0;
}

/* Receives up to COUNT datagrams and prints each size; the time limit ends
 * it when fewer arrive (for example when a rule drops them). */
static int udp_recv(char **argv, int family)
{
    struct endpoint e = endpoint_of(NULL, argv[0], family);
    int count = atoi(argv[1]);
    char buf[8192];
    int s = bound_endpoint(SOCK_DGRAM, &e);
    printf("listening\n");
    fflush(stdout);
    for (int i = 0; i < count; i++) {
        ssize_t got = recv(s, buf, sizeof buf, 0);
        if (got < 0)
            die("recv");
        printf("datagram %zd\n", got);
        fflush(stdout);
    }
    return 0;
}

/* A receiver that does not read: SO_RCVBUF as small as the kernel allows,
 * so the datagrams beyond the first few find the buffer full. After SECONDS
 * it reads what the kernel kept and prints each size: the datagrams that
 * were delivered. */
static int udp_hold(char **argv)
{
    struct sockaddr_in sa = address(NULL, argv[0]);
    int seconds = atoi(argv[1]), smallest = 1;
    char buf[8192];
    int s = bound_socket(SOCK_DGRAM, &sa);
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
    printf("listening\n");
    fflush(stdout);
    sleep((unsigned)seconds);
    ssize_t got;
    while ((got = recv(s, buf, sizeof buf, MSG_DONTWAIT)) >= 0)
        printf("datagram %zd\n", got);
    return 0;
}

/* One echo request carrying the record-route option (a 60-byte IPv4
 * header), identifier ID; waits for its reply. */
static int ping_record_route(char **argv)
{
    struct sockaddr_in sa = address(argv[0], "0");
    require_test_route(&sa);
    unsigned char options[40] = {IPOPT_RR, 39, 4}; /* 9 empty slots, then end of list */
    struct icmphdr req;
    unsigned char reply[512];
    int s = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (s < 0)
        die("socket");
    if (setsockopt(s, IPPROTO_IP, IP_OPTIONS, options, sizeof options) < 0)
        die("IP_OPTIONS");
    memset(&req, 0, sizeof req);
    req.type = ICMP_ECHO;
    req.un.echo.id = htons((unsigned short)atoi(argv[1]));
    req.un.echo.sequence = htons(1);
    /* The checksum of a header without payload: the one's complement sum. */
    uint32_t sum = (ICMP_ECHO << 8) + ntohs(req.un.echo.id) + 1;
    sum = (sum & 0xffff) + (sum >> 16);
    req.checksum = htons((unsigned short)~sum);
    if (sendto(s, &req, sizeof req, 0, (struct sockaddr *)&sa, sizeof sa) < 0)
        die("sendto");
    for (;;) {
        ssize_t got = recv(s, reply, sizeof reply, 0);
        if (got < 0)
            die("recv");
        size_t ihl = (reply[0] & 0xf) * 4u;
        struct icmphdr *icmp = (struct icmphdr *)(reply + ihl);
        if ((size_t)got >= ihl + sizeof *icmp && icmp->type == ICMP_ECHOREPLY && icmp->un.echo.id == req.un.echo.id) {
            printf("echo reply, IPv4 header %zu bytes\n", ihl);
            return 0;
        }
    }
}

/* COUNT ICMPv6 echo requests to HOST, identifier ID, sequence 1 to COUNT,
 * 0.3 s apart, each awaiting its reply: an echo whose fields the lab
 * knows (busybox ping takes its identifier from its process id). The
 * kernel computes an ICMPv6 raw socket's checksum. */
static int ping6(char **argv)
{
    struct endpoint e = endpoint_of(argv[0], "0", AF_INET6);
    require_test_endpoint(&e);
    unsigned short id = (unsigned short)atoi(argv[1]);
    int count = atoi(argv[2]);
    int s = socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6);
    if (s < 0)
        die("socket");
    for (int seq = 1; seq <= count; seq++) {
        struct icmp6_hdr req, reply;
        memset(&req, 0, sizeof req);
        req.icmp6_type = ICMP6_ECHO_REQUEST;
        req.icmp6_id = htons(id);
        req.icmp6_seq = htons((unsigned short)seq);
        if (seq > 1)
            usleep(300000);
        if (sendto(s, &req, sizeof req, 0, &e.sa.any, e.len) < 0)
            die("sendto");
        do {
            if (recv(s, &reply, sizeof reply, 0) < (ssize_t)sizeof reply)
                die("recv");
        } while (reply.icmp6_type != ICMP6_ECHO_REPLY || reply.icmp6_id != req.icmp6_id ||
                 reply.icmp6_seq != req.icmp6_seq);
        printf("echo reply id %u seq %d\n", id, seq);
    }
    return 0;
}

/* FRAME out of DEV from SMAC to DMAC through a packet socket, its Ethernet
 * header written here: nothing of it is built or checked by the IP layer. */
static void send_frame(const char *dev, const struct ether_addr *smac, const struct ether_addr *dmac,
                       unsigned short ethertype, unsigned char *frame, size_t len)
{
    struct sockaddr_ll ll;
    memcpy(frame, dmac, 6);
    memcpy(frame + 6, smac, 6);
    frame[12] = (unsigned char)(ethertype >> 8);
    frame[13] = (unsigned char)ethertype;
    memset(&ll, 0, sizeof ll);
    ll.sll_family = AF_PACKET;
    ll.sll_protocol = htons(ethertype);
    ll.sll_ifindex = (int)if_nametoindex(dev);
    ll.sll_halen = 6;
    memcpy(ll.sll_addr, dmac, 6);
    if (ll.sll_ifindex == 0)
        die("if_nametoindex");
    int s = socket(AF_PACKET, SOCK_RAW, 0);
    if (s < 0)
        die("socket");
    if (sendto(s, frame, len, 0, (struct sockaddr *)&ll, sizeof ll) != (ssize_t)len)
        die("sendto");
    close(s);
}

/* One Ethernet frame out of DEV from SMAC to DMAC carrying an IPv4 header
 * of four words (IHL 4, one less than the least there is), TCP from SRC to
 * DST, then 20 bytes that would pass for a TCP header. Sent as it is through
 * a packet socket: the IP layer would never build it, and the receiver's
 * ip_rcv drops it. */
static int send_ihl4(char **argv)
{
    struct sockaddr_in src = address(argv[3], "0"), dst = address(argv[4], "0");
    struct ether_addr smac, dmac;
    unsigned char frame[14 + 40];
    require_test_route(&dst);
    if (!is_test_address(&src) || !ether_aton_r(argv[1], &smac) || !ether_aton_r(argv[2], &dmac)) {
        fprintf(stderr, "bad address\n");
        return 2;
    }
    memset(frame, 0, sizeof frame);
    unsigned char *ip = frame + 14;
    ip[0] = 0x44;                /* version 4, four words */
    ip[3] = 40;                  /* total length */
    ip[8] = 64;                  /* TTL */
    ip[9] = IPPROTO_TCP;
    memcpy(ip + 12, &src.sin_addr, 4);
    memcpy(ip + 16, &dst.sin_addr, 4);
    for (int i = 20; i < 40; i++) /* no zero byte: a header read from here shows */
        ip[i] = (unsigned char)(0x11 * (i % 15 + 1));
    send_frame(argv[0], &smac, &dmac, ETH_P_IP, frame, sizeof frame);
    printf("sent a frame with IHL 4\n");
    return 0;
}

/* One Ethernet frame out of DEV from SMAC to DMAC carrying an IPv6 header
 * from SRC to DST (both in 2001:db8::/32, never routed) that the IP layer
 * would never build, sent through a packet socket; the receiver drops it:
 *   chain    nine destination-options headers before a UDP header: longer
 *            than the monitor walks
 *   overrun  a destination-options header whose length runs past the packet
 *   jumbo    a hop-by-hop jumbo payload option, payload length 0, UDP length 0
 *   short    a payload length of 200 bytes over a 12-byte UDP datagram
 * The UDP header, where there is one, is from port 5371 to 5372 with 4
 * bytes of payload. */
static int send_ipv6_odd(char **argv)
{
    struct in6_addr src, dst;
    struct ether_addr smac, dmac;
    unsigned char frame[14 + 40 + 9 * 8 + 12];
    size_t at = 14 + 40;
    const char *kind = argv[5];
    if (inet_pton(AF_INET6, argv[3], &src) != 1 || inet_pton(AF_INET6, argv[4], &dst) != 1 ||
        !is_test_address6(&src) || !is_test_address6(&dst) || !ether_aton_r(argv[1], &smac) ||
        !ether_aton_r(argv[2], &dmac)) {
        fprintf(stderr, "bad address\n");
        return 2;
    }
    memset(frame, 0, sizeof frame);
    unsigned char *ip = frame + 14;
    ip[0] = 0x60;
    ip[7] = 64; /* hop limit */
    memcpy(ip + 8, &src, 16);
    memcpy(ip + 24, &dst, 16);
    unsigned char *next = ip + 6;
    if (strcmp(kind, "chain") == 0) {
        for (int i = 0; i < 9; i++, at += 8) {
            *next = 60; /* destination options: PadN over its 6 bytes */
            frame[at + 2] = 1;
            frame[at + 3] = 4;
            next = frame + at;
        }
    } else if (strcmp(kind, "overrun") == 0) {
        *next = 60;
        frame[at + 1] = 255; /* 2048 bytes, in a packet of 20 */
        frame[at + 2] = 1;
        frame[at + 3] = 4;
        next = frame + at;
        at += 8;
    } else if (strcmp(kind, "jumbo") == 0) {
        *next = 0; /* hop-by-hop: jumbo payload of 20 bytes, which is invalid */
        frame[at + 2] = 0xc2;
        frame[at + 3] = 4;
        frame[at + 7] = 20;
        next = frame + at;
        at += 8;
    } else if (strcmp(kind, "short") != 0) {
        fprintf(stderr, "unknown kind %s\n", kind);
        return 2;
    }
    *next = IPPROTO_UDP;
    unsigned char *udp = frame + at;
    udp[0] = 5371 >> 8, udp[1] = 5371 & 0xff, udp[2] = 5372 >> 8, udp[3] = 5372 & 0xff;
    udp[5] = strcmp(kind, "jumbo") == 0 ? 0 : 12;
    memcpy(udp + 8, "odd!", 4);
    at += 12;
    size_t payload = at - 14 - 40;
    if (strcmp(kind, "jumbo") == 0)
        payload = 0;
    else if (strcmp(kind, "short") == 0)
        payload = 200;
    ip[4] = (unsigned char)(payload >> 8);
    ip[5] = (unsigned char)payload;
    send_frame(argv[0], &smac, &dmac, ETH_P_IPV6, frame, at);
    printf("sent an IPv6 frame: %s\n", kind);
    return 0;
}

/* An exact socket-diagnostic query for the TCP socket at LOCAL:PORT with
 * peer PEER (what `ss` asks the kernel for one socket): the kernel looks
 * the listener up without a packet. */
static int diag_lookup(char **argv)
{
    struct {
        struct nlmsghdr nlh;
        struct inet_diag_req_v2 req;
    } msg;
    char answer[8192];
    int s = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_SOCK_DIAG);
    if (s < 0)
        die("socket");
    memset(&msg, 0, sizeof msg);
    msg.nlh.nlmsg_len = sizeof msg;
    msg.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.nlh.nlmsg_flags = NLM_F_REQUEST;
    msg.req.sdiag_family = AF_INET;
    msg.req.sdiag_protocol = IPPROTO_TCP;
    msg.req.idiag_states = ~0u;
    msg.req.id.idiag_sport = htons((unsigned short)atoi(argv[1]));
    msg.req.id.idiag_dport = htons(40000);
    msg.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (inet_pton(AF_INET, argv[0], &msg.req.id.idiag_src[0]) != 1 ||
        inet_pton(AF_INET, argv[2], &msg.req.id.idiag_dst[0]) != 1) {
        fprintf(stderr, "bad address\n");
        return 2;
    }
    if (send(s, &msg, sizeof msg, 0) < 0)
        die("send");
    ssize_t got = recv(s, answer, sizeof answer, 0);
    if (got < 0)
        die("recv");
    struct nlmsghdr *nlh = (struct nlmsghdr *)answer;
    printf("answer type %u", nlh->nlmsg_type);
    if (nlh->nlmsg_type == NLMSG_ERROR)
        printf(", error %d", ((struct nlmsgerr *)NLMSG_DATA(nlh))->error);
    printf("\n");
    return nlh->nlmsg_type == SOCK_DIAG_BY_FAMILY ? 0 : 1;
}

/* A netfilter queue's message of TYPE for QUEUE in BUF (256 bytes at least). */
static struct nlmsghdr *queue_message(char *buf, uint16_t type, uint16_t queue)
{
    memset(buf, 0, 256);
    struct nlmsghdr *n = (struct nlmsghdr *)buf;
    n->nlmsg_len = NLMSG_LENGTH(sizeof(struct nfgenmsg));
    n->nlmsg_type = (NFNL_SUBSYS_QUEUE << 8) | type;
    n->nlmsg_flags = NLM_F_REQUEST;
    struct nfgenmsg *g = NLMSG_DATA(n);
    g->nfgen_family = AF_UNSPEC;
    g->version = NFNETLINK_V0;
    g->res_id = htons(queue);
    return n;
}

static void put_attribute(struct nlmsghdr *n, uint16_t type, const void *data, size_t len)
{
    struct nlattr *a = (struct nlattr *)((char *)n + NLMSG_ALIGN(n->nlmsg_len));
    a->nla_type = type;
    a->nla_len = (uint16_t)(NLA_HDRLEN + len);
    memcpy((char *)a + NLA_HDRLEN, data, len);
    n->nlmsg_len = NLMSG_ALIGN(n->nlmsg_len) + NLA_ALIGN(a->nla_len);
}

/* The id of a queued packet's message, or -1 for another message. */
static long queued_packet_id(const struct nlmsghdr *m)
{
    if (m->nlmsg_type != ((NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET))
        return -1;
    int left = (int)m->nlmsg_len - (int)NLMSG_LENGTH(NLMSG_ALIGN(sizeof(struct nfgenmsg)));
    const struct nlattr *a = (const struct nlattr *)((const char *)NLMSG_DATA(m) + NLMSG_ALIGN(sizeof(struct nfgenmsg)));
    while (left >= NLA_HDRLEN && a->nla_len >= NLA_HDRLEN && a->nla_len <= left) {
        if ((a->nla_type & NLA_TYPE_MASK) == NFQA_PACKET_HDR &&
            a->nla_len >= NLA_HDRLEN + sizeof(struct nfqnl_msg_packet_hdr)) {
            const struct nfqnl_msg_packet_hdr *h = (const void *)((const char *)a + NLA_HDRLEN);
            return (long)ntohl(h->packet_id);
        }
        left -= NLA_ALIGN(a->nla_len);
        a = (const struct nlattr *)((const char *)a + NLA_ALIGN(a->nla_len));
    }
    return -1;
}

/* Takes netfilter queue QUEUE and answers each packet queued to it with
 * NF_DROP, for SECONDS; prints how many it dropped. */
static int queue_drop(char **argv)
{
    uint16_t queue = (uint16_t)atoi(argv[0]);
    int64_t seconds = atoi(argv[1]), dropped = 0;
    char buf[8192], out[256];
    int s = socket(AF_NETLINK, SOCK_RAW, NETLINK_NETFILTER);
    struct sockaddr_nl local = {.nl_family = AF_NETLINK};
    if (s < 0 || bind(s, (struct sockaddr *)&local, sizeof local) < 0)
        die("netlink");
    struct nlmsghdr *n = queue_message(out, NFQNL_MSG_CONFIG, queue);
    struct nfqnl_msg_config_cmd bind_cmd = {NFQNL_CFG_CMD_BIND, 0, 0};
    put_attribute(n, NFQA_CFG_CMD, &bind_cmd, sizeof bind_cmd);
    struct nfqnl_msg_config_params params = {htonl(0), NFQNL_COPY_META};
    put_attribute(n, NFQA_CFG_PARAMS, &params, sizeof params);
    if (send(s, n, n->nlmsg_len, 0) < 0)
        die("bind queue");
    printf("listening\n");
    fflush(stdout);
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        int64_t left_ms = seconds * 1000 - ((int64_t)(now.tv_sec - start.tv_sec) * 1000 +
                                            (now.tv_nsec - start.tv_nsec) / 1000000);
        struct pollfd pfd = {s, POLLIN, 0};
        if (left_ms <= 0 || poll(&pfd, 1, (int)left_ms) != 1)
            break;
        ssize_t got = recv(s, buf, sizeof buf, 0);
        if (got < 0)
            die("recv");
        int len = (int)got;
        for (struct nlmsghdr *m = (struct nlmsghdr *)buf; NLMSG_OK(m, len); m = NLMSG_NEXT(m, len)) {
            long id = queued_packet_id(m);
            if (id < 0)
                continue;
            struct nlmsghdr *v = queue_message(out, NFQNL_MSG_VERDICT, queue);
            struct nfqnl_msg_verdict_hdr verdict = {htonl(NF_DROP), htonl((uint32_t)id)};
            put_attribute(v, NFQA_VERDICT_HDR, &verdict, sizeof verdict);
            if (send(s, v, v->nlmsg_len, 0) < 0)
                die("verdict");
            dropped++;
        }
    }
    printf("dropped %lld\n", (long long)dropped);
    return 0;
}

/* Listens on PORT with the shortest backlog listen() takes (0: one
 * connection waits) and never accepts; closes after SECONDS. */
static int tcp_full(char **argv)
{
    struct sockaddr_in any = address(NULL, argv[0]);
    int s = bound_socket(SOCK_STREAM, &any);
    if (listen(s, 0) < 0)
        die("listen");
    printf("listening\n");
    fflush(stdout);
    sleep((unsigned)atoi(argv[1]));
    close(s);
    return 0;
}

/* COUNT connects to HOST:PORT at once, none waited for; after SECONDS
 * prints how many the client saw complete, and closes them all. */
static int tcp_connects(char **argv)
{
    struct sockaddr_in sa = address(argv[0], argv[1]);
    require_test_route(&sa);
    int count = atoi(argv[2]), done = 0;
    int s[64];
    if (count < 1 || count > 64)
        count = 64;
    for (int i = 0; i < count; i++) {
        s[i] = new_socket(AF_INET, SOCK_STREAM);
        fcntl(s[i], F_SETFL, O_NONBLOCK);
        if (connect(s[i], (struct sockaddr *)&sa, sizeof sa) < 0 && errno != EINPROGRESS)
            die("connect");
    }
    sleep((unsigned)atoi(argv[3]));
    for (int i = 0; i < count; i++) {
        int err = 1;
        socklen_t len = sizeof err;
        struct pollfd pfd = {s[i], POLLOUT, 0};
        if (poll(&pfd, 1, 0) == 1 && getsockopt(s[i], SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
            done++;
        close(s[i]);
    }
    printf("connected %d\n", done);
    return 0;
}

/* Connects, turns keepalive on with probes after 1 s idle and every 1 s,
 * sends nothing for SECONDS, closes. Each probe is a segment the peer has
 * seen already (one byte before what it expects). */
static int tcp_idle(char **argv)
{
    struct sockaddr_in sa = address(argv[0], argv[1]);
    require_test_route(&sa);
    int one = 1, seconds = atoi(argv[2]);
    int s = new_socket(AF_INET, SOCK_STREAM);
    if (setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) < 0 ||
        setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &one, sizeof one) < 0 ||
        setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &one, sizeof one) < 0)
        die("keepalive");
    if (connect(s, (struct sockaddr *)&sa, sizeof sa) < 0)
        die("connect");
    sleep((unsigned)seconds);
    close(s);
    printf("idle %d s\n", seconds);
    return 0;
}

/* A multicast group of the administratively scoped range (239/8): with a
 * hop limit of 1 it never leaves the link it is sent on. */
static struct sockaddr_in group_address(const char *group, const char *port)
{
    struct sockaddr_in sa = address(group, port);
    if ((ntohl(sa.sin_addr.s_addr) >> 24) != 239) {
        fprintf(stderr, "%s is no 239/8 group\n", group);
        exit(2);
    }
    return sa;
}

/* Sends one datagram per SIZE to GROUP:PORT, hop limit 1, no copy looped
 * back; the route to the group must leave from a lab address. */
static int mcast_send(int argc, char **argv)
{
    struct sockaddr_in sa = group_address(argv[0], argv[1]), local;
    socklen_t local_len = sizeof local;
    unsigned char ttl = 1, loop = 0;
    char buf[1500];
    int s = new_socket(AF_INET, SOCK_DGRAM);
    if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) < 0 ||
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) < 0)
        die("multicast options");
    if (connect(s, (struct sockaddr *)&sa, sizeof sa) < 0 || getsockname(s, (struct sockaddr *)&local, &local_len) < 0)
        die("connect");
    if (!is_test_address(&local)) {
        fprintf(stderr, "the route to %s leaves from %s, no lab address\n", argv[0], inet_ntoa(local.sin_addr));
        return 2;
    }
    memset(buf, 'm', sizeof buf);
    for (int i = 2; i < argc; i++) {
        size_t n = (size_t)atoi(argv[i]);
        if (send(s, buf, n < sizeof buf ? n : sizeof buf, 0) < 0)
            die("send");
        usleep(50000);
    }
    return 0;
}

static int group_member(const struct sockaddr_in *group, const char *interface, int rcvbuf)
{
    struct sockaddr_in any = *group;
    struct ip_mreq mreq;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    int s = bound_socket(SOCK_DGRAM, &any);
    if (rcvbuf > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    mreq.imr_multiaddr = group->sin_addr;
    if (inet_pton(AF_INET, interface, &mreq.imr_interface) != 1)
        die("interface address");
    if (setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0)
        die("IP_ADD_MEMBERSHIP");
    return s;
}

/* Two sockets join GROUP on the interface with address IFADDR and bind its
 * PORT: one reads up to COUNT datagrams (giving up after 3 s without one),
 * the other, with SO_RCVBUF as small as the kernel allows, is not read until
 * then, so its copies find its buffer full. Prints what each got: the
 * datagrams kept for the second are read before it closes, so none is
 * freed unread. */
static int mcast_recv(char **argv)
{
    struct sockaddr_in group = group_address(argv[0], argv[1]);
    int count = atoi(argv[3]), read_n = 0, kept = 0;
    char buf[2048];
    int reader = group_member(&group, argv[2], 0);
    int full = group_member(&group, argv[2], 1);
    printf("listening\n");
    fflush(stdout);
    struct pollfd pfd = {reader, POLLIN, 0};
    while (read_n < count && poll(&pfd, 1, 3000) == 1 && recv(reader, buf, sizeof buf, 0) >= 0)
        read_n++;
    while (recv(full, buf, sizeof buf, MSG_DONTWAIT) >= 0)
        kept++;
    printf("read %d\nkept %d\n", read_n, kept);
    return 0;
}

/* Datagrams from SRC, an address the sender does not have, to DST:PORT, one
 * per SIZE: a raw socket writes the IPv4 header itself (IP_HDRINCL; the
 * kernel fills in the checksum and the identification). No UDP checksum
 * (zero: none computed). */
static int udp_spoof(int argc, char **argv)
{
    struct sockaddr_in src = address(argv[0], "0"), dst = address(argv[1], argv[2]);
    require_test_route(&dst);
    if (!is_test_address(&src)) {
        fprintf(stderr, "%s is no lab address\n", argv[0]);
        return 2;
    }
    int s = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (s < 0)
        die("socket");
    unsigned char packet[1500];
    for (int i = 3; i < argc; i++) {
        size_t n = (size_t)atoi(argv[i]);
        if (n > sizeof packet - 28)
            n = sizeof packet - 28;
        struct iphdr *ip = (struct iphdr *)packet;
        struct udphdr *udp = (struct udphdr *)(packet + sizeof *ip);
        memset(packet, 's', sizeof packet);
        memset(ip, 0, sizeof *ip + sizeof *udp);
        ip->version = 4;
        ip->ihl = 5;
        ip->ttl = 64;
        ip->protocol = IPPROTO_UDP;
        ip->tot_len = htons((unsigned short)(28 + n));
        ip->saddr = src.sin_addr.s_addr;
        ip->daddr = dst.sin_addr.s_addr;
        udp->source = htons(40000);
        udp->dest = dst.sin_port;
        udp->len = htons((unsigned short)(8 + n));
        if (sendto(s, packet, 28 + n, 0, (struct sockaddr *)&dst, sizeof dst) < 0)
            die("sendto");
        usleep(50000);
    }
    return 0;
}

static int64_t now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void sleep_until_ns(int64_t when)
{
    struct timespec ts = {(time_t)(when / 1000000000), (long)(when % 1000000000)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL);
}


/* The bench load: COUNT datagrams of 32 payload bytes, RATE a second (0:
 * as fast as the kernel takes them), paced against absolute deadlines so a
 * late start catches up. Stops at COUNT or after SECONDS, whichever comes
 * first, and prints what went out in how many nanoseconds. */
static int udp_flood(char **argv)
{
    struct sockaddr_in sa = address(argv[0], argv[1]);
    require_test_route(&sa);
    long count = atol(argv[2]);
    int64_t limit = (int64_t)atol(argv[3]) * 1000000000;
    long rate = atol(argv[4]);
    long sent = 0, failed = 0;
    char buf[32];
    int s = new_socket(AF_INET, SOCK_DGRAM);
    if (connect(s, (struct sockaddr *)&sa, sizeof sa) < 0)
        die("connect");
    memset(buf, 'f', sizeof buf);
    int64_t start = now_ns(), now = start;
    while (sent + failed < count && now - start < limit) {
        if (rate > 0) {
            int64_t due = start + (int64_t)((double)(sent + failed) * 1e9 / (double)rate);
            if (due > now)
                sleep_until_ns(due);
        }
        if (send(s, buf, sizeof buf, 0) < 0)
            failed++;
        else
            sent++;
        /* The clock is read once a batch: at full speed it would cost as
         * much as a send under emulation. */
        if (rate > 0 || (sent & 63) == 0)
            now = now_ns();
    }
    now = now_ns();
    printf("sent %ld failed %ld ns %lld\n", sent, failed, (long long)(now - start));
    return 0;
}

/* Reads and counts datagrams until the time limit ends it. */
static int udp_sink(char **argv)
{
    struct sockaddr_in sa = address(NULL, argv[0]);
    int size = 4 << 20;
    char buf[2048];
    int s = bound_socket(SOCK_DGRAM, &sa);
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    printf("listening\n");
    fflush(stdout);
    while (recv(s, buf, sizeof buf, 0) >= 0) {
    }
    die("recv");
    return 1;
}

/* Meets the other guest of a pair through the host on PORT (a virtio
 * console the host holds): says "meet NAME", then answers each "t" with
 * CLOCK_MONOTONIC and CLOCK_REALTIME read as the byte woke it, until the
 * host's "e" lets both go on. The host stamps each "t" and each answer on
 * its own clock: the stamps lie between. */
static int clock_meet(char **argv)
{
    int fd = open(argv[0], O_RDWR);
    if (fd < 0)
        die("open");
    dprintf(fd, "meet %s\n", argv[1]);
    for (;;) {
        char c;
        struct timespec mono, real;
        if (read(fd, &c, 1) != 1)
            die("read");
        clock_gettime(CLOCK_MONOTONIC, &mono);
        clock_gettime(CLOCK_REALTIME, &real);
        if (c == 'e')
            return 0;
        if (c == 't')
            dprintf(fd, "%lld %lld\n", (long long)mono.tv_sec * 1000000000 + mono.tv_nsec,
                    (long long)real.tv_sec * 1000000000 + real.tv_nsec);
    }
}

int main(int argc, char **argv)
{
    const char *usage =
        "usage: lab_net tcp-serve PORT COUNT REPLY_BYTES\n"
        "       lab_net tcp-serve6 PORT COUNT REPLY_BYTES   (IPv6; HOST may be IPv6 anywhere)\n"
        "       lab_net tcp-send HOST PORT REQUEST_BYTES REPLY_BYTES\n"
        "       lab_net udp-send HOST PORT SIZE...\n"
        "       lab_net udp-recv PORT COUNT\n"
        "       lab_net udp-recv6 PORT COUNT\n"
        "       lab_net udp-hold PORT SECONDS\n"
        "       lab_net ping-rr HOST ID\n"
        "       lab_net ping6 HOST ID COUNT\n"
        "       lab_net ihl4 DEV SMAC DMAC SRC DST\n"
        "       lab_net ipv6-odd DEV SMAC DMAC SRC6 DST6 chain|overrun|jumbo|short\n"
        "       lab_net diag LOCAL PORT PEER\n"
        "       lab_net tcp-idle HOST PORT SECONDS\n"
        "       lab_net tcp-full PORT SECONDS\n"
        "       lab_net queue-drop QUEUE SECONDS\n"
        "       lab_net tcp-connects HOST PORT COUNT SECONDS\n"
        "       lab_net mcast-send GROUP PORT SIZE...\n"
        "       lab_net mcast-recv GROUP PORT IFADDR COUNT\n"
        "       lab_net udp-spoof SRC DST PORT SIZE...\n"
        "       lab_net udp-flood HOST PORT COUNT SECONDS RATE\n"
        "       lab_net udp-sink PORT\n"
        "       lab_net clock PORT NAME\n";
    const char *limit = getenv("LAB_NET_TIME_LIMIT");
    alarm(limit ? (unsigned)atoi(limit) : TIME_LIMIT_S);
    if (argc >= 5 && strcmp(argv[1], "tcp-serve") == 0)
        return tcp_serve(argv + 2, AF_INET);
    if (argc >= 5 && strcmp(argv[1], "tcp-serve6") == 0)
        return tcp_serve(argv + 2, AF_INET6);
    if (argc >= 6 && strcmp(argv[1], "tcp-send") == 0)
        return tcp_send(argv + 2);
    if (argc >= 5 && strcmp(argv[1], "udp-send") == 0)
        return udp_send(argc - 2, argv + 2);
    if (argc >= 4 && strcmp(argv[1], "udp-recv") == 0)
        return udp_recv(argv + 2, AF_INET);
    if (argc >= 4 && strcmp(argv[1], "udp-recv6") == 0)
        return udp_recv(argv + 2, AF_INET6);
    if (argc >= 4 && strcmp(argv[1], "udp-hold") == 0)
        return udp_hold(argv + 2);
    if (argc >= 4 && strcmp(argv[1], "ping-rr") == 0)
        return ping_record_route(argv + 2);
    if (argc >= 5 && strcmp(argv[1], "ping6") == 0)
        return ping6(argv + 2);
    if (argc >= 7 && strcmp(argv[1], "ihl4") == 0)
        return send_ihl4(argv + 2);
    if (argc >= 8 && strcmp(argv[1], "ipv6-odd") == 0)
        return send_ipv6_odd(argv + 2);
    if (argc >= 5 && strcmp(argv[1], "diag") == 0)
        return diag_lookup(argv + 2);
    if (argc >= 5 && strcmp(argv[1], "tcp-idle") == 0)
        return tcp_idle(argv + 2);
    if (argc >= 4 && strcmp(argv[1], "tcp-full") == 0)
        return tcp_full(argv + 2);
    if (argc >= 4 && strcmp(argv[1], "queue-drop") == 0)
        return queue_drop(argv + 2);
    if (argc >= 6 && strcmp(argv[1], "tcp-connects") == 0)
        return tcp_connects(argv + 2);
    if (argc >= 5 && strcmp(argv[1], "mcast-send") == 0)
        return mcast_send(argc - 2, argv + 2);
    if (argc >= 6 && strcmp(argv[1], "mcast-recv") == 0)
        return mcast_recv(argv + 2);
    if (argc >= 6 && strcmp(argv[1], "udp-spoof") == 0)
        return udp_spoof(argc - 2, argv + 2);
    if (argc >= 7 && strcmp(argv[1], "udp-flood") == 0)
        return udp_flood(argv + 2);
    if (argc >= 3 && strcmp(argv[1], "udp-sink") == 0)
        return udp_sink(argv + 2);
    if (argc >= 4 && strcmp(argv[1], "clock") == 0)
        return clock_meet(argv + 2);
    fputs(usage, stderr);
    return 2;
}
