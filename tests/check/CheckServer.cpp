// pelmora-check-server.dll: an in-process server of the two classes of PelmoraCheck.idl, safe in
// any apartment. The dual class's IDispatch is the type library's, loaded from this DLL itself,
// so that a registration naming another file cannot go unnoticed behind a hand-written one.
#include "CheckFixture.h"
#include "ComObject.h"

#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <new>

namespace {

std::atomic<long> g_liveObjects{0};
std::atomic<long> g_locks{0};

HMODULE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

HRESULT LoadDualTypeInfo(ITypeInfo** info) {
    *info = nullptr;
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(ThisModule(), path, MAX_PATH);
    if (length == 0 || length == MAX_PATH) {
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    ITypeLib* library = nullptr;
    HRESULT status = LoadTypeLibEx(path, REGKIND_NONE, &library);
    if (SUCCEEDED(status)) {
        status = library->GetTypeInfoOfGuid(check::kIidDual, info);
        library->Release();
    }
    return status;
}

class CDual final : public win::ComObject<IPelmoraDual> {
public:
    explicit CDual(ITypeInfo* info) : m_info(info) { ++g_liveObjects; }

    // IDispatch is IPelmoraDual's own base, so it is answered with the same pointer.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out != nullptr && IsEqualIID(iid, IID_IDispatch)) {
            *out = static_cast<IPelmoraDual*>(this);
            AddRef();
            return S_OK;
        }
        return win::ComObject<IPelmoraDual>::QueryInterface(iid, out);
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) {
            return E_POINTER;
        }
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        if (info == nullptr) {
            return E_POINTER;
        }
        *info = nullptr;
        if (index != 0) {
            return DISP_E_BADINDEX;
        }
        m_info->AddRef();
        *info = m_info;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        if (!IsEqualIID(iid, IID_NULL)) {
            return DISP_E_UNKNOWNINTERFACE;
        }
        return DispGetIDsOfNames(m_info, names, count, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception,
                                     UINT* badArgument) override {
        if (!IsEqualIID(iid, IID_NULL)) {
            return DISP_E_UNKNOWNINTERFACE;
        }
        return DispInvoke(static_cast<IPelmoraDual*>(this), m_info, id, flags, params, result,
                          exception, badArgument);
    }

    HRESULT STDMETHODCALLTYPE ProcessId(long* id) override {
        if (id == nullptr) {
            return E_POINTER;
        }
        *id = static_cast<long>(GetCurrentProcessId());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Add(long a, long b, long* sum) override {
        if (sum == nullptr) {
            return E_POINTER;
        }
        // Wraps as the client's 32-bit arithmetic would, without signed overflow here.
        *sum = static_cast<long>(static_cast<unsigned long>(a) + static_cast<unsigned long>(b));
        return S_OK;
    }

private:
    ~CDual() override {
        m_info->Release();
        --g_liveObjects;
    }

    ITypeInfo* const m_info;
};

class CCustom final : public win::ComObject<IPelmoraCustom> {
public:
    CCustom() { ++g_liveObjects; }

    HRESULT STDMETHODCALLTYPE ProcessId(long* id) override {
        if (id == nullptr) {
            return E_POINTER;
        }
        *id = static_cast<long>(GetCurrentProcessId());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Twice(long value, long* twice) override {
        if (twice == nullptr) {
            return E_POINTER;
        }
        *twice = static_cast<long>(2 * static_cast<unsigned long>(value));
        return S_OK;
    }

private:
    ~CCustom() override { --g_liveObjects; }
};

template <typename Object> HRESULT CreateObject(REFIID iid, void** out);

template <> HRESULT CreateObject<CDual>(REFIID iid, void** out) {
    ITypeInfo* info = nullptr;
    const HRESULT loaded = LoadDualTypeInfo(&info);
    if (FAILED(loaded)) {
        return loaded;
    }
    CDual* const object = new (std::nothrow) CDual(info);
    if (object == nullptr) {
        info->Release();
        return E_OUTOFMEMORY;
    }
    const HRESULT status = object->QueryInterface(iid, out);
    object->Release();
    return status;
}

template <> HRESULT CreateObject<CCustom>(REFIID iid, void** out) {
    CCustom* const object = new (std::nothrow) CCustom;
    if (object == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT status = object->QueryInterface(iid, out);
    object->Release();
    return status;
}

// One static factory per class, for the life of the DLL.
template <typename Object> class CFactory final : public IClassFactory {
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
        return CreateObject<Object>(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            ++g_locks;
        } else {
            --g_locks;
        }
        return S_OK;
    }
};

CFactory<CDual> g_dualFactory;
CFactory<CCustom> g_customFactory;

} // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (IsEqualCLSID(clsid, check::kClsidDual)) {
        return g_dualFactory.QueryInterface(iid, out);
    }
    if (IsEqualCLSID(clsid, check::kClsidCustom)) {
        return g_customFactory.QueryInterface(iid, out);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return g_liveObjects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}
