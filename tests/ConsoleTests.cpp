// The BREVANIX_CONSOLE switch: the decision in process, and the host's lines reaching a console or
// staying in a redirected file. The process cases need a console: ctest runs this program in a
// pseudo-terminal under Wine, and on Windows it is started from one.
#include "Banner.h"
#include "ChildProcess.h"
#include "Console.h"
#include "Output.h"
#include "Platform.h"
#include "TempFolder.h"
#include "Unique.h"

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

// A parent that redirected standard output keeps it, even with the switch on.
TEST(ConsoleSwitch, RedirectedOutputStaysInTheFile) {
    const CTempFolder folder(L"pelmora-console-test");
    const std::wstring path = folder.File(L"trace.txt");
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    win::CFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
    ASSERT_TRUE(file);

    SetSwitch("true");
    CChildProcess host;
    const bool started = host.StartWithOutput(HostCommandLine({L"-embedding"}), file.Get());
    SetSwitch(nullptr);
    file.Reset();
    ASSERT_TRUE(started);
    ASSERT_TRUE(host.Wait(30000));
    EXPECT_EQ(host.ExitCode(), 4294967295u);

    std::string content;
    {
        const win::CFileHandle reader(CreateFileW(
            path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(reader);
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(reader.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
            content.append(buffer, read);
        }
    }
    EXPECT_EQ(content, Banner(host.Id(), "\r\n") + "Terminated due to missing argument.\r\n");
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
    const win::CFileHandle m_console;
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

} // namespace
