#include "Apartment.h"

#include "ComRuntime.h"
#include "HostedDll.h"

#include <atomic>
#include <deque>
#include <utility>
#include <vector>

namespace {

constexpr DWORD kLookEveryMs = 1000;
// Two looks may be missed before the apartment counts as busy.
constexpr ULONGLONG kLookStaleAfterMs = 2500;
constexpr DWORD kEndOnDestructionMs = 2000;

} // namespace

struct CApartment::Shared {
    win::UniqueHandle ready{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    win::UniqueHandle wake{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    HRESULT started = E_FAIL;

    SRWLOCK lock = SRWLOCK_INIT;
    std::deque<std::function<void()>> work;
    bool ending = false;
    bool ended = false;

    // When the latest look found every DLL unused; 0 while one was in use.
    std::atomic<ULONGLONG> unusedAt{0};
    // Only on the apartment's thread.
    std::vector<std::wstring> dlls;

    void Look() {
        // CoFreeUnusedLibraries: a single-threaded apartment's DLLs go as soon as they can, since
        // nothing but this thread runs their code.
        ComRuntime::CoFreeUnusedLibrariesEx(INFINITE, 0);
        bool inUse = false;
        for (const auto& dll : dlls) {
            inUse = inUse || DllInUse(dll);
        }
        unusedAt = inUse ? 0 : GetTickCount64();
    }

    // Runs what was posted; true once asked to end.
    bool RunWork() {
        for (;;) {
            std::function<void()> next;
            {
                win::ExclusiveLock hold(lock);
                if (work.empty()) {
                    return ending;
                }
                next = std::move(work.front());
                work.pop_front();
            }
            next();
        }
    }
};

CApartment::CApartment() {
    try {
        m_shared = std::make_shared<Shared>();
    } catch (const std::bad_alloc&) {
        return;
    }
    if (!m_shared->ready || !m_shared->wake) {
        m_shared->started = HRESULT_FROM_WIN32(GetLastError());
        return;
    }
    // The thread holds the shared state for as long as it runs.
    auto* const forThread = new (std::nothrow) std::shared_ptr<Shared>(m_shared);
    if (forThread == nullptr) {
        m_shared->started = E_OUTOFMEMORY;
        return;
    }
    m_thread.Reset(CreateThread(nullptr, 0, ThreadMain, forThread, 0, nullptr));
    if (!m_thread) {
        m_shared->started = HRESULT_FROM_WIN32(GetLastError());
        delete forThread;
        return;
    }
    WaitForSingleObject(m_shared->ready.Get(), INFINITE);
}

CApartment::~CApartment() {
    End(kEndOnDestructionMs);
}

HRESULT CApartment::Started() const {
    return m_shared ? m_shared->started : E_OUTOFMEMORY;
}

bool CApartment::Post(std::function<void()> work) noexcept {
    if (!m_thread || FAILED(Started())) {
        return false;
    }
    {
        win::ExclusiveLock hold(m_shared->lock);
        if (m_shared->ending) {
            return false;
        }
        try {
            m_shared->work.push_back(std::move(work));
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    SetEvent(m_shared->wake.Get());
    return true;
}

void CApartment::Serves(const std::wstring& dll) {
    for (const auto& known : m_shared->dlls) {
        if (known == dll) {
            return;
        }
    }
    m_shared->dlls.push_back(dll);
}

bool CApartment::InUse() const {
    if (!m_thread || FAILED(Started())) {
        return false;
    }
    const ULONGLONG at = m_shared->unusedAt.load();
    return at == 0 || GetTickCount64() - at > kLookStaleAfterMs;
}

bool CApartment::End(DWORD timeoutMs) {
    if (!m_thread) {
        return true;
    }
    {
        win::ExclusiveLock hold(m_shared->lock);
        m_shared->ending = true;
    }
    SetEvent(m_shared->wake.Get());
    if (WaitForSingleObject(m_thread.Get(), timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    m_thread.Reset();
    return true;
}

DWORD WINAPI CApartment::ThreadMain(void* parameter) {
    const std::unique_ptr<std::shared_ptr<Shared>> owner(
        static_cast<std::shared_ptr<Shared>*>(parameter));
    Shared& shared = **owner;
    // The message queue exists before anyone can post to the apartment.
    MSG message;
    PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    shared.started = ComRuntime::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const bool initialized = SUCCEEDED(shared.started);
    if (initialized) {
        shared.started = S_OK;
    }
    SetEvent(shared.ready.Get());
    if (!initialized) {
        return 0;
    }
    ULONGLONG nextLook = GetTickCount64();
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= nextLook) {
            shared.Look();
            nextLook = now + kLookEveryMs;
        }
        const HANDLE wake = shared.wake.Get();
        MsgWaitForMultipleObjectsEx(1, &wake, static_cast<DWORD>(nextLook - now), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (shared.RunWork()) {
            break;
        }
    }
    shared.dlls.clear();
    ComRuntime::CoFreeUnusedLibrariesEx(INFINITE, 0);
    ComRuntime::CoUninitialize();
    return 0;
}

CApartmentWork::CApartmentWork(CApartment* apartment, std::function<void()> work) {
    if (apartment == nullptr) {
        work();
        m_ran = true;
        return;
    }
    m_done = std::make_shared<win::UniqueHandle>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!*m_done) {
        return;
    }
    // Shared: the apartment may run it after the caller stopped waiting.
    m_posted = apartment->Post([work = std::move(work), done = m_done] {
        work();
        SetEvent(done->Get());
    });
}

bool CApartmentWork::Wait(ULONGLONG deadline) const {
    if (m_ran) {
        return true;
    }
    if (!m_posted) {
        return false;
    }
    const ULONGLONG now = GetTickCount64();
    const DWORD timeout = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    return WaitForSingleObject(m_done->Get(), timeout) == WAIT_OBJECT_0;
}
