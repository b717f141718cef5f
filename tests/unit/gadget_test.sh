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
passed=0 failed=0

# check WHAT GOT WANT: counts a pass, or prints what was got.
check() {
  if [ "$2" = "$3" ]; then
    passed=$((passed + 1))
  else
    printf 'gadget test: FAIL: %s\n  got:  %s\n  want: %s\n' "$1" "$2" "$3"
    failed=$((failed + 1))
  fi
}

# board NAME [FILE CONTENT]...: a fresh tree for a board with these files.
board() {
  local dir=$tmp/$1
  shift
  rm -rf "$dir" && mkdir -p "$dir"
  while [ $# -gt 0 ]; do
    mkdir -p "$dir/$(dirname "$1")" && printf '%b' "$2" >"$dir/$1"
    shift 2
  done
  echo "$dir"
}

# run_in ROOT COMMANDS: runs COMMANDS under sh with the script's functions.
run_in() { ROBOT_CLIENT_GADGET_ROOT=$1 ROBOT_CLIENT_GADGET_LIB=1 sh -c ". \"$script\" && $2" 2>&1; }
# id_of ROOT: where the board's id came from, and its board MAC.
# shellcheck disable=SC2016 # expanded by the script's sh
id_of() { run_in "$1" 'board_id && echo "$id_source: $(mac board)"'; }
# mac_from ID ROLE: the address the script must make from ID.
mac_from() { printf '%s robot-client %s' "$1" "$2" | sha256sum | sed 's/^\(..\)\(..\)\(..\)\(..\)\(..\).*/02:\1:\2:\3:\4:\5/'; }

dt=sys/firmware/devicetree/base/serial-number
dmi=sys/class/dmi/id/product_uuid
mid=etc/machine-id
machine=0123456789abcdef0123456789abcdef
uuid=4c4c4544-0042-3510-8052-b4c04f4e4d32

# The id's sources in order: the device tree's serial, the DMI UUID, the
# machine id, a random id kept.
root=$(board dt "$dt" 'c0ffee1234\0' "$dmi" "$uuid\n" "$mid" "$machine\n")
check "the device tree's serial number wins" "$(id_of "$root")" \
  "the device tree's serial number: $(mac_from c0ffee1234 board)"
root=$(board dtzero "$dt" '0000000000000000\0' "$dmi" "$uuid\n" "$mid" "$machine\n")
check "a serial number of zeros is none: the DMI UUID" "$(id_of "$root")" "the DMI product UUID: $(mac_from "$uuid" board)"
root=$(board dmiupper "$dmi" "${uuid^^}\n" "$mid" "$machine\n")
check "the DMI UUID is the same in either case" "$(id_of "$root")" "the DMI product UUID: $(mac_from "$uuid" board)"
for placeholder in 03000200-0400-0500-0006-000700080009 00000000-0000-0000-0000-000000000000 \
  FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF; do
  root=$(board placeholder "$dmi" "$placeholder\n" "$mid" "$machine\n")
  check "the DMI placeholder $placeholder is none: the machine id" "$(id_of "$root")" \
    "the machine id: $(mac_from "$machine" board)"
done
# Made from the machine id, the addresses are those of the earlier set-up,
# which used nothing else: boards without hardware ids keep theirs.
root=$(board machine "$mid" "$machine\n")
# shellcheck disable=SC2016 # expanded by the script's sh
check "the machine id alone gives the addresses it always gave" \
  "$(run_in "$root" 'board_id && echo "$(mac board) $(mac manager) $(mac serial)"')" \
  "$(mac_from "$machine" board) $(mac_from "$machine" manager) $(mac_from "$machine" serial)"
for unset in "" "uninitialized\n" "0123\n"; do
  root=$(board random "$mid" "$unset")
  first=$(id_of "$root")
  kept=$(cat "$root/var/lib/robot-client/gadget-id")
  check "without a machine id ('$unset'): a random id, kept" "$first" \
    "a random id, now kept in $root/var/lib/robot-client/gadget-id: $(mac_from "$kept" board)"
  check "the kept id is used again" "$(id_of "$root")" \
    "the random id kept in $root/var/lib/robot-client/gadget-id: $(mac_from "$kept" board)"
done
root=$(board nothing) other=$(board nothing2)
id_of "$root" >/dev/null && id_of "$other" >/dev/null
check "two boards without any id get different random ids" \
  "$(cat "$root/var/lib/robot-client/gadget-id" "$other/var/lib/robot-client/gadget-id" | sort -u | wc -l)" 2
# Two boards of one cloned image (one machine id) differ by their serials.
one=$(board clone1 "$dt" 'a1\0' "$mid" "$machine\n")
two=$(board clone2 "$dt" 'a2\0' "$mid" "$machine\n")
check "cloned images on two boards: different addresses" \
  "$([ "$(run_in "$one" 'board_id && mac board')" != "$(run_in "$two" 'board_id && mac board')" ] && echo differ)" differ
check "the address is locally administered unicast" \
  "$(run_in "$root" 'board_id && mac manager' | grep -cE '^02(:[0-9a-f]{2}){5}$')" 1

# A gadget counts as whole only when bound, linked and named usb0.
gadget=sys/kernel/config/usb_gadget/robot-client
whole_gadget() {
  local root
  root=$(board "$1" "$gadget/UDC" "$2" "$gadget/functions/ecm.usb0/ifname" "$3\n")
  mkdir -p "$root/$gadget/configs/c.1"
  [ "$4" = linked ] && ln -s "$root/$gadget/functions/ecm.usb0" "$root/$gadget/configs/c.1/"
  echo "$root"
}
is_whole() { run_in "$1" 'whole && echo whole || echo not'; }
check "bound, linked, usb0: whole" "$(is_whole "$(whole_gadget w 'dummy_udc.0\n' usb0 linked)")" whole
check "not bound to a UDC: not whole" "$(is_whole "$(whole_gadget u '\n' usb0 linked)")" not
check "its function not linked: not whole" "$(is_whole "$(whole_gadget l 'dummy_udc.0\n' usb0 -)")" not
check "its interface named usb1: not whole" "$(is_whole "$(whole_gadget n 'dummy_udc.0\n' usb1 linked)")" not
check "never bound (no name yet): not whole" \
  "$(is_whole "$(whole_gadget b '\n' '(unnamed net_device)' linked)")" not
check "made as ncm while ecm is asked for: not whole" \
  "$(ROBOT_CLIENT_GADGET_FUNCTION=ncm is_whole "$(whole_gadget f 'dummy_udc.0\n' usb0 linked)")" not

# start on such trees: a whole gadget is left as it is; a leftover is not
# taken for one (here, off configfs, it cannot be removed either).
root=$(whole_gadget sw 'dummy_udc.0\n' usb0 linked)
check "start: a whole gadget is set up already" \
  "$(ROBOT_CLIENT_GADGET_ROOT=$root sh "$script" start 2>&1; echo "status $?")" \
  $'robot-client-gadget: the gadget is set up already\nstatus 0'
root=$(whole_gadget sl '\n' usb0 linked)
check "start: an unbound leftover is removed, not taken as set up" \
  "$(ROBOT_CLIENT_GADGET_ROOT=$root sh "$script" start 2>&1 | head -n 1)" \
  "robot-client-gadget: a gadget left half built or unbound (by a run that was stopped?); removing it and building it again"

echo "gadget test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
