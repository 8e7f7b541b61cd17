#include "Console.h"

#include "Output.h"

#include <windows.h>

#include <cstdlib>

std::string ConsoleSwitchValue() {
    char value[16] = {};
    size_t required = 0;
    if (getenv_s(&required, value, sizeof(value), "BREVANIX_CONSOLE") != 0) {
        return {};
    }
    value[sizeof(value) - 1] = '\0';
    return value;
}

bool ConsoleWanted(const std::string& switchValue) {
    return switchValue == "true";
}

namespace {

// Rebinds a stream that has no valid descriptor; returns the stream when it did.
FILE* Rebind(FILE* stream, const char* path, const char* mode) {
    if (StreamHandle(stream) != nullptr) {
        return nullptr;
    }
    FILE* rebound = nullptr;
    if (freopen_s(&rebound, path, mode, stream) != 0) {
        return nullptr;
    }
    return rebound;
}

} // namespace

void SetUpConsole(CConsoleStreams& streams) {
    if (!ConsoleWanted(ConsoleSwitchValue())) {
        return;
    }
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) {
        AllocConsole();
    }
    const bool outputMissing = StreamHandle(stdout) == nullptr;
    streams.m_reboundOutput = Rebind(stdout, "CONOUT$", "w");
    streams.m_reboundError = Rebind(stderr, "CONOUT$", "w");
    streams.m_reboundInput = Rebind(stdin, "CONIN$", "r");

    // Some C runtimes (Wine 8's) refuse to rebind a standard stream that never had a descriptor;
    // others (Wine 10's, Windows') open CONOUT$ write-only, and a console handle without read
    // access fails GetConsoleMode, so wide text would reach the console as UTF-8 bytes read in
    // its code page. The lines go to a console handle of the host's own either way.
    if (outputMissing) {
        streams.m_consoleOutput = win::UniqueFileHandle(
            CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        SetOutputConsole(streams.m_consoleOutput.Get());
    }
}

CConsoleStreams::~CConsoleStreams() {
    SetOutputConsole(nullptr);
    if (m_reboundInput != nullptr) {
        fclose(m_reboundInput);
    }
    if (m_reboundError != nullptr) {
        fclose(m_reboundError);
    }
    if (m_reboundOutput != nullptr) {
        fclose(m_reboundOutput);
    }
}
