#!/usr/bin/env bash
# The gadget set-up's decisions without configfs (which this host has not):
# which id of the board its MAC addresses come from, and when a gadget
# counts as whole. Each case runs the script's own functions under sh, on a
# tree of its own (ROBOT_CLIENT_GADGET_ROOT). The set-up itself, on a real
# configfs, is checked by the board test (tests/board/gadget_setup_checks.sh).
# Usage: gadget_test.sh PATH-TO-robot-client-gadget
set -uo pipefail
script=$(realpath "$1")
tmp=$(mktemp -d /tmp/rc-gadget-test.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
failed=0 n=0

# check WHAT GOT WANT: prints what was got when it is not what was wanted.
check() {
  [ "$2" = "$3" ] || { printf 'gadget test: FAIL: %s\n  got:  %s\n  want: %s\n' "$1" "$2" "$3" && failed=1; }
}

# board [FILE CONTENT]...: a fresh tree with these files; its path in root.
board() {
  n=$((n + 1)) root=$tmp/$n
  while [ $# -gt 0 ]; do
    mkdir -p "$root/$(dirname "$1")" && printf '%b' "$2" >"$root/$1"
    shift 2
  done
}

# run COMMANDS: runs COMMANDS under sh with the script's functions, on root.
run() { ROBOT_CLIENT_GADGET_ROOT=$root ROBOT_CLIENT_GADGET_LIB=1 sh -c ". \"$script\" && $1" 2>&1; }
# id_is WHAT SOURCE ID: the board's MAC addresses come from ID, as SOURCE says.
id_is() {
  # shellcheck disable=SC2016 # expanded by the script's sh
  check "$1" "$(run 'board_id && echo "$id_source: $(mac board) $(mac manager)"')" \
    "$2: $(mac_from "$3" board) $(mac_from "$3" manager)"
}
mac_from() { printf '%s robot-client %s' "$1" "$2" | sha256sum | sed 's/^\(..\)\(..\)\(..\)\(..\)\(..\).*/02:\1:\2:\3:\4:\5/'; }

dt=sys/firmware/devicetree/base/serial-number dmi=sys/class/dmi/id/product_uuid mid=etc/machine-id
machine=0123456789abcdef0123456789abcdef uuid=4c4c4544-0042-3510-8052-b4c04f4e4d32

# The id's sources in order: the device tree's serial, the DMI UUID (not a
# placeholder), the machine id, a random id kept.
board "$dt" 'c0ffee1234\0' "$dmi" "$uuid\n" "$mid" "$machine\n"
id_is "the device tree's serial number wins" "the device tree's serial number" c0ffee1234
board "$dt" '0000000000000000\0' "$dmi" "${uuid^^}\n" "$mid" "$machine\n"
id_is "a serial of zeros is none: the DMI UUID, in lower case" "the DMI product UUID" "$uuid"
for placeholder in 03000200-0400-0500-0006-000700080009 00000000-0000-0000-0000-000000000000 \
  FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF; do
  board "$dmi" "$placeholder\n" "$mid" "$machine\n"
  id_is "the DMI placeholder $placeholder is none: the machine id" "the machine id" "$machine"
done
board "$mid" "uninitialized\n"
run board_id >/dev/null
kept=$(cat "$root/var/lib/robot-client/gadget-id")
id_is "without a machine id, the random id made is kept" \
  "the random id kept in $root/var/lib/robot-client/gadget-id" "$kept"

# "mac" prints what start would use and writes nothing; without an id it
# makes none.
board "$dmi" "$uuid\n"
check "mac: the addresses start uses, their source" "$(ROBOT_CLIENT_GADGET_ROOT=$root sh "$script" mac)" \
  "board (usb0): $(mac_from "$uuid" board)"$'\n'"manager: $(mac_from "$uuid" manager)"$'\n'"made from the DMI product UUID"
board "$mid" "uninitialized\n"
check "mac without an id: fails, writes nothing" \
  "$(ROBOT_CLIENT_GADGET_ROOT=$root sh "$script" mac 2>/dev/null || echo failed; find "$root" -newer "$root/$mid" | wc -l)" \
  $'failed\n0'

# A gadget counts as whole only when bound, linked and named usb0 (one
# unbound, or named otherwise, is the board's: gadget_setup_checks.sh).
gadget=sys/kernel/config/usb_gadget/robot-client
# whole_is WANT UDC IFNAME LINKED [FUNCTION]
whole_is() {
  board "$gadget/UDC" "$2" "$gadget/functions/ecm.usb0/ifname" "$3\n"
  mkdir -p "$root/$gadget/configs/c.1"
  [ "$4" = linked ] && ln -s "$root/$gadget/functions/ecm.usb0" "$root/$gadget/configs/c.1/"
  check "$*" "$(ROBOT_CLIENT_GADGET_FUNCTION=${5:-ecm} run 'whole && echo whole || echo not')" "$1"
}
whole_is whole 'dummy_udc.0\n' usb0 linked
whole_is not 'dummy_udc.0\n' usb0 - # its function not linked
whole_is not 'dummy_udc.0\n' usb0 linked ncm # made as ecm while ncm is asked for

[ "$failed" -eq 0 ] && echo "gadget test: passed"
