#pragma once

// The IUnknown of the project's own COM objects: found by QueryInterface for IUnknown and each of
// Interfaces (the first of them stands for IUnknown), counted atomically, and living as Lifetime
// says.
#include <objbase.h>

#include <atomic>

namespace win {

// Created on the heap with one reference, its creator's; deleted on the last Release.
struct HeapLifetime {
    static constexpr ULONG kInitialCount = 1;
    static constexpr bool kDeletedOnLastRelease = true;
};

// Owned by a scope, not by its references: counted from none, and never deleted by Release. The
// surrogate lives so: the hosting phase keeps it as a local and uses it to its very end (the wait
// on its event, the last FreeSurrogate), whatever the runtime has done by then with the
// references it took through CoRegisterSurrogate, so no Release may destroy it.
struct ScopeLifetime {
    static constexpr ULONG kInitialCount = 0;
    static constexpr bool kDeletedOnLastRelease = false;
};

template <typename Lifetime, typename First, typename... Others>
class ComObjectWith : public First, public Others... {
public:
    ComObjectWith() = default;
    ComObjectWith(const ComObjectWith&) = delete;
    ComObjectWith& operator=(const ComObjectWith&) = delete;

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
        if constexpr (Lifetime::kDeletedOnLastRelease) {
            if (count == 0) {
                delete this;
            }
        }
        return count;
    }

protected:
    virtual ~ComObjectWith() = default;

private:
    template <typename Interface>
    bool Find(REFIID iid, void** out) {
        if (!IsEqualIID(iid, __uuidof(Interface))) {
            return false;
        }
        *out = static_cast<Interface*>(this);
        return true;
    }

    std::atomic<ULONG> m_refCount{Lifetime::kInitialCount};
};

// The common case: created with new, released by its holders.
template <typename First, typename... Others>
using ComObject = ComObjectWith<HeapLifetime, First, Others...>;

} // namespace win
