#pragma once

#include "Surrogate.h"

#include <string>

// Serves the class named by clsidText until the COM runtime calls FreeSurrogate, until stopEvent
// (where given) is signalled or, where the runtime refused the surrogate, until the host has been
// unused for BREVANIX_IDLE_SECONDS; returns the exit code: 0, or -1 when the class's AppID
// security cannot be applied or the completion event cannot be created (nothing is registered
// then).
int RunSurrogate(const std::wstring& clsidText,
                 CompletionEventFactory createEvent = CreateCompletionEvent,
                 HANDLE stopEvent = nullptr);
