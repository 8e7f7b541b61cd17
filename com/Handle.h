#pragma once

#include <windows.h>

// Sole owner of a kernel handle; closes it on destruction. Holds nullptr when there is none.
class CHandle {
public:
    explicit CHandle(HANDLE handle = nullptr) { Reset(handle); }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    ~CHandle() { Reset(); }

    // Closes the handle held so far and takes ownership of another.
    void Reset(HANDLE handle = nullptr) {
        if (m_handle != nullptr) {
            CloseHandle(m_handle);
        }
        m_handle = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
    }

    HANDLE Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    HANDLE m_handle = nullptr;
};
