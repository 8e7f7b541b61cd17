#!/bin/sh
# Runs the test suite ROUNDS times in a row for each preset, then counts which tests failed in how
# many rounds: for a test suspected of failing by chance. Extra arguments go to ctest (-R regex).
# Usage: test-repeat.sh ROUNDS [ctest arguments...]
# PRESETS overrides the presets (default: both). Each round's output is kept in build/test-repeat/.
set -u
cd "$(dirname "$0")/.."
rounds=${1:-}
case $rounds in
'' | *[!0-9]*)
    echo "usage: test-repeat.sh ROUNDS [ctest arguments...]" >&2
    exit 2
    ;;
esac
shift
presets=${PRESETS:-mingw-x86 mingw-x64}

logs=build/test-repeat
mkdir -p "$logs"
rm -f "$logs"/*.log
failures=$logs/failures.txt
: >"$failures"

round=1
while [ "$round" -le "$rounds" ]; do
    for preset in $presets; do
        log=$logs/round$round-$preset.log
        # ctest lists the failed tests of its last run here, as number:name lines.
        failed_list=build/$preset/Testing/Temporary/LastTestsFailed.log
        rm -f "$failed_list"
        start=$(date +%s)
        if ctest --preset "$preset" "$@" </dev/null >"$log" 2>&1; then
            outcome=passed
        else
            outcome="FAILED, see $log"
            if [ -s "$failed_list" ]; then
                sed "s/^[0-9]*:/$preset /" "$failed_list" >>"$failures"
            else
                echo "$preset (no test named: ctest itself failed)" >>"$failures"
            fi
        fi
        echo "round $round/$rounds $preset: $outcome ($(($(date +%s) - start)) s)"
    done
    round=$((round + 1))
done

if [ -s "$failures" ]; then
    echo "Failed tests (rounds failed of $rounds, preset, test):"
    sort "$failures" | uniq -c | sort -rn
    exit 1
fi
echo "Every round passed."
