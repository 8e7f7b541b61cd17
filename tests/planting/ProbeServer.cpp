// The probe class: an in-process COM server that behaves like an older DLL, asking the loader for
// other DLLs by bare name, and that depends on a DLL of its own through its imports; it tells the
// apartment its calls run in, its locks and its own unloading, and its class object is licensed.
#include "ComObject.h"
#include "ProbeClass.h"

#include <windows.h>
#include <oleauto.h>
#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <cwchar>
#include <new>

extern "C" __declspec(dllimport) int PelmoraProbeHelper();

namespace {

constexpr DISPID kDispProcessId = 1;
constexpr DISPID kDispLoadByName = 2;
constexpr DISPID kDispHelperPath = 3;
constexpr DISPID kDispApartmentType = 4;
constexpr DISPID kDispLocks = 5;

std::atomic<long> g_liveObjects{0};
std::atomic<long> g_locks{0};
// Signalled when the DLL is unloaded; left open, so that it outlives the DLL in its process.
HANDLE g_unloaded = nullptr;

// A module's full path as a BSTR, or an empty BSTR for no module.
HRESULT ModulePath(HMODULE module, VARIANT* result) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = module == nullptr ? 0 : GetModuleFileNameW(module, path, MAX_PATH);
    if (length == MAX_PATH) {
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    result->vt = VT_BSTR;
    result->bstrVal = SysAllocStringLen(path, length);
    return result->bstrVal == nullptr ? E_OUTOFMEMORY : S_OK;
}

class CProbe final : public win::ComObject<IDispatch> {
public:
    CProbe() { ++g_liveObjects; }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) {
            return E_POINTER;
        }
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info != nullptr) {
            *info = nullptr;
        }
        return DISP_E_BADINDEX;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        if (names == nullptr || ids == nullptr) {
            return E_POINTER;
        }
        static const struct {
            const wchar_t* name;
            DISPID id;
        } kMethods[] = {{L"ProcessId", kDispProcessId},
                        {L"LoadByName", kDispLoadByName},
                        {L"HelperPath", kDispHelperPath},
                        {L"ApartmentType", kDispApartmentType},
                        {L"Locks", kDispLocks}};
        HRESULT result = S_OK;
        for (UINT i = 0; i < count; ++i) {
            ids[i] = DISPID_UNKNOWN;
            for (const auto& method : kMethods) {
                if (names[i] != nullptr && _wcsicmp(names[i], method.name) == 0) {
                    ids[i] = method.id;
                }
            }
            if (ids[i] == DISPID_UNKNOWN) {
                result = DISP_E_UNKNOWNNAME;
            }
        }
        return result;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, UINT* badArgument) override {
        if (params == nullptr || (flags & DISPATCH_METHOD) == 0) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (params->cNamedArgs != 0) {
            return DISP_E_NONAMEDARGS;
        }
        if (result == nullptr) {
            return E_POINTER;
        }
        VariantInit(result);
        if (id < kDispProcessId || id > kDispLocks) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (params->cArgs != (id == kDispLoadByName ? 1u : 0u)) {
            return DISP_E_BADPARAMCOUNT;
        }
        switch (id) {
        case kDispProcessId:
            result->vt = VT_I4;
            result->lVal = static_cast<LONG>(GetCurrentProcessId());
            return S_OK;
        case kDispApartmentType: {
            APTTYPE type = APTTYPE_CURRENT;
            APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
            const HRESULT status = CoGetApartmentType(&type, &qualifier);
            result->vt = VT_I4;
            result->lVal = static_cast<LONG>(type);
            return status;
        }
        case kDispLocks:
            result->vt = VT_I4;
            result->lVal = g_locks;
            return S_OK;
        case kDispLoadByName: {
            if (params->rgvarg[0].vt != VT_BSTR || params->rgvarg[0].bstrVal == nullptr) {
                if (badArgument != nullptr) {
                    *badArgument = 0;
                }
                return DISP_E_TYPEMISMATCH;
            }
            const HMODULE module = LoadLibraryW(params->rgvarg[0].bstrVal);
            const HRESULT status = ModulePath(module, result);
            if (module != nullptr) {
                FreeLibrary(module);
            }
            return status;
        }
        default: {
            HMODULE helper = nullptr;
            GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                   GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               reinterpret_cast<LPCWSTR>(&PelmoraProbeHelper), &helper);
            return ModulePath(helper, result);
        }
        }
    }

private:
    ~CProbe() override { --g_liveObjects; }
};

class CFactory final : public IClassFactory2 {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory) ||
            IsEqualIID(iid, IID_IClassFactory2)) {
            *out = static_cast<IClassFactory2*>(this);
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    // Static for the life of the DLL.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        CProbe* const probe = new (std::nothrow) CProbe;
        if (probe == nullptr) {
            return E_OUTOFMEMORY;
        }
        const HRESULT result = probe->QueryInterface(iid, out);
        probe->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        g_locks += lock ? 1 : -1;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetLicInfo(LICINFO* info) override {
        if (info == nullptr) {
            return E_POINTER;
        }
        info->cbLicInfo = sizeof(LICINFO);
        info->fRuntimeKeyAvail = TRUE;
        info->fLicVerified = TRUE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RequestLicKey(DWORD, BSTR* key) override {
        if (key == nullptr) {
            return E_POINTER;
        }
        *key = SysAllocString(kProbeLicenseKey);
        return *key != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceLic(IUnknown* outer, IUnknown*, REFIID iid, BSTR key,
                                                void** out) override {
        if (out != nullptr) {
            *out = nullptr;
        }
        if (key == nullptr || wcscmp(key, kProbeLicenseKey) != 0) {
            return CLASS_E_NOTLICENSED;
        }
        return CreateInstance(outer, iid, out);
    }
};

CFactory g_factory;

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_unloaded =
            CreateEventW(nullptr, TRUE, FALSE, ProbeUnloadEventName(GetCurrentProcessId()).c_str());
        if (g_unloaded != nullptr) {
            ResetEvent(g_unloaded);
        }
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr && g_unloaded != nullptr) {
        SetEvent(g_unloaded);
    }
    return TRUE;
}

// Any class the probe is registered for.
STDAPI DllGetClassObject(REFCLSID, REFIID iid, LPVOID* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    return g_factory.QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow() {
    return g_liveObjects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}
