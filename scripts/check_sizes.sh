#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Holds the hand-written sources to their sizes: no file over 400 lines, no
# function over 60 as clang-tidy's readability-function-size counts them (a
# lambda counts toward the function around it; a header's functions count
# where a translation unit includes it). Generated code, goldens, corpora,
# test data and definitions are left out.
# usage: check_sizes.sh [--files-only] SOURCE_DIR BUILD_DIR [CLANG_TIDY] [JOBS] [UNDER]
# --files-only: the files' sizes alone (a second; the functions take minutes).
# BUILD_DIR is a configured and built tree: its compilation databases (and
# those of projects it builds, such as the fuzz targets') name the units.
# UNDER, a folder of SOURCE_DIR, keeps the function check to its units.
set -euo pipefail
files_only=false
if [ "${1:-}" = --files-only ]; then
  files_only=true
  shift
fi
src=$(cd "$1" && pwd -P)
build=$(cd "$2" && pwd -P)
tidy=${3:-clang-tidy-14}
jobs=${4:-$(nproc)}
under=${5:-}
max_file=400
max_function=60
not_hand_written='/(golden|[a-z_]*corpus|data|bad_definitions|compat_changes)/'
found=$(mktemp -d)
trap 'rm -rf "$found"' EXIT

# The tree's top-level folders, build trees left out: they hold generated
# sources and copies.
top=()
for dir in "$src"/*/; do
  dir=${dir%/}
  [ -f "$dir/CMakeCache.txt" ] || [ "$dir" = "$build" ] || [ "${build#"$dir"/}" != "$build" ] ||
    top+=("$(basename "$dir")")
done

# Files.
for dir in "${top[@]}"; do
  find "$src/$dir" \( -name '*.c' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \
    -o -name '*.cmake' -o -name '*.cmake.in' -o -name '*.sh' -o -name CMakeLists.txt \) -print
done | sort | grep -vE "$not_hand_written" | tr '\n' '\0' |
  xargs -0 wc -l | awk -v max=$max_file -v src="$src/" '
    $2 != "total" && $1 > max { sub(src, "", $2); print $2 ": " $1 " lines (limit " max ")" }' \
  > "$found/files"
if $files_only; then
  [ -s "$found/files" ] && { echo "Files over $max_file lines:"; cat "$found/files"; exit 1; }
  echo "sizes: every file within $max_file lines"
  exit 0
fi

# Functions: every hand-written unit of every compilation database in the
# build tree, with the headers of the tree's own folders. Units are taken from
# those folders alone, so BUILD_DIR may be a project nested in a build tree
# whose generated units lie outside it.
own="^$src/($(IFS='|'; echo "${top[*]}"))/"
find "$build" -name compile_commands.json | while read -r db; do
  # A database with no unit under UNDER adds none (grep's status 1 is no failure).
  { sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$db" | grep -E "$own" | grep "^$src/${under:+$under/}" |
    grep -vE "$not_hand_written" || true; } | sed "s|^|-p=$(dirname "$db") |"
done | sort -u -k2,2 > "$found/units"
[ -s "$found/units" ] || { echo "no compilation database under $build" >&2; exit 2; }
xargs -P "$jobs" -L 1 "$tidy" -quiet -extra-arg=-Wno-unknown-warning-option \
  -checks='-*,readability-function-size' -header-filter="$own" \
  -config="{CheckOptions: [{key: readability-function-size.LineThreshold, value: $max_function}]}" \
  < "$found/units" > "$found/tidy" 2> "$found/tidy_errors" || true
# A unit clang-tidy cannot read is a unit left unchecked.
grep -h ': error: ' "$found/tidy" "$found/tidy_errors" | sort -u > "$found/errors" || true
awk -v src="$src/" '
  / warning: function .* exceeds recommended size/ {
    at = $1; sub(src, "", at); name = $0; sub(/.*function /, "", name); sub(/ exceeds.*/, "", name) }
  / note: [0-9]+ lines including whitespace/ && at != "" {
    n = $0; sub(/.* note: /, "", n); sub(/ including.*/, "", n); print at " " name ": " n; at = "" }
' "$found/tidy" | sort -u > "$found/functions"

units=$(wc -l < "$found/units")
if [ -s "$found/files" ] || [ -s "$found/functions" ] || [ -s "$found/errors" ]; then
  [ -s "$found/files" ] && { echo "Files over $max_file lines:"; cat "$found/files"; }
  [ -s "$found/functions" ] && { echo "Functions over $max_function lines:"; cat "$found/functions"; }
  [ -s "$found/errors" ] && { echo "clang-tidy could not read:"; cat "$found/errors"; }
  exit 1
fi
echo "sizes: every file within $max_file lines, every function of $units units within $max_function"
