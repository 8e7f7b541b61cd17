#pragma once

#include <string>

// Folders the tests put files in or look files up in.
std::wstring SystemDirectory();
std::wstring WindowsDirectory();
// The temporary folder, with its trailing separator.
std::wstring TempDirectory();

// The same file in the other bitness's build beside this one (build/mingw-x64 beside
// build/mingw-x86), or empty when that build is not there.
std::wstring OtherBuildPath(const wchar_t* file);
