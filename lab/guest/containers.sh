# The containers phase (sourced by scenarios.sh, run in the lab guest,
# busybox sh): a container host. A bridge br0 in the root namespace with two
# containers (namespaces, each with its own eth0, a veth whose other end is a
# bridge port), the root namespace routing them to the peer through a
# masquerade, a FORWARD drop and a port forward (DNAT) from the peer to
# container 1. Captures on container 1's eth0 and on the peer's veth1: the
# two sides of the NAT. What each step sent and got is in containers.env.

# Inside 198.18.0.0/15, as lab_net sends only from and to the lab's own hosts.
CT_NET=198.19.88
CT_GATEWAY=$CT_NET.1 CT_HOST_1=$CT_NET.2 CT_HOST_2=$CT_NET.3
CT_TCP_PORT=5321 CT_UDP_PORT=5322 CT_FWD_DROP_PORT=5323 CT_NOFWD_PORT=5324 CT_DNAT_PORT=5325 CT_C2_PORT=5326
CT_UDP_SIZES="23 34 45" CT_NOFWD_SIZE=27 CT_PING_COUNT=3 CT_C2_PING_COUNT=2
CT_TCP_REQUEST=100 CT_TCP_REPLY=300
# The packet's number and namespace in each row.
CT_ROW_FLAGS=-N

ct_record() { echo "$1=$2" >> "$DIR/containers.env"; }

in_ns() { ns_pid=$1; shift; nsenter -t "$ns_pid" -n "$@"; }

netns_inode() { readlink "/proc/$1/ns/net" | sed 's/.*\[\([0-9]*\)\]/\1/'; }

# Loads what is not loaded yet: a phase run alone has had no drops phase.
# (crc32c-intel wants SSE 4.2, which TCG lacks: crc32c_generic serves.)
load_module_list() {
  for ko in $(cat "/lib/modules/$1.order"); do
    grep -q "^${ko%.ko} " /proc/modules || insmod "/lib/modules/$ko" || echo "insmod $ko failed"
  done
}

# A namespace held by a sleeping process, as the peer's, in NS_PID.
new_container_namespace() {
  unshare -n sleep 1000000 &
  NS_PID=$!
  while [ "$(readlink /proc/$NS_PID/ns/net)" = "$(readlink /proc/self/ns/net)" ]; do usleep 50000; done
}

# The kernel names both ends of a new veth pair: the names that were not there before.
new_veth_pair() {
  before=" $(ls /sys/class/net | tr '\n' ' ') "
  ip link add type veth
  for d in $(ls /sys/class/net); do
    case $before in *" $d "*) ;; *) echo "$d" ;; esac
  done
}

# Container PID gets eth0 with ADDRESS, its other end is bridge port PORT.
attach_container() {
  pid=$1 port=$2 address=$3
  in_ns "$pid" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
  set -- $(new_veth_pair)
  ip link set "$1" name "$port"
  ip link set "$2" netns "$pid"
  in_ns "$pid" ip link set "$2" name eth0
  in_ns "$pid" ip addr add "$address/24" dev eth0
  in_ns "$pid" ip link set lo up
  in_ns "$pid" ip link set eth0 up
  in_ns "$pid" ip route add default via $CT_GATEWAY
  ip link set "$port" master br0
  ip link set "$port" up
}

# Root routes the containers out of veth0 under its own address there
# (masquerade), drops what they send to one port (FORWARD) and forwards
# a port of its own to container 1 (DNAT).
load_container_rules() {
  cat > "$DIR/containers.nft" <<EOF
table ip containers {
  chain prerouting {
    type nat hook prerouting priority dstnat;
    iifname "veth0" tcp dport $CT_DNAT_PORT dnat to $CT_HOST_1
  }
  chain postrouting {
    type nat hook postrouting priority srcnat;
    ip saddr $CT_NET.0/24 oifname "veth0" masquerade
  }
  chain forward {
    type filter hook forward priority 0;
    tcp dport $CT_FWD_DROP_PORT drop
  }
}
EOF
  nft -f "$DIR/containers.nft" || status "container nft rules failed"
}

setup_containers() {
  load_module_list iptables
  load_module_list nftables
  load_module_list containers
  sysctl -qw net.ipv6.conf.default.disable_ipv6=1
  # No STP: the ports forward as soon as they are up.
  brctl addbr br0
  ip addr add $CT_GATEWAY/24 dev br0
  ip link set br0 up
  new_container_namespace
  C1_PID=$NS_PID
  new_container_namespace
  C2_PID=$NS_PID
  attach_container "$C1_PID" vc1 $CT_HOST_1
  attach_container "$C2_PID" vc2 $CT_HOST_2
  ct_forward=$(sysctl -n net.ipv4.ip_forward)
  sysctl -qw net.ipv4.ip_forward=1
  load_container_rules
  nft list ruleset > "$DIR/ruleset.txt" 2>&1
  { ip addr; brctl show; in_ns "$C1_PID" ip addr; in_ns "$C2_PID" ip addr; } > "$DIR/topology.txt" 2>&1
  ct_record C1_NETNS "$(netns_inode "$C1_PID")"
  ct_record C2_NETNS "$(netns_inode "$C2_PID")"
  ct_record PEER_NETNS "$(netns_inode "$PEER_PID")"
  ct_record ROOT_NETNS "$(netns_inode self)"
}

