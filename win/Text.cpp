#include "Text.h"

#include <objbase.h>

#include <string>
#include <vector>

namespace win {

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

std::wstring ProgramDirectory() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            const std::wstring text(path.data(), length);
            const size_t slash = text.find_last_of(L"\\/");
            return slash == std::wstring::npos ? std::wstring() : text.substr(0, slash);
        }
        path.resize(path.size() * 2);
    }
}

namespace {

void WriteToConsole(HANDLE console, const std::wstring& text) {
    const wchar_t* next = text.data();
    size_t left = text.size();
    while (left > 0) {
        const DWORD chunk = left > 4096 ? 4096 : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteConsoleW(console, next, chunk, &written, nullptr) || written == 0) {
            return;
        }
        next += written;
        left -= written;
    }
}

void WriteAsUtf8(HANDLE file, const std::wstring& text) {
    const int wideLength = static_cast<int>(text.size());
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return;
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), wideLength, &bytes[0], size, nullptr, nullptr);
    const char* next = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile(file, next, static_cast<DWORD>(left), &written, nullptr) || written == 0) {
            return;
        }
        next += written;
        left -= written;
    }
}

} // namespace

void WriteText(HANDLE target, const std::wstring& text) {
    DWORD mode = 0;
    if (GetConsoleMode(target, &mode)) {
        WriteToConsole(target, text);
    } else {
        WriteAsUtf8(target, text);
    }
}

} // namespace win
