#!/usr/bin/env bash
# Checks a built robot-client .deb (scripts/build-deb.sh): its Version (the
# CMake project's, with +dirty.HASH for a tree with uncommitted changes),
# Architecture and Depends, the files it ships (the ssh drop-in as a
# conffile, the manual pages, the changelog and NEWS), its -dbgsym package
# beside it, lintian on both (which also wants the programs stripped), the
# maintainer scripts (maintscripts_test.sh), and the packaged programs (the
# client and its cable watch): at most 64 KiB, no libstdc++ (nor
# libsystemd for the client), and Debian's hardening (stack protector, FORTIFY, full RELRO with BIND_NOW). With
# "source", lintian on the source package (.dsc) and its .changes.
#
#   tests/package/check-deb.sh package.deb expected-architecture
#   tests/package/check-deb.sh package.dsc source
set -euo pipefail
deb=$(realpath "$1")
want_arch=$2
cd "$(dirname "$0")/../.."
fail() { echo "check-deb: FAIL: $*" >&2; exit 1; }
# lintian warns that it runs as root; its findings go to stdout.
lint() { lintian --fail-on error,warning "$@" 2>/dev/null || fail "lintian reports errors or warnings for $*"; }

if [ "$want_arch" = source ]; then
  lint "$deb" "${deb%.dsc}_source.changes"
  echo "check-deb: $(basename "$deb"): lintian clean (source package and its .changes)"
  exit 0
fi

version=$(dpkg-deb -f "$deb" Version)
# A build of uncommitted changes carries +dirty.HASH (scripts/build-deb.sh).
grep -q "^project(robot-client VERSION ${version%%+dirty.*} " CMakeLists.txt ||
  fail "$deb: Version $version is not CMakeLists.txt's project version (robot-client --version)"

arch=$(dpkg-deb -f "$deb" Architecture)
[ "$arch" = "$want_arch" ] || fail "$deb: Architecture $arch, expected $want_arch"
contents=$(dpkg-deb -c "$deb")
for f in /usr/sbin/robot-client{,-pair,-check} /usr/libexec/robot-client/robot-client-cable \
  /usr/libexec/robot-client/robot-client-gadget /lib/systemd/system/robot-client{,-cable,-gadget}.service \
  /lib/systemd/system/robot-client-plugged.target /etc/ssh/ssh_config.d/robot-client.conf \
  /usr/share/doc/robot-client/{operator-guide.md,manager-protocol.md,copyright,changelog.gz,NEWS.Debian.gz} \
  /usr/share/man/man8/robot-client{,-pair,-check,-cable,-gadget}.8.gz; do
  grep -q " \.$f\$" <<<"$contents" || fail "$deb: no $f"
done
[ "$(dpkg-deb -I "$deb" conffiles)" = /etc/ssh/ssh_config.d/robot-client.conf ] || fail "$deb: the ssh drop-in is no conffile"
depends=$(dpkg-deb -f "$deb" Depends)
for dep in libev4 libcjson1 iproute2 net-tools openssh-client systemd udev; do grep -qw "$dep" <<<"$depends" || fail "$deb: Depends lacks $dep ($depends)"; done
echo "check-deb: $(basename "$deb"): Architecture $arch; Depends: $depends"

dbgsym=${deb%/*}/robot-client-dbgsym_${version}_$arch.deb
[ -f "$dbgsym" ] || fail "no $dbgsym beside $deb"
grep -q '\./usr/lib/debug/\.build-id/.*\.debug$' <<<"$(dpkg-deb -c "$dbgsym")" || fail "$dbgsym: no debugging symbols"
lint "$deb" "$dbgsym"
tests/package/maintscripts_test.sh "$deb" || fail "$deb: the maintainer scripts (tests/package/maintscripts_test.sh)"

bin=$(mktemp)
trap 'rm -f "$bin"' EXIT
for path in ./usr/sbin/robot-client ./usr/libexec/robot-client/robot-client-cable; do
  name=$(basename $path)
  dpkg-deb --fsys-tarfile "$deb" | tar -xO $path >"$bin"
  size=$(stat -c %s "$bin")
  needed=$(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd' ')
  echo "check-deb: $name ($arch): stripped size $size bytes; NEEDED: $needed"
  [ "$size" -le 65536 ] || fail "$name is over 64 KiB"
  grep -q 'libstdc++' <<<"$needed" && fail "$name needs libstdc++"
  # The client speaks systemd's notify protocol itself: libsystemd would
  # bring its compression and crypto libraries into the root process that
  # parses the manager's input.
  [ "$name" = robot-client ] && grep -q 'libsystemd' <<<"$needed" && fail "$name needs libsystemd"
  symbols=$(readelf --dyn-syms -W "$bin")
  grep -q ' __stack_chk_fail' <<<"$symbols" || fail "$name: no stack protector"
  grep -qE ' __[a-z]+_chk(@|$)' <<<"$symbols" || fail "$name: no FORTIFY (_chk) calls"
  readelf -lW "$bin" | grep -q GNU_RELRO || fail "$name: no RELRO"
  readelf -dW "$bin" | grep -qE 'BIND_NOW|FLAGS.*NOW' || fail "$name: no BIND_NOW"
done
echo "check-deb: both programs hardened: stack protector, FORTIFY, RELRO, BIND_NOW"
