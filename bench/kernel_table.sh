#!/bin/bash
# Turns what the guest bench left (bench/guest_bench.sh) into Markdown table
# rows (| what | output | figure |) and, on the first line, the conditions.
# Usage: kernel_table.sh RESULTS_DIR/bench
set -euo pipefail
B=$1

conditions() {
  # shellcheck disable=SC1090  # key=value lines
  eval "$(tr ' ' '\n' < "$B/conditions.txt")"
  tables="no iptables module loaded"
  [ "$probes" -lt 23 ] || tables="the iptables module loaded"
  echo "COND Debian's stock kernel $kernel ($machine guest, $cpus CPUs) under QEMU TCG emulation," \
       "no KVM; $probes probes attached ($tables); UDP load of 32-byte datagrams" \
       "from the root namespace to the peer namespace over the veth pair; trace file on the guest's tmpfs."
}

# One awk program over all files: they are small, and the figures depend on
# each other (rows per packet come from the loss ladder, the bare rate from
# the throughput rounds).
figures() {
  awk -v peer="$peer" '
    function pps(sent, ns) { return sent * 1e9 / ns }
    function median(a, n,    i, j, t) {
      for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
      return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    function row(what, out, fig) { printf "| %s | %s | %s |\n", what, out, fig }
    FILENAME ~ /throughput/ {
      mode = $2; r = $4
      rate[mode, r] = pps($6, $10); cpu[mode, r] = $12 / 100 / ($10 / 1e9)
      sent[mode, r] = $6; writes[mode, r] = $14; rounds[r] = 1
      for (i = 5; i < NF; i++) if ($i == "sleeps") sleeps[mode, r] = $(i + 1)
      next
    }
    FILENAME ~ /loss/ {
      # The rate reached, not the one asked for: near the top the load
      # cannot go faster than the probes let it.
      n = ++steps[$2]; lrate[$2, n] = pps($6, $10); lsent[$2, n] = $6; lwrites[$2, n] = $14
      for (i = 5; i < NF; i++) if ($i == "lines") llines[$2, n] = $(i + 1)
      next
    }
    FILENAME ~ /startup/ {
      split($2, m, "="); split($3, f, "="); split($4, t, "=")
      if (t[2] != "") { start[m[2]] += t[2] - f[2]; starts[m[2]]++ }
      next
    }
    FILENAME ~ /write_rate/ { wrate[$2] = pps($4, $6); next }
    FILENAME ~ /stats_load_base/ || FILENAME ~ /stats_load_floor/ { next }
    FILENAME ~ /stats_load/ { stats_sent = $2; stats_pps = pps($2, $6); next }
    FILENAME ~ /progs_base/ {
      for (i = 1; i < NF; i++) {
        if ($i == "run_time_ns") base_ns += $(i + 1)
        if ($i == "run_cnt") base_runs += $(i + 1)
      }
      next
    }
    FILENAME ~ /progs/ {
      # One program per line: its name, then its run time and count.
      pname = ""
      for (i = 1; i < NF; i++) {
        if ($i == "name") pname = $(i + 1)
        if ($i == "run_time_ns") pns = $(i + 1)
        if ($i == "run_cnt" && pname ~ /^trace_/) {
          if (FILENAME ~ /progs_floor/) { fl_ns[pname] += pns; fl_cnt[pname] += $(i + 1); fl_total += pns; fl_runs += $(i + 1) }
          else { mon_ns[pname] += pns; mon_cnt[pname] += $(i + 1) }
        }
      }
      if (FILENAME ~ /progs_floor/) next
      for (i = 1; i < NF; i++) {
        if ($i == "run_time_ns") run_ns += $(i + 1)
        if ($i == "run_cnt") runs += $(i + 1)
        if ($i == "name" && $(i + 1) ~ /^trace_/) progs++
      }
      next
    }
    END {
      # Rows per packet: the slowest step of the ladder to /dev/null, which
      # the monitor keeps up with.
      k = lsent["null", 1] ? int(lwrites["null", 1] / lsent["null", 1] + 0.5) : 0
      nr = 0
      for (r in rounds) nr++
      split("null file peer", modes, " ")
      split("/dev/null|tmpfs file|/dev/null (bpftrace: no fsync)", outs, "|")
      for (i = 1; i <= 3; i++) {
        mode = modes[i]; if (mode == "peer" && peer == "none") continue
        n = 0
        for (r = 1; r <= nr; r++) if ((mode, r) in rate && (("bare", r) in rate)) {
          n++; ratio[n] = rate[mode, r] / rate["bare", r]; mcpu[n] = cpu[mode, r]
          kept[n] = k ? writes[mode, r] / (k * sent[mode, r]) : 0
        }
        if (!n) continue
        q = median(ratio, n); c = median(mcpu, n); kp = median(kept, n)
        who = mode == "peer" ? "bpftrace peer" : "monitor"
        row("UDP packets/s, " who " attached vs no tracer (median of " n " interleaved rounds)", outs[i], sprintf("%.3fx", q))
        row("added time per packet, " who ", in bare packets (1/pps traced - 1/pps bare, times pps bare)", outs[i], sprintf("%.1f", 1 / q - 1))
        if (mode != "peer" && k) {
          row("added time per probe hit, in bare packets (the above / " k " probe hits per packet)", outs[i], sprintf("%.2f", (1 / q - 1) / k))
          row("rows written / rows the probes produced, at full load", outs[i], sprintf("%.3f", kp))
        }
        row("CPU time of the " who " during the load, in CPUs", outs[i], sprintf("%.2f", c))
        peerq[mode] = q
      }
      if (peer != "none" && peerq["peer"] > 0)
        row("UDP packets/s, monitor vs bpftrace peer (same load, same boot)", "/dev/null", sprintf("%.2fx", peerq["null"] / peerq["peer"]))
      if (peer != "none" && peerq["peer"] > 0 && peerq["file"] > 0)
        row("UDP packets/s, monitor to the tmpfs file (where it seldom sleeps) vs bpftrace peer to /dev/null", "tmpfs file", sprintf("%.2fx", peerq["file"] / peerq["peer"]))
      # A tracer that sleeps is woken by the next sample: the probe hit that
      # emits it pays for the wake-up, on the loaded CPU.
      list = ""
      split("null file peer floor base base_file", sm, " ")
      split("monitor to /dev/null|monitor to the tmpfs file|bpftrace peer|floor|baseline build to /dev/null|baseline build to the tmpfs file", sn, "|")
      for (i = 1; i <= 6; i++) {
        n = 0
        for (r = 1; r <= nr; r++) if ((sm[i], r) in sleeps && sent[sm[i], r]) { n++; sl[n] = sleeps[sm[i], r] / sent[sm[i], r] }
        if (n) list = list (list == "" ? "" : ", ") sprintf("%s %.2f", sn[i], median(sl, n))
      }
      if (list != "") row("times the tracer went to sleep per packet sent (voluntary context switches), median of the rounds", "-", list)
      n = 0
      for (r = 1; r <= nr; r++) if (("base", r) in rate && ("null", r) in rate) { n++; bq[n] = rate["null", r] / rate["base", r] }
      if (n) row("UDP packets/s, this monitor vs the baseline build (BENCH_BASELINE), median of " n " rounds", "/dev/null", sprintf("%.3fx", median(bq, n)))
      n = 0
      for (r = 1; r <= nr; r++) if (("base_file", r) in rate && ("file", r) in rate) { n++; bq[n] = rate["file", r] / rate["base_file", r] }
      if (n) row("UDP packets/s, this monitor vs the baseline build (BENCH_BASELINE), median of " n " rounds", "tmpfs file", sprintf("%.3fx", median(bq, n)))
      # The floor: the same probe points doing only lookup, store and emit,
      # drained by a consumer that discards.
      n = 0
      for (r = 1; r <= nr; r++) if (("floor", r) in rate && ("bare", r) in rate) { n++; fa[n] = rate["bare", r] / rate["floor", r] - 1 }
      if (n) {
        row("added time per packet, floor (lookup, store back, emit; no capture; consumer discards), in bare packets, median of " n " rounds", "-", sprintf("%.2f", median(fa, n)))
        split("null file", fm, " "); split("/dev/null|tmpfs file", fo, "|")
        for (i = 1; i <= 2; i++) {
          n = 0
          for (r = 1; r <= nr; r++) if (("floor", r) in rate && ("bare", r) in rate && (fm[i], r) in rate && rate["floor", r] < rate["bare", r]) {
            n++; fr[n] = (rate["bare", r] / rate[fm[i], r] - 1) / (rate["bare", r] / rate["floor", r] - 1)
          }
          if (n) row("added time per packet, monitor vs floor (goal: at most 1.3x), median of " n " rounds", fo[i], sprintf("%.2fx", median(fr, n)))
        }
      }
      if (runs && fl_runs) {
        row("mean probe program run time, monitor vs floor (kernel.bpf_stats_enabled)", "/dev/null", sprintf("%.2fx", (run_ns / runs) / (fl_total / fl_runs)))
        list = ""
        for (pn in mon_cnt) if (mon_cnt[pn] && fl_cnt[pn])
          list = list (list == "" ? "" : ", ") sprintf("%s %.1fx", substr(pn, 7), (mon_ns[pn] / mon_cnt[pn]) / (fl_ns[pn] / fl_cnt[pn]))
        if (list != "") row("run time per program, monitor vs floor (names as the kernel cuts them)", "/dev/null", list)
      }
      if (runs && base_runs)
        row("mean probe program run time, this monitor vs the baseline build (kernel.bpf_stats_enabled)", "/dev/null", sprintf("%.3fx", (run_ns / runs) / (base_ns / base_runs)))
      if (starts["peer"] && starts["null"])
        row("start-up until every probe is attached, bpftrace peer vs monitor", "-", sprintf("%.1fx", (start["peer"] / starts["peer"]) / (start["null"] / starts["null"])))
      n = 0
      for (r = 1; r <= nr; r++) if (("bare", r) in rate) { n++; b[n] = rate["bare", r] }
      bare = median(b, n)
      split("null file", lm, " "); split("/dev/null|tmpfs file", lo, "|")
      for (i = 1; i <= 2; i++) {
        mode = lm[i]; first = ""; last_ok = ""; shape = ""
        for (s = 1; s <= steps[mode]; s++) {
          expect = k * lsent[mode, s]
          frac = expect ? lwrites[mode, s] / expect : 0
          # A loss too small to show in whole per cent still shows.
          pct = (lwrites[mode, s] < expect && frac >= 0.995) ? sprintf("%.1f", int(1000 * frac) / 10) : sprintf("%.0f", 100 * frac)
          shape = shape (s > 1 ? " " : "") pct "%"
          if (lwrites[mode, s] < expect) { if (first == "") first = s } else if (first == "") last_ok = s
          if (mode == "file" && llines[mode, s] != lwrites[mode, s]) mismatch = 1
        }
        if (!steps[mode]) continue
        if (first == "")
          fig = "none up to " int(lrate[mode, steps[mode]]) " pkt/s"
        else
          fig = sprintf("%d pkt/s = %d rows/s = %.3f of the bare rate", lrate[mode, first], lrate[mode, first] * k, lrate[mode, first] / bare)
        if (first != "" && wrate[mode])
          fig = fig sprintf(" = %.3f of the bare write+fsync rate (goal: at least 0.8)", lrate[mode, first] * k / wrate[mode])
        row("first step of the ladder with a lost row (" k " rows per packet; rows = the monitor'"'"'s write calls)", lo[i], fig)
        if (last_ok != "")
          row("last step below it without loss", lo[i], sprintf("%d pkt/s = %d rows/s = %.3f of the bare rate", lrate[mode, last_ok], lrate[mode, last_ok] * k, lrate[mode, last_ok] / bare))
        if (wrate[mode])
          row("bare write+fsync of a 224-byte row, rows/s in bare packets/s (the consumer'"'"'s own limit)", lo[i], sprintf("%.2f", wrate[mode] / bare))
        row("rows kept per step, rates " sprintf("%.3f", lrate[mode, 1] / bare) " to " sprintf("%.2f", lrate[mode, steps[mode]] / bare) " of the bare rate", lo[i], shape)
      }
      if (mismatch) row("WARNING: trace file lines differ from the monitor'"'"'s write calls", "tmpfs file", "see loss.txt")
      # The statistics cost time of their own (two clock reads per run), so
      # their load is held against itself: the programs'"'"' time per packet
      # against the time the monitor added to each packet in that same load.
      if (runs && stats_sent && stats_pps < bare) {
        own = run_ns / stats_sent; added = 1e9 / stats_pps - 1e9 / bare
        row("time inside the probe programs / time added per packet (kernel.bpf_stats_enabled, one more load)", "/dev/null", sprintf("%.2f", own / added))
        row("one probe program run, in bare packets (mean over " runs " runs)", "/dev/null", sprintf("%.2f", run_ns / runs / (1e9 / bare)))
      }
    }' "$B/throughput.txt" "$B/loss.txt" "$B/startup.txt" ${stats_files:-}
}

conditions
peer=$(sed -n 's/.*peer=\([a-z]*\).*/\1/p' "$B/conditions.txt")
stats_files=
[ -s "$B/stats_load.txt" ] && [ -s "$B/progs.txt" ] && stats_files="$B/stats_load.txt $B/progs.txt"
[ -s "$B/progs_base.txt" ] && stats_files="$stats_files $B/progs_base.txt"
[ -s "$B/progs_floor.txt" ] && stats_files="$stats_files $B/progs_floor.txt"
[ -s "$B/write_rate.txt" ] && stats_files="$stats_files $B/write_rate.txt"
figures
