# Sourced by the project's scripts: the environment of the private Wine prefix under build/
# (PELMORA_WINEPREFIX moves it), which is created on first use. ~/.wine is never touched. Wine is
# whichever is on PATH: the machine's, or a root's (wine-root.sh run).
# The project's root: the nearest folder above the running script that holds CMakePresets.json.
pelmora_root=$(cd "$(dirname "$0")" && while [ ! -f CMakePresets.json ] && [ "$PWD" != / ]; do
    cd ..
done && pwd)
export WINEPREFIX="${PELMORA_WINEPREFIX:-$pelmora_root/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono/Gecko installer prompts; nothing here needs them.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY

# Takes the prefix's lock on descriptor 9 (held until the caller exits) and creates the prefix
# if needed. Users of the prefix end its processes when done, so they must not overlap.
wine_prefix_acquire() {
    mkdir -p "$WINEPREFIX"
    exec 9>"$WINEPREFIX/.lock"
    flock 9
    # A Wine that cannot start at all would otherwise show up as every test failing in its own way.
    if ! wine --version >"$WINEPREFIX/wine-version.txt" 2>&1; then
        echo "Wine cannot start here: $(tail -n 1 "$WINEPREFIX/wine-version.txt")" >&2
        if grep -q 'Exec format error' "$WINEPREFIX/wine-version.txt"; then
            echo "This machine's kernel does not run 32-bit x86 programs, which Wine's 32-bit side" \
                "is: as root, 'make deps' sets up QEMU's user-mode emulation for them." >&2
        fi
        return 1
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Creating the private Wine prefix $WINEPREFIX (once, about 20 seconds)..." >&2
        wineboot --init >/dev/null 2>&1
        wineserver -w
    fi
}

# Ends every process of the prefix, hosts started by the COM runtime included.
wine_prefix_end() {
    wineserver -k 2>/dev/null
    wineserver -w
}

# Registers a build's sample DLL (self-registration) and points its calculator at that build's
# host with that build's pelmora-register, quietly unless it fails:
# pelmora_register_sample <bin directory> <calculator CLSID>.
pelmora_register_sample() {
    wine regsvr32 /s "$(winepath -w "$1/pelmora-sample.dll")" &&
        wine "$1/pelmora-register.exe" add "$2" >"$WINEPREFIX/register-sample.txt" 2>&1 ||
        { cat "$WINEPREFIX/register-sample.txt" >&2; return 1; }
}
