#include "Registration.h"

#include "ModulePath.h"

#include <algorithm>

namespace {

std::wstring ErrorText(LONG error) {
    return error == ERROR_ACCESS_DENIED ? L"access denied"
                                        : L"system error " + std::to_wstring(error);
}

} // namespace

std::wstring Shown(const SurrogateState& state) {
    const auto text = [](const RegistryValue& value) {
        return value.IsString() ? value.Text() : L"a " + value.TypeName() + L" value";
    };
    std::wstring shown =
        state.kind != SurrogateState::kValue ? L"no DllSurrogate"
        : state.value.IsString() && CModulePath::Program(state.value).Text().empty()
            ? L"the system's default surrogate"
            : text(state.value);
    if (state.executable) {
        shown += L" with DllSurrogateExecutable " + text(*state.executable) +
                 L", which the runtime starts instead";
    }
    return shown;
}

CRegistrar::CRegistrar(IRegistry& registry, const IFiles& files, REGSAM view, std::wstring hostPath)
    : m_registry(registry), m_files(files), m_reader(registry), m_classes(m_reader, view),
      m_hostPath(std::move(hostPath)) {
    // DllSurrogate starts a command line: unquoted, "C:\Program Files\..." may start C:\Program.
    m_hostValue =
        m_hostPath.find(L' ') == std::wstring::npos ? m_hostPath : L"\"" + m_hostPath + L"\"";
    if (m_registry.TwoViews()) {
        m_otherClasses.emplace(m_reader, OtherView(view));
    }
}

// Only a full path names a file whatever the working directory; compared as files, so that an 8.3
// name or another letter case names this host too.
CSurrogateUndo::Naming CRegistrar::Names(const RegistryValue& value) const {
    const CModulePath path = CModulePath::Program(value);
    if (!path.IsFull() || !m_files.Same(path.Text(), m_hostPath)) {
        return CSurrogateUndo::Naming::kOther;
    }
    const std::wstring text = value.Text();
    const size_t start = text.find_first_not_of(L" \t");
    return path.Text().find(L' ') != std::wstring::npos && text[start] != L'"'
               ? CSurrogateUndo::Naming::kHostToMend
               : CSurrogateUndo::Naming::kHost;
}

bool CRegistrar::SameHost(const RegistryValue& written, const RegistryValue& now) const {
    if (written == now) {
        return true;
    }
    const CModulePath before = CModulePath::Program(written);
    const CModulePath after = CModulePath::Program(now);
    return before.IsFull() && after.IsFull() &&
           (SameName(before.Text(), after.Text()) || m_files.Same(before.Text(), after.Text()));
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
        const auto writes = undo.Writes(m_classes.Key(at.root, L"AppID\\" + at.appId));
        plan.writes.insert(plan.writes.end(), writes.begin(), writes.end());
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
            classes->ForEachClass([&](const std::wstring& clsid, Root) {
                const auto appId = classes->Value(L"CLSID\\" + clsid, L"AppID");
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

void CRegistrar::PlanList(Plan& plan) {
    m_classes.ForEachClass([&](const std::wstring& clsid, Root) {
        const auto appIdValue = m_classes.Value(L"CLSID\\" + clsid, L"AppID");
        const std::wstring appId =
            appIdValue && appIdValue->IsString() ? CanonicalGuid(appIdValue->Text()) : L"";
        const auto at = appId.empty() ? std::nullopt : m_classes.Find(L"AppID\\" + appId);
        if (!at) {
            return;
        }
        CSurrogateUndo& undo = UndoOf({*at, appId});
        const SurrogateState& surrogate = undo.Current();
        if (surrogate.kind != SurrogateState::kValue) {
            return;
        }
        if (Names(surrogate.value) != CSurrogateUndo::Naming::kOther &&
            (!surrogate.executable ||
             Names(*surrogate.executable) != CSurrogateUndo::Naming::kOther)) {
            plan.lines.push_back(Describe(clsid));
        } else if (undo.HoldsWritten(ViewName(), clsid)) {
            // Written by a copy of the tool that has moved since, or by another copy.
            const CModulePath path = CModulePath::Program(surrogate.value);
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
                          std::vector<Refusal>& problems) const {
    const LONG error = m_registry.CheckWrite(key);
    if (error == ERROR_ACCESS_DENIED) {
        problems.push_back({kExitAccessDenied,
                            name + L": no right to change its registration (" + RootName(key.root) +
                                L"); run this from an elevated prompt (as administrator)"});
    } else if (error != ERROR_SUCCESS) {
        problems.push_back({kExitFailed, name + L": " + ErrorText(error)});
    }
    return error == ERROR_SUCCESS;
}

void CRegistrar::Settle(std::vector<Refusal>& problems, bool force, Plan& plan) {
    std::vector<std::wstring> refusals;
    std::vector<std::wstring> forced;
    for (const Refusal& problem : problems) {
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
    std::vector<Refusal> problems;
    // Every target's refusals are found, the resolved ones' too, before any is reported.
    const std::vector<TargetClass> classes =
        CTargets(m_classes, m_files)
            .Resolve(command.targets, command.kind == Command::kRemove, problems);
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
