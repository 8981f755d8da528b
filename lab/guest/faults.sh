# The fault phase (sourced by scenarios.sh, run in the lab guest, busybox sh):
# the trace on a full file system, a monitor killed mid-trace, a trace into a
# pipe whose reader is gone, memory over a long run of traffic, a poll that
# fails for real, with the sanitizer build's leak check of the exit path that
# follows it, and a starved monitor that reports the samples it lost.

# A file system of eight pages, six of them taken by a filler file: the trace
# gets 8 KiB, which the first pings fill; deleting the filler gives it 24 KiB
# more, enough for the rest of its rows.
FULL_FS=/tmp/full FULL_FS_SIZE=32k FILLER_KIB=24
# lab_fault fails the monitor's next epoll wait once this file exists.
FAULT_TRIGGER=/tmp/fault-trigger
SANITIZED_MONITOR=/usr/sbin/vn_bpf_net_monitor_asan
FLOOD_PINGS=1500 FLOOD_SECONDS=20
# The starved monitor's load: its own port only, pinned to CPU 0, where the
# whole path runs; 8 ring pages hold about 15 packets' samples.
LOSS_PORT=5307 LOSS_PACKETS=2000 LOSS_SECONDS=4 LOSS_RATE=1000

# A process that has ended but is not reaped yet still answers kill -0.
running() {
  [ -e "/proc/$1/status" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null
}

# Ends one monitor as stop_monitors does all: alive or not, then SIGTERM, and
# its exit status.
finish_monitor() {
  pid=$(cat "$DIR/$1.pid")
  if running "$pid"; then echo 1 > "$DIR/$1.alive"; else echo 0 > "$DIR/$1.alive"; fi
  progress "stop monitor $1"
  kill -TERM "$pid" 2>/dev/null
  wait "$pid"
  echo $? > "$DIR/$1.status"
}

# Waits (bounded) for a monitor to end by itself.
await_end() {
  pid=$(cat "$DIR/$1.pid") n=0
  while running "$pid" && [ $n -lt $(($2 * 10)) ]; do usleep 100000; n=$((n + 1)); done
}

# start_failing_monitor NAME SETTINGS BINARY ARG...: a monitor whose epoll
# waits and closes pass through lab_fault, with the variables SETTINGS
# ("A=1 B=2") in its environment; lab_fault and env exec it in place, so its
# pid is the one started here.
start_failing_monitor() {
  name=$1 settings=$2 binary=$3
  shift 3
  echo "$*" > "$DIR/$name.args"
  # shellcheck disable=SC2086  # the settings are meant to be split
  lab_fault "$FAULT_TRIGGER" "$DIR/$name.fault" env $settings "$binary" "$@" \
    > "$DIR/$name.stdout" 2> "$DIR/$name.stderr" &
  echo $! > "$DIR/$name.pid"
  MONITORS="$MONITORS $name"
}

# A monitor whose standard output is a pipe, with SIGPIPE ignored as a
# service manager starts it; the reader takes the header and goes away, so
# the first row meets a pipe without a reader.
start_pipe_monitor() {
  echo "-P icmp" > "$DIR/epipe.args"
  mkfifo "$DIR/epipe.fifo"
  (trap '' PIPE; exec "$MONITOR" -P icmp > "$DIR/epipe.fifo" 2> "$DIR/epipe.stderr") &
  echo $! > "$DIR/epipe.pid"
  head -n 1 "$DIR/epipe.fifo" > "$DIR/epipe.stdout"
  MONITORS="$MONITORS epipe"
}

# A monitor stopped (SIGSTOP) under a load of its own port, then continued:
# what its rings had no room for must be reported. The kernel tells of a
# loss only with the next sample it writes to that ring: the few packets
# after the monitor has caught up are that sample for the first loss. The
# second comes at the end, with no packet after it: the monitor has the
# kernel tell it on its way out. Every packet on the link is of the port,
# so the kernel's probe hits are the samples emitted.
starve_monitor() {
  start_monitor lost -P udp -p $LOSS_PORT -o "$DIR/lost.trace"
  wait_ready lost
  # The sink must outlive the steps below: a closed port would answer with
  # ICMP, samples no row of this monitor stands for.
  export LAB_NET_TIME_LIMIT=120
  serve udp-sink $LOSS_PORT
  unset LAB_NET_TIME_LIMIT
  sink=$SERVER_PID
  sleep 1
  start_call_count
  kill -STOP "$(cat "$DIR/lost.pid")"
  step taskset -c 0 lab_net udp-flood $HOST_B $LOSS_PORT $LOSS_PACKETS $LOSS_SECONDS $LOSS_RATE
  kill -CONT "$(cat "$DIR/lost.pid")"
  await_quiet lost
  step taskset -c 0 lab_net udp-flood $HOST_B $LOSS_PORT 20 2 100
  await_quiet lost
  kill -STOP "$(cat "$DIR/lost.pid")"
  step taskset -c 0 lab_net udp-flood $HOST_B $LOSS_PORT $((LOSS_PACKETS / 2)) $((LOSS_SECONDS / 2)) $LOSS_RATE
  stop_call_count
  # SIGTERM waits for the monitor to run again, and no sample comes after.
  kill -CONT "$(cat "$DIR/lost.pid")"
  finish_monitor lost
  kill "$sink" 2>/dev/null
  wait "$sink"
  MONITORS=
}

# The memory monitor's resident set at one moment, as /proc tells it.
record_memory() {
  pid=$(cat "$DIR/memory.pid")
  echo "$1 $(grep -E '^(VmRSS|RssAnon|RssFile|RssShmem):' "/proc/$pid/status" | tr -s ' \t' ' ' | tr '\n' ' ')" \
    >> "$DIR/memory.rss"
}

phase_faults() {
  begin_phase faults
  mkdir -p "$FULL_FS"
  mount -t tmpfs -o size=$FULL_FS_SIZE tmpfs "$FULL_FS"
  dd if=/dev/zero of="$FULL_FS/filler" bs=1024 count=$FILLER_KIB 2> /dev/null
  rm -f "$FAULT_TRIGGER"
  start_capture
  start_monitor reference -P icmp -o "$DIR/reference.trace"
  start_monitor killed -P icmp -o "$DIR/killed.trace"
  start_monitor full -P icmp -o "$FULL_FS/full.trace"
  start_monitor memory -P icmp -o "$DIR/memory.trace"
  start_failing_monitor poll_fail "" "$MONITOR" -P icmp -o "$DIR/poll_fail.trace"
  start_pipe_monitor
  # The sanitizer build is the host's: only the guest of the host's
  # architecture has it. One run as CI runs it, one that also reports what
  # only a global still holds (the seed records must not be among it), with
  # stacks unwound through libbpf, which has no frame pointers.
  if [ -x "$SANITIZED_MONITOR" ]; then
    start_failing_monitor leak_check "ASAN_OPTIONS=detect_leaks=1" \
      "$SANITIZED_MONITOR" -P icmp -o "$DIR/leak_check.trace"
    start_failing_monitor leak_kept "ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 LSAN_OPTIONS=use_globals=0:exitcode=0" \
      "$SANITIZED_MONITOR" -P icmp -o "$DIR/leak_kept.trace"
  fi
  wait_monitors_ready
  record_memory ready
  started=$(cut -d' ' -f1 /proc/uptime)

  # Rows flow in every monitor; they fill the full file system's 8 KiB.
  step ping -c 4 -i 0.2 $HOST_B
  step ls -l "$FULL_FS"
  # The first row ended the pipe's monitor, before any poll is made to fail.
  await_end epipe 30
  finish_monitor epipe

  # The poll fails: each failing monitor reports it and ends by itself.
  touch "$FAULT_TRIGGER"
  for m in poll_fail leak_check leak_kept; do
    [ -e "$DIR/$m.pid" ] || continue
    await_end $m 30
    finish_monitor $m
  done

  # SIGKILL while the rows of a ping stream flow (a burst of rows every 50 ms).
  # Killed once the stream's first rows are in its file, however far behind
  # the packets it runs.
  await_quiet killed
  before=$(wc -c < "$DIR/killed.trace")
  ping -c 20 -i 0.05 $HOST_B > "$DIR/stream.log" 2>&1 &
  stream=$!
  n=0
  while [ "$(wc -c < "$DIR/killed.trace")" -eq "$before" ] && [ $n -lt 100 ]; do
    usleep 100000; n=$((n + 1))
  done
  usleep 200000
  kill -KILL "$(cat "$DIR/killed.pid")"
  finish_monitor killed
  wait $stream

  # Still full: these rows are lost. Then space comes back, and the rows.
  await_quiet full  # the stream's last rows handled: the file is at rest
  cp "$FULL_FS/full.trace" "$DIR/full.at_limit"
  step ping -c 2 -i 0.2 $HOST_B
  await_quiet full  # every row of these pings tried before space comes back
  rm "$FULL_FS/filler"
  step ping -c 2 -i 0.2 $HOST_B
  await_quiet full reference
  finish_monitor full
  cp "$FULL_FS/full.trace" "$DIR/full.trace"
  umount "$FULL_FS"
  finish_monitor reference

  # A long run: a few thousand packets through the memory monitor.
  record_memory warm
  step ping -A -q -c $FLOOD_PINGS -w $FLOOD_SECONDS $HOST_B
  await_quiet memory
  record_memory end
  finish_monitor memory
  MONITORS=
  stop_capture
  starve_monitor
  echo "faults: from $started s to $(cut -d' ' -f1 /proc/uptime) s of uptime" >> "$DIR/steps.log"
  end_phase
}
