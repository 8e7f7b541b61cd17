#include "HostedDll.h"

#include <cwchar>
#include <vector>

namespace {

std::wstring RegisteredPath(REFCLSID clsid) {
    wchar_t clsidText[40] = {};
    std::swprintf(clsidText, 40, L"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(clsid.Data1), clsid.Data2, clsid.Data3,
                  clsid.Data4[0], clsid.Data4[1], clsid.Data4[2], clsid.Data4[3], clsid.Data4[4],
                  clsid.Data4[5], clsid.Data4[6], clsid.Data4[7]);
    const std::wstring key = std::wstring(L"CLSID\\") + clsidText + L"\\InprocServer32";
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
HMODULE LoadedModule(const std::wstring& path) {
    HMODULE module = nullptr;
    if (GetModuleHandleExW(0, path.c_str(), &module)) {
        return module;
    }
    const size_t slash = path.find_last_of(L"\\/");
    if (slash != std::wstring::npos &&
        GetModuleHandleExW(0, path.substr(slash + 1).c_str(), &module)) {
        return module;
    }
    return nullptr;
}

} // namespace

CHostedDll::CHostedDll(REFCLSID clsid) : m_path(RegisteredPath(clsid)) {}

bool CHostedDll::InUse() const {
    if (m_path.empty()) {
        return false;
    }
    // The reference keeps the DLL loaded while it is asked.
    const HMODULE module = LoadedModule(m_path);
    if (module == nullptr) {
        return false;
    }
    const auto canUnloadNow = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    const bool inUse = canUnloadNow == nullptr || canUnloadNow() != S_OK;
    FreeLibrary(module);
    return inUse;
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
