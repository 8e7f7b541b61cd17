#pragma once

#include "TableMarshal.h"

#include <objbase.h>

// Keeps one stub of a host-owned object alive for IUnknown, IDispatch and IClassFactory, the
// interfaces that every activation marshals. Some runtimes (Wine's) unregister an interface when
// its last stub goes away, under a lock that concurrent marshalling for other clients waits on,
// and can hang the process there; with a stub that never goes away that never happens. Only for
// runtimes that cannot release the host: the pins count as external references, and a runtime
// that can would then never call FreeSurrogate.
class CInterfacePins {
public:
    CInterfacePins() = default;
    CInterfacePins(const CInterfacePins&) = delete;
    CInterfacePins& operator=(const CInterfacePins&) = delete;
    ~CInterfacePins() { Unpin(); }

    // Returns the first failure; the pins that succeeded stay.
    HRESULT Pin();
    // Gives every pin back now; must run before CoUninitialize.
    void Unpin();

private:
    CTableMarshal m_pins[3];
};
