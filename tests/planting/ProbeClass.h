#pragma once

#include <objbase.h>

// The probe hosted by the DLL-planting tests, reached through IDispatch. Each bitness has its own
// CLSID, so both can be registered side by side.

// ProcessId(): the id of the process the object lives in.
// LoadByName(name): loads a DLL by bare name, as older DLLs do, and answers the full path of the
//   module that loaded (empty when none did); the module is freed again.
// HelperPath(): the full path of the DLL the probe imports, which lives beside the probe.

constexpr const wchar_t* kProbeDll = L"pelmora-probe.dll";
constexpr const wchar_t* kProbeHelperDll = L"pelmora-probe-helper.dll";
// The folder, beside the test programs, that holds only the probe and its helper.
constexpr const wchar_t* kProbeFolder = L"probe";

// {0C4B8E7A-3D19-4A62-B5F0-7E21D9A6C384}
constexpr CLSID kClsidProbe32 = {
    0x0c4b8e7a, 0x3d19, 0x4a62, {0xb5, 0xf0, 0x7e, 0x21, 0xd9, 0xa6, 0xc3, 0x84}};
// {9A7D2F41-6C58-4B0E-8E93-15F4A2C7D60B}
constexpr CLSID kClsidProbe64 = {
    0x9a7d2f41, 0x6c58, 0x4b0e, {0x8e, 0x93, 0x15, 0xf4, 0xa2, 0xc7, 0xd6, 0x0b}};

#ifdef _WIN64
constexpr const CLSID& kClsidProbe = kClsidProbe64;
#else
constexpr const CLSID& kClsidProbe = kClsidProbe32;
#endif
