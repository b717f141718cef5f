# shellcheck shell=bash
# A board in a virtual machine: a Debian 12 system (systemd, udev, journald)
# booted by QEMU under TCG, amd64 or arm64 (BOARD_ARCH, below), with a
# manager network namespace
# on the host where the simulated manager and a real sshd receiving into a
# private /userdata wait at 10.10.10.2 (manager.sh, sshd.sh). The
# robot-client package is not part of the image: board_install puts the
# .deb built from this checkout in with dpkg and pairs the board with the
# manager, as an integrator would. Needs root, /dev/net/tun, and
# scripts/deps/board.list. Public functions are board_*, each described
# where it is defined; board_up sets an EXIT trap that calls board_down (INT
# and TERM exit).
#
# The guest: root logged in on its serial console (board.py drives it),
# kernel and initrd from the image, `console=... net.ifnames=0`. Its usb0
# comes from one of:
#   - QEMU's USB NIC (usb-net, cdc_ether in the guest): a USB network
#     adapter that comes and goes with the cable (board_plug usb), whose
#     carrier never changes;
#   - the shipped gadget set-up on dummy_hcd (board_boot --gadget): usb0
#     stays while the carrier follows the cable, that is the host side
#     letting go of the gadget's USB device and taking it again (its
#     "authorized"). The host side is in the same kernel and stands for the
#     manager's PC: a service in the image bridges it to a virtio NIC on the
#     manager's bridge.
# The NICs' taps are ports of one bridge at 10.10.10.2. Each run boots from
# a qcow2 overlay over the cached image, which stays clean.

BOARD_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$BOARD_ROOT/scripts/lib/sandbox.sh"
: "${BOARD_CACHE:=/var/cache/robot-client-board}"
# The board's architecture, set before this file is sourced: amd64 (the
# default) or arm64, the architecture the product ships for. Everything that
# differs between them is said here; the rest of this file is one recipe.
#   BOARD_QEMU     the emulator and its machine: the PC, or the Arm "virt"
#                  machine with a Cortex-A72 (its PL011 UART is ttyAMA0). Both
#                  take the same virtio disks and NICs on PCI and qemu-xhci.
#   BOARD_CONSOLE  the serial console the kernel and root's getty use.
#   BOARD_BINFMT   the qemu-user interpreter that runs the image's programs
#                  while it is built on another architecture (_board_binfmt).
# The kernel is Debian's linux-image-$BOARD_ARCH (_board_kernel).
: "${BOARD_ARCH:=amd64}"
case $BOARD_ARCH in
amd64) BOARD_QEMU=(qemu-system-x86_64 -M pc) BOARD_CONSOLE=ttyS0 BOARD_BINFMT=qemu-x86_64 ;;
arm64) BOARD_QEMU=(qemu-system-aarch64 -M virt -cpu cortex-a72) BOARD_CONSOLE=ttyAMA0 BOARD_BINFMT=qemu-aarch64 ;;
*)
  echo "board: BOARD_ARCH=$BOARD_ARCH: amd64 or arm64" >&2
  return 1
  ;;
esac
BOARD_PACKAGES=(systemd systemd-sysv udev kmod procps iproute2 net-tools openssh-client libev4 libcjson1)
BOARD_HOST_MAC=52:54:00:b0:a2:d1

_board_say() { printf 'board: %s\n' "$*" >&2; }

# The Debian archive that apt uses here, as sources.list lines (none when
# apt has no Debian 12 source: mmdebstrap then takes its own default).
_board_mirrors() {
  # shellcheck disable=SC2016 # apt's own format fields
  apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 2>/dev/null |
    awk '$1 ~ /debian/ && $2 ~ /^bookworm/ { print "deb " $1 " " $2 " " $3 }' | sort -u
}

