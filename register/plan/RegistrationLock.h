#pragma once

#include "Unique.h"

#include <windows.h>

#include <string>

// Held by one pelmora-register at a time on the machine, of either bitness and any session, from
// its first read of the registry to its last write.
class CRegistrationLock {
public:
    CRegistrationLock() = default;
    CRegistrationLock(const CRegistrationLock&) = delete;
    CRegistrationLock& operator=(const CRegistrationLock&) = delete;
    ~CRegistrationLock();

    // Empty when held; otherwise why not.
    std::wstring Acquire(DWORD timeoutMs);

private:
    win::UniqueHandle m_mutex;
    bool m_held = false;
};
