#include "Files.h"

#include "ModulePath.h"
#include "Registry.h"
#include "Unique.h"

namespace {

std::wstring LastPart(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// A file as the file system knows it: the serial number of its volume and its index there, so
// that an 8.3 name, another letter case, a subst drive or a junction all name the same file. A
// file that cannot be opened is known by its full path only.
struct Identity {
    explicit Identity(const std::wstring& path) : fullPath(CWinFiles().FullPath(path)) {
        // File system redirection applies here as it does to the host that loads the file.
        const win::UniqueFileHandle file(
            CreateFileW(fullPath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        opened = file && GetFileInformationByHandle(file.Get(), &info) != FALSE;
    }
    bool operator==(const Identity& other) const {
        return opened && other.opened
                   ? info.dwVolumeSerialNumber == other.info.dwVolumeSerialNumber &&
                         info.nFileIndexHigh == other.info.nFileIndexHigh &&
                         info.nFileIndexLow == other.info.nFileIndexLow
                   : SameName(fullPath, other.fullPath);
    }

    std::wstring fullPath;
    BY_HANDLE_FILE_INFORMATION info = {};
    bool opened = false;
};

} // namespace

bool CWinFiles::Exists(const std::wstring& path) const {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring CWinFiles::FullPath(const std::wstring& path) const {
    const std::wstring full = TextFrom([&](wchar_t* buffer, DWORD size) {
        return GetFullPathNameW(path.c_str(), size, buffer, nullptr);
    });
    return full.empty() ? path : full;
}

bool CWinFiles::Same(const std::wstring& a, const std::wstring& b) const {
    return Identity(a) == Identity(b);
}

std::vector<std::wstring> CWinFiles::Names(const std::wstring& path) const {
    const std::wstring full = FullPath(path);
    std::vector<std::wstring> names = {LastPart(full)};
    for (const auto get : {GetLongPathNameW, GetShortPathNameW}) {
        const std::wstring name = LastPart(
            TextFrom([&](wchar_t* buffer, DWORD size) { return get(full.c_str(), buffer, size); }));
        if (!name.empty() && !SameName(name, names[0])) {
            names.push_back(name);
        }
    }
    return names;
}

std::wstring CWinFiles::Resolve(const CModulePath& module) const {
    return module.Resolve();
}
