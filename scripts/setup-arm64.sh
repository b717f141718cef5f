#!/usr/bin/env bash
# Installs what the arm64 cross build needs: the arm64 architecture in dpkg,
# Debian's aarch64 cross compiler, the arm64 (multiarch) development packages
# of the client's libraries, qemu-user and the arm64 C++ runtime to run the
# arm64 test binaries, and dpkg-dev for the package's dependency list.
# Idempotent: does nothing when everything is already there. Run as root.
set -euo pipefail

pkgs=(g++-aarch64-linux-gnu qemu-user dpkg-dev
      libev-dev:arm64 libcjson-dev:arm64 libgtest-dev:arm64
      libstdc++6:arm64)

missing=()
for pkg in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q '^install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup-arm64: missing packages (run as root to install): ${missing[*]}" >&2
  exit 1
fi
echo "setup-arm64: installing ${missing[*]}"
dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
