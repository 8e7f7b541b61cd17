#include "Registration.h"

#include <algorithm>

void CRegistrar::PlanAdd(const std::vector<TargetClass>& classes, bool force,
                         std::vector<Refusal>& problems, Plan& plan) {
    const RegistryValue host = RegistryValue::String(m_hostValue);
    const auto namesHost = [this](const RegistryValue& value) { return Names(value); };
    std::vector<TargetClass> created; // classes that get an AppID value
    for (const TargetClass& cls : classes) {
        const std::wstring key = L"CLSID\\" + cls.clsid;
        const std::wstring name = Describe(cls.clsid);
        if (!cls.root) {
            continue; // resolved for remove only
        }
        const size_t before = problems.size();
        if (m_classes.Find(key + L"\\LocalServer32")) {
            problems.push_back(
                {kExitLocalServer, name + L" has LocalServer32: the COM runtime would start that "
                                          L"program, not the host"});
        }
        if (!m_classes.Find(key + L"\\InprocServer32")) {
            problems.push_back({kExitNotRegistered, name + L" has no InprocServer32 in the " +
                                                        ViewName() + L" registry view: run " +
                                                        Regsvr32(m_classes.View()) +
                                                        L" on its DLL first"});
        }
        const auto appIdValue = m_classes.Value(key, L"AppID");
        if (appIdValue && !appIdValue->IsString()) {
            problems.push_back(
                {kExitFailed, name + L" has an AppID value of type " + appIdValue->TypeName() +
                                  L", which the runtime does not take for an AppID: it is kept "
                                  L"as it is, and the class is not changed"});
        } else if (appIdValue && CanonicalGuid(appIdValue->Text()).empty()) {
            problems.push_back(
                {kExitFailed, name + L" has an AppID that is not a GUID: " + appIdValue->Text()});
        }
        if (problems.size() != before) {
            continue;
        }
        const std::wstring appId = appIdValue ? CanonicalGuid(appIdValue->Text()) : cls.clsid;
        const AppIdKey at{m_classes.Find(L"AppID\\" + appId).value_or(*cls.root), appId};
        plan.basis.push_back(m_classes.Key(*cls.root, key));
        plan.basis.push_back(m_classes.Key(at.root, L"AppID\\" + appId));
        // The runtime starts the service, if it is installed, whatever else the AppID names.
        const auto& appIdValues = m_reader.Read(m_classes.Key(at.root, L"AppID\\" + appId));
        const auto service = appIdValues ? ValueOf(*appIdValues, L"LocalService") : std::nullopt;
        if (service && service->IsString() && !service->Text().empty()) {
            problems.push_back({kExitLocalServer,
                                name + L": its AppID " + appId + L" has LocalService " +
                                    service->Text() +
                                    L": the COM runtime would start that service, not the host"});
            continue;
        }
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
            problems.push_back(
                {kExitFailed, name + L": its undo record in AppID " + appId + L" cannot be read"});
            continue;
        }
        if (outcome == CSurrogateUndo::Outcome::kAdded ||
            outcome == CSurrogateUndo::Outcome::kOtherHost) {
            // A new DllSurrogate re-points every class of either view that uses the AppID.
            std::wstring others;
            for (const AppIdUser& user : AppIdUsers()) {
                const bool named =
                    user.view == m_classes.View() &&
                    std::any_of(classes.begin(), classes.end(), [&](const TargetClass& target) {
                        return target.clsid == user.clsid;
                    });
                if (user.appId == appId && !named) {
                    const CClassesView& view =
                        user.view == m_classes.View() ? m_classes : *m_otherClasses;
                    others += (others.empty() ? L"" : L", ") + ::Describe(view, user.clsid) +
                              L" (" + Bits(user.view) + L")";
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
            created.push_back(cls);
        }
        plan.lines.push_back((changed ? L"added: " : L"already added: ") + name + L" -> " +
                             m_hostValue);
    }
    // The AppID keys' records go first: interrupted, remove still knows what to undo.
    WriteUndo(plan);
    for (const TargetClass& cls : created) {
        const KeyName key = m_classes.Key(*cls.root, L"CLSID\\" + cls.clsid);
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
