# The scenarios run inside the lab guest (sourced by /init, busybox sh).
# Each phase works in /tmp (the monitor syncs every row, cheap on tmpfs) and
# is copied to /mnt/results, the share the host reads after power-off.

RESULTS=/mnt/results
MONITOR=/usr/sbin/vn_bpf_net_monitor
ERROR_LOG=/var/vorna-helmsight/monitor/vn_bpf_net_monitor/vn_bpf_net_monitor_err.log
HOST_A=198.18.0.1 HOST_B=198.18.0.2    # root namespace (veth0), peer namespace (veth1)
OTHER_A=198.18.1.1 OTHER_B=198.18.1.2  # a second pair on the same link, the one -H leaves out
UDP_PORT=5301 TCP_PORT=5302 DROP_PORT=5304 OTHER_PORT=5399 CLOSED_PORT=5305 REJECT_PORT=5306
# The drops phase: SYNs Debian's iptables (nft) drops, UDP a native nft chain
# drops, a SYN to a closed port, a receiver that does not read.
NFT_TCP_PORT=5307 NFT_UDP_PORT=5308 CLOSED_TCP_PORT=5309 HOLD_PORT=5310
NFT_UDP_SIZES="31 32" HOLD_SIZES="101 102 103 104 105 106 107 108"
UDP_SIZES="11 22 33 44" OTHER_SIZES="55 66" DROP_SIZES="45 56"
TCP_REQUEST=100 TCP_REPLY=300
BIG_SIZE=3000 RR_PING_ID=4321   # a datagram larger than the link's MTU; a ping with IP options
HOST_A6=2001:db8::1 HOST_B6=2001:db8::2
# The NIC pair: fixed MACs given to QEMU, addresses of a subnet of their own.
NIC_MAC_A=52:54:00:12:34:01 NIC_MAC_B=52:54:00:12:34:02 NIC_HOST_A=198.18.2.1 NIC_HOST_B=198.18.2.2

# The kernel functions the monitor probes: the kernel's own kprobe tracer
# counts their calls in every phase, a second witness of which ones run.
PROBED="udp_rcv udp_v4_early_demux icmp_rcv tcp_queue_rcv __inet_lookup_listener
  tcp_rcv_established tcp_v4_do_rcv tcp_v4_rcv ip_output ip_finish_output ip_finish_output2
  ip_rcv_finish ip_local_deliver_finish ip_local_deliver ip_rcv __dev_queue_xmit raw_rcv skb_gro_receive
  dev_hard_start_xmit __netif_receive_skb_one_core __netif_receive_skb napi_gro_receive gro_receive_skb
  ipt_do_table nft_do_chain raw_rcv veth_xmit loopback_xmit br_handle_frame br_forward ip_forward
  ip_forward_finish ipv6_rcv ip6_rcv_finish ip6_input ip6_input_finish ip6_output ip6_finish_output
  ip6_finish_output2 tcp_v6_rcv tcp_v6_do_rcv udpv6_rcv icmpv6_rcv rawv6_rcv inet6_lookup_listener ip6_forward
  tcp_conn_request tcp_v4_syn_recv_sock tcp_check_req tcp_timewait_state_process __skb_gso_segment ip_defrag
  ip6t_do_table"
TRACEFS=/sys/kernel/tracing

status() { echo "lab: $*" > /dev/console; echo "== $*"; }

in_peer() { nsenter -t "$PEER_PID" -n "$@"; }

# What a phase is about to wait for, with the uptime, in guest.log on the
# share as it happens: should a guest hang, the last line tells where, and
# the log's growth tells the host that the guest still moves.
progress() { echo "$(cut -d' ' -f1 /proc/uptime) $*"; }

# Runs one traffic step and logs it with its exit status.
step() {
  progress "$*"
  echo "+ $*" >> "$DIR/steps.log"
  "$@" >> "$DIR/steps.log" 2>&1
  echo "= $?" >> "$DIR/steps.log"
}

