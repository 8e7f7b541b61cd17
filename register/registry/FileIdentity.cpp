#include "FileIdentity.h"

#include "Unique.h"

namespace {

std::wstring LastPart(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// GetFullPathNameW, GetLongPathNameW and GetShortPathNameW alike.
template <typename Call> std::wstring PathFrom(Call call) {
    std::wstring text(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = call(&text[0], static_cast<DWORD>(text.size()));
        if (length == 0) {
            return {};
        }
        if (length < text.size()) {
            text.resize(length);
            return text;
        }
        text.resize(length);
    }
}

} // namespace

std::wstring CFileIdentity::FullPath(const std::wstring& path) {
    const std::wstring full = PathFrom([&](wchar_t* buffer, DWORD size) {
        return GetFullPathNameW(path.c_str(), size, buffer, nullptr);
    });
    return full.empty() ? path : full;
}

CFileIdentity::CFileIdentity(const std::wstring& path) : m_fullPath(FullPath(path)) {
    // File system redirection applies here as it does to the host that loads the file.
    const win::UniqueFileHandle file(
        CreateFileW(m_fullPath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (file) {
        m_opened = GetFileInformationByHandle(file.Get(), &m_info) != FALSE;
    }
    m_names.push_back(LastPart(m_fullPath));
    for (const auto get : {GetLongPathNameW, GetShortPathNameW}) {
        const std::wstring name = LastPart(PathFrom(
            [&](wchar_t* buffer, DWORD size) { return get(m_fullPath.c_str(), buffer, size); }));
        if (!name.empty() &&
            CompareStringOrdinal(name.c_str(), -1, m_names[0].c_str(), -1, TRUE) != CSTR_EQUAL) {
            m_names.push_back(name);
        }
    }
}

bool CFileIdentity::operator==(const CFileIdentity& other) const {
    if (m_opened && other.m_opened) {
        return m_info.dwVolumeSerialNumber == other.m_info.dwVolumeSerialNumber &&
               m_info.nFileIndexHigh == other.m_info.nFileIndexHigh &&
               m_info.nFileIndexLow == other.m_info.nFileIndexLow;
    }
    return CompareStringOrdinal(m_fullPath.c_str(), static_cast<int>(m_fullPath.size()),
                                other.m_fullPath.c_str(), static_cast<int>(other.m_fullPath.size()),
                                TRUE) == CSTR_EQUAL;
}
