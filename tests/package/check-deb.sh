#!/usr/bin/env bash
# Checks a built robot-client .deb: its Architecture and Depends, the files
# it ships (the ssh drop-in as a conffile), lintian (which also wants the
# programs stripped), and the packaged programs (the client and its cable
# watch): at most 64 KiB, no libstdc++, and Debian's hardening (stack
# protector, FORTIFY, full RELRO with BIND_NOW).
#
#   tests/package/check-deb.sh package.deb expected-architecture
set -euo pipefail
cd "$(dirname "$0")/../.."
deb=$1
want_arch=$2
fail() { echo "check-deb: FAIL: $*" >&2; exit 1; }

arch=$(dpkg-deb -f "$deb" Architecture)
[ "$arch" = "$want_arch" ] || fail "$deb: Architecture $arch, expected $want_arch"
contents=$(dpkg-deb -c "$deb")
for f in /usr/sbin/robot-client /usr/sbin/robot-client-pair /usr/libexec/robot-client/robot-client-cable \
  /usr/libexec/robot-client/robot-client-gadget /lib/systemd/system/robot-client{,-cable,-gadget}.service \
  /lib/systemd/system/robot-client-plugged.target /etc/ssh/ssh_config.d/robot-client.conf \
  /usr/share/doc/robot-client/operator-guide.md; do
  grep -q " \.$f\$" <<<"$contents" || fail "$deb: no $f"
done
[ "$(dpkg-deb -I "$deb" conffiles)" = /etc/ssh/ssh_config.d/robot-client.conf ] || fail "$deb: the ssh drop-in is no conffile"
depends=$(dpkg-deb -f "$deb" Depends)
for dep in libev4 libcjson1 net-tools openssh-client; do grep -qw "$dep" <<<"$depends" || fail "$deb: Depends lacks $dep ($depends)"; done
echo "check-deb: $(basename "$deb"): Architecture $arch; Depends: $depends"

# lintian warns that it runs as root; its findings go to stdout.
lintian --fail-on error,warning "$deb" 2>/dev/null || fail "lintian reports errors or warnings for $deb"

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
  symbols=$(readelf --dyn-syms -W "$bin")
  grep -q ' __stack_chk_fail' <<<"$symbols" || fail "$name: no stack protector"
  grep -qE ' __[a-z]+_chk(@|$)' <<<"$symbols" || fail "$name: no FORTIFY (_chk) calls"
  readelf -lW "$bin" | grep -q GNU_RELRO || fail "$name: no RELRO"
  readelf -dW "$bin" | grep -qE 'BIND_NOW|FLAGS.*NOW' || fail "$name: no BIND_NOW"
done
echo "check-deb: both programs hardened: stack protector, FORTIFY, RELRO, BIND_NOW"