# Addresses and link state of one end of the pair; $1 is the command that
# runs in its namespace (empty for the root namespace).
configure_end() {
  run=$1 dev=$2
  shift 2
  for a in "$@"; do $run ip addr add "$a/24" dev "$dev"; done
  $run ip link set lo up
  $run ip link set "$dev" up
}

pin_neighbours() {
  arp -s $HOST_B "$MAC_B"; arp -s $OTHER_B "$MAC_B"
  in_peer arp -s $HOST_A "$MAC_A"; in_peer arp -s $OTHER_A "$MAC_A"
}

# Test hosts: a veth pair between the root namespace and a peer namespace held
# by a sleeping process. No IPv6 and fixed neighbours, so that no frame other
# than the scenario's own crosses the link.
setup_hosts() {
  sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
  unshare -n sleep 1000000 &
  PEER_PID=$!
  while [ "$(readlink /proc/$PEER_PID/ns/net)" = "$(readlink /proc/self/ns/net)" ]; do usleep 50000; done
  in_peer sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
  # busybox ip cannot name the peer: the kernel calls the pair veth0 and veth1.
  ip link add type veth
  ip link set veth1 netns "$PEER_PID"
  configure_end "" veth0 $HOST_A $OTHER_A
  configure_end in_peer veth1 $HOST_B $OTHER_B
  MAC_A=$(cat /sys/class/net/veth0/address)
  MAC_B=$(in_peer ip link show veth1 | sed -n 's/.*link\/ether \([0-9a-f:]*\).*/\1/p')
  pin_neighbours
  KERNEL=$(uname -r) MACHINE=$(uname -m) CPUS=$(grep -c ^processor /proc/cpuinfo)
  DEV_A=veth0 DEV_B=veth1
  # What the host-side checks need to know about this run.
  for v in KERNEL MACHINE CPUS HOST_A HOST_B OTHER_A OTHER_B MAC_A MAC_B DEV_A DEV_B \
           UDP_PORT TCP_PORT DROP_PORT OTHER_PORT CLOSED_PORT REJECT_PORT UDP_SIZES OTHER_SIZES DROP_SIZES \
           TCP_REQUEST TCP_REPLY BIG_SIZE RR_PING_ID HOST_A6 HOST_B6 \
           NFT_TCP_PORT NFT_UDP_PORT CLOSED_TCP_PORT HOLD_PORT NFT_UDP_SIZES HOLD_SIZES; do
    eval "echo \"$v=\$$v\""
  done > "$RESULTS/hosts.env"
}

# The independent witness: tcpdump on the root end of the pair (and on any
# other interface named, as IFACE.pcap; peer:IFACE captures in the peer,
# PID:IFACE in the namespace of process PID).
start_capture() {
  CAPTURE_PIDS=
  for dev in ${CAPTURE_DEV:-veth0} "$@"; do
    run=
    # nsenter execs tcpdump in place: $! is tcpdump's own pid, as kill needs.
    case $dev in
      peer:*) dev=${dev#peer:} run="nsenter -t $PEER_PID -n" ;;
      *:*) run="nsenter -t ${dev%%:*} -n" dev=${dev#*:} ;;
    esac
    : > "$DIR/tcpdump-$dev.stderr"
    $run tcpdump -i "$dev" -n -U -Z root -w "$DIR/$dev.pcap" 2> "$DIR/tcpdump-$dev.stderr" &
    CAPTURE_PIDS="$CAPTURE_PIDS $!"
    n=0
    until grep -q "listening on" "$DIR/tcpdump-$dev.stderr"; do
      n=$((n + 1)); [ $n -lt 200 ] || { status "tcpdump on $dev did not start"; return 1; }
      usleep 100000
    done
  done
}

stop_capture() {
  for pid in $CAPTURE_PIDS; do
    progress "stop capture $pid"
    kill -INT "$pid"
    wait "$pid"
  done
}

