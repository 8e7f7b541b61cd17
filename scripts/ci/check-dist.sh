#!/bin/sh
# Proves the release zip made by make dist: its checksum, its layout, stripped images of the
# project version, and its hosts, unpacked, through the same end-to-end tests as the built ones
# (each build's test programs and sample, with only the host swapped for the zip's).
set -eu
. "$(dirname "$0")/../wine-env.sh"
build="$pelmora_root/build"
check="$build/dist-check"
. "$pelmora_root/scripts/presets.sh"
name=$(pelmora_zip_name "$build")
zip="$build/dist/$name.zip"
fail() { echo "dist-check: $*" >&2; exit 1; }

for preset in mingw-x86 mingw-x64; do
    case " $pelmora_presets " in *" $preset "*) ;;
    *) fail "the release zip holds both bitnesses: PRESETS must name mingw-x86 and mingw-x64" ;;
    esac
done
[ -n "$name" ] && [ -f "$zip" ] || fail "no zip in build/dist; run 'make dist' first"
(cd "$build/dist" && sha256sum --quiet -c "$name.zip.sha256") || fail "the checksum does not match"
echo "dist-check: $name.zip matches $name.zip.sha256"

rm -rf "$check"
mkdir -p "$check/unpacked"
(cd "$check/unpacked" && cmake -E tar xf "$zip")
expected="README.md MANUAL.md host-your-dll.reg x86/pelmora-surrogate.exe x64/pelmora-surrogate.exe"
for arch in x86 x64; do
    expected="$expected sample/$arch/pelmora-sample.dll sample/$arch/pelmora-sample-client.exe"
done
for arch in x86 x64; do
    [ ! -f "$build/mingw-$arch/bin/pelmora-register.exe" ] || expected="$expected $arch/pelmora-register.exe"
done
for file in $expected; do
    [ -f "$check/unpacked/$file" ] || fail "$file is missing from the zip"
done
actual=$(cd "$check/unpacked" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')
echo "dist-check: the zip holds $actual"
for file in $actual; do
    case " $expected " in *" $file "*) ;; *) fail "unexpected $file in the zip" ;; esac
