#pragma once

// Small helpers that the host, the registration tool and the tests share.
#include <windows.h>

#include <string>

namespace win {

// A GUID in its braced, upper-case text form: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
std::wstring GuidText(REFGUID guid);

// The folder of the running program, without a trailing separator.
std::wstring ProgramDirectory();

// Writes text as it is, to a console as UTF-16 and to anything else (a file or a pipe) as UTF-8.
// A failed write drops the rest of the text and nothing more.
void WriteText(HANDLE target, const std::wstring& text);

} // namespace win
