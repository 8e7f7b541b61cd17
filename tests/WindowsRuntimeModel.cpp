#include "WindowsRuntimeModel.h"

#include "ComObject.h"

#include <utility>

namespace {

constexpr ULONGLONG kDefaultUnloadDelayMs = 10 * 60 * 1000;

// An object of a model DLL: counts itself among the DLL's live objects while it lives.
class CModelObject final : public win::ComObject<IUnknown> {
public:
    explicit CModelObject(std::shared_ptr<std::atomic<long>> live) : m_live(std::move(live)) {
        ++*m_live;
    }

private:
    ~CModelObject() override { --*m_live; }

    const std::shared_ptr<std::atomic<long>> m_live;
};

} // namespace

CWindowsRuntimeModel::CWindowsRuntimeModel() {
    std::lock_guard<std::recursive_mutex> hold(FakeLock());
    Fake().model = this;
}

CWindowsRuntimeModel::~CWindowsRuntimeModel() {
    for (auto& thread : m_threads) {
        thread.join();
    }
    std::lock_guard<std::recursive_mutex> hold(FakeLock());
    Fake().model = nullptr;
}

void CWindowsRuntimeModel::AddDll(REFCLSID clsid, bool alwaysInUse, const wchar_t* threadingModel) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_dlls.push_back({clsid,
                      alwaysInUse,
                      threadingModel != nullptr ? threadingModel : L"",
                      {},
                      {},
                      {},
                      std::make_shared<std::atomic<long>>(0),
                      std::make_shared<std::atomic<long>>(0)});
}

CWindowsRuntimeModel::Dll* CWindowsRuntimeModel::Find(REFCLSID clsid) {
    for (auto& dll : m_dlls) {
        if (IsEqualCLSID(dll.clsid, clsid)) {
            return &dll;
        }
    }
    return nullptr;
}

HRESULT CWindowsRuntimeModel::GetClassObject(REFCLSID clsid, IClassFactory** factory) {
    *factory = nullptr;
    if (Suspended()) {
        return CO_E_SERVER_STOPPING; // a new host would be started
    }
    // Under the fake's lock, which the revocation's release takes too.
    std::lock_guard<std::recursive_mutex> hold(FakeLock());
    for (const auto& registration : Fake().registrations) {
        if (registration.held && IsEqualCLSID(registration.clsid, clsid)) {
            const CApartmentCall call(registration.apartment);
            return registration.object->QueryInterface(IID_IClassFactory,
                                                       reinterpret_cast<void**>(factory));
        }
    }
    return REGDB_E_CLASSNOTREG;
}

HRESULT CWindowsRuntimeModel::Activate(REFCLSID clsid, IUnknown** object) {
    *object = nullptr;
    IClassFactory* factory = nullptr;
    const HRESULT found = GetClassObject(clsid, &factory);
    if (FAILED(found)) {
        return found;
    }
    int apartment = kMultithreadedApartment;
    {
        std::lock_guard<std::recursive_mutex> hold(FakeLock());
        for (const auto& registration : Fake().registrations) {
            if (registration.held && IsEqualCLSID(registration.clsid, clsid)) {
                apartment = registration.apartment;
            }
        }
    }
    const CApartmentCall call(apartment);
    const HRESULT created =
        factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(object));
    factory->Release();
    return created;
}

HRESULT CWindowsRuntimeModel::LoadFurtherClass(REFCLSID clsid) {
    ISurrogate* const surrogate = FakeSnapshot().surrogates.at(0);
    HRESULT result = E_FAIL;
    std::thread([&] { result = surrogate->LoadDllServer(clsid); }).join();
    return result;
}

void CWindowsRuntimeModel::Advance(ULONGLONG ms) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_advanced += ms;
}

ULONGLONG CWindowsRuntimeModel::Advanced() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_advanced;
}

int CWindowsRuntimeModel::Hops() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_hops;
}

std::vector<int> CWindowsRuntimeModel::LoadedInto(REFCLSID clsid) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const Dll* const dll = Find(clsid);
    return dll != nullptr ? dll->loadedInto : std::vector<int>();
}

std::vector<int> CWindowsRuntimeModel::UnloadedFrom(REFCLSID clsid) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const Dll* const dll = Find(clsid);
    return dll != nullptr ? dll->unloadedFrom : std::vector<int>();
}

bool CWindowsRuntimeModel::Suspended() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_suspended;
}

bool CWindowsRuntimeModel::Loaded(REFCLSID clsid) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const Dll* const dll = Find(clsid);
    return dll != nullptr && !dll->loads.empty();
}

bool CWindowsRuntimeModel::UnloadPending(REFCLSID clsid) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const Dll* const dll = Find(clsid);
    if (dll == nullptr) {
        return false;
    }
    for (const auto& load : dll->loads) {
        if (load.unloadPending) {
            return true;
        }
    }
    return false;
}

int CWindowsRuntimeModel::CanUnloadNowCalls() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_canUnloadNowCalls;
}

int CWindowsRuntimeModel::FreeSurrogateCalls() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    return m_freeSurrogateCalls;
}

