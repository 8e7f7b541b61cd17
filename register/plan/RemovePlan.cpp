#include "Registration.h"

void CRegistrar::PlanRemove(const std::vector<TargetClass>& classes, bool force,
                            std::vector<Refusal>& problems, Plan& plan) {
    std::vector<Plan::Write> classWrites; // after the AppID keys', as add wrote them before
    for (const TargetClass& cls : classes) {
        const std::wstring name = Describe(cls.clsid);
        bool recorded = false, otherTool = false, changed = false;
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
                problems.push_back({kExitFailed, name + L": its undo record in AppID " + at.appId +
                                                     L" cannot be read"});
                continue;
            }
            changed = true;
            if (!sharers.empty()) {
                std::wstring list;
                for (const auto& [view, clsid] : sharers) {
                    const bool own = view.empty() || view == ViewName();
                    list +=
                        (list.empty() ? L"" : L", ") +
                        ::Describe(own || !m_otherClasses ? m_classes : *m_otherClasses,
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
                classWrites.push_back({Plan::Write::kDelete, key, L"AppID"});
            } else if (appId) {
                // Someone else's since: an installer's, say, with its own AppID settings.
                notes +=
                    std::wstring(L"; its AppID value (") + RootName(root) +
                    L") is kept, as it was changed "
                    L"since add to " +
                    (appId->IsString() ? appId->Text() : L"a " + appId->TypeName() + L" value");
            }
            classWrites.push_back({Plan::Write::kDelete, key, CSurrogateUndo::kUndoName});
            Writable(name, key, problems);
        }
        if (!recorded && otherTool) {
            problems.push_back({kExitOtherTool, name + L": the " + OtherViewName() +
                                                    L" pelmora-register added it, for the " +
                                                    OtherViewName() +
                                                    L" registry view; run that one (beside the " +
                                                    OtherViewName() + L" host) to remove it"});
        } else if (!recorded && !cls.root) {
            problems.push_back(
                {kExitNotRegistered, cls.clsid + L" is not registered in the " + ViewName() +
                                         L" registry view, and no record of add names it"});
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
