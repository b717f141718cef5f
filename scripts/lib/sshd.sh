# shellcheck shell=bash
# The manager's sshd, which receives the client's copies, and the board's
# pairing with it. Needs SB_DIR, SB_MANAGER_NS, SB_USERDATA and, for the
# pairing over usb0, SB_CLIENT_NS; sandbox_up and board_up set them. Files
# in $SB_DIR: ssh/ (the board's /root/.ssh), etc-ssh/ (the board's /etc/ssh:
# the host's client configuration, the shipped drop-in and the pin), sshd/
# (the manager's host key, authorized_keys and sshd_config) and, for a
# confined key, chroot/ (the manager's /srv/robot-board). Public functions
# are sshd_*.

SSHD_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# sshd_keys: makes the manager's host key and pairs the board with it the
# way a board is paired: the shipped pairing script makes root's key and
# pins the host key; the sshd takes the line it prints for authorized_keys.
# $SB_DIR/ssh/robot-manager_known_hosts keeps a copy of the pin for other
# machines (it is not shown to the client).
sshd_keys() {
  local ssh=$SB_DIR/ssh sshd=$SB_DIR/sshd etc=$SB_DIR/etc-ssh
  SSHD_BINDS=()
  mkdir -p "$ssh" "$sshd" "$etc"
  chmod 700 "$ssh"
  cp -a /etc/ssh/ssh_config /etc/ssh/ssh_config.d "$etc/"
  cp "$SSHD_ROOT/packaging/ssh/robot-client.conf" "$etc/ssh_config.d/"
  ssh-keygen -q -t ed25519 -N '' -f "$sshd/ssh_host_ed25519_key"
  if ! sshd_pair "$SB_DIR/pair.log" "$sshd/ssh_host_ed25519_key.pub" ||
    ! grep '^from=' "$SB_DIR/pair.log" >"$sshd/authorized_keys"; then
    echo "sshd: pairing failed:" >&2
    cat "$SB_DIR/pair.log" >&2
    return 1
  fi
  cp "$etc/robot-manager_known_hosts" "$ssh/"
  cat >"$sshd/sshd_config" <<CONF
ListenAddress $SB_MANAGER_IP
Port 22
HostKey $sshd/ssh_host_ed25519_key
PidFile none
AuthorizedKeysFile $sshd/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PrintMotd no
PrintLastLog no
Subsystem sftp internal-sftp
CONF
}

# sshd_new_host_key: gives the manager another host key than the one the
# board pinned when it paired (before sshd_start).
sshd_new_host_key() {
  ssh-keygen -q -t ed25519 -N '' -f "$SB_DIR/sshd/ssh_host_ed25519_key" <<<y >/dev/null
}

# sshd_confine: confines root's logins from the board as the operator
# guide's recipe does (before sshd_start): sftp only, chrooted into
# /srv/robot-board, a read-only folder with the manager's /userdata bound
# inside it.
sshd_confine() {
  mkdir -m 755 "$SB_DIR/chroot" "$SB_DIR/chroot/userdata" || return 1
  SSHD_BINDS=(--tmpfs /srv --ro-bind "$SB_DIR/chroot" /srv/robot-board --bind "$SB_USERDATA" /srv/robot-board/userdata)
  cat >>"$SB_DIR/sshd/sshd_config" <<CONF
Match User root Address 10.10.10.1
    ChrootDirectory /srv/robot-board
    ForceCommand internal-sftp
    DisableForwarding yes
    PermitTTY no
CONF
}

# sshd_pair LOG [ARGS...]: runs the shipped pairing script with ARGS as the
# board's root would, with $SB_DIR/ssh as /root/.ssh and $SB_DIR/etc-ssh as
# /etc/ssh; its output goes to LOG. Unless its last argument is a key file
# the script scans the manager over usb0, so it runs in the board's
# namespace.
sshd_pair() {
  local log=$1 netns=()
  shift
  [ -f "${*: -1}" ] || netns=(ip netns exec "$SB_CLIENT_NS")
  sandbox_view
  "${netns[@]}" bwrap "${SB_VIEW[@]}" --bind "$SB_DIR/ssh" /root/.ssh --bind "$SB_DIR/etc-ssh" /etc/ssh \
    --ro-bind "$SB_DIR/sshd" "$SB_DIR/sshd" -- sh "$SSHD_ROOT/packaging/robot-client-pair" "$@" \
    </dev/null >"$log" 2>&1
}

# sshd_start: the manager's sshd in its namespace, receiving into
# $SB_USERDATA (the manager's /userdata); its pid is SSHD_PID, its log
# $SB_DIR/sshd.log.
sshd_start() {
  sandbox_view
  ip netns exec "$SB_MANAGER_NS" bwrap "${SB_VIEW[@]}" --dir /run/sshd --ro-bind "$SB_DIR/sshd" "$SB_DIR/sshd" \
    --bind "$SB_USERDATA" /userdata "${SSHD_BINDS[@]}" -- /usr/sbin/sshd -D -e -f "$SB_DIR/sshd/sshd_config" \
    </dev/null >"$SB_DIR/sshd.log" 2>&1 &
  SSHD_PID=$!
  SB_PIDS+=("$SSHD_PID")
  proc_until 10 grep -q 'Server listening' "$SB_DIR/sshd.log" || {
    echo "sshd: did not start:" >&2
    cat "$SB_DIR/sshd.log" >&2
    return 1
  }
}
