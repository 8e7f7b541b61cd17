#!/bin/sh
# Runs the test suite ROUNDS times in a row for each preset, then counts which tests failed in how
# many rounds: for a test suspected of failing by chance. Extra arguments go to ctest (-R regex).
# Usage: test-repeat.sh ROUNDS [ctest arguments...]
# PRESETS overrides the presets (default: both). The presets run at the same time, each in a Wine
# prefix of its own (build/wineprefix-repeat-PRESET), so their wineservers, registries and process
# lists never meet; SERIAL=1 runs them one after the other. Each round's output is kept in
# build/test-repeat/.
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
. scripts/presets.sh
presets=$pelmora_presets
root=$(pwd)

logs=build/test-repeat
mkdir -p "$logs"
rm -f "$logs"/*.log "$logs"/failures*.txt

# One preset's rounds; its failed tests go to failures-PRESET.txt as "preset test" lines.
repeat_preset() {
    preset=$1
    shift
    failures=$logs/failures-$preset.txt
    : >"$failures"
    round=1
    while [ "$round" -le "$rounds" ]; do
        log=$logs/round$round-$preset.log
        # ctest lists the failed tests of its last run here, as number:name lines.
        failed_list=build/$preset/Testing/Temporary/LastTestsFailed.log
        rm -f "$failed_list"
        start=$(date +%s)
        if PELMORA_WINEPREFIX="$root/build/wineprefix-repeat-$preset" \
            ctest --preset "$preset" "$@" </dev/null >"$log" 2>&1; then
            outcome=passed
        else
            outcome="FAILED, see $log"
            if [ -s "$failed_list" ]; then
                sed "s/^[0-9]*:/$preset /" "$failed_list" >>"$failures"
            else
                echo "$preset (no test named: ctest itself failed)" >>"$failures"
            fi
        fi
        echo "$(date +%H:%M:%S) round $round/$rounds $preset: $outcome ($(($(date +%s) - start)) s)"
        round=$((round + 1))
    done
}

if [ "${SERIAL:-0}" = 1 ]; then
    for preset in $presets; do
        repeat_preset "$preset" "$@"
    done
else
    pids=
    for preset in $presets; do
        repeat_preset "$preset" "$@" &
        pids="$pids $!"
    done
    # Ctrl-C or a kill ends every preset's loop; each test's runner ends its own Wine processes.
    trap 'kill $pids 2>/dev/null; exit 143' HUP INT TERM
    for pid in $pids; do
        wait "$pid"
    done
fi

cat "$logs"/failures-*.txt >"$logs/failures.txt"
if [ -s "$logs/failures.txt" ]; then
    echo "Failed tests (rounds failed of $rounds, preset, test):"
    sort "$logs/failures.txt" | uniq -c | sort -rn
    exit 1
fi
echo "Every round passed."
