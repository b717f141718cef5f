#!/usr/bin/env bash
# Builds the package of an earlier release from the commit that
# packaging/releases names for it, as that release built it, and caches it:
# the board test upgrades boards from these.
#
#   scripts/build-release.sh VERSION [ARCH]     (ARCH: amd64, the default, or arm64)
#
# Prints the .deb's path on its last line. The cache,
# $RELEASE_CACHE (default /var/cache/robot-client-releases), holds one
# directory per commit and architecture; a build is made once.
set -euo pipefail
cd "$(dirname "$0")/.."

version=${1:?usage: build-release.sh VERSION [ARCH]}
arch=${2:-amd64}
cache=${RELEASE_CACHE:-/var/cache/robot-client-releases}
commit=$(awk -v v="$version" '$1 == v { print $2 }' packaging/releases)
[ -n "$commit" ] || { echo "build-release: no release $version in packaging/releases" >&2 && exit 1; }
git cat-file -e "$commit^{commit}" 2>/dev/null ||
  { echo "build-release: commit $commit of $version is not in this clone (fetch its history)" >&2 && exit 1; }

out=$cache/$commit-$arch
deb=$out/robot-client_${version}_$arch.deb
if [ ! -f "$deb" ]; then
  work=$out.work
  rm -rf "$work" && mkdir -p "$work/src"
  git archive "$commit" | tar -x -C "$work/src"
  opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DRC_WERROR=OFF)
  [ "$arch" = amd64 ] || opts+=(-DCMAKE_TOOLCHAIN_FILE="$work/src/packaging/toolchain-aarch64.cmake")
  # That release's own build: its CMake files and CPack.
  (cd "$work" && cmake -S src -B build "${opts[@]}" && cmake --build build -j"$(nproc)" &&
    cd build && cpack -G DEB) >"$work.log" 2>&1 || { tail -n 40 "$work.log" >&2 && exit 1; }
  mkdir -p "$out" && mv "$work"/build/packages/robot-client_"${version}"_"$arch".deb "$deb"
  rm -rf "$work" "$work.log"
fi
echo "$deb"
