#include "Registration.h"

#include "ModulePath.h"

#include <algorithm>

namespace {

// In a class key, "AppID" when add created the class's AppID value. The AppID key's records are
// CSurrogateUndo's.
constexpr const wchar_t* kUndo = L"PelmoraRegisterUndo";
constexpr const wchar_t* kCreatedAppId = L"AppID";

#ifdef _WIN64
constexpr const wchar_t* kView = L"64-bit";
constexpr const wchar_t* kRegsvr32 = L"the 64-bit regsvr32 (%SystemRoot%\\System32\\regsvr32.exe)";
#else
constexpr const wchar_t* kView = L"32-bit";
constexpr const wchar_t* kRegsvr32 =
    L"the 32-bit regsvr32 (%SystemRoot%\\SysWOW64\\regsvr32.exe on 64-bit Windows)";
#endif

const wchar_t* ViewName(REGSAM view) {
    return view == KEY_WOW64_64KEY ? L"64-bit" : L"32-bit";
}

// The AppID keys are shared by both views on 64-bit Windows only.
bool HasOtherView() {
#ifdef _WIN64
    return true;
#else
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
#endif
}

bool SameText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring ErrorText(LONG error) {
    if (error == ERROR_ACCESS_DENIED) {
        return L"access denied";
    }
    return L"system error " + std::to_wstring(error);
}

std::wstring TypeName(DWORD type) {
    switch (type) {
    case REG_NONE:
        return L"REG_NONE";
    case REG_SZ:
        return L"REG_SZ";
    case REG_EXPAND_SZ:
        return L"REG_EXPAND_SZ";
    case REG_BINARY:
        return L"REG_BINARY";
    case REG_DWORD:
        return L"REG_DWORD";
    case REG_MULTI_SZ:
        return L"REG_MULTI_SZ";
    case REG_QWORD:
        return L"REG_QWORD";
    default:
        return L"type " + std::to_wstring(type);
    }
}

// A DllSurrogate as the messages show it.
std::wstring Shown(const SurrogateState& state) {
    if (state.kind != SurrogateState::kValue) {
        return L"no DllSurrogate";
    }
    if (!state.value.IsString()) {
        return L"a " + TypeName(state.value.type) + L" value";
    }
    const std::wstring text = state.value.Text();
    return CModulePath(text).Text().empty() ? L"the system's default surrogate" : text;
}

// An AppID as the key of a session: keys are named without regard to case.
std::wstring AppIdName(const std::wstring& text) {
    const std::wstring guid = CanonicalGuid(text);
    return guid.empty() ? text : guid;
}

} // namespace

CRegistrar::CRegistrar(REGSAM view, std::wstring hostPath, Print out, Print error)
    : m_classes(view), m_hostPath(std::move(hostPath)), m_hostIdentity(m_hostPath),
      m_out(std::move(out)), m_error(std::move(error)) {
    // DllSurrogate starts a command line: unquoted, "C:\Program Files\..." may start C:\Program.
    m_hostValue =
        m_hostPath.find(L' ') == std::wstring::npos ? m_hostPath : L"\"" + m_hostPath + L"\"";
    if (HasOtherView()) {
        m_otherClasses.emplace(view == KEY_WOW64_64KEY ? KEY_WOW64_32KEY : KEY_WOW64_64KEY);
    }
}

int CRegistrar::Fail(const Refusal& refusal) const {
    m_error(L"pelmora-register: " + refusal.reason);
    return refusal.code;
}

// Whatever the path's form, and wherever this copy of the tool runs from.
bool CRegistrar::IsThisHost(const std::wstring& surrogate) const {
    const CModulePath path(surrogate);
    return !path.Text().empty() && CFileIdentity(path.Text()) == m_hostIdentity;
}

std::wstring CRegistrar::Describe(const CClassesView& classes, const std::wstring& clsid) const {
    CRegistryKey progId;
    classes.Open(L"CLSID\\" + clsid + L"\\ProgID", KEY_READ, progId);
    const auto name = progId ? progId.String(nullptr) : std::nullopt;
    return name && !name->empty() ? clsid + L" " + *name : clsid;
}

std::wstring CRegistrar::Describe(const Class& cls) const {
    return Describe(m_classes, cls.clsid);
}

