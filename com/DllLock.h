#pragma once

#include "Unique.h"

#include <objbase.h>

#include <vector>

// The hosted DLL's own lock, held for each lock on the host's factory. A locked DLL answers
// S_FALSE to DllCanUnloadNow, so the runtime keeps it, and with it the host, while a client holds
// the class object. Each lock takes the DLL's class object in-process, in the caller's apartment,
// and keeps it until its unlock. No lock of this object's is held while the DLL's code runs.
class CDllLock {
public:
    explicit CDllLock(REFCLSID clsid) : m_clsid(clsid) {}
    CDllLock(const CDllLock&) = delete;
    CDllLock& operator=(const CDllLock&) = delete;
    // Gives back the locks still held.
    ~CDllLock();

    // A DLL whose class object cannot be had is not locked; the caller's lock still counts for
    // the process.
    void Lock();
    // Only a lock this object holds is given back.
    void Unlock();

private:
    const CLSID m_clsid;
    SRWLOCK m_lock = SRWLOCK_INIT;
    std::vector<win::ComPtr<IClassFactory>> m_held;
};
