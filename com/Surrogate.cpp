#include "Surrogate.h"

#include "ClassFactory.h"
#include "ComRuntime.h"

#include <new>

HANDLE CreateCompletionEvent() {
    return CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

CSurrogate::CSurrogate(CompletionEventFactory createEvent) : m_event(createEvent()) {}

HRESULT STDMETHODCALLTYPE CSurrogate::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ISurrogate)) {
        *out = static_cast<ISurrogate*>(this);
        static_cast<IUnknown*>(*out)->AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CSurrogate::AddRef() {
    return ++m_refCount;
}

ULONG STDMETHODCALLTYPE CSurrogate::Release() {
    return --m_refCount;
}

HRESULT STDMETHODCALLTYPE CSurrogate::LoadDllServer(REFCLSID clsid) {
    CClassFactory* const factory = new (std::nothrow) CClassFactory(clsid, &m_activity);
    if (factory == nullptr) {
        return E_OUTOFMEMORY;
    }
    // Held across the registration so that a FreeSurrogate on another thread never sees a
    // factory whose cookie is not stored yet.
    CLock hold(m_factoryLock);
    // A factory that was current before stays registered; the runtime revokes it at
    // CoUninitialize.
    m_factory = factory;
    m_factoryRevoked = false;
    factory->AddRef();
    DWORD cookie = 0;
    const HRESULT result = ComRuntime::CoRegisterClassObject(
        clsid, factory, CLSCTX_LOCAL_SERVER, REGCLS_SURROGATE | REGCLS_MULTI_SEPARATE, &cookie);
    factory->SetCookie(cookie);
    return result;
}

HRESULT STDMETHODCALLTYPE CSurrogate::FreeSurrogate() {
    CClassFactory* factory = nullptr;
    bool revoked = false;
    {
        CLock hold(m_factoryLock);
        factory = m_factory;
        revoked = m_factoryRevoked;
        m_factory = nullptr;
        m_factoryRevoked = false;
    }
    if (factory == nullptr) {
        return S_OK;
    }
    const HRESULT result = revoked ? S_OK : ComRuntime::CoRevokeClassObject(factory->Cookie());
    // Only the surrogate's own reference: a holder that still counts one keeps the factory
    // alive, and it deletes itself on that holder's Release.
    factory->Release();
    SetEvent(m_event.Get());
    return result;
}

HRESULT CSurrogate::RevokeClassObject() {
    DWORD cookie = 0;
    {
        CLock hold(m_factoryLock);
        if (m_factory == nullptr || m_factoryRevoked) {
            return S_OK;
        }
        m_factoryRevoked = true;
        cookie = m_factory->Cookie();
    }
    // Outside the lock: revoking may wait for the runtime's threads.
    return ComRuntime::CoRevokeClassObject(cookie);
}

IUnknown* CSurrogate::ClassObject() {
    CLock hold(m_factoryLock);
    if (m_factory == nullptr) {
        return nullptr;
    }
    m_factory->AddRef();
    return m_factory;
}
