#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: the normal
# build (engine, CLI, GUI under the offscreen platform), then the whole suite
# again under the address and undefined-behaviour sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
BUILD_DIR="${BUILD_DIR:-build}"
jobs="$(nproc)"
QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$jobs"

# The whole suite again (engine, retrova-cli, the desktop program offscreen)
# under the address and undefined-behaviour sanitizers; the programs carry
# their sanitizer settings and the leak suppressions (tests/lsan.supp).
ASAN_DIR="${ASAN_DIR:-build-asan}"
asan_start=$SECONDS
cmake -S . -B "$ASAN_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DRETROVA_SANITIZE=ON \
  -DRETROVA_GUI=ON -DRETROVA_BENCH=OFF >/dev/null
cmake --build "$ASAN_DIR" -j"$jobs"
asan_built=$SECONDS
QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" ctest --test-dir "$ASAN_DIR" --output-on-failure -j"$jobs"
echo "sanitizer build: $((asan_built - asan_start)) s, its tests: $((SECONDS - asan_built)) s"

# The fuzz targets, briefly, on their committed corpora (FUZZ_SECONDS each, two at a time).
scripts/fuzz.sh "${FUZZ_SECONDS:-15}"
