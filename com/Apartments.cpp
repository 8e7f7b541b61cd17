#include "Apartments.h"

namespace {

// The main apartment's key: no DLL path is empty.
const wchar_t* const kMainKey = L"";

} // namespace

HRESULT CApartments::StartMain() {
    const ClassPlacement main{ApartmentKind::MainSingleThreaded, {}};
    CApartment* const apartment = For(main);
    return apartment == nullptr ? E_OUTOFMEMORY : apartment->Started();
}

CApartment* CApartments::For(const ClassPlacement& placement) {
    if (placement.apartment == ApartmentKind::Multithreaded) {
        return nullptr;
    }
    const std::wstring key = placement.apartment == ApartmentKind::MainSingleThreaded
                                 ? std::wstring(kMainKey)
                                 : DllApartmentKey(placement.dll);
    win::ExclusiveLock hold(m_lock);
    for (const auto& known : m_apartments) {
        if (known.first == key) {
            return known.second.get();
        }
    }
    m_apartments.emplace_back(key, std::make_unique<CApartment>());
    return m_apartments.back().second.get();
}

bool CApartments::AnyInUse() {
    win::ExclusiveLock hold(m_lock);
    for (const auto& apartment : m_apartments) {
        if (apartment.second->InUse()) {
            return true;
        }
    }
    return false;
}

void CApartments::EndAll(DWORD limitMs) {
    win::ExclusiveLock hold(m_lock);
    // Asked all at once, so that they end side by side.
    for (const auto& apartment : m_apartments) {
        apartment.second->End(0);
    }
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    for (const auto& apartment : m_apartments) {
        const ULONGLONG now = GetTickCount64();
        apartment.second->End(now < deadline ? static_cast<DWORD>(deadline - now) : 0);
    }
}