done
for arch in x86 x64; do
    objdump=i686-w64-mingw32-objdump
    [ $arch = x86 ] || objdump=x86_64-w64-mingw32-objdump
    for image in "$check/unpacked/$arch"/*.exe; do
        $objdump -t "$image" | grep -q "no symbols" || fail "$arch/$(basename "$image") is not stripped"
    done
done
echo "dist-check: the images are stripped"

# Every link in the README and the manual (to a file of the zip, and to a heading there), and every
# path into the zip that they name, is in the zip.
readme="$check/unpacked/README.md"
# A heading's anchor as Markdown viewers make it: lower case, spaces to hyphens, no punctuation.
anchors() { tr -d '\r' <"$1" | sed -n 's/^#\{1,6\} //p' | tr 'A-Z ' 'a-z-' | tr -cd 'a-z0-9_\n-'; }
links=0
paths=0
for document in README.md MANUAL.md; do
    file="$check/unpacked/$document"
    tr -d '\r' <"$file" | grep -o '](\([^)]*\))' | sed 's/^](//; s/)$//' >"$check/links.txt" || true
    tr -d '\r' <"$file" | grep -oE '(x86|x64|sample)\\[A-Za-z0-9_.\\-]+' | sed 's|\\|/|g' \
        >"$check/paths.txt" || true
    while read -r target; do
        case $target in *://*) continue ;; esac
        name=${target%%#*}
        [ -n "$name" ] || name=$document
        [ -e "$check/unpacked/$name" ] || fail "the $document links to $name, which the zip lacks"
        case $target in
        *'#'*) anchors "$check/unpacked/$name" | grep -qx "${target#*#}" ||
            fail "the $document links to $target, a heading $name lacks" ;;
        esac
    done <"$check/links.txt"
    while read -r path; do
        path=${path%/}
        [ -e "$check/unpacked/$path" ] || [ -e "$check/unpacked/$path.exe" ] ||
            fail "the $document names $path, which the zip lacks"
    done <"$check/paths.txt"
    links=$((links + $(wc -l <"$check/links.txt")))
    paths=$((paths + $(wc -l <"$check/paths.txt")))
done
echo "dist-check: the README's and the manual's $links links and $paths paths are in the zip"

# The README's recipe (See it work), line by line as a user types it, in the unpacked zip: the
# 64-bit client uses the 32-bit sample through the 32-bit host.
tr -d '\r' <"$readme" | awk '/^## See it work/ { on = 1; next }
    on && /^## / { exit }
    on && /^    / { print substr($0, 5); seen = 1; next }
    on && seen { exit }' >"$check/recipe.txt"
[ "$(wc -l <"$check/recipe.txt")" = 4 ] || fail "the README's recipe is not four lines"
(
    wine_prefix_acquire
    trap 'wine_prefix_end' EXIT
    step=0
    while read -r line; do
        step=$((step + 1))
        printf 'dist-check: recipe: %s\n' "$line"
        (cd "$check/unpacked" && wine cmd /c "$line") >"$check/recipe-$step.txt" 2>&1 </dev/null ||
            { tr -d '\r' <"$check/recipe-$step.txt"; fail "the recipe's line $step failed"; }
    done <"$check/recipe.txt"
    out=$(tr -d '\r' <"$check/recipe-3.txt")
    printf '%s\n' "$out" | sed 's/^/    /'
    client=$(printf '%s\n' "$out" | sed -n 's/^Client process : \([0-9]*\) (64-bit)$/\1/p')
    object=$(printf '%s\n' "$out" | sed -n 's/^Object process : \([0-9]*\)$/\1/p')
    [ -n "$client" ] && [ -n "$object" ] && [ "$client" != "$object" ] ||
        fail "the 64-bit client's object did not live in another process"
    printf '%s\n' "$out" | grep -qx 'Add(19, 23)    : 42' || fail "the client got no result"
)
echo "dist-check: the README's recipe works from the unpacked zip"

# Each build's bin folder again, beside each other as the tests expect, with the zip's host.
for arch in x86 x64; do
    mkdir -p "$check/mingw-$arch"
    cp -R "$build/mingw-$arch/bin" "$check/mingw-$arch/bin"
    cp "$check/unpacked/$arch/pelmora-surrogate.exe" "$check/mingw-$arch/bin/pelmora-surrogate.exe"
done

# The zip's hosts are the same code as the built ones, which make test puts through the long
# load and the come-and-go test; here the cases that prove the packaged images serve.
export PELMORA_LONG_TESTS="${PELMORA_LONG_TESTS:-off}"
passed=0
skipped=0
failed=0
failures=""
for preset in $pelmora_presets; do
    arch=${preset#mingw-}
    tests="$check/mingw-$arch/bin/e2e_tests.exe"
    # One Wine session per case, as ctest runs them: Wine keeps a killed host's registration
    # until its wineserver ends.
    cases=$(sh "$pelmora_root/cmake/wine-run.sh" "$tests" --gtest_list_tests | tr -d '\r' |
        awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }')
    [ -n "$cases" ] || fail "no end-to-end tests found in $tests"
    for case in $cases; do
        log="$check/$arch-$case.txt"
        if sh "$pelmora_root/cmake/wine-run.sh" "$tests" --gtest_filter="$case" >"$log" 2>&1; then
            if grep -q '^\[  SKIPPED \]' "$log"; then
                skipped=$((skipped + 1))
                echo "dist-check: skipped $arch host from the zip: $case (PELMORA_LONG_TESTS=$PELMORA_LONG_TESTS)"
                continue
            fi
            passed=$((passed + 1))
            echo "dist-check: passed $arch host from the zip: $case"
        else
            failed=$((failed + 1))
            failures="$failures $arch:$case"
            tr -d '\r' <"$log" | tail -n 30
            echo "dist-check: FAILED $arch host from the zip: $case (log: $log)"
        fi
    done
done
echo "dist-check: $passed passed, $skipped skipped, $failed failed"
[ "$failed" = 0 ] || fail "failed:$failures"
