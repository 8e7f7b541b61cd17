#include "FakeComRuntime.h"

#include "ComRuntime.h"

#include <algorithm>

namespace {

FakeComRuntime g_fake;
std::recursive_mutex g_lock;

using Hold = std::lock_guard<std::recursive_mutex>;

} // namespace

FakeComRuntime& Fake() {
    return g_fake;
}

std::recursive_mutex& FakeLock() {
    return g_lock;
}

void ResetFake() {
    Hold hold(g_lock);
    delete[] g_fake.progIdGiven;
    g_fake = FakeComRuntime();
}

FakeComRuntime FakeSnapshot() {
    Hold hold(g_lock);
    return g_fake;
}

namespace ComRuntime {

HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit) {
    Hold hold(g_lock);
    g_fake.calls.push_back(L"CoInitializeEx");
    ++g_fake.initializeCalls;
    g_fake.initializeReserved = reserved;
    g_fake.initializeFlags = coInit;
    return S_OK;
}

void CoUninitialize() {
    Hold hold(g_lock);
    g_fake.calls.push_back(L"CoUninitialize");
    ++g_fake.uninitializeCalls;
}

HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR securityDescriptor, LONG authServiceCount,
                             SOLE_AUTHENTICATION_SERVICE* authServices, void* reserved1, DWORD,
                             DWORD, void* authList, DWORD capabilities, void* reserved3) {
    Hold hold(g_lock);
    g_fake.calls.push_back(L"CoInitializeSecurity");
    GUID appId = {};
    if ((capabilities & EOAC_APPID) != 0 && securityDescriptor != nullptr) {
        appId = *static_cast<const GUID*>(securityDescriptor);
    }
    g_fake.securityCalls.push_back({capabilities, appId, authServiceCount,
                                    authServices == nullptr && reserved1 == nullptr &&
                                        authList == nullptr && reserved3 == nullptr});
    return g_fake.model != nullptr ? g_fake.model->InitializeSecurity()
                                   : g_fake.initializeSecurityResult;
}

HRESULT CoRegisterSurrogate(ISurrogate* surrogate) {
    Hold hold(g_lock);
    g_fake.calls.push_back(L"CoRegisterSurrogate");
    g_fake.surrogates.push_back(surrogate);
    return g_fake.registerSurrogateResult;
}

HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid) {
    Hold hold(g_lock);
    g_fake.calls.push_back(L"CLSIDFromString");
    g_fake.clsidTexts.push_back(text);
    if (SUCCEEDED(g_fake.clsidFromStringResult)) {
        *clsid = g_fake.clsidFromString;
    }
    return g_fake.clsidFromStringResult;
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* progId) {
    Hold hold(g_lock);
    g_fake.calls.push_back(L"ProgIDFromCLSID");
    g_fake.progIdLookups.push_back(clsid);
    if (FAILED(g_fake.progIdResult)) {
        return g_fake.progIdResult;
    }
    delete[] g_fake.progIdGiven;
    g_fake.progIdGiven = new wchar_t[g_fake.progId.size() + 1];
    std::copy(g_fake.progId.c_str(), g_fake.progId.c_str() + g_fake.progId.size() + 1,
              g_fake.progIdGiven);
    *progId = g_fake.progIdGiven;
    return g_fake.progIdResult;
}

