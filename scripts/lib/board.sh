# shellcheck shell=bash
# A board in a virtual machine: a Debian 12 system (systemd, udev, journald)
# booted by qemu-system-x86_64 under TCG, whose usb0 is QEMU's emulated USB
# network device (cdc_ether in the guest) on a tap in a manager network
# namespace, where the simulated manager and a real sshd receiving into a
# private /userdata wait at 10.10.10.2. The robot-client package is not part
# of the image: board_install puts the .deb built from this checkout in with
# dpkg and pairs the board with the manager, as an integrator would.
# Needs root, /dev/net/tun, and scripts/deps/board.list.
#
# Source this file, then:
#   board_image          the cached guest image (built on first use, about a minute)
#   board_deb            the .deb from this checkout (build-board-pkg/)
#   board_up             run directory, namespace, sshd, the disk that carries
#                        the .deb and the sample /robot into the guest
#   board_boot [usb]     starts the guest (with the USB NIC attached) and waits
#                        for root's shell on the serial console
#   board_sh CMD [SECS]  runs CMD in the guest; its output and exit status
#   board_install        dpkg -i, pairing, /robot
#   board_plug usb|virtio / board_unplug usb|virtio   the NICs, hot
#   board_link virtio on|off   the virtio NIC's carrier
#   board_halt           syncs and ends the guest
#   board_down           ends everything and removes every trace
# board_up sets an EXIT trap that calls board_down (INT and TERM exit).
#
# The guest: root logged in on ttyS0 (board.py drives it), kernel and initrd
# from the image, `console=ttyS0 net.ifnames=0`. A virtio NIC with the MAC
# below is renamed usb0 by a .link file: QEMU's usb-net never changes its
# carrier, the virtio NIC does (board_link). The two taps are ports of one
# bridge at 10.10.10.2. Each run boots from a qcow2 overlay over the cached
# image, which stays clean.

BOARD_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=scripts/lib/sandbox.sh
source "$BOARD_ROOT/scripts/lib/sandbox.sh"
: "${BOARD_CACHE:=/var/cache/robot-client-board}"
BOARD_PACKAGES=(systemd systemd-sysv udev kmod procps iproute2 net-tools openssh-client
  linux-image-amd64 initramfs-tools libev4 libcjson1)
BOARD_VIRTIO_MAC=52:54:00:b0:a2:d0

board_say() { printf 'board: %s\n' "$*" >&2; }

# The Debian archive that apt uses here, as sources.list lines (none when
# apt has no Debian 12 source: mmdebstrap then takes its own default).
board_mirrors() {
  # shellcheck disable=SC2016 # apt's own format fields
  apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 2>/dev/null |
    awk '$1 ~ /debian/ && $2 ~ /^bookworm/ { print "deb " $1 " " $2 " " $3 }' | sort -u
}

# The files the image gets on top of its packages (copied in before the
# kernel is installed, so that its initramfs already takes the hook).
board_image_files() {
  local d=$1
  mkdir -p "$d/etc/initramfs-tools/conf.d" "$d/etc/initramfs-tools/hooks" "$d/etc/systemd/network" \
    "$d/etc/systemd/system/serial-getty@ttyS0.service.d"
  echo board >"$d/etc/hostname"
  printf '127.0.0.1 localhost\n127.0.1.1 board\n' >"$d/etc/hosts"
  echo '/dev/vda / ext4 rw 0 0' >"$d/etc/fstab"
  # A small initramfs: only what mounts the virtio root disk.
  echo MODULES=list >"$d/etc/initramfs-tools/conf.d/board"
  # shellcheck disable=SC2016 # the hook's own variable
  printf '#!/bin/sh\n[ "$1" = prereqs ] && exit 0\n. /usr/share/initramfs-tools/hook-functions\n%s\n' \
    'manual_add_modules virtio_pci virtio_blk ext4' >"$d/etc/initramfs-tools/hooks/board"
  chmod 755 "$d/etc/initramfs-tools/hooks/board"
  # shellcheck disable=SC2016 # the unit's own variable
  printf '[Service]\nExecStart=\nExecStart=-/sbin/agetty --autologin root --noclear --keep-baud 115200 %%I $TERM\n' \
    >"$d/etc/systemd/system/serial-getty@ttyS0.service.d/autologin.conf"
  printf '[Match]\nMACAddress=%s\n\n[Link]\nName=usb0\n' "$BOARD_VIRTIO_MAC" >"$d/etc/systemd/network/10-board-usb0.link"
  ln -s /dev/null "$d/etc/systemd/system/systemd-firstboot.service"
}

