#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Uncontended snapshots in callgrind instructions per call (allocator
# included): a heap object's, as snapshots always copied, and the same
# object's in a versioned pool, copied at a whole version, against the least
# a snapshot must do (malloc + memcpy + fix-up + free of the same object).
# Runs zim_snapshot_bench (the copy by memcpy) and zim_snapshot_words_bench
# (by word-sized atomic loads) once each under callgrind over every type, and
# prints the copy_bench types' rows and the summary over all types.
#   benchmarks/snapshot_callgrind.sh [BUILD_DIR]
set -euo pipefail
build="${1:-build/default}"
cmake --build "$build" --target zim_snapshot_bench zim_snapshot_words_bench >/dev/null # built on request only
types="ipnhgroup testdynhg olist l2intf test_if nhgroup l1port tmport rawget testglobaldiscard"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Callgrind counts a string move (rep movsb, rep stosb) once per byte, so
# glibc's memcpy and memset of large blocks, which turn to them past a
# threshold, would count far above their work. With the thresholds out of
# reach they run as vector loops and an instruction stands for work.
tunables=glibc.cpu.x86_rep_movsb_threshold=2147483647:glibc.cpu.x86_rep_stosb_threshold=2147483647

rows() {  # TYPE floor|heap|versioned INSTRUCTIONS-PER-CALL, from one run of $1
  GLIBC_TUNABLES="$tunables${GLIBC_TUNABLES:+:$GLIBC_TUNABLES}" valgrind --tool=callgrind --callgrind-out-file="$work/dumps" --combine-dumps=yes \
    --compress-strings=no --compress-pos=no --toggle-collect='*::run_*' \
    "$build/benchmarks/$1" >"$work/log" 2>&1 || { cat "$work/log" >&2; exit 2; }
  awk '
    function flush() { if (label != "") { split(label, l, " "); print l[1], l[2], int(total / l[3]) } }
    /^desc: Trigger: Client Request: / { flush(); label = substr($0, 32); total = 0; next }
    /^calls=/ { call = 1; next }
    /^[0-9+*-]/ { if (!call) total += $NF; call = 0; next }
    END { flush() }' "$work/dumps"
}

for bench in zim_snapshot_bench zim_snapshot_words_bench; do
  rows "$bench" >"$work/$bench"
  echo "## $bench"
  awk -v types="$types" '
    { ir[$1, $2] = $3; if ($2 == "heap") names[++n] = $1 }
    function add(t, i) {  # the ratios of type t to sum i (1: the ten types, 2: all)
      rh = ir[t, "heap"] / ir[t, "floor"]; rv = ir[t, "versioned"] / ir[t, "floor"]
      lh[i] += log(rh); lv[i] += log(rv); lw[i] += log(ir[t, "versioned"] / ir[t, "heap"])
    }
    END {
      print "| type | floor | heap | versioned | heap / floor | versioned / floor | versioned / heap |"
      print "|---|---|---|---|---|---|---|"
      k = split(types, list, " ")
      for (i = 1; i <= k; ++i) {
        t = list[i]; add(t, 1)
        printf "| %s | %d | %d | %d | %.2f | %.2f | %.2f |\n", t, ir[t, "floor"], ir[t, "heap"],
               ir[t, "versioned"], rh, rv, ir[t, "versioned"] / ir[t, "heap"]
      }
      printf "| geomean | | | | %.2f | %.2f | %.2f |\n", exp(lh[1] / k), exp(lv[1] / k), exp(lw[1] / k)
      for (i = 1; i <= n; ++i) {
        t = names[i]; add(t, 2)
        if (rv > worst) { worst = rv; worst_type = t }
        if (rv > 1.10) ++over
      }
      printf "all %d types: geomean heap / floor %.3f, versioned / floor %.3f, versioned / heap %.3f;", n,
             exp(lh[2] / n), exp(lv[2] / n), exp(lw[2] / n)
      printf " worst versioned / floor %.2f (%s), %d over 1.10\n", worst, worst_type, over
    }' "$work/$bench"
done
