#pragma once

// One way to own each Windows resource: a move-only owner that closes what it holds when it goes,
// and the traits of each kind of resource. Below everything else in the project: it includes
// nothing of the project's own.
#include <windows.h>
#include <objbase.h>

#include <utility>

namespace win {

// What an owner holds and how it lets go: Invalid() is what it holds when it holds nothing,
// IsValid tells a value worth closing, Close closes one.
template <typename T, auto CloseFunction, T InvalidValue = T{}> struct OwnerTraits {
    using Value = T;
    static T Invalid() { return InvalidValue; }
    static bool IsValid(T value) { return value != InvalidValue; }
    static void Close(T value) { CloseFunction(value); }
};

// Owns one value, closed with Traits::Close unless Traits finds it invalid (nothing held). Every
// way in and out judges a value by Traits alike. Moves; never copies.
template <typename Traits> class Unique {
public:
    using Value = typename Traits::Value;

    Unique() = default;
    explicit Unique(Value value) : m_value(Checked(value)) {}
    Unique(Unique&& other) noexcept : m_value(other.Detach()) {}
    Unique& operator=(Unique&& other) noexcept {
        Reset(other.Detach());
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    ~Unique() { Reset(); }

    // Traits::Invalid() when nothing is held.
    Value Get() const { return Checked(m_value); }
    explicit operator bool() const { return Traits::IsValid(m_value); }
    // Closes what is held and takes value instead.
    void Reset(Value value = Traits::Invalid()) {
        const Value old = std::exchange(m_value, Checked(value));
        if (Traits::IsValid(old)) {
            Traits::Close(old);
        }
    }
    // Gives up ownership without closing: the caller now owns what is returned.
    [[nodiscard]] Value Detach() { return Checked(std::exchange(m_value, Traits::Invalid())); }
    // For functions that return a resource through a pointer: closes what is held first. What
    // they write there is judged like any other value.
    Value* Put() {
        Reset();
        return &m_value;
    }

private:
    static Value Checked(Value value) { return Traits::IsValid(value) ? value : Traits::Invalid(); }

    Value m_value = Traits::Invalid();
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
inline HRESULT InitializeCom(void* reserved, DWORD model) {
    return CoInitializeEx(reserved, model);
}
inline void UninitializeCom() {
    CoUninitialize();
}
} // namespace detail

// Kernel handles: processes, threads, events, pipes.
using UniqueHandle = Unique<OwnerTraits<HANDLE, detail::CloseKernelHandle>>;
// Handles from functions that fail with INVALID_HANDLE_VALUE rather than nullptr (CreateFileW,
// CreateToolhelp32Snapshot). Either means nothing held, whichever way it reaches the owner.
struct FileHandleTraits {
    using Value = HANDLE;
    static HANDLE Invalid() { return nullptr; }
    static bool IsValid(HANDLE handle) {
        return handle != nullptr && handle != INVALID_HANDLE_VALUE;
    }
    static void Close(HANDLE handle) { detail::CloseKernelHandle(handle); }
};
using UniqueFileHandle = Unique<FileHandleTraits>;
using UniqueKey = Unique<OwnerTraits<HKEY, detail::CloseKey>>;
using UniqueModule = Unique<OwnerTraits<HMODULE, detail::ReleaseModule>>;
// Memory the system allocated for the caller with LocalAlloc (CommandLineToArgvW, FormatMessageW).
template <typename T> using UniqueLocalMemory = Unique<OwnerTraits<T*, detail::FreeLocal>>;
// Memory the COM runtime allocated for the caller (StringFromCLSID, ProgIDFromCLSID).
template <typename T> using UniqueTaskMemory = Unique<OwnerTraits<T*, detail::FreeTaskMemory>>;

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

// COM initialised on this thread until End or the scope's end; uninitialised once, and only if
// it succeeded. Initialize and Uninitialize stand for CoInitializeEx and CoUninitialize, so that
// a caller may reach the runtime through its own seam.
template <auto Initialize, auto Uninitialize> class ComInitializationWith {
public:
    explicit ComInitializationWith(DWORD model = COINIT_MULTITHREADED)
        : m_result(Initialize(nullptr, model)), m_held(SUCCEEDED(m_result)) {}
    ComInitializationWith(const ComInitializationWith&) = delete;
    ComInitializationWith& operator=(const ComInitializationWith&) = delete;
    ~ComInitializationWith() { End(); }

    HRESULT Result() const { return m_result; }
    // Uninitialises now, for a caller whose last steps must come after it.
    void End() {
        if (std::exchange(m_held, false)) {
            Uninitialize();
        }
    }

private:
    const HRESULT m_result;
    bool m_held;
};
using ComInitialization = ComInitializationWith<detail::InitializeCom, detail::UninitializeCom>;

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
