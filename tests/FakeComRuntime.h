#pragma once

#include "ComObject.h"

#include <objbase.h>
#include <ocidl.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What a model of a real runtime (WindowsRuntimeModel.h) adds to the fake: called after the call
// is recorded, outside the fake's lock.
// Calls come from the apartment the fake records for the calling thread (FakeApartment).
struct IRuntimeModel {
    virtual ~IRuntimeModel() = default;
    virtual void ServerProcessCountChanged(long count) = 0;
    virtual HRESULT CreateInstance(REFCLSID clsid, IUnknown* outer, REFIID iid, void** out) = 0;
    virtual void FreeUnusedLibraries(DWORD unloadDelayMs) = 0;
    virtual HRESULT GetInprocClassObject(REFCLSID clsid, REFIID iid, void** out) = 0;
    // Called under the fake's lock, with the call already recorded.
    virtual HRESULT InitializeSecurity() = 0;
};

// Apartments as the fake numbers them: each single-threaded apartment a number of its own from 1
// on, in the order threads initialised them.
constexpr int kMultithreadedApartment = 0;
constexpr int kNeutralApartment = -1;

// Runs the fake's onDllLock hook, if any, outside the fake's lock.
void RunDllLockHook(BOOL lock);

// A hosted DLL's class object as far as its lock goes: each LockServer moves locks by one. It is
// licensed, too, answering for IClassFactory2 with a class it cannot create.
class CLockCountingClassObject final : public win::ComObject<IClassFactory2> {
public:
    explicit CLockCountingClassObject(std::shared_ptr<std::atomic<long>> locks)
        : m_locks(std::move(locks)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out != nullptr && IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        return win::ComObject<IClassFactory2>::QueryInterface(iid, out);
    }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void** out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        *m_locks += lock ? 1 : -1;
        RunDllLockHook(lock);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetLicInfo(LICINFO*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RequestLicKey(DWORD, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateInstanceLic(IUnknown*, IUnknown*, REFIID, BSTR,
                                                void** out) override {
        *out = nullptr;
        return E_NOTIMPL;
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
        int apartment;
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
        int apartment;
    };
    struct StandardMarshal {
        IID iid;
        IUnknown* object;
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
    // Runs inside the DLL's LockServer, after the lock moved.
    std::function<void(BOOL)> onDllLock;
    // Where set, behaves as this model says (creations) and tells it what happened.
    IRuntimeModel* model = nullptr;

    // Records.
    std::vector<DWORD> callThreads;                        // the thread of each of calls
    std::vector<std::pair<DWORD, DWORD>> initializations;  // thread and COINIT flags
    std::vector<std::pair<int, DWORD>> unloadCalls;        // apartment and delay
    std::map<DWORD, std::pair<int, int>> threadApartments; // thread: apartment, initialisations
    int mainApartment = 0;         // the first single-threaded apartment, 0 while there is none
    int apartmentsInitialized = 0; // single-threaded ones
    std::vector<DWORD> wrongApartmentRevokes;
    std::vector<std::pair<GLOBALOPT_PROPERTIES, ULONG_PTR>> globalOptions;
    std::vector<StandardMarshal> standardMarshals;
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
    std::vector<std::wstring> calls;        // operation names in call order
    wchar_t* progIdGiven = nullptr;         // the ProgID buffer handed out last
};

// The fake's state, guarded by FakeLock() while COM objects may run on other threads.
FakeComRuntime& Fake();
// The calling thread's apartment: the one it initialised, the one a CApartmentCall put it in,
// or else the multithreaded apartment, which threads without one of their own join implicitly.
int FakeApartment();
// The calls a thread made, in order.
std::vector<std::wstring> CallsOn(const FakeComRuntime& fake, DWORD thread);

// For its lifetime, the calling thread calls as if from apartment: the runtime delivering a call
// to an object in the apartment the object lives in.
class CApartmentCall {
public:
    explicit CApartmentCall(int apartment);
    CApartmentCall(const CApartmentCall&) = delete;
    CApartmentCall& operator=(const CApartmentCall&) = delete;
    ~CApartmentCall();

private:
    int m_previous;
};
std::recursive_mutex& FakeLock();
// Back to defaults, all records cleared.
void ResetFake();
// A copy taken under the lock.
FakeComRuntime FakeSnapshot();
