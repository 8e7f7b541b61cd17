#include "Hosting.h"

#include "ComRuntime.h"

#include <iostream>

int RunSurrogate(const std::wstring& clsidText, CompletionEventFactory createEvent) {
    std::wcout << L"CLSID  : " << clsidText << std::endl;
    ComRuntime::CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    CSurrogate surrogate(createEvent);
    // Without the event no FreeSurrogate could ever end the wait.
    if (surrogate.Event() == nullptr) {
        std::wcout << L"Terminated due to failure in creating the completion event." << std::endl;
        ComRuntime::CoUninitialize();
        return -1;
    }
    surrogate.AddRef();
    ComRuntime::CoRegisterSurrogate(&surrogate);

    // A malformed text must not leave an indeterminate identifier to register.
    CLSID clsid = {};
    ComRuntime::CLSIDFromString(clsidText.c_str(), &clsid);

    LPOLESTR progId = nullptr;
    if (FAILED(ComRuntime::ProgIDFromCLSID(clsid, &progId)) || progId == nullptr) {
        std::wcout << L"ProgID : N/A." << std::endl;
    } else {
        std::wcout << L"ProgID : " << progId << std::endl;
        ComRuntime::CoTaskMemFree(progId);
    }
    std::wcout << std::endl;

    std::wcout << L"surrogate.LoadDllServer." << std::endl;
    surrogate.LoadDllServer(clsid);

    std::wcout << L"Wait for Event Signal by ISurrogate::FreeSurrogate." << std::endl;
    DWORD waitResult = WAIT_TIMEOUT;
    do {
        waitResult = WaitForSingleObject(surrogate.Event(), 1000);
        Sleep(10);
    } while (waitResult != WAIT_OBJECT_0);

    surrogate.Release();
    ComRuntime::CoUninitialize();
    std::wcout << L"Pelmora COM Surrogate done." << std::endl;
    return 0;
}
