#pragma once

// The IUnknown of the project's own small COM objects: created on the heap with one reference,
// deleted on the last Release, and found by QueryInterface for IUnknown and each of Interfaces
// (the first of them stands for IUnknown).
#include <objbase.h>

#include <atomic>

namespace win {

template <typename First, typename... Others> class ComObject : public First, public Others... {
public:
    ComObject() = default;
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown)) {
            *out = static_cast<First*>(this);
        } else {
            (Find<First>(iid, out) || ... || Find<Others>(iid, out));
        }
        if (*out == nullptr) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refCount; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = --m_refCount;
        if (count == 0) {
            delete this;
        }
        return count;
    }

protected:
    virtual ~ComObject() = default;

private:
    template <typename Interface>
    bool Find(REFIID iid, void** out) {
        if (!IsEqualIID(iid, __uuidof(Interface))) {
            return false;
        }
        *out = static_cast<Interface*>(this);
        return true;
    }

    std::atomic<ULONG> m_refCount{1};
};

} // namespace win
