#pragma once

#include <objbase.h>

// The sample's classes. Each bitness of the sample DLL has its own CLSIDs, so the 32-bit and the
// 64-bit DLL can be registered side by side, each with a host of its own bitness. AppID = CLSID.

// Methods of the calculator, reached through IDispatch.
constexpr DISPID kDispProcessId = 1; // ProcessId(): the id of the process the object lives in
constexpr DISPID kDispAdd = 2;       // Add(a, b): a + b

// What creating the refusing class returns.
constexpr HRESULT kSampleRefusal = static_cast<HRESULT>(0x80047E57);

// {73EEF8E1-7FA0-4010-A8B3-D93DB4291C1E}
constexpr CLSID kClsidCalculator32 = {
    0x73eef8e1, 0x7fa0, 0x4010, {0xa8, 0xb3, 0xd9, 0x3d, 0xb4, 0x29, 0x1c, 0x1e}};
// {E283969C-2A89-49E6-A49E-1AADA33D40C4}
constexpr CLSID kClsidCalculator64 = {
    0xe283969c, 0x2a89, 0x49e6, {0xa4, 0x9e, 0x1a, 0xad, 0xa3, 0x3d, 0x40, 0xc4}};
// {D61F6E12-8193-4EAD-8441-3F25DBE1C258}
constexpr CLSID kClsidRefusing32 = {
    0xd61f6e12, 0x8193, 0x4ead, {0x84, 0x41, 0x3f, 0x25, 0xdb, 0xe1, 0xc2, 0x58}};
// {E8E02316-3E5A-4709-B87C-1A8A0680987B}
constexpr CLSID kClsidRefusing64 = {
    0xe8e02316, 0x3e5a, 0x4709, {0xb8, 0x7c, 0x1a, 0x8a, 0x06, 0x80, 0x98, 0x7b}};

constexpr const wchar_t* kProgIdCalculator32 = L"Pelmora.Sample32.Calculator";
constexpr const wchar_t* kProgIdCalculator64 = L"Pelmora.Sample64.Calculator";
constexpr const wchar_t* kProgIdRefusing32 = L"Pelmora.Sample32.Refusing";
constexpr const wchar_t* kProgIdRefusing64 = L"Pelmora.Sample64.Refusing";

#ifdef _WIN64
constexpr const CLSID& kClsidCalculator = kClsidCalculator64;
constexpr const CLSID& kClsidRefusing = kClsidRefusing64;
constexpr const wchar_t* kProgIdCalculator = kProgIdCalculator64;
constexpr const wchar_t* kProgIdRefusing = kProgIdRefusing64;
#else
constexpr const CLSID& kClsidCalculator = kClsidCalculator32;
constexpr const CLSID& kClsidRefusing = kClsidRefusing32;
constexpr const wchar_t* kProgIdCalculator = kProgIdCalculator32;
constexpr const wchar_t* kProgIdRefusing = kProgIdRefusing32;
#endif
