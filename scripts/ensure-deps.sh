#!/bin/sh
# make deps: installs what building and testing need on Debian 12, or, without root, prints the
# command that does. Quiet when everything is present.
set -eu
here=$(dirname "$0")
. "$here/apt.sh"

tools="cmake ninja-build procps debootstrap zip g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools libwine-dev googletest"
wine="wine wine32:i386 wine64"

missing_of() {
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            printf ' %s' "$package"
        fi
    done
}
missing_tools=$(missing_of $tools)
missing_wine=$(missing_of $wine)
missing="$missing_tools$missing_wine"
# Wine's 32-bit side comes from the i386 architecture.
arch_step=""
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    arch_step="dpkg --add-architecture i386 && "
fi
if [ -n "$missing" ] || [ -n "$arch_step" ]; then
    command="${arch_step}apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends$missing"
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing:$missing${arch_step:+ (and the i386 architecture)}. Install with:" >&2
        echo "  sudo sh -c '$command'" >&2
        exit 1
    fi
    echo "Installing:$missing" >&2
    [ -z "$arch_step" ] || dpkg --add-architecture i386
    # An index that failed may not be needed: the install says whether it was.
    apt_update || true
    apt_install() { DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@" >&2; }
    if ! apt_install $missing; then
        # A mirror caught mid-sync breaks the i386 side, which only Wine needs: the build tools
        # may still install, and Wine 8 can come from a root file system of its own instead.
        if [ -z "$missing_wine" ] || { [ -n "$missing_tools" ] && ! apt_install $missing_tools; }; then
            echo "${apt_update_problem:-Installing the packages above failed.}" >&2
            exit 1
        fi
        problem="${apt_update_problem:-Installing Wine from this machine's packages failed.}"
        [ -n "$apt_update_problem" ] || echo "$problem" >&2
        if ! root=$(sh "$here/wine-root.sh" make bookworm) || ! sh "$here/qemu-i386.sh" "$root"; then
            echo "$problem" >&2
            exit 1
        fi
        # Succeeds, but says last what every run of Wine 8 repeats first (with-wine8.sh).
        echo "Wine 8 comes from the Debian 12 root $root: make deps could not install Wine 8" \
            "from this machine's packages, and tries them again next time." >&2
        exit 0
    fi
fi
sh "$here/qemu-i386.sh"
