#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The generated unit, header and export-map lines of some types against their
# committed goldens, so that a review shows every change to the emitted code.
# usage: goldens.sh GENERATED_DIR GOLDEN_DIR check|refresh TYPE...
set -eu
gen=$1 golden=$2 mode=$3
shift 3
now=$(mktemp -d)
trap 'rm -rf "$now"' EXIT
for type; do
  cp "$gen/src/vesk-autogensrc/${type}_common_utils.cpp" "$gen/include/zim/tables/$type.h" "$now"
  grep -E "^ +(qor|zim)_(srv_)?${type}_[a-z_]+;$" "$gen/zim_tables.map" >>"$now/zim_tables.map"
done
if [ "$mode" = refresh ]; then
  rm -f "$golden"/*
  cp "$now"/* "$golden"
elif ! differences=$(diff -ru -x .clang-format "$golden" "$now" 2>&1); then
  printf '%s\n' "$differences" | head -100
  echo 'The emitted code differs from the goldens; after reviewing the diff above, refresh'
  echo 'them with: cmake --build --preset default --target zim_tables_goldens'
  exit 1
fi
