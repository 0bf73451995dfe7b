#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every generated type header, through all_tables.h, compiles warning-free in
# the language modes users build in, with gcc and clang alike; in C++ they
# bring the owning handles too.   compile_headers.sh GENERATED_INCLUDE SOURCE_INCLUDE
set -uo pipefail
includes=(-I"$1" -I"$2")
failures=0
while read -r compiler language flags; do
  # shellcheck disable=SC2086  # flags are words
  # After assert.h, whose declaration of __assert_fail the header's must match.
  if ! printf '#include <assert.h>\n#include "zim/tables/all_tables.h"\n' |
    "$compiler" -x "$language" $flags -Wall -Wextra -Wshadow -Werror -fsyntax-only "${includes[@]}" -; then
    echo "failed: $compiler $language $flags"
    failures=$((failures + 1))
  fi
done <<'MODES'
gcc c -std=c99
gcc c -std=c11 -pedantic
clang-14 c -std=c99
clang-14 c -std=c11 -pedantic
g++ c++ -std=c++17 -pedantic
clang++-14 c++ -std=c++17 -pedantic
MODES
[ "$failures" -eq 0 ] && echo "headers: warning-free in every mode"
