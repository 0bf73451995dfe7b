#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the build tools and libraries that a fresh Debian machine may lack.
set -euo pipefail
packages=()
command -v cmake >/dev/null || packages+=(cmake)
command -v ninja >/dev/null || packages+=(ninja-build)
command -v g++ >/dev/null || packages+=(g++)
command -v nm >/dev/null || packages+=(binutils)
command -v abidiff >/dev/null || packages+=(abigail-tools)
# The package test: lintian on every .deb, and dpkg-architecture (dpkg-dev).
command -v lintian >/dev/null || packages+=(lintian)
command -v dpkg-architecture >/dev/null || packages+=(dpkg-dev)
# The manual pages' test renders them.
command -v man >/dev/null || packages+=(man-db)
# The install test builds the examples with pkg-config.
command -v pkg-config >/dev/null || packages+=(pkgconf)
[ -f /usr/include/gtest/gtest.h ] || packages+=(libgtest-dev libgmock-dev)
[ -f /usr/include/benchmark/benchmark.h ] || packages+=(libbenchmark-dev)
# The all-types benchmark counts instructions under callgrind, through its
# client requests.
[ -f /usr/include/valgrind/callgrind.h ] || packages+=(valgrind)
[ -f /usr/include/CLI/CLI.hpp ] || packages+=(libcli11-dev)
# The inspector writes JSON.
[ -f /usr/include/nlohmann/json.hpp ] || packages+=(nlohmann-json3-dev)
# The inspector's pool images carry zlib's CRC-32.
[ -f /usr/include/zlib.h ] || packages+=(zlib1g-dev)
# The definition fuzz test: clang with libFuzzer.
command -v clang++-14 >/dev/null || packages+=(clang-14)
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || packages+=(libclang-rt-14-dev)
# The size check counts functions' lines with clang-tidy.
command -v clang-tidy-14 >/dev/null || packages+=(clang-tidy-14)
# The relay publishes into Redis through hiredis; its tests start a
# redis-server of their own (a socket in a fresh folder, no TCP port), never
# the package's service.
command -v redis-server >/dev/null || packages+=(redis-server)
[ -f /usr/include/hiredis/hiredis.h ] || packages+=(libhiredis-dev)
if [ ${#packages[@]} -gt 0 ]; then
  echo "Installing: ${packages[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}"
  # Installing redis-server may start its service where services run: the
  # tests need none, so the one installed here is stopped and left disabled.
  if [[ " ${packages[*]} " == *" redis-server "* ]] && [ -d /run/systemd/system ]; then
    systemctl disable --now redis-server >/dev/null 2>&1 || true
  fi
fi
