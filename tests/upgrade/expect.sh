# SPDX-License-Identifier: Apache-2.0
# shellcheck shell=bash
# What the upgrade scripts report with, sourced by them.
fail() {  # fail WHY FILE...
  echo "$1"
  shift
  cat "$@"
  exit 1
}
expect() {  # expect WHAT TEXT FILE
  grep -qF -- "$2" "$3" || fail "$1: expected \"$2\" in:" "$3"
}