# A monitor without -o writes its trace to NAME.stdout, with -o to the file
# named there; either way its exit status lands in NAME.status.
start_monitor() {
  name=$1; shift
  echo "$*" > "$DIR/$name.args"
  "$MONITOR" "$@" > "$DIR/$name.stdout" 2> "$DIR/$name.stderr" &
  echo $! > "$DIR/$name.pid"
  MONITORS="$MONITORS $name"
}

# The perf buffer's epoll descriptor appears after the probes are attached;
# the per-CPU records are seeded right after it.
wait_ready() {
  pid=$(cat "$DIR/$1.pid")
  n=0
  while [ $n -lt 900 ]; do
    kill -0 "$pid" 2>/dev/null || { status "monitor $1 ended before tracing"; return 1; }
    if ls -l "/proc/$pid/fd" 2>/dev/null | grep -q eventpoll; then return 0; fi
    usleep 200000
    n=$((n + 1))
  done
  status "monitor $1 not ready after 180 s"
  return 1
}

wait_monitors_ready() {
  started=$(cut -d' ' -f1 /proc/uptime)
  for m in $MONITORS; do wait_ready "$m"; done
  echo "monitors ready: from $started s to $(cut -d' ' -f1 /proc/uptime) s of uptime" >> "$DIR/steps.log"
  sleep 1
}

# The write calls the monitors named have made so far, failed ones too (a
# row lost on a full file system is still a call).
write_calls() {
  for m in "$@"; do
    grep '^syscw:' "/proc/$(cat "$DIR/$m.pid")/io" 2>/dev/null
  done | tr '\n' ' '
}

# Returns once the monitors named have made no write for a second: the rows
# of every packet sent so far are handled. Under emulation a monitor can lag
# well behind the packets, so a fixed sleep is not enough.
await_quiet() {
  progress "await quiet $*"
  last=$(write_calls "$@") n=0
  while [ $n -lt 60 ]; do
    sleep 1
    now=$(write_calls "$@")
    [ "$now" = "$last" ] && return 0
    last=$now n=$((n + 1))
  done
  status "monitors $* still writing after 60 s"
}

# The monitors are told to stop at once: each one's exit waits on the kernel
# as it detaches its probes, and these waits overlap.
stop_monitors() {
  await_quiet $MONITORS
  for m in $MONITORS; do
    pid=$(cat "$DIR/$m.pid")
    if kill -0 "$pid" 2>/dev/null; then echo 1 > "$DIR/$m.alive"; else echo 0 > "$DIR/$m.alive"; fi
  done
  progress "stop monitors$MONITORS"
  for m in $MONITORS; do
    kill -TERM "$(cat "$DIR/$m.pid")" 2>/dev/null
  done
  for m in $MONITORS; do
    wait "$(cat "$DIR/$m.pid")"
    echo $? > "$DIR/$m.status"
  done
  progress "monitors stopped"
  MONITORS=
}

# A server in the peer namespace, started in the background; returns once it
# listens so the client never meets a closed port.
serve() {
  log=$DIR/server-$2-$3.log
  in_peer lab_net "$@" > "$log" 2>&1 &
  SERVER_PID=$!
  n=0
  until grep -q listening "$log"; do
    n=$((n + 1)); [ $n -lt 100 ] || return 1
    usleep 50000
  done
}

# Datagrams (TCP: a connection) to the peer at TARGET, HOST_B unless a phase
# names another of its addresses.
udp_exchange() {
  port=$1; shift
  serve udp-recv "$port" $#
  step lab_net udp-send ${TARGET:-$HOST_B} "$port" "$@"
  progress "await server udp $port"
  wait "$SERVER_PID"
  echo "= udp-recv $port: $?" >> "$DIR/steps.log"
}

