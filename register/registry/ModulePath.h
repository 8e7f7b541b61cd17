#pragma once

#include "RegistryValue.h"

#include <windows.h>

#include <string>

// The text a system call writes into a buffer that it says is too short by returning the size it
// needs (GetFullPathNameW, SearchPathW and the like); empty when the call fails.
template <typename Call> std::wstring TextFrom(Call call) {
    std::wstring text(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = call(&text[0], static_cast<DWORD>(text.size()));
        if (length == 0 || length < text.size()) {
            text.resize(length);
            return text;
        }
        text.resize(length);
    }
}

// A module's path as the runtime and the loader take it from where it is written: a registry value
// by its type (only REG_EXPAND_SZ is expanded), and quotes stripped only where the runtime strips
// them.
class CModulePath {
public:
    // A path as given (a target, a folder on PATH): without surrounding blanks and quotes, as when
    // it is pasted with its quotes.
    explicit CModulePath(const std::wstring& path);
    // InprocServer32 as the runtime loads it: from a REG_SZ the text between its first two quotes
    // where it has them.
    static CModulePath Library(const RegistryValue& value);
    // The program a command line starts (DllSurrogate): its first token when quoted, else the
    // whole line, which CreateProcess tries space by space.
    static CModulePath Program(const RegistryValue& value);
    // As written, quotes and all (DllSurrogateExecutable, CreateProcess's application name).
    static CModulePath Exact(const RegistryValue& value);
    // A TypeLib entry, without the index of a type library resource (their.dll\2).
    static CModulePath TypeLibrary(const RegistryValue& value);

    const std::wstring& Text() const { return m_text; }
    // The file name the loader looks for: ".dll" is added to a name without an extension.
    std::wstring FileName() const;
    // A path that only means something against a working directory (dir\x.dll, ..\x.dll, C:x.dll,
    // \x.dll); the host's is not the tool's.
    bool IsRelative() const;
    // C:\... or \\server\...: the same file whatever the working directory.
    bool IsFull() const;
    // The file the loader takes: a full path as it is; a bare name from the system directory, then
    // from a folder on PATH. Empty for a relative path and for a bare name found nowhere.
    std::wstring Resolve() const;

private:
    CModulePath() = default;
    // The text of a string value, expanded when it is a REG_EXPAND_SZ; empty for other types.
    static std::wstring Stored(const RegistryValue& value);

    std::wstring m_text;
};
