#pragma once

#include "Handle.h"
#include "ServerActivity.h"

#include <objbase.h>

#include <atomic>

class CClassFactory;

// Creates the completion event: automatic reset, unsignalled, unnamed. Returns nullptr on failure.
HANDLE CreateCompletionEvent();
using CompletionEventFactory = HANDLE (*)();

// The process's surrogate, registered with the COM runtime. LoadDllServer registers a forwarding
// class factory for a CLSID; FreeSurrogate revokes it and signals the completion event on which
// the hosting phase waits. Owned by the hosting phase: Release never destroys it.
class CSurrogate final : public ISurrogate {
public:
    explicit CSurrogate(CompletionEventFactory createEvent = CreateCompletionEvent);
    CSurrogate(const CSurrogate&) = delete;
    CSurrogate& operator=(const CSurrogate&) = delete;
    ~CSurrogate() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE LoadDllServer(REFCLSID clsid) override;
    HRESULT STDMETHODCALLTYPE FreeSurrogate() override;

    // The completion event, or nullptr if it could not be created.
    HANDLE Event() const { return m_event.Get(); }

    // What clients do with the factories this surrogate registers.
    const CServerActivity& Activity() const { return m_activity; }

    // Withdraws the current factory's registration, so no new client reaches it, while the
    // factory stays current and serves the clients that already hold it. FreeSurrogate then
    // releases it without revoking it again.
    HRESULT RevokeClassObject();

    // The current factory with a reference for the caller, or nullptr.
    IUnknown* ClassObject();

private:
    // The runtime may call LoadDllServer and FreeSurrogate on any of its threads, also while the
    // main thread runs its own LoadDllServer.
    class CLock {
    public:
        explicit CLock(SRWLOCK& lock) : m_lock(lock) { AcquireSRWLockExclusive(&m_lock); }
        CLock(const CLock&) = delete;
        CLock& operator=(const CLock&) = delete;
        ~CLock() { ReleaseSRWLockExclusive(&m_lock); }

    private:
        SRWLOCK& m_lock;
    };

    std::atomic<ULONG> m_refCount{0};
    CClassFactory* m_factory = nullptr;
    bool m_factoryRevoked = false;
    CHandle m_event;
    CServerActivity m_activity;
    SRWLOCK m_factoryLock = SRWLOCK_INIT;
};
