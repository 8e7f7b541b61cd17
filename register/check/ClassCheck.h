#pragma once

#include "ClassesView.h"
#include "Files.h"
#include "Registry.h"
#include "RegistryReader.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// One thing a client's activation meets, and what to do when it fails there.
struct CheckStep {
    enum Status { kOk, kNote, kProblem };
    Status status;
    std::wstring step; // class, activation, DLL, AppID, interfaces
    std::wstring text;
    std::wstring fix; // for a problem, and for a note that has one
};

// What a client of one bitness meets, in the order the runtime meets it.
struct ClientCheck {
    REGSAM view; // the client's: KEY_WOW64_32KEY or KEY_WOW64_64KEY
    std::vector<CheckStep> steps;
    size_t Problems() const;
};

struct ClassCheck {
    std::wstring clsid; // braced, upper case
    std::wstring progId;
    std::vector<ClientCheck> clients;
};

struct CheckReport {
    int code = 0;                     // kExitOk, kExitProblems, or a target's refusal's
    std::vector<std::wstring> errors; // targets naming no class: each a line for stderr
    std::vector<ClassCheck> classes;
};

// Follows, for clients of each bitness, what the runtime looks up to activate a class out of
// process and to marshal its interfaces, as 64-bit Windows documents it; reads only.
class CClassChecker {
public:
    // ownView: the tool's, whose refusal a target naming no class in either view gets.
    CClassChecker(IRegistry& registry, const IFiles& files, REGSAM ownView);

    CheckReport Check(const std::vector<std::wstring>& targets);

private:
    struct Server; // the registration that serves a client out of process

    ClientCheck CheckClient(const std::wstring& clsid, REGSAM client) const;
    std::optional<Server> FindServer(const std::wstring& clsid, REGSAM view) const;
    void CheckClass(REGSAM client, const std::optional<Server>& server, bool inOwnView,
                    std::vector<CheckStep>& steps) const;
    WORD CheckDll(const std::wstring& clsid, REGSAM view, std::vector<CheckStep>& steps) const;
    void CheckAppId(const Server& server, WORD dllMachine, std::vector<CheckStep>& steps) const;
    void CheckInterfaces(const std::wstring& clsid, REGSAM client, REGSAM view, WORD dllMachine,
                         std::vector<CheckStep>& steps) const;
    std::optional<std::wstring> Marshaling(const ClassInterface& iface, REGSAM process,
                                           const wchar_t* who, std::wstring& fix,
                                           std::wstring& how) const;
    struct TypeLibraryEntry {
        std::wstring file;     // as registered
        std::wstring platform; // win32 or win64
    };
    TypeLibraryEntry TypeLibraryFile(const std::wstring& libId, const std::wstring& version,
                                     REGSAM process) const;
    std::wstring Locate(const std::wstring& registered, REGSAM view) const;
    std::optional<std::wstring> InterfaceValue(const std::wstring& iid, const std::wstring& subkey,
                                               const std::wstring& name, REGSAM view) const;
    const CClassesView& View(REGSAM view) const {
        return view == KEY_WOW64_64KEY ? m_view64 : m_view32;
    }

    IRegistry& m_registry;
    const IFiles& m_files;
    REGSAM m_ownView;
    CRegistryReader m_reader;
    CClassesView m_view32;
    CClassesView m_view64;
};

// The report as the tool prints it: per class, each client's steps, then a verdict per bitness.
std::vector<std::wstring> CheckLines(const CheckReport& report);
// The same findings as one JSON document.
std::wstring CheckJson(const CheckReport& report);
