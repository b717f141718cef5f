#!/usr/bin/env bash
# Installs what the arm64 cross build needs: the arm64 architecture in dpkg,
# Debian's aarch64 cross compiler, the arm64 (multiarch) development packages
# of the client's libraries, qemu-user and the arm64 C++ runtime to run the
# arm64 test binaries, and for the arm64 Debian package (scripts/build-deb.sh
# arm64) crossbuild-essential-arm64 with debhelper and dpkg-dev.
# Idempotent: does nothing when everything is already there. Run as root.
set -euo pipefail

pkgs=(g++-aarch64-linux-gnu qemu-user dpkg-dev debhelper crossbuild-essential-arm64
      libev-dev:arm64 libcjson-dev:arm64 libsystemd-dev:arm64 libgtest-dev:arm64
      libstdc++6:arm64)

# arm64 package names mean something to dpkg only once the architecture is
# added; setup.sh's apt-get update then fetches their lists.
if ! dpkg --print-foreign-architectures | grep -qx arm64 && [ "$(id -u)" -eq 0 ]; then
  dpkg --add-architecture arm64
fi
exec "$(dirname "$0")/setup.sh" "${pkgs[@]}"
