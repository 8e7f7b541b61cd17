#include "ClassesView.h"

#include "Text.h"

#include <objbase.h>

#include <set>

namespace {

// The key whose presence in HKCU decides which root the merged view shows for path.
std::wstring MergeUnit(const std::wstring& path) {
    const size_t first = path.find(L'\\');
    if (first == std::wstring::npos) {
        return path;
    }
    const std::wstring top = path.substr(0, first);
    if (!SameName(top, L"CLSID") && !SameName(top, L"AppID") && !SameName(top, L"Interface") &&
        !SameName(top, L"TypeLib")) {
        return top;
    }
    return path.substr(0, path.find(L'\\', first + 1));
}

} // namespace

std::wstring CanonicalGuid(const std::wstring& text) {
    if (text.size() != 38 || text.front() != L'{' || text.back() != L'}') {
        return {};
    }
    GUID guid = {};
    if (FAILED(IIDFromString(text.c_str(), &guid))) {
        return {};
    }
    return win::GuidText(guid);
}

std::optional<Root> CClassesView::Find(const std::wstring& path) const {
    const std::wstring unit = MergeUnit(path);
    for (const Root root : {Root::kUser, Root::kMachine}) {
        if (m_reader.Read(Key(root, unit))) {
            return m_reader.Read(Key(root, path)) ? std::optional<Root>(root) : std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<Values> CClassesView::Read(const std::wstring& path) const {
    const auto root = Find(path);
    return root ? m_reader.Read(Key(*root, path)) : std::nullopt;
}

std::optional<std::wstring> CClassesView::String(const std::wstring& path,
                                                 const std::wstring& name) const {
    const auto values = Read(path);
    const auto value = values ? ValueOf(*values, name) : std::nullopt;
    return value && value->IsString() ? std::optional<std::wstring>(value->Text()) : std::nullopt;
}

void CClassesView::ForEachClass(
    const std::function<void(const std::wstring& clsid, Root root)>& visit) const {
    std::set<std::wstring> seen;
    for (const Root root : {Root::kUser, Root::kMachine}) {
        for (const std::wstring& subkey : m_reader.Subkeys(Key(root, L"CLSID"))) {
            const std::wstring clsid = CanonicalGuid(subkey);
            // HKCU's key of a class hides HKLM's.
            if (!clsid.empty() && seen.insert(clsid).second) {
                visit(clsid, root);
            }
        }
    }
}
