# The ipv6 phase (sourced by scenarios.sh, run in the lab guest, busybox
# sh): IPv6 on the veth pair, on the NIC pair and through a bridge and
# root's forwarding from a container, under -6 monitors and one IPv4
# monitor of a port only IPv6 reaches. Neighbours are left to NDP. What
# each step sent is in ipv6.env.

# Prefixes of their own inside 2001:db8::/32 (lab_net sends to no other),
# apart from the truth phase's 2001:db8::/64.
V6_NET=2001:db8:6
V6_HOST_A=$V6_NET:1::1 V6_HOST_B=$V6_NET:1::2          # veth0, veth1
V6_NIC_HOST_A=$V6_NET:2::1 V6_NIC_HOST_B=$V6_NET:2::2  # the NICs
V6_BRIDGE=$V6_NET:3::1 V6_CT_HOST=$V6_NET:3::2          # br6, the container's ct0
V6_TCP_PORT=5331 V6_UDP_PORT=5332 V6_DROP_PORT=5333 V6_NFT_PORT=5334 V6_CLOSED_TCP_PORT=5335
V6_CLOSED_UDP_PORT=5336 V6_NOTICE_PORT=5337 V6_CT_PORT=5338 V6_NIC_UDP_PORT=5339
V6_PING_ID_A=6001 V6_PING_ID_B=6002 V6_PING_ID_NIC=6003 V6_PING_ID_CT=6004
V6_PING_COUNT=3 V6_UDP_SIZES="12 24 36" V6_DROP_SIZES="46 57" V6_BIG_SIZE=3000 V6_CLOSED_SIZE=21
V6_TCP_REQUEST=100 V6_TCP_REPLY=300
# Frames no IP layer builds, each from a source of its own (see lab_net ipv6-odd).
V6_ODD_KINDS="chain overrun jumbo short" V6_ODD_SOURCE=$V6_NET:1::a

v6_record() { echo "$1=$2" >> "$DIR/ipv6.env"; }

# IPv6 on DEV (run in a namespace by RUN), ADDRESS/64 without duplicate
# detection (busybox ip knows no nodad: accept_dad 0 does it), no router
# solicitations: the only NDP is neighbours' own.
v6_enable() {
  run=$1 dev=$2 address=$3
  $run sysctl -qw "net.ipv6.conf.$dev.accept_dad=0" "net.ipv6.conf.$dev.router_solicitations=0" \
    "net.ipv6.conf.$dev.disable_ipv6=0"
  $run ip -6 addr add "$address/64" dev "$dev"
}

v6_disable() { $1 sysctl -qw "net.ipv6.conf.$2.disable_ipv6=1"; }

# A container namespace behind the bridge br6 (port vc6, its end ct0), routed
# to the peer by root's IPv6 forwarding; the peer routes the prefix back.
v6_setup_container() {
  new_container_namespace
  V6_CT_PID=$NS_PID
  brctl addbr br6
  set -- $(new_veth_pair)
  ip link set "$1" name vc6
  ip link set "$2" netns "$V6_CT_PID"
  in_ns "$V6_CT_PID" ip link set "$2" name ct0
  in_ns "$V6_CT_PID" ip link set lo up
  v6_enable "in_ns $V6_CT_PID" ct0 $V6_CT_HOST
  in_ns "$V6_CT_PID" ip link set ct0 up
  in_ns "$V6_CT_PID" ip -6 route add default via $V6_BRIDGE
  ip link set vc6 master br6
  ip link set vc6 up
  v6_enable "" br6 $V6_BRIDGE
  ip link set br6 up
  v6_forwarding=$(sysctl -n net.ipv6.conf.all.forwarding)
  sysctl -qw net.ipv6.conf.all.forwarding=1
  in_peer ip -6 route add $V6_NET:3::/64 via $V6_HOST_A
}

v6_teardown_container() {
  in_peer ip -6 route del $V6_NET:3::/64 via $V6_HOST_A
  sysctl -qw net.ipv6.conf.all.forwarding="$v6_forwarding"
  kill "$V6_CT_PID"
  wait "$V6_CT_PID" 2> /dev/null
  ip link set br6 down
  brctl delbr br6
}

