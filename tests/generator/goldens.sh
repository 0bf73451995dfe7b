#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The generated unit, header and export-map lines of some types against their
# committed goldens, so that a review shows every change to the emitted code.
# A definition's files are the listed outputs that name it in their first
# line; its export-map lines, the functions that its header exports.
# usage: goldens.sh TABLEGEN DEFS_DIR GENERATED_DIR GOLDEN_DIR check|refresh DEFINITION...
set -eu
tablegen=$1 defs=$2 gen=$3 golden=$4 mode=$5
shift 5
now=$(mktemp -d)
trap 'rm -rf "$now"' EXIT
outputs=$("$tablegen" --list-outputs "$defs")
for def; do
  for file in $outputs; do
    head -n 1 "$gen/$file" | grep -qF "defs/$def by" || continue
    cp "$gen/$file" "$now"
    sed -n 's/^ZIM_TABLES_API .* \([a-z0-9_]*\)(.*/    \1;/p' "$gen/$file" >>"$now/exports"
  done
  grep -Fx -f "$now/exports" "$gen/zim_tables.map" >>"$now/zim_tables.map"
  rm "$now/exports"
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
