#!/bin/sh
# Runs one Windows program under Wine in the project's private prefix, then ends every Wine
# process of that prefix (hosts started by the COM runtime included), so each test starts clean.
# Usage: wine-run.sh program.exe [args...]
set -u
. "$(dirname "$0")/../scripts/wine-env.sh"
wine_prefix_acquire || exit 1

# Killed from outside (a ctest time-out, Ctrl-C): still end the prefix's processes.
trap 'wine_prefix_end; exit 143' HUP INT TERM
wine "$@" &
wait $!
rc=$?
wine_prefix_end
exit $rc
