#include "TempFolder.h"

#include <vector>

CTempFolder::CTempFolder(const std::wstring& name) {
    wchar_t temp[MAX_PATH] = {};
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    m_path = std::wstring(temp, length) + name + L"-" + std::to_wstring(GetCurrentProcessId());
    // Left over from an earlier run whose programs still held it: reused.
    m_ready = CreateDirectoryW(m_path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

CTempFolder::~CTempFolder() {
    if (m_path.empty()) {
        return;
    }
    WIN32_FIND_DATAW found = {};
    const HANDLE search = FindFirstFileW(File(L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        std::vector<std::wstring> files;
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                files.push_back(File(found.cFileName));
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
        for (const auto& file : files) {
            DeleteFileW(file.c_str());
        }
    }
    RemoveDirectoryW(m_path.c_str());
}
