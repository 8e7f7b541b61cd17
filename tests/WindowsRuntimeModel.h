#pragma once

#include "FakeComRuntime.h"

#include <objbase.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The COM runtime as Microsoft documents it for a surrogate, which Wine never shows (it refuses
// the surrogate registration): the fake's records, plus
// - CoReleaseServerProcess bringing the count to zero suspends every class object of the process,
//   and a suspended class is offered to no new activation (CoReleaseServerProcess);
// - an in-process DLL is loaded into the apartment its ThreadingModel allows: Both into the
//   caller's, Free into the multithreaded one, Neutral into the neutral one, Apartment into the
//   caller's single-threaded one (else a host apartment), none or an unknown one into the main
//   single-threaded apartment, the first one initialised (InprocServer32); an object created
//   elsewhere than in the caller's apartment is a hop, and counted;
// - each apartment keeps its own list of loaded DLLs: CoFreeUnusedLibrariesEx asks the DLLs of
//   the calling thread's apartment (and of the neutral one, which any thread can host) for
//   DllCanUnloadNow, and unloads one that answered S_OK once the delay has passed since it first
//   did so in a row; for INFINITE the delay is the default of 10 minutes for the multithreaded and
//   neutral apartments and none for a single-threaded one (CoFreeUnusedLibrariesEx);
// - a DLL answers S_OK while none of its objects is alive and its class object holds no lock
//   (IClassFactory::LockServer, DllCanUnloadNow);
// - once every such DLL is unloaded, the runtime calls FreeSurrogate on the registered surrogate
//   from a thread of its own (ISurrogate::FreeSurrogate);
// - classes that share an AppID are loaded into the running surrogate with LoadDllServer.
// - the process's security is settled once: by the first CoInitializeSecurity, or by COM itself
//   once the process can be reached (a surrogate or class registered, an interface marshalled)
//   or the global options object is created; a CoInitializeSecurity after that answers
//   RPC_E_TOO_LATE (CoInitializeSecurity, IGlobalOptions).
// - a class object is called in the apartment it was registered from (the fake refuses a
//   revocation from any other: CoRevokeClassObject).
// Installs itself into the fake on construction; the fake must outlive it. Its clock moves only by
// Advance, so that delays of minutes pass at once, and exactly.
class CWindowsRuntimeModel final : public IRuntimeModel {
public:
    CWindowsRuntimeModel();
    CWindowsRuntimeModel(const CWindowsRuntimeModel&) = delete;
    CWindowsRuntimeModel& operator=(const CWindowsRuntimeModel&) = delete;
    ~CWindowsRuntimeModel() override;

    // A DLL registered as clsid's in-process server with a ThreadingModel (nullptr for none), not
    // loaded yet. One that always answers S_FALSE never unloads.
    void AddDll(REFCLSID clsid, bool alwaysInUse = false, const wchar_t* threadingModel = L"Both");

    // A client's activation: the class object of a registered class that is not suspended, then
    // an object from it.
    HRESULT GetClassObject(REFCLSID clsid, IClassFactory** factory);
    HRESULT Activate(REFCLSID clsid, IUnknown** object);
    // The runtime loading a further class into the running surrogate, from a thread of its own.
    HRESULT LoadFurtherClass(REFCLSID clsid);

    void Advance(ULONGLONG ms);
    ULONGLONG Advanced();
    bool Suspended();
    bool Loaded(REFCLSID clsid);
    // True while clsid's DLL waits out its delay before it unloads.
    bool UnloadPending(REFCLSID clsid);
    int CanUnloadNowCalls();
    int FreeSurrogateCalls();
    // Objects and class objects handed out in another apartment than the caller's.
    int Hops();
    // The apartments clsid's DLL was loaded into, and the ones it was unloaded from, in order.
    std::vector<int> LoadedInto(REFCLSID clsid);
    std::vector<int> UnloadedFrom(REFCLSID clsid);

    void ServerProcessCountChanged(long count) override;
    HRESULT CreateInstance(REFCLSID clsid, IUnknown* outer, REFIID iid, void** out) override;
    void FreeUnusedLibraries(DWORD unloadDelayMs) override;
    HRESULT GetInprocClassObject(REFCLSID clsid, REFIID iid, void** out) override;
    HRESULT InitializeSecurity() override;

private:
    struct Load {
        int apartment;
        bool unloadPending;
        ULONGLONG unloadAt;
    };
    struct Dll {
        CLSID clsid;
        bool alwaysInUse;
        std::wstring threadingModel; // empty for none
        std::vector<Load> loads;
        std::vector<int> loadedInto;
        std::vector<int> unloadedFrom;
        std::shared_ptr<std::atomic<long>> liveObjects; // shared with its objects
        std::shared_ptr<std::atomic<long>> locks;       // shared with its class objects
    };
    Dll* Find(REFCLSID clsid);
    // Where dll's objects are made for a caller in apartment.
    int ApartmentFor(const Dll& dll, int caller);
    // Loads dll (again) where its model says and hands out object, one of its own, for iid;
    // object's reference goes.
    HRESULT HandOut(Dll& dll, IUnknown* object, REFIID iid, void** out);
    ULONGLONG Now() const { return m_advanced; }

    std::recursive_mutex m_lock;
    std::vector<Dll> m_dlls;
    ULONGLONG m_advanced = 0;
    bool m_suspended = false;
    int m_canUnloadNowCalls = 0;
    int m_freeSurrogateCalls = 0;
    int m_hops = 0;
    int m_hostApartment = 0; // one the model made itself, for want of a single-threaded one
    std::vector<std::thread> m_threads;
};
