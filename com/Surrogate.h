#pragma once

#include "ClassRegistration.h"
#include "ComObject.h"
#include "Unique.h"
#include "ServerActivity.h"

#include <objbase.h>

#include <memory>
#include <vector>

// Creates the completion event: automatic reset, unsignalled, unnamed. Returns nullptr on failure.
HANDLE CreateCompletionEvent();
using CompletionEventFactory = HANDLE (*)();

// The process's surrogate, registered with the COM runtime. LoadDllServer registers a forwarding
// class factory for a CLSID; FreeSurrogate revokes every class and signals the completion event on
// which the hosting phase waits. Owned by the hosting phase: Release never destroys it (see
// win::ScopeLifetime).
class CSurrogate final : public win::ComObjectWith<win::ScopeLifetime, ISurrogate> {
public:
    explicit CSurrogate(CompletionEventFactory createEvent = CreateCompletionEvent);
    CSurrogate(const CSurrogate&) = delete;
    CSurrogate& operator=(const CSurrogate&) = delete;
    ~CSurrogate() override = default;

    // Classes that share an AppID share one surrogate: the runtime loads each further class here.
    HRESULT STDMETHODCALLTYPE LoadDllServer(REFCLSID clsid) override;
    HRESULT STDMETHODCALLTYPE FreeSurrogate() override;

    // The completion event, or nullptr if it could not be created.
    HANDLE Event() const { return m_event.Get(); }

    // What clients do with the factories this surrogate registers. Shared with every factory, so
    // a client's call can still reach it after the surrogate is gone.
    const CServerActivity& Activity() const { return *m_activity; }

    // Withdraws every class's registration, so no new client reaches it, while the factories stay
    // loaded and serve the clients that already hold them. FreeSurrogate then releases them
    // without revoking them again.
    HRESULT RevokeClassObject();

    // The factory loaded for clsid with a reference for the caller, or nullptr.
    IUnknown* ClassObject(REFCLSID clsid);
    std::vector<CLSID> LoadedClasses();

private:
    win::UniqueHandle m_event;
    const std::shared_ptr<CServerActivity> m_activity;
    // The runtime may call LoadDllServer and FreeSurrogate on any of its threads, also while the
    // main thread runs its own LoadDllServer.
    SRWLOCK m_classesLock = SRWLOCK_INIT;
    // Declared last: destroyed first, revoking whatever a late LoadDllServer left.
    std::vector<CClassRegistration> m_classes;
};
