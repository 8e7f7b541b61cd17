#include "ArgumentMap.h"
#include "Console.h"
#include "Hosting.h"
#include "Output.h"

#include <windows.h>
#include <shellapi.h>

#include <iostream>
#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // A DLL planted in the working directory must never be loaded; hosted DLLs are loaded by the
    // full path in their registration.
    SetDllDirectoryW(L"");
    // Closed last of all, after everything the run prints.
    CConsoleStreams console;
    SetUpConsole(console);
    InstallOutput();

    // The narrow command line loses characters outside the ANSI code page: split the wide one.
    int count = 0;
    wchar_t** vector = CommandLineToArgvW(GetCommandLineW(), &count);

    int result = -1;
    {
        CArgumentMap parameters;
        const int parsed = parameters.Parse(count, vector);

        std::wcout << L"Pelmora COM Surrogate " << L"Ver.1.0.0" << std::endl;
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
                result = RunSurrogate(clsidText);
            }
        }
    }
    return result;
}