board_image_key() {
  { echo "${BOARD_PACKAGES[*]}"; board_mirrors; declare -f board_image_files board_image_build; } | sha256sum | cut -c1-16
}

board_image_build() {
  local out=$1 work=$1.work
  rm -rf "$work" && mkdir -p "$work/files"
  board_image_files "$work/files"
  local mirrors
  mapfile -t mirrors < <(board_mirrors)
  # shellcheck disable=SC2016 # $1 is the hook's own argument
  mmdebstrap --quiet --variant=essential --mode=root --include="$(IFS=, && echo "${BOARD_PACKAGES[*]}")" \
    --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' \
    --essential-hook="cp -a '$work/files/.' \"\$1/\"" bookworm "$work/root" "${mirrors[@]}" || return 1
  # The documentation was left out of the image only: a package installed
  # later gets its files whole.
  rm -f "$work/root/etc/dpkg/dpkg.cfg.d/99mmdebstrap"
  od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$work/root/etc/machine-id"
  cp "$work"/root/boot/vmlinuz-* "$work/vmlinuz" && cp "$work"/root/boot/initrd.img-* "$work/initrd.img" || return 1
  truncate -s 2G "$work/disk.raw" && mke2fs -q -t ext4 -L board -d "$work/root" "$work/disk.raw" || return 1
  rm -rf "$work/root" "$work/files"
  mv "$work" "$out"
}

# Sets BOARD_IMAGE to the directory with disk.raw, vmlinuz and initrd.img.
board_image() {
  local key
  key=$(board_image_key)
  BOARD_IMAGE=$BOARD_CACHE/$key
  [ -f "$BOARD_IMAGE/disk.raw" ] && return 0
  board_say "building the guest image $BOARD_IMAGE (once per package list and recipe)"
  mkdir -p "$BOARD_CACHE"
  find "$BOARD_CACHE" -mindepth 1 -maxdepth 1 ! -name "$key*" -exec rm -rf {} +
  board_image_build "$BOARD_IMAGE"
}

