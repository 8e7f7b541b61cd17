#pragma once

#include "TableMarshal.h"

#include <objbase.h>

#include <string>

class CApartment;
class CClassFactory;

// One class loaded into the surrogate: its factory (one reference), registered as the class
// object under the factory's cookie from the apartment that serves the class, and optionally held
// there by a marshal of its own. Revokes the registration, unless already revoked, gives the hold
// back and releases the factory when destroyed, which must therefore happen in that apartment.
// Moves; never copies.
class CClassRegistration {
public:
    // Takes over the caller's reference on factory. apartment is nullptr for the multithreaded
    // apartment.
    CClassRegistration(REFCLSID clsid, CClassFactory* factory, HRESULT registered,
                       CApartment* apartment, std::wstring dll);
    CClassRegistration(CClassRegistration&& other) noexcept;
    CClassRegistration& operator=(CClassRegistration&& other) noexcept;
    CClassRegistration(const CClassRegistration&) = delete;
    CClassRegistration& operator=(const CClassRegistration&) = delete;
    ~CClassRegistration();

    const CLSID& Clsid() const { return m_clsid; }
    CClassFactory* Factory() const { return m_factory; }
    // What CoRegisterClassObject answered.
    HRESULT Registered() const { return m_registered; }
    CApartment* Apartment() const { return m_apartment; }
    const std::wstring& Dll() const { return m_dll; }

    // Keeps the class object's stub from now until the registration goes: otherwise it goes
    // whenever the last client lets go of the class object, and a client that fetched it
    // meanwhile (Wine hands out the dying stub) fails its first call with RPC_E_DISCONNECTED.
    void Hold();

    // Revokes the registration once: the runtime's answer the first time, S_OK after that.
    HRESULT Revoke();
    // Gives the hold back, then revokes.
    HRESULT Withdraw();
    // Marks the registration withdrawn and returns its cookie; false when it already was.
    bool TakeCookie(DWORD& cookie);

private:
    void Reset();

    CLSID m_clsid;
    CClassFactory* m_factory;
    HRESULT m_registered;
    CApartment* m_apartment;
    std::wstring m_dll;
    bool m_revoked = false;
    CTableMarshal m_hold;
};
