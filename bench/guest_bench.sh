# The bench inside the lab guest (busybox sh), sourced by the lab's
# scenarios when the host boots it with LAB_MODE=bench. Settings come from
# /lab/bench.conf, written by bench/kernel_bench.sh.
#
# 1. Throughput: the same UDP load over the veth pair with no tracer, with
#    the monitor writing to /dev/null, with the monitor writing to a tmpfs
#    file, with the bpftrace peer, with the floor (bench/floor.bpf.c: the
#    same attach points, only the record's lookup, store and emit) and with
#    a baseline build of the monitor when there is one, in interleaved rounds.
# 2. The consumer's own limit: bare write+fsync of a row, to /dev/null and
#    to a tmpfs file.
# 3. Loss: the load at rising rates against the rows the monitor wrote.
# 4. Probe run time: the kernel's own per-program statistics over one load,
#    for the monitor and for the floor.
# Results are lines of "name value" pairs in $RESULTS/bench/*.txt, read by
# bench/kernel_table.sh.

. /lab/bench.conf
BENCH=$RESULTS/bench
BENCH_PORT=5401
TRACE_FILE=/tmp/bench.trace
PEER_ROOT=/mnt/peer
KPROBES=/sys/kernel/debug/kprobes/list
FLOOR=/lab/floor_loader

# The peer's tools run under their own loader and libraries, read from the
# host's share: Debian's bpftrace is a dynamic binary built on LLVM, far too
# big for the initramfs. This gives the loader's command line rather than
# running it: a function started in the background is a subshell, and $!
# would be its number instead of the tool's.
peer_loader() { echo "$PEER_ROOT/lib/$TRIPLET/$LOADER --library-path $PEER_ROOT/lib/$TRIPLET:$PEER_ROOT/usr/lib/$TRIPLET"; }

prepare_bench() {
  mkdir -p "$BENCH" /mnt/peer
  mount -t debugfs debugfs /sys/kernel/debug
  mount -t tracefs tracefs /sys/kernel/tracing 2>/dev/null
  case $(uname -m) in
    x86_64) TRIPLET=x86_64-linux-gnu LOADER=ld-linux-x86-64.so.2 ;;
    aarch64) TRIPLET=aarch64-linux-gnu LOADER=ld-linux-aarch64.so.1 ;;
  esac
  PEER=none
  if mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 peer "$PEER_ROOT" 2>/dev/null \
     && [ -x "$PEER_ROOT/usr/bin/bpftrace" ]; then
    PEER=bpftrace
  fi
  # The monitor leaves the table-walk pair out without the iptables module;
  # the peer's script does the same.
  EXPECTED_PROBES=21
  sed '/^\/\/ ipt_do_table pair/,/^\/\/ end of the ipt_do_table pair/d' /lab/peer.bt > /tmp/peer.bt
  if grep -q ipt_do_table /proc/kallsyms; then EXPECTED_PROBES=23; cp /lab/peer.bt /tmp/peer.bt; fi
  # From 6.18 napi_gro_receive is inline and its out-of-line part has a
  # name of its own: the peer probes that, as the monitor does.
  if ! grep -q ' napi_gro_receive$' /proc/kallsyms && grep -q ' gro_receive_skb$' /proc/kallsyms; then
    sed -i 's/kprobe:napi_gro_receive/kprobe:gro_receive_skb/' /tmp/peer.bt
  fi
  {
    echo "kernel=$(uname -r) machine=$(uname -m) cpus=$(grep -c ^processor /proc/cpuinfo)"
    echo "probes=$EXPECTED_PROBES peer=$PEER"
  } > "$BENCH/conditions.txt"
  # The receiving end: reads everything, so the socket never drops.
  LAB_NET_TIME_LIMIT=1500 in_peer taskset -c 1 lab_net udp-sink $BENCH_PORT > "$BENCH/sink.log" 2>&1 &
  SINK_PID=$!
  n=0
  until grep -q listening "$BENCH/sink.log" 2>/dev/null; do
    n=$((n + 1)); [ $n -lt 100 ] || { status "bench: the sink did not start"; return 1; }
    usleep 50000
  done
}

attached_probes() {
  n=$(wc -l < "$KPROBES" 2>/dev/null) || n=0
  echo "${n:-0}"
}

