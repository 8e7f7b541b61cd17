#pragma once

#include "RegistryValue.h"

#include "Unique.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// Owns one open registry key.
class CRegistryKey {
public:
    // Each returns the system's error code; on failure the key is left closed.
    LONG Open(HKEY parent, const std::wstring& path, REGSAM access);
    LONG Create(HKEY parent, const std::wstring& path, REGSAM access);

    HKEY Get() const { return m_key.Get(); }
    explicit operator bool() const { return static_cast<bool>(m_key); }

    // Any value exactly as stored; nothing when absent.
    std::optional<RegistryValue> Value(const wchar_t* name) const;
    // Every value of the key, by name.
    std::vector<std::pair<std::wstring, RegistryValue>> Values() const;

    LONG SetValue(const wchar_t* name, const RegistryValue& value);
    LONG DeleteValue(const wchar_t* name);

    std::vector<std::wstring> SubkeyNames() const;
    // No values and no subkeys.
    bool IsEmpty() const;

private:
    win::UniqueKey m_key;
};
