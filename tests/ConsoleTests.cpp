// The BREVANIX_CONSOLE switch: the decision in process, and the host's lines reaching a console or
// staying in a redirected file. The process cases need a console: ctest runs this program in a
// pseudo-terminal under Wine, and on Windows it is started from one.
#include "Banner.h"
#include "ChildProcess.h"
#include "Console.h"
#include "ConsoleControl.h"
#include "Output.h"
#include "Platform.h"
#include "TempFolder.h"
#include "Unique.h"

#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr const char* kSwitch = "BREVANIX_CONSOLE";

// Sets (or, for nullptr, removes) the switch for this process's runtime and for its children.
void SetSwitch(const char* value) {
    _putenv_s(kSwitch, value == nullptr ? "" : value);
    const std::wstring wide = value == nullptr ? L"" : std::wstring(value, value + strlen(value));
    SetEnvironmentVariableW(L"BREVANIX_CONSOLE", value == nullptr ? nullptr : wide.c_str());
}

struct SwitchCase {
    const char* name;
    const char* value;
    std::string read; // what the 16-character buffer holds
    bool wanted;
};

TEST(ConsoleSwitch, OnlyExactlyTrueTurnsTheConsoleOn) {
    const SwitchCase cases[] = {
        {"absent", nullptr, "", false},
        {"upper case", "TRUE", "TRUE", false},
        {"capitalised", "True", "True", false},
        {"one", "1", "1", false},
        {"yes", "yes", "yes", false},
        {"trailing space", "true ", "true ", false},
        {"leading space", " true", " true", false},
        {"15 characters", "truetruetruetru", "truetruetruetru", false},
        {"16 characters", "truetruetruetrue", "", false},
        {"much longer", "true-true-true-true-true-true", "", false},
        {"exactly true", "true", "true", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetSwitch(c.value);
        EXPECT_EQ(ConsoleSwitchValue(), c.read);
        EXPECT_EQ(ConsoleWanted(ConsoleSwitchValue()), c.wanted);
    }
    SetSwitch(nullptr);
}

// What a file holds, read while its writer may still have it open.
std::string FileText(const std::wstring& path) {
    std::string content;
    const win::UniqueFileHandle reader(CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, 0, nullptr));
    char buffer[4096];
    DWORD read = 0;
    while (reader && ReadFile(reader.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        content.append(buffer, read);
    }
    return content;
}

// A file that a child process inherits as its standard output.
win::UniqueFileHandle InheritableFile(const std::wstring& path) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    return win::UniqueFileHandle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
}

// A parent that redirected standard output keeps it, even with the switch on.
TEST(ConsoleSwitch, RedirectedOutputStaysInTheFile) {
    const CTempFolder folder(L"pelmora-console-test");
    const std::wstring path = folder.File(L"trace.txt");
    win::UniqueFileHandle file = InheritableFile(path);
    ASSERT_TRUE(file);

    SetSwitch("true");
    CChildProcess host;
    const bool started = host.StartWithOutput(HostCommandLine({L"-embedding"}), file.Get());
    SetSwitch(nullptr);
    file.Reset();
    ASSERT_TRUE(started);
    ASSERT_TRUE(host.Wait(30000));
    EXPECT_EQ(host.ExitCode(), 4294967295u);

    EXPECT_EQ(FileText(path),
              Banner(host.Id(), "\r\n") + "Terminated due to missing argument.\r\n");
}

// The console this program runs in, read back as text.
class CConsoleScreen {
public:
    CConsoleScreen()
        : m_console(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr)),
          m_handle(m_console.Get()) {}

    bool Available() {
        CONSOLE_SCREEN_BUFFER_INFO info;
        return m_console && GetConsoleScreenBufferInfo(m_handle, &info);
    }

    void Clear() {
        CONSOLE_SCREEN_BUFFER_INFO info;
        GetConsoleScreenBufferInfo(m_handle, &info);
        DWORD written = 0;
        FillConsoleOutputCharacterW(m_handle, L' ', info.dwSize.X * info.dwSize.Y, {0, 0},
                                    &written);
        SetConsoleCursorPosition(m_handle, {0, 0});
    }

    // Each row with its trailing blanks removed, joined by newlines.
    std::wstring Text() {
        CONSOLE_SCREEN_BUFFER_INFO info;
        GetConsoleScreenBufferInfo(m_handle, &info);
        std::wstring text;
        std::vector<wchar_t> row(static_cast<size_t>(info.dwSize.X));
        for (SHORT y = 0; y < info.dwSize.Y; ++y) {
            DWORD read = 0;
            ReadConsoleOutputCharacterW(m_handle, row.data(), static_cast<DWORD>(info.dwSize.X),
                                        {0, y}, &read);
            std::wstring line(row.data(), read);
            line.erase(line.find_last_not_of(L' ') + 1);
            text += line + L"\n";
        }
        return text;
    }

