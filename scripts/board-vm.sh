#!/usr/bin/env bash
# Try the package on a board in a virtual machine, by hand.
#
#   sudo scripts/board-vm.sh [--arch amd64|arm64] [--no-plug | --gadget] [-- SIM_MANAGER_OPTIONS...]
#
# Boots the Debian 12 guest of the board tests (scripts/lib/board.sh) for the
# given architecture: amd64 (the default; qemu-system-x86_64) or arm64, the
# boards' own (qemu-system-aarch64, the Arm "virt" machine, console ttyAMA0).
# The image is built on first use (amd64 in about 40 s, arm64 in about 100 s), then
# cached. It installs the .deb built from this checkout for that
# architecture with dpkg, pairs the guest with the simulated manager
# (tools/sim_manager.py, started with the given options, default
# --run-time 3) and its sshd at 10.10.10.2, then attaches the USB NIC: usb0
# appears in the guest and the cable watch starts robot-client. You are left
# at the guest's root shell on its serial console; try
#     journalctl -u robot-client -f        systemctl status robot-client-cable
#     ls /robot                            systemctl start robot-client
# Ctrl-] leaves the console, powers the guest off and removes everything.
# --no-plug leaves the NIC unplugged. Meanwhile, from another terminal:
#     scripts/board.py qmp RUN/qmp.sock device_del '{"id":"usbnic"}'    unplug
#     scripts/board.py qmp RUN/qmp.sock device_add \
#         '{"driver":"usb-net","netdev":"n0","bus":"xhci.0","id":"usbnic"}'  plug
#     tail -f RUN/manager.log              the manager's side
#     ls RUN/userdata                      what the copies delivered
# (RUN is printed at start.)
#
# --gadget makes the guest a USB gadget board instead: the shipped gadget
# set-up is enabled and the guest boots again with dummy_hcd as its USB
# device controller and the cable in. usb0 then stays; in the guest, the
# cable is the host side's hold on the gadget:
#     d=$(grep -l 0104 /sys/bus/usb/devices/*/idProduct | xargs dirname)
#     echo 0 > $d/authorized               unplug
#     echo 1 > $d/authorized               plug in (a deployment runs)
# Needs root and /dev/net/tun; no KVM needed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

mode=plug BOARD_ARCH=amd64
die() { echo "board-vm: $*" >&2 && exit 1; }
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  case $1 in
  --no-plug | --gadget) mode=${1#--} ;;
  --arch) BOARD_ARCH=${2:-} && shift ;;
  *) die "unknown option $1 (see the comment at the top of $0)" ;;
  esac
  shift
done
[ "${1:-}" = -- ] && shift
[ $# -gt 0 ] || set -- --run-time 3
[ "$(id -u)" -eq 0 ] || die "run as root"

scripts/setup.sh || die "setup failed"
if [ "$BOARD_ARCH" = arm64 ]; then scripts/setup-arm64.sh || die "setup failed"; fi
source scripts/lib/board.sh || exit 1
board_image || die "no guest image"
board_deb || die "package build failed"
board_up || die "manager side failed"
echo "board-vm: run directory $BOARD_DIR; booting the $BOARD_ARCH guest (30 to 60 s under TCG)"
manager_start --connections 1000 "$@" || die "the simulated manager did not start"
board_boot || die "the guest did not boot"
board_install || die "install or pairing failed"
echo "board-vm: robot-client installed and paired"
case $mode in
plug)
  board_plug || die "device_add failed"
  echo "board-vm: USB NIC attached; usb0 starts robot-client"
  ;;
gadget)
  board_sh 'systemctl enable robot-client-gadget' >/dev/null && board_halt || die "enabling the gadget failed"
  echo "board-vm: booting again as a USB gadget board, cable in"
  board_boot --gadget in || die "the guest did not boot"
  ;;
esac
# The test's quiet console settings back to an operator's.
board_sh "stty sane; export TERM=vt220 PS1='root@board:\\w# '; unset SYSTEMD_PAGER SYSTEMD_COLORS" >/dev/null
python3 scripts/board.py attach "$BOARD_DIR/console.sock"
