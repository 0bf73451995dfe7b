#!/usr/bin/env bash
# Instruction counts of each copy against its baseline, under callgrind: the
# counts repeat exactly from run to run, unlike times.
#   benchmarks/callgrind.sh [BUILD_DIR]
set -euo pipefail
bench="${1:-build/default}/benchmarks/zim_tables_bench"
iterations=1000
count() {  # instructions inside run_<op> over all iterations
  valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect="*run_$2*" \
    "$bench" --loop "$1" "$2" "$iterations" 2>&1 | awk '/Collected :/ {print $4}'
}
printf '%-18s %12s %12s %8s %12s %14s %8s\n' type read_dbobj memcpy ratio copy_ctor calloc_memcpy ratio
for type in testglobaldiscard l2if tmport rawget test_if olist ipnhgroup; do
  r=$(count "$type" read_dbobj); m=$(count "$type" memcpy)
  c=$(count "$type" copy_ctor); a=$(count "$type" calloc_memcpy)
  printf '%-18s %12d %12d %8.2f %12d %14d %8.2f\n' "$type" $((r / iterations)) $((m / iterations)) \
    "$(awk -v a="$r" -v b="$m" 'BEGIN{print a/b}')" $((c / iterations)) $((a / iterations)) "$(awk -v a="$c" -v b="$a" 'BEGIN{print a/b}')"
done
