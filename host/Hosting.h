#pragma once

#include "Surrogate.h"

#include <windows.h>

#include <string>

// The clock of the hosting loop, in milliseconds: GetTickCount64, unless a test moves time on.
using TickSource = ULONGLONG (*)();
ULONGLONG SystemTicks();

// Serves the class named by clsidText until the COM runtime calls FreeSurrogate, until stopEvent
// (where given) is signalled or, where the runtime refused the surrogate, until the host has been
// unused for BREVANIX_IDLE_SECONDS; returns the exit code: 0, or -1 when the class's AppID
// security cannot be applied or the completion event cannot be created (nothing is registered
// then).
int RunSurrogate(const std::wstring& clsidText,
                 CompletionEventFactory createEvent = CreateCompletionEvent,
                 HANDLE stopEvent = nullptr, TickSource ticks = SystemTicks);
