// What an attacker leaves in a client's working directory. Loading it is the attack, so it
// records that it ran as soon as any process loads it: a file beside itself, named after it with
// ".loaded" appended.
#include "Unique.h"

#include <windows.h>

#include <string>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH) {
        return TRUE;
    }
    const std::wstring marker = std::wstring(path, length) + L".loaded";
    const win::UniqueFileHandle file(CreateFileW(marker.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                 nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                                 nullptr));
    return TRUE;
}
