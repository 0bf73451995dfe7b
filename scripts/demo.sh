#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the library and runs the demonstration on the simulated platform,
# then shows one object it wrote through zim_tables_inspect.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target zim_tables_demo zim_tables_inspect
object=build/default/olist.obj
build/default/tools/zim_tables_demo --dump "$object"
inspect=build/default/tools/inspect/zim_tables_inspect
echo
echo "\$ zim_tables_inspect layout olist --count 3"
"$inspect" layout olist --count 3
echo
echo "\$ zim_tables_inspect decode olist $object"
"$inspect" decode olist "$object"
