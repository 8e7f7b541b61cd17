#pragma once

#include "Unique.h"

#include <windows.h>
#include <winternl.h>

// Watches the kernel object behind someone else's handle through a duplicate of its own. Once
// closed, a handle's value may be handed out again at once, to any thread of the process, so
// asking about the old value proves nothing; the object's handle count does.
class CHandleWatch {
public:
    // Watches the object behind handle from now on; false if it cannot.
    bool Watch(HANDLE handle) {
        return DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), m_own.Put(), 0,
                               FALSE, DUPLICATE_SAME_ACCESS) != FALSE;
    }

    void Reset() { m_own.Reset(); }

    // The handles to the object besides the watch's own, in every process; -1 when nothing is
    // watched or the count cannot be read.
    long OtherHandles() const {
        PUBLIC_OBJECT_BASIC_INFORMATION info = {};
        if (!m_own ||
            NtQueryObject(m_own.Get(), ObjectBasicInformation, &info, sizeof(info), nullptr) < 0) {
            return -1;
        }
        return static_cast<long>(info.HandleCount) - 1;
    }

private:
    win::UniqueHandle m_own;
};
