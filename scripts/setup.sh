#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the fixtures need,
# when they are missing. Safe to run again.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev googletest libbenchmark-dev
          qt6-base-dev libgl-dev fonts-liberation2 xvfb xauth
          libcli11-dev dosfstools mtools fdisk sleuthkit gzip
          dpkg-dev desktop-file-utils groff-base man-db mandoc
          libewf-dev libvmdk-dev libvhdi-dev libqcow-dev ewf-tools qemu-utils
          clang libclang-rt-14-dev libfuzzer-14-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  # Without recommends: the recommended GTK theme makes Qt's file dialogs undrivable in tests.
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
