// Creates one class of PelmoraCheck.idl out of process and calls it through its interface, so
// that a test can tell whether clients of this bitness can use it as registered.
//
//   pelmora-check-client.exe dual|custom
//
// Prints one line, such as "create=0x00000000 call=0x00000000 pid=1234 result=42": the
// HRESULTs of CoCreateInstance and of the first call that failed (or of the last one), "none" for
// a step not reached, the object's process id and the result of Add(19, 23) or Twice(21).
// Exit code 0 when both calls worked, in another process, with the right result; 1 otherwise.
// A step that hangs ends the client after kLimitMs with ERROR_TIMEOUT for that step.
#include "CheckFixture.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// Above the runtime's own wait for a host (about 30 s under Wine), and above a first activation
// where 32-bit code runs under emulation.
constexpr DWORD kLimitMs = 60000;
constexpr long kExpected = 42;

struct Progress {
    std::atomic<bool> created{false};
    std::atomic<bool> called{false};
    std::atomic<HRESULT> create{S_OK};
    std::atomic<HRESULT> call{S_OK};
    std::atomic<long> pid{0};
    std::atomic<long> result{0};
    std::atomic<bool> reported{false};
};

Progress g_progress;

std::wstring Hex(HRESULT status) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(status));
    return text;
}

// The one line, once, whichever of the main thread and the watchdog gets there first.
bool Report(bool timedOut) {
    if (g_progress.reported.exchange(true)) {
        return false;
    }
    const HRESULT timeout = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    const bool created = g_progress.created;
    const bool called = g_progress.called;
    const std::wstring create =
        created ? Hex(g_progress.create) : (timedOut ? Hex(timeout) : L"none");
    const std::wstring call =
        called ? Hex(g_progress.call) : (timedOut && created ? Hex(timeout) : L"none");
    std::wprintf(L"create=%ls call=%ls pid=%ld result=%ld\n", create.c_str(), call.c_str(),
                 g_progress.pid.load(), g_progress.result.load());
    std::fflush(stdout);
    return true;
}

DWORD WINAPI Watchdog(void* done) {
    if (WaitForSingleObject(done, kLimitMs) == WAIT_TIMEOUT && Report(true)) {
        // A call stuck in the runtime cannot be unwound; nothing else is left to do.
        TerminateProcess(GetCurrentProcess(), 1);
    }
    return 0;
}

HRESULT UseDual(IUnknown* object, long* pid, long* result) {
    IPelmoraDual* dual = static_cast<IPelmoraDual*>(object);
    const HRESULT status = dual->ProcessId(pid);
    return FAILED(status) ? status : dual->Add(19, 23, result);
}

HRESULT UseCustom(IUnknown* object, long* pid, long* result) {
    IPelmoraCustom* custom = static_cast<IPelmoraCustom*>(object);
    const HRESULT status = custom->ProcessId(pid);
    return FAILED(status) ? status : custom->Twice(21, result);
}

bool Run(bool dual) {
    const HRESULT initialized = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(initialized)) {
        g_progress.create = initialized;
        g_progress.created = true;
        return false;
    }
    IUnknown* object = nullptr;
    const HRESULT created = CoCreateInstance(
        dual ? check::kClsidDual : check::kClsidCustom, nullptr, CLSCTX_LOCAL_SERVER,
        dual ? check::kIidDual : check::kIidCustom, reinterpret_cast<void**>(&object));
    g_progress.create = created;
    g_progress.created = true;
    bool worked = false;
    if (SUCCEEDED(created) && object != nullptr) {
        long pid = 0;
        long result = 0;
        const HRESULT called =
            dual ? UseDual(object, &pid, &result) : UseCustom(object, &pid, &result);
        g_progress.pid = pid;
        g_progress.result = result;
        g_progress.call = called;
        g_progress.called = true;
        worked = SUCCEEDED(called) && pid != 0 &&
                 static_cast<DWORD>(pid) != GetCurrentProcessId() && result == kExpected;
        object->Release();
    }
    CoUninitialize();
    return worked;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const bool dual = argc == 2 && std::wcscmp(argv[1], L"dual") == 0;
    if (argc != 2 || (!dual && std::wcscmp(argv[1], L"custom") != 0)) {
        std::fwprintf(stderr, L"usage: pelmora-check-client dual|custom\n");
        return 1;
    }
    const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE watchdog =
        done == nullptr ? nullptr : CreateThread(nullptr, 0, Watchdog, done, 0, nullptr);
    if (watchdog == nullptr) {
        std::fwprintf(stderr, L"pelmora-check-client: no watchdog thread\n");
        return 1;
    }
    const bool worked = Run(dual);
    SetEvent(done);
    WaitForSingleObject(watchdog, INFINITE);
    CloseHandle(watchdog);
    CloseHandle(done);
    // The watchdog may have reported first, just as the last step ended.
    return Report(false) && worked ? 0 : 1;
}
