#!/bin/sh
# The benchmark: the 64-bit bench client against the 32-bit host serving the 32-bit sample, under
# Wine in the project's private prefix. Expects both builds (make build). Prints one table.
# "bench.sh load" runs only the mixed-bitness load row, "bench.sh models" only the warm activations
# by threading model. PELMORA_BENCH_BASELINE_HOST, the path of another 32-bit
# pelmora-surrogate.exe (an earlier version's, say), adds its figures beside this one's.
set -eu
only=${1:-all}
. "$(dirname "$0")/wine-env.sh"

x86="$pelmora_root/build/mingw-x86/bin"
x64="$pelmora_root/build/mingw-x64/bin"
clsid="{73EEF8E1-7FA0-4010-A8B3-D93DB4291C1E}"
cold_runs=${PELMORA_BENCH_COLD_RUNS:-10}

probe="$x86/probe/pelmora-probe.dll"
baseline=${PELMORA_BENCH_BASELINE_HOST:-}
for file in "$x86/pelmora-surrogate.exe" "$x86/pelmora-sample.dll" "$x64/pelmora-bench.exe" \
    "$x86/pelmora-sample-client.exe" "$x64/pelmora-sample-client.exe" "$probe" \
    "$x86/pelmora-bench-server.exe" ${baseline:+"$baseline"}; do
    [ -f "$file" ] || { echo "bench: $file is missing; run 'make build' first" >&2; exit 1; }
done

wine_prefix_acquire
trap 'wine_prefix_end' EXIT
trap 'exit 130' INT TERM HUP
pelmora_register_sample "$x86" "$clsid" || { echo "bench: registration failed" >&2; exit 1; }

ms() { awk -v us="$1" 'BEGIN { printf "%.2f", us / 1000 }'; }
row() { printf '| %-46s | %-30s | %-18s |\n' "$1" "$2" "$3"; }

# 12,000 activations from 4 x86 and 4 x64 client processes at once against one warm x86 host, in a
# fresh Wine session.
load_row() {
    wine_prefix_end
    load_raw="$pelmora_root/build/bench-load.txt"
    wine "$x64/pelmora-bench.exe" load "$(winepath -w "$x86/pelmora-sample-client.exe")" \
        "$(winepath -w "$x64/pelmora-sample-client.exe")" 1500 | tr -d '\r' >"$load_raw" || true
    lv() { sed -n "s/^$1 //p" "$load_raw"; }
    [ -n "$(lv load_rate)" ] || { cat "$load_raw"; echo "bench: the load did not complete" >&2; exit 1; }
    row "12,000 activations, 4 x86 + 4 x64 clients" \
        "$(lv load_failed) failed, $(lv load_hung) hung, $(lv load_hosts) host(s)" "0, 0, 1 host"
    row "  their activations per second" "$(lv load_rate)" ""
}

# One DLL (the tests' probe) as classes of each threading model through the host, and through the
# baseline host where one is given, and as the class of a bare local server, in the 32-bit view.
models_row() {
    wine_prefix_end
    reg32() { wine reg add "$@" /f /reg:32 >/dev/null 2>&1; }
    bare="{0C4B8E7A-3D19-4A62-B5F0-7E21D9A6C3C0}"
    # In both views: Wine's runtime looks for a LocalServer32 in the client's view only.
    for view in 32 64; do
        wine reg add "HKCR\\CLSID\\$bare\\LocalServer32" /ve /f /reg:$view /d \
            "\"$(winepath -w "$x86/pelmora-bench-server.exe")\" \"$(winepath -w "$probe")\" $bare" \
            >/dev/null 2>&1
    done
    classes=$bare
    n=1
    for host in "$x86/pelmora-surrogate.exe" ${baseline:+"$baseline"}; do
        for model in Both Apartment none; do
            clsid="{0C4B8E7A-3D19-4A62-B5F0-7E21D9A6C3C$n}"
            reg32 "HKCR\\CLSID\\$clsid" /v AppID /d "$clsid"
            reg32 "HKCR\\CLSID\\$clsid\\InprocServer32" /ve /d "$(winepath -w "$probe")"
            [ "$model" = none ] ||
                reg32 "HKCR\\CLSID\\$clsid\\InprocServer32" /v ThreadingModel /d "$model"
            reg32 "HKCR\\AppID\\$clsid" /v DllSurrogate /d "\"$(winepath -w "$host")\""
            classes="$classes $clsid"
            n=$((n + 1))
        done
    done
    models_raw="$pelmora_root/build/bench-models.txt"
    # shellcheck disable=SC2086
    wine "$x64/pelmora-bench.exe" side-by-side $classes | tr -d '\r' >"$models_raw" || true
    median() { sed -n "s/^side_$1_median_us //p" "$models_raw"; }
    [ -n "$(median 3)" ] || { cat "$models_raw"; echo "bench: the models did not complete" >&2; exit 1; }
    ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f / %.2f = %.3fx", a / 1000, b / 1000, a / b }'; }
    row "warm activation by model (median of 400, ms):" "" ""
    row "  a bare local server" "$(ms "$(median 0)")" ""
    row "  Both class / the bare server" "$(ratio "$(median 1)" "$(median 0)")" "about 1x"
    row "  Apartment class / Both class" "$(ratio "$(median 2)" "$(median 1)")" "within 1.05x"
    row "  no-model class / Both class" "$(ratio "$(median 3)" "$(median 1)")" "within 1.05x"
    if [ -n "$baseline" ]; then
        row "  baseline host: Both / the bare server" "$(ratio "$(median 4)" "$(median 0)")" ""
        row "  baseline host: Apartment / Both" "$(ratio "$(median 5)" "$(median 4)")" ""
        row "  baseline host: no model / Both" "$(ratio "$(median 6)" "$(median 4)")" ""
        row "  this host's Both / the baseline's Both" "$(ratio "$(median 1)" "$(median 4)")" ""
    fi
}

