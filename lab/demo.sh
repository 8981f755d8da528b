#!/bin/bash
# make demo: boots the lab guest, starts the monitor with LAB_ARGS, sends a
# little traffic of each kind and shows the trace while it is written, then
# (with LAB_REPORT, the reader) its journeys: how each packet ended.
# Usage: LAB_ARGS="-P icmp" [LAB_REPORT=vn_bpf_net_report] demo.sh ARCH SERIES OUT_DIR
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ARCH=$1 SERIES=$2 OUT=$3

mkdir -p "$OUT"
rm -rf "$OUT/results"
case $SERIES in
  backports) kernel="Debian 13 backports' newest kernel" ;;
  *) kernel="Debian 12's $SERIES kernel" ;;
esac
echo "lab: booting $kernel ($ARCH) under emulation; the monitor runs with: ${LAB_ARGS:--P icmp}"
LAB_MODE=demo "$HERE/run.sh" "$ARCH" "$SERIES" "$OUT" > "$OUT/run.log" 2>&1 &
run=$!
# The guest writes the trace straight onto the shared folder: follow it there.
until [ -e "$OUT/results/demo.trace" ] || ! kill -0 "$run" 2>/dev/null; do sleep 0.5; done
if [ -e "$OUT/results/demo.trace" ]; then
  tail -n +1 -f --pid="$run" "$OUT/results/demo.trace" &
  follower=$!
fi
if ! wait "$run"; then
  cat "$OUT/run.log"
  exit 1
fi
wait "${follower:-}" 2>/dev/null || true
cat "$OUT/results/demo.stderr" >&2
if [ -n "${LAB_REPORT:-}" ]; then
  echo
  echo "lab: the reader's journeys of that trace ($LAB_REPORT $OUT/results/demo.trace):"
  "$LAB_REPORT" "$OUT/results/demo.trace"
fi
grep -h "^lab: .*boot to power-off" "$OUT/run.log" || true