# The files the image gets on top of its packages.
_board_image_files() {
  local d=$1
  mkdir -p "$d/etc/systemd/system/serial-getty@$BOARD_CONSOLE.service.d" "$d/etc/systemd/system/sysinit.target.wants"
  echo board >"$d/etc/hostname"
  printf '127.0.0.1 localhost\n127.0.1.1 board\n' >"$d/etc/hosts"
  echo '/dev/vda / ext4 rw 0 0' >"$d/etc/fstab"
  # shellcheck disable=SC2016 # the unit's own variable
  printf '[Service]\nExecStart=\nExecStart=-/sbin/agetty --autologin root --noclear --keep-baud 115200 %%I $TERM\n' \
    >"$d/etc/systemd/system/serial-getty@$BOARD_CONSOLE.service.d/autologin.conf"
  # The manager's PC of a gadget board (booted with dummy_hcd): the host side
  # of the gadget link, bridged with the virtio NIC to the manager's bridge
  # and up the moment it appears, as a PC that is up before the cable comes
  # has it. A host side that a busy machine brought up late can miss the
  # gadget's "connected" notification and show no carrier; after 5 s it
  # takes the device again, as its user would plug the cable in again.
  mkdir -p "$d/usr/local/sbin"
  cat >"$d/usr/local/sbin/board-manager-pc" <<'SCRIPT'
#!/bin/sh
ip link add br0 type bridge && ip link set br0 up
{ ls /sys/class/net; ip -o monitor link | while read -r _ n _; do echo "${n%:}"; done; } | while read -r n; do
  [ "$n" != usb0 ] && [ -e "/sys/class/net/$n/device" ] && [ ! -e "/sys/class/net/$n/brport" ] || continue
  ip link set "$n" master br0 up
  usb=$(readlink -f "/sys/class/net/$n/device/..")
  [ -e "$usb/authorized" ] && (sleep 5; [ "$(cat "/sys/class/net/$n/carrier" 2>/dev/null)" = 0 ] &&
    logger -t board-manager-pc "$n has no carrier: taking the device again" && echo 0 >"$usb/authorized" &&
    echo 1 >"$usb/authorized") &
done
SCRIPT
  chmod 755 "$d/usr/local/sbin/board-manager-pc"
  printf '%s\n' '[Unit]' 'ConditionKernelCommandLine=modules-load=dummy_hcd,cdc_ether,bridge' \
    'DefaultDependencies=no' '[Service]' 'ExecStart=/usr/local/sbin/board-manager-pc' \
    >"$d/etc/systemd/system/board-manager-pc.service"
  ln -s /etc/systemd/system/board-manager-pc.service "$d/etc/systemd/system/sysinit.target.wants/"
  ln -s /dev/null "$d/etc/systemd/system/systemd-firstboot.service"
}

# The cache key: the architecture, then a digest of what makes the image.
_board_image_key() {
  printf '%s-' "$BOARD_ARCH"
  { echo "$BOARD_ARCH $BOARD_CONSOLE ${BOARD_PACKAGES[*]}"; _board_mirrors; declare -f _board_image_files _board_kernel _board_image_build; } |
    sha256sum | cut -c1-16
}

# _board_binfmt: lets this machine run the image's programs when the board's
# architecture is not its own: mmdebstrap runs each package's maintainer
# scripts in the image, and the kernel hands those programs to qemu-user
# through binfmt_misc. Mounts binfmt_misc unless it is, and registers
# qemu-user-static's own entry for the architecture unless it is: what that
# package does at every boot on a system whose systemd runs systemd-binfmt.
# Safe on a build machine: it only makes programs of the other architecture,
# which the kernel refused before ("Exec format error"), run under the
# emulator; the machine's own programs are not touched. The interpreter is
# opened once, at registration (flag F), so it also works inside a chroot,
# and a setuid program of the other architecture runs with the caller's
# rights (no flag C). It lasts until the machine restarts; writing -1 to
# /proc/sys/fs/binfmt_misc/qemu-aarch64 removes it sooner.
_board_binfmt() {
  local dir=/proc/sys/fs/binfmt_misc conf=/usr/lib/binfmt.d/$BOARD_BINFMT.conf
  [ "$BOARD_ARCH" != "$(dpkg --print-architecture)" ] || return 0
  mountpoint -q "$dir" || mount -t binfmt_misc binfmt_misc "$dir" || return 1
  [ -e "$dir/$BOARD_BINFMT" ] || grep -v '^#' "$conf" >"$dir/register" || return 1
  arch-test "$BOARD_ARCH" >/dev/null || {
    _board_say "this machine cannot run $BOARD_ARCH programs (arch-test $BOARD_ARCH), even with $conf registered"
    return 1
  }
}

