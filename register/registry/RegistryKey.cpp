#include "RegistryKey.h"

LONG CRegistryKey::Open(HKEY parent, const std::wstring& path, REGSAM access) {
    const LONG error = RegOpenKeyExW(parent, path.c_str(), 0, access, m_key.Put());
    if (error != ERROR_SUCCESS) {
        // A failed call leaves no key of ours to close.
        static_cast<void>(m_key.Detach());
    }
    return error;
}

LONG CRegistryKey::Create(HKEY parent, const std::wstring& path, REGSAM access) {
    const LONG error = RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       access, nullptr, m_key.Put(), nullptr);
    if (error != ERROR_SUCCESS) {
        // A failed call leaves no key of ours to close.
        static_cast<void>(m_key.Detach());
    }
    return error;
}

std::optional<RegistryValue> CRegistryKey::Value(const wchar_t* name) const {
    RegistryValue value;
    DWORD size = 0;
    if (RegQueryValueExW(m_key.Get(), name, nullptr, &value.type, nullptr, &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    // The value may grow between the two reads; a larger one is read again.
    for (;;) {
        value.data.resize(size);
        const LONG error =
            RegQueryValueExW(m_key.Get(), name, nullptr, &value.type, value.data.data(), &size);
        if (error == ERROR_MORE_DATA) {
            continue;
        }
        if (error != ERROR_SUCCESS) {
            return std::nullopt;
        }
        value.data.resize(size);
        return value;
    }
}

std::vector<std::pair<std::wstring, RegistryValue>> CRegistryKey::Values() const {
    std::vector<std::pair<std::wstring, RegistryValue>> values;
    // Value names are at most 16383 characters. Name and data come in one call; a value larger
    // than the buffer is read again by its name.
    std::vector<wchar_t> name(16384);
    std::vector<BYTE> data(1024);
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        DWORD type = REG_NONE;
        DWORD size = static_cast<DWORD>(data.size());
        const LONG error = RegEnumValueW(m_key.Get(), index, name.data(), &length, nullptr, &type,
                                         data.data(), &size);
        if (error == ERROR_MORE_DATA) {
            length = static_cast<DWORD>(name.size());
            if (RegEnumValueW(m_key.Get(), index, name.data(), &length, nullptr, nullptr, nullptr,
                              nullptr) != ERROR_SUCCESS) {
                break;
            }
            const std::wstring text(name.data(), length);
            if (auto value = Value(text.c_str())) {
                values.emplace_back(text, std::move(*value));
            }
            continue;
        }
        if (error != ERROR_SUCCESS) {
            break;
        }
        values.emplace_back(
            std::wstring(name.data(), length),
            RegistryValue{type, std::vector<BYTE>(data.begin(), data.begin() + size)});
    }
    return values;
}

LONG CRegistryKey::SetValue(const wchar_t* name, const RegistryValue& value) {
    // RegSetValueEx counts a string's missing terminating null in when one follows the data in
    // memory; a non-null character there keeps the bytes exactly as given.
    std::vector<BYTE> data = value.data;
    data.insert(data.end(), {0xff, 0xff, 0xff});
    return RegSetValueExW(m_key.Get(), name, 0, value.type, data.data(),
                          static_cast<DWORD>(value.data.size()));
}

LONG CRegistryKey::DeleteValue(const wchar_t* name) {
    return RegDeleteValueW(m_key.Get(), name);
}

std::vector<std::wstring> CRegistryKey::SubkeyNames() const {
    std::vector<std::wstring> names;
    // Key names are at most 255 characters.
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        const LONG error =
            RegEnumKeyExW(m_key.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_MORE_DATA) {
            continue;
        }
        if (error != ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, length);
    }
    return names;
}

bool CRegistryKey::IsEmpty() const {
    DWORD subkeys = 0;
    DWORD values = 0;
    return RegQueryInfoKeyW(m_key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                            &values, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
           subkeys == 0 && values == 0;
}
