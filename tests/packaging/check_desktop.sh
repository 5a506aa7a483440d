#!/usr/bin/env bash
# check_desktop.sh DESKTOP ICON_DIR SVG: the desktop entry validates, its
# Icon= names the icon the build draws, every PNG under ICON_DIR/NxN/apps is
# a PNG of N x N pixels (48 x 48 among them), and the SVG is an SVG. Exit 77
# (skipped) without desktop-file-validate.
set -uo pipefail
desktop="$1"
icons="$2"
svg="$3"
command -v desktop-file-validate >/dev/null || { echo "desktop-file-utils is not installed" >&2; exit 77; }
status=0
out="$(desktop-file-validate "$desktop" 2>&1)" || status=1
# Hints too: a hint today is an error in the next version of the desktop entry standard.
[ -z "$out" ] || { echo "$out" >&2; status=1; }
name="$(sed -n 's/^Icon=//p' "$desktop")"
[ "$name" = retrova ] || { echo "Icon=$name, the build installs retrova" >&2; status=1; }
found=0
for dir in "$icons"/*x*/; do
  size="$(basename "$dir")"
  png="$dir/apps/$name.png"
  n="${size%x*}"
  # The PNG signature, then the IHDR chunk's width and height (big-endian).
  header="$(od -An -tx1 -N24 "$png" 2>/dev/null | tr -d ' \n')"
  want="$(printf '89504e470d0a1a0a0000000d49484452%08x%08x' "$n" "$n")"
  if [ "$header" != "$want" ]; then
    echo "$png is not a $size PNG (header $header)" >&2
    status=1
  fi
  found=$((found + 1))
done
[ -f "$icons/48x48/apps/$name.png" ] || { echo "no 48x48 icon in $icons" >&2; status=1; }
grep -q '<svg ' "$svg" || { echo "$svg is not an SVG" >&2; status=1; }
echo "$found PNG sizes checked"
exit $status
