#include "ClassesView.h"

#include "Text.h"

#include <objbase.h>

#include <cstdio>
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

std::optional<REGSAM> ViewOf(WORD machine) {
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386:
    case IMAGE_FILE_MACHINE_ARMNT:
        return KEY_WOW64_32KEY;
    case IMAGE_FILE_MACHINE_AMD64:
    case IMAGE_FILE_MACHINE_ARM64:
        return KEY_WOW64_64KEY;
    default:
        return std::nullopt;
    }
}

std::wstring MachineName(WORD machine) {
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386:
        return L"32-bit (x86)";
    case IMAGE_FILE_MACHINE_AMD64:
        return L"64-bit (x64)";
    case IMAGE_FILE_MACHINE_ARM64:
        return L"64-bit (ARM64)";
    case IMAGE_FILE_MACHINE_ARMNT:
        return L"32-bit (ARM)";
    default: {
        wchar_t text[16] = {};
        swprintf(text, 16, L"0x%04X", machine);
        return std::wstring(L"of machine ") + text;
    }
    }
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

std::optional<RegistryValue> CClassesView::Value(const std::wstring& path,
                                                 const std::wstring& name) const {
    const auto values = Read(path);
    return values ? ValueOf(*values, name) : std::nullopt;
}

std::optional<std::wstring> CClassesView::String(const std::wstring& path,
                                                 const std::wstring& name) const {
    const auto value = Value(path, name);
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
