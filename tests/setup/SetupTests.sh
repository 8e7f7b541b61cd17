#!/bin/sh
# The Linux set-up scripts against fake system commands: ensure-deps.sh riding out a mirror caught
# mid-sync, the Debian mirror taken from apt's own sources, and no archive host named anywhere.
# Usage: SetupTests.sh <project root>
set -u
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() { # check <description> <command...>
    description=$1
    shift
    if "$@"; then echo "ok: $description"; else echo "FAILED: $description"; failures=$((failures + 1)); fi
}

# Addresses are made up (.invalid), and spelled without their scheme here so that the check at
# the end holds for this file too.
web=http:
# Fake commands: root, every package missing, apt-get update failing the first $UPDATE_FAILURES
# times with a mirror-sync error, an install that answers $INSTALL_STATUS ($WINE_INSTALL_STATUS
# where it includes Wine's 32-bit side), and a root file system whose Wine answers from chroot.
bin="$work/bin"
mkdir -p "$bin"
cat >"$bin/apt-get" <<FAKE
#!/bin/sh
web=$web
echo "\$*" >>"\$FAKE_LOG"
if [ "\$1" = update ]; then
    tries=\$(grep -c '^update' "\$FAKE_LOG")
    [ "\$tries" -gt "\$UPDATE_FAILURES" ] && exit 0
    echo "Err:6 \$web//mirror.invalid/debian-security bookworm-security/main i386 Packages"
    echo "  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100
fi
case "\$*" in *wine32:i386*) exit "\${WINE_INSTALL_STATUS:-\$INSTALL_STATUS}" ;; esac
exit "\$INSTALL_STATUS"
FAKE
printf '#!/bin/sh\necho 0\n' >"$bin/id"
printf '#!/bin/sh\nexit 1\n' >"$bin/dpkg-query"
printf '#!/bin/sh\necho i386\n' >"$bin/dpkg"
printf '#!/bin/sh\necho "sleep $*" >>"$FAKE_LOG"\n' >"$bin/sleep"
printf '#!/bin/sh\necho "chroot $*" >>"$FAKE_LOG"\necho wine-8.0\n' >"$bin/chroot"
printf '#!/bin/sh\necho "debootstrap $*" >>"$FAKE_LOG"\n' >"$bin/debootstrap"
printf '#!/bin/sh\necho "unshare $*" >>"$FAKE_LOG"\nexit 1\n' >"$bin/unshare"
chmod +x "$bin"/*

# ensure_deps <update failures> <install status> [Wine's install status]: output in $work/out, log
# in $work/log. Roots are made in $work/cache.
ensure_deps() {
    : >"$work/log"
    PATH="$bin:$PATH" FAKE_LOG="$work/log" UPDATE_FAILURES=$1 INSTALL_STATUS=$2 \
        WINE_INSTALL_STATUS=${3:-$2} PELMORA_CACHE="$work/cache" \
        PELMORA_DEBIAN_MIRROR=$web//mirror.invalid/debian \
        sh "$root/scripts/ensure-deps.sh" >"$work/out" 2>&1
}
explanation="apt-get update could not fetch $web//mirror.invalid/debian-security bookworm-security/main i386 Packages: the package mirror is inconsistent (caught mid-sync), not this project; trying again later usually helps."

ensure_deps 5 100
status=$?
check "a mirror that stays inconsistent: ensure-deps fails" [ "$status" -ne 0 ]
check "... after three tries of apt-get update" [ "$(grep -c '^update' "$work/log")" = 3 ]
check "... with a back-off between them" [ "$(grep -c '^sleep' "$work/log")" = 2 ]
check "... and still tries the install" grep -q '^install' "$work/log"
check "... saying which index failed and why, last" [ "$(tail -n 1 "$work/out")" = "$explanation" ]

ensure_deps 1 100
check "a mirror that recovers: the second update is the last" [ "$(grep -c '^update' "$work/log")" = 2 ]
check "... and a failed install does not blame the mirror" sh -c "! grep -q 'mirror is inconsistent' '$work/out'"

# Only Wine's 32-bit side fails to install: the build tools alone, then Wine 8 from a root.
ensure_deps 5 0 100
status=$?
check "Wine that cannot install, with no root to be made: ensure-deps fails" [ "$status" -ne 0 ]
check "... after the build tools installed on their own" grep -qx 'install.* googletest' "$work/log"
check "... trying to make the Debian 12 root" grep -q '^unshare .*wine-root.sh --namespace bootstrap bookworm' "$work/log"
check "... saying which index failed and why, last" [ "$(tail -n 1 "$work/out")" = "$explanation" ]
mkdir -p "$work/cache/wine8-bookworm"
touch "$work/cache/wine8-bookworm/.pelmora-complete"
ensure_deps 5 0 100
status=$?
check "Wine that cannot install, with a Debian 12 root: ensure-deps succeeds" [ "$status" = 0 ]
check "... saying why" grep -qxF "$explanation" "$work/out"
check "... and naming the root last" [ "$(tail -n 1 "$work/out")" = "Wine 8 comes from the Debian 12 root $work/cache/wine8-bookworm: make deps could not install Wine 8 from this machine's packages, and tries them again next time." ]
check "... whose 32-bit side it tried" grep -q "^chroot $work/cache/wine8-bookworm .*/lib/ld-linux.so.2" "$work/log"
check "... having tried the machine's packages first" grep -q '^install.*wine32:i386' "$work/log"

