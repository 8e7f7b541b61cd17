#!/bin/sh
# The main job on the bundled sample: a 64-bit client uses a 32-bit COM DLL through the 32-bit
# host, under Wine, in the project's private prefix. Expects both builds (make build).
set -eu
. "$(dirname "$0")/wine-env.sh"

x86="$pelmora_root/build/mingw-x86/bin"
x64="$pelmora_root/build/mingw-x64/bin"
clsid="{73EEF8E1-7FA0-4010-A8B3-D93DB4291C1E}"
progid="Pelmora.Sample32.Calculator"
work="$pelmora_root/build/demo"

for file in "$x86/pelmora-surrogate.exe" "$x86/pelmora-register.exe" "$x86/pelmora-sample.dll" \
    "$x64/pelmora-sample-client.exe"; do
    [ -f "$file" ] || { echo "demo: $file is missing; run 'make build' first" >&2; exit 1; }
done
mkdir -p "$work"
rm -f "$work/host-trace.txt" "$work/client.txt" "$work/register.txt"

step() { printf '\n== %s\n' "$*"; }
show() { tr -d '\r' <"$1" | sed 's/^/    /'; }
fail() { echo "demo: $*" >&2; exit 1; }
# Waits up to 30 seconds for the host's trace to match a pattern: await_trace <pattern> <failure>.
await_trace() {
    tries=0
    until grep -q "$1" "$work/host-trace.txt" 2>/dev/null; do
        tries=$((tries + 1))
        [ $tries -le 300 ] || fail "$2"
        sleep 0.1
    done
}

echo "Pelmora COM Surrogate demo: a 64-bit program uses a 32-bit COM DLL through the host."
echo "Everything runs under Wine in the private prefix ${WINEPREFIX#"$pelmora_root"/}."

wine_prefix_acquire
# Whatever happens, leave nothing running.
trap 'wine_prefix_end' EXIT
trap 'exit 130' INT TERM HUP

# What the tool prints, or why it refused: pelmora-register <command> <target>.
register() {
    printf '    pelmora-register %s %s\n' "$1" "$2"
    wine "$x86/pelmora-register.exe" "$1" "$2" >"$work/register.txt" 2>&1 ||
        { show "$work/register.txt"; fail "pelmora-register $1 failed"; }
    show "$work/register.txt"
}

step "Registering the 32-bit sample class with the 32-bit host as its surrogate"
printf '    regsvr32 %s\n' "$(winepath -w "$x86/pelmora-sample.dll")"
wine regsvr32 /s "$(winepath -w "$x86/pelmora-sample.dll")" || fail "regsvr32 failed"
register add "$progid"

step "Starting the host for $clsid ($progid), its output captured"
echo "    (started by hand so that its trace can be shown; the COM runtime starts it the same"
echo "    way, with no console, when no host serves the class yet)"
# Unused for 10 seconds, it releases itself (Wine never calls FreeSurrogate).
BREVANIX_IDLE_SECONDS=10 wine "$x86/pelmora-surrogate.exe" "$clsid" -embedding \
    >"$work/host-trace.txt" 2>&1 &
await_trace "FreeSurrogate" "the host did not start serving within 30 seconds"
host_pid=$(tr -d '\r' <"$work/host-trace.txt" | sed -n 's/^Current Process ID : //p')
echo "    serving, process id $host_pid"

step "Running the 64-bit sample client, which creates $progid out of process"
wine "$x64/pelmora-sample-client.exe" "$progid" >"$work/client.txt" 2>&1 || {
    show "$work/client.txt"
    fail "the client failed"
}
show "$work/client.txt"
client_pid=$(tr -d '\r' <"$work/client.txt" | sed -n 's/^Client process : \([0-9]*\).*/\1/p')
object_pid=$(tr -d '\r' <"$work/client.txt" | sed -n 's/^Object process : //p')
[ "$object_pid" = "$host_pid" ] || fail "the object lives in process $object_pid, not in the host ($host_pid)"
echo
echo "    The 64-bit client (process $client_pid) used an object of the 32-bit DLL living in the"
echo "    32-bit host (process $host_pid)."

step "Waiting for the host to release itself, unused for 10 seconds"
echo "    (Wine's COM runtime never calls ISurrogate::FreeSurrogate; on Windows the runtime"
echo "    releases the host instead)"
await_trace "done\." "the host did not end within 30 seconds of its last client"

step "The host's trace"
show "$work/host-trace.txt"

step "Pointing the class back at its DLL alone"
register remove "$progid"

step "Ending the host and every other Wine process of the demo"
