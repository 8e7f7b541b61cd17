#pragma once

#include <objbase.h>

// One table-strong marshal of an object's interface into a private memory stream. Until it is
// released, the runtime keeps that interface's stub for the object, and with it the interface's
// registration with the RPC server. Nothing outside this process ever sees the marshal data.
class CTableMarshal {
public:
    CTableMarshal() = default;
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
