#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs components of a built tree into a scratch prefix and checks that
# each file given (relative to the prefix) is there, and that an installed
# installed program runs with the libraries those components bring: --help
# answers.
#   component_install.sh BUILD_DIR "COMPONENT..." "PROGRAM..." FILE...
set -euo pipefail
build=$1 components=$2 programs=$3
shift 3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for component in $components; do
  cmake --install "$build" --component "$component" --prefix "$tmp" >/dev/null
done
missing=0
for file; do
  [ -e "$tmp/$file" ] || { echo "components $components did not install $file"; missing=1; }
done
[ "$missing" -eq 0 ] || exit 1
for program in $programs; do
  "$tmp/bin/$program" --help >/dev/null || { echo "the installed $program does not run"; exit 1; }
done
echo "components $components: install $*, and $programs run from the prefix"