# The peer drops UDP to one port with ip6tables-legacy and TCP to another
# with a native nft table of family inet.
v6_load_rules() {
  load_module_list ip6tables
  in_peer ip6tables-legacy -A INPUT -p udp --dport $V6_DROP_PORT -j DROP || status "ip6tables DROP rule failed"
  in_peer nft add table inet v6fw && in_peer nft add chain inet v6fw in '{ type filter hook input priority 0; }' &&
    in_peer nft add rule inet v6fw in tcp dport $V6_NFT_PORT counter drop || status "nft inet table failed"
}

v6_setup() {
  load_module_list iptables
  load_module_list nftables
  load_module_list containers
  v6_load_rules
  # The backlog path on veth: __netif_receive_skb takes every buffer.
  ethtool -K veth0 gro off
  in_peer ethtool -K veth1 gro off
  v6_enable "" veth0 $V6_HOST_A
  v6_enable in_peer veth1 $V6_HOST_B
  v6_enable "" "$NIC_A" $V6_NIC_HOST_A
  v6_enable in_peer "$NIC_B" $V6_NIC_HOST_B
  v6_setup_container
  v6_record MAC_NIC_A "$NIC_MAC_A"
  v6_record MAC_CT "$(in_ns "$V6_CT_PID" ip link show ct0 | sed -n 's/.*link\/ether \([0-9a-f:]*\).*/\1/p')"
  v6_record MAC_BRIDGE "$(cat /sys/class/net/br6/address)"
  v6_record CT_NETNS "$(netns_inode "$V6_CT_PID")"
  v6_record PEER_NETNS "$(netns_inode "$PEER_PID")"
  v6_record ROOT_NETNS "$(netns_inode self)"
  { ip -6 addr; in_peer ip -6 addr; in_ns "$V6_CT_PID" ip -6 addr; in_peer ip -6 route; brctl show;
    in_peer ip6tables-legacy -L INPUT -n; in_peer nft list table inet v6fw; } > "$DIR/topology.txt" 2>&1
  # Neighbours from no earlier packet: each exchange begins with NDP.
  for dev in veth0 "$NIC_A" br6; do ip -6 neigh flush dev "$dev"; done
  for dev in veth1 "$NIC_B"; do in_peer ip -6 neigh flush dev "$dev"; done
}

v6_teardown() {
  in_peer ip6tables-legacy -D INPUT -p udp --dport $V6_DROP_PORT -j DROP
  in_peer nft list table inet v6fw > "$DIR/nft-v6fw.txt" 2>&1
  in_peer nft delete table inet v6fw
  v6_teardown_container
  v6_disable "" veth0
  v6_disable in_peer veth1
  v6_disable "" "$NIC_A"
  v6_disable in_peer "$NIC_B"
}

# A TCP exchange with the peer's IPv6 listener on PORT, from the namespace
# RUN names (empty: root).
v6_tcp() {
  run=$1 host=$2 port=$3
  serve tcp-serve6 "$port" 1 $V6_TCP_REPLY
  step $run lab_net tcp-send "$host" "$port" $V6_TCP_REQUEST $V6_TCP_REPLY
  progress "await server tcp $port"
  wait "$SERVER_PID"
  echo "= tcp-serve6 $port: $?" >> "$DIR/steps.log"
  await_closed "$port" ${V6_CT_PID:-}
}

v6_udp() {
  host=$1 port=$2
  shift 2
  serve udp-recv6 "$port" $#
  step lab_net udp-send "$host" "$port" "$@"
  progress "await server udp $port"
  wait "$SERVER_PID"
  echo "= udp-recv6 $port: $?" >> "$DIR/steps.log"
}

