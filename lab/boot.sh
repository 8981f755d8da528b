#!/bin/bash
# Boots a lab guest under emulation and waits for it to power off.
# Usage: boot.sh ARCH KERNEL INITRAMFS RESULTS_DIR TIME_LIMIT_S
# The guest reaches no network outside it (-nic none, an internal hub; a pair's guest only the other guest, over
# loopback); it reads lab.conf from RESULTS_DIR and leaves its results there through 9p. The serial console goes
# to stdout.
set -euo pipefail

ARCH=$1 KERNEL=$2 INITRAMFS=$3 RESULTS=$4 LIMIT=$5

# panic=-1 turns a guest panic into a reset, which -no-reboot turns into an exit.
# Expedited RCU grace periods: a monitor's exit waits on grace periods as it
# detaches its probes, some 3 s under emulation with normal ones, about half
# that with these.
APPEND="panic=-1 quiet loglevel=3 rcupdate.rcu_expedited=1"
# Three CPUs: one can be taken offline with the others still two. Two
# virtio NICs joined by a hub inside QEMU, the path a host's driver takes;
# the hub has no backend to the host, so nothing leaves the guest.
QEMU_ARGS=(-m 1024 -smp 3 -nic none -no-reboot -display none -monitor none -serial stdio
           -kernel "$KERNEL" -initrd "$INITRAMFS"
           -fsdev "local,id=results,path=$RESULTS,security_model=none"
           -device virtio-9p-pci,fsdev=results,mount_tag=results)
# One guest of a pair (run_pair.sh): one virtio NIC on LAB_LINK, a netdev
# that reaches the other guest's over the host's loopback and nothing else,
# with the MAC LAB_MAC; and a virtio console on the unix socket
# LAB_CLOCK_SOCKET, where the host reads both guests' clocks.
if [ -n "${LAB_LINK:-}" ]; then
  QEMU_ARGS+=(-netdev "$LAB_LINK,id=link" -device "virtio-net-pci,netdev=link,mac=$LAB_MAC"
              -chardev "socket,id=clock,path=$LAB_CLOCK_SOCKET,server=on,wait=off"
              -device virtio-serial-pci -device virtserialport,chardev=clock,name=clock)
else
  QEMU_ARGS+=(-netdev hubport,id=nic_a,hubid=0 -device virtio-net-pci,netdev=nic_a,mac=52:54:00:12:34:01
              -netdev hubport,id=nic_b,hubid=0 -device virtio-net-pci,netdev=nic_b,mac=52:54:00:12:34:02)
fi

# A second, read-only share for tools too big for the initramfs (the bench's
# peer tool), when LAB_PEER_ROOT names a folder.
if [ -n "${LAB_PEER_ROOT:-}" ]; then
  QEMU_ARGS+=(-fsdev "local,id=peer,path=$LAB_PEER_ROOT,security_model=none,readonly=on"
              -device virtio-9p-pci,fsdev=peer,mount_tag=peer)
fi

# KVM only where asked for and where the guest is of the host's own
# architecture: on a host whose /dev/kvm cannot run a stock kernel it hangs
# instead of failing.
HOST_ARCH=$(dpkg --print-architecture)
if [ "${LAB_KVM:-0}" = 1 ] && [ "$ARCH" = "$HOST_ARCH" ]; then
  QEMU_ARGS+=(-enable-kvm -cpu host)
else
  QEMU_ARGS+=(-accel tcg)
fi

case $ARCH in
  # The ELF vmlinux boots through its PVH entry, without firmware.
  amd64) QEMU=(qemu-system-x86_64 -M pc -append "console=ttyS0 $APPEND") ;;
  arm64) QEMU=(qemu-system-aarch64 -M virt -cpu cortex-a72 -append "console=ttyAMA0 $APPEND") ;;
esac

# Now and then an emulated guest hangs, before its init has said a word or
# in the middle of a phase, and would sit out the whole time limit. Its init
# speaks within seconds; a phase logs each step to guest.log on the share as
# it goes (run.sh asks for that watch with LAB_STALL_LIMIT, 0 for none). A
# guest that has not begun the lab within START_LIMIT seconds, or has then
# been silent on both for STALL_LIMIT, is stopped and says so, for run.sh to
# boot it again.
START_LIMIT=${LAB_START_LIMIT:-60}
STALL_LIMIT=${LAB_STALL_LIMIT:-0}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
QEMU_ARGS+=(-pidfile "$WORK/qemu.pid")

stop_the_guest() {
  echo "lab: the guest $1"
  kill "$(cat "$WORK/qemu.pid")" 2>/dev/null || true
}

watch_the_guest() {
  local waited=0 quiet=0 last= now
  while kill -0 "$CONSOLE_PID" 2>/dev/null; do
    sleep 1
    if ! grep -q '^lab: ' "$WORK/console" 2>/dev/null; then
      ((++waited < START_LIMIT)) || { stop_the_guest "did not start within $START_LIMIT s"; return; }
      continue
    fi
    [ "$STALL_LIMIT" -gt 0 ] || return 0
    now=$(stat -c %s "$WORK/console" "$RESULTS/guest.log" 2>/dev/null || true)
    if [ "$now" != "$last" ]; then
      last=$now quiet=0
    elif ((++quiet >= STALL_LIMIT)); then
      stop_the_guest "stalled: nothing new for $STALL_LIMIT s"
      return
    fi
  done
}

# The console speaks CRLF; drop the CRs so the log reads as text. Line by
# line, so that the start can be watched.
timeout -k 5 "$LIMIT" "${QEMU[@]}" "${QEMU_ARGS[@]}" < /dev/null | stdbuf -oL tr -d '\r' \
  | tee "$WORK/console" &
CONSOLE_PID=$!
watch_the_guest
wait "$CONSOLE_PID"
