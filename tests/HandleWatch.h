#pragma once

#include <windows.h>
#include <winternl.h>

// Watches the kernel object behind someone else's handle through a duplicate of its own. Once
// closed, a handle's value may be handed out again at once, to any thread of the process, so
// asking about the old value proves nothing; the object's handle count does.
class CHandleWatch {
public:
    CHandleWatch() = default;
    CHandleWatch(const CHandleWatch&) = delete;
    CHandleWatch& operator=(const CHandleWatch&) = delete;
    ~CHandleWatch() { Reset(); }

    // Watches the object behind handle from now on; false if it cannot.
    bool Watch(HANDLE handle) {
        Reset();
        return DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &m_own, 0, FALSE,
                               DUPLICATE_SAME_ACCESS) != FALSE;
    }

    void Reset() {
        if (m_own != nullptr) {
            CloseHandle(m_own);
            m_own = nullptr;
        }
    }

    // The handles to the object besides the watch's own, in every process; -1 when nothing is
    // watched or the count cannot be read.
    long OtherHandles() const {
        PUBLIC_OBJECT_BASIC_INFORMATION info = {};
        if (m_own == nullptr ||
            NtQueryObject(m_own, ObjectBasicInformation, &info, sizeof(info), nullptr) < 0) {
            return -1;
        }
        return static_cast<long>(info.HandleCount) - 1;
    }

private:
    HANDLE m_own = nullptr;
};
