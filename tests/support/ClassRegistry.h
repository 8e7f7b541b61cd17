#pragma once

#include "Unique.h"

#include <windows.h>

#include <string>

// Classes the tests put in the registry of the prefix (or machine) they run in.

// Writes a string value under HKEY_CLASSES_ROOT, creating the key.
bool SetClassesValue(const std::wstring& key, const wchar_t* name, const std::wstring& value);

// Removes a class's CLSID and AppID keys, as a test that wrote them leaves the registry.
void DeleteClassKeys(REFCLSID clsid);

// A DLL loaded into this process and registered by its own DllRegisterServer for the life of the
// object; unregistered by its DllUnregisterServer when the object goes.
class CSelfRegisteredDll {
public:
    explicit CSelfRegisteredDll(const std::wstring& path);
    CSelfRegisteredDll(const CSelfRegisteredDll&) = delete;
    CSelfRegisteredDll& operator=(const CSelfRegisteredDll&) = delete;
    ~CSelfRegisteredDll();

    bool Registered() const { return m_registered; }

private:
    HRESULT Call(const char* entry) const;

    win::UniqueModule m_module;
    bool m_registered = false;
};

// A class registered for the life of the object, with its own CLSID as its AppID and this build's
// host as the AppID's surrogate: an in-process server (dll, which need not exist) with a threading
// model. Its keys go with the object, whatever the test did meanwhile.
class CRegisteredClass {
public:
    CRegisteredClass(REFCLSID clsid, const std::wstring& dll, const wchar_t* threadingModel);
    CRegisteredClass(const CRegisteredClass&) = delete;
    CRegisteredClass& operator=(const CRegisteredClass&) = delete;
    ~CRegisteredClass() { DeleteClassKeys(m_clsid); }

    bool Registered() const { return m_registered; }

private:
    const CLSID m_clsid;
    bool m_registered = false;
};
