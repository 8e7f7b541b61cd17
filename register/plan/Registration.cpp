#include "Registration.h"

#include "ModulePath.h"

#include <algorithm>

namespace {

// In a class key, "AppID" when add created the class's AppID value, which is then the class's own
// CLSID. The AppID key's records are CSurrogateUndo's, under the same name.
constexpr const wchar_t* kCreatedAppId = L"AppID";

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

const wchar_t* ViewNameOf(REGSAM view) {
    return view == KEY_WOW64_64KEY ? L"64-bit" : L"32-bit";
}

std::wstring Regsvr32(REGSAM view) {
    return view == KEY_WOW64_64KEY
               ? L"the 64-bit regsvr32 (%SystemRoot%\\System32\\regsvr32.exe)"
               : L"the 32-bit regsvr32 (%SystemRoot%\\SysWOW64\\regsvr32.exe on 64-bit Windows)";
}

} // namespace

CRegistrar::CRegistrar(IRegistry& registry, const IFiles& files, REGSAM view, std::wstring hostPath)
    : m_registry(registry), m_files(files), m_reader(registry), m_classes(m_reader, view),
      m_hostPath(std::move(hostPath)) {
    // DllSurrogate starts a command line: unquoted, "C:\Program Files\..." may start C:\Program.
    m_hostValue =
        m_hostPath.find(L' ') == std::wstring::npos ? m_hostPath : L"\"" + m_hostPath + L"\"";
    if (m_registry.SharesAppIds()) {
        m_otherClasses.emplace(m_reader,
                               view == KEY_WOW64_64KEY ? KEY_WOW64_32KEY : KEY_WOW64_64KEY);
    }
}

const wchar_t* CRegistrar::ViewName() const {
    return ViewNameOf(m_classes.View());
}

const wchar_t* CRegistrar::OtherViewName() const {
    return ViewNameOf(m_classes.View() == KEY_WOW64_64KEY ? KEY_WOW64_32KEY : KEY_WOW64_64KEY);
}

// Only a full path names a file whatever the working directory; compared as files, so that an 8.3
// name or another letter case names this host too.
bool CRegistrar::IsThisHost(const RegistryValue& value) const {
    if (!value.IsString()) {
        return false;
    }
    const CModulePath path(value.Text());
    return path.IsFull() && m_files.Same(path.Text(), m_hostPath);
}

bool CRegistrar::SameHost(const RegistryValue& written, const RegistryValue& now) const {
    if (written == now) {
        return true;
    }
    if (!written.IsString() || !now.IsString()) {
        return false;
    }
    const CModulePath before(written.Text());
    const CModulePath after(now.Text());
    return before.IsFull() && after.IsFull() &&
           (SameName(before.Text(), after.Text()) || m_files.Same(before.Text(), after.Text()));
}

std::wstring CRegistrar::Describe(const CClassesView& classes, const std::wstring& clsid) const {
    const auto name = classes.String(L"CLSID\\" + clsid + L"\\ProgID", L"");
    return name && !name->empty() ? clsid + L" " + *name : clsid;
}

std::optional<RegistryValue> CRegistrar::ClassValue(const Class& cls, const wchar_t* name) const {
    if (!cls.root) {
        return std::nullopt;
    }
    const auto& values = m_reader.Read(m_classes.Key(*cls.root, L"CLSID\\" + cls.clsid));
    return values ? ValueOf(*values, name) : std::nullopt;
}

std::optional<Root> CRegistrar::AppIdRoot(const std::wstring& appId) const {
    return m_classes.Find(L"AppID\\" + appId);
}

CSurrogateUndo& CRegistrar::UndoOf(const AppIdKey& at) {
    auto found = m_undo.find(at);
    if (found == m_undo.end()) {
        const auto& values = m_reader.Read(m_classes.Key(at.root, L"AppID\\" + at.appId));
        found = m_undo
                    .emplace(at, CSurrogateUndo(values.has_value(), values.value_or(Values()),
                                                [this](const RegistryValue& written,
                                                       const RegistryValue& now) {
                                                    return SameHost(written, now);
                                                }))
                    .first;
    }
    return found->second;
}

// Every AppID key's changes, records before the values they undo.
void CRegistrar::WriteUndo(Plan& plan) {
    for (auto& [at, undo] : m_undo) {
        const KeyName key = m_classes.Key(at.root, L"AppID\\" + at.appId);
        for (const CSurrogateUndo::Write& change : undo.Writes()) {
            const auto kind = change.kind == CSurrogateUndo::Write::kSet ? Plan::Write::kSet
                              : change.kind == CSurrogateUndo::Write::kDelete
                                  ? Plan::Write::kDelete
                                  : Plan::Write::kDeleteKeyIfEmpty;
            plan.writes.push_back({kind, key, change.name, change.value});
        }
    }
}

