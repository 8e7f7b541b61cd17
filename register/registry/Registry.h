#pragma once

#include "RegistryValue.h"

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

// The two roots that HKEY_CLASSES_ROOT merges: HKCU\Software\Classes over HKLM\Software\Classes.
enum class Root { kUser, kMachine };

inline const wchar_t* RootName(Root root) {
    return root == Root::kUser ? L"HKCU" : L"HKLM";
}

// A key below one root's Software\Classes, in one registry view (KEY_WOW64_32KEY or
// KEY_WOW64_64KEY).
struct KeyName {
    Root root;
    REGSAM view;
    std::wstring path;

    bool operator<(const KeyName& other) const;
    std::wstring Text() const; // as the messages show it: HKLM\Software\Classes\...
};

using Values = std::vector<std::pair<std::wstring, RegistryValue>>;

// One change to a key: a value set or deleted, or the key deleted if it is left empty.
struct RegistryWrite {
    enum Kind { kSet, kDelete, kDeleteKeyIfEmpty };
    Kind kind;
    KeyName key;
    std::wstring name = {};
    RegistryValue value = {}; // for kSet
};

// Whether two registry names (of keys, values, paths) are the same, without regard to case, as the
// registry compares them.
bool SameName(const std::wstring& a, const std::wstring& b);
bool StartsWithName(const std::wstring& text, const std::wstring& prefix);

// The value of that name, the default value being "", without regard to case.
std::optional<RegistryValue> ValueOf(const Values& values, const std::wstring& name);

// What the registration tool reads and writes: the real registry, or a model of it in the tests.
class IRegistry {
public:
    virtual ~IRegistry() = default;

    // Every value of the key; nothing when there is no such key or it cannot be read, and then
    // the system's error in error (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ...).
    virtual std::optional<Values> Read(const KeyName& key, LONG* error = nullptr) const = 0;
    virtual std::vector<std::wstring> Subkeys(const KeyName& key) const = 0;
    // ERROR_SUCCESS when the key's values may be set and deleted (or, where the key is missing,
    // the key may be created).
    virtual LONG CheckWrite(const KeyName& key) const = 0;
    // Each creates what is missing above it, stores the bytes exactly, and counts a value or key
    // that is already gone as deleted.
    virtual LONG Set(const KeyName& key, const std::wstring& name, const RegistryValue& value) = 0;
    virtual LONG Delete(const KeyName& key, const std::wstring& name) = 0;
    virtual LONG DeleteKeyIfEmpty(const KeyName& key) = 0;
    // Whether there are two views, as on 64-bit Windows: from Windows 7 on, they share every key
    // of Classes but CLSID and Interface ("Registry Keys Affected by WOW64").
    virtual bool TwoViews() const = 0;
};

// The registry of this machine and user.
class CWinRegistry : public IRegistry {
public:
    std::optional<Values> Read(const KeyName& key, LONG* error = nullptr) const override;
    std::vector<std::wstring> Subkeys(const KeyName& key) const override;
    LONG CheckWrite(const KeyName& key) const override;
    LONG Set(const KeyName& key, const std::wstring& name, const RegistryValue& value) override;
    LONG Delete(const KeyName& key, const std::wstring& name) override;
    LONG DeleteKeyIfEmpty(const KeyName& key) override;
    bool TwoViews() const override;
};
