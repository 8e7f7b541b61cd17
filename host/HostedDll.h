#pragma once

#include <objbase.h>

#include <string>
#include <utility>
#include <vector>

// The DLL registered as the hosted class's in-process server, asked through its DllCanUnloadNow
// whether any of its objects is alive.
class CHostedDll {
public:
    explicit CHostedDll(REFCLSID clsid);

    // False while the DLL is not loaded into this process (or the class has no DLL registered);
    // otherwise true unless its DllCanUnloadNow answers S_OK. A DLL without DllCanUnloadNow
    // cannot say, and counts as in use.
    bool InUse() const;

private:
    std::wstring m_path;
};

// The DLLs of every class the surrogate has loaded, each looked up in the registry once.
class CHostedDlls {
public:
    // True when the DLL of any of these classes is in use.
    bool AnyInUse(const std::vector<CLSID>& classes);

private:
    std::vector<std::pair<CLSID, CHostedDll>> m_dlls;
};
