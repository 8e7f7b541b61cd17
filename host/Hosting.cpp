#include "Hosting.h"

#include "Apartments.h"
#include "AppIdSecurity.h"
#include "ClassesRoot.h"
#include "ComRuntime.h"
#include "ComRuntimeInitialization.h"
#include "HostedDll.h"
#include "IdleWatch.h"
#include "InterfacePins.h"
#include "ServerProcessReference.h"
#include "UnloadPacer.h"

#include <algorithm>
#include <iostream>
#include <optional>

namespace {

constexpr unsigned long kDefaultIdleSeconds = 30;
// Long enough for a client that fetched the class object just before the revocation to reach
// it, short next to the grace period.
constexpr ULONGLONG kLongestDrainMs = 3000;
// How long a DLL of the multithreaded apartment must have answered that it can unload before it
// is unloaded. The runtime's default there, 10 minutes, would keep a host that long after its
// last client; a DLL's own threads finish their last steps after DllCanUnloadNow within far less
// than this. The single-threaded apartments free theirs at once.
constexpr DWORD kUnloadDelayMs = 30000;
// For every apartment to withdraw and end, after the classes' revocation took its own limit.
constexpr DWORD kApartmentsEndLimitMs = 1000;

// The grace period from BREVANIX_IDLE_SECONDS; 0 turns the release off.
unsigned long IdleSecondsSetting() {
    wchar_t value[64] = {};
    const DWORD length = GetEnvironmentVariableW(L"BREVANIX_IDLE_SECONDS", value, 64);
    if (length == 0) {
        return kDefaultIdleSeconds;
    }
    if (length < 64) {
        if (const auto seconds = ParseIdleSeconds(value)) {
            return *seconds;
        }
    }
    std::wcout << L"WARNING: BREVANIX_IDLE_SECONDS is not a whole number of seconds; using "
               << kDefaultIdleSeconds << L"." << std::endl;
    return kDefaultIdleSeconds;
}

bool AnyDllInUse(const std::vector<std::wstring>& dlls) {
    for (const auto& dll : dlls) {
        if (DllInUse(dll)) {
            return true;
        }
    }
    return false;
}

} // namespace

ULONGLONG SystemTicks() {
    return GetTickCount64();
}

int RunSurrogate(const std::wstring& clsidText, CompletionEventFactory createEvent,
                 HANDLE stopEvent, TickSource ticks) {
    std::wcout << L"CLSID  : " << clsidText << std::endl;
    ComRuntimeInitialization com(COINIT_MULTITHREADED);

    // A malformed text must not leave an indeterminate identifier to register.
    CLSID clsid = {};
    ComRuntime::CLSIDFromString(clsidText.c_str(), &clsid);
    const CClassesRoot classes;
    // Serving with weaker security than the AppID asks would let in clients it refuses.
    if (!ApplyAppIdSecurity(clsid, classes.Get())) {
        std::wcout << L"Terminated due to failure in initializing COM security." << std::endl;
        return -1;
    }
    // One host serves every client: after a crash in hosted code it ends, with an error report,
    // rather than serve all of them from a process that may be corrupt. Only once security is
    // settled, which creating the options object would otherwise settle; a runtime that cannot
    // set it leaves the host serving as before.
    ComRuntime::SetGlobalOption(COMGLB_EXCEPTION_HANDLING, COMGLB_EXCEPTION_DONOT_HANDLE_ANY);

    // Outlives the surrogate, which withdraws its classes through it.
    CApartments apartments;
    CSurrogate surrogate(createEvent, &apartments,
                         [&classes](REFCLSID loaded) { return classes.Placement(loaded); });
    // Without the event no FreeSurrogate could ever end the wait.
    if (surrogate.Event() == nullptr) {
        std::wcout << L"Terminated due to failure in creating the completion event." << std::endl;
        return -1;
    }
    // The first single-threaded apartment is the one the runtime gives classes without a
    // threading model: it must be the host's, before any class (or hosted code) can make one.
    apartments.StartMain();
    surrogate.AddRef();
    // Before any class can be registered: the runtime may load one as soon as the surrogate is.
    CServerProcessReference processReference;
    // A runtime that refuses the surrogate never calls FreeSurrogate: the host then pins the
    // interfaces it serves, holds each class object, and releases itself once unused.
    const bool releasesItself = FAILED(ComRuntime::CoRegisterSurrogate(&surrogate));
    CInterfacePins pins;
    unsigned long idleSeconds = 0;
    if (releasesItself) {
        pins.Pin();
        surrogate.HoldClassObjects();
        idleSeconds = IdleSecondsSetting();
    }

    LPOLESTR progId = nullptr;
    if (FAILED(ComRuntime::ProgIDFromCLSID(clsid, &progId)) || progId == nullptr) {
        std::wcout << L"ProgID : N/A." << std::endl;
    } else {
        std::wcout << L"ProgID : " << progId << std::endl;
        ComRuntime::CoTaskMemFree(progId);
    }
    std::wcout << std::endl;

    std::wcout << L"surrogate.LoadDllServer." << std::endl;
    surrogate.LoadDllServer(clsid);

    std::optional<CIdleWatch> idleWatch;
    if (idleSeconds > 0) {
        const ULONGLONG graceMs = idleSeconds * 1000ull;
        idleWatch.emplace(
            surrogate.Activity(),
            [&surrogate, &apartments] {
                return AnyDllInUse(surrogate.MultithreadedDlls()) || apartments.AnyInUse();
            },
            graceMs, std::min(graceMs, kLongestDrainMs), ticks());
    }

    std::wcout << L"Wait for Event Signal by ISurrogate::FreeSurrogate." << std::endl;
    const HANDLE waits[] = {surrogate.Event(), stopEvent};
    const DWORD waitCount = stopEvent != nullptr ? 2 : 1;
    CUnloadPacer unloads(kUnloadDelayMs);
    DWORD waitResult = WAIT_TIMEOUT;
    do {
        waitResult = WaitForMultipleObjects(waitCount, waits, FALSE, 1000);
        Sleep(10);
        if (waitResult == WAIT_OBJECT_0) {
            continue;
        }
        // Asked to end from outside: the same end as after FreeSurrogate, below.
        if (waitResult == WAIT_OBJECT_0 + 1) {
            break;
        }
        // The runtime frees the surrogate only once every hosted DLL has been unloaded, and it
        // leaves the unloading to the surrogate: here for the multithreaded apartment, in each
        // single-threaded apartment for its own.
        if (unloads.Due(ticks())) {
            ComRuntime::CoFreeUnusedLibrariesEx(kUnloadDelayMs, 0);
        }
        if (!idleWatch) {
            continue;
        }
        const CIdleWatch::Step step = idleWatch->Poll(ticks());
        if (step == CIdleWatch::Step::Withdraw) {
            std::wcout << L"No client for " << idleSeconds << L" s: releasing the host."
                       << std::endl;
            surrogate.RevokeClassObject();
        } else if (step == CIdleWatch::Step::End) {
            surrogate.FreeSurrogate();
            break;
        }
    } while (waitResult != WAIT_OBJECT_0);

    surrogate.Release();
    // While COM still runs: every class after a stop, or one the runtime loaded while
    // FreeSurrogate ran.
    surrogate.FreeSurrogate();
    pins.Unpin();
    processReference.GiveBack();
    apartments.EndAll(kApartmentsEndLimitMs);
    com.End();
    std::wcout << L"Pelmora COM Surrogate done." << std::endl;
    return 0;
}
