#pragma once

#include "Unique.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

// A single-threaded apartment of the host's own: a thread that initialises COM
// apartment-threaded, pumps the messages through which COM delivers calls to the objects
// registered there, runs the work handed to it in order, and about once a second frees the
// apartment's unused DLLs and tells whether the DLLs it serves have live objects. Whatever is
// registered or marshalled here must be revoked and given back here: work handed to Post runs on
// the apartment's own thread.
class CApartment {
public:
    // Starts the thread and waits until its apartment exists (or failed to).
    CApartment();
    CApartment(const CApartment&) = delete;
    CApartment& operator=(const CApartment&) = delete;
    // Ends the thread, waiting a short while; a thread that does not end in time keeps what it
    // uses and goes with the process.
    ~CApartment();

    // S_OK once the apartment runs; otherwise why it could not start.
    HRESULT Started() const;

    // Runs work on the apartment's thread, after the work posted before it. False when the
    // apartment has ended or cannot take it; the work then never runs. Work that outlives a
    // caller who stopped waiting must hold what it uses itself.
    bool Post(std::function<void()> work) noexcept;

    // From now on the apartment asks this DLL whether it can unload. Only from the apartment's
    // own thread.
    void Serves(const std::wstring& dll);

    // False only when the apartment's latest look, at most a few seconds old, found none of its
    // DLLs with a live object: an apartment too busy to look counts as in use.
    bool InUse() const;

    // Frees the apartment's DLLs, uninitialises COM and ends the thread; true once it has ended
    // within timeoutMs.
    bool End(DWORD timeoutMs);

private:
    struct Shared;
    static DWORD WINAPI ThreadMain(void* shared);

    std::shared_ptr<Shared> m_shared;
    win::UniqueHandle m_thread;
};

// Work handed to the apartment that serves a class, by a caller that waits for it for a limited
// time; for the multithreaded apartment (nullptr) the caller's own thread runs it at once. Work
// that may outlive the wait holds what it uses itself.
class CApartmentWork {
public:
    CApartmentWork(CApartment* apartment, std::function<void()> work);
    CApartmentWork(CApartmentWork&&) = default;
    CApartmentWork& operator=(CApartmentWork&&) = default;

    // True once the work has run; false when it had not by the deadline (GetTickCount64), or the
    // apartment could not take it.
    bool Wait(ULONGLONG deadline) const;

private:
    std::shared_ptr<win::UniqueHandle> m_done;
    bool m_ran = false;
    bool m_posted = false;
};
