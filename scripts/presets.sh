# Sourced by the Makefile and the scripts: the build presets they build and test, in one place.
# PRESETS in the environment narrows them (PRESETS=mingw-x64).
pelmora_presets=${PRESETS:-mingw-x86 mingw-x64}

# The release zip's name (no extension), from the first preset's build under <build>.
pelmora_zip_name() { # pelmora_zip_name <build>
    set -- "$1/${pelmora_presets%% *}/CPackConfig.cmake"
    [ -f "$1" ] && sed -n 's/^set(CPACK_PACKAGE_FILE_NAME "\(.*\)")$/\1/p' "$1"
}
