#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The generated catalogue compiled in parts holds what it holds as one unit:
# for several slice counts, every type's layouts and its operations with its
# snapshot are defined in exactly one part of each kind, each part includes
# the headers of its own types alone, the table of types lies in the table's
# part only, and a slice outside the count is refused.
#   catalogue_parts.sh COMPILER GENERATED_DIR SOURCE_DIR
set -euo pipefail
cxx=$1 generated=$2 src=$3
catalogue=$generated/zim_tables_catalogue.cpp
includes=(-I"$generated/include" -I"$src/platforms/common/zim/tables/include"
          -I"$src/platforms/common/zim/tables" -I"$src/tools/catalogue/include"
          -I"$src/simulator/include")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
sed -n 's/^type [0-9]* \([a-z0-9_]*\)$/\1/p' "$generated/zim_tables.manifest" | sort >"$tmp/types"
[ -s "$tmp/types" ] || { echo "no types in $generated/zim_tables.manifest"; exit 1; }
failures=0
fail() { echo "$*"; failures=$((failures + 1)); }

# part PIECES SLICES SLICE: the part's text, its include directives kept.
part() {
  "$cxx" -std=c++17 -E -dI "${includes[@]}" -DZIM_TABLES_CATALOGUE_PIECES="$1" \
    -DZIM_TABLES_CATALOGUE_SLICES="$2" -DZIM_TABLES_CATALOGUE_SLICE="$3" "$catalogue"
}

# What a part defines: "layouts T" for a type's header array, "snapshot T"
# for its operations and snapshot, "include T" for a type's own header,
# "table" for the table of types.
pieces() {
  sed -n -e 's/^namespace of_\([a-z0-9_]*\) {$/ns \1/p' \
    -e 's/^const HeaderField header\[\] = .*/layouts/p' \
    -e 's/^void\* snapshot(void\* o) {.*/snapshot/p' \
    -e 's|^#include "zim/tables/\([a-z0-9_]*\)\.h"$|include \1|p' \
    -e 's/^const TableType types\[\] = {$/table/p' |
    awk '$1 == "ns" { ns = $2; next } NF == 1 && $1 != "table" { print $1 " " ns; next } { print }' |
    grep -xFf <(sed -e 's/^/layouts /' -e 'p;s/^layouts /snapshot /;p;s/^snapshot /include /' \
      "$tmp/types"; echo table)
}

for slices in 1 2 3 7; do
  : >"$tmp/all"
  for pieces_kind in 2 4; do
    for ((slice = 0; slice < slices; ++slice)); do
      part "$pieces_kind" "$slices" "$slice" | pieces >"$tmp/part"
      grep -q '^table$' "$tmp/part" && fail "$slices slices: part $pieces_kind/$slice holds the table"
      # The headers it includes are those of the types it defines.
      diff <(sed -n 's/^include //p' "$tmp/part" | sort) \
        <(sed -n 's/^\(layouts\|snapshot\) //p' "$tmp/part" | sort) >/dev/null ||
        fail "$slices slices: part $pieces_kind/$slice includes other types' headers"
      grep -v '^include ' "$tmp/part" >>"$tmp/all"
    done
  done
  for kind in layouts snapshot; do
    sed -n "s/^$kind //p" "$tmp/all" | sort | diff - "$tmp/types" >"$tmp/diff" ||
      fail "$slices slices: $kind not defined once per type: $(head -5 "$tmp/diff")"
  done
done

# The table's part: the table, no type's pieces.
part 1 1 0 | pieces >"$tmp/part"
[ "$(cat "$tmp/part")" = table ] || fail "the table's part: $(head -5 "$tmp/part")"
# A slice outside the count.
part 2 3 3 >/dev/null 2>&1 && fail "slice 3 of 3 was accepted"
[ "$failures" -eq 0 ] || exit 1
echo "catalogue parts: $(wc -l <"$tmp/types") types, each defined once at 1, 2, 3 and 7 slices"
