#!/bin/bash
# make bench: the user-space measurements, the kernel object's size and the
# kernel side in the lab VM on each bench kernel, printed as Markdown tables
# and written into the README's performance section (between its markers).
# Usage: run.sh BUILD_DIR
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(dirname "$HERE")
BUILD=$(cd "$1" && pwd)
OUT=$BUILD/bench
mkdir -p "$OUT"

# Instructions per probe program: in the object file (each with its copy of
# the shared capture subprogram) and as walked by this host's verifier.
object_rows() {
  "$BUILD/probe_size" "$BUILD/vn_bpf_net_monitor.bpf.o" > "$OUT/probe_size.txt" 2> "$OUT/probe_size.err" || return 0
  awk -v kernel="$(uname -r)" '
    $1 == "total" { total = $3; next }
    { n++; if (!min || $2 < min) min = $2; if ($2 > max) max = $2; if (!vmin || $3 < vmin) vmin = $3; if ($3 > vmax) vmax = $3 }
    END {
      printf "| BPF instructions per probe program, with the shared capture subprogram (%d programs) | - | %d to %d |\n", n, min, max
      printf "| instructions the verifier walked per probe program (host kernel %s) | - | %d to %d, %d in all |\n", kernel, vmin, vmax, total
    }' "$OUT/probe_size.txt"
}

# The kernel side on each lab kernel of BENCH_SERIES (by default Debian 12's
# 6.1 and the newest one, from trixie-backports): one boot each.
SERIES_LIST=${BENCH_SERIES:-6.1 backports}
kernel_rows() {
  if ! BENCH_SERIES=$1 "$HERE/kernel_bench.sh" "$OUT/kernel-$1" >&2; then
    echo "COND The kernel side did not run on the $1 kernel: see $OUT/kernel-$1/run.log."
    return 0
  fi
  "$HERE/kernel_table.sh" "$OUT/kernel-$1/results/bench"
}

echo "bench: user space (render_bench), kernel object (probe_size)" >&2
"$BUILD/render_bench" "$BUILD" > "$OUT/user.md"
object_rows > "$OUT/object.md"
for series in $SERIES_LIST; do
  echo "bench: kernel side on the $series kernel, one lab boot (a few minutes)" >&2
  kernel_rows "$series" > "$OUT/kernel-$series.md"
done

{
  echo "<!-- performance: written by make bench, which replaces everything up to the end marker -->"
  echo "Measured by \`make bench\` on $(date -u +%Y-%m-%d): $(nproc) host CPUs, host kernel $(uname -r)."
  echo "Every figure is a ratio or a count from one run, its two sides measured side by side."
  echo
  cat "$OUT/user.md" "$OUT/object.md"
  for series in $SERIES_LIST; do
    echo
    echo "Kernel side: $(sed -n 's/^COND //p' "$OUT/kernel-$series.md")"
    echo
    echo "| per packet | destination | figure |"
    echo "|---|---|---|"
    grep -v '^COND ' "$OUT/kernel-$series.md" || true
  done
  echo
  cat "$HERE/notes.md"
  echo "<!-- /performance -->"
} > "$OUT/performance.md"
cat "$OUT/performance.md"

# The section between the markers is replaced whole; a README with only the
# opening marker (or the bare one of a fresh tree) gets it in that place.
awk -v section="$OUT/performance.md" '
  /^<!-- performance/ { while ((getline line < section) > 0) print line; skipping = 1; next }
  skipping && /^<!-- \/performance -->/ { skipping = 0; next }
  skipping && /^## / { skipping = 0; print "" }
  !skipping { print }' "$SRC/README.md" > "$OUT/README.md"
cp "$OUT/README.md" "$SRC/README.md"
