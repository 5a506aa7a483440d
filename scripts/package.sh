#!/usr/bin/env bash
# Installs what is missing, builds into build/ (override with BUILD_DIR) and
# makes the Debian package there: build/retrova_VERSION_ARCH.deb. Install it
# with `sudo apt-get install ./build/retrova_*.deb`, so that apt resolves its
# dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
BUILD_DIR="${BUILD_DIR:-build}"
(cd "$BUILD_DIR" && cpack -G DEB)
ls -1 "$BUILD_DIR"/retrova_*.deb
