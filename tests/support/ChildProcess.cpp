#include "ChildProcess.h"

#include "Text.h"

std::wstring ProgramPath(const wchar_t* file) {
    return win::ProgramDirectory() + L"\\" + file;
}

std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes double only where a quote follows them.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

std::wstring HostCommandLine(const std::vector<std::wstring>& arguments) {
    std::wstring line = QuoteArgument(ProgramPath(L"pelmora-surrogate.exe"));
    for (const auto& argument : arguments) {
        line += L" " + QuoteArgument(argument);
    }
    return line;
}

CChildProcess::~CChildProcess() {
    Terminate();
    if (m_reader.joinable()) {
        m_reader.join();
    }
}

bool CChildProcess::Start(const std::wstring& commandLine, Handles handles) {
    if (handles != Handles::Pipe) {
        return Launch(commandLine, nullptr, false, handles == Handles::None ? DETACHED_PROCESS : 0);
    }
    win::UniqueHandle readEnd;
    win::UniqueHandle writeEnd;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    if (!CreatePipe(readEnd.Put(), writeEnd.Put(), &inherit, 0)) {
        return false;
    }
    SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);
    const bool started = Launch(commandLine, writeEnd.Get(), true, 0);
    // The child holds the write end now: the read ends when the child (and its heirs) are gone.
    writeEnd.Reset();
    if (!started) {
        return false;
    }
    m_reader = std::thread([this, pipe = readEnd.Detach()] { ReadAll(win::UniqueHandle(pipe)); });
    return true;
}

bool CChildProcess::StartWithOutput(const std::wstring& commandLine, HANDLE output, DWORD flags) {
    return Launch(commandLine, output, true, flags);
}

bool CChildProcess::Launch(const std::wstring& commandLine, HANDLE output, bool inherit,
                           DWORD flags) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION info = {};
    const auto create = [&] {
        std::wstring mutableLine = commandLine;
        return CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, inherit, flags, nullptr,
                              nullptr, &startup, &info) != FALSE;
    };
    // Now and then, under load, Wine fails to start a process at all: it dies inside Wine before
    // any of its code runs, and CreateProcess fails with ERROR_INTERNAL_ERROR. Nothing of ours
    // can cause that, so try once more, as a user would.
    if (!create() && (GetLastError() != ERROR_INTERNAL_ERROR || !create())) {
        return false;
    }
    win::UniqueHandle(info.hThread).Reset();
    m_process.Reset(info.hProcess);
    m_id = info.dwProcessId;
    return true;
}

void CChildProcess::ReadAll(win::UniqueHandle pipe) {
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(pipe.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_output.append(buffer, read);
    }
}

bool CChildProcess::Wait(DWORD timeoutMs) {
    if (!m_process || WaitForSingleObject(m_process.Get(), timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    // Whatever the child wrote is in the pipe; the read ends when the last writer has gone.
    if (m_reader.joinable()) {
        m_reader.join();
    }
    return true;
}

bool CChildProcess::WaitForOutput(const std::string& text, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (Output().find(text) != std::string::npos) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(20);
    }
}

void CChildProcess::Terminate() {
    if (m_process && WaitForSingleObject(m_process.Get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(m_process.Get(), 1);
        WaitForSingleObject(m_process.Get(), 10000);
    }
}

DWORD CChildProcess::ExitCode() const {
    DWORD code = STILL_ACTIVE;
    if (m_process) {
        GetExitCodeProcess(m_process.Get(), &code);
    }
    return code;
}

std::string CChildProcess::Output() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_output;
}

RunResult RunToEnd(const std::wstring& commandLine, CChildProcess::Handles handles,
                   DWORD timeoutMs) {
    CChildProcess child;
    if (!child.Start(commandLine, handles)) {
        const DWORD error = GetLastError();
        return {false, error, "CreateProcess failed with error " + std::to_string(error) + "\n"};
    }
    const bool ended = child.Wait(timeoutMs);
    if (!ended) {
        child.Terminate();
        child.Wait(10000);
    }
    return {ended, child.ExitCode(), child.Output()};
}
