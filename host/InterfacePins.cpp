#include "InterfacePins.h"

#include "ComObject.h"
#include "ComRuntime.h"

#include <new>

namespace {

// The object behind the pins. Nothing can call it: its marshal data never leaves the process.
class CPinnedObject final : public win::ComObject<IDispatch, IClassFactory> {
public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count != nullptr) {
            *count = 0;
        }
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info != nullptr) {
            *info = nullptr;
        }
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void** out) override {
        if (out != nullptr) {
            *out = nullptr;
        }
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

} // namespace

HRESULT CInterfacePins::Pin() {
    IDispatch* const object = new (std::nothrow) CPinnedObject;
    if (object == nullptr) {
        return E_OUTOFMEMORY;
    }
    const IID* const interfaces[] = {&IID_IUnknown, &IID_IDispatch, &IID_IClassFactory};
    HRESULT first = S_OK;
    for (size_t i = 0; i < 3; ++i) {
        const HRESULT result = m_pins[i].Marshal(object, *interfaces[i]);
        if (FAILED(result) && SUCCEEDED(first)) {
            first = result;
        }
    }
    // The stubs hold the object from here on.
    object->Release();
    return first;
}

void CInterfacePins::Unpin() {
    for (auto& pin : m_pins) {
        pin.GiveBack();
    }
}
