#pragma once

#include "Unique.h"

#include <cstdio>
#include <string>

// The value of BREVANIX_CONSOLE as read into a 16-character buffer: empty when the variable is
// absent or its value does not fit.
std::string ConsoleSwitchValue();

// Only exactly "true" turns the console on.
bool ConsoleWanted(const std::string& switchValue);

// The standard streams rebound to a console, owned for the whole run; closed on destruction
// (input, then error, then output). Nothing may be printed after that.
class CConsoleStreams {
public:
    CConsoleStreams() = default;
    CConsoleStreams(const CConsoleStreams&) = delete;
    CConsoleStreams& operator=(const CConsoleStreams&) = delete;
    ~CConsoleStreams();

private:
    friend void SetUpConsole(CConsoleStreams& streams);

    FILE* m_reboundOutput = nullptr;
    FILE* m_reboundError = nullptr;
    FILE* m_reboundInput = nullptr;
    // When standard output had no descriptor, the host's lines are written to this console
    // output handle, whether or not the C runtime could rebind the stream.
    win::UniqueFileHandle m_consoleOutput;
};

// When BREVANIX_CONSOLE is "true": attaches to the parent's console, or creates one, and rebinds
// the standard streams that have no valid descriptor to it. Runs first of all.
void SetUpConsole(CConsoleStreams& streams);
