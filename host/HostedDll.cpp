#include "HostedDll.h"

#include "Text.h"
#include "Unique.h"

#include <vector>

namespace {

std::wstring InprocServerPath(REFCLSID clsid) {
    const std::wstring key = L"CLSID\\" + win::GuidText(clsid) + L"\\InprocServer32";
    DWORD size = 0;
    // A REG_EXPAND_SZ value is expanded and passes as REG_SZ, as the runtime reads it.
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, nullptr,
                     &size) != ERROR_SUCCESS) {
        return {};
    }
    std::vector<wchar_t> value(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value.data(),
                     &size) != ERROR_SUCCESS) {
        return {};
    }
    std::wstring path(value.data());
    if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"') {
        path = path.substr(1, path.size() - 2);
    }
    return path;
}

// The loaded module for a registered path, with a reference for the caller; the file name alone
// finds it where the runtime resolved a relative or differently written path.
win::UniqueModule LoadedModule(const std::wstring& path) {
    win::UniqueModule module;
    if (GetModuleHandleExW(0, path.c_str(), module.Put())) {
        return module;
    }
    const size_t slash = path.find_last_of(L"\\/");
    if (slash != std::wstring::npos) {
        GetModuleHandleExW(0, path.substr(slash + 1).c_str(), module.Put());
    }
    return module;
}

} // namespace

CHostedDll::CHostedDll(REFCLSID clsid) : m_path(InprocServerPath(clsid)) {}

bool CHostedDll::InUse() const {
    if (m_path.empty()) {
        return false;
    }
    // The reference keeps the DLL loaded while it is asked.
    const win::UniqueModule module = LoadedModule(m_path);
    if (!module) {
        return false;
    }
    const auto canUnloadNow = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(module.Get(), "DllCanUnloadNow")));
    return canUnloadNow == nullptr || canUnloadNow() != S_OK;
}

bool CHostedDlls::AnyInUse(const std::vector<CLSID>& classes) {
    for (const CLSID& clsid : classes) {
        auto known = m_dlls.begin();
        while (known != m_dlls.end() && !IsEqualCLSID(known->first, clsid)) {
            ++known;
        }
        if (known == m_dlls.end()) {
            known = m_dlls.emplace(m_dlls.end(), clsid, CHostedDll(clsid));
        }
        if (known->second.InUse()) {
            return true;
        }
    }
    return false;
}
