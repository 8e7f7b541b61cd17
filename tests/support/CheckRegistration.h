#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

// COM registrations a test writes key by key into one registry view (KEY_WOW64_32KEY or
// KEY_WOW64_64KEY) of HKLM\Software\Classes, as an installer of either bitness would leave them.
// Each top key (CLSID\{...}, AppID\{...}, Interface\{...}, TypeLib\{...}) is created by the
// object or not touched at all: a key that is there already fails the call. Every key it created
// goes with the object, whatever the test did meanwhile.
class CCheckRegistration {
public:
    CCheckRegistration() = default;
    CCheckRegistration(const CCheckRegistration&) = delete;
    CCheckRegistration& operator=(const CCheckRegistration&) = delete;
    ~CCheckRegistration();

    // CLSID\{clsid}: InprocServer32 = server, ThreadingModel Both, AppID = the CLSID, and
    // TypeLib = libId unless it is empty.
    bool AddClass(REGSAM view, REFCLSID clsid, const std::wstring& server,
                  const std::wstring& libId);
    // AppID\{appId}: DllSurrogate = host, and DllSurrogateExecutable = executable unless empty.
    bool AddAppId(REGSAM view, REFGUID appId, const std::wstring& host,
                  const std::wstring& executable = {});
    // Interface\{iid}: its name, ProxyStubClsid32, and TypeLib = libId with Version = version
    // unless libId is empty.
    bool AddInterface(REGSAM view, REFIID iid, const std::wstring& name,
                      const std::wstring& proxyStubClsid, const std::wstring& libId = {},
                      const std::wstring& version = {});
    // TypeLib\{libId}\{version}, as RegisterTypeLib writes it, with the file of each platform
    // given (win32, win64) under locale 0.
    bool AddTypeLib(REGSAM view, REFGUID libId, const std::wstring& version,
                    const std::wstring& name,
                    const std::vector<std::pair<std::wstring, std::wstring>>& platformFiles);
    // CLSID\{clsid}: a proxy/stub DLL's class, InprocServer32 = dll, ThreadingModel Both.
    bool AddProxyStub(REGSAM view, REFCLSID clsid, const std::wstring& dll);

private:
    struct Written {
        REGSAM view;
        std::wstring key;
    };
    // Creates a top key that must not exist yet and records it.
    bool Create(REGSAM view, const std::wstring& key);
    static bool Set(REGSAM view, const std::wstring& key, const wchar_t* name,
                    const std::wstring& value);

    std::vector<Written> m_written;
};

// Removes a top key of HKLM\Software\Classes in one view, with its subkeys.
void DeleteClassesKey(REGSAM view, const std::wstring& key);
