#pragma once

#include <string>

// A path as registered in InprocServer32 or DllSurrogate, taken as the runtime and the loader
// take it: without surrounding blanks and quotes, with environment strings expanded.
class CModulePath {
public:
    explicit CModulePath(const std::wstring& registered);

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
    std::wstring m_text;
};
