#pragma once

#include "ComObject.h"
#include "ComRuntime.h"
#include "DllLock.h"
#include "ServerActivity.h"
#include "Unique.h"

#include <objbase.h>

#include <memory>

// The class object registered for the hosted CLSID: creates each object in-process, in the
// apartment it was registered from, so the class's DLL is loaded into this host and the object
// lives where its threading model wants it; passes the locks COM delivers on to the server process
// count and to the DLL. It answers for IUnknown, IClassFactory and IMarshal itself; any other
// interface a client asks the class object for (IClassFactory2 of a licensed class, say) is the
// DLL's own class object's, taken in-process in the same apartment, and marshalled as that.
// Created on the heap with one reference, its creator's; deletes itself on its last Release.
class CClassFactory final : public win::ComObject<IClassFactory, IMarshal> {
public:
    // activity hears of every CreateInstance and LockServer; the factory keeps it alive, since a
    // client's proxy or a hosted DLL's thread may call in after the hosting phase has ended.
    CClassFactory(REFCLSID clsid, std::shared_ptr<CServerActivity> activity)
        : m_clsid(clsid), m_activity(std::move(activity)), m_dllLock(clsid) {}
    explicit CClassFactory(REFCLSID clsid)
        : CClassFactory(clsid, std::make_shared<CServerActivity>()) {}
    CClassFactory(const CClassFactory&) = delete;
    CClassFactory& operator=(const CClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

    // Each marshal goes to the standard marshaler, for this object or, for an interface of the
    // DLL's class object, for that object.
    HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID iid, void* object, DWORD destContext,
                                                void* destContextData, DWORD flags,
                                                CLSID* clsid) override;
    HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID iid, void* object, DWORD destContext,
                                                void* destContextData, DWORD flags,
                                                DWORD* size) override;
    HRESULT STDMETHODCALLTYPE MarshalInterface(IStream* stream, REFIID iid, void* object,
                                               DWORD destContext, void* destContextData,
                                               DWORD flags) override;
    HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream* stream, REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream* stream) override;
    HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD reserved) override;

    DWORD Cookie() const { return m_cookie; }
    void SetCookie(DWORD cookie) { m_cookie = cookie; }

private:
    ~CClassFactory() override = default;

    // The object that marshals as iid: this one for its own interfaces, else the DLL's class
    // object; with a reference for the caller.
    HRESULT MarshalTarget(REFIID iid, void* given, IUnknown** target);
    // Calls call with the standard marshaler for iid's target and the target itself.
    template <typename Call>
    HRESULT WithStandardMarshal(REFIID iid, void* object, DWORD destContext, void* destContextData,
                                DWORD flags, Call call) {
        win::ComPtr<IUnknown> target;
        HRESULT result = MarshalTarget(iid, object, target.Put());
        win::ComPtr<IMarshal> marshal;
        if (SUCCEEDED(result)) {
            result = ComRuntime::CoGetStandardMarshal(iid, target.Get(), destContext,
                                                      destContextData, flags, marshal.Put());
        }
        return SUCCEEDED(result) ? call(marshal.Get(), target.Get()) : result;
    }

    const CLSID m_clsid;
    DWORD m_cookie = 0;
    const std::shared_ptr<CServerActivity> m_activity;
    CDllLock m_dllLock;
};
