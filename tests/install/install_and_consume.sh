#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs a built tree into a temporary prefix, moves the prefix, and builds
# and runs the examples against it, once through find_package and once through
# pkg-config, with nothing from the source or build tree and no
# LD_LIBRARY_PATH.
#   install_and_consume.sh BUILD_DIR SOURCE_DIR GENERATOR CC CXX PKG_CONFIG
set -euo pipefail
build=$1 source=$2 generator=$3 cc=$4 cxx=$5 pkg_config=$6
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
unset LD_LIBRARY_PATH
# quiet LOG COMMAND...: the command's output only when it fails.
quiet() {
  local log=$tmp/$1
  shift
  "$@" >"$log" 2>&1 || { cat "$log"; echo "failed: $*"; exit 1; }
}

quiet install.log cmake --install "$build" --prefix "$tmp/staged" --strip
mv "$tmp/staged" "$tmp/prefix"
prefix=$tmp/prefix
if grep -rl -e "$source" -e "$build" "$prefix"; then
  echo "the installed files above name the source or build tree"
  exit 1
fi
cp -r "$source/examples" "$tmp/examples"

quiet configure.log cmake -S "$tmp/examples" -B "$tmp/cmake" -G "$generator" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx"
quiet build.log cmake --build "$tmp/cmake"
for program in olist_life_c olist_life_cpp own_tables/inventory; do
  quiet "run.log" "$tmp/cmake/$program"
done
echo "find_package: the examples and a library of their own definitions ran"

export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name zim_tables.pc)")
rpath=-Wl,-rpath,$("$pkg_config" --variable=libdir zim_tables)
read -ra flags <<<"$("$pkg_config" --cflags --libs zim_tables)"
# --as-needed: the platform libraries the program does not call are found
# through libzim_tables's own RUNPATH, as from any other folder.
quiet cc.log "$cc" -std=c11 -Wall -Wextra -Werror "$tmp/examples/olist_life.c" \
  -Wl,--as-needed "${flags[@]}" "$rpath" -o "$tmp/c"
quiet cxx.log "$cxx" -std=c++17 -Wall -Wextra -Werror "$tmp/examples/olist_life.cpp" \
  "${flags[@]}" "$rpath" -o "$tmp/cxx"
quiet run.log "$tmp/c"
quiet run.log "$tmp/cxx"
echo "pkg-config: the C and C++ examples ran"

# The installed inspector finds the installed catalogue on its own.
quiet inspect.log "$prefix/bin/zim_tables_inspect" layout olist --count 3
echo "zim_tables_inspect: ran from the installed tree"

# A library of one's own may not take a platform type's name unless it says so.
clash=$tmp/clash
mkdir -p "$clash/defs"
sed 's/^id 268$/id 0/' "$source/platforms/common/zim/tables/defs/268_olist.tdef" >"$clash/defs/000_olist.tdef"
cat >"$clash/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(clash LANGUAGES CXX)
find_package(zim_tables 1 CONFIG REQUIRED)
zim_tables_add_library(clash_tables DEFINITIONS defs ${ALLOW})
CMAKE
# CMake wraps its messages: the lines are joined before they are matched.
if cmake -S "$clash" -B "$clash/refused" -DCMAKE_PREFIX_PATH="$prefix" >"$tmp/clash.log" 2>&1 ||
  ! tr -s ' \n' '  ' <"$tmp/clash.log" |
  grep -q "table type olist (.*000_olist.tdef) is a type of the platform (.*layout.manifest)"; then
  cat "$tmp/clash.log"
  echo "a platform type's name in a library of one's own was not refused"
  exit 1
fi
quiet clash.log cmake -S "$clash" -B "$clash/allowed" -DCMAKE_PREFIX_PATH="$prefix" \
  -DALLOW=ALLOW_PLATFORM_NAMES
echo "zim_tables_add_library: a platform type's name is refused unless allowed"
