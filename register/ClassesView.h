#pragma once

#include "RegistryKey.h"

#include <windows.h>

#include <functional>
#include <string>

// A braced GUID in canonical (upper-case) form, or empty.
std::wstring CanonicalGuid(const std::wstring& text);

// HKEY_CLASSES_ROOT of one registry view as the runtime reads it: HKEY_CURRENT_USER's
// Software\Classes over HKEY_LOCAL_MACHINE's, key by key, so that a partial HKCU key hides only
// what it holds.
class CClassesView {
public:
    static constexpr size_t kNowhere = 2;

    // view: KEY_WOW64_32KEY or KEY_WOW64_64KEY.
    explicit CClassesView(REGSAM view);

    REGSAM View() const { return m_view; }
    // 0: HKCU\Software\Classes, 1: HKLM\Software\Classes; nullptr when missing.
    HKEY Root(size_t index) const { return m_roots[index].Get(); }
    static const wchar_t* RootName(size_t index) { return index == 0 ? L"HKCU" : L"HKLM"; }

    // Opens a key from the first root that has it: that root's index, or kNowhere.
    size_t Open(const std::wstring& path, REGSAM access, CRegistryKey& key) const;
    // Every class of the view once: its CLSID in canonical form and the root of its class key.
    void
    ForEachClass(const std::function<void(const std::wstring& clsid, size_t root)>& visit) const;

private:
    REGSAM m_view;
    CRegistryKey m_roots[2];
};
