#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the packages of a built tree into a temporary folder and checks what
# each holds and what it depends on, that lintian accepts them, and that they
# install into a scratch root where a program builds and runs against them.
#   package_contents.sh BUILD_DIR VERSION DEB_VERSION SOURCE_DIR CC
set -euo pipefail
build=$1 upstream=$2 version=$3 source=$4 cc=$5
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$tmp" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; exit 1; }

failures=0
# check PACKAGE has|lacks REGEX...: the file list (names only) does or does not match.
check() {
  local package=$1 want=$2 list
  shift 2
  if [[ $package == *.deb ]]; then
    list=$(dpkg -c "$tmp/$package" | sed -E 's/^([^ ]+ +){5}//')
  else
    list=$(tar -tzf "$tmp/$package")
  fi
  for pattern in "$@"; do
    if grep -Eq "$pattern" <<<"$list"; then found=has; else found=lacks; fi
    [ "$found" = "$want" ] || { echo "$package $found $pattern"; failures=$((failures + 1)); }
  done
}
# field PACKAGE FIELD REGEX: the control field matches.
field() {
  dpkg-deb -f "$tmp/$1" "$2" | grep -Eq "$3" ||
    { echo "$1 $2: '$(dpkg-deb -f "$tmp/$1" "$2")' does not match $3"; failures=$((failures + 1)); }
}

arch=$(dpkg --print-architecture)
lib=lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
runtime=libzim-tables1_${version}_$arch.deb dev=libzim-tables-dev_${version}_$arch.deb
migration=libzim-table-migration1_${version}_$arch.deb
sim=zim-tables-sim_${version}_$arch.deb sim_dev=zim-tables-sim-dev_${version}_$arch.deb
check "$runtime" has "$lib/libzim_tables\\.so\\.1\\.0\\.0$" "$lib/libzim_tables\\.so\\.1 -> " \
  'share/doc/libzim-tables1/(copyright|changelog\.Debian\.gz)$'
check "$runtime" lacks '/include/' 'libzim_tables\.so -> ' 'libparn' '/bin/' 'migration'
check "$migration" has "$lib/libzim_table_migration\\.so\\.1 -> " \
  'share/doc/libzim-table-migration1/(copyright|changelog\.Debian\.gz)$'
check "$migration" lacks '/include/' '\.so -> ' 'libzim_tables\.so'
check "$dev" has '/include/zim/tables/(olist|platform|table_object|export|all_tables|catalogue_size|accessors)\.h$' \
  '/include/zim/tables/handles\.hpp$' '/include/zim/tables/migration\.h$' \
  'libzim_tables\.so -> ' 'libzim_table_migration\.so -> ' '/bin/zim_tablegen$' '/bin/zim_tables_inspect$' '/share/zim_tables/table_ops\.hpp$' \
  '/share/zim_tables/layout\.manifest$' \
  'cmake/zim_tables/zim_tables(Config|ConfigVersion|-targets|_add_library)\.cmake$' \
  'pkgconfig/zim_tables\.pc$'
check "$dev" lacks '^\S*\.so\.1' '/zim/sim/' 'zim_tables-sim-targets' 'zim_tables_sim\.pc'
check "$sim" has "$lib/lib(hulcon_config|parn|zim_misc|zim_memory|zim_table_props)\\.so\\.1 -> "
check "$sim" lacks '/include/' '\.so -> ' 'zim_tables\.so'
check "$sim_dev" has '/include/zim/sim/shm_pool\.h$' "$lib/libparn\\.so -> " \
  'cmake/zim_tables/zim_tables-sim-targets\.cmake$' 'pkgconfig/zim_tables_sim\.pc$'
check "$sim_dev" lacks '^\S*\.so\.1' '/zim/tables/'
check "zim-tables-$upstream-Linux.tar.gz" has "$lib/libzim_tables\\.so\\.1\\.0\\.0$" \
  'include/zim/sim/config\.h$' 'bin/zim_tablegen$'
field "$runtime" Depends 'zim-tables-platform'
field "$migration" Depends 'libstdc\+\+6'
field "$dev" Depends "libzim-tables1 \\(= $version\\), libzim-table-migration1 \\(= $version\\).*zim-tables-platform-dev"
field "$sim" Provides '^zim-tables-platform$'
field "$sim" Depends "libzim-table-migration1 \\(= $version\\)"
field "$sim_dev" Provides '^zim-tables-platform-dev$'
field "$sim_dev" Depends "zim-tables-sim \\(= $version\\)"

# Every tag at warning or above fails; overrides carry their reasons.
for package in "$runtime" "$migration" "$dev" "$sim" "$sim_dev"; do
  if ! lintian --fail-on error,warning "$tmp/$package" >"$tmp/lintian.log" 2>&1; then
    grep -v 'running with root privileges' "$tmp/lintian.log"
    echo "lintian: $package"
    failures=$((failures + 1))
  fi
done

# Installed by dpkg into a scratch root (its own database, the host's libc
# taken as given), a C program builds against that /usr and runs.
root=$tmp/root
mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-script-chrootless --force-not-root \
  --log=/dev/null -i "$tmp/$runtime" "$tmp/$migration" "$tmp/$dev" "$tmp/$sim" "$tmp/$sim_dev" \
  >"$tmp/dpkg.log" 2>&1 ||
  { cat "$tmp/dpkg.log"; echo "dpkg -i into a scratch root failed"; failures=$((failures + 1)); }
"$cc" -std=c11 -Wall -Wextra -Werror -I"$root/usr/include" "$source/examples/olist_life.c" \
  -L"$root/usr/$lib" -Wl,-rpath,"$root/usr/$lib" -lzim_tables -lhulcon_config -lparn \
  -lzim_misc -lzim_memory -lzim_table_props -o "$tmp/olist_life" &&
  "$tmp/olist_life" >"$tmp/run.log" 2>&1 ||
  { cat "$tmp/run.log" 2>/dev/null; echo "a program against the installed packages failed"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ] && echo "packages: contents, dependencies, lintian and a scratch install as expected"
