#pragma once

#include "Files.h"
#include "Registry.h"

#include <map>
#include <set>
#include <string>

// The registry as 64-bit Windows 7 and later have it, in memory ("Registry Keys Affected by
// WOW64"): HKCU's and HKLM's Software\Classes in both views, of which only CLSID and Interface are
// kept per view; AppID, TypeLib, ProgIDs and the rest are one key for both. Key and value names are
// compared without regard to case; bytes are stored exactly.
class CRegistryModel : public IRegistry {
public:
    std::optional<Values> Read(const KeyName& key, LONG* error = nullptr) const override;
    std::vector<std::wstring> Subkeys(const KeyName& key) const override;
    LONG CheckWrite(const KeyName& key) const override;
    LONG Set(const KeyName& key, const std::wstring& name, const RegistryValue& value) override;
    LONG Delete(const KeyName& key, const std::wstring& name) override;
    LONG DeleteKeyIfEmpty(const KeyName& key) override;
    bool TwoViews() const override { return true; }

    void CreateKey(const KeyName& key);
    // The key and everything below it.
    void DeleteTree(const KeyName& key);
    // Set and CheckWrite answer ERROR_ACCESS_DENIED for the key.
    void MakeReadOnly(const KeyName& key) { m_readOnly.insert(Id(key)); }
    // Read answers ERROR_ACCESS_DENIED for the key.
    void MakeUnreadable(const KeyName& key) { m_unreadable.insert(Id(key)); }
    // Every key and value, as text that two states compare by.
    std::wstring Dump() const;

private:
    struct Key {
        KeyName name;
        Values values;
    };
    using KeyId = std::pair<REGSAM, std::wstring>; // the view (0 for shared keys) and the
                                                   // upper-case path from the root's name
    KeyId Id(const KeyName& key) const;

    std::map<KeyId, Key> m_keys;
    std::set<KeyId> m_readOnly;
    std::set<KeyId> m_unreadable;
};

// A file system of named files: each path (compared without regard to case) names a file, and
// paths given the same file are one file, as an 8.3 name and its long name are.
class CFilesModel : public IFiles {
public:
    void Add(const std::wstring& path, const std::wstring& file = {});
    void Remove(const std::wstring& path) { m_files.erase(Upper(path)); }
    // A PE image of that machine (a DLL unless said otherwise), and the interfaces its type
    // library gives classes, if any.
    void AddImage(const std::wstring& path, WORD machine,
                  std::map<std::wstring, std::vector<ClassInterface>> classes = {},
                  PeImage image = {0, true, false});

    bool Exists(const std::wstring& path) const override;
    std::wstring FullPath(const std::wstring& path) const override { return path; }
    bool Same(const std::wstring& a, const std::wstring& b) const override;
    std::vector<std::wstring> Names(const std::wstring& path) const override;
    // A bare name is looked for in C:\windows\system32 only.
    std::wstring Resolve(const CModulePath& module) const override;
    PeImage Image(const std::wstring& path) const override;
    std::optional<std::vector<ClassInterface>> Interfaces(const std::wstring& path,
                                                          const std::wstring& clsid) const override;

private:
    struct Module {
        PeImage image;
        std::map<std::wstring, std::vector<ClassInterface>> classes; // by upper-case CLSID
    };
    static std::wstring Upper(std::wstring text);
    std::map<std::wstring, std::pair<std::wstring, std::wstring>> m_files; // path: (as given, file)
    std::map<std::wstring, Module> m_images;                               // by file
};
