#pragma once

#include "RegistryKey.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// The program's exit codes.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,         // unknown command or option, or no target
    kExitNotRegistered = 2, // a target names no class registered in this view
    kExitLocalServer = 3,   // a class has LocalServer32
    kExitOtherHost = 4,     // a class's AppID names another surrogate (and no --force)
    kExitAccessDenied = 5,  // the keys may not be written
    kExitFailed = 6,        // the host is missing, or the registry failed otherwise
};

// Points classes of one registry view at one host, and back. Every refusal is found before
// anything is written, so a refused command changes nothing.
class CRegistrar {
public:
    using Print = std::function<void(const std::wstring&)>;

    // view: KEY_WOW64_32KEY or KEY_WOW64_64KEY. hostPath: the host's full path.
    CRegistrar(REGSAM view, std::wstring hostPath, Print out, Print error);

    int Add(const std::vector<std::wstring>& targets, bool force);
    int Remove(const std::vector<std::wstring>& targets);
    int List();

    struct Class {
        std::wstring clsid; // braced, upper case
        size_t root;        // index into the roots
    };

private:
    struct Refusal {
        int code = kExitOk;
        std::wstring reason;
    };

    HKEY Root(size_t index) const;
    // Every class of this view once, HKCU's before HKLM's: the root's index, its CLSID key, the
    // subkey's name as written and the CLSID in canonical form.
    using ClassVisitor = std::function<void(size_t root, HKEY classes, const std::wstring& subkey,
                                            const std::wstring& clsid)>;
    void ForEachClass(const ClassVisitor& visit) const;
    Refusal Resolve(const std::vector<std::wstring>& targets, std::vector<Class>& classes) const;
    Refusal ResolveClsid(const std::wstring& clsid, std::vector<Class>& classes) const;
    Refusal ResolveProgId(const std::wstring& progId, std::vector<Class>& classes) const;
    Refusal ResolveDll(const std::wstring& path, std::vector<Class>& classes) const;
    Refusal CheckAdd(const Class& cls, bool force) const;
    Refusal CheckWritable(const Class& cls) const;
    LONG ApplyAdd(const Class& cls, bool& changed);
    LONG ApplyRemove(const Class& cls, bool& changed);
    bool IsThisHost(const std::wstring& surrogate) const;
    std::wstring Describe(const Class& cls) const;
    std::wstring AppIdOf(const Class& cls) const;
    int Fail(const Refusal& refusal) const;

    REGSAM m_view;
    std::wstring m_hostPath;
    std::wstring m_hostValue; // what DllSurrogate gets: the path, quoted when it has a space
    Print m_out;
    Print m_error;
    // HKCU\Software\Classes, then HKLM\Software\Classes: the order in which HKCR finds a
    // class. Either may be missing.
    CRegistryKey m_roots[2];
};
