#!/usr/bin/env bash
# Builds the package of an earlier release from the commit that
# packaging/releases names for it, as that release built it (CPack up to
# 1.2.0; dpkg-buildpackage with the tree's debian/ from 1.3.0 on), and caches it:
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
  if [ -d "$work/src/debian" ]; then
    # From 1.3.0 on: a Debian source package, built as it was then.
    args=(-b -Pnocheck)
    [ "$arch" = amd64 ] || args=(-a "$arch" -b '-Pcross,nocheck')
    (cd "$work/src" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" RC_WERROR=OFF dpkg-buildpackage -us -uc "${args[@]}") \
      >"$work.log" 2>&1 || { tail -n 40 "$work.log" >&2 && exit 1; }
    built=$work/robot-client_${version}_$arch.deb
  else
    # 1.1.0 and 1.2.0: their CMake files and CPack.
    opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DRC_WERROR=OFF)
    [ "$arch" = amd64 ] || opts+=(-DCMAKE_TOOLCHAIN_FILE="$work/src/packaging/toolchain-aarch64.cmake")
    (cd "$work" && cmake -S src -B build "${opts[@]}" && cmake --build build -j2 &&
      cd build && cpack -G DEB) >"$work.log" 2>&1 || { tail -n 40 "$work.log" >&2 && exit 1; }
    built=$work/build/packages/robot-client_${version}_$arch.deb
  fi
  mkdir -p "$out" && mv "$built" "$deb"
  rm -rf "$work" "$work.log"
fi
echo "$deb"
