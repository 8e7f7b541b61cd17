#pragma once

#include <atomic>

// What clients do with the class object, as counts an observer can read from another thread:
// calls in progress, server locks held, and a counter that moves on every call and lock change,
// so that activity between two looks is never missed.
class CServerActivity {
public:
    void CallStarted() {
        ++m_calls;
        ++m_events;
    }
    void CallEnded() {
        --m_calls;
        ++m_events;
    }
    void Locked() {
        ++m_locks;
        ++m_events;
    }
    // An unlock without a lock is not counted: it must not cancel a later client's lock. True when
    // it matched a lock.
    bool Unlocked() {
        long locks = m_locks.load();
        while (locks > 0 && !m_locks.compare_exchange_weak(locks, locks - 1)) {
        }
        ++m_events;
        return locks > 0;
    }

    unsigned long Events() const { return m_events.load(); }
    bool Busy() const { return m_calls.load() > 0 || m_locks.load() > 0; }

private:
    std::atomic<long> m_calls{0};
    std::atomic<long> m_locks{0};
    std::atomic<unsigned long> m_events{0};
};
