#include "Processes.h"

#include "ChildProcess.h"
#include "Unique.h"
#include "Strings.h"

#include <tlhelp32.h>

std::vector<DWORD> ProcessesOf(const std::wstring& path) {
    const std::wstring wanted = Lower(path);
    const std::wstring name = wanted.substr(wanted.find_last_of(L"\\/") + 1);
    std::vector<DWORD> ids;
    const win::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return ids;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry)) {
        if (Lower(entry.szExeFile) != name) {
            continue;
        }
        if (Lower(ImagePath(entry.th32ProcessID)) == wanted) {
            ids.push_back(entry.th32ProcessID);
        }
    }
    return ids;
}

std::wstring ImagePath(DWORD processId) {
    const win::UniqueHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    wchar_t image[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    if (!process || !QueryFullProcessImageNameW(process.Get(), 0, image, &length)) {
        return {};
    }
    return std::wstring(image, length);
}

std::vector<DWORD> HostProcesses() {
    return ProcessesOf(ProgramPath(L"pelmora-surrogate.exe"));
}

void EndProcess(DWORD id) {
    const win::UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
    if (process) {
        TerminateProcess(process.Get(), 1);
        WaitForSingleObject(process.Get(), 5000);
    }
}

void EndHostProcesses() {
    for (const DWORD id : HostProcesses()) {
        EndProcess(id);
    }
}
