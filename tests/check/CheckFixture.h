#pragma once

// The GUIDs of PelmoraCheck.idl, for the fixtures and the tests that register them, and the
// interfaces as widl or MIDL declares them from that file.
#include "PelmoraCheck.h"

#include <windows.h>

namespace check {

constexpr GUID kLibId = {
    0x99BE1224, 0x9BF2, 0x48E6, {0xBD, 0x60, 0xB6, 0x7F, 0x57, 0x17, 0x9D, 0xE7}};
constexpr GUID kIidDual = {
    0x1F4BC1D8, 0x1F44, 0x47A4, {0x88, 0x68, 0x06, 0xC9, 0x77, 0xF5, 0x6A, 0xE5}};
constexpr GUID kIidCustom = {
    0xF759C2D7, 0x9264, 0x4BC5, {0x82, 0x20, 0x64, 0x2A, 0x25, 0x5C, 0xE4, 0xF4}};
constexpr GUID kClsidDual = {
    0x4222EF97, 0x307A, 0x4967, {0x86, 0x0A, 0x33, 0x70, 0xB6, 0xC5, 0x59, 0x2E}};
constexpr GUID kClsidCustom = {
    0x92C2BCAE, 0x7021, 0x4D4D, {0xB3, 0x28, 0xCF, 0x9F, 0x65, 0x2F, 0x80, 0x27}};
// pelmora-check-ps.dll's class: IPelmoraCustom's IID, as MIDL and widl choose by default, pinned
// in CheckProxyStub.c so that it does not depend on how the generated list is sorted.
constexpr GUID kClsidProxyStub = kIidCustom;

constexpr wchar_t kLibIdText[] = L"{99BE1224-9BF2-48E6-BD60-B67F57179DE7}";
constexpr wchar_t kIidDualText[] = L"{1F4BC1D8-1F44-47A4-8868-06C977F56AE5}";
constexpr wchar_t kIidCustomText[] = L"{F759C2D7-9264-4BC5-8220-642A255CE4F4}";
constexpr wchar_t kClsidDualText[] = L"{4222EF97-307A-4967-860A-3370B6C5592E}";
constexpr wchar_t kClsidCustomText[] = L"{92C2BCAE-7021-4D4D-B328-CF9F652F8027}";
constexpr wchar_t kClsidProxyStubText[] = L"{F759C2D7-9264-4BC5-8220-642A255CE4F4}";
constexpr wchar_t kClsidTypeLibMarshalerText[] = L"{00020424-0000-0000-C000-000000000046}";

} // namespace check
