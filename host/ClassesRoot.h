#pragma once

#include "ClassPlacement.h"
#include "Unique.h"

#include <windows.h>
#include <objbase.h>

#include <optional>
#include <string>

// Where the host reads its classes' registrations (the AppID value, the InprocServer32 path and
// its ThreadingModel): the merged HKEY_CLASSES_ROOT, where a user's own keys win, or, in a
// process whose integrity level is above Medium, HKEY_LOCAL_MACHINE\Software\Classes only. The
// runtime ignores per-user COM configuration in such a process, and an elevated host must not
// take its security or threading from keys that any of the user's programs can write. Both in the
// host's own registry view.
class CClassesRoot {
public:
    // As this process's integrity level says.
    CClassesRoot();
    // merged stands for HKEY_CLASSES_ROOT and machine for the machine's classes (opened here when
    // nullptr), for tests.
    explicit CClassesRoot(bool perUserAllowed, HKEY merged = HKEY_CLASSES_ROOT,
                          HKEY machine = nullptr);
    CClassesRoot(const CClassesRoot&) = delete;
    CClassesRoot& operator=(const CClassesRoot&) = delete;

    // True for a process of this mandatory integrity level (the last subauthority of its label):
    // Medium and below.
    static bool PerUserAllowed(DWORD integrityLevel);

    // The root to read from; nullptr when the machine's classes could not be opened, so that
    // nothing is read.
    HKEY Get() const { return m_perUser ? m_merged : m_machine ? m_machine.Get() : m_given; }

    // A string value of a key below the root: REG_SZ, or REG_EXPAND_SZ expanded unless
    // expandable is false; nothing when absent, of another type or unreadable.
    std::optional<std::wstring> ReadString(const std::wstring& key, const wchar_t* value,
                                           bool expandable = true) const;

    // Where the class is to be served, from its InprocServer32 key.
    ClassPlacement Placement(REFCLSID clsid) const;

private:
    bool m_perUser;
    HKEY m_merged;
    HKEY m_given;
    win::UniqueKey m_machine;
};
