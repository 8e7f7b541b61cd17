#include "FakeComRuntime.h"

#include "ComRuntime.h"

#include <algorithm>

namespace {

FakeComRuntime g_fake;
std::recursive_mutex g_lock;

using Hold = std::lock_guard<std::recursive_mutex>;

constexpr int kNoOverride = -1000;
thread_local int t_apartmentCall = kNoOverride;

// Under the lock.
void Record(const wchar_t* call) {
    g_fake.calls.push_back(call);
    g_fake.callThreads.push_back(GetCurrentThreadId());
}

} // namespace

int FakeApartment() {
    if (t_apartmentCall != kNoOverride) {
        return t_apartmentCall;
    }
    Hold hold(g_lock);
    const auto found = g_fake.threadApartments.find(GetCurrentThreadId());
    return found == g_fake.threadApartments.end() ? kMultithreadedApartment : found->second.first;
}

std::vector<std::wstring> CallsOn(const FakeComRuntime& fake, DWORD thread) {
    std::vector<std::wstring> calls;
    for (size_t i = 0; i < fake.calls.size(); ++i) {
        if (fake.callThreads[i] == thread) {
            calls.push_back(fake.calls[i]);
        }
    }
    return calls;
}

void RunDllLockHook(BOOL lock) {
    std::function<void(BOOL)> hook;
    {
        Hold hold(g_lock);
        hook = g_fake.onDllLock;
    }
    if (hook) {
        hook(lock);
    }
}

CApartmentCall::CApartmentCall(int apartment) : m_previous(t_apartmentCall) {
    t_apartmentCall = apartment;
}

CApartmentCall::~CApartmentCall() {
    t_apartmentCall = m_previous;
}

FakeComRuntime& Fake() {
    return g_fake;
}

std::recursive_mutex& FakeLock() {
    return g_lock;
}

void ResetFake() {
    Hold hold(g_lock);
    delete[] g_fake.progIdGiven;
    g_fake = FakeComRuntime();
}

FakeComRuntime FakeSnapshot() {
    Hold hold(g_lock);
    return g_fake;
}

namespace ComRuntime {

HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit) {
    Hold hold(g_lock);
    Record(L"CoInitializeEx");
    ++g_fake.initializeCalls;
    g_fake.initializeReserved = reserved;
    g_fake.initializeFlags = coInit;
    g_fake.initializations.emplace_back(GetCurrentThreadId(), coInit);
    auto& apartment = g_fake.threadApartments[GetCurrentThreadId()];
    if (apartment.second++ > 0) {
        return S_FALSE;
    }
    apartment.first = kMultithreadedApartment;
    if ((coInit & COINIT_APARTMENTTHREADED) != 0) {
        apartment.first = ++g_fake.apartmentsInitialized;
        if (g_fake.mainApartment == 0) {
            g_fake.mainApartment = apartment.first;
        }
    }
    return S_OK;
}

void CoUninitialize() {
    Hold hold(g_lock);
    Record(L"CoUninitialize");
    ++g_fake.uninitializeCalls;
    const auto found = g_fake.threadApartments.find(GetCurrentThreadId());
    if (found != g_fake.threadApartments.end() && --found->second.second <= 0) {
        g_fake.threadApartments.erase(found);
    }
}

HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR securityDescriptor, LONG authServiceCount,
                             SOLE_AUTHENTICATION_SERVICE* authServices, void* reserved1, DWORD,
                             DWORD, void* authList, DWORD capabilities, void* reserved3) {
    Hold hold(g_lock);
    Record(L"CoInitializeSecurity");
    GUID appId = {};
    if ((capabilities & EOAC_APPID) != 0 && securityDescriptor != nullptr) {
        appId = *static_cast<const GUID*>(securityDescriptor);
    }
    g_fake.securityCalls.push_back({capabilities, appId, authServiceCount,
                                    authServices == nullptr && reserved1 == nullptr &&
                                        authList == nullptr && reserved3 == nullptr});
    return g_fake.model != nullptr ? g_fake.model->InitializeSecurity()
                                   : g_fake.initializeSecurityResult;
}

