#pragma once

#include "ServerActivity.h"

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

// BREVANIX_IDLE_SECONDS as a whole number of seconds (decimal digits only, at most 999,999,999),
// or nothing when the text is anything else.
std::optional<unsigned long> ParseIdleSeconds(const std::wstring& text);

// Decides when a host that the runtime cannot release has been unused long enough to release
// itself. Unused means: no call or lock change was seen, no call is in progress, no server lock
// is held and the hosted DLL has no live object. The grace period runs while the host is unused;
// then the class is withdrawn, and the host ends once it has stayed unused for the drain period
// as well. Any activity restarts the current period, which starts again at the first poll that
// finds the host unused.
class CIdleWatch {
public:
    enum class Step {
        Serve,    // go on serving
        Withdraw, // the grace period has passed: revoke the class, then drain
        End,      // drained: end the run
    };

    CIdleWatch(const CServerActivity& activity, std::function<bool()> dllInUse,
               ULONGLONG graceMs, ULONGLONG drainMs, ULONGLONG now);

    // Called about once a second with the current tick count.
    Step Poll(ULONGLONG now);

private:
    const CServerActivity& m_activity;
    const std::function<bool()> m_dllInUse;
    const ULONGLONG m_graceMs;
    const ULONGLONG m_drainMs;
    unsigned long m_seenEvents;
    ULONGLONG m_unusedSince;
    bool m_inUseAtLastPoll = false;
    bool m_draining = false;
};