void CoTaskMemFree(LPVOID memory) {
    Hold hold(g_lock);
    g_fake.calls.push_back(L"CoTaskMemFree");
    g_fake.freed.push_back(memory);
}

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD context, DWORD flags,
                              LPDWORD cookie) {
    std::function<void()> hook;
    HRESULT result;
    {
        Hold hold(g_lock);
        g_fake.calls.push_back(L"CoRegisterClassObject");
        const DWORD onEntry = *cookie;
        result = g_fake.registerResult;
        *cookie = g_fake.nextCookie++;
        if (SUCCEEDED(result)) {
            object->AddRef();
        }
        g_fake.registrations.push_back(
            {clsid, object, context, flags, onEntry, *cookie, SUCCEEDED(result)});
        hook = g_fake.onRegister;
    }
    if (hook) {
        hook();
    }
    return result;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
    std::function<void()> hook;
    HRESULT result;
    {
        Hold hold(g_lock);
        g_fake.calls.push_back(L"CoRevokeClassObject");
        g_fake.revoked.push_back(cookie);
        for (auto& registration : g_fake.registrations) {
            if (registration.cookie == cookie && registration.held) {
                g_fake.countAfterRevoke.push_back(registration.object->Release());
                registration.held = false;
                break;
            }
        }
        result = g_fake.revokeResult;
        hook = g_fake.onRevoke;
    }
    if (hook) {
        hook();
    }
    return result;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         LPVOID* object) {
    IRuntimeModel* model = nullptr;
    {
        Hold hold(g_lock);
        g_fake.calls.push_back(L"CoCreateInstance");
        g_fake.creations.push_back({clsid, outer, context, iid, object});
        if (g_fake.model == nullptr) {
            return g_fake.createResult;
        }
        model = g_fake.model;
    }
    return model->CreateInstance(clsid, outer, iid, object);
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, COSERVERINFO*, REFIID iid, LPVOID* object) {
    IRuntimeModel* model = nullptr;
    {
        Hold hold(g_lock);
        g_fake.calls.push_back(L"CoGetClassObject");
        g_fake.classObjectContexts.push_back(context);
        *object = nullptr;
        if (g_fake.model == nullptr) {
            if (FAILED(g_fake.getClassObjectResult)) {
                return g_fake.getClassObjectResult;
            }
            IClassFactory* const classObject = new CLockCountingClassObject(g_fake.dllLocks);
            const HRESULT result = classObject->QueryInterface(iid, object);
            classObject->Release();
            return result;
        }
        model = g_fake.model;
    }
    return model->GetInprocClassObject(clsid, iid, object);
}

namespace {

ULONG MoveServerProcessCount(const wchar_t* call, long by) {
    IRuntimeModel* model = nullptr;
    long count = 0;
    {
        Hold hold(g_lock);
        g_fake.calls.push_back(call);
        count = g_fake.serverProcessCount += by;
        model = g_fake.model;
    }
    if (model != nullptr) {
        model->ServerProcessCountChanged(count);
    }
    return static_cast<ULONG>(count);
}

} // namespace

ULONG CoAddRefServerProcess() {
    return MoveServerProcessCount(L"CoAddRefServerProcess", 1);
}

ULONG CoReleaseServerProcess() {
    return MoveServerProcessCount(L"CoReleaseServerProcess", -1);
}

void CoFreeUnusedLibrariesEx(DWORD unloadDelayMs, DWORD) {
    IRuntimeModel* model = nullptr;
    {
        Hold hold(g_lock);
        g_fake.calls.push_back(L"CoFreeUnusedLibrariesEx");
        model = g_fake.model;
    }
    if (model != nullptr) {
        model->FreeUnusedLibraries(unloadDelayMs);
    }
}

HRESULT CreateStreamOnHGlobal(HGLOBAL global, BOOL deleteOnRelease, LPSTREAM* stream) {
    Hold hold(g_lock);
    g_fake.calls.push_back(L"CreateStreamOnHGlobal");
    return ::CreateStreamOnHGlobal(global, deleteOnRelease, stream);
}

// Like the runtime's stub, a marshal holds the object until its data is released.
HRESULT CoMarshalInterface(LPSTREAM stream, REFIID iid, LPUNKNOWN object, DWORD destContext,
                           LPVOID, DWORD flags) {
    Hold hold(g_lock);
    g_fake.calls.push_back(L"CoMarshalInterface");
    if (FAILED(g_fake.marshalResult)) {
        return g_fake.marshalResult;
    }
    object->AddRef();
    g_fake.marshals.push_back({object, iid, destContext, flags, stream, true});
    const ULONG index = static_cast<ULONG>(g_fake.marshals.size() - 1);
    return stream->Write(&index, sizeof(index), nullptr);
}

HRESULT CoReleaseMarshalData(LPSTREAM stream) {
    Hold hold(g_lock);
    g_fake.calls.push_back(L"CoReleaseMarshalData");
    g_fake.releasedMarshals.push_back(stream);
    ULONG index = 0;
    ULONG read = 0;
    if (FAILED(stream->Read(&index, sizeof(index), &read)) || read != sizeof(index) ||
        index >= g_fake.marshals.size() || !g_fake.marshals[index].held) {
        return E_INVALIDARG;
    }
    g_fake.marshals[index].held = false;
    g_fake.marshals[index].object->Release();
    return S_OK;
}

} // namespace ComRuntime
