#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: the normal
# build (engine, CLI, GUI under the offscreen platform), then the engine tests
# again under the address and undefined-behaviour sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
BUILD_DIR="${BUILD_DIR:-build}"
jobs="$(nproc)"
QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$jobs"

ASAN_DIR="${ASAN_DIR:-build-asan}"
cmake -S . -B "$ASAN_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DRETROVA_SANITIZE=ON \
  -DRETROVA_GUI=OFF -DRETROVA_BENCH=OFF >/dev/null
cmake --build "$ASAN_DIR" -j"$jobs"
ctest --test-dir "$ASAN_DIR" --output-on-failure -j"$jobs"

# The fuzz targets, briefly, on their committed corpora (FUZZ_SECONDS each, two at a time).
scripts/fuzz.sh "${FUZZ_SECONDS:-15}"
