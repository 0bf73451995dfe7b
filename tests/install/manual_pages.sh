#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Renders a tool's manual page and checks that it documents every option and
# subcommand the tool's --help lists (and each subcommand's --help).
#   manual_pages.sh PAGE TOOL [SUBCOMMAND...]
set -euo pipefail
page=$1 tool=$2
shift 2
rendered=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) && [ -z "$rendered" ] ||
  { echo "$page renders with warnings: $rendered"; exit 1; }
text=$(MANWIDTH=80 man -l "$page" | sed 's/.\x08//g')
help=$("$tool" --help)
for sub; do help+=$'\n'"$("$tool" "$sub" --help)"; done
missing=0
for word in $(grep -oE -- '--[a-z][a-z-]+' <<<"$help" | sort -u) "$@"; do
  grep -qF -- "$word" <<<"$text" || { echo "$page does not mention $word"; missing=1; }
done
[ "$missing" -eq 0 ] && echo "$page: renders, and documents every option --help lists"