teardown_containers() {
  nft delete table ip containers
  sysctl -qw net.ipv4.ip_forward="$ct_forward"
  kill "$C1_PID" "$C2_PID"
  wait "$C1_PID" "$C2_PID" 2> /dev/null
  ip link set br0 down
  brctl delbr br0
}

# A server in the peer, a client in container PID; the connection leaves
# masqueraded and its replies come back to the container.
container_tcp() {
  pid=$1 port=$2
  serve tcp-serve "$port" 1 $CT_TCP_REPLY
  step in_ns "$pid" lab_net tcp-send $HOST_B "$port" $CT_TCP_REQUEST $CT_TCP_REPLY
  progress "await server tcp $port"
  wait "$SERVER_PID"
  echo "= tcp-serve $port: $?" >> "$DIR/steps.log"
  await_closed "$port" "$pid"
}

# The peer connects to root's own address; the DNAT hands it to container 1.
dnat_tcp() {
  log=$DIR/server-dnat.log
  in_ns "$C1_PID" lab_net tcp-serve $CT_DNAT_PORT 1 $CT_TCP_REPLY > "$log" 2>&1 &
  server=$!
  n=0
  until grep -q listening "$log" || [ $n -ge 100 ]; do usleep 50000; n=$((n + 1)); done
  step in_peer lab_net tcp-send $HOST_A $CT_DNAT_PORT $CT_TCP_REQUEST $CT_TCP_REPLY
  wait "$server"
  echo "= tcp-serve dnat $CT_DNAT_PORT: $?" >> "$DIR/steps.log"
  await_closed $CT_DNAT_PORT "$C1_PID"
}

container_traffic() {
  step in_ns "$C1_PID" ping -c $CT_PING_COUNT -i 0.3 $HOST_B
  ct_record PING_RECEIVED "$(sed -n 's/.* \([0-9]*\) packets received.*/\1/p' "$DIR/steps.log" | tail -n 1)"
  container_tcp "$C1_PID" $CT_TCP_PORT
  serve udp-recv $CT_UDP_PORT $(count_of "$CT_UDP_SIZES")
  step in_ns "$C1_PID" lab_net udp-send $HOST_B $CT_UDP_PORT $CT_UDP_SIZES
  wait "$SERVER_PID"
  echo "= udp-recv $CT_UDP_PORT: $?" >> "$DIR/steps.log"
  # Nothing answers the SYN the FORWARD chain drops.
  export LAB_NET_TIME_LIMIT=2
  step in_ns "$C1_PID" lab_net tcp-send $HOST_B $CT_FWD_DROP_PORT 10 0
  unset LAB_NET_TIME_LIMIT
  # Forwarding off: root refuses to route the datagram (ip_error).
  sysctl -qw net.ipv4.ip_forward=0
  step in_ns "$C1_PID" lab_net udp-send $HOST_B $CT_NOFWD_PORT $CT_NOFWD_SIZE
  usleep 300000
  sysctl -qw net.ipv4.ip_forward=1
  dnat_tcp
  step in_ns "$C2_PID" ping -c $CT_C2_PING_COUNT -i 0.3 $HOST_B
  container_tcp "$C2_PID" $CT_C2_PORT
}

phase_containers() {
  begin_phase containers
  : > "$DIR/containers.env"
  for v in CT_HOST_1 CT_HOST_2 CT_GATEWAY CT_TCP_PORT CT_UDP_PORT CT_FWD_DROP_PORT CT_NOFWD_PORT CT_DNAT_PORT \
           CT_C2_PORT CT_UDP_SIZES CT_NOFWD_SIZE CT_PING_COUNT CT_C2_PING_COUNT CT_TCP_REQUEST CT_TCP_REPLY; do
    eval "ct_record $v \"\$$v\""
  done
  setup_containers
  lsmod > "$DIR/lsmod.txt"
  # The two sides of the NAT: container 1's eth0 and the peer's veth1.
  echo "DEV_A=eth0" > "$DIR/phase.env"
  echo "DEV_B=veth1" >> "$DIR/phase.env"
  CAPTURE_DEV="$C1_PID:eth0" start_capture peer:veth1
  start_monitor tcp $CT_ROW_FLAGS -P tcp
  start_monitor udp $CT_ROW_FLAGS -P udp
  start_monitor icmp $CT_ROW_FLAGS -P icmp
  start_monitor tcp_c1 $CT_ROW_FLAGS -P tcp -H $CT_HOST_1
  start_monitor tcp_plain -P tcp
  wait_monitors_ready
  start_call_count
  container_traffic
  sleep 1
  stop_call_count
  stop_monitors
  stop_capture
  teardown_containers
  end_phase
}