HRESULT CoRegisterSurrogate(ISurrogate* surrogate) {
    Hold hold(g_lock);
    Record(L"CoRegisterSurrogate");
    g_fake.surrogates.push_back(surrogate);
    return g_fake.registerSurrogateResult;
}

HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid) {
    Hold hold(g_lock);
    Record(L"CLSIDFromString");
    g_fake.clsidTexts.push_back(text);
    if (SUCCEEDED(g_fake.clsidFromStringResult)) {
        *clsid = g_fake.clsidFromString;
    }
    return g_fake.clsidFromStringResult;
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* progId) {
    Hold hold(g_lock);
    Record(L"ProgIDFromCLSID");
    g_fake.progIdLookups.push_back(clsid);
    if (FAILED(g_fake.progIdResult)) {
        return g_fake.progIdResult;
    }
    delete[] g_fake.progIdGiven;
    g_fake.progIdGiven = new wchar_t[g_fake.progId.size() + 1];
    std::copy(g_fake.progId.c_str(), g_fake.progId.c_str() + g_fake.progId.size() + 1,
              g_fake.progIdGiven);
    *progId = g_fake.progIdGiven;
    return g_fake.progIdResult;
}

void CoTaskMemFree(LPVOID memory) {
    Hold hold(g_lock);
    Record(L"CoTaskMemFree");
    g_fake.freed.push_back(memory);
}

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD context, DWORD flags,
                              LPDWORD cookie) {
    std::function<void()> hook;
    HRESULT result;
    {
        Hold hold(g_lock);
        Record(L"CoRegisterClassObject");
        const DWORD onEntry = *cookie;
        result = g_fake.registerResult;
        *cookie = g_fake.nextCookie++;
        if (SUCCEEDED(result)) {
            object->AddRef();
        }
        g_fake.registrations.push_back(
            {clsid, object, context, flags, onEntry, *cookie, SUCCEEDED(result), FakeApartment()});
        hook = g_fake.onRegister;
    }
    if (hook) {
        hook();
    }
    return result;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
    std::function<void()> hook;
    HRESULT result;
    {
        Hold hold(g_lock);
        Record(L"CoRevokeClassObject");
        result = g_fake.revokeResult;
        for (auto& registration : g_fake.registrations) {
            if (registration.cookie != cookie || !registration.held) {
                continue;
            }
            // Only the registering apartment may revoke; the registration stays.
            if (registration.apartment != FakeApartment()) {
                g_fake.wrongApartmentRevokes.push_back(cookie);
                return RPC_E_WRONG_THREAD;
            }
            g_fake.countAfterRevoke.push_back(registration.object->Release());
            registration.held = false;
            break;
        }
        g_fake.revoked.push_back(cookie);
        hook = g_fake.onRevoke;
    }
    if (hook) {
        hook();
    }
    return result;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         LPVOID* object) {
    IRuntimeModel* model = nullptr;
    {
        Hold hold(g_lock);
        Record(L"CoCreateInstance");
        g_fake.creations.push_back({clsid, outer, context, iid, object, FakeApartment()});
        if (g_fake.model == nullptr) {
            return g_fake.createResult;
        }
        model = g_fake.model;
    }
    return model->CreateInstance(clsid, outer, iid, object);
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, COSERVERINFO*, REFIID iid, LPVOID* object) {
    IRuntimeModel* model = nullptr;
    {
        Hold hold(g_lock);
        Record(L"CoGetClassObject");
        g_fake.classObjectContexts.push_back(context);
        *object = nullptr;
        if (g_fake.model == nullptr) {
            if (FAILED(g_fake.getClassObjectResult)) {
                return g_fake.getClassObjectResult;
            }
            IClassFactory* const classObject = new CLockCountingClassObject(g_fake.dllLocks);
            const HRESULT result = classObject->QueryInterface(iid, object);
            classObject->Release();
            return result;
        }
        model = g_fake.model;
    }
    return model->GetInprocClassObject(clsid, iid, object);
}

