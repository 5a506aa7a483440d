#!/usr/bin/env bash
# lint_manpage.sh PAGE: PAGE (roff, man(7) macros) formats without a groff
# warning, passes mandoc's lint where mandoc is installed, and lexgrog reads
# its NAME line. Exit 77 (skipped) without groff.
set -uo pipefail
page="$1"
command -v groff >/dev/null || { echo "groff is not installed" >&2; exit 77; }
status=0
out="$(groff -t -man -ww -z "$page" 2>&1)"
if [ -n "$out" ]; then
  echo "groff: $out" >&2
  status=1
fi
if command -v mandoc >/dev/null; then
  mandoc -T lint -W style "$page" >&2 || status=1
fi
if command -v lexgrog >/dev/null; then
  lexgrog "$page" | grep -q ': ".* - ' || { echo "lexgrog finds no whatis line in $page" >&2; status=1; }
fi
exit $status
