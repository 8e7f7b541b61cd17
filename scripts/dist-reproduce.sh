#!/bin/sh
# Builds the release zip again from the same commit, in a fresh clone with its own build trees
# (other source and build folders), and compares it byte for byte with build/dist's.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "dist-reproduce: $*" >&2; exit 1; }

. "$root/scripts/presets.sh"
name=$(pelmora_zip_name "$root/build")
first="$root/build/dist/$name.zip"
[ -n "$name" ] && [ -f "$first" ] || fail "no zip in build/dist; run 'make dist' first"
commit=$(git -C "$root" rev-parse HEAD) || fail "$root is not a git checkout"
[ -z "$(git -C "$root" status --porcelain --untracked-files=no)" ] ||
    fail "the working tree has uncommitted changes, which the first zip holds and a clone does not"

second="$root/build/reproduce"
rm -rf "$second"
git clone -q --no-hardlinks "$root" "$second/src"
git -C "$second/src" checkout -q "$commit"
for preset in $pelmora_presets; do
    cmake -S "$second/src" -B "$second/$preset" --preset "$preset" -DPELMORA_BUILD_TESTS=OFF >/dev/null
    cmake --build "$second/$preset" >/dev/null
done
sh "$second/src/scripts/make-zip.sh" "$second" >/dev/null
again="$second/dist/$name.zip"
echo "dist-reproduce: $(sha256sum "$first" | cut -d' ' -f1)  build/dist/$name.zip"
echo "dist-reproduce: $(sha256sum "$again" | cut -d' ' -f1)  build/reproduce/dist/$name.zip"
cmp -s "$first" "$again" || fail "the two zips differ"
echo "dist-reproduce: the zip built again from $commit is byte for byte the same"
