#include "ClassRegistry.h"

#include <objbase.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwctype>

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return std::towlower(c); });
    return text;
}

bool SetClassesValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    return RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
}

void DeleteClassKeys(REFCLSID clsid) {
    const std::wstring text = GuidText(clsid);
    for (const std::wstring& key : {L"CLSID\\" + text, L"AppID\\" + text}) {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
        RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
    }
}

std::vector<DWORD> ProcessesOf(const std::wstring& path) {
    const std::wstring wanted = Lower(path);
    const std::wstring name = wanted.substr(wanted.find_last_of(L"\\/") + 1);
    std::vector<DWORD> ids;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return ids;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (Lower(entry.szExeFile) != name) {
            continue;
        }
        const HANDLE process =
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (process == nullptr) {
            continue;
        }
        wchar_t image[MAX_PATH] = {};
        DWORD length = MAX_PATH;
        if (QueryFullProcessImageNameW(process, 0, image, &length) && Lower(image) == wanted) {
            ids.push_back(entry.th32ProcessID);
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return ids;
}
