#pragma once

#include "Unique.h"

#include <objbase.h>

// The hosted DLL's own lock, held for each client lock on the host's factory. A locked DLL answers
// S_FALSE to DllCanUnloadNow, so the runtime keeps it, and with it the host, for as long as the
// client asked: otherwise a client holding only the class object would lose the host once the DLL
// unloads. The DLL's class object is fetched in-process at the first lock and kept while any lock
// is held.
class CDllLock {
public:
    explicit CDllLock(REFCLSID clsid) : m_clsid(clsid) {}
    CDllLock(const CDllLock&) = delete;
    CDllLock& operator=(const CDllLock&) = delete;
    // Gives back the locks still held.
    ~CDllLock();

    // A DLL whose class object cannot be had is not locked; the client's lock still counts for the
    // process.
    void Lock();
    // Only a lock this object holds is given back.
    void Unlock();

private:
    const CLSID m_clsid;
    SRWLOCK m_lock = SRWLOCK_INIT;
    win::ComPtr<IClassFactory> m_classObject;
    unsigned long m_locks = 0;
};
