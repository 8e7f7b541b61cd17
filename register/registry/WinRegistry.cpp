#include "WinRegistry.h"

#include "RegistryKey.h"

namespace {

HKEY Hive(Root root) {
    return root == Root::kUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

std::wstring FullPath(const KeyName& key) {
    return key.path.empty() ? L"Software\\Classes" : L"Software\\Classes\\" + key.path;
}

std::wstring Parent(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

} // namespace

std::optional<Values> CWinRegistry::Read(const KeyName& key) const {
    CRegistryKey open;
    if (open.Open(Hive(key.root), FullPath(key), KEY_READ | key.view) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return open.Values();
}

std::vector<std::wstring> CWinRegistry::Subkeys(const KeyName& key) const {
    CRegistryKey open;
    open.Open(Hive(key.root), FullPath(key), KEY_READ | key.view);
    return open ? open.SubkeyNames() : std::vector<std::wstring>();
}

LONG CWinRegistry::CheckWrite(const KeyName& key) const {
    CRegistryKey open;
    LONG error =
        open.Open(Hive(key.root), FullPath(key), KEY_READ | KEY_SET_VALUE | DELETE | key.view);
    // A missing key is created under the nearest key there is.
    for (std::wstring path = FullPath(key); error == ERROR_FILE_NOT_FOUND && !path.empty();) {
        path = Parent(path);
        error = open.Open(Hive(key.root), path, KEY_CREATE_SUB_KEY | key.view);
    }
    return error;
}

LONG CWinRegistry::Set(const KeyName& key, const std::wstring& name, const RegistryValue& value) {
    CRegistryKey open;
    const LONG error = open.Create(Hive(key.root), FullPath(key), KEY_SET_VALUE | key.view);
    return error == ERROR_SUCCESS ? open.SetValue(name.c_str(), value) : error;
}

LONG CWinRegistry::Delete(const KeyName& key, const std::wstring& name) {
    CRegistryKey open;
    LONG error = open.Open(Hive(key.root), FullPath(key), KEY_SET_VALUE | key.view);
    if (error == ERROR_SUCCESS) {
        error = open.DeleteValue(name.c_str());
    }
    return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

LONG CWinRegistry::DeleteKeyIfEmpty(const KeyName& key) {
    CRegistryKey open;
    LONG error = open.Open(Hive(key.root), FullPath(key), KEY_READ | key.view);
    if (error == ERROR_SUCCESS && open.IsEmpty()) {
        open = CRegistryKey();
        error = RegDeleteKeyExW(Hive(key.root), FullPath(key).c_str(), key.view, 0);
    }
    return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

// AppID keys are shared by both views on 64-bit Windows only.
bool CWinRegistry::SharesAppIds() const {
#ifdef _WIN64
    return true;
#else
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
#endif
}
