#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every generated type header, through all_tables.h, compiles warning-free in
# the language modes users build in, with gcc and clang alike, -Wcast-qual
# included; in C++ (from C++11) they bring the owning handles, which a use of
# each instantiates.   compile_headers.sh GENERATED_INCLUDE SOURCE_INCLUDE
set -uo pipefail
includes=(-I"$1" -I"$2")
failures=0
# After assert.h, whose declaration of __assert_fail the header's must match.
c_program='#include <assert.h>
#include "zim/tables/all_tables.h"'
cxx_program="$c_program"'
#include <zim/tables/handles.hpp>
#include <zim/tables/olist.h>
uint64_t use(qor_olist_obj *pool_obj) {
  zim_tables::ClientCopy<qor_olist_obj> copy = zim_tables::copy_of(pool_obj);
  copy.reset(zim_tables::snapshot_of(pool_obj).release());
  uint64_t sum = zim_tables::ServerObject<qor_olist_obj>::make(3) ? 1 : 0;
  for (uint64_t v : zim_tables::elements(copy.get(), zim_olist_field_2_length,
                                         zim_olist_get_field_2)) sum += v;
  return sum;
}'
while read -r compiler language flags; do
  program="$c_program"
  [ "$language" = c++ ] && program="$cxx_program"
  # shellcheck disable=SC2086  # flags are words
  if ! printf '%s\n' "$program" |
    "$compiler" -x "$language" $flags -Wall -Wextra -Wshadow -Wcast-qual -Werror -fsyntax-only \
      "${includes[@]}" -; then
    echo "failed: $compiler $language $flags"
    failures=$((failures + 1))
  fi
done <<'MODES'
gcc c -std=c99
gcc c -std=c11 -pedantic
clang-14 c -std=c99
clang-14 c -std=c11 -pedantic
g++ c++ -std=c++11 -pedantic
clang++-14 c++ -std=c++11 -pedantic
g++ c++ -std=c++17 -pedantic
clang++-14 c++ -std=c++17 -pedantic
MODES
[ "$failures" -eq 0 ] && echo "headers: warning-free in every mode"
