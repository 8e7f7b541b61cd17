// The probe class: an in-process COM server that behaves like an older DLL, asking the loader for
// other DLLs by bare name, and that depends on a DLL of its own through its imports.
#include "ComObject.h"
#include "ProbeClass.h"

#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <cwchar>
#include <new>

extern "C" __declspec(dllimport) int PelmoraProbeHelper();

namespace {

constexpr DISPID kDispProcessId = 1;
constexpr DISPID kDispLoadByName = 2;
constexpr DISPID kDispHelperPath = 3;

std::atomic<long> g_liveObjects{0};
std::atomic<long> g_locks{0};

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
                        {L"HelperPath", kDispHelperPath}};
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
        if (id < kDispProcessId || id > kDispHelperPath) {
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

class CFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
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
};

CFactory g_factory;

} // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    return IsEqualCLSID(clsid, kClsidProbe) ? g_factory.QueryInterface(iid, out)
                                            : CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
    return g_liveObjects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}
