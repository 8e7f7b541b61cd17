#pragma once

// Where the platform the tests run on is known to differ from Windows as documented, declared
// once and used by name. Each names what differs; docs/WINE.md has the details.
#include <windows.h>

#include <string>

namespace platform {

// Wine's version ("8.0", "10.0"), or empty on Windows.
inline std::string WineVersion() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto version = reinterpret_cast<const char*(CDECL*)()>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    return version == nullptr ? std::string() : version();
}

inline bool UnderWine() {
    return !WineVersion().empty();
}

// Wine 8's C runtime cannot rebind a standard stream that never had a descriptor to CONOUT$;
// Wine 10's and Windows' open it write-only.
inline bool CRuntimeLeavesAMissingStandardOutputUnbound() {
    return WineVersion().rfind("8.", 0) == 0;
}

// Wine's runtime refuses the surrogate registration and never frees a host, which then releases
// itself once unused; Windows frees it once its DLLs have unloaded.
inline bool HostsReleaseThemselves() {
    return UnderWine();
}

// Wine activates in two steps (the host's activation object, then the class from it): a client
// whose steps straddle a host's withdrawal gets E_FAIL.
inline bool ActivationCanStraddleAWithdrawal() {
    return UnderWine();
}

// Wine reads a ThreadingModel of Neutral as an unknown one, as if there were none, and creates
// such objects in the main single-threaded apartment; Windows creates them in the neutral one.
inline bool NeutralObjectsRunInTheMainApartment() {
    return UnderWine();
}

// Windows locks a class object for each client it hands it to (LockServer), until the client lets
// go; Wine never does.
inline bool ClassObjectsAreLockedForTheirClients() {
    return !UnderWine();
}

// Classes that share an AppID share one host, which the runtime asks to load each further class;
// Wine starts a host per activated class instead.
inline bool ClassesSharingAnAppIdShareAHost() {
    return !UnderWine();
}

// Now and then, on a loaded machine, Wine fails to start a process at all: it dies inside Wine
// before any of its code runs. When that process is a host the runtime starts, the client's
// activation fails with ERROR_INTERNAL_ERROR at once, or with E_NOINTERFACE once the runtime has
// given up waiting for the host (about 30 s). No host can cause or prevent it; a user would try
// again, and so do the tests, once.
inline bool HostNeverStarted(HRESULT activation, ULONGLONG waitedMs) {
    return UnderWine() && (activation == HRESULT_FROM_WIN32(ERROR_INTERNAL_ERROR) ||
                           (activation == E_NOINTERFACE && waitedMs >= 25000));
}

// 32-bit x86 code runs under QEMU's user-mode emulation, whose own crashes say nothing of the
// code under test. Under Wine the Linux side is drive Z:, where the kernel shows whether QEMU is
// registered for 32-bit x86 programs.
inline bool EmulatedI386() {
    if (!UnderWine()) {
        return false;
    }
    const HANDLE file =
        CreateFileW(L"Z:\\proc\\sys\\fs\\binfmt_misc\\qemu-i386", GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    char state[8] = {};
    DWORD read = 0;
    const BOOL ok = ReadFile(file, state, sizeof state - 1, &read, nullptr);
    CloseHandle(file);
    return ok && std::string(state, read).rfind("enabled", 0) == 0;
}

} // namespace platform
