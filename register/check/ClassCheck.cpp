#include "ClassCheck.h"

#include "Targets.h"

#include <cstdio>

namespace {

const wchar_t* Status(CheckStep::Status status) {
    static const wchar_t* const names[] = {L"ok", L"note", L"warning", L"problem"};
    return names[status];
}

const wchar_t* Bits(const ClientCheck& client) {
    return client.view == KEY_WOW64_64KEY ? L"64" : L"32";
}

std::wstring Count(size_t count, const wchar_t* what) {
    return std::to_wstring(count) + L" " + what + (count == 1 ? L"" : L"s");
}

std::wstring Quoted(const std::wstring& text) {
    std::wstring quoted = L"\"";
    for (const wchar_t c : text) {
        wchar_t escape[8] = {};
        swprintf(escape, 8, L"\\u%04x", static_cast<unsigned>(c));
        quoted += c < 0x20                  ? std::wstring(escape)
                  : c == L'"' || c == L'\\' ? std::wstring{L'\\', c}
                                            : std::wstring(1, c);
    }
    return quoted + L"\"";
}

// A string, or null for what is absent.
std::wstring OrNull(const std::wstring& text) {
    return text.empty() ? L"null" : Quoted(text);
}

// Items joined by commas.
template <typename Items, typename Render> std::wstring List(const Items& items, Render render) {
    std::wstring list;
    for (const auto& item : items) {
        list += (list.empty() ? L"" : L",") + render(item);
    }
    return L"[" + list + L"]";
}

} // namespace

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

std::vector<std::wstring> CheckLines(const CheckReport& report) {
    std::vector<std::wstring> lines;
    for (const ClassCheck& cls : report.classes) {
        lines.push_back(cls.progId.empty() ? cls.clsid : cls.clsid + L" " + cls.progId);
        for (const ClientCheck& client : cls.clients) {
            lines.push_back(L"  " + std::wstring(Bits(client)) + L"-bit client:");
            for (const CheckStep& step : client.steps) {
                std::wstring status = Status(step.status);
                status.resize(8, L' ');
                lines.push_back(L"    " + status + step.step + L": " + step.text);
                if (!step.fix.empty()) {
                    lines.push_back(L"            fix: " + step.fix);
                }
            }
        }
        for (const ClientCheck& client : cls.clients) {
            const size_t problems = client.Count(CheckStep::kProblem);
            const size_t warnings = client.Count(CheckStep::kWarning);
            lines.push_back(L"  " + std::wstring(Bits(client)) + L"-bit clients: " +
                            (problems > 0   ? L"will fail (" + Count(problems, L"problem") + L")"
                             : warnings > 0 ? L"ok (" + Count(warnings, L"warning") + L")"
                                            : std::wstring(L"ok")));
        }
    }
    return lines;
}

std::wstring CheckJson(const CheckReport& report) {
    const auto step = [](const CheckStep& step) {
        wchar_t hresult[16] = {};
        swprintf(hresult, 16, L"0x%08lX", static_cast<unsigned long>(step.hresult));
        return L"{\"step\":" + Quoted(step.step) + L",\"status\":" + Quoted(Status(step.status)) +
               L",\"id\":" + OrNull(step.id != nullptr ? step.id : L"") + L",\"hresult\":" +
               OrNull(step.hresult == S_OK ? L"" : hresult) + L",\"text\":" + Quoted(step.text) +
               L",\"fix\":" + OrNull(step.fix) + L"}";
    };
    const auto client = [&](const ClientCheck& client) {
        const size_t problems = client.Count(CheckStep::kProblem);
        return L"{\"bitness\":" + std::wstring(Bits(client)) + L",\"verdict\":" +
               (problems == 0 ? L"\"ok\"" : L"\"willFail\"") + L",\"problems\":" +
               std::to_wstring(problems) + L",\"warnings\":" +
               std::to_wstring(client.Count(CheckStep::kWarning)) + L",\"steps\":" +
               List(client.steps, step) + L"}";
    };
    return L"{\"schemaVersion\":1,\"exitCode\":" + std::to_wstring(report.code) + L",\"errors\":" +
           List(report.errors, Quoted) + L",\"classes\":" +
           List(report.classes,
                [&](const ClassCheck& cls) {
                    return L"{\"clsid\":" + Quoted(cls.clsid) + L",\"progId\":" +
                           OrNull(cls.progId) + L",\"clients\":" + List(cls.clients, client) + L"}";
                }) +
           L"}";
}