void CWindowsRuntimeModel::ServerProcessCountChanged(long count) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    // CoSuspendClassObjects; nothing here resumes them.
    if (count <= 0) {
        m_suspended = true;
    }
}

HRESULT CWindowsRuntimeModel::CreateInstance(REFCLSID clsid, IUnknown* outer, REFIID iid,
                                             void** out) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    *out = nullptr;
    Dll* const dll = Find(clsid);
    if (dll == nullptr) {
        return REGDB_E_CLASSNOTREG;
    }
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    return HandOut(*dll, new CModelObject(dll->liveObjects), iid, out);
}

int CWindowsRuntimeModel::ApartmentFor(const Dll& dll, int caller) {
    const auto is = [&](const wchar_t* model) {
        return CompareStringOrdinal(dll.threadingModel.c_str(), -1, model, -1, TRUE) == CSTR_EQUAL;
    };
    int main = 0;
    {
        std::lock_guard<std::recursive_mutex> fake(FakeLock());
        main = Fake().mainApartment;
    }
    const auto hostApartment = [&] {
        if (main != 0) {
            return main;
        }
        if (m_hostApartment == 0) {
            m_hostApartment = 1000;
        }
        return m_hostApartment;
    };
    if (is(L"Both")) {
        return caller;
    }
    if (is(L"Free")) {
        return kMultithreadedApartment;
    }
    if (is(L"Neutral")) {
        return kNeutralApartment;
    }
    if (is(L"Apartment")) {
        return caller > 0 ? caller : hostApartment();
    }
    return hostApartment();
}

HRESULT CWindowsRuntimeModel::HandOut(Dll& dll, IUnknown* object, REFIID iid, void** out) {
    const int caller = FakeApartment();
    const int apartment = ApartmentFor(dll, caller);
    // The neutral apartment runs on the caller's thread: no hop.
    if (apartment != caller && apartment != kNeutralApartment) {
        ++m_hops;
    }
    // Used again: off the list of DLLs to unload.
    Load* load = nullptr;
    for (auto& known : dll.loads) {
        if (known.apartment == apartment) {
            load = &known;
        }
    }
    if (load == nullptr) {
        dll.loads.push_back({apartment, false, 0});
        dll.loadedInto.push_back(apartment);
        load = &dll.loads.back();
    }
    load->unloadPending = false;
    const HRESULT result = object->QueryInterface(iid, out);
    object->Release();
    return result;
}

void CWindowsRuntimeModel::FreeUnusedLibraries(DWORD unloadDelayMs) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const int apartment = FakeApartment();
    // A single-threaded apartment's DLLs go at once for INFINITE; the others wait the default.
    const ULONGLONG delay = unloadDelayMs != INFINITE ? unloadDelayMs
                            : apartment > 0           ? 0
                                                      : kDefaultUnloadDelayMs;
    bool unloaded = false;
    for (auto& dll : m_dlls) {
        for (auto load = dll.loads.begin(); load != dll.loads.end();) {
            if (load->apartment != apartment && load->apartment != kNeutralApartment) {
                ++load;
                continue;
            }
            ++m_canUnloadNowCalls;
            if (dll.alwaysInUse || *dll.liveObjects > 0 || *dll.locks > 0) {
                load->unloadPending = false;
            } else if (!load->unloadPending && delay > 0) {
                load->unloadPending = true;
                load->unloadAt = Now() + delay;
            } else if (delay == 0 || Now() >= load->unloadAt) {
                dll.unloadedFrom.push_back(load->apartment);
                load = dll.loads.erase(load);
                unloaded = true;
                continue;
            }
            ++load;
        }
    }
    bool anyLoaded = false;
    for (const auto& dll : m_dlls) {
        anyLoaded = anyLoaded || !dll.loads.empty();
    }
    if (!unloaded || anyLoaded) {
        return;
    }
    ISurrogate* const surrogate = FakeSnapshot().surrogates.at(0);
    ++m_freeSurrogateCalls;
    m_threads.emplace_back([surrogate] { surrogate->FreeSurrogate(); });
}

HRESULT CWindowsRuntimeModel::GetInprocClassObject(REFCLSID clsid, REFIID iid, void** out) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    *out = nullptr;
    Dll* const dll = Find(clsid);
    if (dll == nullptr) {
        return REGDB_E_CLASSNOTREG;
    }
    return HandOut(*dll, new CLockCountingClassObject(dll->locks), iid, out);
}

HRESULT CWindowsRuntimeModel::InitializeSecurity() {
    const auto calls = FakeSnapshot().calls; // this call is the last
    for (size_t i = 0; i + 1 < calls.size(); ++i) {
        if (calls[i] == L"CoInitializeSecurity" || calls[i] == L"CoRegisterSurrogate" ||
            calls[i] == L"CoRegisterClassObject" || calls[i] == L"CoMarshalInterface" ||
            calls[i] == L"SetGlobalOption") {
            return RPC_E_TOO_LATE;
        }
    }
    return S_OK;
}
