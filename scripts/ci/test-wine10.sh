#!/bin/sh
# make test-wine10: the whole test suite of both builds again, under Wine 10 from a Debian 13 root
# (scripts/ci/wine10-root.sh makes it once), in the private prefix build/wineprefix-wine10. Runs in a
# mount namespace of its own, so the root's mounts are never seen outside and vanish with it even
# if the run is killed; they are also unmounted on the way out. Expects both builds (make build).
# Arguments go to ctest (for example -R console_tests).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)

if [ "${1:-}" != --inside ]; then
    root=$(sh "$here/wine10-root.sh")
    exec unshare --mount --propagation private sh "$here/test-wine10.sh" --inside "$root" "$@"
fi
root=$2
shift 2
# Set first: the clean-up below must end this run's Wine 10 prefix, never the Wine 8 one.
export PELMORA_WINE_ROOT="$root"
# The full load guards against Wine 8's hang, which make test runs; here a short one shows that
# concurrency works under Wine 10 too (PELMORA_LONG_TESTS=full runs it whole).
export PELMORA_LONG_TESTS="${PELMORA_LONG_TESTS:-short}"

mounted=""
bind() { # bind <folder or "proc"> <where inside the root>
    where="$root$2"
    mkdir -p "$where"
    if [ "$1" = proc ]; then mount -t proc proc "$where"; else mount --rbind "$1" "$where"; fi
    mounted="$where $mounted"
}
finish() {
    status=$?
    # Every Wine process of the run's prefix ends before the mounts go.
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
. "$here/../presets.sh"
status=0
for preset in $pelmora_presets; do
    echo "== $preset (Wine 10)"
    (cd "$project" && ctest --preset "$preset" "$@") || status=1
done
exit $status
