# The traffic phase (sourced by scenarios.sh, run in the lab guest, busybox
# sh): what real programs do to the packet path, each step's own outcome and
# the kernel's counters in both namespaces before and after, against which
# the reader's endings are held. About 35 s of guest time.

HTTP_PORT=5311 IDLE_PORT=5312 MCAST_PORT=5313 NOROUTE_PORT=5314 NOFWD_PORT=5315 MARTIAN_PORT=5316
NETDEV_DROP_PORT=5317 INGRESS_DROP_PORT=5318 JUMP_DROP_PORT=5319 MCAST_IDLE_PORT=5320 FULL_PORT=5321
# nft queues datagrams to these to a program that drops them, and to a
# queue no program takes.
QUEUE_DROP_PORT=5322 QUEUE_NONE_PORT=5323
FULL_CONNECTS=4
MCAST_GROUP=239.18.0.1
# On veth0's link, and nobody's: ARP for it is never answered.
NEIGH_HOST=198.18.0.99 NEIGH_PINGS=2
# Routed from the root namespace through the peer, which has no route for
# the first and forwards nothing to the second; a source the peer routes to
# its loopback device, so strict reverse-path filtering refuses it on veth1.
NOROUTE_HOST=198.18.5.1 NOFWD_HOST=198.18.6.1 MARTIAN_SOURCE=198.18.3.77
PING_COUNT=3 FETCH_KIB=200 IDLE_SECONDS=3
MCAST_SIZES="61 62 63 64 65 66 67 68 69 70 71 72" DROPPED_SIZES="41 42 43"
# Datagrams to a closed port while the fetch runs: drops told in softirq
# while process-context probes fire on the same CPUs.
FLOOD_SIZES="$(seq 80 109 | tr '\n' ' ')"
LONG_CHAIN=lab_long_chain_name_user
WWW=/tmp/www

# What a step sent and got, for the checks.
record() { echo "$1=$2" >> "$DIR/traffic.env"; }