v6_traffic() {
  step lab_net ping6 $V6_HOST_B $V6_PING_ID_A $V6_PING_COUNT
  step in_peer lab_net ping6 $V6_HOST_A $V6_PING_ID_B $V6_PING_COUNT
  v6_udp $V6_HOST_B $V6_UDP_PORT $V6_UDP_SIZES
  v6_tcp "" $V6_HOST_B $V6_TCP_PORT
  # More than the link's MTU: three fragments.
  v6_udp $V6_HOST_B $V6_UDP_PORT $V6_BIG_SIZE
  # The IPv4 monitor of this port sees none of it.
  v6_tcp "" $V6_HOST_B $V6_NOTICE_PORT
  step lab_net udp-send $V6_HOST_B $V6_DROP_PORT $V6_DROP_SIZES
  # Nothing answers the dropped SYN (sent twice in 2 s).
  export LAB_NET_TIME_LIMIT=2
  step lab_net tcp-send $V6_HOST_B $V6_NFT_PORT 10 0
  unset LAB_NET_TIME_LIMIT
  step lab_net tcp-send $V6_HOST_B $V6_CLOSED_TCP_PORT 10 0
  step lab_net udp-send $V6_HOST_B $V6_CLOSED_UDP_PORT $V6_CLOSED_SIZE
  step lab_net ping6 $V6_NIC_HOST_B $V6_PING_ID_NIC $V6_PING_COUNT
  v6_udp $V6_NIC_HOST_B $V6_NIC_UDP_PORT $V6_UDP_SIZES
  v6_tcp "" $V6_NIC_HOST_B $V6_TCP_PORT
  step in_ns "$V6_CT_PID" lab_net ping6 $V6_HOST_B $V6_PING_ID_CT $V6_PING_COUNT
  v6_tcp "in_ns $V6_CT_PID" $V6_HOST_B $V6_CT_PORT
}

# The peer solicits the odd sources' link addresses to send them its errors,
# three times a second apart, and gives up a second after the last. Until
# it has given up the monitors stay: the capture, which runs on after them,
# then holds no solicitation they were not there for. Waiting for the
# monitors to go quiet is not enough: a second between two solicitations
# can pass without a row.
await_peer_gave_up_on_neighbours() {
  progress "await the peer's neighbour solicitations"
  n=0
  usleep 300000
  while in_peer ip -6 neigh show dev veth1 | grep -q INCOMPLETE; do
    n=$((n + 1))
    [ $n -lt 100 ] || { status "the peer still solicits neighbours after 10 s"; return; }
    usleep 100000
  done
}

phase_ipv6() {
  begin_phase ipv6
  : > "$DIR/ipv6.env"
  for v in V6_HOST_A V6_HOST_B V6_NIC_HOST_A V6_NIC_HOST_B V6_BRIDGE V6_CT_HOST V6_TCP_PORT V6_UDP_PORT \
           V6_DROP_PORT V6_NFT_PORT V6_CLOSED_TCP_PORT V6_CLOSED_UDP_PORT V6_NOTICE_PORT V6_CT_PORT V6_NIC_UDP_PORT \
           V6_PING_ID_A V6_PING_ID_B V6_PING_ID_NIC V6_PING_ID_CT V6_PING_COUNT V6_UDP_SIZES V6_DROP_SIZES \
           V6_BIG_SIZE V6_CLOSED_SIZE V6_TCP_REQUEST V6_TCP_REPLY V6_ODD_KINDS V6_ODD_SOURCE NIC_A NIC_B; do
    eval "v6_record ${v#V6_} \"\$$v\""
  done
  v6_setup
  # What the monitors find loaded, when this phase runs alone too.
  grep ipt_do_table /proc/kallsyms > "$DIR/kallsyms-ipt.txt"
  lsmod > "$DIR/lsmod.txt"
  { echo "DEV_A=veth0"; echo "DEV_B=veth1"; echo "HOST_A=$V6_HOST_A"; echo "HOST_B=$V6_HOST_B"; } > "$DIR/phase.env"
  CAPTURE_DEV=veth0 start_capture peer:veth1 "$NIC_A" "peer:$NIC_B" "$V6_CT_PID:ct0"
  start_monitor icmp -6 -N -P icmp
  start_monitor tcp -6 -N -P tcp
  start_monitor udp -6 -N -P udp
  start_monitor tcp_port -6 -P tcp -p $V6_TCP_PORT
  start_monitor icmp_host -6 -P icmp -H $V6_HOST_B
  start_monitor tcp_ipv4 -P tcp -p $V6_NOTICE_PORT
  wait_monitors_ready
  start_call_count
  v6_traffic
  sleep 1
  stop_call_count
  # After the counted window: the odd frames, received and dropped by the peer.
  n=1
  for kind in $V6_ODD_KINDS; do
    step lab_net ipv6-odd veth0 "$MAC_A" "$MAC_B" "$V6_ODD_SOURCE$n" $V6_HOST_B "$kind"
    n=$((n + 1))
  done
  await_peer_gave_up_on_neighbours
  stop_monitors
  stop_capture
  v6_teardown
  end_phase
}