# _board_rm_tree DIR: removes DIR, first unmounting what a build that was
# killed left mounted beneath it (the chroot's /proc, /sys and /dev), and
# never crossing into another file system.
_board_rm_tree() {
  findmnt -rn -o TARGET | awk -v d="$1/" 'index($0, d) == 1' | sort -r | xargs -r umount -l
  rm -rf --one-file-system "$1"
}

# _board_kernel WORK: the kernel and its initramfs (WORK/vmlinuz,
# WORK/initrd.img), made on this machine from the Debian packages that the
# image's build downloaded into WORK/debs, rather than by the packages' own
# scripts in the image: there every package that triggers initramfs-tools
# rebuilds the initramfs, and on another architecture the kernel's
# unpacking, its depmod and each rebuild run under emulation (half the arm64
# image's build). The kernel is linux-image-$BOARD_ARCH's, its files
# unpacked into the image as dpkg would (no package there depends on it, so
# its dpkg is not told), its modules indexed by this machine's depmod. The
# initramfs is busybox-static's busybox, the modules that mount the root
# disk (virtio, ext4) and an init that loads them, mounts root= and hands
# over to the image's systemd, as initramfs-tools' would.
_board_kernel() {
  local work=$1 d=$1/initramfs deb kver m
  deb=$(ls "$work"/debs/linux-image-[0-9]*.deb) && kver=$(dpkg-deb -f "$deb" Package) && kver=${kver#linux-image-} &&
    dpkg-deb --fsys-tarfile "$deb" | tar -x --keep-directory-symlink -C "$work/root" &&
    depmod -b "$work/root" "$kver" && cp "$work/root/boot/vmlinuz-$kver" "$work/vmlinuz" || return 1
  mkdir -p "$d/bin" "$d/dev" "$d/proc" "$d/root" "$d/modules" "$work/busybox"
  dpkg-deb -x "$work"/debs/busybox-static_*.deb "$work/busybox" && cp "$work/busybox/bin/busybox" "$d/bin/" &&
    mknod -m 600 "$d/dev/console" c 5 1 || return 1
  # The modules, each after those it needs, in the order modprobe would
  # load them; crc32c_generic is ext4's checksum, which it asks the kernel
  # for by name.
  for m in $(modprobe -d "$work/root" -S "$kver" --show-depends -a virtio_pci virtio_blk crc32c_generic ext4 |
    awk '$1 == "insmod" && !seen[$2]++ { print $2 }'); do
    cp "$m" "$d/modules/" && echo "${m##*/}" >>"$d/modules/order" || return 1
  done
  # shellcheck disable=SC2016 # the init's own variables
  printf '%s\n' '#!/bin/busybox sh' '/bin/busybox --install -s /bin' 'export PATH=/bin' \
    'mount -t devtmpfs devtmpfs /dev && mount -t proc proc /proc' \
    'for m in $(cat /modules/order); do insmod "/modules/$m"; done' \
    'for a in $(cat /proc/cmdline); do case $a in root=*) root=${a#root=} ;; esac; done' \
    'i=0; while [ ! -b "$root" ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done' \
    'mount -t ext4 -o rw "$root" /root || { echo "initramfs: cannot mount $root"; exec sh; }' \
    'umount /proc && mount --move /dev /root/dev && exec switch_root /root /sbin/init' >"$d/init"
  chmod 755 "$d/init"
  (cd "$d" && find . | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$work/initrd.img"
}

_board_image_build() {
  local out=$1 work=$1.work mirrors
  _board_rm_tree "$work" && mkdir -p "$work/files" "$work/debs/partial"
  _board_image_files "$work/files"
  _board_binfmt || return 1
  mapfile -t mirrors < <(_board_mirrors)
  # In a mount namespace of its own, the chroot's mounts end with it, even
  # when it is killed. /usr merged as Debian 12's installer makes it (not by
  # the usrmerge package, which brings perl). The last hook downloads the
  # kernel and busybox-static with the image's apt, for _board_kernel.
  # shellcheck disable=SC2016 # $1 and $MMDEBSTRAP_APT_CONFIG are the hooks'
  unshare --mount --propagation private mmdebstrap --quiet --variant=essential --mode=root --arch="$BOARD_ARCH" \
    --include="$(IFS=, && echo "${BOARD_PACKAGES[*]}")" --hook-dir=/usr/share/mmdebstrap/hooks/merged-usr \
    --dpkgopt=force-unsafe-io --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' \
    --essential-hook="cp -a '$work/files/.' \"\$1/\"" \
    --customize-hook="APT_CONFIG=\"\$MMDEBSTRAP_APT_CONFIG\" apt-get install -qq --download-only --no-install-recommends -o Dir::Cache::Archives='$work/debs/' linux-image-$BOARD_ARCH busybox-static" \
    bookworm "$work/root" "${mirrors[@]}" >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log" >&2 && return 1; }
  # The documentation was left out of the image only: a package installed
  # later gets its files whole.
  rm -f "$work/root/etc/dpkg/dpkg.cfg.d/99mmdebstrap"
  od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$work/root/etc/machine-id"
  _board_kernel "$work" || return 1
  truncate -s 2G "$work/disk.raw" && mke2fs -q -t ext4 -L board -d "$work/root" "$work/disk.raw" || return 1
  rm -rf "$work/root" "$work/files" "$work/debs" "$work/busybox" "$work/initramfs" "$work/build.log"
  mv "$work" "$out"
}

# board_image: sets BOARD_IMAGE to the cached guest image, a directory with
# disk.raw, vmlinuz and initrd.img, built first when there is none for this
# architecture, package list, these mirrors and this recipe (about 40 s for
# amd64; 100 s for arm64, its packages set up under qemu-user; twice that
# beside the test command's builds). BOARD_CACHE (default
# /var/cache/robot-client-board) holds one image per architecture, in
# ARCH-DIGEST: an older one of the same architecture is removed, the other
# architecture's is left alone. One build at a time for an architecture:
# a second board asking for the image meanwhile waits for it (a lock).
board_image() {
  local key old lock rc=0
  key=$(_board_image_key)
  BOARD_IMAGE=$BOARD_CACHE/$key
  [ -f "$BOARD_IMAGE/disk.raw" ] && return 0
  mkdir -p "$BOARD_CACHE" && exec {lock}>"$BOARD_CACHE/.$BOARD_ARCH.lock" && flock "$lock" || return 1
  if [ ! -f "$BOARD_IMAGE/disk.raw" ]; then
    _board_say "building the $BOARD_ARCH guest image $BOARD_IMAGE (once per package list and recipe)"
    for old in "$BOARD_CACHE/$BOARD_ARCH"-*; do
      if [ -e "$old" ]; then _board_rm_tree "$old"; fi
    done
    _board_image_build "$BOARD_IMAGE" || rc=1
  fi
  exec {lock}>&-
  return $rc
}

# board_deb [ARCH]: builds the packages from this checkout for ARCH (the
# board's, by default) with scripts/build-deb.sh (in build-deb/ARCH/) and
# sets BOARD_DEB to the main one.
board_deb() {
  BOARD_DEB=$("$BOARD_ROOT/scripts/build-deb.sh" "${1:-$BOARD_ARCH}" | tail -n 1) && [ -f "$BOARD_DEB" ]
}

# board_up: the run's directory (BOARD_DIR; BOARD_KEEP=1 keeps it), the
# manager's namespace with its bridge, the taps and sshd, and the disk that
# carries the .deb, the manager's host key, the sample /robot and what the
# directory BOARD_CARRY holds, if set, into the guest (at /mnt once
# board_install or the test mounts /dev/vdb).
board_up() {
  trap 'board_down' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  SB_PIDS=() MANAGER_PID=
  BOARD_DIR=$(mktemp -d "${TMPDIR:-/tmp}/rc-board.XXXXXX")
  SB_DIR=$BOARD_DIR
  SB_MANAGER_NS=rcbd-$$-manager
  SB_USERDATA=$BOARD_DIR/userdata
  SB_ROBOT=$BOARD_DIR/carry/robot
  export BOARD_CONSOLE_LOG=$BOARD_DIR/console.log
  mkdir -p "$SB_USERDATA" "$BOARD_DIR/carry"
  sandbox_tree "$SB_ROBOT"
  sshd_keys || return 1
  cp "$BOARD_DEB" "$BOARD_DIR/sshd/ssh_host_ed25519_key.pub" "$BOARD_DIR/carry/"
  [ -z "${BOARD_CARRY:-}" ] || cp -a "$BOARD_CARRY/." "$BOARD_DIR/carry/"
  truncate -s $(($(du -sm "$BOARD_DIR/carry" | cut -f1) + 16))M "$BOARD_DIR/carry.img" &&
    mke2fs -q -t ext2 -L carry -d "$BOARD_DIR/carry" "$BOARD_DIR/carry.img" || return 1
  local m=$SB_MANAGER_NS
  sandbox_sweep
  ip netns del "$m" 2>/dev/null # a dead run's, whose pid we now hold
  ip netns add "$m" || return 1
  ip -n "$m" link set lo up
  ip -n "$m" link add rcbr type bridge
  ip -n "$m" addr add "$SB_MANAGER_IP/24" dev rcbr
  ip -n "$m" tuntap add dev rctap0 mode tap && ip -n "$m" tuntap add dev rctap1 mode tap || return 1
  ip -n "$m" link set rctap0 master rcbr up && ip -n "$m" link set rctap1 master rcbr up
  ip -n "$m" link set rcbr up
  sshd_start
}

# board_boot [--usb] [--gadget in|out]: starts the guest from this run's
# overlay of the image and waits for root's shell on the serial console.
# With --usb the USB NIC is attached from power-on. With --gadget the
# board's USB device controller is dummy_hcd, loaded at boot (the shipped
# gadget set-up, once enabled, makes usb0 on it), and the virtio NIC to the
# manager's PC is there; "out" boots with the cable out (no USB device is
# authorized until the cable comes).
board_boot() {
  local nic=() append='' i
  while [ $# -gt 0 ]; do
    case $1 in
    --usb) nic+=(-device "usb-net,netdev=n0,bus=xhci.0,id=usbnic") ;;
    --gadget)
      nic+=(-device "virtio-net-pci,netdev=n1,id=hostnic,mac=$BOARD_HOST_MAC")
      # The manager's side loaded from the start, as on a PC that is up
      # before the cable comes: no driver loads while the link comes up.
      # Without high-resolution timers: while the link is up, dummy_hcd
      # runs its transfers from a 125 us timer, which under TCG took 40% of
      # a processor; at the kernel's tick (4 ms) it takes 6%, and the link
      # still carries megabytes a second.
      append=" modules-load=dummy_hcd,cdc_ether,bridge highres=off"
      [ "$2" = out ] && append+=" usbcore.authorized_default=0"
      shift
      ;;
    esac
    shift
  done
  [ -f "$BOARD_DIR/disk.qcow2" ] ||
    qemu-img create -q -f qcow2 -F raw -b "$BOARD_IMAGE/disk.raw" "$BOARD_DIR/disk.qcow2" || return 1
  rm -f "$BOARD_DIR/console.sock" "$BOARD_DIR/qmp.sock"
  ip netns exec "$SB_MANAGER_NS" "${BOARD_QEMU[@]}" -nodefaults -no-user-config -accel tcg \
    -m 1024 -smp "${BOARD_CPUS:-1}" -display none \
    -kernel "$BOARD_IMAGE/vmlinuz" -initrd "$BOARD_IMAGE/initrd.img" \
    -append "root=/dev/vda rw console=$BOARD_CONSOLE net.ifnames=0 quiet$append" \
    -drive "file=$BOARD_DIR/disk.qcow2,if=virtio,format=qcow2" \
    -drive "file=$BOARD_DIR/carry.img,if=virtio,format=raw,readonly=on" \
    -chardev "socket,id=con,path=$BOARD_DIR/console.sock,server=on,wait=off" -serial chardev:con \
    -qmp "unix:$BOARD_DIR/qmp.sock,server=on,wait=off" \
    -device qemu-xhci,id=xhci -netdev tap,id=n0,ifname=rctap0,script=no,downscript=no \
    -netdev tap,id=n1,ifname=rctap1,script=no,downscript=no "${nic[@]}" \
    </dev/null >>"$BOARD_DIR/qemu.log" 2>&1 &
  BOARD_QEMU_PID=$!
  SB_PIDS+=("$BOARD_QEMU_PID")
  for ((i = 0; i < 100; i++)); do
    [ -S "$BOARD_DIR/qmp.sock" ] && [ -S "$BOARD_DIR/console.sock" ] && break
    kill -0 "$BOARD_QEMU_PID" 2>/dev/null || break
    sleep 0.1
  done
  python3 "$BOARD_ROOT/scripts/board.py" login "$BOARD_DIR/console.sock" --timeout 300 || {
    _board_say "the guest did not boot:"
    cat "$BOARD_DIR/qemu.log" >&2
    tail -n 30 "$BOARD_CONSOLE_LOG" >&2
    return 1
  }
}

# board_sh COMMAND [SECS]: runs COMMAND in the guest's root shell (for up to
# SECS, default 120); its output, and its exit status.
board_sh() { python3 "$BOARD_ROOT/scripts/board.py" sh "$BOARD_DIR/console.sock" "$1" --timeout "${2:-120}"; }

# board_qmp COMMAND [ARGS-JSON] [--event NAME ...]: one QEMU monitor command
# (board.py qmp).
board_qmp() { python3 "$BOARD_ROOT/scripts/board.py" qmp "$BOARD_DIR/qmp.sock" "$@"; }

# board_plug: attaches QEMU's USB NIC (usb0 in the guest).
board_plug() { board_qmp device_add '{"driver":"usb-net","netdev":"n0","bus":"xhci.0","id":"usbnic"}'; }

# board_unplug: detaches it, and waits until QEMU has.
board_unplug() { board_qmp device_del '{"id":"usbnic"}' --event DEVICE_DELETED --event-id usbnic --timeout 60; }

# board_install: installs the package, pins the manager's host key, makes
# root's key and lets the manager's sshd accept it, and puts the sample tree
# at /robot.
board_install() {
  local line
  board_sh 'mount -o ro /dev/vdb /mnt && { dpkg -i /mnt/robot-client_*.deb >/tmp/dpkg.log 2>&1 || ! cat /tmp/dpkg.log; } && cp -a /mnt/robot /' ||
    return 1
  line=$(board_sh 'robot-client-pair /mnt/ssh_host_ed25519_key.pub' | grep '^from=') || return 1
  echo "$line" >"$BOARD_DIR/sshd/authorized_keys"
}

# _board_cpu: says how much processor time this boot's QEMU has used so
# far, once a boot (the machine's two processors are the test command's
# budget).
_board_cpu() {
  local f
  [ -n "${BOARD_QEMU_PID:-}" ] && [ "$BOARD_QEMU_PID" != "${_board_cpu_said:-}" ] &&
    read -ra f 2>/dev/null <"/proc/$BOARD_QEMU_PID/stat" || return 0
  _board_say "this boot's QEMU used $(((f[13] + f[14]) / $(getconf CLK_TCK))) s of processor time"
  _board_cpu_said=$BOARD_QEMU_PID
}

# board_halt: syncs the guest's disks and ends it.
board_halt() {
  board_sh sync >/dev/null
  _board_cpu
  board_qmp quit >/dev/null
  proc_wait "$BOARD_QEMU_PID" 30
}

# board_down: ends everything board_up and board_boot started and removes
# every trace.
board_down() {
  local pid
  set +e
  trap - EXIT INT TERM
  [ -n "${BOARD_DIR:-}" ] || return 0
  _board_cpu
  for pid in "${SB_PIDS[@]}"; do proc_stop "$pid"; done
  SB_PIDS=()
  ip netns del "$SB_MANAGER_NS" 2>/dev/null
  if [ -n "${BOARD_KEEP:-}" ]; then
    _board_say "kept $BOARD_DIR"
  else
    rm -rf "$BOARD_DIR"
  fi
  BOARD_DIR=
}
