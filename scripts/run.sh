#!/usr/bin/env bash
# Installs what is missing, builds, and runs Retrova on a demo disk image.
# With a display the desktop program opens; without one the drive list is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
BUILD_DIR="${BUILD_DIR:-build}"
demo="$BUILD_DIR/demo.img"
# The committed demo disk (tests/fixtures/README.md): a FAT32 and an NTFS
# volume holding live and deleted files.
if [ ! -f "$demo" ] || [ tests/fixtures/demo.img.gz -nt "$demo" ]; then
  gzip -dc tests/fixtures/demo.img.gz > "$demo.tmp"
  mv "$demo.tmp" "$demo"
fi
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$BUILD_DIR/gui/retrova" ]; then
  exec "$BUILD_DIR/gui/retrova" "$demo"
fi
# No display: what the desktop program would show, as text.
"$BUILD_DIR/retrova-cli" drives "$demo"
echo
"$BUILD_DIR/retrova-cli" volumes "$demo"
echo
exec "$BUILD_DIR/retrova-cli" scan "$demo" 63
