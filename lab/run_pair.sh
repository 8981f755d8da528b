#!/bin/bash
# Boots two lab guests at once, a mixed fleet: each with one virtio NIC, the
# two joined by a QEMU network of their own (a dgram netdev from one QEMU to
# the other over the host's loopback, nothing else on it), each running the
# monitor on its NIC; the host reads both guests' clocks as they meet.
# Usage: run_pair.sh OUT ARCH_A WORK_A ARCH_B WORK_B CLOCK_TOOL
# WORK_* are fetch.sh's work folders (kernel and userland, left as they are);
# a guest is named by its folder's name (amd64-6.1). Results land in
# OUT/results: one folder per guest (its share), the host's clock meetings in
# clock.txt, the pair's settings in pair.env.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(dirname "$HERE")
. "$HERE/common.sh"

# Each guest's initramfs in a folder of its own beside the results; the
# fetched kernel and userland are read where fetch.sh left them.
prepare_guest() {
  ARCH=$1 work=$(cd "$2" && pwd)
  guest=$OUT/$(basename "$work")
  mkdir -p "$guest"
  ln -sfn "$work/kernel" "$guest/kernel"
  ln -sfn "$work/userland" "$guest/userland"
  build_monitor
  "$HERE/mkinitramfs.sh" "$ARCH" "$guest" "$MONITOR"
}

# A UDP port on loopback that nothing holds now.
free_port() {
  while :; do
    port=$((20000 + RANDOM % 40000))
    ss -Huln "sport = :$port" | grep -q . || { echo $port; return; }
  done
}

prepare_results() {
  rm -rf "$OUT/results"
  mkdir -p "$OUT/results/$NAME_A" "$OUT/results/$NAME_B"
  for side in a b; do
    if [ $side = a ]; then name=$NAME_A peer=$NAME_B; else name=$NAME_B peer=$NAME_A; fi
    {
      echo "LAB_MODE=pair"
      echo "LAB_PHASES=\"pair\""
      echo "LAB_PAIR_SIDE=$side"
      echo "LAB_PAIR_NAME=$name"
      echo "LAB_PAIR_PEER=$peer"
    } > "$OUT/results/$name/lab.conf"
  done
  {
    echo "NAME_A=$NAME_A"
    echo "NAME_B=$NAME_B"
  } > "$OUT/results/pair.env"
}

# One guest: its end of the link, its MAC, its clock port.
boot_guest() {
  name=$1 arch=$2 mac=$3 local_port=$4 remote_port=$5
  LAB_LINK="dgram,local.type=inet,local.host=127.0.0.1,local.port=$local_port,remote.type=inet,remote.host=127.0.0.1,remote.port=$remote_port" \
  LAB_MAC=$mac LAB_CLOCK_SOCKET=$OUT/clock-$name.sock \
    "$HERE/boot.sh" "$arch" "$OUT/$name/kernel/kernel" "$OUT/$name/initramfs.cpio" "$OUT/results/$name" \
      "${LAB_TIME_LIMIT:-600}" > "$OUT/console-$name.log"
}

boot_pair() {
  port_a=$(free_port) port_b=$(free_port)
  until [ "$port_b" != "$port_a" ]; do port_b=$(free_port); done
  rm -f "$OUT"/clock-*.sock
  start=$(date +%s%N)
  boot_guest "$NAME_A" "$ARCH_A" 52:54:00:12:35:01 "$port_a" "$port_b" &
  guest_a=$!
  boot_guest "$NAME_B" "$ARCH_B" 52:54:00:12:35:02 "$port_b" "$port_a" &
  guest_b=$!
  "$CLOCK_TOOL" "$OUT/results/clock.txt" "$OUT/clock-$NAME_A.sock" "$OUT/clock-$NAME_B.sock" \
    2> "$OUT/clock.stderr" &
  clock=$!
  wait $guest_a || true
  wait $guest_b || true
  wait $clock || true
  ms=$(( ($(date +%s%N) - start) / 1000000 ))
  echo "lab: pair $NAME_A $NAME_B boot to power-off $((ms / 1000)).$(printf %03d $((ms % 1000))) s" \
    | tee "$OUT/time.txt"
  for name in $NAME_A $NAME_B; do
    grep '^lab: ' "$OUT/console-$name.log" | sed "s/^/$name: /"
  done
  grep -q "lab: guest done" "$OUT/console-$NAME_A.log" && grep -q "lab: guest done" "$OUT/console-$NAME_B.log"
}

# The emulator's own faults (run.sh tells them) end a pair's boot as they
# end a single guest's: the pair boots once more, the lost consoles kept.
boot_pair_once_more_after_an_emulator_fault() {
  boot_pair && return 0
  if grep -q "Oops: int3\|lab: the guest did not start\|lab: the guest stalled" "$OUT"/console-*.log; then
    echo "lab: a guest of the pair met an emulator fault; booting the pair once more" >&2
    for name in $NAME_A $NAME_B; do mv "$OUT/console-$name.log" "$OUT/console-$name-lost.log"; done
  else
    echo "lab: the pair did not finish" >&2
    exit 1
  fi
  prepare_results
  boot_pair && return 0
  echo "lab: the pair did not finish" >&2
  exit 1
}

OUT=$1 ARCH_A=$2 WORK_A=$3 ARCH_B=$4 WORK_B=$5 CLOCK_TOOL=$(realpath "$6")
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
NAME_A=$(basename "$WORK_A") NAME_B=$(basename "$WORK_B")
export LAB_STALL_LIMIT=${LAB_STALL_LIMIT:-240}
prepare_guest "$ARCH_A" "$WORK_A"
prepare_guest "$ARCH_B" "$WORK_B"
prepare_results
boot_pair_once_more_after_an_emulator_fault
