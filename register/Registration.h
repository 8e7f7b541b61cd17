#pragma once

#include "ClassesView.h"
#include "FileIdentity.h"
#include "RegistryKey.h"
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
    kExitUsage = 1,         // unknown command or option, or no target
    kExitNotRegistered = 2, // a target names no class registered in this view
    kExitLocalServer = 3,   // a class has LocalServer32
    kExitOtherHost = 4,     // a class's AppID has another DllSurrogate (and no --force)
    kExitAccessDenied = 5,  // the keys may not be written
    kExitFailed = 6,        // the host is missing, or the registry failed otherwise
    kExitChangedSince = 7,  // remove: a DllSurrogate was changed since add (and no --force)
    kExitSharedAppId = 8,   // add: the AppID is used by classes not being added (and no --force)
};

// Points classes of one registry view at one host, and back. Every refusal is found before
// anything is written, so a refused command changes nothing.
class CRegistrar {
public:
    using Print = std::function<void(const std::wstring&)>;

    // view: KEY_WOW64_32KEY or KEY_WOW64_64KEY. hostPath: the host's full path.
    CRegistrar(REGSAM view, std::wstring hostPath, Print out, Print error);

    int Add(const std::vector<std::wstring>& targets, bool force);
    int Remove(const std::vector<std::wstring>& targets, bool force);
    int List();

    struct Class {
        std::wstring clsid; // braced, upper case
        size_t root;        // the root of its class key
    };

private:
    struct Refusal {
        int code = kExitOk;
        std::wstring reason;
    };
    // The AppID key that holds a class's DllSurrogate: HKCU's or else HKLM's, as the runtime
    // finds it; where there is none, the root of the class, where add creates it.
    struct AppIdKey {
        size_t root;
        std::wstring appId;
        bool operator<(const AppIdKey& other) const {
            return root != other.root ? root < other.root : appId < other.appId;
        }
    };
    // The undo records of the AppID keys that one command reads and changes.
    using Session = std::map<AppIdKey, CSurrogateUndo>;
    // A class of either view that names an AppID.
    struct AppIdUser {
        std::wstring appId;
        REGSAM view;
        std::wstring clsid;
    };

    HKEY Root(size_t index) const { return m_classes.Root(index); }
    Refusal Resolve(const std::vector<std::wstring>& targets, std::vector<Class>& classes) const;
    Refusal ResolveClsid(const std::wstring& clsid, std::vector<Class>& classes) const;
    Refusal ResolveProgId(const std::wstring& progId, std::vector<Class>& classes) const;
    Refusal ResolveDll(const std::wstring& path, std::vector<Class>& classes) const;
    Refusal CheckAdd(const Class& cls) const;
    Refusal CheckWritable(const Class& cls) const;
    CSurrogateUndo::Outcome AddTo(CSurrogateUndo& undo, const Class& cls, bool force) const;
    Refusal PlanAdd(Session& session, const Class& cls, const std::vector<Class>& classes,
                    bool force) const;
    Refusal PlanRemove(Session& session, const Class& cls, bool force) const;
    CSurrogateUndo& UndoOf(Session& session, const AppIdKey& at) const;
    LONG Store(const AppIdKey& at, CSurrogateUndo& undo) const;
    bool IsThisHost(const std::wstring& surrogate) const;
    std::wstring Describe(const Class& cls) const;
    std::wstring Describe(const CClassesView& classes, const std::wstring& clsid) const;
    std::wstring AppIdOf(const Class& cls) const;
    AppIdKey AppIdKeyOf(const Class& cls) const;
    const std::vector<AppIdUser>& AppIdUsers() const;
    int Fail(const Refusal& refusal) const;

    // This view's classes, and the other view's, which shares the AppID keys on 64-bit Windows.
    CClassesView m_classes;
    std::optional<CClassesView> m_otherClasses;
    std::wstring m_hostPath;
    CFileIdentity m_hostIdentity;
    std::wstring m_hostValue; // what DllSurrogate gets: the path, quoted when it has a space
    Print m_out;
    Print m_error;
    mutable std::optional<std::vector<AppIdUser>> m_appIdUsers;
};
