#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs a built tree into a temporary prefix, moves the prefix to a path
# with a space, and builds and runs the examples against it, once through
# find_package and once through pkg-config, with nothing from the source or
# build tree and no LD_LIBRARY_PATH; installs the examples' own catalogue
# (ids from 1000) beside it and shares a pool of both catalogues' objects
# between a find_package and a pkg-config program and the inspector; then
# holds zim_tables_add_library to what it refuses and to rebuilding when a
# folder of definitions changes.
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
# fails PATTERN WHAT COMMAND...: the command must fail with PATTERN in its
# output, its lines joined (CMake wraps its messages); else WHAT went wrong.
fails() {
  local pattern=$1 what=$2
  shift 2
  if "$@" </dev/null >"$tmp/fails.log" 2>&1 ||
    ! tr -s ' \n' '  ' <"$tmp/fails.log" | grep -q "$pattern"; then
    cat "$tmp/fails.log"
    echo "$what"
    exit 1
  fi
}

quiet install.log cmake --install "$build" --prefix "$tmp/staged" --strip
prefix="$tmp/pre fix"
mv "$tmp/staged" "$prefix"
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

# The server example makes its pool and hands it over, then adopts it and
# hands it over again; the installed inspector removes it.
server_pool=/zim_install_server.$$
for done_line in "created $server_pool" "adopted $server_pool"; do
  "$tmp/cmake/olist_server" "$server_pool" 10 1000 >"$tmp/server.log" 2>&1 &
  for _ in $(seq 200); do grep -qF "$done_line" "$tmp/server.log" && break; sleep 0.05; done
  kill -TERM $! 2>/dev/null || true
  if ! wait $! || ! grep -qF "handed over" "$tmp/server.log"; then
    cat "$tmp/server.log"
    echo "olist_server did not print '$done_line' and hand its pool over"
    exit 1
  fi
done
quiet destroy.log "$prefix/bin/zim_tables_inspect" destroy "$server_pool"
echo "olist_server: a pool made, handed over, adopted and handed over again"

# The examples' library of its own (ids from 1000, INSTALL), installed apart,
# then merged into the platform's prefix as a package would be; a project of
# its own finds it by find_package(inventory_tables).
quiet own_install.log cmake --install "$tmp/cmake" --prefix "$tmp/own_staged"
if grep -rl -e "$tmp/examples" -e "$tmp/cmake" -e "$source" -e "$build" "$tmp/own_staged"; then
  echo "the installed files above of inventory_tables name a source or build tree"
  exit 1
fi
cp -a "$tmp/own_staged/." "$prefix/"
mkdir "$tmp/consumer"
cp "$source/examples/own_tables/"{inventory_pool.c,run_command.h} "$tmp/consumer"
printf '%s\n' 'cmake_minimum_required(VERSION 3.25)' 'project(consumer LANGUAGES C)' \
  'find_package(inventory_tables CONFIG REQUIRED)' 'add_executable(inventory_pool inventory_pool.c)' \
  'target_link_libraries(inventory_pool PRIVATE inventory_tables::inventory_tables zim_tables::zim_tables)' \
  >"$tmp/consumer/CMakeLists.txt"
quiet consumer.log cmake -S "$tmp/consumer" -B "$tmp/consumer/build" -G "$generator" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc"
quiet consumer.log cmake --build "$tmp/consumer/build"
echo "find_package(inventory_tables): a separate project built against the installed library"

export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name zim_tables.pc)"):$prefix/lib/pkgconfig
# pkg-config writes the space as '\ ', which read takes back without -r as a
# shell would parse the words (a bare $(pkg-config ...) cannot: using.md).
# shellcheck disable=SC2162  # backslashes are escapes here
read -a libdir <<<"$("$pkg_config" --variable=libdir zim_tables)"
# shellcheck disable=SC2162
read -a flags <<<"$("$pkg_config" --cflags --libs zim_tables)"
rpath=-Wl,-rpath,${libdir[*]}
# --as-needed: the platform libraries the program does not call are found
# through libzim_tables's own RUNPATH, as from any other folder.
quiet cc.log "$cc" -std=c11 -Wall -Wextra -Werror "$tmp/examples/olist_life.c" \
  -Wl,--as-needed "${flags[@]}" "$rpath" -o "$tmp/c"
quiet cxx.log "$cxx" -std=c++17 -Wall -Wextra -Werror "$tmp/examples/olist_life.cpp" \
  "${flags[@]}" "$rpath" -o "$tmp/cxx"
quiet run.log "$tmp/c"
quiet run.log "$tmp/cxx"
echo "pkg-config: the C and C++ examples ran"

# One pool, objects of both catalogues: the find_package build serves, the
# pkg-config build attaches, snapshots and copies, and the installed
# inspector reads the user's types from the pool's own records.
# shellcheck disable=SC2162
read -a own_libdir <<<"$("$pkg_config" --variable=libdir inventory_tables)"
# shellcheck disable=SC2162
read -a flags <<<"$("$pkg_config" --cflags --libs inventory_tables)"
quiet mixed.log "$cc" -std=c11 -Wall -Wextra -Werror "$tmp/consumer/inventory_pool.c" "${flags[@]}" \
  "$rpath" "-Wl,-rpath,${own_libdir[*]}" -o "$tmp/inventory_pool"
