# Sourced by the Makefile and the scripts: the build presets they build and test, in one place.
# PRESETS in the environment narrows them (PRESETS=mingw-x64).
pelmora_presets=${PRESETS:-mingw-x86 mingw-x64}
