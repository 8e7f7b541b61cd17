#include "Files.h"

#include "FileIdentity.h"
#include "ModuleFacts.h"

#include <windows.h>

bool CWinFiles::Exists(const std::wstring& path) const {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring CWinFiles::FullPath(const std::wstring& path) const {
    return CFileIdentity::FullPath(path);
}

bool CWinFiles::Same(const std::wstring& a, const std::wstring& b) const {
    return CFileIdentity(a) == CFileIdentity(b);
}

std::vector<std::wstring> CWinFiles::Names(const std::wstring& path) const {
    return CFileIdentity(path).Names();
}

std::wstring CWinFiles::Resolve(const CModulePath& module) const {
    return module.Resolve();
}

WORD CWinFiles::Machine(const std::wstring& path) const {
    return CModuleFacts(path).Machine();
}

std::optional<std::vector<ClassInterface>> CWinFiles::Interfaces(const std::wstring& path,
                                                                 const std::wstring& clsid) const {
    return CModuleFacts(path).Interfaces(clsid);
}
