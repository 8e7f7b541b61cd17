#!/bin/sh
# Creates, once, a Debian root file system with Wine, and prints its path:
#   wine-root.sh trixie    Debian 13 with Wine 10, for make test-wine10;
#   wine-root.sh bookworm  Debian 12 with Wine 8, the machine's own Wine where its packages cannot
#                          be installed (make deps decides).
# --if-complete only prints the path of a root that is already complete, or fails quietly.
# Roots live in a cache folder outside the clone (PELMORA_CACHE, by default /var/cache/pelmora) so
# that every clone on the machine, CI's included, reuses them. A half-finished attempt is thrown
# away and started again: a root only gets its final name once complete. Needs root (debootstrap,
# chroot, mount). Every package comes from the machine's own mirror, checked by debootstrap and apt.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
suite=${1:-}
case "$suite" in
bookworm) name=wine8-bookworm what="Debian 12 root with Wine 8" ;;
trixie) name=wine10-trixie what="Debian 13 root with Wine 10" ;;
*) echo "usage: wine-root.sh bookworm|trixie [--if-complete]" >&2; exit 2 ;;
esac
cache=${PELMORA_CACHE:-/var/cache/pelmora}
root="$cache/$name"
marker=.pelmora-complete

# Runs in a mount namespace of its own (see below): whatever it mounts vanishes with it, even if
# it is killed.
if [ "${2:-}" = --inside ]; then
    work=$3
    mirror=$4
    debootstrap --variant=minbase --arch=amd64 "$suite" "$work" "$mirror"
    cp /etc/resolv.conf "$work/etc/resolv.conf"
    mount -t proc proc "$work/proc"
    mount --rbind /dev "$work/dev"
    trap 'umount -R "$work/dev"; umount "$work/proc"' EXIT
    in_root() { chroot "$work" env DEBIAN_FRONTEND=noninteractive "$@"; }
    in_root dpkg --add-architecture i386
    in_root apt-get -o Acquire::Retries=5 update
    # The root's 32-bit loader first: it may be the first 32-bit program this machine runs, and
    # where the kernel refuses those, QEMU must be in place before Wine's packages run any.
    in_root apt-get -o Acquire::Retries=5 install -y --no-install-recommends libc6:i386
    sh "$here/ensure-i386.sh" "$work"
    in_root apt-get -o Acquire::Retries=5 install -y --no-install-recommends wine wine64 wine32:i386
    in_root apt-get clean
    in_root wine --version
    exit 0
fi

if [ -f "$root/$marker" ]; then
    echo "$root"
    exit 0
fi
[ "${2:-}" != --if-complete ] || exit 1
if [ "$(id -u)" -ne 0 ]; then
    echo "wine root: creating $root needs root (debootstrap, chroot, mount)" >&2
    exit 1
fi
command -v debootstrap >/dev/null || { echo "wine root: debootstrap is missing (make deps)" >&2; exit 1; }
mkdir -p "$cache"
# One creator at a time; a second one waits and then finds the root complete.
exec 8>"$cache/.$name.lock"
flock 8
if [ -f "$root/$marker" ]; then
    echo "$root"
    exit 0
fi

. "$here/../apt.sh"
mirror=$(debian_mirror)
work="$cache/$name.partial"
log="$cache/$name.log"
# Leftovers of an interrupted attempt. Their mounts lived in a namespace that is gone, and
# --one-file-system keeps rm out of anything still mounted there all the same.
rm -rf --one-file-system "$work" "$root"
mkdir -p "$work"
echo "Creating the $what in $root (once, several minutes; log: $log)..." >&2
if ! unshare --mount --propagation private sh "$here/wine-root.sh" "$suite" --inside "$work" "$mirror" \
    >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    echo "wine root: creating the $what failed; see $log" >&2
    exit 1
fi
touch "$work/$marker"
mv "$work" "$root"
echo "$root"
