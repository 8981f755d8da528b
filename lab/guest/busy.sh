# The busy-host phase (sourced by scenarios.sh, run in the lab guest,
# busybox sh): a bulk TCP transfer that GRO merges on its way in, over veth
# with NAPI (GRO on at the receiver). The sender segments nothing itself
# (no TSO, no GSO), so the link carries every segment as the capture sees
# it, and the receiver's GRO merges them back. Then pings too large for the
# link into the peer, whose conntrack (a NAT chain asks for it) gathers the
# fragments at PRE_ROUTING. A monitor with packet numbers beside one
# without, on the same packets.

BULK_PORT=5330 BULK_KIB=96 FRAGMENTED_PINGS=2 FRAGMENTED_SIZE=3000

# ethtool's word for FEATURE of a device: "on" or "off".
feature_of() { $1 ethtool -k "$2" | sed -n "s/^$3: \([a-z]*\).*/\1/p"; }

phase_busy() {
  begin_phase busy
  echo "BULK_PORT=$BULK_PORT" > "$DIR/busy.env"
  echo "BULK_BYTES=$((BULK_KIB * 1024))" >> "$DIR/busy.env"
  saved_a="gro $(feature_of '' veth0 generic-receive-offload) tso $(feature_of '' veth0 tcp-segmentation-offload)"
  saved_a="$saved_a gso $(feature_of '' veth0 generic-segmentation-offload)"
  saved_b="gro $(feature_of in_peer veth1 generic-receive-offload)"
  ethtool -K veth0 tso off gso off
  in_peer ethtool -K veth1 gro on
  ethtool -k veth0 > "$DIR/ethtool-veth0.txt"
  in_peer ethtool -k veth1 > "$DIR/ethtool-veth1.txt"
  start_capture
  load_module_list containers
  start_monitor tcp -P tcp -p $BULK_PORT
  start_monitor tcp_numbered -N -P tcp -p $BULK_PORT
  start_monitor icmp -P icmp
  start_monitor icmp_numbered -N -P icmp
  wait_monitors_ready
  start_call_count
  tcp_exchange $BULK_PORT $((BULK_KIB * 1024)) 100
  in_peer nft add table ip lab_ct
  in_peer nft add chain ip lab_ct pre '{ type nat hook prerouting priority -100; }'
  step ping -c $FRAGMENTED_PINGS -i 0.3 -s $FRAGMENTED_SIZE $HOST_B
  echo "PINGS_RECEIVED=$(sed -n 's/.* \([0-9]*\) packets received.*/\1/p' "$DIR/steps.log" | tail -n 1)" >> "$DIR/busy.env"
  echo "PINGS_SENT=$FRAGMENTED_PINGS" >> "$DIR/busy.env"
  in_peer grep -c '^ipv4' /proc/net/nf_conntrack > "$DIR/peer-conntrack.txt" 2>&1
  in_peer nft delete table ip lab_ct
  stop_call_count
  stop_monitors
  stop_capture
  ethtool -K veth0 $saved_a
  in_peer ethtool -K veth1 $saved_b
  end_phase
}
