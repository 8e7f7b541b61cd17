#!/bin/sh
# Makes the release zip and its SHA-256 file from the build trees of the presets (both bitnesses
# unless PRESETS narrows them) under <build> (default build/), into <build>/dist: the same bytes from the same commit, wherever and
# whenever it is built. Every time in it (file times, the images' PE timestamps) is the commit's,
# SOURCE_DATE_EPOCH unless set; entries in a fixed order, with fixed modes and no owners.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
fail() { echo "dist: $*" >&2; exit 1; }

. "$root/scripts/presets.sh"
for preset in $pelmora_presets; do
    [ -f "$build/$preset/CPackConfig.cmake" ] || fail "no build in $build/$preset; run 'make build' first"
done
name=$(pelmora_zip_name "$build")
[ -n "$name" ] || fail "no package name in $build"
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 315532800)
fi
export SOURCE_DATE_EPOCH

stage="$build/dist-stage"
rm -rf "$stage" "$build/dist"
mkdir -p "$stage" "$build/dist"
# strip writes SOURCE_DATE_EPOCH as the PE timestamp.
for preset in $pelmora_presets; do
    for component in programs docs; do
        cmake --install "$build/$preset" --prefix "$stage" --component $component --strip >/dev/null
    done
done
find "$stage" -type d -exec chmod 755 {} +
find "$stage" -type f -exec chmod 644 {} +
find "$stage" -exec touch -d "@$SOURCE_DATE_EPOCH" {} +
# zip -X leaves out owners and Unix times; the DOS times are read in UTC.
(cd "$stage" && find . -type f | sed 's|^\./||' | LC_ALL=C sort |
    TZ=UTC zip -X -D -q "$build/dist/$name.zip" -@)
(cd "$build/dist" && sha256sum "$name.zip" >"$name.zip.sha256")
echo "dist: $build/dist/$name.zip"