if [ "$only" = models ]; then
    echo "warm activations by threading model (about 2 minutes)..." >&2
    row "measure" "result" "target"
    row "----------------------------------------------" "------------------------------" "------------------"
    models_row
    exit 0
fi

if [ "$only" = load ]; then
    echo "host under load from 8 client processes (about 2 minutes)..." >&2
    row "measure" "result" "target"
    row "----------------------------------------------" "------------------------------" "------------------"
    load_row
    exit 0
fi

# Cold: each run in a fresh Wine session, so no host is running yet.
cold=""
i=0
while [ $i -lt "$cold_runs" ]; do
    i=$((i + 1))
    wine_prefix_end
    echo "cold activation $i of $cold_runs..." >&2
    us=$(wine "$x64/pelmora-bench.exe" once | tr -d '\r' | sed -n 's/^once_us //p')
    [ -n "$us" ] || { echo "bench: cold activation $i failed" >&2; exit 1; }
    cold="${cold:+$cold,}$us"
done
wine_prefix_end

raw="$pelmora_root/build/bench-raw.txt"
results="$pelmora_root/build/bench-results.txt"
# A hung activation must end the benchmark, not stall it.
status=0
timeout 1200 wine "$x64/pelmora-bench.exe" run >"$raw" || status=$?
tr -d '\r' <"$raw" >"$results"
value() { sed -n "s/^$1 //p" "$results"; }
missing=""
for key in warm_median_us failures_10000 ws_after_mb call_median_us rate_8; do
    [ -n "$(value $key)" ] || missing="$missing $key"
done
if [ "$status" != 0 ] || [ -n "$missing" ]; then
    cat "$results"
    echo "bench: the warm measurements did not complete (status $status; missing:$missing)" >&2
    exit 1
fi

# The idle host's CPU time, as Linux accounts it for the Wine process (all its threads).
host_pid=$(pgrep -f 'pelmora-surrogate\.exe' | head -n 1)
ticks() { awk '{ print $14 + $15 }' "/proc/$host_pid/stat" 2>/dev/null; }
echo "host waiting for 10 seconds..." >&2
idle_before=$(ticks)
sleep 10
idle_after=$(ticks)
if [ -z "$idle_before" ] || [ -z "$idle_after" ]; then
    echo "bench: the host is not running" >&2
    exit 1
fi
idle_ms=$(( (idle_after - idle_before) * 1000 / $(getconf CLK_TCK) ))

# Median and 95th percentile (nearest rank) of comma-separated microseconds, in milliseconds.
spread() {
    echo "$1" | tr ',' '\n' | sort -n | awk '{ v[NR] = $1 } END {
        printf "%.0f / %.0f ms", v[int((NR + 1) / 2)] / 1000, v[int(0.95 * NR + 0.999)] / 1000 }'
}
echo
echo "Pelmora COM Surrogate benchmark: $(wine --version), 32-bit host and sample, 64-bit client,"
echo "$(nproc) cores. An activation: create the object out of process, one call, release."
echo
row "measure" "result" "target"
row "----------------------------------------------" "------------------------------" "------------------"
row "cold activation (no host yet), median / p95" "$(spread "$cold") ($cold_runs runs)" ""
row "warm activation, median / p95" "$(ms "$(value warm_median_us)") / $(ms "$(value warm_p95_us)") ms" ""
row "call on a held object, median / p95" "$(ms "$(value call_median_us)") / $(ms "$(value call_p95_us)") ms" ""
for clients in 1 4 8; do
    failed=$(value "rate_failures_$clients")
    row "activations per second, $clients client $([ "$clients" = 1 ] && echo process || echo processes)" \
        "$(value "rate_$clients")$([ "$failed" = 0 ] || echo " ($failed failed)")" ""
done
row "failures in 10,000 activations" "$(value failures_10000 | cut -d. -f1)" "0"
row "host working set before / after them" \
    "$(awk -v a="$(value ws_before_mb)" -v b="$(value ws_after_mb)" \
        'BEGIN { printf "%.2f / %.2f MB (%+.2f MB)", a, b, b - a }')" "under 1 MB growth"
row "host committed memory before / after them" \
    "$(awk -v a="$(value private_before_mb)" -v b="$(value private_after_mb)" \
        'BEGIN { printf "%.2f / %.2f MB (%+.2f MB)", a, b, b - a }')" ""
row "host threads before / after them" \
    "$(value threads_before | cut -d. -f1) / $(value threads_after | cut -d. -f1)" ""
row "host CPU time while waiting 10 s" "$idle_ms ms (in steps of $((1000 / $(getconf CLK_TCK))) ms)" "none measurable"
models_row
load_row
