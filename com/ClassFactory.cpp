#include "ClassFactory.h"

#include "ComRuntime.h"

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
        *out = static_cast<IClassFactory*>(this);
        static_cast<IUnknown*>(*out)->AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() {
    return ++m_refCount;
}

ULONG STDMETHODCALLTYPE CClassFactory::Release() {
    const ULONG count = --m_refCount;
    if (count == 0) {
        delete this;
    }
    return count;
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
    return ComRuntime::CoCreateInstance(m_clsid, outer, CLSCTX_INPROC_SERVER, iid, out);
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock) {
    if (lock) {
        ComRuntime::CoAddRefServerProcess();
    } else {
        ComRuntime::CoReleaseServerProcess();
    }
    return S_OK;
}
