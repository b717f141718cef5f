#!/usr/bin/env bash
# Builds the robot-client Debian packages from this checkout with
# dpkg-buildpackage (debian/), for one architecture:
#
#   scripts/build-deb.sh amd64     # native build
#   scripts/build-deb.sh arm64     # cross build (scripts/setup-arm64.sh installs its tools)
#   scripts/build-deb.sh source    # the source package (.dsc), for lintian
#
# The checkout's tracked files as they are in the working tree (committed
# and uncommitted changes; no untracked file) are mirrored into
# build-deb/ARCH/src/ and the packages are built there, so they land in
# build-deb/ARCH/ and two architectures build side by side. A tree with
# uncommitted changes builds version VERSION+dirty.HASH (HASH: the tracked
# tree's, as `git stash create` records it), said in the output, so that two
# different packages never carry the same version. The last line printed is
# the path of the main package (the .dsc for source).
#
# Fast: the CMake build directory inside (obj-*/) is kept between runs and
# the mirror keeps the files' times, so a rebuild compiles only what
# changed; when neither the files nor the build's environment changed, the
# packages of the last run are kept as they are. Runs for one ARCH take
# turns (a lock), so the board test and the package stage can ask for the
# same package at once. DEB_BUILD_OPTIONS unset means "nocheck": the test
# binaries are not built (the test command builds and runs them); set, even
# empty, it is the caller's (without nocheck, an amd64 build runs the tests
# labelled noroot), with parallel= the number of processors unless it gives
# one. RC_WERROR from the environment reaches the build (debian/rules).
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:-}
case $arch in
amd64 | arm64 | source) ;;
*) echo "usage: scripts/build-deb.sh amd64|arm64|source" >&2 && exit 2 ;;
esac
out=$PWD/build-deb/$arch
src=$out/src
mkdir -p "$src"
exec 9>"$out/.lock"
flock 9

opts=${DEB_BUILD_OPTIONS-nocheck}
[[ " $opts " = *" parallel="* ]] || opts+=" parallel=$(nproc)"
export DEB_BUILD_OPTIONS=${opts# }
check=yes
[[ " $DEB_BUILD_OPTIONS ${DEB_BUILD_PROFILES:-} " != *" nocheck "* ]] || check=no
version=$(dpkg-parsechangelog -S Version)
dirty=
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  stash=$(git stash create)
  dirty=+dirty.$(git rev-parse --short=12 "$stash^{tree}")
  version+=$dirty
  echo "build-deb: the checkout has uncommitted changes: building version $version" >&2
fi
if [ "$arch" = source ]; then
  main=$out/robot-client_$version.dsc
else
  main=$out/robot-client_${version}_$arch.deb
fi

declare -A wanted=()
files=()
while IFS= read -r -d '' f; do
  if [ -e "$f" ] || [ -L "$f" ]; then files+=("$f") && wanted[$f]=1; fi
done < <(git ls-files -z --cached)
# What the packages are made of: the files and the environment the build reads.
key=$({
  printf '%s\0' "${files[@]}" | xargs -0 sha256sum
  echo "$arch $version ${RC_WERROR:-} $DEB_BUILD_OPTIONS ${DEB_BUILD_PROFILES:-}"
} | sha256sum)
if [ -f "$main" ] && [ "$(cat "$out/key" 2>/dev/null)" = "$key" ]; then
  echo "build-deb: $arch: nothing changed since the last build" >&2
  echo "$main"
  exit 0
fi
rm -f "$out"/robot-client* "$out/key"

# The mirror: every file of the checkout copied with its time (cp -p), then
# whatever the checkout no longer has removed, with dh's output of the last
# run; the CMake build directory (obj-*) stays.
printf '%s\0' "${files[@]}" | xargs -0 cp -dp --parents -t "$src"
while IFS= read -r -d '' f; do
  [ -n "${wanted[${f#./}]:-}" ] || rm -f "$src/$f"
done < <(cd "$src" && find . -path './obj-*' -prune -o ! -type d -print0)
find "$src" -mindepth 1 -type d -empty ! -path "$src/obj-*" -delete
if [ -n "$dirty" ]; then sed -i "1s/(\([^)]*\))/(\1$dirty)/" "$src/debian/changelog"; fi
# A build directory configured without the tests is not reused for a build
# with them (debian/rules says BUILD_TESTING on each configure too).
if [ "$check" = yes ] && grep -qs '^BUILD_TESTING:BOOL=OFF' "$src"/obj-*/CMakeCache.txt; then
  rm -rf "$src"/obj-*
fi

# -nc: no clean first, so that the CMake build directory stays.
case $arch in
amd64) args=(-b -nc) && if [ "$check" = no ]; then args+=(-Pnocheck); fi ;;
arm64) args=(-a arm64 '-Pcross,nocheck' -b -nc) ;;
source) args=(-S -d) ;;
esac
if ! (cd "$src" && dpkg-buildpackage -us -uc "${args[@]}") >"$out/build.log" 2>&1; then
  tail -n 60 "$out/build.log" >&2
  echo "build-deb: $arch: dpkg-buildpackage failed; its log: $out/build.log" >&2
  exit 1
fi
[ -f "$main" ] || { echo "build-deb: no $main" >&2 && exit 1; }
echo "$key" >"$out/key"
for f in "$out"/robot-client*.deb; do
  if [ -f "$f" ] && [ "$f" != "$main" ]; then echo "$f"; fi
done
echo "$main"
