#pragma once

// One way to own each Windows resource: a move-only owner that closes what it holds when it goes,
// and one line per kind of resource. Below everything else in the project: it includes nothing of
// the project's own.
#include <windows.h>
#include <objbase.h>

#include <utility>

namespace win {

// Owns one T, closed with Close unless it equals Invalid (nothing held). Moves; never copies.
template <typename T, auto Close, T Invalid = T{}>
class CUnique {
public:
    CUnique() = default;
    explicit CUnique(T value) : m_value(value) {}
    CUnique(CUnique&& other) noexcept : m_value(other.Release()) {}
    CUnique& operator=(CUnique&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    CUnique(const CUnique&) = delete;
    CUnique& operator=(const CUnique&) = delete;
    ~CUnique() { Reset(); }

    T Get() const { return m_value; }
    explicit operator bool() const { return m_value != Invalid; }
    // Closes what is held and takes value instead.
    void Reset(T value = Invalid) {
        const T old = std::exchange(m_value, value);
        if (old != Invalid) {
            Close(old);
        }
    }
    // Gives up ownership without closing.
    T Release() { return std::exchange(m_value, Invalid); }
    // For functions that return a resource through a pointer: closes what is held first.
    T* Put() {
        Reset();
        return &m_value;
    }

private:
    T m_value = Invalid;
};

namespace detail {
inline void CloseKernelHandle(HANDLE handle) {
    CloseHandle(handle);
}
inline void CloseKey(HKEY key) {
    RegCloseKey(key);
}
inline void ReleaseModule(HMODULE module) {
    FreeLibrary(module);
}
inline void FreeLocal(void* memory) {
    LocalFree(memory);
}
inline void FreeTaskMemory(void* memory) {
    CoTaskMemFree(memory);
}
} // namespace detail

// Kernel handles: processes, threads, events, files, pipes. Functions that fail with
// INVALID_HANDLE_VALUE (CreateFileW, CreateToolhelp32Snapshot) want CFileHandle.
using CHandle = CUnique<HANDLE, detail::CloseKernelHandle>;
class CFileHandle : public CUnique<HANDLE, detail::CloseKernelHandle> {
public:
    CFileHandle() = default;
    explicit CFileHandle(HANDLE handle)
        : CUnique(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
};
using CRegKey = CUnique<HKEY, detail::CloseKey>;
using CModule = CUnique<HMODULE, detail::ReleaseModule>;
// Memory the system allocated for the caller with LocalAlloc (CommandLineToArgvW, FormatMessageW).
template <typename T>
using CLocalMemory = CUnique<T*, detail::FreeLocal>;
// Memory the COM runtime allocated for the caller (StringFromCLSID, ProgIDFromCLSID).
template <typename T>
using CTaskMemory = CUnique<T*, detail::FreeTaskMemory>;

// An SRW lock held exclusively for the scope's lifetime. Never throws, unlike std::mutex, so it is
// safe inside COM methods.
class CExclusiveLock {
public:
    explicit CExclusiveLock(SRWLOCK& lock) : m_lock(lock) { AcquireSRWLockExclusive(&m_lock); }
    CExclusiveLock(const CExclusiveLock&) = delete;
    CExclusiveLock& operator=(const CExclusiveLock&) = delete;
    ~CExclusiveLock() { ReleaseSRWLockExclusive(&m_lock); }

private:
    SRWLOCK& m_lock;
};

// COM initialised on this thread for the scope's lifetime; uninitialised only if it succeeded.
class CComInitialization {
public:
    explicit CComInitialization(DWORD model = COINIT_MULTITHREADED)
        : m_result(CoInitializeEx(nullptr, model)) {}
    CComInitialization(const CComInitialization&) = delete;
    CComInitialization& operator=(const CComInitialization&) = delete;
    ~CComInitialization() {
        if (SUCCEEDED(m_result)) {
            CoUninitialize();
        }
    }
    HRESULT Result() const { return m_result; }

private:
    const HRESULT m_result;
};

// One reference on a COM interface.
template <typename Interface>
class CComPtr {
public:
    CComPtr() = default;
    CComPtr(CComPtr&& other) noexcept : m_pointer(std::exchange(other.m_pointer, nullptr)) {}
    CComPtr& operator=(CComPtr&& other) noexcept {
        Reset(std::exchange(other.m_pointer, nullptr));
        return *this;
    }
    CComPtr(const CComPtr&) = delete;
    CComPtr& operator=(const CComPtr&) = delete;
    ~CComPtr() { Reset(); }

    Interface* Get() const { return m_pointer; }
    Interface* operator->() const { return m_pointer; }
    explicit operator bool() const { return m_pointer != nullptr; }
    // Releases the reference held and takes over pointer's.
    void Reset(Interface* pointer = nullptr) {
        if (Interface* const old = std::exchange(m_pointer, pointer)) {
            old->Release();
        }
    }
    // For functions that return an interface through a pointer.
    Interface** Put() {
        Reset();
        return &m_pointer;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }

private:
    Interface* m_pointer = nullptr;
};

} // namespace win
