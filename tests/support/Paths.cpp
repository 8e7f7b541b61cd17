#include "Paths.h"

#include "Text.h"

#include <windows.h>

std::wstring SystemDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetSystemDirectoryW(path, MAX_PATH);
    return path;
}

std::wstring WindowsDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetSystemWindowsDirectoryW(path, MAX_PATH);
    return path;
}

std::wstring TempDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, path);
    return path;
}

std::wstring OtherBuildPath(const wchar_t* file) {
    const std::wstring own = L"\\" PELMORA_OWN_BUILD L"\\";
    const std::wstring other = L"\\" PELMORA_OTHER_BUILD L"\\";
    std::wstring directory = win::ProgramDirectory() + L"\\";
    const auto at = directory.rfind(own);
    if (at == std::wstring::npos) {
        return {};
    }
    directory.replace(at, own.size(), other);
    const std::wstring path = directory + file;
    return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES ? std::wstring() : path;
}
