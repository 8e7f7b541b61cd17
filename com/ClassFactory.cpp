#include "ClassFactory.h"

#include "ComRuntime.h"

namespace {

// Counts one call as in progress for as long as it runs.
class CCallInProgress {
public:
    explicit CCallInProgress(CServerActivity& activity) : m_activity(activity) {
        m_activity.CallStarted();
    }
    CCallInProgress(const CCallInProgress&) = delete;
    CCallInProgress& operator=(const CCallInProgress&) = delete;
    ~CCallInProgress() { m_activity.CallEnded(); }

private:
    CServerActivity& m_activity;
};

// Interfaces through which the runtime learns how to marshal and call an object. Answered for
// the DLL's class object, they would make the runtime treat the host's factory as that object
// (agile, not marshallable, with a handler of its own), so they are never passed on.
bool IsMarshallingInterface(REFIID iid) {
    static const IID* const kInterfaces[] = {&IID_IMarshal2,           &IID_IStdMarshalInfo,
                                             &IID_INoMarshal,          &IID_IAgileObject,
                                             &IID_IExternalConnection, &IID_ICallFactory};
    for (const IID* const known : kInterfaces) {
        if (IsEqualIID(iid, *known)) {
            return true;
        }
    }
    return false;
}

bool IsOwnInterface(REFIID iid) {
    return IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory);
}

} // namespace

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID iid, void** out) {
    const HRESULT own = win::ComObject<IClassFactory, IMarshal>::QueryInterface(iid, out);
    if (own != E_NOINTERFACE || IsMarshallingInterface(iid)) {
        return own;
    }
    // Called in the apartment the factory was registered from, where the DLL's class object
    // lives too.
    if (FAILED(ComRuntime::CoGetClassObject(m_clsid, CLSCTX_INPROC_SERVER, nullptr, iid, out)) ||
        *out == nullptr) {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
    const CCallInProgress call(*m_activity);
    return ComRuntime::CoCreateInstance(m_clsid, outer, CLSCTX_INPROC_SERVER, iid, out);
}

// The runtime locks a class object for each client it hands it to, and unlocks it when that
// client lets go (a client's own LockServer is answered by its proxy and never arrives here).
// The DLL is locked too, so that it does not unload, and the process with it, while a client
// holds only the class object.
HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock) {
    if (lock) {
        ComRuntime::CoAddRefServerProcess();
        m_activity->Locked();
        m_dllLock.Lock();
    } else if (m_activity->Unlocked()) {
        // Only an unlock that matches a lock: a stray one would take a reference some other
        // holder counts on, and at zero the runtime suspends every class of the process.
        m_dllLock.Unlock();
        ComRuntime::CoReleaseServerProcess();
    }
    return S_OK;
}

HRESULT CClassFactory::MarshalTarget(REFIID iid, void* given, IUnknown** target) {
    *target = nullptr;
    if (IsOwnInterface(iid)) {
        IUnknown* const self =
            given != nullptr ? static_cast<IUnknown*>(given) : static_cast<IClassFactory*>(this);
        self->AddRef();
        *target = self;
        return S_OK;
    }
    return ComRuntime::CoGetClassObject(m_clsid, CLSCTX_INPROC_SERVER, nullptr, iid,
                                        reinterpret_cast<void**>(target));
}

HRESULT STDMETHODCALLTYPE CClassFactory::GetUnmarshalClass(REFIID iid, void* object,
                                                           DWORD destContext, void* destContextData,
                                                           DWORD flags, CLSID* clsid) {
    return WithStandardMarshal(iid, object, destContext, destContextData, flags,
                               [&](IMarshal* marshal, IUnknown* target) {
                                   return marshal->GetUnmarshalClass(iid, target, destContext,
                                                                     destContextData, flags, clsid);
                               });
}

HRESULT STDMETHODCALLTYPE CClassFactory::GetMarshalSizeMax(REFIID iid, void* object,
                                                           DWORD destContext, void* destContextData,
                                                           DWORD flags, DWORD* size) {
    return WithStandardMarshal(iid, object, destContext, destContextData, flags,
                               [&](IMarshal* marshal, IUnknown* target) {
                                   return marshal->GetMarshalSizeMax(iid, target, destContext,
                                                                     destContextData, flags, size);
                               });
}

HRESULT STDMETHODCALLTYPE CClassFactory::MarshalInterface(IStream* stream, REFIID iid, void* object,
                                                          DWORD destContext, void* destContextData,
                                                          DWORD flags) {
    return WithStandardMarshal(iid, object, destContext, destContextData, flags,
                               [&](IMarshal* marshal, IUnknown* target) {
                                   return marshal->MarshalInterface(
                                       stream, iid, target, destContext, destContextData, flags);
                               });
}

// What arrives here concerns marshal data of this object's own, which the standard marshaler
// wrote.
HRESULT STDMETHODCALLTYPE CClassFactory::UnmarshalInterface(IStream* stream, REFIID iid,
                                                            void** out) {
    return WithStandardMarshal(IID_IUnknown, nullptr, MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL,
                               [&](IMarshal* marshal, IUnknown*) {
                                   return marshal->UnmarshalInterface(stream, iid, out);
                               });
}

HRESULT STDMETHODCALLTYPE CClassFactory::ReleaseMarshalData(IStream* stream) {
    return WithStandardMarshal(
        IID_IUnknown, nullptr, MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL,
        [&](IMarshal* marshal, IUnknown*) { return marshal->ReleaseMarshalData(stream); });
}

HRESULT STDMETHODCALLTYPE CClassFactory::DisconnectObject(DWORD reserved) {
    return WithStandardMarshal(
        IID_IUnknown, nullptr, MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL,
        [&](IMarshal* marshal, IUnknown*) { return marshal->DisconnectObject(reserved); });
}
