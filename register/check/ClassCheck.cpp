#include "ClassCheck.h"

#include "ExitCodes.h"
#include "Findings.h"
#include "Targets.h"

#include <algorithm>

size_t ClientCheck::Count(CheckStep::Status status) const {
    return static_cast<size_t>(std::count_if(
        steps.begin(), steps.end(), [&](const CheckStep& s) { return s.status == status; }));
}

CheckReport CClassChecker::Check(const std::vector<std::wstring>& targets) {
    CheckReport report;
    std::vector<std::wstring> clsids;
    for (const std::wstring& target : targets) {
        // A class registered in either view is worth checking: the other view is often the fault.
        std::vector<Refusal> refusals;
        std::vector<TargetClass> found;
        for (const REGSAM view : {m_ownView, OtherView(m_ownView)}) {
            const CClassesView classes(m_reader.Reader(), view);
            found = CTargets(classes, m_files).Resolve({target}, false, refusals);
            if (!found.empty() || !m_registry.TwoViews()) {
                break;
            }
        }
        if (found.empty() && !refusals.empty()) {
            std::wstring error = refusals.front().text;
            if (refusals.size() > 1 && refusals.back().text != error) {
                error += L" (and the " + std::wstring(Bits(OtherView(m_ownView))) +
                         L" view has no such class either)";
            }
            report.errors.push_back(error);
            report.code = report.code == kExitOk ? refusals.front().code : report.code;
        }
        for (const TargetClass& cls : found) {
            if (std::find(clsids.begin(), clsids.end(), cls.clsid) == clsids.end()) {
                clsids.push_back(cls.clsid);
            }
        }
    }
    // On 32-bit Windows there is one view and no 64-bit client.
    const std::vector<REGSAM> clients = m_registry.TwoViews()
                                            ? std::vector<REGSAM>{KEY_WOW64_32KEY, KEY_WOW64_64KEY}
                                            : std::vector<REGSAM>{KEY_WOW64_32KEY};
    bool problems = false;
    for (const std::wstring& clsid : clsids) {
        const ClassFacts facts = m_reader.Read(clsid);
        ClassCheck cls{clsid, facts.progId, {}};
        for (const REGSAM client : clients) {
            cls.clients.push_back({client, Judge(facts, client)});
            problems = problems || cls.clients.back().Count(CheckStep::kProblem) > 0;
        }
        report.classes.push_back(std::move(cls));
    }
    if (report.code == kExitOk && problems) {
        report.code = kExitProblems;
    }
    return report;
}
