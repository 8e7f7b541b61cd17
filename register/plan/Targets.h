#pragma once

#include "ClassesView.h"
#include "Files.h"

#include <optional>
#include <string>
#include <vector>

// pelmora-register's exit codes.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,            // unknown command or option, or no target
    kExitNotRegistered = 2,    // a target names no class registered in this view
    kExitLocalServer = 3,      // a class has its own server: LocalServer32, or its AppID's service
    kExitOtherHost = 4,        // a class's AppID starts another program (and no --force)
    kExitAccessDenied = 5,     // the keys may not be read or written
    kExitFailed = 6,           // the host is missing, an AppID is unusable, or the registry failed
    kExitChangedSince = 7,     // remove: a DllSurrogate was changed since add (and no --force)
    kExitSharedAppId = 8,      // add: the AppID is used by classes not being added (and no --force)
    kExitChangedMeanwhile = 9, // the keys changed between reading and writing; nothing written
    kExitOtherTool = 10,       // remove: the other bitness's pelmora-register added the class
    kExitProblems = 11,        // check: a client of either bitness would fail
};

// Why a command cannot do what it was asked, as one line naming its class, and its exit code.
struct Refusal {
    int code;
    std::wstring text;
    std::wstring force = {}; // what --force does about it; empty when it cannot
};

// A class that a target names.
struct TargetClass {
    std::wstring clsid;       // braced, upper case
    std::optional<Root> root; // of its class key as the merged view shows it; none when gone
};

// What advice names for a view's bitness: the tool as the zip's folders hold it
// (x86\pelmora-register), and the programs that register a DLL of that bitness.
const wchar_t* Tool(REGSAM view);
std::wstring Regsvr32(REGSAM view);
std::wstring Regasm(REGSAM view);
// A class as the messages name it: its CLSID and ProgID.
std::wstring Describe(const CClassesView& classes, const std::wstring& clsid);

// The classes that targets name in one registry view: a DLL's path (every class whose
// InprocServer32 is that file), a braced CLSID, or a ProgID, as the runtime finds them.
class CTargets {
public:
    CTargets(const CClassesView& classes, const IFiles& files)
        : m_classes(classes), m_files(files) {}

    // removing: a CLSID without a class key counts too, as remove finds it by its records.
    std::vector<TargetClass> Resolve(const std::vector<std::wstring>& targets, bool removing,
                                     std::vector<Refusal>& refusals) const;

private:
    void Clsid(const std::wstring& clsid, bool removing, std::vector<TargetClass>& classes,
               std::vector<Refusal>& refusals) const;
    void ProgId(const std::wstring& progId, std::vector<TargetClass>& classes,
                std::vector<Refusal>& refusals) const;
    void Dll(const std::wstring& path, std::vector<TargetClass>& classes,
             std::vector<Refusal>& refusals) const;
    // Why nothing was found: a key this user may not read, else what to register first.
    Refusal NotFound(const std::wstring& what, const std::wstring& advice) const;
    std::wstring NotRegistered() const;

    const CClassesView& m_classes;
    const IFiles& m_files;
};
