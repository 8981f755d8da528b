#!/bin/bash
# Runs the lab for one architecture and kernel series: fetch (downloads
# cached) and unpack, build the monitor and the initramfs, boot once, run the
# phases inside that boot.
# Usage: run.sh ARCH SERIES OUT_DIR [PHASES...]   (default: plain iptables gro nic nic_nogro truth faults cpus drops traffic busy containers ipv6)
#        LAB_MODE=demo LAB_ARGS="-P icmp" run.sh ARCH SERIES OUT_DIR
# Results land in OUT_DIR/results; the console in OUT_DIR/console.log.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(dirname "$HERE")
. "$HERE/common.sh"

# The sanitizer build (the same as make test-asan's) for the fault phase's
# leak check: it runs in the guest of the host's own architecture only.
build_sanitized_monitor() {
  [ "${LAB_MODE:-full}" = full ] && [ "$ARCH" = "$(dpkg --print-architecture)" ] || return 0
  case " $PHASES " in *" faults "*) ;; *) return 0 ;; esac
  { cmake -S "$SRC" -B "$SRC/build-asan" -DSANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      && cmake --build "$SRC/build-asan" --target vn_bpf_net_monitor -j "$(nproc)"; } \
    > "$OUT/sanitized-build.log" 2>&1 || { tail -n 30 "$OUT/sanitized-build.log" >&2; exit 1; }
  export LAB_SANITIZED_MONITOR=$SRC/build-asan/vn_bpf_net_monitor
}

prepare_results() {
  rm -rf "$OUT/results"
  mkdir -p "$OUT/results"
  {
    echo "LAB_MODE=${LAB_MODE:-full}"
    echo "LAB_PHASES=\"$PHASES\""
    echo "LAB_ARGS=\"${LAB_ARGS:--P icmp}\""
  } > "$OUT/results/lab.conf"
}

boot() {
  start=$(date +%s%N)
  "$HERE/boot.sh" "$ARCH" "$KDIR/kernel" "$OUT/initramfs.cpio" "$OUT/results" "${LAB_TIME_LIMIT:-800}" \
    | tee "$OUT/console.log"
  ms=$(( ($(date +%s%N) - start) / 1000000 ))
  echo "lab: $ARCH $SERIES boot to power-off $((ms / 1000)).$(printf %03d $((ms % 1000))) s" | tee "$OUT/time.txt"
  grep -q "lab: guest done" "$OUT/console.log"
}

# Some ends of a boot are the emulator's, and are booted once more, with what
# the lost boot left kept beside the new one:
# - Under TCG a vCPU now and then traps on the int3 that the kernel's own
#   live code patching (text_poke_bp, as every kprobe attach and detach does)
#   leaves in place for an instant, after the patch is complete: "Oops: int3"
#   at an instruction that is no breakpoint any more. Real CPUs and KVM never
#   see it.
# - Now and then the guest hangs with nothing on the console, seen before
#   its init had begun the lab as well as in a phase (boot.sh stops it).
#   A hang of the monitor's making would come back: a second end like it
#   fails the run, and the guest.log kept tells where the first stood.
# Any other end fails the run.
boot_once_more_after_an_emulator_fault() {
  boot && return 0
  if grep -q "Oops: int3" "$OUT/console.log"; then
    echo "lab: the emulator trapped on a stray int3 of the kernel's code patching; booting once more" >&2
    mv "$OUT/console.log" "$OUT/console-stray-int3.log"
  elif grep -q "lab: the guest did not start\|lab: the guest stalled" "$OUT/console.log"; then
    echo "$(grep '^lab: the guest ' "$OUT/console.log" | tail -n 1); booting once more" >&2
    mv "$OUT/console.log" "$OUT/console-hung.log"
    [ ! -e "$OUT/results/guest.log" ] || mv "$OUT/results/guest.log" "$OUT/guest-hung.log"
  else
    echo "lab: the guest did not finish" >&2
    exit 1
  fi
  prepare_results
  boot && return 0
  echo "lab: the guest did not finish" >&2
  exit 1
}

ARCH=$1 SERIES=$2 OUT=$3
shift 3
PHASES=${*:-plain iptables gro nic nic_nogro truth faults cpus drops traffic busy containers ipv6}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
# The full lab's phases log each step as they go; 240 s without a word is a
# hung guest (the longest bounded wait of a phase is 60 s).
[ "${LAB_MODE:-full}" != full ] || export LAB_STALL_LIMIT=${LAB_STALL_LIMIT:-240}
# ctest unpacks in a step of its own, right before (LAB_FETCHED=1).
[ "${LAB_FETCHED:-0}" = 1 ] || "$HERE/fetch.sh" "$ARCH" "$SERIES" "$OUT"
KDIR=$OUT/kernel
build_monitor
build_sanitized_monitor
"$HERE/mkinitramfs.sh" "$ARCH" "$OUT" "$MONITOR"
prepare_results
boot_once_more_after_an_emulator_fault
