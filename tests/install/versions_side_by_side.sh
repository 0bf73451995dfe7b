#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A catalogue of one's own in a prefix of its own, next to the platform's:
# versions 1 and 2 (a breaking layout change, so a new major) installed side
# by side; a program of version 1 keeps loading version 1's library, and one
# made to load version 2's is refused at its first pool object; a breaking
# change that keeps the major fails the build against its BASELINE; and
# programs built through find_package and through pkg-config run from the
# catalogue's prefix without LD_LIBRARY_PATH.
#   versions_side_by_side.sh BUILD_DIR SOURCE_DIR GENERATOR CC PKG_CONFIG
set -euo pipefail
build=$1 source=$2 generator=$3 cc=$4 pkg_config=$5
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
unset LD_LIBRARY_PATH LD_PRELOAD
quiet() {
  local log=$tmp/$1
  shift
  "$@" >"$log" 2>&1 || { cat "$log"; echo "failed: $*"; exit 1; }
}
platform=$tmp/platform catalogue=$tmp/catalogue
quiet install.log cmake --install "$build" --prefix "$platform"

# Version 1: the examples' definitions; version 2 adds a field to port_entry.
mkdir -p "$tmp/src"
cp -r "$source/examples/own_tables/defs" "$tmp/src/v1"
cp -r "$tmp/src/v1" "$tmp/src/v2"
echo "field 8 mtu" >>"$tmp/src/v2/1000_port_entry.tdef"
cat >"$tmp/src/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(inv LANGUAGES CXX)
find_package(zim_tables 1 CONFIG REQUIRED)
set(baseline)
if(BASELINE)
  set(baseline BASELINE ${BASELINE})
endif()
zim_tables_add_library(inv_tables DEFINITIONS ${DEFS} VERSION ${INV_VERSION} ${baseline} INSTALL)
CMAKE
# catalogue NAME DEFS VERSION [BASELINE]: configures and builds it in $tmp/NAME.
catalogue() {
  rm -rf "${tmp:?}/$1"
  cmake -S "$tmp/src" -B "$tmp/$1" -G "$generator" -DCMAKE_PREFIX_PATH="$platform" \
    -DCMAKE_BUILD_TYPE=Release -DDEFS="$tmp/src/$2" -DINV_VERSION="$3" -DBASELINE="${4:-}" &&
    cmake --build "$tmp/$1"
}

# A program that makes a port_entry in a pool of its own: through find_package
# (built in its own build tree) and through pkg-config (no rpath of its own).
mkdir "$tmp/app"
cat >"$tmp/app/app.c" <<'C'
#include <stdio.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/port_entry.h>
int main(int argc, char **argv) {
  if (argc < 2 || zim_shm_pool_create(argv[1], 1 << 20) != 0) return 2;
  srv_port_entry_t entry = zim_srv_port_entry_ctor_with_shm();
  zim_port_entry_set_speed(entry, 100000);
  printf("port_entry of %u bytes\n", ZIM_PORT_ENTRY_OBJECT_SIZE(0u, 16u, 0u));
  zim_shm_pool_detach();
  return 0;
}
C
printf '%s\n' 'cmake_minimum_required(VERSION 3.25)' 'project(app LANGUAGES C)' \
  'find_package(inv_tables 1 CONFIG REQUIRED)' 'add_executable(app app.c)' \
  'target_link_libraries(app PRIVATE inv_tables::inv_tables)' >"$tmp/app/CMakeLists.txt"

quiet v1.log catalogue v1 v1 1.0.0
quiet v1.log cmake --install "$tmp/v1" --prefix "$catalogue"
quiet app.log cmake -S "$tmp/app" -B "$tmp/app/build" -G "$generator" \
  -DCMAKE_PREFIX_PATH="$catalogue;$platform" -DCMAKE_C_COMPILER="$cc"
quiet app.log cmake --build "$tmp/app/build"
app=$tmp/app/build/app
quiet run.log "$app" "/zim_versions_v1.$$"
v1_line=$(cat "$tmp/run.log")
readelf -d "$app" | grep -q 'NEEDED.*\[libinv_tables[.]so[.]1\]' ||
  { readelf -d "$app"; echo "the program does not need libinv_tables.so.1"; exit 1; }