const std::vector<CRegistrar::AppIdUser>& CRegistrar::AppIdUsers() const {
    if (!m_appIdUsers) {
        m_appIdUsers.emplace();
        for (const CClassesView* classes :
             {&m_classes, m_otherClasses ? &*m_otherClasses : nullptr}) {
            if (classes == nullptr) {
                continue;
            }
            classes->ForEachClass([&](const std::wstring& clsid, Root root) {
                const auto& values = m_reader.Read(classes->Key(root, L"CLSID\\" + clsid));
                const auto appId = values ? ValueOf(*values, L"AppID") : std::nullopt;
                if (appId && appId->IsString()) {
                    const std::wstring guid = CanonicalGuid(appId->Text());
                    m_appIdUsers->push_back(
                        {guid.empty() ? appId->Text() : guid, classes->View(), clsid});
                }
            });
        }
    }
    return *m_appIdUsers;
}

std::vector<CRegistrar::AppIdKey> CRegistrar::KeysWithRecordsOf(const std::wstring& clsid) {
    std::vector<AppIdKey> keys;
    for (const Root root : {Root::kUser, Root::kMachine}) {
        for (const std::wstring& name : m_reader.Subkeys(m_classes.Key(root, L"AppID"))) {
            const auto& values = m_reader.Read(m_classes.Key(root, L"AppID\\" + name));
            if (!values || std::none_of(values->begin(), values->end(), [](const auto& value) {
                    return StartsWithName(value.first, CSurrogateUndo::kUndoName);
                })) {
                continue;
            }
            const std::wstring guid = CanonicalGuid(name);
            const AppIdKey at{root, guid.empty() ? name : guid};
            if (UndoOf(at).HasRecord({}, clsid, true)) {
                keys.push_back(at);
            }
        }
    }
    return keys;
}

void CRegistrar::ResolveClsid(const std::wstring& clsid, bool removing, std::vector<Class>& classes,
                              std::vector<Problem>& problems) const {
    const auto root = m_classes.Find(L"CLSID\\" + clsid);
    if (root || removing) {
        // A class uninstalled since add can still be removed by its CLSID.
        classes.push_back({clsid, root});
        return;
    }
    problems.push_back({kExitNotRegistered,
                        clsid + L" is not registered in the " + ViewName() +
                            L" registry view: run " + Regsvr32(m_classes.View()) +
                            L" on its DLL first",
                        {}});
}

void CRegistrar::ResolveProgId(const std::wstring& progId, std::vector<Class>& classes,
                               std::vector<Problem>& problems) const {
    std::optional<std::wstring> clsid;
    if (m_classes.Find(progId + L"\\CLSID")) {
        clsid = m_classes.String(progId + L"\\CLSID", L"");
    } else {
        // A version-independent ProgID may name its current version instead.
        const auto version = m_classes.String(progId + L"\\CurVer", L"");
        if (version && !version->empty()) {
            clsid = m_classes.String(*version + L"\\CLSID", L"");
        }
    }
    const std::wstring guid = CanonicalGuid(clsid.value_or(L""));
    if (!guid.empty()) {
        ResolveClsid(guid, false, classes, problems);
        return;
    }
    problems.push_back({kExitNotRegistered,
                        L"the ProgID " + progId + L" is not registered in the " + ViewName() +
                            L" registry view: run " + Regsvr32(m_classes.View()) +
                            L" on its DLL first",
                        {}});
}

