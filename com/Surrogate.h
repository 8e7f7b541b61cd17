#pragma once

#include "ClassPlacement.h"
#include "ClassRegistration.h"
#include "ComObject.h"
#include "ServerActivity.h"
#include "Unique.h"

#include <objbase.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class CApartment;
class CApartments;

// Creates the completion event: automatic reset, unsignalled, unnamed. Returns nullptr on failure.
HANDLE CreateCompletionEvent();
using CompletionEventFactory = HANDLE (*)();

// Where a class is to be served, read from its registration.
using PlacementReader = std::function<ClassPlacement(REFCLSID clsid)>;

// The process's surrogate, registered with the COM runtime. LoadDllServer registers a forwarding
// class factory for a CLSID, from the apartment the class's threading model asks for;
// FreeSurrogate revokes every class, each in its own apartment, and signals the completion event
// on which the hosting phase waits. Owned by the hosting phase: Release never destroys it (see
// win::ScopeLifetime).
class CSurrogate final : public win::ComObjectWith<win::ScopeLifetime, ISurrogate> {
public:
    // Without apartments or placement, every class is served from the multithreaded apartment.
    // apartments must outlive the surrogate.
    explicit CSurrogate(CompletionEventFactory createEvent = CreateCompletionEvent,
                        CApartments* apartments = nullptr, PlacementReader placement = nullptr);
    CSurrogate(const CSurrogate&) = delete;
    CSurrogate& operator=(const CSurrogate&) = delete;
    ~CSurrogate() override;

    // Classes that share an AppID share one surrogate: the runtime loads each further class here.
    HRESULT STDMETHODCALLTYPE LoadDllServer(REFCLSID clsid) override;
    HRESULT STDMETHODCALLTYPE FreeSurrogate() override;

    // The completion event, or nullptr if it could not be created.
    HANDLE Event() const { return m_event.Get(); }

    // What clients do with the factories this surrogate registers. Shared with every factory, so
    // a client's call can still reach it after the surrogate is gone.
    const CServerActivity& Activity() const { return *m_activity; }

    // From now on each class object is held from its registration until it is freed (see
    // CClassRegistration::Hold).
    void HoldClassObjects() { m_holdsClassObjects = true; }

    // Withdraws every class's registration, so no new client reaches it, while the factories stay
    // loaded and serve the clients that already hold them. FreeSurrogate then releases them
    // without revoking them again.
    HRESULT RevokeClassObject();

    // The DLLs of the classes served from the multithreaded apartment, which a thread of that
    // apartment may ask whether they are in use; the single-threaded apartments ask their own.
    std::vector<std::wstring> MultithreadedDlls();

private:
    HRESULT Register(REFCLSID clsid, const ClassPlacement& placement, CApartment* apartment);
    // Revokes and releases classes, each in the apartment it was registered from: the first
    // failure, or the first class's answer.
    static HRESULT Withdraw(std::vector<CClassRegistration> classes) noexcept;

    win::UniqueHandle m_event;
    const std::shared_ptr<CServerActivity> m_activity;
    CApartments* const m_apartments;
    const PlacementReader m_placement;
    bool m_holdsClassObjects = false;
    // The runtime may call LoadDllServer and FreeSurrogate on any of its threads, also while the
    // main thread runs its own LoadDllServer.
    SRWLOCK m_classesLock = SRWLOCK_INIT;
    // Revoked, each in its apartment, when the surrogate goes: whatever a late LoadDllServer left.
    std::vector<CClassRegistration> m_classes;
};
