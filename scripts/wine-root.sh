#!/bin/sh
# Debian root file systems with Wine, for a Wine the machine's packages do not give:
#   wine-root.sh make SUITE             makes the root once and prints its path;
#   wine-root.sh run SUITE COMMAND...   runs COMMAND with the root's Wine (making the root first).
# SUITE is trixie (Debian 13, Wine 10: make test-wine10) or bookworm (Debian 12, Wine 8: in place
# of the machine's own where make deps could not install it from the machine's packages).
# Roots live outside the clone, in PELMORA_CACHE (/var/cache/pelmora), so that every clone on the
# machine, CI's included, reuses them; a root gets its final name only once complete. Needs root
# (debootstrap, chroot, mount). Every package comes from the machine's own mirror, checked by
# debootstrap and apt.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/.." && pwd)
usage() {
    echo "usage: wine-root.sh make bookworm|trixie" >&2
    echo "       wine-root.sh run bookworm|trixie <command...>" >&2
    exit 2
}

# Both ways in do their mounting in a mount namespace of their own (this script again, through
# unshare), so their mounts are never seen outside and vanish with it even if it is killed.
in_namespace() { # in_namespace <function> <arguments...>
    exec unshare --mount --propagation private sh "$here/wine-root.sh" --namespace "$@"
}

# The root made in <work>, with <mirror>'s packages.
bootstrap() { # bootstrap <suite> <work> <mirror>
    work=$2
    debootstrap --variant=minbase --arch=amd64 "$1" "$work" "$3"
    cp /etc/resolv.conf "$work/etc/resolv.conf"
    mount -t proc proc "$work/proc"
    mount --rbind /dev "$work/dev"
    in_root() { chroot "$work" env DEBIAN_FRONTEND=noninteractive "$@"; }
    in_root dpkg --add-architecture i386
    in_root apt-get -o Acquire::Retries=5 update
    # The root's 32-bit loader first: it may be the first 32-bit program this machine runs, and
    # where the kernel refuses those, QEMU must be in place before Wine's packages run any.
    in_root apt-get -o Acquire::Retries=5 install -y --no-install-recommends libc6:i386
    sh "$here/qemu-i386.sh" "$work"
    in_root apt-get -o Acquire::Retries=5 install -y --no-install-recommends wine wine64 wine32:i386
    in_root apt-get clean
    in_root wine --version
}

# <command> with wine, wineserver, wineboot and winepath from the root on its PATH, the project
# mounted in the root at its own path, and a Wine prefix of the root's own.
run_in_root() { # run_in_root <root> <command...>
    root=$1
    shift
    bin=$(mktemp -d)
    for tool in wine wineserver wineboot winepath; do
        # chroot starts in /; the Windows programs keep the working directory they were given.
        cat >"$bin/$tool" <<EOF
#!/bin/sh
exec chroot '$root' /bin/sh -c 'cd "\$1" 2>/dev/null || cd /; shift; exec "\$@"' sh "\$PWD" $tool "\$@"
EOF
        chmod +x "$bin/$tool"
    done
    export PATH="$bin:$PATH"
    name=$(basename "$root")
    export PELMORA_WINEPREFIX="${PELMORA_WINEPREFIX:-$project/build/wineprefix-${name%%-*}}"
    mounted=""
    bind() { # bind <folder> <where inside the root>
        mkdir -p "$root$2"
        mount --rbind "$1" "$root$2"
        mounted="$root$2 $mounted"
    }
    finish() {
        status=$?
        (WINEPREFIX=$PELMORA_WINEPREFIX && export WINEPREFIX && wineserver -k 2>/dev/null
            wineserver -w) || true
        for where in $mounted; do umount -R "$where" || umount -R -l "$where" || true; done
        rm -rf "$bin"
        exit $status
    }
    trap finish EXIT
    trap 'exit 130' INT TERM HUP
    # /proc whole, binfmt_misc included: the tests read there whether QEMU runs 32-bit code.
    bind /proc /proc
    bind /dev /dev
    bind /sys /sys
    bind "$project" "$project"
    echo "Wine: $(wine --version) from the root $root" >&2
    "$@"
}

if [ "${1:-}" = --namespace ]; then
    shift
    "$@"
    exit
fi

command=${1:-}
suite=${2:-}
case "$suite" in
bookworm) name=wine8-bookworm what="Debian 12 root with Wine 8" ;;
trixie) name=wine10-trixie what="Debian 13 root with Wine 10" ;;
*) usage ;;
esac
case "$command" in
make) [ $# = 2 ] || usage ;;
run) [ $# -gt 2 ] || usage ;;
*) usage ;;
esac
shift 2
cache=${PELMORA_CACHE:-/var/cache/pelmora}
root="$cache/$name"
marker=.pelmora-complete

if [ ! -f "$root/$marker" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "wine root: making $root needs root (debootstrap, chroot, mount)" >&2
        exit 1
    fi
    command -v debootstrap >/dev/null || { echo "wine root: debootstrap is missing (make deps)" >&2; exit 1; }
    mkdir -p "$cache"
    # One maker at a time; a second one waits and then finds the root complete.
    exec 8>"$cache/.$name.lock"
    flock 8
fi
if [ ! -f "$root/$marker" ]; then
    . "$here/apt.sh"
    mirror=$(debian_mirror)
    work="$cache/$name.partial"
    log="$cache/$name.log"
    # Leftovers of an interrupted attempt. Their mounts lived in a namespace that is gone, and
    # --one-file-system keeps rm out of anything still mounted there all the same.
    rm -rf --one-file-system "$work" "$root"
    mkdir -p "$work"
    echo "Making the $what in $root (once, several minutes; log: $log)..." >&2
    if ! (in_namespace bootstrap "$suite" "$work" "$mirror") >"$log" 2>&1; then
        tail -n 20 "$log" >&2
        echo "wine root: making the $what failed; see $log" >&2
        exit 1
    fi
    touch "$work/$marker"
    mv "$work" "$root"
fi
exec 8>&-

case "$command" in
make) echo "$root" ;;
run) in_namespace run_in_root "$root" "$@" ;;
esac
