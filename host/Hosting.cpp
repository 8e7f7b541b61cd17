#include "Hosting.h"

#include "AppIdSecurity.h"
#include "ComRuntime.h"
#include "ComRuntimeInitialization.h"
#include "HostedDll.h"
#include "IdleWatch.h"
#include "InterfacePins.h"
#include "ServerProcessReference.h"

#include <algorithm>
#include <iostream>
#include <optional>

namespace {

constexpr unsigned long kDefaultIdleSeconds = 30;
// Long enough for a client that fetched the class object just before the revocation to reach
// it, short next to the grace period.
constexpr ULONGLONG kLongestDrainMs = 3000;
// How long a hosted DLL must have answered that it can unload before it is unloaded. The
// runtime's default for the multithreaded apartment, 10 minutes, would keep a host that long
// after its last client; a DLL's own threads finish their last steps after DllCanUnloadNow within
// far less than this.
constexpr DWORD kUnloadDelayMs = 30000;

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

// Keeps the class object's stub from registration through the drain. Otherwise the stub goes
// whenever the last client lets go of the class object, and a client that fetched it meanwhile
// (Wine hands out the dying stub) fails its first call with RPC_E_DISCONNECTED; during the drain
// it lets a client that fetched the class object just before the revocation still use it.
void HoldClassObject(CSurrogate& surrogate, REFCLSID clsid, CTableMarshal& hold) {
    if (IUnknown* const classObject = surrogate.ClassObject(clsid)) {
        hold.Marshal(classObject, IID_IClassFactory);
        classObject->Release();
    }
}

} // namespace

int RunSurrogate(const std::wstring& clsidText, CompletionEventFactory createEvent,
                 HANDLE stopEvent) {
    std::wcout << L"CLSID  : " << clsidText << std::endl;
    ComRuntimeInitialization com(COINIT_MULTITHREADED);

    // A malformed text must not leave an indeterminate identifier to register.
    CLSID clsid = {};
    ComRuntime::CLSIDFromString(clsidText.c_str(), &clsid);
    // Serving with weaker security than the AppID asks would let in clients it refuses.
    if (!ApplyAppIdSecurity(clsid)) {
        std::wcout << L"Terminated due to failure in initializing COM security." << std::endl;
        return -1;
    }

    CSurrogate surrogate(createEvent);
    // Without the event no FreeSurrogate could ever end the wait.
    if (surrogate.Event() == nullptr) {
        std::wcout << L"Terminated due to failure in creating the completion event." << std::endl;
        return -1;
    }
    surrogate.AddRef();
    // Before any class can be registered: the runtime may load one as soon as the surrogate is.
    CServerProcessReference processReference;
    // A runtime that refuses the surrogate never calls FreeSurrogate: the host then pins the
    // interfaces it serves and releases itself once unused.
    const bool releasesItself = FAILED(ComRuntime::CoRegisterSurrogate(&surrogate));
    CInterfacePins pins;
    unsigned long idleSeconds = 0;
    if (releasesItself) {
        pins.Pin();
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
    CTableMarshal classObjectHold;
    if (releasesItself) {
        HoldClassObject(surrogate, clsid, classObjectHold);
    }

    CHostedDlls hostedDlls;
    std::optional<CIdleWatch> idleWatch;
    if (idleSeconds > 0) {
        const ULONGLONG graceMs = idleSeconds * 1000ull;
        idleWatch.emplace(
            surrogate.Activity(),
            [&surrogate, &hostedDlls] { return hostedDlls.AnyInUse(surrogate.LoadedClasses()); },
            graceMs, std::min(graceMs, kLongestDrainMs), GetTickCount64());
    }

    std::wcout << L"Wait for Event Signal by ISurrogate::FreeSurrogate." << std::endl;
    const HANDLE waits[] = {surrogate.Event(), stopEvent};
    const DWORD waitCount = stopEvent != nullptr ? 2 : 1;
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
        // leaves the unloading to the surrogate.
        ComRuntime::CoFreeUnusedLibrariesEx(kUnloadDelayMs, 0);
        if (!idleWatch) {
            continue;
        }
        const CIdleWatch::Step step = idleWatch->Poll(GetTickCount64());
        if (step == CIdleWatch::Step::Withdraw) {
            std::wcout << L"No client for " << idleSeconds << L" s: releasing the host."
                       << std::endl;
            surrogate.RevokeClassObject();
        } else if (step == CIdleWatch::Step::End) {
            classObjectHold.GiveBack();
            surrogate.FreeSurrogate();
            break;
        }
    } while (waitResult != WAIT_OBJECT_0);

    surrogate.Release();
    classObjectHold.GiveBack();
    // While COM still runs: every class after a stop, or one the runtime loaded while
    // FreeSurrogate ran.
    surrogate.FreeSurrogate();
    pins.Unpin();
    processReference.GiveBack();
    com.End();
    std::wcout << L"Pelmora COM Surrogate done." << std::endl;
    return 0;
}
