#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A file as the file system knows it: the serial number of its volume and its index there, so
// that an 8.3 name, another letter case, a subst drive or a junction all name the same file. A file
// that cannot be opened is known by its full path only.
class CFileIdentity {
public:
    explicit CFileIdentity(const std::wstring& path);

    bool operator==(const CFileIdentity& other) const;
    bool operator!=(const CFileIdentity& other) const { return !(*this == other); }

    // The names of the file in its folder: its long name and, when it has one, its 8.3 name.
    const std::vector<std::wstring>& Names() const { return m_names; }

    static std::wstring FullPath(const std::wstring& path);

private:
    bool m_opened = false;
    BY_HANDLE_FILE_INFORMATION m_info = {};
    std::wstring m_fullPath;
    std::vector<std::wstring> m_names;
};
