#pragma once

#include "ClassesView.h"
#include "Files.h"
#include "Registry.h"
#include "RegistryReader.h"
#include "SurrogateUndo.h"

#include <windows.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The program's exit codes.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,            // unknown command or option, or no target
    kExitNotRegistered = 2,    // a target names no class registered in this view
    kExitLocalServer = 3,      // a class has LocalServer32
    kExitOtherHost = 4,        // a class's AppID has another DllSurrogate (and no --force)
    kExitAccessDenied = 5,     // the keys may not be written
    kExitFailed = 6,           // the host is missing, an AppID is unusable, or the registry failed
    kExitChangedSince = 7,     // remove: a DllSurrogate was changed since add (and no --force)
    kExitSharedAppId = 8,      // add: the AppID is used by classes not being added (and no --force)
    kExitChangedMeanwhile = 9, // the keys changed between reading and writing; nothing written
    kExitOtherTool = 10,       // remove: the other bitness's pelmora-register added the class
    kExitProblems = 11,        // check: a client of either bitness would fail
};

struct Command {
    enum Kind { kAdd, kRemove, kList };
    Kind kind = kList;
    std::vector<std::wstring> targets;
    bool force = false;
};

// Everything one command will do, found and checked before any of it is written.
struct Plan {
    struct Write {
        enum Kind { kSet, kDelete, kDeleteKeyIfEmpty };
        Kind kind;
        KeyName key;
        std::wstring name;
        RegistryValue value; // for kSet
    };

    int code = kExitOk;               // the first refusal's, or kExitOk
    std::vector<std::wstring> errors; // every refusal, or the warnings: each a line for stderr
    std::vector<Write> writes;        // in the order that leaves an undoable state when stopped
    std::vector<KeyName> basis;       // the keys whose values decided the writes, besides theirs
    std::vector<std::wstring> lines;  // for stdout, once written
};

// Points classes of one registry view at one host, and back: resolves the targets, plans every
// write in every root, checks the whole plan, and only then applies it.
class CRegistrar {
public:
    using Print = std::function<void(const std::wstring&)>;

    // view: KEY_WOW64_32KEY or KEY_WOW64_64KEY, the tool's own. hostPath: the host's full path.
    CRegistrar(IRegistry& registry, const IFiles& files, REGSAM view, std::wstring hostPath);

    Plan MakePlan(const Command& command);
    // Writes nothing when the plan is refused, or when a key it read has changed since.
    int Apply(const Plan& plan, const Print& out, const Print& error);
    int Run(const Command& command, const Print& out, const Print& error) {
        return Apply(MakePlan(command), out, error);
    }
    // The classes a target names in this view, braced and upper case, as add finds them; when
    // they cannot all be found, why (a line for stderr) and the exit code.
    std::vector<std::wstring> ClassesOf(const std::wstring& target, std::wstring& refusal,
                                        int& code) const;

private:
    struct Class {
        std::wstring clsid;       // braced, upper case
        std::optional<Root> root; // of its class key as the merged view shows it; none when gone
    };
    struct Problem {
        int code;
        std::wstring text;
        std::wstring force; // what --force does about it; empty when it cannot
    };
    // An AppID key, as named below one root.
    struct AppIdKey {
        Root root;
        std::wstring appId; // canonical
        bool operator<(const AppIdKey& other) const {
            return root != other.root ? root < other.root : appId < other.appId;
        }
    };
    struct AppIdUser {
        std::wstring appId;
        REGSAM view;
        std::wstring clsid;
    };

    std::vector<Class> Resolve(const std::vector<std::wstring>& targets, bool removing,
                               std::vector<Problem>& problems) const;
    void ResolveClsid(const std::wstring& clsid, bool removing, std::vector<Class>& classes,
                      std::vector<Problem>& problems) const;
    void ResolveProgId(const std::wstring& progId, std::vector<Class>& classes,
                       std::vector<Problem>& problems) const;
    void ResolveDll(const std::wstring& path, std::vector<Class>& classes,
                    std::vector<Problem>& problems) const;

    void PlanAdd(const std::vector<Class>& classes, bool force, std::vector<Problem>& problems,
                 Plan& plan);
    void PlanRemove(const std::vector<Class>& classes, bool force, std::vector<Problem>& problems,
                    Plan& plan);
    void PlanList(Plan& plan);
    static void Settle(std::vector<Problem>& problems, bool force, Plan& plan);
    // Whether the key may be written; a problem naming the class when not.
    bool Writable(const std::wstring& name, const KeyName& key,
                  std::vector<Problem>& problems) const;

    CSurrogateUndo& UndoOf(const AppIdKey& at);
    void WriteUndo(Plan& plan);
    std::vector<AppIdKey> KeysWithRecordsOf(const std::wstring& clsid);
    std::optional<RegistryValue> ClassValue(const Class& cls, const wchar_t* name) const;
    std::optional<Root> AppIdRoot(const std::wstring& appId) const;
    const std::vector<AppIdUser>& AppIdUsers() const;
    bool IsThisHost(const RegistryValue& value) const;
    bool SameHost(const RegistryValue& written, const RegistryValue& now) const;
    std::wstring Describe(const CClassesView& classes, const std::wstring& clsid) const;
    std::wstring Describe(const std::wstring& clsid) const { return Describe(m_classes, clsid); }
    const wchar_t* ViewName() const;
    const wchar_t* OtherViewName() const;

    IRegistry& m_registry;
    const IFiles& m_files;
    CRegistryReader m_reader;
    CClassesView m_classes;
    // The other view's classes share the AppID keys on 64-bit Windows.
    std::optional<CClassesView> m_otherClasses;
    std::wstring m_hostPath;
    std::wstring m_hostValue; // what DllSurrogate gets: the path, quoted when it has a space
    std::map<AppIdKey, CSurrogateUndo> m_undo;
    mutable std::optional<std::vector<AppIdUser>> m_appIdUsers;
};
