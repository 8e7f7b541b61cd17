#include "Registry.h"

#include "Unique.h"

namespace {

HKEY Hive(Root root) {
    return root == Root::kUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

std::wstring FullPath(const KeyName& key) {
    return key.path.empty() ? L"Software\\Classes" : L"Software\\Classes\\" + key.path;
}

// The key below the key's root, by its full path, in the key's view.
LONG Open(const KeyName& key, const std::wstring& path, REGSAM access, win::UniqueKey& open) {
    const LONG error =
        RegOpenKeyExW(Hive(key.root), path.c_str(), 0, access | key.view, open.Put());
    if (error != ERROR_SUCCESS) {
        // A failed call leaves no key of ours to close.
        static_cast<void>(open.Detach());
    }
    return error;
}

// Any value exactly as stored; nothing when absent.
std::optional<RegistryValue> Query(HKEY key, const wchar_t* name) {
    RegistryValue value;
    DWORD size = 0;
    LONG error = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
    // The value may grow between two reads; a larger one is read again.
    while (error == ERROR_SUCCESS || error == ERROR_MORE_DATA) {
        value.data.resize(size);
        error = RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size);
        if (error == ERROR_SUCCESS) {
            value.data.resize(size);
            return value;
        }
    }
    return std::nullopt;
}

Values AllValues(HKEY key) {
    Values values;
    // Value names are at most 16383 characters. Name and data come in one call; a value larger
    // than the buffer is read again by its name.
    std::vector<wchar_t> name(16384);
    std::vector<BYTE> data(1024);
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        DWORD type = REG_NONE;
        DWORD size = static_cast<DWORD>(data.size());
        LONG error =
            RegEnumValueW(key, index, name.data(), &length, nullptr, &type, data.data(), &size);
        if (error == ERROR_MORE_DATA) {
            length = static_cast<DWORD>(name.size());
            error =
                RegEnumValueW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
            const std::wstring text(name.data(), length);
            const auto value = error == ERROR_SUCCESS ? Query(key, text.c_str()) : std::nullopt;
            if (value) {
                values.emplace_back(text, *value);
            }
        } else if (error == ERROR_SUCCESS) {
            values.emplace_back(
                std::wstring(name.data(), length),
                RegistryValue{type, std::vector<BYTE>(data.begin(), data.begin() + size)});
        }
        if (error != ERROR_SUCCESS) {
            return values;
        }
    }
}

} // namespace

std::optional<Values> CWinRegistry::Read(const KeyName& key, LONG* error) const {
    win::UniqueKey open;
    const LONG opened = Open(key, FullPath(key), KEY_READ, open);
    if (error != nullptr) {
        *error = opened;
    }
    return opened == ERROR_SUCCESS ? std::optional<Values>(AllValues(open.Get())) : std::nullopt;
}

std::vector<std::wstring> CWinRegistry::Subkeys(const KeyName& key) const {
    std::vector<std::wstring> names;
    win::UniqueKey open;
    if (Open(key, FullPath(key), KEY_READ, open) != ERROR_SUCCESS) {
        return names;
    }
    // Key names are at most 255 characters.
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        const LONG error =
            RegEnumKeyExW(open.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_SUCCESS) {
            names.emplace_back(name, length);
        } else if (error != ERROR_MORE_DATA) {
            return names;
        }
    }
}

LONG CWinRegistry::CheckWrite(const KeyName& key) const {
    win::UniqueKey open;
    LONG error = Open(key, FullPath(key), KEY_READ | KEY_SET_VALUE | DELETE, open);
    // A missing key is created under the nearest key there is.
    for (std::wstring path = FullPath(key); error == ERROR_FILE_NOT_FOUND && !path.empty();) {
        const size_t slash = path.rfind(L'\\');
        path.resize(slash == std::wstring::npos ? 0 : slash);
        error = Open(key, path, KEY_CREATE_SUB_KEY, open);
    }
    return error;
}

LONG CWinRegistry::Set(const KeyName& key, const std::wstring& name, const RegistryValue& value) {
    win::UniqueKey open;
    LONG error =
        RegCreateKeyExW(Hive(key.root), FullPath(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | key.view, nullptr, open.Put(), nullptr);
    if (error != ERROR_SUCCESS) {
        static_cast<void>(open.Detach());
        return error;
    }
    // RegSetValueEx counts a string's missing terminating null in when one follows the data in
    // memory; a non-null character there keeps the bytes exactly as given.
    std::vector<BYTE> data = value.data;
    data.insert(data.end(), {0xff, 0xff, 0xff});
    return RegSetValueExW(open.Get(), name.c_str(), 0, value.type, data.data(),
                          static_cast<DWORD>(value.data.size()));
}

LONG CWinRegistry::Delete(const KeyName& key, const std::wstring& name) {
    win::UniqueKey open;
    LONG error = Open(key, FullPath(key), KEY_SET_VALUE, open);
    if (error == ERROR_SUCCESS) {
        error = RegDeleteValueW(open.Get(), name.c_str());
    }
    return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

LONG CWinRegistry::DeleteKeyIfEmpty(const KeyName& key) {
    win::UniqueKey open;
    LONG error = Open(key, FullPath(key), KEY_READ, open);
    DWORD subkeys = 1;
    DWORD values = 1;
    if (error == ERROR_SUCCESS &&
        RegQueryInfoKeyW(open.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        subkeys == 0 && values == 0) {
        open.Reset();
        error = RegDeleteKeyExW(Hive(key.root), FullPath(key).c_str(), key.view, 0);
    }
    return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

bool CWinRegistry::TwoViews() const {
#ifdef _WIN64
    return true;
#else
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
#endif
}
