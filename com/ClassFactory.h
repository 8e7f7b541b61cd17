#pragma once

#include "ServerActivity.h"

#include <objbase.h>

#include <atomic>

// The class object registered for the hosted CLSID: creates each object in-process, so the
// class's DLL is loaded into this host, and passes lock requests on to the server process count.
// Lives on the heap and deletes itself on its last Release.
class CClassFactory final : public IClassFactory {
public:
    // activity, when given, hears of every CreateInstance and LockServer and must outlive the
    // calls.
    explicit CClassFactory(REFCLSID clsid, CServerActivity* activity = nullptr)
        : m_clsid(clsid), m_activity(activity) {}
    CClassFactory(const CClassFactory&) = delete;
    CClassFactory& operator=(const CClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

    DWORD Cookie() const { return m_cookie; }
    void SetCookie(DWORD cookie) { m_cookie = cookie; }

private:
    ~CClassFactory() = default;

    std::atomic<ULONG> m_refCount{0};
    const CLSID m_clsid;
    DWORD m_cookie = 0;
    CServerActivity* const m_activity;
};
