#pragma once

#include "ComObject.h"

#include <objbase.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What a model of a real runtime (WindowsRuntimeModel.h) adds to the fake: called after the call
// is recorded, outside the fake's lock.
struct IRuntimeModel {
    virtual ~IRuntimeModel() = default;
    virtual void ServerProcessCountChanged(long count) = 0;
    virtual HRESULT CreateInstance(REFCLSID clsid, IUnknown* outer, REFIID iid, void** out) = 0;
    virtual void FreeUnusedLibraries(DWORD unloadDelayMs) = 0;
    virtual HRESULT GetInprocClassObject(REFCLSID clsid, REFIID iid, void** out) = 0;
    // Called under the fake's lock, with the call already recorded.
    virtual HRESULT InitializeSecurity() = 0;
};

// A hosted DLL's class object as far as its lock goes: each LockServer moves locks by one.
class CLockCountingClassObject final : public win::ComObject<IClassFactory> {
public:
    explicit CLockCountingClassObject(std::shared_ptr<std::atomic<long>> locks)
        : m_locks(std::move(locks)) {}

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void** out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        *m_locks += lock ? 1 : -1;
        return S_OK;
    }

private:
    const std::shared_ptr<std::atomic<long>> m_locks;
};

// Stands in for ole32 behind ComRuntime.h: records every call and answers as configured. Class
// registrations hold a reference on the object until revoked, as the real runtime does.
struct FakeComRuntime {
    struct Registration {
        CLSID clsid;
        IUnknown* object;
        DWORD context;
        DWORD flags;
        DWORD cookieOnEntry;
        DWORD cookie;
        bool held; // the registration's reference, until revoked
    };
    struct Marshal {
        IUnknown* object;
        IID iid;
        DWORD destContext;
        DWORD flags;
        IStream* stream;
        bool held; // the object's reference, until the data is released
    };
    struct Creation {
        CLSID clsid;
        IUnknown* outer;
        DWORD context;
        IID iid;
        void** out;
    };

    // Answers.
    HRESULT registerSurrogateResult = S_OK; // Wine answers E_NOTIMPL
    HRESULT marshalResult = S_OK;
    HRESULT registerResult = S_OK;
    DWORD nextCookie = 0x100;
    HRESULT revokeResult = S_OK;
    HRESULT createResult = S_OK;
    HRESULT initializeSecurityResult = S_OK;
    // Without a model, CoGetClassObject hands out a class object whose locks move dllLocks.
    HRESULT getClassObjectResult = S_OK;
    HRESULT clsidFromStringResult = S_OK;
    CLSID clsidFromString = {}; // written only when clsidFromStringResult succeeds
    HRESULT progIdResult = REGDB_E_CLASSNOTREG;
    std::wstring progId;
    // Runs inside CoRegisterClassObject, after the call is recorded.
    std::function<void()> onRegister;
    // Runs inside CoRevokeClassObject, after the runtime let go of the object.
    std::function<void()> onRevoke;
    // Where set, behaves as this model says (creations) and tells it what happened.
    IRuntimeModel* model = nullptr;

    // Records.
    int initializeCalls = 0;
    LPVOID initializeReserved = reinterpret_cast<LPVOID>(1);
    DWORD initializeFlags = 0xFFFFFFFF;
    int uninitializeCalls = 0;
    struct Security {
        DWORD capabilities;
        GUID appId; // what the descriptor argument points to, with EOAC_APPID
        LONG authServiceCount;
        bool otherPointersNull;
    };
    std::vector<Security> securityCalls;
    std::vector<ISurrogate*> surrogates;
    std::vector<std::wstring> clsidTexts;
    std::vector<CLSID> progIdLookups;
    std::vector<void*> freed;
    std::vector<Registration> registrations;
    std::vector<DWORD> revoked;
    std::vector<ULONG> countAfterRevoke; // the object's count once the runtime let go of it
    std::vector<Creation> creations;
    long serverProcessCount = 0;
    std::vector<DWORD> classObjectContexts; // each CoGetClassObject's context
    // The locks on the class objects that CoGetClassObject handed out without a model.
    std::shared_ptr<std::atomic<long>> dllLocks = std::make_shared<std::atomic<long>>(0);
    std::vector<Marshal> marshals;          // each holds a reference on its object until released
    std::vector<IStream*> releasedMarshals; // streams given to CoReleaseMarshalData
    std::vector<std::wstring> calls; // operation names in call order
    wchar_t* progIdGiven = nullptr;  // the ProgID buffer handed out last
};

// The fake's state, guarded by FakeLock() while COM objects may run on other threads.
FakeComRuntime& Fake();
std::recursive_mutex& FakeLock();
// Back to defaults, all records cleared.
void ResetFake();
// A copy taken under the lock.
FakeComRuntime FakeSnapshot();
