#include "ModulePath.h"

#include <windows.h>

#include <vector>

namespace {

std::wstring Expand(const std::wstring& text) {
    const DWORD size = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (size == 0) {
        return text;
    }
    std::wstring expanded(size, L'\0');
    const DWORD length = ExpandEnvironmentStringsW(text.c_str(), &expanded[0], size);
    if (length == 0 || length > size) {
        return text;
    }
    expanded.resize(length - 1);
    return expanded;
}

std::wstring Variable(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    std::wstring value(size, L'\0');
    const DWORD length = size == 0 ? 0 : GetEnvironmentVariableW(name, &value[0], size);
    value.resize(length < size ? length : 0);
    return value;
}

bool IsSlash(wchar_t c) {
    return c == L'\\' || c == L'/';
}

} // namespace

CModulePath::CModulePath(const std::wstring& registered) {
    const auto first = registered.find_first_not_of(L" \t");
    const auto last = registered.find_last_not_of(L" \t");
    std::wstring text =
        first == std::wstring::npos ? std::wstring() : registered.substr(first, last - first + 1);
    if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"') {
        text = text.substr(1, text.size() - 2);
    }
    m_text = Expand(text);
}

std::wstring CModulePath::FileName() const {
    const auto slash = m_text.find_last_of(L"\\/:");
    const std::wstring name = slash == std::wstring::npos ? m_text : m_text.substr(slash + 1);
    return name.find(L'.') == std::wstring::npos ? name + L".dll" : name;
}

bool CModulePath::IsRelative() const {
    const bool drive = m_text.size() >= 3 && m_text[1] == L':' && IsSlash(m_text[2]);
    const bool unc = m_text.size() >= 2 && IsSlash(m_text[0]) && IsSlash(m_text[1]);
    return !drive && !unc && m_text.find_first_of(L"\\/:") != std::wstring::npos;
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
    const std::wstring folders =
        (length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(system, length)) + L";" +
        Variable(L"PATH");
    std::vector<wchar_t> found(MAX_PATH);
    for (;;) {
        const DWORD size = SearchPathW(folders.c_str(), m_text.c_str(), L".dll",
                                       static_cast<DWORD>(found.size()), found.data(), nullptr);
        if (size == 0) {
            return {};
        }
        if (size < found.size()) {
            return std::wstring(found.data(), size);
        }
        found.resize(size);
    }
}