export ZIM_NPD_SIZES=268=8,1001=24
# shellcheck disable=SC2016  # expanded by the shell the server runs
clients='offset=$("$1" attach "$2") && "$3" pool "$2" --list && "$3" decode --pool "$2" --offset "$offset"'
quiet mixed.log "$tmp/consumer/build/inventory_pool" serve "/zim_install.$$" sh -c "$clients" sh \
  "$tmp/inventory_pool" "/zim_install.$$" "$prefix/bin/zim_tables_inspect"
for line in 'route_list (table id 1001)' 'olist (table id 268)' 'next_hops'; do
  grep -qF "$line" "$tmp/mixed.log" || { cat "$tmp/mixed.log"; echo "no '$line' above"; exit 1; }
done
unset ZIM_NPD_SIZES
echo "one pool: a catalogue of one's own and the platform's, two processes, the inspector"

# The installed inspector finds the installed catalogue on its own.
quiet inspect.log "$prefix/bin/zim_tables_inspect" layout olist --count 3
echo "zim_tables_inspect: ran from the installed tree"

# Libraries of one's own: defs holds the example's definitions, copy the same
# types again, low them under the platform's ids 0 and 1, olist the
# platform's olist under id 0.
own=$tmp/own
mkdir -p "$own/olist" "$own/low"
cp -r "$source/examples/own_tables/defs" "$own/defs"
cp -r "$own/defs" "$own/copy"
sed 's/^id 1000$/id 0/' "$own/defs/1000_port_entry.tdef" >"$own/low/000_port_entry.tdef"
sed 's/^id 1001$/id 1/' "$own/defs/1001_route_list.tdef" >"$own/low/001_route_list.tdef"
sed 's/^id 268$/id 0/' "$source/platforms/common/zim/tables/defs/268_olist.tdef" >"$own/olist/000_olist.tdef"
# own_project CALL...: configures a project of zim_tables_add_library(CALL)s.
own_project() {
  printf 'cmake_minimum_required(VERSION 3.25)\nproject(own LANGUAGES CXX)\n%s\n' \
    'find_package(zim_tables 1 CONFIG REQUIRED)' >"$own/CMakeLists.txt"
  printf 'zim_tables_add_library(%s)\n' "$@" >>"$own/CMakeLists.txt"
  rm -rf "$own/build"
  cmake -S "$own" -B "$own/build" -G "$generator" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Release
}
# What is refused when the project is configured, and the message that says why.
while IFS='|' read -r why message calls; do
  IFS=';' read -ra calls <<<"$calls"
  fails "$message" "zim_tables_add_library did not refuse $why" own_project "${calls[@]}"
done <<'CASES'
a platform type's name|(a): table type olist (.*/olist/000_olist.tdef) is a type of the platform (.*/layout.manifest)|a VERSION 1.0.0 DEFINITIONS olist
one output folder|(b): OUTPUT_DIR .*/build/gen meets the output folder of a|a VERSION 1.0.0 DEFINITIONS defs OUTPUT_DIR gen;b VERSION 1.0.0 DEFINITIONS olist OUTPUT_DIR gen ALLOW_PLATFORM_NAMES
an output folder in another|(b): OUTPUT_DIR .*/gen/b meets the output folder of a|a VERSION 1.0.0 DEFINITIONS defs OUTPUT_DIR gen;b VERSION 1.0.0 DEFINITIONS olist OUTPUT_DIR gen/b ALLOW_PLATFORM_NAMES
one type name twice|(b): table type port_entry (.*/copy/1000_port_entry.tdef) is also a type of a (.*/defs/1000_port_entry.tdef)|a VERSION 1.0.0 DEFINITIONS defs;b VERSION 1.0.0 DEFINITIONS copy
the platform's ids|(a): table ids 0 to 1 (.*/low) overlap the platform's table ids 0 to 342 (.*/layout.manifest)|a VERSION 1.0.0 DEFINITIONS low
no version|usage: zim_tables_add_library(<target> DEFINITIONS <dir> VERSION <major.minor.patch>|a DEFINITIONS defs
a version without its patch|VERSION 2.1: give <major>.<minor>.<patch>|a DEFINITIONS defs VERSION 2.1
CASES

# An editor's lock file (a dangling link) is no definition; a folder that
# --check refuses (a file named like a definition under another extension,
# which changes no definition's time) fails every build until it is valid;
# and a removed type leaves nothing behind.
ln -s user@host.4242:1700000000 "$own/defs/.#1000_port_entry.tdef"
quiet own.log own_project "a DEFINITIONS defs VERSION 1.0.0" \
  "b DEFINITIONS olist VERSION 1.0.0 ALLOW_PLATFORM_NAMES"
quiet own.log cmake --build "$own/build" --target a
touch "$own/defs/1002_extra.def"
for build in first second; do
  fails "named like a definition, but only \*.tdef files are read" \
    "the $build build with a misnamed definition did not fail on --check" \
    cmake --build "$own/build" --target a
done
rm "$own/defs/1002_extra.def" "$own/defs/1001_route_list.tdef"
quiet own.log cmake --build "$own/build" --target a
generated=$own/build/a_generated
if grep -rl route_list "$generated" ||
  ! grep -q "ZIM_NUM_TABLE_TYPES 1u" "$generated/include/zim/tables/catalogue_size.h"; then
  echo "the generated files above still hold the removed type route_list"
  exit 1
fi
echo "zim_tables_add_library: refusals, editor lock files and removed definitions"
