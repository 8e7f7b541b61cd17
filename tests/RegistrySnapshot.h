#pragma once

#include <windows.h>

#include <string>

// Every value (name, type, data) and subkey under a key of HKEY_CLASSES_ROOT, as text that two
// states of the key can be compared by; "<absent>" when there is no such key.
std::wstring Snapshot(const std::wstring& path);

// Starts pelmora-register.exe from a folder with these arguments; the exit code and output.
struct ToolRun {
    DWORD exitCode;
    std::string output;
};
ToolRun RunTool(const std::wstring& arguments, const std::wstring& folder = {});
