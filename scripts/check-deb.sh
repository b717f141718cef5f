#!/usr/bin/env bash
# Checks a built robot-client .deb: its Architecture field, that it holds the
# binary and the systemd unit, lintian errors (warnings are printed), and the
# packaged binary's size and needed libraries.
#
#   scripts/check-deb.sh package.deb expected-architecture
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$1
want_arch=$2
fail() { echo "check-deb: FAIL: $*" >&2; exit 1; }

arch=$(dpkg-deb -f "$deb" Architecture)
[ "$arch" = "$want_arch" ] || fail "$deb: Architecture $arch, expected $want_arch"
contents=$(dpkg-deb -c "$deb")
grep -q ' \./usr/sbin/robot-client$' <<<"$contents" || fail "$deb: no /usr/sbin/robot-client"
grep -q ' \./lib/systemd/system/robot-client\.service$' <<<"$contents" || fail "$deb: no unit"
depends=$(dpkg-deb -f "$deb" Depends)
for dep in libev4 libcjson1 net-tools openssh-client; do
  grep -qw "$dep" <<<"$depends" || fail "$deb: Depends lacks $dep ($depends)"
done
echo "check-deb: $(basename "$deb"): Architecture $arch; Depends: $depends"

# lintian warns that it runs as root; its findings go to stdout.
lintian --fail-on error "$deb" 2>/dev/null || fail "lintian reports errors for $deb"

# The stripped binary: size and NEEDED entries; no libstdc++.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$tmp" ./usr/sbin/robot-client
bin=$tmp/usr/sbin/robot-client
needed=$(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd' ')
echo "check-deb: robot-client ($arch): stripped size $(stat -c %s "$bin") bytes; NEEDED: $needed"
readelf -S "$bin" | grep -q ' \.symtab' && fail "the packaged binary is not stripped"
grep -q 'libstdc++' <<<"$needed" && fail "the binary needs libstdc++"
exit 0