tcp_exchange() {
  serve tcp-serve "$1" 1 "$3"
  step lab_net tcp-send ${TARGET:-$HOST_B} "$1" "$2" "$3"
  progress "await server tcp $1"
  wait "$SERVER_PID"
  echo "= tcp-serve $1: $?" >> "$DIR/steps.log"
  await_closed "$1"
}

# Both processes are gone once their close() returns, but the last ACK of
# the close can still be on its way; over the emulated NICs it may arrive
# after the monitors stopped, captured yet never traced. Waits until no
# socket on the port, on either side (root, the peer, and the namespaces of
# the processes named after it), awaits a segment of the close (FIN_WAIT1,
# FIN_WAIT2, CLOSING, LAST_ACK), over IPv4 or IPv6.
await_closed() {
  progress "await close $1"
  closing=$1 port=$(printf ':%04X' "$1") n=0
  shift
  while [ $n -lt 100 ]; do
    for pid in self $PEER_PID "$@"; do cat "/proc/$pid/net/tcp" "/proc/$pid/net/tcp6"; done |
      awk -v port="$port$" '($2 ~ port || $3 ~ port) && $4 ~ /^(04|05|0B|09)$/ { found = 1 }
                            END { exit !found }' || return 0
    usleep 100000
    n=$((n + 1))
  done
  status "port $closing: the close not finished after 10 s"
}

# Counting only: tracing_on 0 keeps the ring buffer out of it, the hit
# counters of kprobe_profile still run. record-cmd 0: enabling an event would
# otherwise hook sched_switch and sched_wakeup to note task names, and under
# TCG the live patching of those hottest branches is what leaves a vCPU on a
# stray int3 now and then.
start_call_count() {
  [ -d $TRACEFS/events ] || mount -t tracefs tracefs $TRACEFS
  echo 0 > $TRACEFS/tracing_on
  echo 0 > $TRACEFS/options/record-cmd
  for f in $PROBED; do
    echo "p:lab/$f $f" >> $TRACEFS/kprobe_events 2>/dev/null || echo "no kprobe on $f"
  done
  echo 1 > $TRACEFS/events/lab/enable
  # The traffic's time window on the clock the probes stamp rows with.
  cut -d' ' -f1 /proc/uptime > "$DIR/window.txt"
}

stop_call_count() {
  cut -d' ' -f1 /proc/uptime >> "$DIR/window.txt"
  echo 0 > $TRACEFS/events/lab/enable
  cp $TRACEFS/kprobe_profile "$DIR/kprobe_profile.txt"
  echo > $TRACEFS/kprobe_events
}

begin_phase() {
  DIR=/tmp/lab/$1
  MONITORS=
  mkdir -p "$DIR"
  # Each phase's copy of the error log holds its own messages only.
  [ ! -e "$ERROR_LOG" ] || : > "$ERROR_LOG"
  status "phase $1"
  grep ipt_do_table /proc/kallsyms > "$DIR/kallsyms-ipt.txt"
  lsmod > "$DIR/lsmod.txt"
}

