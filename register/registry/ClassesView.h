#pragma once

#include "Registry.h"

#include <functional>
#include <map>
#include <optional>
#include <string>

// Reads through to a registry once per key and keeps what it read, so that one command works on
// one state of each key, and can tell before it writes whether any of them changed since.
class CRegistryReader {
public:
    explicit CRegistryReader(const IRegistry& registry) : m_registry(registry) {}

    const std::optional<Values>& Read(const KeyName& key) const;
    std::vector<std::wstring> Subkeys(const KeyName& key) const { return m_registry.Subkeys(key); }

    // The first of these keys, read before, that no longer holds what was read, if any.
    std::optional<KeyName> Changed(const std::vector<KeyName>& keys) const;
    // The first key read that the user may not read: what is below it is unknown, not absent.
    const std::optional<KeyName>& Denied() const { return m_denied; }

private:
    const IRegistry& m_registry;
    mutable std::map<KeyName, std::optional<Values>> m_read;
    mutable std::optional<KeyName> m_denied;
};

// A braced GUID in canonical (upper-case) form, or empty.
std::wstring CanonicalGuid(const std::wstring& text);

inline REGSAM OtherView(REGSAM view) {
    return view == KEY_WOW64_64KEY ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
}
inline const wchar_t* Bits(REGSAM view) {
    return view == KEY_WOW64_64KEY ? L"64-bit" : L"32-bit";
}
// The view whose classes a process of that machine reads, if it is one Windows runs.
std::optional<REGSAM> ViewOf(WORD machine);
// As the messages name it: 32-bit (x86), 64-bit (ARM64), of machine 0x01C4.
std::wstring MachineName(WORD machine);

// HKEY_CLASSES_ROOT of one registry view as "Merged View of HKEY_CLASSES_ROOT" documents it: a
// key of HKCU\Software\Classes hides HKLM's key of the same name with all of its contents. The
// unit is a top-level key (a ProgID) or, under CLSID, AppID, Interface and TypeLib, one of their
// subkeys (one class).
class CClassesView {
public:
    // view: KEY_WOW64_32KEY or KEY_WOW64_64KEY.
    CClassesView(const CRegistryReader& reader, REGSAM view) : m_reader(reader), m_view(view) {}

    REGSAM View() const { return m_view; }
    const CRegistryReader& Reader() const { return m_reader; }
    // The root whose key the merged view shows for path, when it shows one.
    std::optional<Root> Find(const std::wstring& path) const;
    // The key's values as the merged view shows them; nothing when it shows no such key.
    std::optional<Values> Read(const std::wstring& path) const;
    // A value as stored; nothing when absent.
    std::optional<RegistryValue> Value(const std::wstring& path, const std::wstring& name) const;
    // A string value (REG_SZ or REG_EXPAND_SZ, as stored); nothing when absent or of another type.
    std::optional<std::wstring> String(const std::wstring& path, const std::wstring& name) const;
    KeyName Key(Root root, const std::wstring& path) const { return {root, m_view, path}; }
    // Every class the merged view shows, once: its CLSID in canonical form and its key's root.
    void ForEachClass(const std::function<void(const std::wstring& clsid, Root root)>& visit) const;

private:
    const CRegistryReader& m_reader;
    REGSAM m_view;
};