std::wstring CRegistrar::AppIdOf(const Class& cls) const {
    CRegistryKey key;
    key.Open(Root(cls.root), L"CLSID\\" + cls.clsid, KEY_READ | m_classes.View());
    const auto appId = key ? key.String(L"AppID") : std::nullopt;
    return appId ? *appId : cls.clsid;
}

CRegistrar::AppIdKey CRegistrar::AppIdKeyOf(const Class& cls) const {
    const std::wstring appId = AppIdName(AppIdOf(cls));
    CRegistryKey key;
    const size_t root = m_classes.Open(L"AppID\\" + appId, KEY_READ, key);
    return {root == CClassesView::kNowhere ? cls.root : root, appId};
}

CSurrogateUndo& CRegistrar::UndoOf(Session& session, const AppIdKey& at) const {
    auto found = session.find(at);
    if (found == session.end()) {
        CRegistryKey key;
        const bool exists =
            Root(at.root) != nullptr && key.Open(Root(at.root), L"AppID\\" + at.appId,
                                                 KEY_READ | m_classes.View()) == ERROR_SUCCESS;
        found = session
                    .emplace(at, CSurrogateUndo(exists,
                                                exists ? key.Values() : CSurrogateUndo::Values()))
                    .first;
    }
    return found->second;
}

LONG CRegistrar::Store(const AppIdKey& at, CSurrogateUndo& undo) const {
    const std::wstring path = L"AppID\\" + at.appId;
    const REGSAM write = KEY_READ | KEY_SET_VALUE | DELETE | m_classes.View();
    CRegistryKey key;
    for (const CSurrogateUndo::Write& change : undo.Writes()) {
        LONG error = ERROR_SUCCESS;
        if (!key) {
            error = change.kind == CSurrogateUndo::Write::kSet
                        ? key.Create(Root(at.root), path, write)
                        : key.Open(Root(at.root), path, write);
            if (error == ERROR_FILE_NOT_FOUND) {
                continue; // nothing there to delete
            }
        }
        if (error == ERROR_SUCCESS) {
            switch (change.kind) {
            case CSurrogateUndo::Write::kSet:
                error = key.SetValue(change.name.c_str(), change.value);
                break;
            case CSurrogateUndo::Write::kDelete:
                error = key.DeleteValue(change.name.c_str());
                error = error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
                break;
            case CSurrogateUndo::Write::kDeleteKeyIfEmpty:
                if (key.IsEmpty()) {
                    key = CRegistryKey();
                    error = RegDeleteKeyExW(Root(at.root), path.c_str(), m_classes.View(), 0);
                }
                break;
            }
        }
        if (error != ERROR_SUCCESS) {
            return error;
        }
    }
    undo.Written();
    return ERROR_SUCCESS;
}

CRegistrar::Refusal CRegistrar::ResolveClsid(const std::wstring& clsid,
                                             std::vector<Class>& classes) const {
    CRegistryKey key;
    const size_t root = m_classes.Open(L"CLSID\\" + clsid, KEY_READ, key);
    if (root != CClassesView::kNowhere) {
        classes.push_back({clsid, root});
        return {};
    }
    return {kExitNotRegistered, clsid + L" is not registered in the " + kView +
                                    L" registry view: run " + kRegsvr32 + L" on its DLL first"};
}

CRegistrar::Refusal CRegistrar::ResolveProgId(const std::wstring& progId,
                                              std::vector<Class>& classes) const {
    CRegistryKey key;
    if (m_classes.Open(progId + L"\\CLSID", KEY_READ, key) == CClassesView::kNowhere) {
        // A version-independent ProgID may name its current version instead.
        CRegistryKey current;
        m_classes.Open(progId + L"\\CurVer", KEY_READ, current);
        const auto version = current ? current.String(nullptr) : std::nullopt;
        if (version && !version->empty()) {
            m_classes.Open(*version + L"\\CLSID", KEY_READ, key);
        }
    }
    const std::wstring clsid = key ? CanonicalGuid(key.String(nullptr).value_or(L"")) : L"";
    if (!clsid.empty()) {
        return ResolveClsid(clsid, classes);
    }
    return {kExitNotRegistered, L"the ProgID " + progId + L" is not registered in the " + kView +
                                    L" registry view: run " + kRegsvr32 + L" on its DLL first"};
}

