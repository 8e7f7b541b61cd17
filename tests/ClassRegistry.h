#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Helpers of the tests that put classes in the registry and start hosts for them.

std::wstring GuidText(REFGUID guid);

// Letters lowered, for comparing paths and file names.
std::wstring Lower(std::wstring text);

// Writes a string value under HKEY_CLASSES_ROOT, creating the key.
bool SetClassesValue(const std::wstring& key, const wchar_t* name, const std::wstring& value);

// Removes a class's CLSID and AppID keys, as a test that wrote them leaves the registry.
void DeleteClassKeys(REFCLSID clsid);

// Ids of the running processes whose image is this file (Wine lists only its prefix's).
std::vector<DWORD> ProcessesOf(const std::wstring& path);
