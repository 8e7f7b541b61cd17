#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

// One thing a client's activation meets, and what to do where it fails.
struct CheckStep {
    enum Status { kOk, kNote, kWarning, kProblem };
    Status status;
    const wchar_t* step; // class, activation, appId, dll or interfaces
    const wchar_t* id;   // what was found, for all but ok: proxyStubNotRegistered, ...
    HRESULT hresult;     // what the client meets, where it is known; else S_OK
    std::wstring text;
    std::wstring fix; // what to do; may be empty

    CheckStep(Status status = kOk, const wchar_t* step = L"", const wchar_t* id = nullptr,
              HRESULT hresult = S_OK, std::wstring text = {}, std::wstring fix = {})
        : status(status), step(step), id(id), hresult(hresult), text(std::move(text)),
          fix(std::move(fix)) {}
};

// What a client of one bitness meets, in the order the runtime meets it.
struct ClientCheck {
    REGSAM view; // the client's: KEY_WOW64_32KEY or KEY_WOW64_64KEY
    std::vector<CheckStep> steps;
    size_t Count(CheckStep::Status status) const;
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

// The report as the tool prints it: per class, each client's steps, then a verdict per bitness.
std::vector<std::wstring> CheckLines(const CheckReport& report);
// The same findings as one JSON document (the manual describes its shape).
std::wstring CheckJson(const CheckReport& report);