CRegistrar::Refusal CRegistrar::ResolveDll(const std::wstring& path,
                                           std::vector<Class>& classes) const {
    const std::wstring dll = CFileIdentity::FullPath(path);
    if (GetFileAttributesW(dll.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return {kExitNotRegistered, L"there is no file " + dll};
    }
    const CFileIdentity target(dll);
    const size_t before = classes.size();
    std::wstring unresolved;
    m_classes.ForEachClass([&](const std::wstring& clsid, size_t root) {
        CRegistryKey server;
        if (m_classes.Open(L"CLSID\\" + clsid + L"\\InprocServer32", KEY_READ, server) ==
            CClassesView::kNowhere) {
            return;
        }
        const std::wstring registered = server.String(nullptr).value_or(L"");
        const CModulePath module(registered);
        // Only files of the same name, long or 8.3, are worth opening.
        const std::wstring name = module.FileName();
        if (module.Text().empty() ||
            std::none_of(target.Names().begin(), target.Names().end(),
                         [&](const std::wstring& own) { return SameText(own, name); })) {
            return;
        }
        const std::wstring file = module.Resolve();
        if (file.empty()) {
            if (unresolved.empty()) {
                unresolved = Describe({clsid, root}) + L" has " + registered +
                             L" as its InprocServer32, " +
                             (module.IsRelative()
                                  ? L"a path relative to a working directory"
                                  : L"which is neither in the system directory nor on PATH") +
                             L": it cannot be told whether that is " + dll +
                             L"; register the DLL by its full path, or name the class by its "
                             L"CLSID";
            }
            return;
        }
        if (CFileIdentity(file) == target) {
            classes.push_back({clsid, root});
        }
    });
    if (!unresolved.empty()) {
        return {kExitNotRegistered, unresolved};
    }
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

CRegistrar::Refusal CRegistrar::CheckAdd(const Class& cls) const {
    const std::wstring key = L"CLSID\\" + cls.clsid;
    CRegistryKey server;
    if (m_classes.Open(key + L"\\LocalServer32", KEY_READ, server) != CClassesView::kNowhere) {
        return {kExitLocalServer, Describe(cls) +
                                      L" has LocalServer32: the COM runtime would start that "
                                      L"program, not the host"};
    }
    if (m_classes.Open(key + L"\\InprocServer32", KEY_READ, server) == CClassesView::kNowhere) {
        return {kExitNotRegistered, Describe(cls) + L" has no InprocServer32 in the " + kView +
                                        L" registry view: run " + kRegsvr32 + L" on its DLL first"};
    }
    const std::wstring appId = AppIdOf(cls);
    if (CanonicalGuid(appId).empty()) {
        return {kExitFailed, Describe(cls) + L" has an AppID that is not a GUID: " + appId};
    }
    return {};
}

CRegistrar::Refusal CRegistrar::CheckWritable(const Class& cls) const {
    const REGSAM write = KEY_READ | KEY_SET_VALUE | m_classes.View();
    CRegistryKey key;
    LONG error = key.Open(Root(cls.root), L"CLSID\\" + cls.clsid, write);
    size_t root = cls.root;
    if (error == ERROR_SUCCESS) {
        const AppIdKey at = AppIdKeyOf(cls);
        root = at.root;
        CRegistryKey app;
        error = app.Open(Root(at.root), L"AppID\\" + at.appId, write | DELETE);
        if (error == ERROR_FILE_NOT_FOUND) {
            // The key is created under AppID, or AppID under the root.
            error = app.Open(Root(at.root), L"AppID", KEY_CREATE_SUB_KEY | m_classes.View());
            if (error == ERROR_FILE_NOT_FOUND) {
                error = app.Open(Root(at.root), L"", KEY_CREATE_SUB_KEY | m_classes.View());
            }
        }
    }
    if (error == ERROR_ACCESS_DENIED) {
        return {kExitAccessDenied, Describe(cls) + L": no right to change its registration (" +
                                       CClassesView::RootName(root) +
                                       L"); run this from an elevated prompt (as administrator)"};
    }
    if (error != ERROR_SUCCESS) {
        return {kExitFailed, Describe(cls) + L": " + ErrorText(error)};
    }
    return {};
}

const std::vector<CRegistrar::AppIdUser>& CRegistrar::AppIdUsers() const {
    if (!m_appIdUsers) {
        m_appIdUsers.emplace();
        for (const CClassesView* classes :
             {&m_classes, m_otherClasses ? &*m_otherClasses : nullptr}) {
            if (classes == nullptr) {
                continue;
            }
            classes->ForEachClass([&](const std::wstring& clsid, size_t root) {
                CRegistryKey key;
                key.Open(classes->Root(root), L"CLSID\\" + clsid, KEY_READ | classes->View());
                if (const auto appId = key ? key.String(L"AppID") : std::nullopt) {
                    m_appIdUsers->push_back({AppIdName(*appId), classes->View(), clsid});
                }
            });
        }
    }
    return *m_appIdUsers;
}

CSurrogateUndo::Outcome CRegistrar::AddTo(CSurrogateUndo& undo, const Class& cls,
                                          bool force) const {
    return undo.Add(
        kView, cls.clsid, RegistryValue::String(m_hostValue),
        [this](const RegistryValue& value) { return value.IsString() && IsThisHost(value.Text()); },
        force);
}

CRegistrar::Refusal CRegistrar::PlanAdd(Session& session, const Class& cls,
                                        const std::vector<Class>& classes, bool force) const {
    const AppIdKey at = AppIdKeyOf(cls);
    CSurrogateUndo& undo = UndoOf(session, at);
    const auto outcome = AddTo(undo, cls, force);
    if (outcome == CSurrogateUndo::Outcome::kOtherHost) {
        return {kExitOtherHost, Describe(cls) + L": its AppID " + at.appId +
                                    L" already has another host, " + Shown(undo.Current()) +
                                    L" (--force replaces it)"};
    }
    if (outcome == CSurrogateUndo::Outcome::kUnreadable) {
        return {kExitFailed,
                Describe(cls) + L": its undo record in AppID " + at.appId + L" cannot be read"};
    }
    if (outcome != CSurrogateUndo::Outcome::kAdded || force) {
        return {};
    }
    // A new DllSurrogate re-points every class of either view that uses the AppID.
    std::wstring others;
    for (const AppIdUser& user : AppIdUsers()) {
        const bool asked = user.view == m_classes.View() &&
                           std::any_of(classes.begin(), classes.end(), [&](const Class& target) {
                               return target.clsid == user.clsid;
                           });
        if (user.appId == at.appId && !asked) {
            const CClassesView& view = user.view == m_classes.View() ? m_classes : *m_otherClasses;
            others += (others.empty() ? L"" : L", ") + Describe(view, user.clsid) + L" (" +
                      ViewName(user.view) + L")";
        }
    }
    if (others.empty()) {
        return {};
    }
    return {kExitSharedAppId, Describe(cls) + L": its AppID " + at.appId + L" is also used by " +
                                  others +
                                  L", which add would point at this host too (--force does so)"};
}

CRegistrar::Refusal CRegistrar::PlanRemove(Session& session, const Class& cls, bool force) const {
    const AppIdKey at = AppIdKeyOf(cls);
    CSurrogateUndo& undo = UndoOf(session, at);
    const auto replaced = undo.Replaced(kView, cls.clsid);
    const auto outcome = undo.Remove(kView, cls.clsid, force);
    if (outcome == CSurrogateUndo::Outcome::kChangedSince) {
        return {kExitChangedSince,
                Describe(cls) + L": the DllSurrogate of its AppID " + at.appId +
                    L" was changed since add, to neither the host add wrote nor what it "
                    L"replaced; nothing changed (--force puts back what add replaced: " +
                    Shown(*replaced) + L")"};
    }
    if (outcome == CSurrogateUndo::Outcome::kUnreadable) {
        return {kExitFailed,
                Describe(cls) + L": its undo record in AppID " + at.appId + L" cannot be read"};
    }
    return {};
}

int CRegistrar::Add(const std::vector<std::wstring>& targets, bool force) {
    if (GetFileAttributesW(m_hostPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return Fail({kExitFailed, L"the host " + m_hostPath + L" is missing"});
    }
    std::vector<Class> classes;
    Refusal refusal = Resolve(targets, classes);
    // What add would do, worked out on a copy first.
    Session plan;
    for (size_t i = 0; refusal.code == kExitOk && i < classes.size(); ++i) {
        refusal = CheckAdd(classes[i]);
        if (refusal.code == kExitOk) {
            refusal = PlanAdd(plan, classes[i], classes, force);
        }
        if (refusal.code == kExitOk) {
            refusal = CheckWritable(classes[i]);
        }
    }
    if (refusal.code != kExitOk) {
        return Fail(refusal);
    }
    if (m_hostValue.size() > MAX_PATH) {
        m_error(L"pelmora-register: warning: the host's path as written, " + m_hostValue +
                L", is longer than MAX_PATH (" + std::to_wstring(MAX_PATH) +
                L" characters): Wine then starts its default surrogate instead");
    }
    Session session;
    for (const Class& cls : classes) {
        const AppIdKey at = AppIdKeyOf(cls);
        CSurrogateUndo& undo = UndoOf(session, at);
        const auto outcome = AddTo(undo, cls, force);
        bool changed = outcome == CSurrogateUndo::Outcome::kAdded ||
                       outcome == CSurrogateUndo::Outcome::kJoined;
        CRegistryKey key;
        LONG error = key.Open(Root(cls.root), L"CLSID\\" + cls.clsid,
                              KEY_READ | KEY_SET_VALUE | m_classes.View());
        const bool hadAppId = key && key.String(L"AppID");
        // The AppID key's record goes first: interrupted, remove still knows what to undo.
        if (error == ERROR_SUCCESS) {
            error = Store(at, undo);
        }
        if (error == ERROR_SUCCESS && !hadAppId) {
            error = key.SetString(kUndo, kCreatedAppId);
            if (error == ERROR_SUCCESS) {
                error = key.SetString(L"AppID", at.appId);
            }
            changed = true;
        }
        if (error != ERROR_SUCCESS) {
            return Fail({error == ERROR_ACCESS_DENIED ? kExitAccessDenied : kExitFailed,
                         Describe(cls) + L": " + ErrorText(error)});
        }
        m_out((changed ? L"added: " : L"already added: ") + Describe(cls) + L" -> " + m_hostValue);
    }
    return kExitOk;
}

int CRegistrar::Remove(const std::vector<std::wstring>& targets, bool force) {
    std::vector<Class> classes;
    Refusal refusal = Resolve(targets, classes);
    Session plan;
    for (size_t i = 0; refusal.code == kExitOk && i < classes.size(); ++i) {
        refusal = CheckWritable(classes[i]);
        if (refusal.code == kExitOk) {
            refusal = PlanRemove(plan, classes[i], force);
        }
    }
    if (refusal.code != kExitOk) {
        return Fail(refusal);
    }
    Session session;
    for (const Class& cls : classes) {
        const AppIdKey at = AppIdKeyOf(cls);
        CSurrogateUndo& undo = UndoOf(session, at);
        bool changed = undo.Remove(kView, cls.clsid, force) == CSurrogateUndo::Outcome::kRemoved;
        CRegistryKey key;
        LONG error = key.Open(Root(cls.root), L"CLSID\\" + cls.clsid,
                              KEY_READ | KEY_SET_VALUE | m_classes.View());
        // DllSurrogate is put back before its record goes.
        if (error == ERROR_SUCCESS) {
            error = Store(at, undo);
        }
        if (error == ERROR_SUCCESS && key.String(kUndo) == std::wstring(kCreatedAppId)) {
            changed = true;
            error = key.DeleteValue(L"AppID");
            if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) {
                error = key.DeleteValue(kUndo);
            }
        }
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
    m_classes.ForEachClass([&](const std::wstring& clsid, size_t root) {
        CRegistryKey key;
        key.Open(Root(root), L"CLSID\\" + clsid, KEY_READ | m_classes.View());
        const auto appId = key ? key.String(L"AppID") : std::nullopt;
        if (!appId) {
            return;
        }
        CRegistryKey app;
        m_classes.Open(L"AppID\\" + *appId, KEY_READ, app);
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
