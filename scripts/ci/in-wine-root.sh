#!/bin/sh
# Runs a command with the Wine of a root file system (scripts/ci/wine-root.sh) in place of the
# machine's: in-wine-root.sh <root> <command...>. The project is mounted in the root at its own
# path, and PELMORA_WINE_ROOT tells the Wine scripts to run Wine there. Runs in a mount namespace
# of its own, so the root's mounts are never seen outside and vanish with it even if the run is
# killed; they are also unmounted on the way out, after the prefix's Wine processes have ended.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)

if [ "${1:-}" != --inside ]; then
    exec unshare --mount --propagation private sh "$here/in-wine-root.sh" --inside "$@"
fi
root=$2
shift 2
# Set first: the clean-up below must end this run's prefix in the root, never the machine's.
export PELMORA_WINE_ROOT="$root"

mounted=""
bind() { # bind <folder or "proc"> <where inside the root>
    where="$root$2"
    mkdir -p "$where"
    if [ "$1" = proc ]; then mount -t proc proc "$where"; else mount --rbind "$1" "$where"; fi
    mounted="$where $mounted"
}
finish() {
    status=$?
    (. "$here/../wine-env.sh" && wineserver -k 2>/dev/null; wineserver -w) || true
    for where in $mounted; do umount -R "$where" || umount -R -l "$where" || true; done
    exit $status
}
trap finish EXIT
trap 'exit 130' INT TERM HUP

bind proc /proc
bind /dev /dev
bind /sys /sys
bind "$project" "$project"

echo "Under $(chroot "$root" wine --version) from $root" >&2
"$@"
