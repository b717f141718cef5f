# shellcheck shell=bash
# gadget_setup_checks: the shipped gadget set-up (robot-client-gadget) on a
# real configfs, in the board test's gadget guest. Defines one function for
# tests/board/gadget_test.sh, which sources this file and calls it with its
# helpers board_sh 'COMMAND' [SECS] (runs COMMAND in the guest's root shell:
# its output and status) and check "WHAT" COMMAND... (counts a pass or
# prints a FAIL).
#
# Call it last in a guest booted with the cable in (board_boot --gadget in:
# the host side takes a new gadget device at once), the set-up enabled and
# active, and no deployment running. It checks:
#   - a whole gadget is "set up already" and left as it is;
#   - a gadget left half built (its directory only) or unbound is removed
#     and built again, with the same MAC addresses;
#   - an interface that the kernel names otherwise than usb0 (another usb0
#     is there) fails the set-up, names the interface, and leaves no gadget.
# usb0 goes and comes meanwhile; the client and the cable watch are masked
# for the time (--runtime) so that no deployment starts, and stay stopped:
# the guest is left with no gadget (a gadget made again there may come
# without its carrier, which dummy_hcd's host side can miss).
gadget_setup_checks() {
  local g=/sys/kernel/config/usb_gadget/robot-client set_up=/usr/libexec/robot-client/robot-client-gadget
  local whole out mac index
  whole="[ -n \"\$(cat $g/UDC)\" ] && [ -L $g/configs/c.1/ecm.usb0 ] && [ \"\$(cat $g/functions/ecm.usb0/ifname)\" = usb0 ] && [ -e /sys/class/net/usb0 ]"

  if ! board_sh "systemctl is-active -q robot-client-gadget && $whole && systemctl mask --runtime --now robot-client.service robot-client-cable.service" >/dev/null 2>&1; then
    check "gadget set-up: the guest has a whole gadget to start from" false
    return
  fi
  mac=$(board_sh 'cat /sys/class/net/usb0/address')
  index=$(board_sh 'cat /sys/class/net/usb0/ifindex')

  # A whole gadget: set up already, not touched.
  out=$(board_sh "$set_up start 2>&1; echo status \$?")
  check "gadget set-up: a whole gadget is set up already" \
    [ "$out" = $'robot-client-gadget: the gadget is set up already\nstatus 0' ]
  check "gadget set-up: the whole gadget is left as it was" \
    [ "$(board_sh 'cat /sys/class/net/usb0/ifindex')" = "$index" ]

  # A run killed right after its mkdir left the directory alone: the unit's
  # start removes it and builds the gadget again.
  board_sh "systemctl stop robot-client-gadget && mkdir $g" >/dev/null
  check "gadget set-up: a gadget left half built is built again by the unit" \
    board_sh "systemctl start robot-client-gadget && $whole"
  check "gadget set-up: it says it found a leftover" \
    board_sh "journalctl -b -u robot-client-gadget -o cat --no-pager | grep -q 'left half built or unbound'"
  check "gadget set-up: the same MAC addresses again" [ "$(board_sh 'cat /sys/class/net/usb0/address')" = "$mac" ]

  # A gadget left unbound from its UDC is not set up either.
  out=$(board_sh "echo '' >$g/UDC && $set_up start 2>&1; echo status \$?")
  check "gadget set-up: an unbound gadget is removed and built again" \
    grep -q 'left half built or unbound' <<<"$out"
  check "gadget set-up: ... and the start succeeds with it whole" board_sh "$whole"
  check "gadget set-up: ... ending with status 0" grep -qx 'status 0' <<<"$out"

  # Another usb0 there first: the kernel names the gadget's interface usb1.
  out=$(board_sh "systemctl stop robot-client-gadget && ip link add usb0 type bridge && $set_up start 2>&1; echo status \$?")
  check "gadget set-up: an interface not named usb0 fails the set-up with status 1" \
    grep -qx 'status 1' <<<"$out"
  check "gadget set-up: ... naming the interface it got" \
    grep -q "named the gadget's interface 'usb1', not usb0" <<<"$out"
  check "gadget set-up: ... and leaving no gadget" board_sh "[ ! -e $g ]"

  # What the checks made goes: the other usb0; the units are unmasked.
  board_sh "ip link del usb0; systemctl unmask --runtime robot-client.service robot-client-cable.service" >/dev/null
}
