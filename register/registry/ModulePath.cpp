#include "ModulePath.h"

#include <windows.h>

#include <algorithm>

namespace {

std::wstring Expand(const std::wstring& text) {
    // The size it gives counts the terminating null, whether it fits or not.
    const std::wstring expanded = TextFrom([&](wchar_t* buffer, DWORD size) {
        const DWORD length = ExpandEnvironmentStringsW(text.c_str(), buffer, size);
        return length != 0 && length <= size ? length - 1 : length;
    });
    return expanded.empty() ? text : expanded;
}

// C:\... or \\server\...
bool IsFull(const std::wstring& path) {
    const auto slash = [&](size_t at) { return path[at] == L'\\' || path[at] == L'/'; };
    return (path.size() >= 3 && path[1] == L':' && slash(2)) ||
           (path.size() >= 2 && slash(0) && slash(1));
}

std::wstring Trimmed(const std::wstring& text) {
    const auto first = text.find_first_not_of(L" \t");
    const auto last = text.find_last_not_of(L" \t");
    return first == std::wstring::npos ? std::wstring() : text.substr(first, last - first + 1);
}

} // namespace

CModulePath::CModulePath(const std::wstring& path) : m_text(Trimmed(path)) {
    if (m_text.size() >= 2 && m_text.front() == L'"' && m_text.back() == L'"') {
        m_text = m_text.substr(1, m_text.size() - 2);
    }
}

std::wstring CModulePath::Stored(const RegistryValue& value) {
    return !value.IsString()             ? std::wstring()
           : value.type == REG_EXPAND_SZ ? Expand(value.Text())
                                         : value.Text();
}

CModulePath CModulePath::Library(const RegistryValue& value) {
    CModulePath path = Exact(value);
    const size_t open = value.type == REG_SZ ? path.m_text.find(L'"') : std::wstring::npos;
    const size_t close = open == std::wstring::npos ? open : path.m_text.find(L'"', open + 1);
    if (close != std::wstring::npos) {
        path.m_text = path.m_text.substr(open + 1, close - open - 1);
    }
    return path;
}

CModulePath CModulePath::Program(const RegistryValue& value) {
    CModulePath path = Exact(value);
    if (!path.m_text.empty() && path.m_text.front() == L'"') {
        path.m_text = path.m_text.substr(1, path.m_text.find(L'"', 1) - 1);
    }
    return path;
}

CModulePath CModulePath::Exact(const RegistryValue& value) {
    CModulePath path;
    path.m_text = Trimmed(Stored(value));
    return path;
}

CModulePath CModulePath::TypeLibrary(const RegistryValue& value) {
    CModulePath path = Exact(value);
    const size_t slash = path.m_text.find_last_of(L"\\/");
    if (slash != std::wstring::npos && slash + 1 < path.m_text.size() &&
        path.m_text.find_first_not_of(L"0123456789", slash + 1) == std::wstring::npos) {
        path.m_text.resize(slash);
    }
    return path;
}

std::wstring CModulePath::FileName() const {
    const auto slash = m_text.find_last_of(L"\\/:");
    const std::wstring name = slash == std::wstring::npos ? m_text : m_text.substr(slash + 1);
    return name.find(L'.') == std::wstring::npos ? name + L".dll" : name;
}

bool CModulePath::IsRelative() const {
    return !::IsFull(m_text) && m_text.find_first_of(L"\\/:") != std::wstring::npos;
}

bool CModulePath::IsFull() const {
    return ::IsFull(m_text);
}

std::wstring CModulePath::Resolve() const {
    if (m_text.empty() || IsRelative()) {
        return {};
    }
    if (m_text.find_first_of(L"\\/:") != std::wstring::npos) {
        return m_text;
    }
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    std::wstring folders =
        length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(system, length);
    // A relative folder on PATH would be the tool's working directory's, not the host's.
    const std::wstring path = TextFrom(
        [](wchar_t* buffer, DWORD size) { return GetEnvironmentVariableW(L"PATH", buffer, size); });
    for (size_t start = 0; start < path.size();) {
        const size_t end = std::min(path.find(L';', start), path.size());
        const CModulePath folder(path.substr(start, end - start));
        if (folder.IsFull()) {
            folders += L";" + folder.Text();
        }
        start = end + 1;
    }
    return TextFrom([&](wchar_t* buffer, DWORD size) {
        return SearchPathW(folders.c_str(), m_text.c_str(), L".dll", size, buffer, nullptr);
    });
}