void CRegistrar::ResolveDll(const std::wstring& path, std::vector<Class>& classes,
                            std::vector<Problem>& problems) const {
    const std::wstring dll = m_files.FullPath(path);
    if (!m_files.Exists(dll)) {
        problems.push_back({kExitNotRegistered, L"there is no file " + dll, {}});
        return;
    }
    const std::vector<std::wstring> names = m_files.Names(dll);
    const size_t before = classes.size();
    std::wstring unresolved;
    m_classes.ForEachClass([&](const std::wstring& clsid, Root) {
        const auto registered = m_classes.String(L"CLSID\\" + clsid + L"\\InprocServer32", L"");
        if (!registered) {
            return;
        }
        const CModulePath module(*registered);
        // Only files of the same name, long or 8.3, are worth opening.
        const std::wstring name = module.FileName();
        if (module.Text().empty() || std::none_of(names.begin(), names.end(), [&](const auto& own) {
                return SameName(own, name);
            })) {
            return;
        }
        const std::wstring file = m_files.Resolve(module);
        if (file.empty()) {
            if (unresolved.empty()) {
                unresolved = Describe(clsid) + L" has " + *registered +
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
        if (m_files.Same(file, dll)) {
            classes.push_back({clsid, m_classes.Find(L"CLSID\\" + clsid)});
        }
    });
    if (!unresolved.empty()) {
        problems.push_back({kExitNotRegistered, unresolved, {}});
    } else if (classes.size() == before) {
        problems.push_back({kExitNotRegistered,
                            L"no class in the " + std::wstring(ViewName()) +
                                L" registry view has " + dll + L" as its InprocServer32: run " +
                                Regsvr32(m_classes.View()) + L" on it first",
                            {}});
    }
}

std::vector<CRegistrar::Class> CRegistrar::Resolve(const std::vector<std::wstring>& targets,
                                                   bool removing,
                                                   std::vector<Problem>& problems) const {
    std::vector<Class> classes;
    for (const std::wstring& target : targets) {
        if (!target.empty() && target.front() == L'{') {
            const std::wstring clsid = CanonicalGuid(target);
            if (clsid.empty()) {
                problems.push_back({kExitNotRegistered, target + L" is not a CLSID", {}});
            } else {
                ResolveClsid(clsid, removing, classes, problems);
            }
        } else if (target.find_first_of(L"\\/:") != std::wstring::npos ||
                   SameName(target.substr(target.size() < 4 ? 0 : target.size() - 4), L".dll")) {
            ResolveDll(target, classes, problems);
        } else if (target.empty()) {
            problems.push_back({kExitNotRegistered, L"an empty target names no class", {}});
        } else {
            ResolveProgId(target, classes, problems);
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
    return unique;
}

std::vector<std::wstring> CRegistrar::ClassesOf(const std::wstring& target, std::wstring& refusal,
                                                int& code) const {
    std::vector<Problem> problems;
    std::vector<std::wstring> clsids;
    for (const Class& cls : Resolve({target}, false, problems)) {
        clsids.push_back(cls.clsid);
    }
    if (!problems.empty()) {
        refusal = problems.front().text;
        code = problems.front().code;
    }
    return clsids;
}

void CRegistrar::PlanAdd(const std::vector<Class>& classes, bool force,
                         std::vector<Problem>& problems, Plan& plan) {
    const RegistryValue host = RegistryValue::String(m_hostValue);
    const auto namesHost = [this](const RegistryValue& value) { return IsThisHost(value); };
    struct Created {
        Root root;
        std::wstring clsid;
    };
    std::vector<Created> created; // classes that get an AppID value
    for (const Class& cls : classes) {
        const std::wstring key = L"CLSID\\" + cls.clsid;
        const std::wstring name = Describe(cls.clsid);
        if (!cls.root) {
            continue; // resolved for remove only
        }
        const size_t before = problems.size();
        if (m_classes.Find(key + L"\\LocalServer32")) {
            problems.push_back({kExitLocalServer,
                                name + L" has LocalServer32: the COM runtime would start that "
                                       L"program, not the host",
                                {}});
        }
        if (!m_classes.Find(key + L"\\InprocServer32")) {
            problems.push_back({kExitNotRegistered,
                                name + L" has no InprocServer32 in the " + ViewName() +
                                    L" registry view: run " + Regsvr32(m_classes.View()) +
                                    L" on its DLL first",
                                {}});
        }
        const auto appIdValue = ClassValue(cls, L"AppID");
        if (appIdValue && !appIdValue->IsString()) {
            problems.push_back({kExitFailed,
                                name + L" has an AppID value of type " +
                                    TypeName(appIdValue->type) +
                                    L", which the runtime does not take for an AppID: it is kept "
                                    L"as it is, and the class is not changed",
                                {}});
        } else if (appIdValue && CanonicalGuid(appIdValue->Text()).empty()) {
            problems.push_back({kExitFailed,
                                name + L" has an AppID that is not a GUID: " + appIdValue->Text(),
                                {}});
        }
        if (problems.size() != before) {
            continue;
        }
        const std::wstring appId = appIdValue ? CanonicalGuid(appIdValue->Text()) : cls.clsid;
        const AppIdKey at{AppIdRoot(appId).value_or(*cls.root), appId};
        plan.basis.push_back(m_classes.Key(*cls.root, key));
        plan.basis.push_back(m_classes.Key(at.root, L"AppID\\" + appId));
        CSurrogateUndo& undo = UndoOf(at);
        const CSurrogateUndo unforced = undo;
        const auto outcome = undo.Add(ViewName(), cls.clsid, host, namesHost, force);
        const auto asked =
            force ? CSurrogateUndo(unforced).Add(ViewName(), cls.clsid, host, namesHost, false)
                  : outcome;
        if (asked == CSurrogateUndo::Outcome::kOtherHost) {
            problems.push_back({kExitOtherHost,
                                name + L": its AppID " + appId + L" already has another host, " +
                                    Shown(unforced.Current()),
                                L"--force replaces it"});
        }
        if (outcome == CSurrogateUndo::Outcome::kUnreadable) {
            problems.push_back({kExitFailed,
                                name + L": its undo record in AppID " + appId + L" cannot be read",
                                {}});
            continue;
        }
        if (outcome == CSurrogateUndo::Outcome::kAdded ||
            outcome == CSurrogateUndo::Outcome::kOtherHost) {
            // A new DllSurrogate re-points every class of either view that uses the AppID.
            std::wstring others;
            for (const AppIdUser& user : AppIdUsers()) {
                const bool named =
                    user.view == m_classes.View() &&
                    std::any_of(classes.begin(), classes.end(),
                                [&](const Class& target) { return target.clsid == user.clsid; });
                if (user.appId == appId && !named) {
                    const CClassesView& view =
                        user.view == m_classes.View() ? m_classes : *m_otherClasses;
                    others += (others.empty() ? L"" : L", ") + Describe(view, user.clsid) + L" (" +
                              ViewNameOf(user.view) + L")";
                }
            }
            if (!others.empty()) {
                problems.push_back({kExitSharedAppId,
                                    name + L": its AppID " + appId + L" is also used by " + others +
                                        L", which add would point at this host too",
                                    L"--force does so"});
            }
        }
        if (!appIdValue && !Writable(name, m_classes.Key(*cls.root, key), problems)) {
            continue;
        }
        Writable(name, m_classes.Key(at.root, L"AppID\\" + appId), problems);
        const bool changed = outcome == CSurrogateUndo::Outcome::kAdded ||
                             outcome == CSurrogateUndo::Outcome::kJoined || !appIdValue;
        if (!appIdValue) {
            created.push_back({*cls.root, cls.clsid});
        }
        plan.lines.push_back((changed ? L"added: " : L"already added: ") + name + L" -> " +
                             m_hostValue);
    }
    // The AppID keys' records go first: interrupted, remove still knows what to undo.
    WriteUndo(plan);
    for (const Created& cls : created) {
        const KeyName key = m_classes.Key(cls.root, L"CLSID\\" + cls.clsid);
        plan.writes.push_back({Plan::Write::kSet, key, CSurrogateUndo::kUndoName,
                               RegistryValue::String(kCreatedAppId)});
        plan.writes.push_back({Plan::Write::kSet, key, L"AppID", RegistryValue::String(cls.clsid)});
    }
    Settle(problems, force, plan);
    if (plan.code == kExitOk && m_hostValue.size() > MAX_PATH) {
        plan.errors.push_back(L"pelmora-register: warning: the host's path as written, " +
                              m_hostValue + L", is longer than MAX_PATH (" +
                              std::to_wstring(MAX_PATH) +
                              L" characters): Wine then starts its default surrogate instead");
    }
}

void CRegistrar::PlanRemove(const std::vector<Class>& classes, bool force,
                            std::vector<Problem>& problems, Plan& plan) {
    std::vector<Plan::Write> classWrites; // after the AppID keys', as add wrote them before
    for (const Class& cls : classes) {
        const std::wstring name = Describe(cls.clsid);
        bool recorded = false;
        bool otherTool = false;
        bool changed = false;
        std::wstring notes;
        for (const AppIdKey& at : KeysWithRecordsOf(cls.clsid)) {
            plan.basis.push_back(m_classes.Key(at.root, L"AppID\\" + at.appId));
            CSurrogateUndo& undo = UndoOf(at);
            if (!undo.HasRecord(ViewName(), cls.clsid, false) &&
                !undo.HasRecord({}, cls.clsid, false)) {
                otherTool = true;
                continue;
            }
            recorded = true;
            const auto replaced = undo.Replaced(ViewName(), cls.clsid);
            const auto sharers = undo.Sharers(ViewName(), cls.clsid);
            const CSurrogateUndo unforced = undo;
            const auto outcome = undo.Remove(ViewName(), cls.clsid, force);
            const auto asked =
                force ? CSurrogateUndo(unforced).Remove(ViewName(), cls.clsid, false) : outcome;
            if (asked == CSurrogateUndo::Outcome::kChangedSince) {
                problems.push_back(
                    {kExitChangedSince,
                     name + L": the DllSurrogate of its AppID " + at.appId +
                         L" was changed since add, to neither the host add wrote nor what it "
                         L"replaced; nothing changed",
                     L"--force puts back what add replaced: " +
                         (replaced ? Shown(*replaced) : L"what its record holds")});
            }
            if (outcome == CSurrogateUndo::Outcome::kUnreadable) {
                problems.push_back(
                    {kExitFailed,
                     name + L": its undo record in AppID " + at.appId + L" cannot be read",
                     {}});
                continue;
            }
            changed = true;
            if (!sharers.empty()) {
                std::wstring list;
                for (const auto& [view, clsid] : sharers) {
                    const bool own = view.empty() || view == ViewName();
                    list += (list.empty() ? L"" : L", ") +
                            Describe(own || !m_otherClasses ? m_classes : *m_otherClasses,
                                     CanonicalGuid(clsid).empty() ? clsid : CanonicalGuid(clsid)) +
                            (view.empty() ? L"" : L" (" + view + L")");
                }
                notes += L"; the host stays in AppID " + at.appId + L" for " + list +
                         L", which add pointed at it too";
            }
            Writable(name, m_classes.Key(at.root, L"AppID\\" + at.appId), problems);
        }
        // Wherever add gave the class its AppID value, in either root.
        for (const Root root : {Root::kUser, Root::kMachine}) {
            const KeyName key = m_classes.Key(root, L"CLSID\\" + cls.clsid);
            const auto& values = m_reader.Read(key);
            plan.basis.push_back(key);
            const auto marker = values ? ValueOf(*values, CSurrogateUndo::kUndoName) : std::nullopt;
            if (!marker || !marker->IsString() || marker->Text() != kCreatedAppId) {
                continue;
            }
            recorded = true;
            changed = true;
            const auto appId = ValueOf(*values, L"AppID");
            if (appId && *appId == RegistryValue::String(cls.clsid)) {
                classWrites.push_back({Plan::Write::kDelete, key, L"AppID", {}});
            } else if (appId) {
                // Someone else's since: an installer's, say, with its own AppID settings.
                notes +=
                    std::wstring(L"; its AppID value (") + RootName(root) +
                    L") is kept, as it was changed "
                    L"since add to " +
                    (appId->IsString() ? appId->Text() : L"a " + TypeName(appId->type) + L" value");
            }
            classWrites.push_back({Plan::Write::kDelete, key, CSurrogateUndo::kUndoName, {}});
            Writable(name, key, problems);
        }
        if (!recorded && otherTool) {
            problems.push_back({kExitOtherTool,
                                name + L": the " + OtherViewName() +
                                    L" pelmora-register added it, for the " + OtherViewName() +
                                    L" registry view; run that one (beside the " + OtherViewName() +
                                    L" host) to remove it",
                                {}});
        } else if (!recorded && !cls.root) {
            problems.push_back({kExitNotRegistered,
                                cls.clsid + L" is not registered in the " + ViewName() +
                                    L" registry view, and no record of add names it",
                                {}});
        }
        plan.lines.push_back(changed
                                 ? L"removed: " + name + notes
                                 : L"nothing to remove, not added by pelmora-register: " + name);
    }
    // DllSurrogate is put back before its record goes; the class's AppID value after both.
    WriteUndo(plan);
    plan.writes.insert(plan.writes.end(), classWrites.begin(), classWrites.end());
    Settle(problems, force, plan);
}

void CRegistrar::PlanList(Plan& plan) {
    m_classes.ForEachClass([&](const std::wstring& clsid, Root root) {
        const auto& values = m_reader.Read(m_classes.Key(root, L"CLSID\\" + clsid));
        const auto appIdValue = values ? ValueOf(*values, L"AppID") : std::nullopt;
        const std::wstring appId =
            appIdValue && appIdValue->IsString() ? CanonicalGuid(appIdValue->Text()) : L"";
        const auto at = appId.empty() ? std::nullopt : AppIdRoot(appId);
        if (!at) {
            return;
        }
        CSurrogateUndo& undo = UndoOf({*at, appId});
        const SurrogateState& surrogate = undo.Current();
        if (surrogate.kind != SurrogateState::kValue) {
            return;
        }
        if (IsThisHost(surrogate.value)) {
            plan.lines.push_back(Describe(clsid));
        } else if (undo.HoldsWritten(ViewName(), clsid)) {
            // Written by a copy of the tool that has moved since, or by another copy.
            const CModulePath path(surrogate.value.Text());
            plan.lines.push_back(Describe(clsid) + L" -> " + surrogate.value.Text() +
                                 (m_files.Exists(path.Text())
                                      ? L" (another copy of the host)"
                                      : L" (a host that is missing: run add again)"));
        }
    });
    if (plan.lines.empty()) {
        plan.lines.push_back(std::wstring(L"no class in the ") + ViewName() +
                             L" registry view is served by " + m_hostPath);
    }
}

bool CRegistrar::Writable(const std::wstring& name, const KeyName& key,
                          std::vector<Problem>& problems) const {
    const LONG error = m_registry.CheckWrite(key);
    if (error == ERROR_ACCESS_DENIED) {
        problems.push_back({kExitAccessDenied,
                            name + L": no right to change its registration (" + RootName(key.root) +
                                L"); run this from an elevated prompt (as administrator)",
                            {}});
    } else if (error != ERROR_SUCCESS) {
        problems.push_back({kExitFailed, name + L": " + ErrorText(error), {}});
    }
    return error == ERROR_SUCCESS;
}

void CRegistrar::Settle(std::vector<Problem>& problems, bool force, Plan& plan) {
    std::vector<std::wstring> refusals;
    std::vector<std::wstring> forced;
    for (const Problem& problem : problems) {
        if (force && !problem.force.empty()) {
            forced.push_back(L"pelmora-register: forced: " + problem.text);
            continue;
        }
        refusals.push_back(L"pelmora-register: " + problem.text +
                           (problem.force.empty() ? L"" : L" (" + problem.force + L")"));
        if (plan.code == kExitOk) {
            plan.code = problem.code;
        }
    }
    if (plan.code != kExitOk) {
        plan.errors = refusals;
        plan.writes.clear();
        plan.lines.clear();
    } else {
        plan.errors = forced;
    }
}

Plan CRegistrar::MakePlan(const Command& command) {
    Plan plan;
    if (command.kind == Command::kList) {
        PlanList(plan);
        return plan;
    }
    if (command.kind == Command::kAdd && !m_files.Exists(m_hostPath)) {
        plan.code = kExitFailed;
        plan.errors.push_back(L"pelmora-register: the host " + m_hostPath + L" is missing");
        return plan;
    }
    std::vector<Problem> problems;
    // Every target's refusals are found, the resolved ones' too, before any is reported.
    const std::vector<Class> classes =
        Resolve(command.targets, command.kind == Command::kRemove, problems);
    if (command.kind == Command::kAdd) {
        PlanAdd(classes, command.force, problems, plan);
    } else {
        PlanRemove(classes, command.force, problems, plan);
    }
    return plan;
}

int CRegistrar::Apply(const Plan& plan, const Print& out, const Print& error) {
    for (const std::wstring& line : plan.errors) {
        error(line);
    }
    if (plan.code != kExitOk) {
        return plan.code;
    }
    if (!plan.writes.empty()) {
        std::vector<KeyName> keys = plan.basis;
        for (const Plan::Write& write : plan.writes) {
            keys.push_back(write.key);
        }
        if (const auto changed = m_reader.Changed(keys)) {
            error(L"pelmora-register: " + changed->Text() +
                  L" changed while this command was reading the registry; nothing was written: "
                  L"run it again");
            return kExitChangedMeanwhile;
        }
    }
    for (const Plan::Write& write : plan.writes) {
        const LONG result =
            write.kind == Plan::Write::kSet ? m_registry.Set(write.key, write.name, write.value)
            : write.kind == Plan::Write::kDelete ? m_registry.Delete(write.key, write.name)
                                                 : m_registry.DeleteKeyIfEmpty(write.key);
        if (result != ERROR_SUCCESS) {
            error(L"pelmora-register: " + write.key.Text() + L": " + ErrorText(result) +
                  L"; what was written before it is undone by remove");
            return result == ERROR_ACCESS_DENIED ? kExitAccessDenied : kExitFailed;
        }
    }
    for (const std::wstring& line : plan.lines) {
        out(line);
    }
    return kExitOk;
}
