#include "Surrogate.h"

#include "Apartments.h"
#include "ClassFactory.h"
#include "ComRuntime.h"

#include <new>
#include <optional>
#include <utility>

namespace {

// An apartment busy with a long call takes the registration when it is done.
constexpr DWORD kRegisterLimitMs = 30000;
// Every end of the host waits this long at most for the apartments' withdrawals: closing a
// console leaves only a few seconds for all of it.
constexpr DWORD kWithdrawLimitMs = 2000;

// A registration made in an apartment for a caller that may stop waiting for it.
struct PendingRegistration {
    SRWLOCK lock = SRWLOCK_INIT;
    bool abandoned = false;
    std::optional<CClassRegistration> registration;
};

} // namespace

HANDLE CreateCompletionEvent() {
    return CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

CSurrogate::CSurrogate(CompletionEventFactory createEvent, CApartments* apartments,
                       PlacementReader placement)
    : m_event(createEvent()), m_activity(std::make_shared<CServerActivity>()),
      m_apartments(apartments), m_placement(std::move(placement)) {}

CSurrogate::~CSurrogate() {
    Withdraw(std::move(m_classes));
}

HRESULT STDMETHODCALLTYPE CSurrogate::LoadDllServer(REFCLSID clsid) {
    // Held across the registration so that a FreeSurrogate on another thread never sees a class
    // whose cookie is not stored yet.
    win::ExclusiveLock hold(m_classesLock);
    // A class loaded before stays as it is: a second factory would leave the first registered.
    for (const auto& loaded : m_classes) {
        if (IsEqualCLSID(loaded.Clsid(), clsid)) {
            return loaded.Registered();
        }
    }
    try {
        // Room first, so that a registration made is always kept.
        m_classes.reserve(m_classes.size() + 1);
        const ClassPlacement placement = m_placement ? m_placement(clsid) : ClassPlacement{};
        CApartment* const apartment =
            m_apartments != nullptr ? m_apartments->For(placement) : nullptr;
        if (apartment != nullptr && FAILED(apartment->Started())) {
            return apartment->Started();
        }
        return Register(clsid, placement, apartment);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CSurrogate::Register(REFCLSID clsid, const ClassPlacement& placement,
                             CApartment* apartment) {
    // Created with the reference that the registration takes over.
    CClassFactory* const factory = new (std::nothrow) CClassFactory(clsid, m_activity);
    if (factory == nullptr) {
        return E_OUTOFMEMORY;
    }
    // Released wherever the work goes, run or not; the registration takes a reference of its own.
    const std::shared_ptr<CClassFactory> created(factory,
                                                 [](CClassFactory* made) { made->Release(); });
    const auto pending = std::make_shared<PendingRegistration>();
    const bool holds = m_holdsClassObjects;
    // From the apartment that serves the class: the runtime calls a class object in the apartment
    // it was registered from, and creates the objects there, with no hop to another.
    const CApartmentWork work(apartment, [=, dll = placement.dll] {
        CClassFactory* const factory = created.get();
        DWORD cookie = 0;
        const HRESULT registered = ComRuntime::CoRegisterClassObject(
            clsid, static_cast<IClassFactory*>(factory), CLSCTX_LOCAL_SERVER,
            REGCLS_SURROGATE | REGCLS_MULTI_SEPARATE, &cookie);
        factory->SetCookie(cookie);
        factory->AddRef();
        CClassRegistration registration(clsid, factory, registered, apartment, dll);
        if (holds) {
            registration.Hold();
        }
        if (apartment != nullptr && !dll.empty()) {
            apartment->Serves(dll);
        }
        win::ExclusiveLock hold(pending->lock);
        // A caller that stopped waiting has gone without it: revoked here, as it leaves scope.
        if (!pending->abandoned) {
            pending->registration.emplace(std::move(registration));
        }
    });
    const bool ran = work.Wait(GetTickCount64() + kRegisterLimitMs);
    win::ExclusiveLock hold(pending->lock);
    if (!ran && !pending->registration) {
        pending->abandoned = true;
        return RPC_E_TIMEOUT;
    }
    const HRESULT result = pending->registration->Registered();
    m_classes.push_back(std::move(*pending->registration));
    return result;
}

HRESULT STDMETHODCALLTYPE CSurrogate::FreeSurrogate() {
    std::vector<CClassRegistration> classes;
    {
        win::ExclusiveLock hold(m_classesLock);
        classes.swap(m_classes);
    }
    if (classes.empty()) {
        return S_OK;
    }
    const HRESULT result = Withdraw(std::move(classes));
    // The factories went before the signal: the hosting phase ends once it sees it.
    SetEvent(m_event.Get());
    return result;
}

HRESULT CSurrogate::Withdraw(std::vector<CClassRegistration> classes) noexcept {
    if (classes.empty()) {
        return S_OK;
    }
    // Each apartment gets its own classes, revokes them, gives back what it marshalled and frees
    // the DLLs they leave unused; all of them side by side, outside the classes' lock.
    struct Batch {
        std::vector<CClassRegistration> classes;
        std::vector<size_t> places;
        std::vector<HRESULT> revoked;
    };
    std::vector<HRESULT> revoked(classes.size(), RPC_E_TIMEOUT);
    std::vector<std::pair<std::shared_ptr<Batch>, CApartmentWork>> handedOver;
    try {
        for (size_t i = 0; i < classes.size(); ++i) {
            CApartment* const apartment = classes[i].Apartment();
            if (apartment == nullptr || classes[i].Factory() == nullptr) {
                continue;
            }
            auto batch = std::make_shared<Batch>();
            for (size_t j = i; j < classes.size(); ++j) {
                if (classes[j].Apartment() == apartment && classes[j].Factory() != nullptr) {
                    batch->classes.push_back(std::move(classes[j]));
                    batch->places.push_back(j);
                }
            }
            batch->revoked.resize(batch->classes.size(), RPC_E_TIMEOUT);
            CApartmentWork work(apartment, [batch] {
                for (size_t k = 0; k < batch->classes.size(); ++k) {
                    batch->revoked[k] = batch->classes[k].Withdraw();
                }
                batch->classes.clear();
                ComRuntime::CoFreeUnusedLibrariesEx(INFINITE, 0);
            });
            handedOver.emplace_back(std::move(batch), std::move(work));
        }
    } catch (const std::bad_alloc&) {
        // What could not be handed over is revoked below, from here, as far as the runtime lets.
    }
    for (size_t i = 0; i < classes.size(); ++i) {
        if (classes[i].Factory() != nullptr) {
            revoked[i] = classes[i].Withdraw();
        }
    }
    classes.clear();
    const ULONGLONG deadline = GetTickCount64() + kWithdrawLimitMs;
    for (const auto& batch : handedOver) {
        if (batch.second.Wait(deadline)) {
            for (size_t k = 0; k < batch.first->places.size(); ++k) {
                revoked[batch.first->places[k]] = batch.first->revoked[k];
            }
        }
    }
    // Every class goes; the first failure, if any, is the answer.
    HRESULT result = revoked[0];
    for (const HRESULT each : revoked) {
        if (FAILED(each)) {
            return each;
        }
    }
    return result;
}

HRESULT CSurrogate::RevokeClassObject() {
    std::vector<std::pair<DWORD, CApartment*>> cookies;
    {
        win::ExclusiveLock hold(m_classesLock);
        for (auto& loaded : m_classes) {
            DWORD cookie = 0;
            if (loaded.TakeCookie(cookie)) {
                try {
                    cookies.emplace_back(cookie, loaded.Apartment());
                } catch (const std::bad_alloc&) {
                    return E_OUTOFMEMORY;
                }
            }
        }
    }
    // Outside the lock: revoking may wait for the runtime's threads, and the apartments' turn.
    HRESULT result = S_OK;
    try {
        auto revoked = std::make_shared<std::vector<HRESULT>>(cookies.size(), RPC_E_TIMEOUT);
        std::vector<CApartmentWork> works;
        for (size_t i = 0; i < cookies.size(); ++i) {
            const DWORD cookie = cookies[i].first;
            works.emplace_back(cookies[i].second, [revoked, i, cookie] {
                (*revoked)[i] = ComRuntime::CoRevokeClassObject(cookie);
            });
        }
        const ULONGLONG deadline = GetTickCount64() + kWithdrawLimitMs;
        for (size_t i = 0; i < works.size(); ++i) {
            const HRESULT each = works[i].Wait(deadline) ? (*revoked)[i] : RPC_E_TIMEOUT;
            if (FAILED(each) && SUCCEEDED(result)) {
                result = each;
            }
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return result;
}

std::vector<std::wstring> CSurrogate::MultithreadedDlls() {
    win::ExclusiveLock hold(m_classesLock);
    std::vector<std::wstring> dlls;
    for (const auto& loaded : m_classes) {
        if (loaded.Apartment() == nullptr && !loaded.Dll().empty()) {
            dlls.push_back(loaded.Dll());
        }
    }
    return dlls;
}
