#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The library-only configuration: with BUILD_TESTING=OFF the project
# configures with GoogleTest, Google Benchmark and clang all out of reach, and
# builds the generator, the library, the simulated platform and the tools.
#   library_only.sh SOURCE_DIR GENERATOR
set -euo pipefail
source=$1 generator=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake -S "$source" -B "$tmp" -G "$generator" -DBUILD_TESTING=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_GMock=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DZIM_CLANGXX=/nonexistent/clang++ >"$tmp.log" 2>&1 ||
  { cat "$tmp.log"; rm -f "$tmp.log"; echo "the library-only configuration failed"; exit 1; }
rm -f "$tmp.log"
targets=$(cmake --build "$tmp" --target help)
for wanted in zim_tables zim_tablegen zim_tables_inspect zim_sim_memory; do
  grep -q "^$wanted:" <<<"$targets" || { echo "no target $wanted"; exit 1; }
done
for unwanted in generator_tests zim_tables_bench fuzz_build; do
  ! grep -q "^$unwanted:" <<<"$targets" || { echo "target $unwanted in a library-only build"; exit 1; }
done
echo "library only: configured without GoogleTest, Google Benchmark or clang"