# Starts a tracer and waits until all its probes are attached (the kernel's
# own list of kprobes shows them) and, for the monitor, its records seeded.
# Sets TRACER_PID; bare starts nothing.
start_tracer() {
  TRACER_PID=
  rm -f $TRACE_FILE
  started=$(cut -d' ' -f1 /proc/uptime)
  case $1 in
    bare) return 0 ;;
    # Every tracer on CPU 1, beside the sink: the load owns CPU 0, where the
    # probes fire, and the scheduler cannot move a tracer onto it.
    null) taskset -c 1 "$MONITOR" -P udp -p $BENCH_PORT > /dev/null 2>> "$BENCH/monitor.stderr" & ;;
    file) taskset -c 1 "$MONITOR" -P udp -p $BENCH_PORT -o $TRACE_FILE 2>> "$BENCH/monitor.stderr" & ;;
    # Another build of the monitor to hold this one against (BENCH_BASELINE).
    base) taskset -c 1 "$BENCH_BASELINE" -P udp -p $BENCH_PORT > /dev/null 2>> "$BENCH/monitor.stderr" & ;;
    # To the tmpfs file the monitor seldom sleeps, so what its probes cost
    # shows without the wake-ups that a consumer waiting on /dev/null adds.
    base_file) taskset -c 1 "$BENCH_BASELINE" -P udp -p $BENCH_PORT -o $TRACE_FILE 2>> "$BENCH/monitor.stderr" & ;;
    floor) taskset -c 1 "$FLOOR" 2>> "$BENCH/floor.stderr" & ;;
    peer) taskset -c 1 $(peer_loader) "$PEER_ROOT/usr/bin/bpftrace" /tmp/peer.bt $BENCH_PORT \
            > /dev/null 2>> "$BENCH/peer.stderr" & ;;
  esac
  TRACER_PID=$!
  n=0
  while [ "$(attached_probes)" -lt "$EXPECTED_PROBES" ]; do
    n=$((n + 1))
    kill -0 "$TRACER_PID" 2>/dev/null && [ $n -lt 3000 ] || {
      echo "start mode=$1 failed=1" >> "$BENCH/startup.txt"; return 1; }
    usleep 100000
  done
  # The monitor seeds its per-CPU records right after the perf buffer opens.
  if [ "$1" != peer ]; then
    until ls -l "/proc/$TRACER_PID/fd" 2>/dev/null | grep -q eventpoll; do
      kill -0 "$TRACER_PID" 2>/dev/null || { echo "start mode=$1 failed=1" >> "$BENCH/startup.txt"; return 1; }
      usleep 50000
    done
  fi
  sleep 1
  echo "start mode=$1 from=$started to=$(cut -d' ' -f1 /proc/uptime)" >> "$BENCH/startup.txt"
}

stop_tracer() {
  [ -n "$TRACER_PID" ] || return 0
  # Started in the background of a script, a child ignores SIGINT.
  kill -TERM "$TRACER_PID" 2>/dev/null
  wait "$TRACER_PID" 2>/dev/null
  # Nothing of one run may still be attached during the next.
  n=0
  while [ "$(attached_probes)" -gt 0 ] && [ $n -lt 100 ]; do n=$((n + 1)); usleep 100000; done
  rm -f $TRACE_FILE
  TRACER_PID=
}

