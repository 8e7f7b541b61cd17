#include "IdleWatch.h"

#include <utility>

std::optional<unsigned long> ParseIdleSeconds(const std::wstring& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    // Wider than the result, which is 32 bits on Windows: nine digits and one more always fit, so
    // the range check below sees the true value, never a wrapped one.
    unsigned long long seconds = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            return std::nullopt;
        }
        seconds = seconds * 10 + static_cast<unsigned long long>(c - L'0');
        if (seconds > 999999999ull) {
            return std::nullopt;
        }
    }
    return static_cast<unsigned long>(seconds);
}

CIdleWatch::CIdleWatch(const CServerActivity& activity, std::function<bool()> dllInUse,
                       ULONGLONG graceMs, ULONGLONG drainMs, ULONGLONG now)
    : m_activity(activity),
      m_dllInUse(std::move(dllInUse)),
      m_graceMs(graceMs),
      m_drainMs(drainMs),
      m_seenEvents(activity.Events()),
      m_unusedSince(now) {}

CIdleWatch::Step CIdleWatch::Poll(ULONGLONG now) {
    // The counter is read first: whatever happens after this read shows at the next poll.
    const unsigned long events = m_activity.Events();
    const bool inUse = m_activity.Busy() || m_dllInUse();
    // Use seen at the last poll may have lasted until just before this one.
    if (events != m_seenEvents || inUse || m_inUseAtLastPoll) {
        m_unusedSince = now;
    }
    m_seenEvents = events;
    m_inUseAtLastPoll = inUse;
    if (now - m_unusedSince < (m_draining ? m_drainMs : m_graceMs)) {
        return Step::Serve;
    }
    if (!m_draining) {
        m_draining = true;
        m_unusedSince = now;
        return Step::Withdraw;
    }
    return Step::End;
}