# Which Wine 8 a step runs, said first: the machine's when it is Wine 8, else the root's.
# Without the machine's own Wine, which this machine may have: a PATH of the fakes and a few tools.
tools="$work/tools"
mkdir -p "$tools"
for tool in sh dirname head; do ln -s "$(command -v $tool)" "$tools/$tool"; done
with_wine8() { # with_wine8 <version the machine's wine prints, or "none">
    rm -f "$bin/wine"
    path="$bin:$tools"
    [ "$1" = none ] || { printf '#!/bin/sh\necho %s\n' "$1" >"$bin/wine"; chmod +x "$bin/wine"; path="$bin:$PATH"; }
    : >"$work/log"
    PATH="$path" FAKE_LOG="$work/log" PELMORA_CACHE="$work/cache" \
        sh "$root/scripts/with-wine8.sh" echo ran >"$work/out" 2>&1
}
root8="$work/cache/wine8-bookworm"
with_wine8 wine-8.0
check "the machine's Wine 8: said first" [ "$(head -n 1 "$work/out")" = "Wine: wine-8.0, this machine's" ]
check "... and the command runs with it" [ "$(tail -n 1 "$work/out")" = ran ]
for row in "wine-9.0|this machine's Wine is wine-9.0, not Wine 8" \
    "none|make deps could not install Wine 8 from this machine's packages"; do
    with_wine8 "${row%%|*}"
    check "machine's Wine ${row%%|*}: the root's Wine 8, said first" \
        [ "$(head -n 1 "$work/out")" = "Wine 8 comes from the Debian 12 root $root8: ${row#*|}." ]
    check "... running the command in the root" grep -q "^unshare .*wine-root.sh --namespace run_in_root $root8 echo ran" "$work/log"
done
rm -f "$bin/wine"

# The mirror from apt's sources, in both formats; the override wins.
. "$root/scripts/apt.sh"
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
mirror_from() { # mirror_from <file name> <content>
    rm -rf "$work/etc"
    mkdir -p "$work/etc/sources.list.d"
    printf '%s\n' "$2" >"$work/etc/$1"
    debian_mirror "$work/etc" 2>/dev/null
}
check "one-line sources" [ "$(mirror_from sources.list "# deb $web//commented.invalid/debian $codename main
deb $web//security.invalid/debian-security $codename-security main
deb [arch=amd64 signed-by=/k.gpg] $web//one.invalid/debian $codename main")" = $web//one.invalid/debian ]
check "deb822 sources" [ "$(mirror_from sources.list.d/debian.sources "Types: deb-src
URIs: $web//source.invalid/debian
Suites: $codename

Types: deb
URIs: $web//deb822.invalid/debian $web//second.invalid/debian
Suites: $codename $codename-updates
Components: main")" = $web//deb822.invalid/debian ]
check "no source for the release: a failure" sh -c "! sh -c '. \"$root/scripts/apt.sh\"; debian_mirror \"$work/none\"' 2>/dev/null"
check "PELMORA_DEBIAN_MIRROR overrides the sources" \
    [ "$(PELMORA_DEBIAN_MIRROR=$web//override.invalid/debian debian_mirror)" = $web//override.invalid/debian ]

# The set-up takes its mirror from the machine: no script names an archive's host.
named=$(cd "$root" && { find . -name '*.sh' -not -path './build/*'; echo ./Makefile; find .ci -type f; } |
    xargs grep -lE 'https?://' 2>/dev/null | tr '\n' ' ')
check "no set-up script, Makefile or CI file names a host (${named:-none})" [ -z "$named" ]

[ "$failures" = 0 ] || { echo "$failures failed"; exit 1; }
echo "all passed"
