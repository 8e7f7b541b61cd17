#!/bin/sh
# Runs a command with Wine 8, saying first which one: the machine's own, or, where make deps could
# not install that from the machine's packages, the same Wine 8 from the Debian 12 root it made.
# Usage: with-wine8.sh <command...>
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if command -v wine >/dev/null 2>&1; then
    version=$(wine --version 2>&1 | head -n 1)
    case $version in
    wine-8.*)
        echo "Wine: $version, this machine's" >&2
        exec "$@"
        ;;
    esac
    why="this machine's Wine is $version, not Wine 8"
else
    why="make deps could not install Wine 8 from this machine's packages"
fi
root=$(sh "$here/wine-root.sh" make bookworm) ||
    { echo "No Wine 8: $why, and no Debian 12 root with it could be made" >&2; exit 1; }
echo "Wine 8 comes from the Debian 12 root $root: $why." >&2
exec sh "$here/wine-root.sh" run bookworm "$@"
