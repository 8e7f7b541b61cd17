#!/bin/sh
# Installs what building and testing need on Debian 12, or, without root, prints the command
# that does. Quiet when everything is present.
set -eu
here=$(dirname "$0")
. "$here/apt.sh"

packages="cmake ninja-build procps debootstrap g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine32:i386 wine64 googletest"

missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
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
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing >&2; then
        echo "${apt_update_problem:-Installing the packages above failed.}" >&2
        exit 1
    fi
fi
sh "$here/ci/ensure-i386.sh"
