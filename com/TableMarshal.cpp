#include "TableMarshal.h"

#include "ComRuntime.h"

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
