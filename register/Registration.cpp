#include "Registration.h"

#include <objbase.h>

#include <algorithm>
#include <set>

namespace {

// What add did, so that remove can undo exactly that. In a class key: "AppID" when add created
// the class's AppID value. In an AppID key, a multi-string: how DllSurrogate was before the first
// add (one of the markers below), then the classes that rely on the change.
constexpr const wchar_t* kUndo = L"PelmoraRegisterUndo";
constexpr const wchar_t* kCreatedAppId = L"AppID";
constexpr const wchar_t* kWasNoKey = L"no-key";
constexpr const wchar_t* kWasNoValue = L"no-value";
constexpr const wchar_t* kWasString = L"string:";       // followed by the prior REG_SZ text
constexpr const wchar_t* kWasExpandString = L"expand:"; // followed by the prior REG_EXPAND_SZ

#ifdef _WIN64
constexpr const wchar_t* kView = L"64-bit";
constexpr const wchar_t* kRegsvr32 = L"the 64-bit regsvr32 (%SystemRoot%\\System32\\regsvr32.exe)";
#else
constexpr const wchar_t* kView = L"32-bit";
constexpr const wchar_t* kRegsvr32 =
    L"the 32-bit regsvr32 (%SystemRoot%\\SysWOW64\\regsvr32.exe on 64-bit Windows)";
#endif

bool SameText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

// A braced GUID in canonical (upper-case) form, or empty.
std::wstring CanonicalGuid(const std::wstring& text) {
    if (text.size() != 38 || text.front() != L'{' || text.back() != L'}') {
        return {};
    }
    GUID guid = {};
    if (FAILED(IIDFromString(text.c_str(), &guid))) {
        return {};
    }
    wchar_t canonical[40] = {};
    StringFromGUID2(guid, canonical, 40);
    return canonical;
}

std::wstring Expand(const std::wstring& text) {
    const DWORD size = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (size == 0) {
        return text;
    }
    std::wstring expanded(size, L'\0');
    const DWORD length = ExpandEnvironmentStringsW(text.c_str(), &expanded[0], size);
    if (length == 0 || length > size) {
        return text;
    }
    expanded.resize(length - 1);
    return expanded;
}

std::wstring FullPath(const std::wstring& path) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        return path;
    }
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
    if (length == 0 || length >= size) {
        return path;
    }
    full.resize(length);
    return full;
}

// A registered path as a program would use it: without surrounding blanks and quotes, with
// environment variables expanded.
std::wstring RegisteredPath(std::wstring text) {
    const auto first = text.find_first_not_of(L" \t");
    const auto last = text.find_last_not_of(L" \t");
    text = first == std::wstring::npos ? std::wstring() : text.substr(first, last - first + 1);
    if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"') {
        text = text.substr(1, text.size() - 2);
    }
    return Expand(text);
}

