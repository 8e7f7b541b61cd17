#pragma once

// One way to own each Windows resource: a move-only owner that closes what it holds when it goes,
// and one line per kind of resource. Below everything else in the project: it includes nothing of
// the project's own.
#include <windows.h>
#include <objbase.h>

#include <utility>

namespace win {

// Owns one T, closed with Close unless it equals Invalid (nothing held). Moves; never copies.
template <typename T, auto Close, T Invalid = T{}> class Unique {
public:
    Unique() = default;
    explicit Unique(T value) : m_value(value) {}
    Unique(Unique&& other) noexcept : m_value(other.Detach()) {}
    Unique& operator=(Unique&& other) noexcept {
        Reset(other.Detach());
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    ~Unique() { Reset(); }

    T Get() const { return m_value; }
    explicit operator bool() const { return m_value != Invalid; }
    // Closes what is held and takes value instead.
    void Reset(T value = Invalid) {
        const T old = std::exchange(m_value, value);
        if (old != Invalid) {
            Close(old);
        }
    }
    // Gives up ownership without closing: the caller now owns what is returned.
    [[nodiscard]] T Detach() { return std::exchange(m_value, Invalid); }
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
// INVALID_HANDLE_VALUE (CreateFileW, CreateToolhelp32Snapshot) want UniqueFileHandle.
using UniqueHandle = Unique<HANDLE, detail::CloseKernelHandle>;
class UniqueFileHandle : public Unique<HANDLE, detail::CloseKernelHandle> {
public:
    UniqueFileHandle() = default;
    explicit UniqueFileHandle(HANDLE handle)
        : Unique(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
};
using UniqueKey = Unique<HKEY, detail::CloseKey>;
using UniqueModule = Unique<HMODULE, detail::ReleaseModule>;
// Memory the system allocated for the caller with LocalAlloc (CommandLineToArgvW, FormatMessageW).
template <typename T> using UniqueLocalMemory = Unique<T*, detail::FreeLocal>;
// Memory the COM runtime allocated for the caller (StringFromCLSID, ProgIDFromCLSID).
template <typename T> using UniqueTaskMemory = Unique<T*, detail::FreeTaskMemory>;

// An SRW lock held exclusively for the scope's lifetime. Never throws, unlike std::mutex, so it is
// safe inside COM methods.
class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) : m_lock(lock) { AcquireSRWLockExclusive(&m_lock); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&m_lock); }

private:
    SRWLOCK& m_lock;
};

// COM initialised on this thread for the scope's lifetime; uninitialised only if it succeeded.
class ComInitialization {
public:
    explicit ComInitialization(DWORD model = COINIT_MULTITHREADED)
        : m_result(CoInitializeEx(nullptr, model)) {}
    ComInitialization(const ComInitialization&) = delete;
    ComInitialization& operator=(const ComInitialization&) = delete;
    ~ComInitialization() {
        if (SUCCEEDED(m_result)) {
            CoUninitialize();
        }
    }
    HRESULT Result() const { return m_result; }

private:
    const HRESULT m_result;
};

// One reference on a COM interface.
template <typename Interface> class ComPtr {
public:
    ComPtr() = default;
    ComPtr(ComPtr&& other) noexcept : m_pointer(std::exchange(other.m_pointer, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        Reset(std::exchange(other.m_pointer, nullptr));
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { Reset(); }

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
