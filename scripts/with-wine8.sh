#!/bin/sh
# Runs a command with Wine 8: the machine's own, or, where make deps could not install it from the
# machine's packages (it says why), the same Wine 8 from the Debian 12 root it made in its place.
# Usage: with-wine8.sh <command...>
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if [ -n "${PELMORA_WINE_ROOT:-}" ] || command -v wine >/dev/null 2>&1; then
    exec "$@"
fi
if root=$(sh "$here/ci/wine-root.sh" bookworm --if-complete); then
    exec sh "$here/ci/in-wine-root.sh" "$root" "$@"
fi
echo "Wine is not installed: run 'make deps' (as root)" >&2
exit 1