end_phase() {
  cp -r "$DIR" "$RESULTS/"
  cp /var/vorna-helmsight/monitor/*/*.log "$RESULTS/$(basename "$DIR")/" 2>/dev/null
  status "phase $(basename "$DIR") done"
}

# Plain path (backlog, ip_rcv), no iptables modules loaded: every kind of
# traffic, the -H, -o and job-control variants side by side on the same packets.
phase_plain() {
  begin_phase plain
  start_capture
  start_monitor icmp -P icmp
  start_monitor icmp_file -P icmp -o "$DIR/icmp_file.trace"
  start_monitor icmp_host -P icmp -H $HOST_B
  start_monitor icmp_stop -P icmp -o "$DIR/icmp_stop.trace"
  start_monitor udp -P udp -p $UDP_PORT
  start_monitor tcp -P tcp -p $TCP_PORT
  wait_monitors_ready
  start_call_count
  step ping -c 3 -i 0.3 $HOST_B
  step in_peer ping -c 2 -i 0.3 $HOST_A
  # Three pings to the other host; icmp_stop is stopped during the second.
  step ping -c 2 -i 0.3 $OTHER_B
  kill -STOP "$(cat "$DIR/icmp_stop.pid")"
  step ping -c 2 -i 0.3 $OTHER_B
  sleep 1
  kill -CONT "$(cat "$DIR/icmp_stop.pid")"
  step ping -c 2 -i 0.3 $OTHER_B
  udp_exchange $UDP_PORT $UDP_SIZES
  udp_exchange $OTHER_PORT $OTHER_SIZES
  tcp_exchange $TCP_PORT $TCP_REQUEST $TCP_REPLY
  tcp_exchange $OTHER_PORT 10 50
  icmp_beyond_echo
  stop_call_count
  stop_monitors
  stop_capture
  end_phase
}

# ICMP that is not a plain echo: an echo request with the record-route
# option (a 60-byte IPv4 header) and the port-unreachable error a datagram
# to a closed port draws.
icmp_beyond_echo() {
  step lab_net ping-rr $HOST_B $RR_PING_ID
  step lab_net udp-send $HOST_B $CLOSED_PORT 20
  sleep 1
}

load_iptables() {
  for ko in $(cat /lib/modules/iptables.order); do insmod "/lib/modules/$ko"; done
  # A table exists in a namespace only once something asks for it.
  iptables-legacy -L -n > /dev/null
  in_peer iptables-legacy -L -n > /dev/null
  in_peer iptables-legacy -A INPUT -p tcp --dport $TCP_PORT -j ACCEPT || status "ACCEPT rule failed"
  in_peer iptables-legacy -A INPUT -p udp --dport $DROP_PORT -j DROP || status "DROP rule failed"
}

# iptables-legacy loaded, an ACCEPT rule and a DROP rule in the peer.
phase_iptables() {
  load_iptables
  begin_phase iptables
  start_capture
  start_monitor icmp -P icmp
  start_monitor tcp -P tcp -p $TCP_PORT
  start_monitor udp -P udp
  wait_monitors_ready
  start_call_count
  step ping -c 2 -i 0.3 $HOST_B
  udp_exchange $UDP_PORT $UDP_SIZES
  # Nothing arrives on the dropped port: the receiver gives up after 3 s.
  export LAB_NET_TIME_LIMIT=3
  udp_exchange $DROP_PORT $DROP_SIZES
  unset LAB_NET_TIME_LIMIT
  tcp_exchange $TCP_PORT $TCP_REQUEST $TCP_REPLY
  stop_call_count
  stop_monitors
  stop_capture
  in_peer iptables-legacy -L INPUT -v -n -x > "$DIR/peer-input-counters.txt"
  end_phase
}

# GRO on both ends (and no TSO on the senders): veth hands packets to NAPI,
# so napi_gro_receive runs and receive takes the list path.
phase_gro() {
  ethtool -K veth0 gro on tso off
  in_peer ethtool -K veth1 gro on tso off
  begin_phase gro
  ethtool -k veth0 > "$DIR/ethtool-veth0.txt"
  start_capture
  start_monitor icmp -P icmp
  start_monitor udp -P udp -p $UDP_PORT
  start_monitor tcp -P tcp -p $TCP_PORT
  wait_monitors_ready
  start_call_count
  step ping -c 3 -i 0.3 $HOST_B
  udp_exchange $UDP_PORT $UDP_SIZES
  tcp_exchange $TCP_PORT $TCP_REQUEST $TCP_REPLY
  stop_call_count
  stop_monitors
  stop_capture
  end_phase
}

# The NIC whose MAC address QEMU was given.
nic_with_mac() {
  for d in /sys/class/net/*; do
    [ "$(cat "$d/address")" = "$1" ] && { basename "$d"; return; }
  done
}

# The second NIC goes to the peer namespace; the two talk through QEMU's hub.
setup_nics() {
  NIC_A=$(nic_with_mac $NIC_MAC_A) NIC_B=$(nic_with_mac $NIC_MAC_B)
  [ -n "$NIC_A" ] && [ -n "$NIC_B" ] || { status "no virtio NICs"; return 1; }
  ip link set "$NIC_B" netns "$PEER_PID"
  configure_end "" "$NIC_A" $NIC_HOST_A
  configure_end in_peer "$NIC_B" $NIC_HOST_B
}

# A real driver's path: the NIC's NAPI poll hands each buffer to GRO before
# any header offset but the link header's is set. GRO on (the driver's
# default) or off (nic_nogro); neighbours left to ARP; the capture on both
# NICs. The same traffic as the veth phases, with iptables loaded.
run_nic_phase() {
  begin_phase $1
  ethtool -K "$NIC_A" gro $2
  in_peer ethtool -K "$NIC_B" gro $2
  ip neigh flush dev "$NIC_A"
  in_peer ip neigh flush dev "$NIC_B"
  ethtool -k "$NIC_B" > "$DIR/ethtool-$NIC_B.txt" 2>&1
  for v in NIC_A NIC_B NIC_HOST_A NIC_HOST_B NIC_MAC_A NIC_MAC_B; do eval "echo \"$v=\$$v\""; done \
    | sed 's/^NIC_//' | sed 's/^A=/DEV_A=/; s/^B=/DEV_B=/' > "$DIR/phase.env"
  CAPTURE_DEV=$NIC_A start_capture "peer:$NIC_B"
  start_monitor icmp -P icmp
  start_monitor udp -P udp
  start_monitor tcp -P tcp -p $TCP_PORT
  wait_monitors_ready
  start_call_count
  step ping -c 3 -i 0.3 $NIC_HOST_B
  TARGET=$NIC_HOST_B
  udp_exchange $UDP_PORT $UDP_SIZES
  export LAB_NET_TIME_LIMIT=3
  udp_exchange $DROP_PORT $DROP_SIZES
  unset LAB_NET_TIME_LIMIT
  tcp_exchange $TCP_PORT $TCP_REQUEST $TCP_REPLY
  TARGET=
  stop_call_count
  stop_monitors
  stop_capture
  end_phase
}

phase_nic() { run_nic_phase nic on; }
phase_nic_nogro() { run_nic_phase nic_nogro off; }

# Frames and calls that must leave no row: IPv6 and ARP on the link, a
# listener lookup without a packet (socket diagnostics); and three that must
# leave the right one: a table walk whose rule answers with a reset (the
# reset's own receive path runs inside the walk, on the same CPU), a
# datagram that leaves in fragments, and a frame whose IPv4 header is one
# word short (no transport fields read from inside it). Runs after the
# iptables phase.
phase_truth() {
  begin_phase truth
  # Back to the backlog path: the loopback device (the reset) takes it too.
  ethtool -K veth0 gro off
  in_peer ethtool -K veth1 gro off
  sysctl -qw net.ipv6.conf.veth0.disable_ipv6=0 net.ipv6.conf.veth0.accept_dad=0
  in_peer sysctl -qw net.ipv6.conf.veth1.disable_ipv6=0 net.ipv6.conf.veth1.accept_dad=0
  ip -6 addr add $HOST_A6/64 dev veth0
  in_peer ip -6 addr add $HOST_B6/64 dev veth1
  # The neighbours are left to ARP from here on.
  arp -d $HOST_B; arp -d $OTHER_B
  in_peer arp -d $HOST_A; in_peer arp -d $OTHER_A
  iptables-legacy -A OUTPUT -p tcp --dport $REJECT_PORT -j REJECT --reject-with tcp-reset \
    || status "REJECT rule failed"
  start_capture lo
  start_monitor icmp -P icmp
  start_monitor udp -P udp -p $UDP_PORT
  start_monitor udp_all -P udp
  start_monitor tcp -P tcp
  wait_monitors_ready
  start_call_count
  step ping -c 2 -i 0.3 $HOST_B
  step ping6 -c 3 -i 0.3 $HOST_B6
  step in_peer ping6 -c 2 -i 0.3 $HOST_A6
  step in_peer arp -d $HOST_A
  step in_peer ping -c 1 $HOST_A
  serve udp-recv $UDP_PORT 1
  step lab_net udp-send $HOST_B $UDP_PORT $BIG_SIZE
  wait "$SERVER_PID"
  echo "= udp-recv $UDP_PORT: $?" >> "$DIR/steps.log"
  step lab_net ihl4 veth0 "$MAC_A" "$MAC_B" $HOST_A $HOST_B
  step lab_net tcp-send $HOST_B $REJECT_PORT 10 0
  serve tcp-serve $TCP_PORT 1 $TCP_REPLY
  step in_peer lab_net diag $HOST_B $TCP_PORT $HOST_A
  step in_peer lab_net diag $HOST_B $TCP_PORT $HOST_A
  step lab_net tcp-send $HOST_B $TCP_PORT $TCP_REQUEST $TCP_REPLY
  wait "$SERVER_PID"
  step in_peer lab_net diag $HOST_B $TCP_PORT $HOST_A
  sleep 1
  stop_call_count
  stop_monitors
  stop_capture
  iptables-legacy -D OUTPUT -p tcp --dport $REJECT_PORT -j REJECT --reject-with tcp-reset
  # The later phases count their rows: back to a quiet link.
  sysctl -qw net.ipv6.conf.veth0.disable_ipv6=1
  in_peer sysctl -qw net.ipv6.conf.veth1.disable_ipv6=1
  pin_neighbours
  end_phase
}

# Debian's default iptables (the nft backend) with a DROP rule for SYNs and a
# native nft table of its own dropping UDP, in the peer, beside the legacy
# rules the earlier phases left.
load_nftables() {
  for ko in $(cat /lib/modules/nftables.order); do insmod "/lib/modules/$ko"; done
  iptables -V > "$DIR/iptables-version.txt" 2>&1
  in_peer iptables -A INPUT -p tcp --dport $NFT_TCP_PORT -j DROP || status "iptables (nft) DROP rule failed"
  in_peer nft add table inet fw && in_peer nft add chain inet fw in '{ type filter hook input priority 0; }' &&
    in_peer nft add rule inet fw in udp dport $NFT_UDP_PORT drop || status "nft table failed"
}

# A capture and one unfiltered monitor per protocol; calls counted once all are ready.
trace_every_protocol() {
  start_capture
  start_monitor icmp -P icmp
  start_monitor tcp -P tcp
  start_monitor udp -P udp
  wait_monitors_ready
  start_call_count
}

# Where packets stop and why: the two nft drops, a SYN and a datagram to
# closed ports (the peer answers with a reset and a port unreachable), and a
# receiver whose buffer is full. The kernel tells each drop at kfree_skb.
phase_drops() {
  begin_phase drops
  load_nftables
  lsmod > "$DIR/lsmod.txt"
  in_peer nft list ruleset > "$DIR/ruleset.txt" 2>&1
  trace_every_protocol
  step ping -c 2 -i 0.3 $HOST_B
  # Nothing answers the dropped SYN: the client gives up after 3 s.
  export LAB_NET_TIME_LIMIT=3
  step lab_net tcp-send $HOST_B $NFT_TCP_PORT 10 0
  udp_exchange $NFT_UDP_PORT $NFT_UDP_SIZES
  unset LAB_NET_TIME_LIMIT
  step lab_net tcp-send $HOST_B $CLOSED_TCP_PORT 10 0
  step lab_net udp-send $HOST_B $CLOSED_PORT 21
  in_peer lab_net udp-hold $HOLD_PORT 2 > "$DIR/held.log" 2>&1 &
  hold=$!
  n=0
  until grep -q listening "$DIR/held.log" || [ $n -ge 100 ]; do usleep 50000; n=$((n + 1)); done
  step lab_net udp-send $HOST_B $HOLD_PORT $HOLD_SIZES
  progress "await the held datagrams"
  wait $hold
  sleep 1
  stop_call_count
  stop_monitors
  stop_capture
  end_phase
}

# A CPU taken offline: /proc/cpuinfo then lists CPUs 0 and 2, yet CPU 2
# runs probes as before. Traffic pinned to it must show.
phase_cpus() {
  begin_phase cpus
  echo 0 > /sys/devices/system/cpu/cpu1/online || status "CPU 1 stays online"
  grep ^processor /proc/cpuinfo > "$DIR/cpuinfo.txt"
  start_capture
  start_monitor icmp -P icmp
  wait_monitors_ready
  start_call_count
  step taskset -c 2 ping -c 3 -i 0.3 $HOST_B
  stop_call_count
  stop_monitors
  stop_capture
  echo 1 > /sys/devices/system/cpu/cpu1/online
  end_phase
}

# make demo: one monitor with the user's arguments writing straight onto the
# share, where the host shows it as it grows; a little traffic of each kind.
run_demo() {
  DIR=/tmp/lab/demo
  MONITORS=
  mkdir -p "$DIR"
  load_iptables
  echo "$LAB_ARGS" > "$DIR/demo.args"
  # shellcheck disable=SC2086  # the arguments are meant to be split
  "$MONITOR" $LAB_ARGS > "$RESULTS/demo.trace" 2> "$RESULTS/demo.stderr" &
  echo $! > "$DIR/demo.pid"
  MONITORS=demo
  wait_monitors_ready
  status "tracing with: $LAB_ARGS"
  case " $LAB_ARGS " in
  *" -6 "* | *:*)
    # IPv6 as the truth phase has it: on, without duplicate address detection to wait for.
    sysctl -qw net.ipv6.conf.veth0.disable_ipv6=0 net.ipv6.conf.veth0.accept_dad=0
    in_peer sysctl -qw net.ipv6.conf.veth1.disable_ipv6=0 net.ipv6.conf.veth1.accept_dad=0
    ip -6 addr add $HOST_A6/64 dev veth0
    in_peer ip -6 addr add $HOST_B6/64 dev veth1
    step ping -6 -c 3 -i 0.5 $HOST_B6
    ;;
  *)
    step ping -c 3 -i 0.5 $HOST_B
    udp_exchange $UDP_PORT 16 32
    tcp_exchange $TCP_PORT 64 128
    ;;
  esac
  stop_monitors
  cp "$DIR/steps.log" "$DIR/demo.status" "$RESULTS/"
}

# The fault, traffic, busy, containers, ipv6 and pair phases live in their own files.
. /lab/faults.sh
. /lab/traffic.sh
. /lab/busy.sh
. /lab/containers.sh
. /lab/ipv6.sh
. /lab/pair.sh

run_lab() {
  . "$RESULTS/lab.conf"
  echo "lab: kernel $(uname -r) on $(uname -m), $(grep -c ^processor /proc/cpuinfo) CPUs"
  # One guest of two, with a NIC of its own and no namespaces.
  if [ "$LAB_MODE" = pair ]; then
    run_pair
    return
  fi
  setup_hosts > "$RESULTS/setup.log" 2>&1
  setup_nics >> "$RESULTS/setup.log" 2>&1
  if [ "$LAB_MODE" = demo ]; then
    run_demo > "$RESULTS/guest.log" 2>&1
    return
  fi
  # bench/guest_bench.sh, added to the initramfs by the bench alone.
  if [ "$LAB_MODE" = bench ]; then
    . /lab/guest_bench.sh
    run_bench > "$RESULTS/guest.log" 2>&1
    return
  fi
  for phase in $LAB_PHASES; do
    "phase_$phase" >> "$RESULTS/guest.log" 2>&1
  done
}
