#!/bin/sh
# Runs one Windows program under Wine in the project's private prefix, then ends every Wine
# process of that prefix (hosts started by the COM runtime included), so each test starts clean.
# Usage: wine-run.sh program.exe [args...]; PELMORA_WINEPREFIX overrides the prefix location.
set -u
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX="${PELMORA_WINEPREFIX:-$here/../build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono/Gecko installer prompts; nothing here needs them.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY

mkdir -p "$WINEPREFIX"
# Serialise with any other user of the prefix: the wineserver restart below would end its processes.
exec 9>"$WINEPREFIX/.lock"
flock 9
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot --init >/dev/null 2>&1
    wineserver -w
fi

# Killed from outside (a ctest time-out, Ctrl-C): still end the prefix's processes.
trap 'wineserver -k 2>/dev/null; wineserver -w; exit 143' HUP INT TERM
wine "$@" &
wait $!
rc=$?
wineserver -k 2>/dev/null
wineserver -w
exit $rc
