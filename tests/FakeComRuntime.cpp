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

HRESULT CoRegisterSurrogate(ISurrogate* surrogate) {
    Hold hold(g_lock);
    g_fake.calls.push_back(L"CoRegisterSurrogate");
    g_fake.surrogates.push_back(surrogate);
    // Wine's answer; the host must go on regardless.
    return E_NOTIMPL;
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
    return g_fake.revokeResult;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         LPVOID* object) {
    Hold hold(g_lock);
    g_fake.calls.push_back(L"CoCreateInstance");
    g_fake.creations.push_back({clsid, outer, context, iid, object});
    return g_fake.createResult;
}

ULONG CoAddRefServerProcess() {
    Hold hold(g_lock);
    g_fake.calls.push_back(L"CoAddRefServerProcess");
    return static_cast<ULONG>(++g_fake.serverProcessCount);
}

ULONG CoReleaseServerProcess() {
    Hold hold(g_lock);
    g_fake.calls.push_back(L"CoReleaseServerProcess");
    return static_cast<ULONG>(--g_fake.serverProcessCount);
}

} // namespace ComRuntime
