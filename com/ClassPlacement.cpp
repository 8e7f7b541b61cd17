#include "ClassPlacement.h"

#include <windows.h>

#include <vector>

namespace {

bool SameText(const std::wstring& text, const wchar_t* name) {
    return CompareStringOrdinal(text.c_str(), -1, name, -1, TRUE) == CSTR_EQUAL;
}

} // namespace

ApartmentKind ApartmentFor(const std::optional<std::wstring>& threadingModel) {
    if (!threadingModel) {
        return ApartmentKind::MainSingleThreaded;
    }
    const std::wstring& model = *threadingModel;
    if (SameText(model, L"Both") || SameText(model, L"Free") || SameText(model, L"Neutral")) {
        return ApartmentKind::Multithreaded;
    }
    if (SameText(model, L"Apartment")) {
        return ApartmentKind::OwnSingleThreaded;
    }
    return ApartmentKind::MainSingleThreaded;
}

std::wstring DllApartmentKey(const std::wstring& dll) {
    std::wstring key = dll;
    const DWORD size = GetFullPathNameW(dll.c_str(), 0, nullptr, nullptr);
    if (!dll.empty() && size > 0) {
        std::vector<wchar_t> full(size);
        const DWORD length = GetFullPathNameW(dll.c_str(), size, full.data(), nullptr);
        if (length > 0 && length < size) {
            key.assign(full.data(), length);
        }
    }
    if (!key.empty()) {
        CharUpperBuffW(&key[0], static_cast<DWORD>(key.size()));
    }
    return key;
}
