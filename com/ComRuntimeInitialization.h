#pragma once

#include "ComRuntime.h"
#include "Unique.h"

// COM initialised on this thread through the runtime services, so that whatever stands behind
// them (ole32, or the tests' recording fake) sees both calls.
using ComRuntimeInitialization =
    win::ComInitializationWith<ComRuntime::CoInitializeEx, ComRuntime::CoUninitialize>;
