#!/usr/bin/env bash
# Installs, with apt-get, every Debian package that building and testing
# need: the lists under scripts/deps/, or the packages named as arguments.
# Idempotent: it does nothing when all of them are already installed.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -gt 0 ]; then
  wanted=("$@")
else
  mapfile -t wanted < <(cat scripts/deps/*.list | sed -e 's/#.*//' -e '/^[[:space:]]*$/d' | tr -s ' \t' '\n' | sort -u)
fi

missing=()
for pkg in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q '^install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages (run as root to install): ${missing[*]}" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