namespace {

ULONG MoveServerProcessCount(const wchar_t* call, long by) {
    IRuntimeModel* model = nullptr;
    long count = 0;
    {
        Hold hold(g_lock);
        Record(call);
        count = g_fake.serverProcessCount += by;
        model = g_fake.model;
    }
    if (model != nullptr) {
        model->ServerProcessCountChanged(count);
    }
    return static_cast<ULONG>(count);
}

} // namespace

ULONG CoAddRefServerProcess() {
    return MoveServerProcessCount(L"CoAddRefServerProcess", 1);
}

ULONG CoReleaseServerProcess() {
    return MoveServerProcessCount(L"CoReleaseServerProcess", -1);
}

void CoFreeUnusedLibrariesEx(DWORD unloadDelayMs, DWORD) {
    IRuntimeModel* model = nullptr;
    {
        Hold hold(g_lock);
        Record(L"CoFreeUnusedLibrariesEx");
        g_fake.unloadCalls.emplace_back(FakeApartment(), unloadDelayMs);
        model = g_fake.model;
    }
    if (model != nullptr) {
        model->FreeUnusedLibraries(unloadDelayMs);
    }
}

HRESULT CreateStreamOnHGlobal(HGLOBAL global, BOOL deleteOnRelease, LPSTREAM* stream) {
    Hold hold(g_lock);
    Record(L"CreateStreamOnHGlobal");
    return ::CreateStreamOnHGlobal(global, deleteOnRelease, stream);
}

// Like the runtime's stub, a marshal holds the object until its data is released.
HRESULT CoMarshalInterface(LPSTREAM stream, REFIID iid, LPUNKNOWN object, DWORD destContext, LPVOID,
                           DWORD flags) {
    Hold hold(g_lock);
    Record(L"CoMarshalInterface");
    if (FAILED(g_fake.marshalResult)) {
        return g_fake.marshalResult;
    }
    object->AddRef();
    g_fake.marshals.push_back({object, iid, destContext, flags, stream, true});
    const ULONG index = static_cast<ULONG>(g_fake.marshals.size() - 1);
    return stream->Write(&index, sizeof(index), nullptr);
}

HRESULT CoReleaseMarshalData(LPSTREAM stream) {
    Hold hold(g_lock);
    Record(L"CoReleaseMarshalData");
    g_fake.releasedMarshals.push_back(stream);
    ULONG index = 0;
    ULONG read = 0;
    if (FAILED(stream->Read(&index, sizeof(index), &read)) || read != sizeof(index) ||
        index >= g_fake.marshals.size() || !g_fake.marshals[index].held) {
        return E_INVALIDARG;
    }
    g_fake.marshals[index].held = false;
    g_fake.marshals[index].object->Release();
    return S_OK;
}

HRESULT SetGlobalOption(GLOBALOPT_PROPERTIES property, ULONG_PTR value) {
    Hold hold(g_lock);
    Record(L"SetGlobalOption");
    g_fake.globalOptions.emplace_back(property, value);
    return S_OK;
}

namespace {

// The standard marshaler as far as its caller can tell: it marshals as CLSID_StdMarshal.
class CStandardMarshal final : public win::ComObject<IMarshal> {
public:
    HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD,
                                                CLSID* clsid) override {
        *clsid = CLSID_StdMarshal;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD,
                                                DWORD* size) override {
        *size = 68;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE MarshalInterface(IStream*, REFIID, void*, DWORD, void*,
                                               DWORD) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream*, REFIID, void** out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD) override { return S_OK; }
};

} // namespace

HRESULT CoGetStandardMarshal(REFIID iid, LPUNKNOWN object, DWORD, LPVOID, DWORD,
                             LPMARSHAL* marshal) {
    Hold hold(g_lock);
    Record(L"CoGetStandardMarshal");
    g_fake.standardMarshals.push_back({iid, object});
    *marshal = new CStandardMarshal;
    return S_OK;
}

} // namespace ComRuntime
