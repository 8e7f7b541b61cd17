#include "Hosting.h"

#include "ComRuntime.h"
#include "HostedDll.h"
#include "IdleWatch.h"
#include "InterfacePins.h"

#include <algorithm>
#include <iostream>
#include <optional>

namespace {

constexpr unsigned long kDefaultIdleSeconds = 30;
// Long enough for a client that fetched the class object just before the revocation to reach
// it, short next to the grace period.
constexpr ULONGLONG kLongestDrainMs = 3000;

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

// Keeps the class object's stub through the drain: a client that fetched it from the runtime
// just before the revocation can still connect to it and create objects.
void HoldClassObject(CSurrogate& surrogate, CTableMarshal& hold) {
    if (IUnknown* const classObject = surrogate.ClassObject()) {
        hold.Marshal(classObject, IID_IUnknown);
        classObject->Release();
    }
}

} // namespace

int RunSurrogate(const std::wstring& clsidText, CompletionEventFactory createEvent) {
    std::wcout << L"CLSID  : " << clsidText << std::endl;
    ComRuntime::CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    CSurrogate surrogate(createEvent);
    // Without the event no FreeSurrogate could ever end the wait.
    if (surrogate.Event() == nullptr) {
        std::wcout << L"Terminated due to failure in creating the completion event." << std::endl;
        ComRuntime::CoUninitialize();
        return -1;
    }
    surrogate.AddRef();
    // A runtime that refuses the surrogate never calls FreeSurrogate: the host then pins the
    // interfaces it serves and releases itself once unused.
    const bool releasesItself = FAILED(ComRuntime::CoRegisterSurrogate(&surrogate));
    CInterfacePins pins;
    unsigned long idleSeconds = 0;
    if (releasesItself) {
        pins.Pin();
        idleSeconds = IdleSecondsSetting();
    }

    // A malformed text must not leave an indeterminate identifier to register.
    CLSID clsid = {};
    ComRuntime::CLSIDFromString(clsidText.c_str(), &clsid);

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

    const CHostedDll hostedDll(clsid);
    std::optional<CIdleWatch> idleWatch;
    if (idleSeconds > 0) {
        const ULONGLONG graceMs = idleSeconds * 1000ull;
        idleWatch.emplace(
            surrogate.Activity(), [&hostedDll] { return hostedDll.InUse(); }, graceMs,
            std::min(graceMs, kLongestDrainMs), GetTickCount64());
    }
    CTableMarshal classObjectHold;

    std::wcout << L"Wait for Event Signal by ISurrogate::FreeSurrogate." << std::endl;
    DWORD waitResult = WAIT_TIMEOUT;
    do {
        waitResult = WaitForSingleObject(surrogate.Event(), 1000);
        Sleep(10);
        if (waitResult == WAIT_OBJECT_0 || !idleWatch) {
            continue;
        }
        const CIdleWatch::Step step = idleWatch->Poll(GetTickCount64());
        if (step == CIdleWatch::Step::Withdraw) {
            std::wcout << L"No client for " << idleSeconds << L" s: releasing the host."
                       << std::endl;
            HoldClassObject(surrogate, classObjectHold);
            surrogate.RevokeClassObject();
        } else if (step == CIdleWatch::Step::End) {
            classObjectHold.Release();
            surrogate.FreeSurrogate();
            break;
        }
    } while (waitResult != WAIT_OBJECT_0);

    surrogate.Release();
    classObjectHold.Release();
    pins.Release();
    ComRuntime::CoUninitialize();
    std::wcout << L"Pelmora COM Surrogate done." << std::endl;
    return 0;
}
