#pragma once

#include <objbase.h>

#include <string>

// The probe hosted by the DLL-planting and threading tests, reached through IDispatch. Each
// bitness has its own CLSID, so both can be registered side by side; the DLL serves any CLSID it
// is registered for (ProbeVariant), so that one DLL can stand for classes of every threading
// model.

// ProcessId(): the id of the process the object lives in.
// LoadByName(name): loads a DLL by bare name, as older DLLs do, and answers the full path of the
//   module that loaded (empty when none did); the module is freed again.
// HelperPath(): the full path of the DLL the probe imports, which lives beside the probe.
// ApartmentType(): CoGetApartmentType's type (APTTYPE_*) for the thread the call runs on.
// Locks(): how many LockServer(TRUE) the DLL's class object holds.
//
// Its class object is licensed (IClassFactory2): RequestLicKey answers kProbeLicenseKey, and
// CreateInstanceLic creates only for that key. The DLL signals the event named by
// ProbeUnloadEventName(its process) when it is unloaded from a process that goes on.

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

constexpr const wchar_t* kProbeLicenseKey = L"pelmora-probe-license";

// Further classes of the probe, for tests that register it more than once: the probe's CLSID with
// its last byte set to variant.
inline CLSID ProbeVariant(unsigned char variant) {
    CLSID clsid = kClsidProbe;
    clsid.Data4[7] = variant;
    return clsid;
}

inline std::wstring ProbeUnloadEventName(DWORD process) {
    return L"Local\\PelmoraProbeUnloaded-" + std::to_wstring(process);
}
