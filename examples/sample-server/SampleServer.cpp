// A small in-process COM server: a calculator reached through IDispatch, which the platform
// marshals without a proxy DLL, and a class whose creation always fails.
#include "SampleClasses.h"

#include <windows.h>
#include <oleauto.h>
#include <olectl.h>

#include <atomic>
#include <climits>
#include <cwchar>
#include <new>
#include <string>

namespace {

HMODULE g_module = nullptr;
std::atomic<long> g_liveObjects{0};
std::atomic<long> g_locks{0};

class CCalculator final : public IDispatch {
public:
    CCalculator() { ++g_liveObjects; }
    CCalculator(const CCalculator&) = delete;
    CCalculator& operator=(const CCalculator&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refCount; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = --m_refCount;
        if (count == 0) {
            delete this;
        }
        return count;
    }

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
        HRESULT result = S_OK;
        for (UINT i = 0; i < count; ++i) {
            if (names[i] != nullptr && _wcsicmp(names[i], L"ProcessId") == 0) {
                ids[i] = kDispProcessId;
            } else if (names[i] != nullptr && _wcsicmp(names[i], L"Add") == 0) {
                ids[i] = kDispAdd;
            } else {
                ids[i] = DISPID_UNKNOWN;
                result = DISP_E_UNKNOWNNAME;
            }
        }
        return result;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, UINT* badArgument) override {
        if (params == nullptr || (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (params->cNamedArgs != 0) {
            return DISP_E_NONAMEDARGS;
        }
        switch (id) {
        case kDispProcessId:
            if (params->cArgs != 0) {
                return DISP_E_BADPARAMCOUNT;
            }
            return Answer(result, static_cast<LONGLONG>(GetCurrentProcessId()));
        case kDispAdd: {
            if (params->cArgs != 2) {
                return DISP_E_BADPARAMCOUNT;
            }
            LONG operands[2] = {};
            // Arguments arrive last first.
            for (UINT i = 0; i < 2; ++i) {
                VARIANT value;
                VariantInit(&value);
                if (FAILED(VariantChangeType(&value, &params->rgvarg[1 - i], 0, VT_I4))) {
                    if (badArgument != nullptr) {
                        *badArgument = 1 - i;
                    }
                    return DISP_E_TYPEMISMATCH;
                }
                operands[i] = value.lVal;
            }
            return Answer(result, static_cast<LONGLONG>(operands[0]) + operands[1]);
        }
        default:
            return DISP_E_MEMBERNOTFOUND;
        }
    }

private:
    ~CCalculator() { --g_liveObjects; }

    static HRESULT Answer(VARIANT* result, LONGLONG value) {
        if (value < LONG_MIN || value > LONG_MAX) {
            return DISP_E_OVERFLOW;
        }
        if (result != nullptr) {
            VariantInit(result);
            result->vt = VT_I4;
            result->lVal = static_cast<LONG>(value);
        }
        return S_OK;
    }

    std::atomic<ULONG> m_refCount{1};
};

// One factory object per class, static for the life of the DLL.
class CFactory final : public IClassFactory {
public:
    explicit CFactory(bool refuses) : m_refuses(refuses) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
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
        if (m_refuses) {
            return kSampleRefusal;
        }
        CCalculator* const calculator = new (std::nothrow) CCalculator;
        if (calculator == nullptr) {
            return E_OUTOFMEMORY;
        }
        const HRESULT result = calculator->QueryInterface(iid, out);
        calculator->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        g_locks += lock ? 1 : -1;
        return S_OK;
    }

private:
    const bool m_refuses;
};

CFactory g_calculatorFactory(false);
CFactory g_refusingFactory(true);

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

bool SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    HKEY handle = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &handle, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG status =
        RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return status == ERROR_SUCCESS;
}

struct ClassEntry {
    const CLSID& clsid;
    const wchar_t* progId;
    const wchar_t* description;
};

#ifdef _WIN64
#define SAMPLE_BITNESS L" (64-bit)"
#else
#define SAMPLE_BITNESS L" (32-bit)"
#endif

const ClassEntry kClasses[] = {
    {kClsidCalculator, kProgIdCalculator, L"Pelmora sample calculator" SAMPLE_BITNESS},
    {kClsidRefusing, kProgIdRefusing, L"Pelmora sample refusing class" SAMPLE_BITNESS},
};

} // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (IsEqualCLSID(clsid, kClsidCalculator)) {
        return g_calculatorFactory.QueryInterface(iid, out);
    }
    if (IsEqualCLSID(clsid, kClsidRefusing)) {
        return g_refusingFactory.QueryInterface(iid, out);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
    return g_liveObjects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}

// Registers each class for in-process use, with its ProgID and an AppID equal to its CLSID.
// Which surrogate serves the AppID (its DllSurrogate value) is left to whoever installs the host.
STDAPI DllRegisterServer() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(g_module, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH) {
        return SELFREG_E_CLASS;
    }
    for (const ClassEntry& entry : kClasses) {
        const std::wstring clsid = GuidText(entry.clsid);
        const std::wstring key = L"CLSID\\" + clsid;
        const bool written = SetValue(key, nullptr, entry.description) &&
                             SetValue(key, L"AppID", clsid) &&
                             SetValue(key + L"\\ProgID", nullptr, entry.progId) &&
                             SetValue(key + L"\\InprocServer32", nullptr, path) &&
                             SetValue(key + L"\\InprocServer32", L"ThreadingModel", L"Both") &&
                             SetValue(entry.progId, nullptr, entry.description) &&
                             SetValue(std::wstring(entry.progId) + L"\\CLSID", nullptr, clsid) &&
                             SetValue(L"AppID\\" + clsid, nullptr, entry.description);
        if (!written) {
            return SELFREG_E_CLASS;
        }
    }
    return S_OK;
}

STDAPI DllUnregisterServer() {
    for (const ClassEntry& entry : kClasses) {
        const std::wstring clsid = GuidText(entry.clsid);
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + clsid).c_str());
        RegDeleteKeyW(HKEY_CLASSES_ROOT, (L"CLSID\\" + clsid).c_str());
        RegDeleteTreeW(HKEY_CLASSES_ROOT, entry.progId);
        RegDeleteKeyW(HKEY_CLASSES_ROOT, entry.progId);
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"AppID\\" + clsid).c_str());
        RegDeleteKeyW(HKEY_CLASSES_ROOT, (L"AppID\\" + clsid).c_str());
    }
    return S_OK;
}
