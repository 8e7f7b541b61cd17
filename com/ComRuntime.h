#pragma once

#include <objbase.h>

// The COM runtime services the class factory, the surrogate and the hosting phase call. The
// program binds them to ole32 (ComRuntimeOle32.cpp); tests link a recording fake instead.
namespace ComRuntime {

HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
void CoUninitialize();
HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR securityDescriptor, LONG authServiceCount,
                             SOLE_AUTHENTICATION_SERVICE* authServices, void* reserved1,
                             DWORD authnLevel, DWORD impLevel, void* authList, DWORD capabilities,
                             void* reserved3);
HRESULT CoRegisterSurrogate(ISurrogate* surrogate);
HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid);
HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* progId);
void CoTaskMemFree(LPVOID memory);
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD context, DWORD flags,
                              LPDWORD cookie);
HRESULT CoRevokeClassObject(DWORD cookie);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         LPVOID* object);
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, COSERVERINFO* serverInfo, REFIID iid,
                         LPVOID* object);
ULONG CoAddRefServerProcess();
ULONG CoReleaseServerProcess();
void CoFreeUnusedLibrariesEx(DWORD unloadDelayMs, DWORD reserved);
HRESULT CreateStreamOnHGlobal(HGLOBAL global, BOOL deleteOnRelease, LPSTREAM* stream);
HRESULT CoMarshalInterface(LPSTREAM stream, REFIID iid, LPUNKNOWN object, DWORD destContext,
                           LPVOID destContextData, DWORD flags);
HRESULT CoReleaseMarshalData(LPSTREAM stream);
HRESULT CoGetStandardMarshal(REFIID iid, LPUNKNOWN object, DWORD destContext,
                             LPVOID destContextData, DWORD flags, LPMARSHAL* marshal);
// IGlobalOptions::Set on the runtime's CLSID_GlobalOptions object.
HRESULT SetGlobalOption(GLOBALOPT_PROPERTIES property, ULONG_PTR value);

} // namespace ComRuntime