# Sets BOARD_DEB to the package CPack builds from this checkout.
board_deb() {
  local b=$BOARD_ROOT/build-board-pkg
  cmake -S "$BOARD_ROOT" -B "$b" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null &&
    cmake --build "$b" -j"$(nproc)" >/dev/null || return 1
  rm -f "$b"/packages/*.deb
  (cd "$b" && cpack -G DEB >cpack.log 2>&1) || { cat "$b/cpack.log" >&2; return 1; }
  BOARD_DEB=$(echo "$b"/packages/robot-client_*_amd64.deb)
  [ -f "$BOARD_DEB" ]
}

board_up() {
  trap 'board_down' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  SB_PIDS=() SB_MANAGER_PID=
  BOARD_DIR=$(mktemp -d /tmp/rc-board.XXXXXX)
  SB_DIR=$BOARD_DIR
  SB_MANAGER_NS=rcbd-$$-manager
  SB_USERDATA=$BOARD_DIR/userdata
  SB_MANAGER_LOG=$BOARD_DIR/manager.log
  SB_SSHD_LOG=$BOARD_DIR/sshd.log
  SB_ROBOT=$BOARD_DIR/carry/robot
  export BOARD_CONSOLE_LOG=$BOARD_DIR/console.log
  mkdir -p "$SB_USERDATA" "$BOARD_DIR/carry"
  sb_make_tree "$SB_ROBOT"
  sb_make_keys
  cp "$BOARD_DEB" "$BOARD_DIR/sshd/ssh_host_ed25519_key.pub" "$BOARD_DIR/carry/"
  truncate -s $(($(du -sm "$BOARD_DIR/carry" | cut -f1) + 16))M "$BOARD_DIR/carry.img" &&
    mke2fs -q -t ext2 -L carry -d "$BOARD_DIR/carry" "$BOARD_DIR/carry.img" || return 1
  local m=$SB_MANAGER_NS
  ip netns add "$m" || return 1
  ip -n "$m" link set lo up
  ip -n "$m" link add rcbr type bridge
  ip -n "$m" addr add "$SB_MANAGER_IP/24" dev rcbr
  ip -n "$m" tuntap add dev rctap0 mode tap && ip -n "$m" tuntap add dev rctap1 mode tap || return 1
  ip -n "$m" link set rctap0 master rcbr up && ip -n "$m" link set rctap1 master rcbr up
  ip -n "$m" link set rcbr up
  sb_start_sshd
}

# board_boot [usb]: the guest, from this run's overlay of the image.
board_boot() {
  local nic=()
  # shellcheck disable=SC2054 # QEMU's own commas
  [ "${1:-}" = usb ] && nic=(-device usb-net,netdev=n0,bus=xhci.0,id=usbnic)
  [ -f "$BOARD_DIR/disk.qcow2" ] ||
    qemu-img create -q -f qcow2 -F raw -b "$BOARD_IMAGE/disk.raw" "$BOARD_DIR/disk.qcow2" || return 1
  rm -f "$BOARD_DIR/console.sock" "$BOARD_DIR/qmp.sock"
  ip netns exec "$SB_MANAGER_NS" qemu-system-x86_64 -nodefaults -no-user-config -M pc -accel tcg \
    -m 1024 -smp "${BOARD_CPUS:-1}" -display none \
    -kernel "$BOARD_IMAGE/vmlinuz" -initrd "$BOARD_IMAGE/initrd.img" \
    -append "root=/dev/vda rw console=ttyS0 net.ifnames=0 quiet" \
    -drive "file=$BOARD_DIR/disk.qcow2,if=virtio,format=qcow2" \
    -drive "file=$BOARD_DIR/carry.img,if=virtio,format=raw,readonly=on" \
    -chardev "socket,id=con,path=$BOARD_DIR/console.sock,server=on,wait=off" -serial chardev:con \
    -qmp "unix:$BOARD_DIR/qmp.sock,server=on,wait=off" \
    -device qemu-xhci,id=xhci -netdev tap,id=n0,ifname=rctap0,script=no,downscript=no \
    -netdev tap,id=n1,ifname=rctap1,script=no,downscript=no "${nic[@]}" \
    </dev/null >>"$BOARD_DIR/qemu.log" 2>&1 &
  BOARD_QEMU_PID=$!
  SB_PIDS+=("$BOARD_QEMU_PID")
  local i
  for ((i = 0; i < 100; i++)); do
    [ -S "$BOARD_DIR/qmp.sock" ] && [ -S "$BOARD_DIR/console.sock" ] && break
    kill -0 "$BOARD_QEMU_PID" 2>/dev/null || break
    sleep 0.1
  done
  python3 "$BOARD_ROOT/scripts/board.py" login "$BOARD_DIR/console.sock" --timeout 300 || {
    board_say "the guest did not boot:"
    cat "$BOARD_DIR/qemu.log" >&2
    tail -n 30 "$BOARD_CONSOLE_LOG" >&2
    return 1
  }
}

board_sh() { python3 "$BOARD_ROOT/scripts/board.py" sh "$BOARD_DIR/console.sock" "$1" --timeout "${2:-120}"; }
board_qmp() { python3 "$BOARD_ROOT/scripts/board.py" qmp "$BOARD_DIR/qmp.sock" "$@"; }

board_plug() {
  case $1 in
  usb) board_qmp device_add '{"driver":"usb-net","netdev":"n0","bus":"xhci.0","id":"usbnic"}' ;;
  virtio) board_qmp device_add '{"driver":"virtio-net-pci","netdev":"n1","id":"vnic","romfile":"","mac":"'$BOARD_VIRTIO_MAC'"}' ;;
  esac
}
board_unplug() {
  local id=usbnic
  [ "$1" = virtio ] && id=vnic
  board_qmp device_del '{"id":"'$id'"}' --event DEVICE_DELETED --event-id "$id" --timeout 60
}
board_link() { board_qmp set_link '{"name":"vnic","up":'"$([ "$2" = on ] && echo true || echo false)"'}'; }

# Installs the package, pins the manager's host key, makes root's key and
# lets the manager's sshd accept it, and puts the sample tree at /robot.
board_install() {
  local line
  board_sh 'mount -o ro /dev/vdb /mnt && { dpkg -i /mnt/robot-client_*.deb >/tmp/dpkg.log 2>&1 || ! cat /tmp/dpkg.log; } && cp -a /mnt/robot /' ||
    return 1
  line=$(board_sh 'robot-client-pair /mnt/ssh_host_ed25519_key.pub' | grep '^from=') || return 1
  echo "$line" >"$BOARD_DIR/sshd/authorized_keys"
}

board_halt() {
  board_sh sync >/dev/null
  board_qmp quit >/dev/null
  sb_wait_pid "$BOARD_QEMU_PID" 30
}

board_down() {
  local pid
  set +e
  trap - EXIT INT TERM
  [ -n "${BOARD_DIR:-}" ] || return 0
  for pid in "${SB_PIDS[@]}"; do sb_stop "$pid"; done
  SB_PIDS=()
  ip netns del "$SB_MANAGER_NS" 2>/dev/null
  if [ -n "${BOARD_KEEP:-}" ]; then
    board_say "kept $BOARD_DIR"
  else
    rm -rf "$BOARD_DIR"
  fi
  BOARD_DIR=
}
