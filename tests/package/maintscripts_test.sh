#!/usr/bin/env bash
# The package's maintainer scripts (as built, with dh's snippets) run on a
# root of their own, DPKG_ROOT, as a chrootless dpkg runs them, with the real
# deb-systemd-helper and systemctl --root, inside bubblewrap: the host is
# read-only there, and its /etc/ssh and /var/lib are empty copies holding
# files planted by the test. Checks:
#   - the upgrade from what 1.1.0 and 1.2.0 left (enabled, disabled) ends
#     with this version's links where the client was enabled and none where
#     it was not, leaving neither the marker nor the decision; an upgrade
#     killed and configured again is the board's (tests/board/upgrade_test.sh);
#   - a first install enables the client and its watch; a purge removes the
#     pin and /var/lib/robot-client under DPKG_ROOT and the planted files
#     outside it stay; no script starts or stops a unit, none leaves the
#     marker /run/robot-client/dpkg.
# Needs no root (bubblewrap makes a user namespace where it may).
#
#   tests/package/maintscripts_test.sh PACKAGE.deb
set -euo pipefail
deb=$(realpath "${1:?usage: maintscripts_test.sh PACKAGE.deb}")
if [ -z "${RC_IN_BWRAP:-}" ]; then
  # The script and the package are bound back in: a checkout may lie under
  # /tmp or /var/lib, which the sandbox has of its own.
  self=$(realpath "$0")
  exec bwrap --ro-bind / / --tmpfs /etc/ssh --tmpfs /var/lib --tmpfs /tmp --ro-bind "$self" "$self" \
    --ro-bind "$deb" "$deb" --dev /dev --proc /proc \
    --unshare-net --unshare-pid --die-with-parent --setenv RC_IN_BWRAP 1 "$self" "$deb"
fi

w=/tmp/maint
mkdir -p "$w/ctl" "$w/bin" /var/lib/robot-client
dpkg-deb -e "$deb" "$w/ctl"
echo planted >/etc/ssh/robot-manager_known_hosts
echo planted >/var/lib/robot-client/gadget-id
printf '#!/bin/sh\necho "$*" >>%s/invoked\n' "$w" >"$w/bin/deb-systemd-invoke"
chmod +x "$w/bin/"*
export PATH=$w/bin:$PATH DPKG_MAINTSCRIPT_PACKAGE=robot-client DPKG_ROOT=$w/root

failed=0
fail() { echo "maintscripts: FAIL: $*" >&2 && failed=1; }
etc=/etc/systemd/system dsh=/var/lib/systemd/deb-systemd-helper-enabled
old=$etc/sys-subsystem-net-devices-usb0.device.wants/robot-client.service
new_c=$etc/robot-client-plugged.target.wants/robot-client.service
new_w=$etc/sys-subsystem-net-devices-usb0.device.wants/robot-client-cable.service

# fresh STATE: the package's files under DPKG_ROOT and what an older
# version left: 1.1.0-enabled, 1.2.0-enabled (upgraded from 1.1.0, its old
# link still recorded), 1.2.0-disabled, or none.
fresh() {
  local l
  rm -rf "$DPKG_ROOT" && dpkg-deb -x "$deb" "$DPKG_ROOT"
  mkdir -p "$DPKG_ROOT$dsh"
  rec() { printf '%s\n' "$@" >"$DPKG_ROOT$dsh/robot-client.service.dsh-also"; }
  link() { for l; do mkdir -p "$DPKG_ROOT${l%/*}" && ln -s "/lib/systemd/system/${l##*/}" "$DPKG_ROOT$l"; done; }
  stamp() { for l; do l=$DPKG_ROOT$dsh/${l#"$etc"/} && mkdir -p "${l%/*}" && : >"$l"; done; }
  case $1 in
  1.1.0-enabled) rec "$old" && link "$old" && stamp "$old" ;;
  1.2.0-enabled) rec "$old" "$new_c" "$new_w" && link "$new_c" "$new_w" && stamp "$new_c" "$new_w" ;;
  1.2.0-disabled) rec "$new_c" "$new_w" && stamp "$new_c" "$new_w" ;;
  none) rm -rf "${DPKG_ROOT:?}/var/lib/systemd" ;;
  esac
  rm -f "$w/invoked"
}
# script NAME ARGS...: one maintainer script, as dpkg runs it.
script() { sh "$w/ctl/$1" "${@:2}"; }
links() { (cd "$DPKG_ROOT" && find etc/systemd -type l -name 'robot-client*' 2>/dev/null | sort | paste -sd' '); }

enabled_links="${new_c#/} ${new_w#/}"
for from in 1.1.0-enabled 1.2.0-enabled 1.2.0-disabled; do
  fresh "$from"
  script postinst configure "${from%-*}" || fail "$from: the upgrade failed"
  expected=
  if [ "${from#*-}" = enabled ]; then expected=$enabled_links; fi
  [ "$(links)" = "$expected" ] || fail "$from: links '$(links)', expected '$expected'"
  if [ -e "$DPKG_ROOT/run/robot-client/dpkg" ] || [ -e "$DPKG_ROOT/var/lib/robot-client" ]; then
    fail "$from: the marker or the decision left behind"
  fi
done
echo "maintscripts: the upgrades from 1.1.0 and 1.2.0 (enabled, disabled)"

fresh none
script postinst configure "" || fail "first install failed"
[ "$(links)" = "$enabled_links" ] || fail "first install: links '$(links)'"
{ script prerm remove && script postrm remove && script postrm purge; } || fail "remove and purge failed"
[ -z "$(links)" ] || fail "purge: links left: $(links)"
[ ! -e "$DPKG_ROOT/var/lib/robot-client" ] || fail "purge: $DPKG_ROOT/var/lib/robot-client left"
[ "$(cat /etc/ssh/robot-manager_known_hosts /var/lib/robot-client/gadget-id)" = $'planted\nplanted' ] ||
  fail "the files outside DPKG_ROOT were touched"
[ ! -e "$w/invoked" ] || fail "deb-systemd-invoke called under DPKG_ROOT: $(cat "$w/invoked")"
[ "$failed" = 0 ] && echo "maintscripts: first install, remove and purge under DPKG_ROOT; the host's files untouched"
exit "$failed"
