#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs one component of a built tree into a scratch prefix and checks
# that each file given (relative to the prefix) is there, and that an
# installed program runs with its own folder's libraries: --help answers.
#   component_install.sh BUILD_DIR COMPONENT PROGRAM FILE...
set -euo pipefail
build=$1 component=$2 program=$3
shift 3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --component "$component" --prefix "$tmp" >/dev/null
cmake --install "$build" --component sim --prefix "$tmp" >/dev/null
missing=0
for file; do
  [ -e "$tmp/$file" ] || { echo "component $component did not install $file"; missing=1; }
done
[ "$missing" -eq 0 ] || exit 1
"$tmp/bin/$program" --help >/dev/null || { echo "the installed $program does not run"; exit 1; }
echo "component $component: installs $*, and $program runs from the prefix"
