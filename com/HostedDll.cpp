#include "HostedDll.h"

#include "Unique.h"

#include <windows.h>
#include <objbase.h>

namespace {

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

bool DllInUse(const std::wstring& path) {
    if (path.empty()) {
        return false;
    }
    // The reference keeps the DLL loaded while it is asked.
    const win::UniqueModule module = LoadedModule(path);
    if (!module) {
        return false;
    }
    const auto canUnloadNow = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(module.Get(), "DllCanUnloadNow")));
    return canUnloadNow == nullptr || canUnloadNow() != S_OK;
}
