# The pair phase (sourced by scenarios.sh): this guest is one of two, side a
# or b (lab.conf names it, its name and its peer's), each with one virtio NIC,
# the two joined by a QEMU link of their own. Each runs the monitor on its
# NIC's traffic and captures it; the two wait for each other at meetings the
# host holds on each guest's clock port, where it reads both clocks.

PAIR_HOST_A=198.18.4.1 PAIR_HOST_B=198.18.4.2
PAIR_MAC_A=52:54:00:12:35:01 PAIR_MAC_B=52:54:00:12:35:02
PAIR_UDP_SIZES="12 23 34" PAIR_LOST_PINGS=20

# The virtio console the host named "clock".
clock_port() {
  for d in /sys/class/virtio-ports/*; do
    [ "$(cat "$d/name" 2>/dev/null)" = clock ] && { echo "/dev/$(basename "$d")"; return; }
  done
}

# Waits at the meeting NAME until the other guest is there too; meanwhile
# the host reads both guests' clocks. The other may still be booting.
meet() {
  progress "meet $1"
  LAB_NET_TIME_LIMIT=300 lab_net clock "$CLOCK_PORT" "$1" || status "meeting $1 failed"
}

# One NIC, its address, the other guest's MAC pinned: no ARP or IPv6 on
# the link but the scenario's own packets.
setup_pair() {
  # A pair's guest has no peer namespace: what the phases run there (serve,
  # await_closed) runs on the guest itself.
  in_peer() { "$@"; }
  for ko in $(cat /lib/modules/pair.order); do insmod "/lib/modules/$ko"; done
  CLOCK_PORT=$(clock_port)
  [ -n "$CLOCK_PORT" ] || status "no clock port"
  sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
  if [ "$LAB_PAIR_SIDE" = a ]; then
    SELF=$PAIR_HOST_A PEER=$PAIR_HOST_B SELF_MAC=$PAIR_MAC_A PEER_MAC=$PAIR_MAC_B
  else
    SELF=$PAIR_HOST_B PEER=$PAIR_HOST_A SELF_MAC=$PAIR_MAC_B PEER_MAC=$PAIR_MAC_A
  fi
  NIC=$(nic_with_mac $SELF_MAC)
  [ -n "$NIC" ] || { status "no virtio NIC"; return 1; }
  configure_end "" "$NIC" $SELF
  arp -s $PEER $PEER_MAC
  KERNEL=$(uname -r) MACHINE=$(uname -m) CPUS=$(grep -c ^processor /proc/cpuinfo)
  for v in KERNEL MACHINE CPUS LAB_PAIR_SIDE LAB_PAIR_NAME LAB_PAIR_PEER NIC SELF PEER SELF_MAC PEER_MAC \
           UDP_PORT TCP_PORT DROP_PORT PAIR_UDP_SIZES DROP_SIZES TCP_REQUEST TCP_REPLY PAIR_LOST_PINGS; do
    eval "echo \"$v=\$$v\""
  done > "$RESULTS/hosts.env"
}

# Traffic both ways (ICMP, UDP; a TCP exchange from a to b; datagrams from a
# that b's rule drops), then a ping stream from a during which b sets its
# NIC down: those echo requests leave a and never arrive, while b goes on
# tracing.
phase_pair() {
  begin_phase pair
  if [ "$LAB_PAIR_SIDE" = b ]; then
    for ko in $(cat /lib/modules/iptables.order); do insmod "/lib/modules/$ko"; done
    iptables-legacy -A INPUT -p udp --dport $DROP_PORT -j DROP || status "DROP rule failed"
  fi
  echo "DEV_A=$NIC" > "$DIR/phase.env"
  CAPTURE_DEV=$NIC start_capture
  start_monitor icmp -P icmp
  start_monitor udp -P udp
  start_monitor tcp -P tcp -p $TCP_PORT
  wait_monitors_ready
  start_call_count
  meet traced
  serve udp-recv $UDP_PORT $(echo $PAIR_UDP_SIZES | wc -w)
  LISTENERS=$SERVER_PID
  if [ "$LAB_PAIR_SIDE" = b ]; then
    serve tcp-serve $TCP_PORT 1 $TCP_REPLY
    LISTENERS="$LISTENERS $SERVER_PID"
  fi
  meet listening
  step ping -c 3 -i 0.3 $PEER
  step lab_net udp-send $PEER $UDP_PORT $PAIR_UDP_SIZES
  if [ "$LAB_PAIR_SIDE" = a ]; then
    step lab_net tcp-send $PEER $TCP_PORT $TCP_REQUEST $TCP_REPLY
    step lab_net udp-send $PEER $DROP_PORT $DROP_SIZES
  fi
  for pid in $LISTENERS; do
    progress "await listener $pid"
    wait "$pid"
    echo "= listener $pid: $?" >> "$DIR/steps.log"
  done
  await_closed $TCP_PORT
  meet exchanged
  if [ "$LAB_PAIR_SIDE" = a ]; then
    step ping -c $PAIR_LOST_PINGS -i 0.2 $PEER
  else
    sleep 1
    step ip link set "$NIC" down
  fi
  meet lost
  # The receiver's monitor still traces after the stream: its own loopback
  # pings show it, so "never seen" there is what the traces say.
  [ "$LAB_PAIR_SIDE" = a ] || step ping -c 2 -i 0.3 127.0.0.1
  stop_call_count
  stop_monitors
  stop_capture
  cat "/sys/class/net/$NIC/operstate" > "$DIR/link.txt"
  end_phase
  meet done
}

run_pair() {
  setup_pair > "$RESULTS/setup.log" 2>&1
  phase_pair > "$RESULTS/guest.log" 2>&1
}
