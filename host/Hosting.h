#pragma once

#include "Surrogate.h"

#include <string>

// Serves the class named by clsidText until the COM runtime calls FreeSurrogate; returns the
// exit code: 0, or -1 when the completion event cannot be created (nothing is registered then).
int RunSurrogate(const std::wstring& clsidText,
                 CompletionEventFactory createEvent = CreateCompletionEvent);
