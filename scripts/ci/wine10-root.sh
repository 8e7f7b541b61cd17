#!/bin/sh
# Creates, once, the Debian 13 root file system with Wine 10 that `make test-wine10` runs the test
# programs in, and prints its path. It lives in a cache folder outside the clone (PELMORA_CACHE,
# by default /var/cache/pelmora) so that every clone on the machine, CI's included, reuses it.
# A half-finished attempt is thrown away and started again: the root only gets its final name
# once complete. Needs root (debootstrap, chroot, mount).
set -eu
cache=${PELMORA_CACHE:-/var/cache/pelmora}
root="$cache/wine10-trixie"
marker=.pelmora-complete

# Runs in a mount namespace of its own (see below): whatever it mounts vanishes with it, even if
# it is killed.
if [ "${1:-}" = --inside ]; then
    work=$2
    mirror=$3
    debootstrap --variant=minbase --arch=amd64 trixie "$work" "$mirror"
    cp /etc/resolv.conf "$work/etc/resolv.conf"
    mount -t proc proc "$work/proc"
    mount --rbind /dev "$work/dev"
    trap 'umount -R "$work/dev"; umount "$work/proc"' EXIT
    in_root() { chroot "$work" env DEBIAN_FRONTEND=noninteractive "$@"; }
    in_root dpkg --add-architecture i386
    in_root apt-get -o Acquire::Retries=5 update
    in_root apt-get -o Acquire::Retries=5 install -y --no-install-recommends wine wine64 wine32:i386
    in_root apt-get clean
    in_root wine --version
    exit 0
fi

if [ -f "$root/$marker" ]; then
    echo "$root"
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "wine10: creating $root needs root (debootstrap, chroot, mount)" >&2
    exit 1
fi
command -v debootstrap >/dev/null || { echo "wine10: debootstrap is missing (make deps)" >&2; exit 1; }
mkdir -p "$cache"
# One creator at a time; a second one waits and then finds the root complete.
exec 8>"$cache/.wine10-trixie.lock"
flock 8
if [ -f "$root/$marker" ]; then
    echo "$root"
    exit 0
fi

. "$(dirname "$0")/../apt.sh"
mirror=$(debian_mirror)
work="$cache/wine10-trixie.partial"
log="$cache/wine10-trixie.log"
# Leftovers of an interrupted attempt. Their mounts lived in a namespace that is gone, and
# --one-file-system keeps rm out of anything still mounted there all the same.
rm -rf --one-file-system "$work" "$root"
mkdir -p "$work"
echo "Creating the Debian 13 root with Wine 10 in $root (once, several minutes; log: $log)..." >&2
if ! unshare --mount --propagation private "$0" --inside "$work" "$mirror" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    echo "wine10: creating the root failed; see $log" >&2
    exit 1
fi
touch "$work/$marker"
mv "$work" "$root"
echo "$root"
