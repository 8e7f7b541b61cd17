#pragma once

#include "Apartment.h"
#include "ClassPlacement.h"

#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

// The host's single-threaded apartments: the main one, which the runtime loads classes without a
// threading model into, and one per DLL whose classes ask for apartment threading, as the
// system's own surrogate serves them. Shared by the runtime's threads.
class CApartments {
public:
    CApartments() = default;
    CApartments(const CApartments&) = delete;
    CApartments& operator=(const CApartments&) = delete;
    // Ends whatever still runs.
    ~CApartments() { EndAll(0); }

    // Creates the main single-threaded apartment. The runtime takes the first one a process
    // creates for its main apartment, so this must come before anything else can create one.
    HRESULT StartMain();

    // The apartment that serves a class placed in a single-threaded apartment, started on first
    // use; nullptr for the multithreaded apartment. Started() tells whether it runs.
    CApartment* For(const ClassPlacement& placement);

    // True while any apartment's DLLs have a live object, or an apartment is too busy to say.
    bool AnyInUse();

    // Ends every apartment at once and waits for all of them, for at most limitMs in all: before
    // the main thread uninitialises COM.
    void EndAll(DWORD limitMs);

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
    // Entries are never removed while the host runs, so the pointers handed out stay valid.
    std::vector<std::pair<std::wstring, std::unique_ptr<CApartment>>> m_apartments;
};
