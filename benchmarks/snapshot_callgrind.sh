#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Uncontended snapshots in callgrind instructions per call (allocator
# included): a heap object's, as snapshots always copied, against the same
# object's in a versioned pool, copied at a whole version. Runs
# zim_snapshot_bench (the copy by memcpy) and zim_snapshot_words_bench (by
# word-sized atomic loads) once each under callgrind over every type, and
# prints the copy_bench types' rows and the summary over all types.
#   benchmarks/snapshot_callgrind.sh [BUILD_DIR]
set -euo pipefail
build="${1:-build/default}"
types="ipnhgroup testdynhg olist l2intf test_if nhgroup l1port tmport rawget testglobaldiscard"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

rows() {  # TYPE heap|versioned INSTRUCTIONS-PER-CALL, from one run of $1
  valgrind --tool=callgrind --callgrind-out-file="$work/dumps" --combine-dumps=yes \
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
    END {
      print "| type | heap | versioned | ratio |"; print "|---|---|---|---|"
      k = split(types, list, " ")
      for (i = 1; i <= k; ++i) {
        t = list[i]; r = ir[t, "versioned"] / ir[t, "heap"]; lt += log(r)
        printf "| %s | %d | %d | %.2f |\n", t, ir[t, "heap"], ir[t, "versioned"], r
      }
      printf "| geomean | | | %.2f |\n", exp(lt / k)
      for (i = 1; i <= n; ++i) {
        t = names[i]; r = ir[t, "versioned"] / ir[t, "heap"]; la += log(r)
        if (r > worst) { worst = r; worst_type = t }
        if (r > 1.10) ++over
      }
      printf "all %d types: geomean %.3f, worst %.2f (%s), %d over 1.10\n", n, exp(la / n), worst,
             worst_type, over
    }' "$work/$bench"
done