count_of() { set -- $1; echo $#; }

# /proc/net/snmp and /proc/net/netstat of both namespaces (busybox has no
# nstat, and these are what it reads).
snapshot_counters() {
  for ns in root peer; do
    run=
    [ $ns = root ] || run=in_peer
    $run cat /proc/net/snmp > "$DIR/snmp-$ns-$1.txt"
    $run cat /proc/net/netstat > "$DIR/netstat-$ns-$1.txt"
  done
}

# Returns once a TCP socket listens on PORT in the peer.
await_listening() {
  port=$(printf ':%04X' "$1") n=0
  until in_peer cat /proc/net/tcp | awk -v port="$port$" '$2 ~ port && $4 == "0A" { f = 1 } END { exit !f }'; do
    n=$((n + 1)); [ $n -lt 100 ] || { status "nothing listens on $1"; return 1; }
    usleep 50000
  done
}

# a: busybox ping reads the replies on a raw socket.
traffic_ping() {
  step ping -c $PING_COUNT -i 0.3 $HOST_B
  record PING_RECEIVED "$(sed -n 's/.* \([0-9]*\) packets received.*/\1/p' "$DIR/steps.log" | tail -n 1)"
}

# Pings to an address on the link nobody has: the neighbour output holds
# them until ARP gives up (3 s), then frees them (NEIGH_FAILED) and tells
# the sender its host is unreachable, over the loopback device. Neither
# reaches the wire: the checks know them by NEIGH_HOST in phase.env.
traffic_unanswered_neighbour() {
  echo "NEIGH_HOST=$NEIGH_HOST" >> "$DIR/phase.env"
  step ping -c $NEIGH_PINGS -w 5 $NEIGH_HOST
  record NEIGH_SENT "$(sed -n 's/^\([0-9]*\) packets transmitted.*/\1/p' "$DIR/steps.log" | tail -n 1)"
}

# b: a file fetched over HTTP, the connection closed by both ends.
traffic_fetch() {
  mkdir -p $WWW
  dd if=/dev/zero of=$WWW/file bs=1024 count=$FETCH_KIB 2> /dev/null
  in_peer httpd -f -p $HOST_B:$HTTP_PORT -h $WWW &
  httpd=$!
  await_listening $HTTP_PORT
  lab_net udp-send $HOST_B $CLOSED_PORT $FLOOD_SIZES > "$DIR/flood.log" 2>&1 &
  flood=$!
  step wget -q -O /tmp/fetched http://$HOST_B:$HTTP_PORT/file
  wait "$flood"
  record FETCHED_BYTES "$(wc -c < /tmp/fetched)"
  rm -f /tmp/fetched
  kill "$httpd"
  wait "$httpd"
  await_closed $HTTP_PORT
}

# c: an idle connection kept alive: the peer sees each probe as a segment it
# has had already.
traffic_keepalive() {
  serve tcp-serve $IDLE_PORT 1 0
  step lab_net tcp-idle $HOST_B $IDLE_PORT $IDLE_SECONDS
  wait "$SERVER_PID"
  await_closed $IDLE_PORT
}

# d: two sockets of the peer joined to a group; the one that is not read
# keeps a few copies, the kernel drops the rest (Udp RcvbufErrors).
traffic_multicast() {
  ip route add 224.0.0.0/4 dev veth0
  log=$DIR/multicast.log
  in_peer lab_net mcast-recv $MCAST_GROUP $MCAST_PORT $HOST_B "$(count_of "$MCAST_SIZES")" > "$log" 2>&1 &
  receiver=$!
  n=0
  until grep -q listening "$log" || [ $n -ge 100 ]; do usleep 50000; n=$((n + 1)); done
  # To the group, on a port no socket of it holds, while the group is
  # joined (the receiver leaves once it has read its own): Udp IgnoredMulti.
  step lab_net mcast-send $MCAST_GROUP $MCAST_IDLE_PORT $DROPPED_SIZES
  step lab_net mcast-send $MCAST_GROUP $MCAST_PORT $MCAST_SIZES
  wait $receiver
  record MCAST_READ "$(sed -n 's/^read //p' "$log")"
  record MCAST_KEPT "$(sed -n 's/^kept //p' "$log")"
  ip route del 224.0.0.0/4 dev veth0
}

# A listener that never accepts, its backlog 0 (one connection waits), and
# connects at once: the others' SYNs and handshakes' last ACKs find its
# accept queue full (TcpExt ListenOverflows, ListenDrops), each retried.
# The listener closes first, resetting the connection that waited, so no
# segment of it is left queued unread.
traffic_accept_queue() {
  log=$DIR/full.log
  in_peer lab_net tcp-full $FULL_PORT 2 > "$log" 2>&1 &
  server=$!
  n=0
  until grep -q listening "$log" || [ $n -ge 100 ]; do usleep 50000; n=$((n + 1)); done
  step lab_net tcp-connects $HOST_B $FULL_PORT $FULL_CONNECTS 3
  wait $server
}

# From here on kptr_restrict=2: the kernel shows no code addresses, and a
# monitor started now (udp_kptr) must still name the code of every drop of
# the routing and nft steps that follow.
hide_kernel_addresses() {
  kptr=$(cat /proc/sys/kernel/kptr_restrict)
  sysctl -qw kernel.kptr_restrict=2
  start_monitor udp_kptr -P udp
  wait_ready udp_kptr
  sleep 1
}

# e, f, g: routed through a peer that has no route (IpExt InNoRoutes), that
# forwards nothing (Ip InAddrErrors), and from a source it routes elsewhere
# (TcpExt IPReversePathFilter).
traffic_routing() {
  ip route add ${NOROUTE_HOST%.*}.0/24 via $HOST_B
  ip route add ${NOFWD_HOST%.*}.0/24 via $HOST_B
  forward=$(in_peer sysctl -n net.ipv4.ip_forward)
  in_peer sysctl -qw net.ipv4.ip_forward=1
  step lab_net udp-send $NOROUTE_HOST $NOROUTE_PORT $DROPPED_SIZES
  in_peer sysctl -qw net.ipv4.ip_forward=0
  step lab_net udp-send $NOFWD_HOST $NOFWD_PORT $DROPPED_SIZES
  in_peer sysctl -qw net.ipv4.ip_forward="$forward"
  ip route del ${NOROUTE_HOST%.*}.0/24
  ip route del ${NOFWD_HOST%.*}.0/24
  rp_all=$(in_peer sysctl -n net.ipv4.conf.all.rp_filter) rp_dev=$(in_peer sysctl -n net.ipv4.conf.veth1.rp_filter)
  in_peer ip route add ${MARTIAN_SOURCE%.*}.0/24 dev lo
  in_peer sysctl -qw net.ipv4.conf.all.rp_filter=1 net.ipv4.conf.veth1.rp_filter=1
  step lab_net udp-spoof $MARTIAN_SOURCE $HOST_B $MARTIAN_PORT $DROPPED_SIZES
  in_peer sysctl -qw net.ipv4.conf.all.rp_filter="$rp_all" net.ipv4.conf.veth1.rp_filter="$rp_dev"
  in_peer ip route del ${MARTIAN_SOURCE%.*}.0/24 dev lo
}

# h: nft drops at the ingress hooks of the netdev and the inet family, and
# in a regular chain with a long name that the input base chain jumps to.
# Each rule counts what it drops. Seen too by the monitor started under
# kptr_restrict=2, which ends here.
load_nft_chains() {
  in_peer nft add table netdev edge
  in_peer nft add chain netdev edge ingress '{ type filter hook ingress device veth1 priority 0; }'
  in_peer nft add rule netdev edge ingress udp dport $NETDEV_DROP_PORT counter drop ||
    status "netdev ingress chain failed"
  in_peer nft add table inet lab
  if in_peer nft add chain inet lab early '{ type filter hook ingress device veth1 priority 0; }' &&
     in_peer nft add rule inet lab early udp dport $INGRESS_DROP_PORT counter drop; then
    record INET_INGRESS 1
  else
    echo "this kernel's nft takes no inet ingress chain: port $INGRESS_DROP_PORT not dropped" >> "$DIR/steps.log"
    record INET_INGRESS 0
  fi
  in_peer nft add chain inet lab input '{ type filter hook input priority 0; }'
  in_peer nft add chain inet lab $LONG_CHAIN
  in_peer nft add rule inet lab $LONG_CHAIN udp dport $JUMP_DROP_PORT counter drop
  in_peer nft add rule inet lab input udp dport $JUMP_DROP_PORT jump $LONG_CHAIN || status "jump chain failed"
  in_peer nft add rule inet lab input udp dport $QUEUE_DROP_PORT counter queue num 7 || status "queue rule failed"
  in_peer nft add rule inet lab input udp dport $QUEUE_NONE_PORT counter queue num 8
}

traffic_nft() {
  load_nft_chains
  log=$DIR/queue.log
  in_peer lab_net queue-drop 7 4 > "$log" 2>&1 &
  queue=$!
  n=0
  until grep -q listening "$log" || [ $n -ge 100 ]; do usleep 50000; n=$((n + 1)); done
  for port in $NETDEV_DROP_PORT $INGRESS_DROP_PORT $JUMP_DROP_PORT $QUEUE_DROP_PORT $QUEUE_NONE_PORT; do
    step lab_net udp-send $HOST_B $port $DROPPED_SIZES
  done
  wait $queue
  record QUEUE_DROPPED "$(sed -n 's/^dropped //p' "$log")"
  await_quiet udp_kptr
  finish_monitor udp_kptr
  MONITORS=${MONITORS% udp_kptr}
  sysctl -qw kernel.kptr_restrict="$kptr"
  in_peer nft list ruleset > "$DIR/nft-ruleset.txt" 2>&1
  in_peer nft delete table netdev edge
  in_peer nft delete table inet lab
}

phase_traffic() {
  begin_phase traffic
  : > "$DIR/traffic.env"
  for v in HTTP_PORT IDLE_PORT MCAST_PORT MCAST_IDLE_PORT FULL_PORT QUEUE_DROP_PORT QUEUE_NONE_PORT FULL_CONNECTS NEIGH_HOST NEIGH_PINGS NOROUTE_PORT NOFWD_PORT MARTIAN_PORT NETDEV_DROP_PORT \
           INGRESS_DROP_PORT JUMP_DROP_PORT MCAST_GROUP NOROUTE_HOST NOFWD_HOST MARTIAN_SOURCE \
           PING_COUNT FETCH_KIB MCAST_SIZES DROPPED_SIZES LONG_CHAIN; do
    eval "record $v \"\$$v\""
  done
  # As the drops phase leaves them, before any monitor starts: a monitor
  # names only the functions of the modules loaded when it started.
  grep -q '^nf_tables ' /proc/modules ||
    for ko in $(cat /lib/modules/iptables.order /lib/modules/nftables.order); do insmod "/lib/modules/$ko"; done
  # veth's own default, which the gro phase turned off: the fetch crosses
  # in a few large frames, not in 150 of them, whose rows would overflow
  # the monitors' rings under emulation.
  tso_a=$(ethtool -k veth0 | sed -n 's/^tcp-segmentation-offload: \([a-z]*\).*/\1/p')
  tso_b=$(in_peer ethtool -k veth1 | sed -n 's/^tcp-segmentation-offload: \([a-z]*\).*/\1/p')
  ethtool -K veth0 tso on
  in_peer ethtool -K veth1 tso on
  in_peer ethtool -k veth1 > "$DIR/ethtool-veth1.txt"
  trace_every_protocol
  snapshot_counters before
  traffic_ping
  traffic_unanswered_neighbour
  traffic_fetch
  traffic_keepalive
  traffic_multicast
  traffic_accept_queue
  hide_kernel_addresses
  traffic_routing
  traffic_nft
  sleep 1
  snapshot_counters after
  stop_call_count
  stop_monitors
  stop_capture
  ethtool -K veth0 tso "$tso_a"
  in_peer ethtool -K veth1 tso "$tso_b"
  end_phase
}