std::wstring FileName(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Whether two paths name one file; file system redirection applies to both alike, as it does to
// the host that loads the DLL.
bool SameFile(const std::wstring& a, const std::wstring& b) {
    auto identity = [](const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
        const HANDLE file =
            CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        const bool known = GetFileInformationByHandle(file, &info) != FALSE;
        CloseHandle(file);
        return known;
    };
    BY_HANDLE_FILE_INFORMATION infoA = {};
    BY_HANDLE_FILE_INFORMATION infoB = {};
    if (identity(a, infoA) && identity(b, infoB)) {
        return infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
               infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
               infoA.nFileIndexLow == infoB.nFileIndexLow;
    }
    return SameText(FullPath(a), FullPath(b));
}

std::wstring SystemDirectory() {
    wchar_t directory[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(directory, length);
}

std::wstring ErrorText(LONG error) {
    if (error == ERROR_ACCESS_DENIED) {
        return L"access denied";
    }
    return L"system error " + std::to_wstring(error);
}

} // namespace

CRegistrar::CRegistrar(REGSAM view, std::wstring hostPath, Print out, Print error)
    : m_view(view), m_hostPath(std::move(hostPath)), m_out(std::move(out)),
      m_error(std::move(error)) {
    // DllSurrogate starts a command line: unquoted, "C:\Program Files\..." may start C:\Program.
    m_hostValue =
        m_hostPath.find(L' ') == std::wstring::npos ? m_hostPath : L"\"" + m_hostPath + L"\"";
    m_roots[0].Open(HKEY_CURRENT_USER, L"Software\\Classes", KEY_READ | m_view);
    m_roots[1].Open(HKEY_LOCAL_MACHINE, L"Software\\Classes", KEY_READ | m_view);
}

HKEY CRegistrar::Root(size_t index) const {
    return m_roots[index].Get();
}

int CRegistrar::Fail(const Refusal& refusal) const {
    m_error(L"pelmora-register: " + refusal.reason);
    return refusal.code;
}

bool CRegistrar::IsThisHost(const std::wstring& surrogate) const {
    const std::wstring path = RegisteredPath(surrogate);
    return !path.empty() && SameText(FullPath(path), m_hostPath);
}

std::wstring CRegistrar::Describe(const Class& cls) const {
    CRegistryKey progId;
    progId.Open(Root(cls.root), L"CLSID\\" + cls.clsid + L"\\ProgID", KEY_READ | m_view);
    const auto name = progId ? progId.String(nullptr) : std::nullopt;
    return name && !name->empty() ? cls.clsid + L" " + *name : cls.clsid;
}

std::wstring CRegistrar::AppIdOf(const Class& cls) const {
    CRegistryKey key;
    key.Open(Root(cls.root), L"CLSID\\" + cls.clsid, KEY_READ | m_view);
    const auto appId = key ? key.String(L"AppID") : std::nullopt;
    return appId ? *appId : cls.clsid;
}

CRegistrar::Refusal CRegistrar::ResolveClsid(const std::wstring& clsid,
                                             std::vector<Class>& classes) const {
    for (size_t root = 0; root < 2; ++root) {
        CRegistryKey key;
        if (Root(root) != nullptr &&
            key.Open(Root(root), L"CLSID\\" + clsid, KEY_READ | m_view) == ERROR_SUCCESS) {
            classes.push_back({clsid, root});
            return {};
        }
    }
    return {kExitNotRegistered, clsid + L" is not registered in the " + kView +
                                    L" registry view: run " + kRegsvr32 + L" on its DLL first"};
}

CRegistrar::Refusal CRegistrar::ResolveProgId(const std::wstring& progId,
                                              std::vector<Class>& classes) const {
    for (size_t root = 0; root < 2; ++root) {
        if (Root(root) == nullptr) {
            continue;
        }
        CRegistryKey key;
        if (key.Open(Root(root), progId + L"\\CLSID", KEY_READ | m_view) != ERROR_SUCCESS) {
            // A version-independent ProgID may name its current version instead.
            CRegistryKey current;
            current.Open(Root(root), progId + L"\\CurVer", KEY_READ | m_view);
            const auto version = current ? current.String(nullptr) : std::nullopt;
            if (!version || version->empty() ||
                key.Open(Root(root), *version + L"\\CLSID", KEY_READ | m_view) != ERROR_SUCCESS) {
                continue;
            }
        }
        const std::wstring clsid = CanonicalGuid(key.String(nullptr).value_or(L""));
        if (!clsid.empty()) {
            return ResolveClsid(clsid, classes);
        }
    }
    return {kExitNotRegistered, L"the ProgID " + progId + L" is not registered in the " + kView +
                                    L" registry view: run " + kRegsvr32 + L" on its DLL first"};
}

void CRegistrar::ForEachClass(const ClassVisitor& visit) const {
    std::set<std::wstring> seen;
    for (size_t root = 0; root < 2; ++root) {
        CRegistryKey all;
        if (Root(root) == nullptr || all.Open(Root(root), L"CLSID", KEY_READ | m_view) != 0) {
            continue;
        }
        for (const std::wstring& subkey : all.SubkeyNames()) {
            const std::wstring clsid = CanonicalGuid(subkey);
            // HKCR shows a class registered in both roots as the HKCU one.
            if (!clsid.empty() && seen.insert(clsid).second) {
                visit(root, all.Get(), subkey, clsid);
            }
        }
    }
}

CRegistrar::Refusal CRegistrar::ResolveDll(const std::wstring& path,
                                           std::vector<Class>& classes) const {
    const std::wstring dll = FullPath(path);
    if (GetFileAttributesW(dll.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return {kExitNotRegistered, L"there is no file " + dll};
    }
    const std::wstring name = FileName(dll);
    const std::wstring systemDirectory = SystemDirectory();
    const size_t before = classes.size();
    ForEachClass([&](size_t root, HKEY all, const std::wstring& subkey, const std::wstring& clsid) {
        CRegistryKey server;
        if (server.Open(all, subkey + L"\\InprocServer32", KEY_READ | m_view) != 0) {
            return;
        }
        std::wstring registered = RegisteredPath(server.String(nullptr).value_or(L""));
        // Only files of the same name are worth opening.
        if (registered.empty() || !SameText(FileName(registered), name)) {
            return;
        }
        // A bare name loads from the system directory.
        if (registered == FileName(registered)) {
            registered = systemDirectory + L"\\" + registered;
        }
        if (SameFile(registered, dll)) {
            classes.push_back({clsid, root});
        }
    });
    if (classes.size() == before) {
        return {kExitNotRegistered,
                L"no class in the " + std::wstring(kView) + L" registry view has " + dll +
                    L" as its InprocServer32: run " + kRegsvr32 + L" on it first"};
    }
    return {};
}

CRegistrar::Refusal CRegistrar::Resolve(const std::vector<std::wstring>& targets,
                                        std::vector<Class>& classes) const {
    for (const std::wstring& target : targets) {
        Refusal refusal;
        if (!target.empty() && target.front() == L'{') {
            const std::wstring clsid = CanonicalGuid(target);
            refusal = clsid.empty() ? Refusal{kExitNotRegistered, target + L" is not a CLSID"}
                                    : ResolveClsid(clsid, classes);
        } else if (target.find_first_of(L"\\/:") != std::wstring::npos ||
                   SameText(target.substr(target.size() < 4 ? 0 : target.size() - 4), L".dll")) {
            refusal = ResolveDll(target, classes);
        } else if (target.empty()) {
            refusal = {kExitNotRegistered, L"an empty target names no class"};
        } else {
            refusal = ResolveProgId(target, classes);
        }
        if (refusal.code != kExitOk) {
            return refusal;
        }
    }
    // A class named twice is handled once.
    std::vector<Class> unique;
    for (const Class& cls : classes) {
        if (std::none_of(unique.begin(), unique.end(),
                         [&](const Class& other) { return other.clsid == cls.clsid; })) {
            unique.push_back(cls);
        }
    }
    classes.swap(unique);
    return {};
}

CRegistrar::Refusal CRegistrar::CheckAdd(const Class& cls, bool force) const {
    CRegistryKey key;
    key.Open(Root(cls.root), L"CLSID\\" + cls.clsid, KEY_READ | m_view);
    CRegistryKey server;
    if (server.Open(key.Get(), L"LocalServer32", KEY_READ | m_view) == ERROR_SUCCESS) {
        return {kExitLocalServer, Describe(cls) +
                                      L" has LocalServer32: the COM runtime would start that "
                                      L"program, not the host"};
    }
    if (server.Open(key.Get(), L"InprocServer32", KEY_READ | m_view) != ERROR_SUCCESS) {
        return {kExitNotRegistered, Describe(cls) + L" has no InprocServer32 in the " + kView +
                                        L" registry view: run " + kRegsvr32 + L" on its DLL first"};
    }
    const auto appIdValue = key.String(L"AppID");
    if (appIdValue && CanonicalGuid(*appIdValue).empty()) {
        return {kExitFailed, Describe(cls) + L" has an AppID that is not a GUID: " + *appIdValue};
    }
    const std::wstring appId = appIdValue ? *appIdValue : cls.clsid;
    CRegistryKey app;
    app.Open(Root(cls.root), L"AppID\\" + appId, KEY_READ | m_view);
    const auto surrogate = app ? app.String(L"DllSurrogate") : std::nullopt;
    if (surrogate && !IsThisHost(*surrogate) && !force) {
        const std::wstring other = RegisteredPath(*surrogate).empty()
                                       ? std::wstring(L"the system's default surrogate")
                                       : *surrogate;
        return {kExitOtherHost, Describe(cls) + L": its AppID " + appId +
                                    L" already has another host, " + other +
                                    L" (--force replaces it)"};
    }
    return {};
}

CRegistrar::Refusal CRegistrar::CheckWritable(const Class& cls) const {
    const REGSAM write = KEY_READ | KEY_SET_VALUE | m_view;
    CRegistryKey key;
    LONG error = key.Open(Root(cls.root), L"CLSID\\" + cls.clsid, write);
    if (error == ERROR_SUCCESS) {
        CRegistryKey app;
        error = app.Open(Root(cls.root), L"AppID\\" + AppIdOf(cls), write | DELETE);
        if (error == ERROR_FILE_NOT_FOUND) {
            // The key is created under AppID, or AppID under the root.
            error = app.Open(Root(cls.root), L"AppID", KEY_CREATE_SUB_KEY | m_view);
            if (error == ERROR_FILE_NOT_FOUND) {
                error = app.Open(Root(cls.root), L"", KEY_CREATE_SUB_KEY | m_view);
            }
        }
    }
    if (error == ERROR_ACCESS_DENIED) {
        return {kExitAccessDenied, Describe(cls) + L": no right to change its registration (" +
                                       (cls.root == 0 ? L"HKCU" : L"HKLM") +
                                       L"); run this from an elevated prompt (as administrator)"};
    }
    if (error != ERROR_SUCCESS) {
        return {kExitFailed, Describe(cls) + L": " + ErrorText(error)};
    }
    return {};
}

LONG CRegistrar::ApplyAdd(const Class& cls, bool& changed) {
    const REGSAM write = KEY_READ | KEY_SET_VALUE | m_view;
    CRegistryKey key;
    LONG error = key.Open(Root(cls.root), L"CLSID\\" + cls.clsid, write);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    const auto appIdValue = key.String(L"AppID");
    const std::wstring appId = appIdValue ? *appIdValue : cls.clsid;
    bool createdKey = false;
    CRegistryKey app;
    error = app.Create(Root(cls.root), L"AppID\\" + appId, write, &createdKey);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    DWORD type = REG_SZ;
    const auto surrogate = app.String(L"DllSurrogate", &type);
    std::vector<std::wstring> record = app.MultiString(kUndo);
    const bool listed = std::any_of(record.begin() + (record.empty() ? 0 : 1), record.end(),
                                    [&](const std::wstring& c) { return SameText(c, cls.clsid); });
    if (!surrogate || !IsThisHost(*surrogate)) {
        // The record goes first: interrupted, remove still knows what to undo.
        if (record.empty()) {
            record.push_back(createdKey              ? kWasNoKey
                             : !surrogate            ? kWasNoValue
                             : type == REG_EXPAND_SZ ? std::wstring(kWasExpandString) + *surrogate
                                                     : std::wstring(kWasString) + *surrogate);
        }
        if (!listed) {
            record.push_back(cls.clsid);
        }
        error = app.SetMultiString(kUndo, record);
        if (error == ERROR_SUCCESS) {
            error = app.SetString(L"DllSurrogate", m_hostValue);
        }
        changed = true;
    } else if (!record.empty() && !listed) {
        // Shared with classes added before: this one keeps the host too until it is removed.
        record.push_back(cls.clsid);
        error = app.SetMultiString(kUndo, record);
        changed = true;
    }
    if (error == ERROR_SUCCESS && !appIdValue) {
        error = key.SetString(kUndo, kCreatedAppId);
        if (error == ERROR_SUCCESS) {
            error = key.SetString(L"AppID", appId);
        }
        changed = true;
    }
    return error;
}

LONG CRegistrar::ApplyRemove(const Class& cls, bool& changed) {
    const REGSAM write = KEY_READ | KEY_SET_VALUE | m_view;
    CRegistryKey key;
    LONG error = key.Open(Root(cls.root), L"CLSID\\" + cls.clsid, write);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    const auto appIdValue = key.String(L"AppID");
    const std::wstring appId = appIdValue ? *appIdValue : cls.clsid;
    CRegistryKey app;
    error = app.Open(Root(cls.root), L"AppID\\" + appId, write | DELETE);
    if (error == ERROR_SUCCESS) {
        std::vector<std::wstring> record = app.MultiString(kUndo);
        const auto listed =
            std::find_if(record.begin() + (record.empty() ? 0 : 1), record.end(),
                         [&](const std::wstring& c) { return SameText(c, cls.clsid); });
        if (listed != record.end()) {
            changed = true;
            record.erase(listed);
            if (record.size() > 1) {
                error = app.SetMultiString(kUndo, record);
            } else {
                const std::wstring was = record.empty() ? kWasNoValue : record.front();
                // A host set by someone else since is theirs to keep.
                const auto surrogate = app.String(L"DllSurrogate");
                if (surrogate && IsThisHost(*surrogate)) {
                    if (StartsWith(was, kWasString)) {
                        error = app.SetString(L"DllSurrogate", was.substr(wcslen(kWasString)));
                    } else if (StartsWith(was, kWasExpandString)) {
                        error = app.SetString(L"DllSurrogate", was.substr(wcslen(kWasExpandString)),
                                              REG_EXPAND_SZ);
                    } else {
                        error = app.DeleteValue(L"DllSurrogate");
                    }
                }
                if (error == ERROR_SUCCESS) {
                    error = app.DeleteValue(kUndo);
                }
                if (error == ERROR_SUCCESS && was == kWasNoKey && app.IsEmpty()) {
                    app = CRegistryKey();
                    error =
                        RegDeleteKeyExW(Root(cls.root), (L"AppID\\" + appId).c_str(), m_view, 0);
                }
            }
        }
    } else if (error == ERROR_FILE_NOT_FOUND) {
        error = ERROR_SUCCESS;
    }
    if (error == ERROR_SUCCESS && key.String(kUndo) == std::wstring(kCreatedAppId)) {
        changed = true;
        error = key.DeleteValue(L"AppID");
        if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) {
            error = key.DeleteValue(kUndo);
        }
    }
    return error;
}

int CRegistrar::Add(const std::vector<std::wstring>& targets, bool force) {
    if (GetFileAttributesW(m_hostPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return Fail({kExitFailed, L"the host " + m_hostPath + L" is missing"});
    }
    std::vector<Class> classes;
    Refusal refusal = Resolve(targets, classes);
    for (size_t i = 0; refusal.code == kExitOk && i < classes.size(); ++i) {
        refusal = CheckAdd(classes[i], force);
        if (refusal.code == kExitOk) {
            refusal = CheckWritable(classes[i]);
        }
    }
    if (refusal.code != kExitOk) {
        return Fail(refusal);
    }
    for (const Class& cls : classes) {
        bool changed = false;
        const LONG error = ApplyAdd(cls, changed);
        if (error != ERROR_SUCCESS) {
            return Fail({error == ERROR_ACCESS_DENIED ? kExitAccessDenied : kExitFailed,
                         Describe(cls) + L": " + ErrorText(error)});
        }
        m_out((changed ? L"added: " : L"already added: ") + Describe(cls) + L" -> " + m_hostValue);
    }
    return kExitOk;
}

int CRegistrar::Remove(const std::vector<std::wstring>& targets) {
    std::vector<Class> classes;
    Refusal refusal = Resolve(targets, classes);
    for (size_t i = 0; refusal.code == kExitOk && i < classes.size(); ++i) {
        refusal = CheckWritable(classes[i]);
    }
    if (refusal.code != kExitOk) {
        return Fail(refusal);
    }
    for (const Class& cls : classes) {
        bool changed = false;
        const LONG error = ApplyRemove(cls, changed);
        if (error != ERROR_SUCCESS) {
            return Fail({error == ERROR_ACCESS_DENIED ? kExitAccessDenied : kExitFailed,
                         Describe(cls) + L": " + ErrorText(error)});
        }
        m_out((changed ? L"removed: " : L"nothing to remove, not added by pelmora-register: ") +
              Describe(cls));
    }
    return kExitOk;
}

int CRegistrar::List() {
    size_t count = 0;
    ForEachClass([&](size_t root, HKEY all, const std::wstring& subkey, const std::wstring& clsid) {
        CRegistryKey key;
        key.Open(all, subkey, KEY_READ | m_view);
        const auto appId = key ? key.String(L"AppID") : std::nullopt;
        if (!appId) {
            return;
        }
        CRegistryKey app;
        app.Open(Root(root), L"AppID\\" + *appId, KEY_READ | m_view);
        const auto surrogate = app ? app.String(L"DllSurrogate") : std::nullopt;
        if (surrogate && IsThisHost(*surrogate)) {
            m_out(Describe({clsid, root}));
            ++count;
        }
    });
    if (count == 0) {
        m_out(std::wstring(L"no class in the ") + kView + L" registry view is served by " +
              m_hostPath);
    }
    return kExitOk;
}
