#include "ComRuntime.h"

#include "Unique.h"

namespace ComRuntime {

HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit) {
    return ::CoInitializeEx(reserved, coInit);
}

void CoUninitialize() {
    ::CoUninitialize();
}

HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR securityDescriptor, LONG authServiceCount,
                             SOLE_AUTHENTICATION_SERVICE* authServices, void* reserved1,
                             DWORD authnLevel, DWORD impLevel, void* authList, DWORD capabilities,
                             void* reserved3) {
    return ::CoInitializeSecurity(securityDescriptor, authServiceCount, authServices, reserved1,
                                  authnLevel, impLevel, authList, capabilities, reserved3);
}

HRESULT CoRegisterSurrogate(ISurrogate* surrogate) {
    return ::CoRegisterSurrogate(surrogate);
}

HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid) {
    return ::CLSIDFromString(text, clsid);
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* progId) {
    return ::ProgIDFromCLSID(clsid, progId);
}

void CoTaskMemFree(LPVOID memory) {
    ::CoTaskMemFree(memory);
}

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD context, DWORD flags,
                              LPDWORD cookie) {
    return ::CoRegisterClassObject(clsid, object, context, flags, cookie);
}

HRESULT CoRevokeClassObject(DWORD cookie) {
    return ::CoRevokeClassObject(cookie);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         LPVOID* object) {
    return ::CoCreateInstance(clsid, outer, context, iid, object);
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, COSERVERINFO* serverInfo, REFIID iid,
                         LPVOID* object) {
    return ::CoGetClassObject(clsid, context, serverInfo, iid, object);
}

ULONG CoAddRefServerProcess() {
    return ::CoAddRefServerProcess();
}

ULONG CoReleaseServerProcess() {
    return ::CoReleaseServerProcess();
}

void CoFreeUnusedLibrariesEx(DWORD unloadDelayMs, DWORD reserved) {
    ::CoFreeUnusedLibrariesEx(unloadDelayMs, reserved);
}

HRESULT CreateStreamOnHGlobal(HGLOBAL global, BOOL deleteOnRelease, LPSTREAM* stream) {
    return ::CreateStreamOnHGlobal(global, deleteOnRelease, stream);
}

HRESULT CoMarshalInterface(LPSTREAM stream, REFIID iid, LPUNKNOWN object, DWORD destContext,
                           LPVOID destContextData, DWORD flags) {
    return ::CoMarshalInterface(stream, iid, object, destContext, destContextData, flags);
}

HRESULT CoReleaseMarshalData(LPSTREAM stream) {
    return ::CoReleaseMarshalData(stream);
}

HRESULT CoGetStandardMarshal(REFIID iid, LPUNKNOWN object, DWORD destContext,
                             LPVOID destContextData, DWORD flags, LPMARSHAL* marshal) {
    return ::CoGetStandardMarshal(iid, object, destContext, destContextData, flags, marshal);
}

HRESULT SetGlobalOption(GLOBALOPT_PROPERTIES property, ULONG_PTR value) {
    win::ComPtr<IGlobalOptions> options;
    const HRESULT created = ::CoCreateInstance(CLSID_GlobalOptions, nullptr, CLSCTX_INPROC_SERVER,
                                               IID_IGlobalOptions, options.PutVoid());
    return FAILED(created) ? created : options->Set(property, value);
}

} // namespace ComRuntime
