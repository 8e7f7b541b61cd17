#!/bin/sh
# Runs ctest for each preset, every preset even when one fails; the result is the worse.
# Usage: test.sh [ctest arguments...], with the Wine that is to run the tests on PATH.
set -u
cd "$(dirname "$0")/.."
. scripts/presets.sh
status=0
for preset in $pelmora_presets; do
    echo "== $preset"
    ctest --preset "$preset" "$@" || status=1
done
exit $status
