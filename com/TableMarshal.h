#pragma once

#include <objbase.h>

#include <utility>

// One table-strong marshal of an object's interface into a private memory stream. Until it is
// released, the runtime keeps that interface's stub for the object, and with it the interface's
// registration with the RPC server. Nothing outside this process ever sees the marshal data.
// Made and released in the same apartment: the stub lives in the apartment that marshalled it.
class CTableMarshal {
public:
    CTableMarshal() = default;
    CTableMarshal(CTableMarshal&& other) noexcept
        : m_stream(std::exchange(other.m_stream, nullptr)) {}
    CTableMarshal& operator=(CTableMarshal&& other) noexcept {
        if (this != &other) {
            GiveBack();
            m_stream = std::exchange(other.m_stream, nullptr);
        }
        return *this;
    }
    CTableMarshal(const CTableMarshal&) = delete;
    CTableMarshal& operator=(const CTableMarshal&) = delete;
    ~CTableMarshal() { GiveBack(); }

    // Marshals object's iid; any earlier marshal is released first.
    HRESULT Marshal(IUnknown* object, REFIID iid);
    // Releases the marshal data now; the stub goes once nothing else holds it. Must run before
    // CoUninitialize.
    void GiveBack();
    bool Held() const { return m_stream != nullptr; }

private:
    IStream* m_stream = nullptr;
};
