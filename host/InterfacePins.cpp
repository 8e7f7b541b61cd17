#include "InterfacePins.h"

#include "ComObject.h"
#include "ComRuntime.h"

#include <new>

HRESULT CTableMarshal::Marshal(IUnknown* object, REFIID iid) {
    GiveBack();
    IStream* stream = nullptr;
    HRESULT result = ComRuntime::CreateStreamOnHGlobal(nullptr, TRUE, &stream);
    if (FAILED(result)) {
        return result;
    }
    result = ComRuntime::CoMarshalInterface(stream, iid, object, MSHCTX_LOCAL, nullptr,
                                            MSHLFLAGS_TABLESTRONG);
    if (FAILED(result)) {
        stream->Release();
        return result;
    }
    m_stream = stream;
    return S_OK;
}

void CTableMarshal::GiveBack() {
    if (m_stream == nullptr) {
        return;
    }
    const LARGE_INTEGER start = {};
    m_stream->Seek(start, STREAM_SEEK_SET, nullptr);
    ComRuntime::CoReleaseMarshalData(m_stream);
    m_stream->Release();
    m_stream = nullptr;
}

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