# The library finds the platform's libraries in their prefix on its own,
# whatever the program's RUNPATH holds.
if ldd "$(find "$catalogue" -name libinv_tables.so.1)" | grep "not found"; then
  echo "libinv_tables.so.1 does not reach the platform's libraries"
  exit 1
fi
echo "find_package: a program of version 1 ran from the catalogue's own prefix"

# Version 2 next to it, held to version 1's installed manifest. CMake's
# install keeps a file whose installed copy's time is within a second of its
# own, whatever it holds: version 2's headers are made more than a second
# after version 1's, which a quick build can otherwise miss.
baseline=$catalogue/share/inv_tables/layout-1.0.0.manifest
made=$(stat -c %Y "$(find "$tmp/v1" -name port_entry.h -print -quit)")
while (($(date +%s) <= made + 1)); do sleep 0.2; done
quiet v2.log catalogue v2 v2 2.0.0 "$baseline"
quiet v2.log cmake --install "$tmp/v2" --prefix "$catalogue"
libdir=$(dirname "$(find "$catalogue" -name libinv_tables.so.2.0.0)")
for file in libinv_tables.so.1 libinv_tables.so.1.0.0 libinv_tables.so.2 libinv_tables.so.2.0.0; do
  [[ -e $libdir/$file ]] || { ls -l "$libdir"; echo "no $file side by side"; exit 1; }
done
for major in 1 2; do
  soname=$(readelf -d "$libdir/libinv_tables.so.$major" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [[ $soname == libinv_tables.so.$major ]] || { echo "SONAME $soname in .so.$major"; exit 1; }
done
[[ -e $catalogue/share/inv_tables/layout-2.0.0.manifest && -e $baseline ]] ||
  { echo "the versions' manifests are not side by side"; exit 1; }
quiet run.log "$app" "/zim_versions_v1.$$"
[[ $(cat "$tmp/run.log") == "$v1_line" ]] || { cat "$tmp/run.log"; echo "version 1 changed"; exit 1; }
echo "versions 1 and 2 side by side: the program of version 1 still runs on version 1"

# Version 2's library under a program of version 1: its first pool object is refused.
# (A subshell that waits: the shell's own "Aborted" goes to the log too.)
if (LD_PRELOAD=$libdir/libinv_tables.so.2 "$app" "/zim_versions_wrong.$$" || exit $?) \
  >"$tmp/wrong.log" 2>&1 ||
  ! grep -q "cannot make an object of type port_entry (table id 1000) of [0-9]* bytes.*gives" \
    "$tmp/wrong.log"; then
  cat "$tmp/wrong.log"
  echo "version 2's library under a program of version 1 was not refused"
  exit 1
fi
echo "version 2's library loaded by a program of version 1: refused at its first object"

# A breaking change that keeps the major fails the build and says what to do;
# one without a layout change builds.
if catalogue bad v2 1.1.0 "$baseline" >"$tmp/bad.log" 2>&1 ||
  ! tr -s ' \n' '  ' <"$tmp/bad.log" | grep -q \
    "type port_entry (table id 1000) has fingerprint [0-9a-f]*, layout-1.0.0.manifest [0-9a-f]*.*Raise the major version (VERSION 2.0.0)"; then
  cat "$tmp/bad.log"
  echo "a breaking change within major version 1 was not refused"
  exit 1
fi
quiet minor.log catalogue minor v1 1.1.0 "$baseline"
echo "BASELINE: a breaking change needs a new major version"

# pkg-config from the catalogue's own prefix: no rpath on the command line.
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$catalogue" -name inv_tables.pc)"):$(dirname "$(find "$platform" -name zim_tables.pc)")
# shellcheck disable=SC2046  # the flags are words
quiet pc.log "$cc" "$tmp/app/app.c" $("$pkg_config" --cflags --libs inv_tables) -o "$tmp/pc_app"
quiet run.log "$tmp/pc_app" "/zim_versions_pc.$$"
grep -q "port_entry of" "$tmp/run.log" || { cat "$tmp/run.log"; exit 1; }
echo "pkg-config: a program ran from the catalogue's own prefix"
