#include "RegistrySnapshot.h"

#include "ChildProcess.h"
#include "Text.h"
#include "Unique.h"

#include <algorithm>
#include <vector>

namespace {

const HKEY kRoots[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};
const REGSAM kViews[] = {KEY_WOW64_32KEY, KEY_WOW64_64KEY};

void Dump(HKEY key, const std::wstring& path, std::wstring& text, REGSAM view = 0) {
    std::vector<std::wstring> lines;
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD nameLength = 16384;
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS) {
            break;
        }
        std::vector<BYTE> data(size + 1);
        nameLength = 16384;
        RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data.data(), &size);
        std::wstring line =
            path + L" [" + std::wstring(name, nameLength) + L"] " + std::to_wstring(type) + L":";
        if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
            // Nulls shown as |, so that a missing or extra terminator shows too.
            for (DWORD i = 0; i + 1 < size; i += 2) {
                const wchar_t c = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
                line += c == L'\0' ? L'|' : c;
            }
        } else {
            for (DWORD i = 0; i < size; ++i) {
                wchar_t hex[4];
                swprintf(hex, 4, L"%02x", data[i]);
                line += hex;
            }
        }
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    for (const auto& line : lines) {
        text += line + L"\n";
    }
    std::vector<std::wstring> subkeys;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        subkeys.emplace_back(name, length);
    }
    std::sort(subkeys.begin(), subkeys.end());
    for (const auto& name : subkeys) {
        win::UniqueKey subkey;
        if (RegOpenKeyExW(key, name.c_str(), 0, KEY_READ | view, subkey.Put()) == ERROR_SUCCESS) {
            text += path + L"\\" + name + L"\n";
            Dump(subkey.Get(), path + L"\\" + name, text, view);
        }
    }
}

} // namespace

std::wstring Snapshot(const std::wstring& path) {
    win::UniqueKey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS) {
        return L"<absent>";
    }
    std::wstring text;
    Dump(key.Get(), path, text);
    return text;
}

std::wstring SnapshotEverywhere(const std::wstring& path) {
    std::wstring text;
    for (const HKEY root : kRoots) {
        for (const REGSAM view : kViews) {
            const std::wstring where = std::wstring(root == HKEY_CURRENT_USER ? L"HKCU" : L"HKLM") +
                                       (view == KEY_WOW64_32KEY ? L" 32-bit " : L" 64-bit ") + path;
            win::UniqueKey key;
            if (RegOpenKeyExW(root, (L"Software\\Classes\\" + path).c_str(), 0, KEY_READ | view,
                              key.Put()) != ERROR_SUCCESS) {
                text += where + L" <absent>\n";
                continue;
            }
            text += where + L"\n";
            Dump(key.Get(), where, text, view);
        }
    }
    return text;
}

void DeleteEverywhere(const std::wstring& path) {
    for (const HKEY root : kRoots) {
        for (const REGSAM view : kViews) {
            win::UniqueKey classes;
            if (RegOpenKeyExW(root, L"Software\\Classes", 0, KEY_ALL_ACCESS | view,
                              classes.Put()) != ERROR_SUCCESS) {
                continue;
            }
            win::UniqueKey key;
            if (RegOpenKeyExW(classes.Get(), path.c_str(), 0, KEY_ALL_ACCESS | view, key.Put()) ==
                ERROR_SUCCESS) {
                RegDeleteTreeW(key.Get(), nullptr);
                key.Reset();
                RegDeleteKeyExW(classes.Get(), path.c_str(), view, 0);
            }
        }
    }
}

ToolRun RunTool(const std::wstring& arguments, const std::wstring& folder) {
    const std::wstring tool =
        (folder.empty() ? win::ProgramDirectory() : folder) + L"\\pelmora-register.exe";
    const RunResult run = RunToEnd(QuoteArgument(tool) + L" " + arguments);
    return {run.ended ? run.exitCode : STILL_ACTIVE, run.output};
}
