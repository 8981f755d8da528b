#!/bin/bash
# The kernel side of the bench: one lab boot (a Debian stock kernel under
# emulation) that runs bench/guest_bench.sh instead of the lab's phases.
# Usage: kernel_bench.sh OUT_DIR   (results in OUT_DIR/results/bench)
# BENCH_ARCH (default: the host's) and BENCH_SERIES (6.1, 6.12 or backports)
# pick the kernel;
# BENCH_BASELINE names another static build of the monitor to hold this one
# against in the same boot (for example the one before a change).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(dirname "$HERE")
. "$SRC/lab/common.sh"

ARCH=${BENCH_ARCH:-$(dpkg --print-architecture)}
SERIES=${BENCH_SERIES:-6.1}
OUT=$1

# bpftrace and bpftool with every library they load, downloaded into the lab
# cache (the .deb files only) and unpacked, never installed, into OUT on
# every run; the guest reads them from a second share. Without them the
# bench runs on, and says that the peer is missing.
fetch_peer() {
  PEER_ROOT=$OUT/peer
  debs=$LAB_CACHE/debs/peer-$ARCH
  rm -rf "$PEER_ROOT"
  mkdir -p "$PEER_ROOT" "$debs"
  chown _apt "$debs" 2>/dev/null || true
  # The whole dependency closure: the guest has no libraries of its own.
  names=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
            --no-replaces --no-enhances "$(apt_name bpftrace "$ARCH")" "$(apt_name bpftool "$ARCH")" \
          | grep -v '^[ <]' | sort -u)
  missing=
  for n in $names; do ls "$debs/${n%%:*}_"*.deb >/dev/null 2>&1 || missing="$missing $n"; done
  [ -z "$missing" ] || (cd "$debs" && apt-get download -q $missing >&2) || return 1
  for d in "$debs"/*.deb; do dpkg-deb -x "$d" "$PEER_ROOT"; done
}

# The floor's loader (bench/floor_loader.cpp), static, from the same build
# folder as the monitor the lab boots; without it the bench runs on, no floor.
build_floor() {
  case $ARCH in
    amd64) target=static dir=build-static ;;
    arm64) target=cross-arm64 dir=build-arm64 ;;
  esac
  make -C "$SRC" --no-print-directory "$target" > "$OUT/floor-build.log" 2>&1 \
    && cmake --build "$SRC/$dir" --target floor_loader -j "$(nproc)" >> "$OUT/floor-build.log" 2>&1 \
    && FLOOR=$SRC/$dir/floor_loader
}

write_settings() {
  cat > "$OUT/bench.conf" <<EOF
BENCH_ROUNDS=${BENCH_ROUNDS:-3}
BENCH_SECONDS=${BENCH_SECONDS:-3}
# Rates of the loss ladder, in thousandths of the fastest round of the
# same output.
BENCH_LADDER="${BENCH_LADDER:-25 50 100 200 350 500 750 1000}"
BENCH_LADDER_SECONDS=${BENCH_LADDER_SECONDS:-2}
EOF
  if [ -n "${BENCH_BASELINE:-}" ]; then
    cp "$BENCH_BASELINE" "$OUT/baseline_monitor"
    echo "BENCH_BASELINE=/lab/baseline_monitor" >> "$OUT/bench.conf"
  fi
}

mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
PEER_ROOT=
fetch_peer || { log "bench: bpftrace could not be fetched; the peer is left out"; PEER_ROOT=; }
FLOOR=
build_floor || log "bench: the floor did not build (see $OUT/floor-build.log); it is left out"
write_settings
LAB_MODE=bench LAB_PEER_ROOT=$PEER_ROOT \
  LAB_GUEST_EXTRA="$HERE/guest_bench.sh $HERE/peer.bt $OUT/bench.conf ${BENCH_BASELINE:+$OUT/baseline_monitor} $FLOOR" \
  LAB_TIME_LIMIT=${LAB_TIME_LIMIT:-900} \
  "$SRC/lab/run.sh" "$ARCH" "$SERIES" "$OUT" > "$OUT/run.log" 2>&1 \
  || { tail -n 30 "$OUT/run.log" >&2; exit 1; }
grep -q "bench: done" "$OUT/console.log" || { log "bench: the guest did not finish"; exit 1; }
