#pragma once

#include <windows.h>

#include <cstdio>

// Points std::wcout at the process's standard output. Every line reaches a file or pipe as
// UTF-8 with CRLF line endings and a console as UTF-16 text, whatever characters it holds;
// without a usable standard output the lines are dropped, one at a time, and the stream never
// enters a failed state. Call once, on the main thread, before anything is printed.
void InstallOutput();

// Where lines go while standard output has no usable handle: a console output handle, or
// nullptr for nowhere. Not owned.
void SetOutputFallback(HANDLE console);

// The OS handle behind a C runtime stream, or nullptr when the stream has no valid descriptor.
HANDLE StreamHandle(FILE* stream);
