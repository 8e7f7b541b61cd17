#pragma once

#include <windows.h>

#include <cstdio>

// Points std::wcout at the process's standard output. Every line reaches a file or pipe as
// UTF-8 with CRLF line endings and a console as UTF-16 text, whatever characters it holds;
// without a usable standard output the lines are dropped, one at a time, and the stream never
// enters a failed state. Call once, on the main thread, before anything is printed.
void InstallOutput();

// A console output handle that takes the lines instead of standard output, or nullptr to write
// to standard output again. Not owned.
void SetOutputConsole(HANDLE console);

// The OS handle behind a C runtime stream, or nullptr when the stream has no valid descriptor.
HANDLE StreamHandle(FILE* stream);
