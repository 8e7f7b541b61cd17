#!/bin/sh
# make test-wine10: the whole test suite of both builds again, under Wine 10 from a Debian 13 root
# (scripts/ci/wine-root.sh makes it once), in the private prefix build/wineprefix-wine10.
# Expects both builds (make build). Arguments go to ctest (for example -R console_tests).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)

if [ "${1:-}" != --inside ]; then
    root=$(sh "$here/wine-root.sh" trixie)
    exec sh "$here/in-wine-root.sh" "$root" sh "$here/test-wine10.sh" --inside "$@"
fi
shift
# The full load guards against Wine 8's hang, which make test runs; here a short one shows that
# concurrency works under Wine 10 too (PELMORA_LONG_TESTS=full runs it whole).
export PELMORA_LONG_TESTS="${PELMORA_LONG_TESTS:-short}"

. "$here/../presets.sh"
status=0
for preset in $pelmora_presets; do
    echo "== $preset (Wine 10)"
    (cd "$project" && ctest --preset "$preset" "$@") || status=1
done
exit $status
