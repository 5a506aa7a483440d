#!/usr/bin/env bash
# Installs what is missing, builds, and runs Retrova on a demo disk image.
# With a display the desktop program opens; without one the drive list is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
BUILD_DIR="${BUILD_DIR:-build}"
demo="$BUILD_DIR/demo.img"
if [ ! -f "$demo" ]; then
  # A 64 MiB disk with one FAT32 partition, made by the usual tools.
  truncate -s 64M "$demo"
  echo 'label: dos
start=2048, type=c' | sfdisk -q "$demo"
  part="$BUILD_DIR/demo-part.img"
  truncate -s $(( (64 * 1024 * 1024) - 2048 * 512 )) "$part"
  mkfs.fat -F 32 -n DEMO -s 1 "$part" >/dev/null
  dd if="$part" of="$demo" bs=512 seek=2048 conv=notrunc status=none
  rm -f "$part"
fi
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$BUILD_DIR/gui/retrova" ]; then
  exec "$BUILD_DIR/gui/retrova" "$demo"
fi
exec "$BUILD_DIR/retrova-cli" drives "$demo"
