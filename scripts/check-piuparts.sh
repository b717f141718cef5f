#!/usr/bin/env bash
# Installs, removes and purges a robot-client .deb with piuparts in a clean
# Debian 12 chroot: the package installs with its dependencies from the
# archive, its maintainer scripts work without a running systemd, nothing
# is left running, and purging it leaves no file behind. Run as root.
#
#   scripts/check-piuparts.sh build-deb/amd64/robot-client_<version>_amd64.deb
#
# The chroot starts from a cached base tarball (Debian 12 minbase, made with
# mmdebstrap from apt's Debian mirrors here), kept in
# /var/cache/robot-client-piuparts/KEY.tar.gz (PIUPARTS_CACHE moves it),
# where KEY hashes this recipe and the mirrors; a new one replaces the old.
# piuparts runs in a mount namespace of its own, so its chroot's mounts end
# with it even when it is killed; its chroot lives under a temporary
# directory that is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(realpath "${1:?usage: scripts/check-piuparts.sh PACKAGE.deb}")
: "${PIUPARTS_CACHE:=/var/cache/robot-client-piuparts}"
say() { echo "piuparts: $*"; }

# The Debian 12 archive that apt uses here, as sources.list lines (none when
# apt has no Debian 12 source: mmdebstrap then takes its own default).
mirrors() {
  # shellcheck disable=SC2016 # apt's own format fields
  apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 2>/dev/null |
    awk '$1 ~ /debian/ && $2 ~ /^bookworm/ { print "deb " $1 " " $2 " " $3 }' | sort -u
}

# base_build OUT: the base chroot as a tarball. eatmydata is what piuparts
# runs dpkg under, when the chroot has it. systemd and udev, which the
# package depends on, are there already, as on every board: their own
# directories (made by their postinst) are then no part of what the
# package's install and purge leave.
base_build() {
  local lines
  mapfile -t lines < <(mirrors)
  unshare --mount --propagation private mmdebstrap --quiet --variant=minbase --mode=root --include=eatmydata,systemd,udev \
    bookworm "$1" "${lines[@]}"
}

key=$({ mirrors && declare -f base_build; } | sha256sum | cut -c1-16)
base=$PIUPARTS_CACHE/$key.tar.gz
t0=$SECONDS
if [ ! -f "$base" ]; then
  say "building the base chroot $base (once per recipe and mirrors)"
  mkdir -p "$PIUPARTS_CACHE"
  # mmdebstrap takes the format from the name's ending.
  tmp=$PIUPARTS_CACHE/$key.tmp$$.tar.gz
  base_build "$tmp" || { rm -f "$tmp" && exit 1; }
  find "$PIUPARTS_CACHE" -maxdepth 1 -type f -name '*.tar.gz' ! -name "$key.*" -delete
  mv "$tmp" "$base"
  say "base chroot built in $((SECONDS - t0)) s"
fi

work=$(mktemp -d /var/tmp/robot-client-piuparts.XXXXXX)
trap 'rm -rf --one-file-system "$work"' EXIT
cp "$deb" "$work/"
t1=$SECONDS
# The sources.list of the base (apt's mirrors here) is kept; the package is
# in no archive, so there is no upgrade from an archived version to test;
# besides install and purge, an install over the removed package is tested.
if unshare --mount --propagation private piuparts --basetgz="$base" --distribution=bookworm --keep-sources-list \
  --no-upgrade-test --install-remove-install --tmpdir="$work" --log-file="$work/piuparts.log" \
  "$work/${deb##*/}" >/dev/null 2>&1; then
  grep ' INFO: ' "$work/piuparts.log" | grep -v -e '-----' -e FAQ -e glance -e 'contact us' -e 'by /usr merge'
  say "passed in $((SECONDS - t1)) s (base chroot ready after $((t1 - t0)) s)"
else
  tail -n 80 "$work/piuparts.log" >&2
  say "FAILED: ${deb##*/}" >&2
  exit 1
fi
