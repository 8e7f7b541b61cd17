#pragma once

#include <objbase.h>

class CClassFactory;

// One class loaded into the surrogate: its factory (one reference), registered as the class
// object under the factory's cookie. Revokes the registration, unless already revoked, and
// releases the factory when destroyed. Moves; never copies.
class CClassRegistration {
public:
    // Takes over the caller's reference on factory.
    CClassRegistration(REFCLSID clsid, CClassFactory* factory, HRESULT registered);
    CClassRegistration(CClassRegistration&& other) noexcept;
    CClassRegistration& operator=(CClassRegistration&& other) noexcept;
    CClassRegistration(const CClassRegistration&) = delete;
    CClassRegistration& operator=(const CClassRegistration&) = delete;
    ~CClassRegistration();

    const CLSID& Clsid() const { return m_clsid; }
    CClassFactory* Factory() const { return m_factory; }
    // What CoRegisterClassObject answered.
    HRESULT Registered() const { return m_registered; }

    // Withdraws the registration once: the runtime's answer the first time, S_OK after that.
    HRESULT Revoke();
    // Marks the registration withdrawn and returns its cookie; false when it already was.
    bool TakeCookie(DWORD& cookie);

private:
    void Reset();

    CLSID m_clsid;
    CClassFactory* m_factory;
    HRESULT m_registered;
    bool m_revoked = false;
};