# CPU time of the tracer (all its threads, in clock ticks) and the write
# calls it made: each row of the monitor is one write.
tracer_ticks() { [ -n "$TRACER_PID" ] && awk '{print $14 + $15}' "/proc/$TRACER_PID/stat" || echo 0; }
tracer_writes() { [ -n "$TRACER_PID" ] && sed -n 's/^syscw: //p' "/proc/$TRACER_PID/io" || echo 0; }
# Times the tracer went to sleep, all threads: each is a wake-up that some
# probe hit paid for when the tracer's ring next got a sample.
tracer_sleeps() {
  [ -n "$TRACER_PID" ] && cat /proc/$TRACER_PID/task/*/status 2>/dev/null \
    | awk '$1 == "voluntary_ctxt_switches:" { n += $2 } END { print n + 0 }' || echo 0
}
# The monitor's lost-sample reports are write calls too, not rows; the load
# runs on CPU 0 alone, so each report is one line.
loss_reports() { n=$(grep -c '^lost ' "$BENCH/monitor.stderr" 2>/dev/null); echo "${n:-0}"; }

# One load on CPU 0 (the sink reads on CPU 1): COUNT datagrams at RATE (0:
# flat out), at most SECONDS. Prints the generator's line with the tracer's
# CPU ticks and write calls during it.
load() {
  ticks=$(tracer_ticks) writes=$(tracer_writes) reports=$(loss_reports) sleeps=$(tracer_sleeps)
  out=$(taskset -c 0 lab_net udp-flood $HOST_B $BENCH_PORT "$1" "$2" "$3")
  # The monitor polls every 100 ms: let it drain the rings.
  [ -z "$TRACER_PID" ] || sleep 1
  rows=$(( $(tracer_writes) - writes - ($(loss_reports) - reports) ))
  echo "$out ticks $(( $(tracer_ticks) - ticks )) writes $rows sleeps $(( $(tracer_sleeps) - sleeps ))"
}

throughput_rounds() {
  modes="bare null file"
  [ "$PEER" = none ] || modes="$modes peer"
  [ -z "${BENCH_BASELINE:-}" ] || modes="$modes base base_file"
  [ ! -x "$FLOOR" ] || modes="$modes floor"
  reversed=$(echo "$modes" | tr ' ' '\n' | sed -n '1!G;h;$p' | tr '\n' ' ')
  r=1
  while [ $r -le "$BENCH_ROUNDS" ]; do
    # Alternate the order, so a slow drift of the machine favours no mode.
    order=$modes
    [ $((r % 2)) = 1 ] || order=$reversed
    for mode in $order; do
      start_tracer "$mode" || { stop_tracer; continue; }
      echo "mode $mode round $r $(load 100000000 "$BENCH_SECONDS" 0)" >> "$BENCH/throughput.txt"
      stop_tracer
    done
    r=$((r + 1))
  done
}

# The bare write+fsync rate of a 224-byte row (the monitor's UDP row) on
# the tracers' CPU: what any consumer that syncs each row can reach.
write_rates() {
  [ -x "$FLOOR" ] || return 0
  for out in null:/dev/null file:/tmp/bench.rows; do
    echo "out ${out%%:*} $(taskset -c 1 "$FLOOR" write-rate "${out#*:}" 2)" >> "$BENCH/write_rate.txt"
  done
  rm -f /tmp/bench.rows
}

# The fastest round of a mode, in packets per second: the ladder of that
# mode climbs towards it.
flat_out_pps() {
  awk -v mode="$1" '$2 == mode { pps = $6 * 1e9 / $10; if (pps > best) best = pps } END { printf "%d", best }' \
    "$BENCH/throughput.txt"
}

loss_ladder() {
  for mode in null file; do
    top=$(flat_out_pps $mode)
    start_tracer $mode || { stop_tracer; continue; }
    for step in $BENCH_LADDER; do
      rate=$((top * step / 1000))
      [ $rate -gt 0 ] || continue
      count=$((rate * BENCH_LADDER_SECONDS))
      lines_before=0
      [ "$mode" != file ] || lines_before=$(wc -l < $TRACE_FILE)
      line=$(load $count $((BENCH_LADDER_SECONDS + 2)) $rate)
      lines=0
      [ "$mode" != file ] || lines=$(( $(wc -l < $TRACE_FILE) - lines_before ))
      echo "mode $mode rate $rate $line lines $lines" >> "$BENCH/loss.txt"
    done
    stop_tracer
  done
}

# The kernel's per-program run time and run count (kernel.bpf_stats_enabled)
# over one flat-out load, from bpftool: how much of what the monitor adds to
# a packet is spent inside the probe programs themselves.
probe_stats() {
  [ "$PEER" != none ] || return 0
  start_tracer "$1" || { stop_tracer; return 0; }
  sysctl -qw kernel.bpf_stats_enabled=1
  echo "$(load 100000000 "$BENCH_SECONDS" 0)" > "$BENCH/stats_load$2.txt"
  $(peer_loader) "$PEER_ROOT/usr/sbin/bpftool" prog show > "$BENCH/progs$2.txt" 2>&1
  sysctl -qw kernel.bpf_stats_enabled=0
  stop_tracer
}

run_bench() {
  status "bench: $(uname -r), $(grep -c ^processor /proc/cpuinfo) CPUs"
  prepare_bench || return 1
  status "bench: throughput, $BENCH_ROUNDS rounds (peer: $PEER)"
  throughput_rounds
  status "bench: bare write+fsync rate"
  write_rates
  status "bench: loss ladder"
  loss_ladder
  status "bench: probe statistics"
  probe_stats null ""
  [ ! -x "$FLOOR" ] || probe_stats floor _floor
  [ -z "${BENCH_BASELINE:-}" ] || probe_stats base _base
  kill "$SINK_PID" 2>/dev/null
  status "bench: done"
}
