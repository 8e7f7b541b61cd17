#include "ArgumentMap.h"
#include "Console.h"
#include "ConsoleControl.h"
#include "Hosting.h"
#include "Output.h"
#include "Unique.h"
#include "Version.h"

#include <windows.h>
#include <shellapi.h>

#include <iostream>
#include <string>

namespace {

// The host inherits its working directory from whoever starts it (the COM runtime passes on the
// client's), and the loader searches it for DLLs that hosted code names without a path; Wine does
// so even after SetDllDirectoryW(L""). The system directory, where the platform's launcher starts
// its servers, is not the client's to fill. Should the move fail, the host serves all the same
// rather than refuse every client: the hosted DLL itself comes by full path, and on Windows
// SetDllDirectoryW(L"") already keeps the working directory out of the search.
void LeaveInheritedWorkingDirectory() {
    const UINT size = GetSystemDirectoryW(nullptr, 0);
    if (size == 0) {
        return;
    }
    std::wstring directory(size, L'\0');
    const UINT length = GetSystemDirectoryW(&directory[0], size);
    if (length == 0 || length >= size) {
        return;
    }
    directory.resize(length);
    SetCurrentDirectoryW(directory.c_str());
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // Before anything can load a DLL: none may come from the working directory. Hosted DLLs are
    // loaded by the full path in their registration. SetDefaultDllDirectories would also drop
    // PATH from the search, where a hosted DLL may rightly find its dependencies.
    LeaveInheritedWorkingDirectory();
    SetDllDirectoryW(L"");
    // Closed last of all, after everything the run prints.
    CConsoleStreams console;
    SetUpConsole(console);
    InstallOutput();
    // Also for a console the host was given rather than asked for.
    CConsoleControl consoleControl;
    consoleControl.Install();

    // The narrow command line loses characters outside the ANSI code page: split the wide one.
    int count = 0;
    const win::UniqueLocalMemory<wchar_t*> vector(CommandLineToArgvW(GetCommandLineW(), &count));

    int result = -1;
    {
        CArgumentMap parameters;
        const int parsed = parameters.Parse(count, vector.Get());

        std::wcout << L"Pelmora COM Surrogate Ver." << PELMORA_VERSION_WTEXT << std::endl;
        std::wcout << L"Current Process ID : " << GetCurrentProcessId() << std::endl;
        std::wcout << std::endl;

        if (parsed < 0) {
            std::wcout << L"Terminated due to invalid argument." << std::endl;
            result = parsed;
        } else {
            const std::wstring clsidText = parameters[L"guid"];
            if (clsidText.empty()) {
                std::wcout << L"Terminated due to missing argument." << std::endl;
                result = -1;
            } else {
                result = RunSurrogate(clsidText, CreateCompletionEvent, consoleControl.StopEvent());
            }
        }
    }
    return result;
}
