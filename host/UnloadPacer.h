#pragma once

#include <windows.h>

// When the multithreaded apartment's unused DLLs are next to be asked to unload. A DLL unloads
// once it has answered that it can for the delay, but Wine's runtime moves that moment on at
// every call with a delay, so a DLL asked more often than the delay never unloads there. Asked no
// more often, it unloads within two delays on Windows and Wine alike.
class CUnloadPacer {
public:
    explicit CUnloadPacer(DWORD delayMs) : m_intervalMs(delayMs + kMarginMs) {}

    // True, and counted as a call, when a call at now (in milliseconds) is due.
    bool Due(ULONGLONG now);

private:
    // Past the delay by more than a wait of the hosting loop, so a call never comes too early.
    static constexpr DWORD kMarginMs = 1000;

    const ULONGLONG m_intervalMs;
    bool m_called = false;
    ULONGLONG m_last = 0;
};
