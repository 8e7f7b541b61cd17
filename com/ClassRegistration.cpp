#include "ClassRegistration.h"

#include "ClassFactory.h"
#include "ComRuntime.h"

#include <utility>

CClassRegistration::CClassRegistration(REFCLSID clsid, CClassFactory* factory, HRESULT registered,
                                       CApartment* apartment, std::wstring dll)
    : m_clsid(clsid), m_factory(factory), m_registered(registered), m_apartment(apartment),
      m_dll(std::move(dll)) {}

CClassRegistration::CClassRegistration(CClassRegistration&& other) noexcept
    : m_clsid(other.m_clsid), m_factory(std::exchange(other.m_factory, nullptr)),
      m_registered(other.m_registered), m_apartment(other.m_apartment),
      m_dll(std::move(other.m_dll)), m_revoked(other.m_revoked), m_hold(std::move(other.m_hold)) {}

CClassRegistration& CClassRegistration::operator=(CClassRegistration&& other) noexcept {
    if (this != &other) {
        Reset();
        m_clsid = other.m_clsid;
        m_factory = std::exchange(other.m_factory, nullptr);
        m_registered = other.m_registered;
        m_apartment = other.m_apartment;
        m_dll = std::move(other.m_dll);
        m_revoked = other.m_revoked;
        m_hold = std::move(other.m_hold);
    }
    return *this;
}

CClassRegistration::~CClassRegistration() {
    Reset();
}

void CClassRegistration::Reset() {
    if (m_factory == nullptr) {
        return;
    }
    Withdraw();
    // Only this reference: a client still holding the factory keeps it until its own Release.
    std::exchange(m_factory, nullptr)->Release();
}

void CClassRegistration::Hold() {
    if (m_factory != nullptr && SUCCEEDED(m_registered)) {
        m_hold.Marshal(static_cast<IClassFactory*>(m_factory), IID_IClassFactory);
    }
}

HRESULT CClassRegistration::Withdraw() {
    m_hold.GiveBack();
    return Revoke();
}

HRESULT CClassRegistration::Revoke() {
    DWORD cookie = 0;
    // A failed registration's cookie is revoked all the same: the runtime answered with it.
    return TakeCookie(cookie) ? ComRuntime::CoRevokeClassObject(cookie) : S_OK;
}

bool CClassRegistration::TakeCookie(DWORD& cookie) {
    if (m_revoked || m_factory == nullptr) {
        return false;
    }
    m_revoked = true;
    cookie = m_factory->Cookie();
    return true;
}
