#pragma once

#include "Unique.h"

#include <windows.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A file beside the running test program, such as one of the project's programs.
std::wstring ProgramPath(const wchar_t* file);

// Quotes one argument by the rules CommandLineToArgvW undoes.
std::wstring QuoteArgument(const std::wstring& argument);

// The command line that starts this build's pelmora-surrogate.exe with these arguments.
std::wstring HostCommandLine(const std::vector<std::wstring>& arguments);

// A child process whose standard output (and error) is a pipe that is read as it is written.
// The destructor ends the child if it still runs.
class CChildProcess {
public:
    enum class Handles {
        Pipe,    // standard output and error to the pipe, no standard input
        None,    // no standard handles and no console at all, as the COM runtime starts a server
        Console, // no standard handles, but this process's console, if any, is shared
    };

    CChildProcess() = default;
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;
    ~CChildProcess();

    bool Start(const std::wstring& commandLine, Handles handles = Handles::Pipe);
    // Standard output and error to an inheritable handle of the caller's, such as a file; flags
    // are CreateProcess's (CREATE_NEW_PROCESS_GROUP, say).
    bool StartWithOutput(const std::wstring& commandLine, HANDLE output, DWORD flags = 0);
    // True once the child has ended, waiting at most timeoutMs.
    bool Wait(DWORD timeoutMs);
    // True once the output holds text, waiting at most timeoutMs.
    bool WaitForOutput(const std::string& text, DWORD timeoutMs);
    void Terminate();

    DWORD ExitCode() const;
    DWORD Id() const { return m_id; }
    HANDLE Process() const { return m_process.Get(); }
    std::string Output() const;

private:
    bool Launch(const std::wstring& commandLine, HANDLE output, bool inherit, DWORD flags);
    void ReadAll(win::UniqueHandle pipe);

    win::UniqueHandle m_process;
    DWORD m_id = 0;
    std::thread m_reader;
    mutable std::mutex m_lock;
    std::string m_output;
};

struct RunResult {
    bool ended;
    DWORD exitCode;
    std::string output;
};

// Runs a command line to its end (at most timeoutMs; a child still running then is ended).
RunResult RunToEnd(const std::wstring& commandLine,
                   CChildProcess::Handles handles = CChildProcess::Handles::Pipe,
                   DWORD timeoutMs = 30000);
