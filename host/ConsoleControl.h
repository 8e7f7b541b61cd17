#pragma once

#include "Unique.h"

#include <windows.h>

// Where the host has a console, turns its Ctrl+C, Ctrl+Break and closing into the host's orderly
// end instead of the default handler's abrupt one, which would leave the classes registered until
// the process is gone and cut every client's calls off mid-way. The run ends when StopEvent() is
// signalled, as it does after FreeSurrogate. One at a time per process.
class CConsoleControl {
public:
    CConsoleControl() = default;
    CConsoleControl(const CConsoleControl&) = delete;
    CConsoleControl& operator=(const CConsoleControl&) = delete;
    // Removes the handler.
    ~CConsoleControl();

    // Where the process has a console, creates the stop event and installs the handler; false
    // when it has none (there is nothing to press or close then) or either step fails.
    bool Install();
    // Manual reset, so that an event that came before the run's wait is not lost; nullptr until
    // installed.
    HANDLE StopEvent() const { return m_stop.Get(); }

    // The handler's decision: signals the stop event and returns true for the events that end the
    // host (Ctrl+C, Ctrl+Break, the console closing); false for every other, which the next
    // handler gets.
    static bool RequestStop(DWORD controlType);

private:
    static BOOL WINAPI Handler(DWORD controlType);

    // Held while the handler is installed.
    win::UniqueHandle m_stop;
};
