#pragma once

#include <oleauto.h>

// Calls a method of the sample calculator by name through IDispatch. arguments are last first.
inline HRESULT CallSample(IDispatch* object, const wchar_t* name, VARIANT* arguments, UINT count,
                          VARIANT* result) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = DISPID_UNKNOWN;
    const HRESULT status = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(status)) {
        return status;
    }
    DISPPARAMS params = {arguments, nullptr, count, 0};
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result,
                          nullptr, nullptr);
}

// One activation of a sample calculator: creates it out of process, asks for the id of the
// process it lives in (stored through objectProcess when given) and releases it.
inline HRESULT ActivateSample(REFCLSID clsid, DWORD* objectProcess = nullptr) {
    IDispatch* object = nullptr;
    HRESULT status = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                      reinterpret_cast<void**>(&object));
    if (FAILED(status)) {
        return status;
    }
    VARIANT result;
    VariantInit(&result);
    status = CallSample(object, L"ProcessId", nullptr, 0, &result);
    if (SUCCEEDED(status) && objectProcess != nullptr) {
        *objectProcess = static_cast<DWORD>(result.lVal);
    }
    object->Release();
    return status;
}
