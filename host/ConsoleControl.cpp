#include "ConsoleControl.h"

#include <atomic>

namespace {

// The installed object's stop event, for the handler, which the system calls on a thread of its
// own.
std::atomic<HANDLE> g_stop{nullptr};
// Set once the handler waits out the console's closing.
std::atomic<bool> g_closing{false};

} // namespace

CConsoleControl::~CConsoleControl() {
    if (!m_stop) {
        return;
    }
    // The system calls handlers under the console's lock, which removing one takes too: a handler
    // waiting out the closing would keep the run from ever ending.
    if (!g_closing) {
        SetConsoleCtrlHandler(Handler, FALSE);
    }
    g_stop = nullptr;
}

bool CConsoleControl::Install() {
    DWORD attached = 0;
    if (GetConsoleProcessList(&attached, 1) == 0) {
        return false;
    }
    m_stop.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_stop) {
        return false;
    }
    g_stop = m_stop.Get();
    if (!SetConsoleCtrlHandler(Handler, TRUE)) {
        g_stop = nullptr;
        m_stop.Reset();
        return false;
    }
    return true;
}

bool CConsoleControl::RequestStop(DWORD controlType) {
    if (controlType != CTRL_C_EVENT && controlType != CTRL_BREAK_EVENT &&
        controlType != CTRL_CLOSE_EVENT) {
        return false;
    }
    const HANDLE stop = g_stop.load();
    return stop != nullptr && SetEvent(stop) != FALSE;
}

BOOL WINAPI CConsoleControl::Handler(DWORD controlType) {
    // Before the run can see the stop and go on to the destructor.
    if (controlType == CTRL_CLOSE_EVENT) {
        g_closing = true;
    }
    if (!RequestStop(controlType)) {
        return FALSE;
    }
    // The system ends the process as soon as a handler returns from the console's closing: wait
    // instead for the run to end it, with its closing line and exit code 0. The system still
    // ends it after its own time-out, some seconds.
    if (controlType == CTRL_CLOSE_EVENT) {
        Sleep(INFINITE);
    }
    return TRUE;
}
