#include "ClassesView.h"

#include "Text.h"

#include <objbase.h>

#include <set>

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

CClassesView::CClassesView(REGSAM view) : m_view(view) {
    m_roots[0].Open(HKEY_CURRENT_USER, L"Software\\Classes", KEY_READ | m_view);
    m_roots[1].Open(HKEY_LOCAL_MACHINE, L"Software\\Classes", KEY_READ | m_view);
}

size_t CClassesView::Open(const std::wstring& path, REGSAM access, CRegistryKey& key) const {
    for (size_t root = 0; root < kNowhere; ++root) {
        if (Root(root) != nullptr && key.Open(Root(root), path, access | m_view) == ERROR_SUCCESS) {
            return root;
        }
    }
    return kNowhere;
}

void CClassesView::ForEachClass(
    const std::function<void(const std::wstring& clsid, size_t root)>& visit) const {
    std::set<std::wstring> seen;
    for (size_t root = 0; root < kNowhere; ++root) {
        CRegistryKey all;
        if (Root(root) == nullptr ||
            all.Open(Root(root), L"CLSID", KEY_READ | m_view) != ERROR_SUCCESS) {
            continue;
        }
        for (const std::wstring& subkey : all.SubkeyNames()) {
            const std::wstring clsid = CanonicalGuid(subkey);
            if (!clsid.empty() && seen.insert(clsid).second) {
                visit(clsid, root);
            }
        }
    }
}
