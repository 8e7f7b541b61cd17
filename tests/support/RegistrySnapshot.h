#pragma once

#include <windows.h>

#include <string>

// Every value (name, type, data) and subkey under a key of HKEY_CLASSES_ROOT, as text that two
// states of the key can be compared by; "<absent>" when there is no such key.
std::wstring Snapshot(const std::wstring& path);

// The same for a key of Software\Classes in each root (HKCU, HKLM) and each registry view, each
// part labelled with where it was read.
std::wstring SnapshotEverywhere(const std::wstring& path);

// Deletes a key of Software\Classes, with its subkeys, from each root and each registry view.
void DeleteEverywhere(const std::wstring& path);

// Starts pelmora-register.exe from a folder with these arguments; the exit code and output.
struct ToolRun {
    DWORD exitCode;
    std::string output;
};
ToolRun RunTool(const std::wstring& arguments, const std::wstring& folder = {});
