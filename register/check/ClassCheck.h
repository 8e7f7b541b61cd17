#pragma once

#include "ClassFacts.h"

#include <algorithm>
#include <string>
#include <vector>

// One thing a client's activation meets, and what to do where it fails.
struct CheckStep {
    enum Status { kOk, kNote, kWarning, kProblem };
    Status status = kOk;
    const wchar_t* step = L"";   // class, activation, appId, dll or interfaces
    const wchar_t* id = nullptr; // what was found, for all but ok: proxyStubNotRegistered, ...
    HRESULT hresult = S_OK;      // what the client meets, where it is known
    std::wstring text = {};
    std::wstring fix = {}; // what to do; may be empty
};

// What a client of one bitness meets, in the order the runtime meets it.
struct ClientCheck {
    REGSAM view; // the client's: KEY_WOW64_32KEY or KEY_WOW64_64KEY
    std::vector<CheckStep> steps;
    size_t Count(CheckStep::Status status) const {
        return std::count_if(steps.begin(), steps.end(),
                             [&](auto& s) { return s.status == status; });
    }
};

struct ClassCheck {
    std::wstring clsid; // braced, upper case
    std::wstring progId;
    std::vector<ClientCheck> clients;
};

struct CheckReport {
    int code = 0;                     // kExitOk, kExitProblems, or a target's refusal's
    std::vector<std::wstring> errors; // targets naming no class, each said in one line
    std::vector<ClassCheck> classes;
};

// Checks, for clients of each bitness, whether classes will work through a host: reads each
// class's registration once (ClassFacts), and judges those facts (Judge). Reads only.
class CClassChecker {
public:
    // ownView: the tool's, whose refusal a target naming no class in either view gets.
    CClassChecker(const IRegistry& registry, const IFiles& files, REGSAM ownView)
        : m_registry(registry), m_files(files), m_ownView(ownView),
          m_reader(registry, files, ownView) {}

    CheckReport Check(const std::vector<std::wstring>& targets);

private:
    const IRegistry& m_registry;
    const IFiles& m_files;
    REGSAM m_ownView;
    CClassReader m_reader;
};

// What a client of one bitness meets on its way to a class through a host, as 64-bit Windows
// documents it, judged from the class's facts alone: where the class is found, what activation
// starts (the AppID's LocalService, else LocalServer32, else the surrogate), which DLL that host
// loads, and what marshals each interface in the client and in the host (Findings.cpp).
std::vector<CheckStep> Judge(const ClassFacts& facts, REGSAM client);

// The report as the tool prints it: per class, each client's steps, then a verdict per bitness;
// and the same findings as one JSON document, whose shape the manual gives.
std::vector<std::wstring> CheckLines(const CheckReport& report);
std::wstring CheckJson(const CheckReport& report);
