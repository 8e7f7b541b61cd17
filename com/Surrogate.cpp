#include "Surrogate.h"

#include "ClassFactory.h"
#include "ComRuntime.h"

#include <new>
#include <utility>

HANDLE CreateCompletionEvent() {
    return CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

CSurrogate::CSurrogate(CompletionEventFactory createEvent)
    : m_event(createEvent()), m_activity(std::make_shared<CServerActivity>()) {}

HRESULT STDMETHODCALLTYPE CSurrogate::LoadDllServer(REFCLSID clsid) {
    // Held across the registration so that a FreeSurrogate on another thread never sees a class
    // whose cookie is not stored yet.
    win::ExclusiveLock hold(m_classesLock);
    // A class loaded before stays as it is: a second factory would leave the first registered.
    for (const auto& loaded : m_classes) {
        if (IsEqualCLSID(loaded.Clsid(), clsid)) {
            return loaded.Registered();
        }
    }
    // Created with the reference that the registration below takes over.
    CClassFactory* const factory = new (std::nothrow) CClassFactory(clsid, m_activity);
    if (factory == nullptr) {
        return E_OUTOFMEMORY;
    }
    // Room first, so that a registration made is always kept.
    try {
        m_classes.reserve(m_classes.size() + 1);
    } catch (const std::bad_alloc&) {
        factory->Release();
        return E_OUTOFMEMORY;
    }
    DWORD cookie = 0;
    const HRESULT result = ComRuntime::CoRegisterClassObject(
        clsid, static_cast<IClassFactory*>(factory), CLSCTX_LOCAL_SERVER,
        REGCLS_SURROGATE | REGCLS_MULTI_SEPARATE, &cookie);
    factory->SetCookie(cookie);
    m_classes.emplace_back(clsid, factory, result);
    return result;
}

HRESULT STDMETHODCALLTYPE CSurrogate::FreeSurrogate() {
    std::vector<CClassRegistration> classes;
    {
        win::ExclusiveLock hold(m_classesLock);
        classes.swap(m_classes);
    }
    if (classes.empty()) {
        return S_OK;
    }
    // Every class goes; the first failure, if any, is the answer.
    HRESULT result = S_OK;
    for (size_t i = 0; i < classes.size(); ++i) {
        const HRESULT revoked = classes[i].Revoke();
        if (i == 0 || (FAILED(revoked) && SUCCEEDED(result))) {
            result = revoked;
        }
    }
    // The factories go before the signal: the hosting phase ends once it sees it.
    classes.clear();
    SetEvent(m_event.Get());
    return result;
}

HRESULT CSurrogate::RevokeClassObject() {
    HRESULT result = S_OK;
    for (;;) {
        DWORD cookie = 0;
        bool found = false;
        {
            win::ExclusiveLock hold(m_classesLock);
            for (auto& loaded : m_classes) {
                if (loaded.TakeCookie(cookie)) {
                    found = true;
                    break;
                }
            }
        }
        if (!found) {
            return result;
        }
        // Outside the lock: revoking may wait for the runtime's threads.
        const HRESULT revoked = ComRuntime::CoRevokeClassObject(cookie);
        if (FAILED(revoked) && SUCCEEDED(result)) {
            result = revoked;
        }
    }
}

IUnknown* CSurrogate::ClassObject(REFCLSID clsid) {
    win::ExclusiveLock hold(m_classesLock);
    for (const auto& loaded : m_classes) {
        if (IsEqualCLSID(loaded.Clsid(), clsid)) {
            loaded.Factory()->AddRef();
            return static_cast<IClassFactory*>(loaded.Factory());
        }
    }
    return nullptr;
}

std::vector<CLSID> CSurrogate::LoadedClasses() {
    win::ExclusiveLock hold(m_classesLock);
    std::vector<CLSID> clsids;
    for (const auto& loaded : m_classes) {
        clsids.push_back(loaded.Clsid());
    }
    return clsids;
}