private:
    const win::UniqueFileHandle m_console;
    const HANDLE m_handle;
};

// Started with kRebindProbe, this program only reports (as its exit code) what its C runtime
// does with a standard output that has no descriptor, as the host meets it: bit 0 set when
// freopen to CONOUT$ succeeds, bit 1 when the stream then has a handle, bit 2 when that handle
// passes GetConsoleMode.
constexpr const wchar_t* kRebindProbe = L"--rebind-probe";

const int kRebindProbeRan = [] {
    if (wcsstr(GetCommandLineW(), kRebindProbe) == nullptr) {
        return 0;
    }
    AttachConsole(ATTACH_PARENT_PROCESS);
    UINT result = 0;
    FILE* rebound = nullptr;
    if (StreamHandle(stdout) == nullptr && freopen_s(&rebound, "CONOUT$", "w", stdout) == 0) {
        result |= 1;
        DWORD mode = 0;
        const HANDLE handle = StreamHandle(stdout);
        if (handle != nullptr) {
            result |= 2;
            if (GetConsoleMode(handle, &mode)) {
                result |= 4;
            }
        }
    }
    ExitProcess(result);
}();

// Why the host writes to a console handle of its own: the Wines differ here, and neither gives a
// rebound standard output that works as a console. Under Wine 8 freopen succeeds but the stream
// still has no descriptor; Wine 10 rebinds it write-only, and a console handle without read
// access fails GetConsoleMode.
TEST(ConsoleSwitch, WhatTheCRuntimeMakesOfAMissingStandardOutputDependsOnTheWine) {
    CConsoleScreen screen;
    if (!screen.Available()) {
        GTEST_SKIP() << "no console: run this program in a terminal";
    }
    wchar_t self[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    CChildProcess probe;
    ASSERT_TRUE(
        probe.Start(QuoteArgument(self) + L" " + kRebindProbe, CChildProcess::Handles::Console));
    ASSERT_TRUE(probe.Wait(30000));
    const DWORD result = probe.ExitCode();

    const std::string wine = platform::WineVersion();
    RecordProperty("wine", wine.empty() ? "none" : wine);
    if (wine.empty()) {
        std::cout << "Windows: freopen " << (result & 1) << ", a handle " << ((result & 2) >> 1)
                  << ", a console " << ((result & 4) >> 2) << "\n";
    } else if (platform::CRuntimeLeavesAMissingStandardOutputUnbound()) {
        EXPECT_EQ(result, 1u) << "Wine " << wine << ": freopen succeeds, the stream stays unbound";
    } else {
        EXPECT_EQ(result, 3u) << "Wine " << wine << ": a rebound stream that is not a console";
    }
}

struct ConsoleCase {
    const char* name;
    const char* value;
    bool shown;
};

// Started without standard handles by a console program, the host prints to that console only
// when the switch is "true". Non-ASCII text arrives intact.
TEST(ConsoleSwitch, HostWithoutStandardHandlesPrintsToTheParentsConsoleOnlyWhenOn) {
    CConsoleScreen screen;
    if (!screen.Available()) {
        GTEST_SKIP() << "no console: run this program in a terminal";
    }
    const ConsoleCase cases[] = {{"true", "true", true},
                                 {"absent", nullptr, false},
                                 {"TRUE", "TRUE", false},
                                 {"true and space", "true ", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        screen.Clear();
        SetSwitch(c.value);
        CChildProcess host;
        const bool started = host.Start(HostCommandLine({L"Gr\u00FC\u00DFe\u20AC"}),
                                        CChildProcess::Handles::Console);
        SetSwitch(nullptr);
        ASSERT_TRUE(started);
        ASSERT_TRUE(host.Wait(30000));
        EXPECT_EQ(host.ExitCode(), 4294967295u);

        const std::string banner = Banner(host.Id(), "\n");
        const std::wstring lines =
            L"WARNING: Unknown parameter..\nArg[1]:[Gr\u00FC\u00DFe\u20AC]\n" +
            std::wstring(banner.begin(), banner.end()) + L"Terminated due to missing argument.\n";
        const std::wstring text = screen.Text();
        if (c.shown) {
            EXPECT_NE(text.find(lines), std::wstring::npos)
                << std::string(text.begin(), text.end());
        } else {
            EXPECT_EQ(text.find(L"Current Process ID : " + std::to_wstring(host.Id())),
                      std::wstring::npos);
        }
    }
}

// Started with kCtrlCProbe and a trace file's path, this program opens a console of its own (the
// one it runs in cannot send console events under Wine), starts the host there with the switch on,
// presses Ctrl+C in that console once the host waits (Wine 8 sends no Ctrl+Break, and Ctrl+C
// cannot be sent to one process group alone), and ends with the host's exit code; 1001 to 1004
// for the step that failed.
constexpr const wchar_t* kCtrlCProbe = L"--ctrl-c-probe";

BOOL WINAPI IgnoreControlEvent(DWORD) {
    return TRUE;
}

const int kCtrlCProbeRan = [] {
    int count = 0;
    const win::UniqueLocalMemory<wchar_t*> argv(CommandLineToArgvW(GetCommandLineW(), &count));
    if (count != 3 || wcscmp(argv.Get()[1], kCtrlCProbe) != 0) {
        return 0;
    }
    const std::wstring path = argv.Get()[2];
    FreeConsole();
    // A handler of its own, unlike ignoring Ctrl+C, is not inherited by the host.
    if (!AllocConsole() || !SetConsoleCtrlHandler(IgnoreControlEvent, TRUE)) {
        ExitProcess(1001);
    }
    win::UniqueFileHandle file = InheritableFile(path);
    SetSwitch("true");
    SetEnvironmentVariableW(L"BREVANIX_IDLE_SECONDS", L"0"); // serves until told otherwise
    CChildProcess host;
    if (!file || !host.StartWithOutput(HostCommandLine({L"{00000000-0000-0000-0000-000000000000}"}),
                                       file.Get())) {
        ExitProcess(1002);
    }
    file.Reset();
    const ULONGLONG deadline = GetTickCount64() + 30000;
    while (FileText(path).find("Wait for Event Signal") == std::string::npos &&
           GetTickCount64() < deadline) {
        Sleep(50);
    }
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
        ExitProcess(1003);
    }
    if (!host.Wait(30000)) {
        ExitProcess(1004);
    }
    ExitProcess(host.ExitCode());
}();

// The console events that end the host, and only those: the others go on to the next handler.
TEST(ConsoleControl, OnlyCtrlCCtrlBreakAndClosingEndTheHost) {
    EXPECT_FALSE(CConsoleControl::RequestStop(CTRL_C_EVENT)); // nothing installed
    {
        CConsoleControl control;
        if (!control.Install()) {
            GTEST_SKIP() << "no console: run this program in a terminal";
        }
        const struct {
            const char* name;
            DWORD type;
            bool stops;
        } cases[] = {{"Ctrl+C", CTRL_C_EVENT, true},
                     {"Ctrl+Break", CTRL_BREAK_EVENT, true},
                     {"closing", CTRL_CLOSE_EVENT, true},
                     {"logoff", CTRL_LOGOFF_EVENT, false},
                     {"shutdown", CTRL_SHUTDOWN_EVENT, false}};
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            ResetEvent(control.StopEvent());
            EXPECT_EQ(CConsoleControl::RequestStop(c.type), c.stops);
            EXPECT_EQ(WaitForSingleObject(control.StopEvent(), 0) == WAIT_OBJECT_0, c.stops);
        }
    }
    EXPECT_FALSE(CConsoleControl::RequestStop(CTRL_C_EVENT)); // removed again
}

// Ctrl+C in a host's console ends it in order, as its release does: the closing line, then exit
// code 0, instead of the default handler's abrupt end.
TEST(ConsoleSwitch, CtrlCEndsAHostWithAConsoleInOrder) {
    const CTempFolder folder(L"pelmora-console-ctrl-c");
    const std::wstring path = folder.File(L"trace.txt");
    wchar_t self[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    const RunResult probe =
        RunToEnd(QuoteArgument(self) + L" " + kCtrlCProbe + L" " + QuoteArgument(path),
                 CChildProcess::Handles::None, 90000);
    const std::string trace = FileText(path);
    ASSERT_TRUE(probe.ended) << trace;
    EXPECT_EQ(probe.exitCode, 0u) << trace;
    const std::string waitLine = "Wait for Event Signal by ISurrogate::FreeSurrogate.\r\n";
    ASSERT_NE(trace.find(waitLine), std::string::npos) << trace;
    EXPECT_EQ(trace.substr(trace.find(waitLine)), waitLine + "Pelmora COM Surrogate done.\r\n");
}

} // namespace
