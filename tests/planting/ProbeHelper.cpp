// The probe's own dependency: found only beside the probe, through the probe's imports.
#include <windows.h>

extern "C" __declspec(dllexport) int PelmoraProbeHelper() {
    return 42;
}
