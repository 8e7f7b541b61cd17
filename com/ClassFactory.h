#pragma once

#include "ComObject.h"
#include "DllLock.h"
#include "ServerActivity.h"

#include <objbase.h>

#include <memory>

// The class object registered for the hosted CLSID: creates each object in-process, so the
// class's DLL is loaded into this host, and passes lock requests on to the server process count
// and to the DLL.
// Created on the heap with one reference, its creator's; deletes itself on its last Release.
class CClassFactory final : public win::ComObject<IClassFactory> {
public:
    // activity hears of every CreateInstance and LockServer; the factory keeps it alive, since a
    // client's proxy or a hosted DLL's thread may call in after the hosting phase has ended.
    CClassFactory(REFCLSID clsid, std::shared_ptr<CServerActivity> activity)
        : m_clsid(clsid), m_activity(std::move(activity)), m_dllLock(clsid) {}
    explicit CClassFactory(REFCLSID clsid)
        : CClassFactory(clsid, std::make_shared<CServerActivity>()) {}
    CClassFactory(const CClassFactory&) = delete;
    CClassFactory& operator=(const CClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

    DWORD Cookie() const { return m_cookie; }
    void SetCookie(DWORD cookie) { m_cookie = cookie; }

private:
    ~CClassFactory() override = default;

    const CLSID m_clsid;
    DWORD m_cookie = 0;
    const std::shared_ptr<CServerActivity> m_activity;
    CDllLock m_dllLock;
};
