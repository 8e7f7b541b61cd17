#include "ClassesView.h"

#include "Text.h"

#include <objbase.h>

#include <algorithm>
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

// Values compared without regard to the order the registry lists them in.
std::optional<Values> Sorted(std::optional<Values> values) {
    if (values) {
        // A key's value names are unique.
        std::sort(values->begin(), values->end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    return values;
}

} // namespace

const std::optional<Values>& CRegistryReader::Read(const KeyName& key) const {
    auto found = m_read.find(key);
    if (found == m_read.end()) {
        LONG error = ERROR_SUCCESS;
        found = m_read.emplace(key, m_registry.Read(key, &error)).first;
        if (error == ERROR_ACCESS_DENIED && !m_denied) {
            m_denied = key;
        }
    }
    return found->second;
}

std::optional<KeyName> CRegistryReader::Changed(const std::vector<KeyName>& keys) const {
    for (const KeyName& key : keys) {
        const auto found = m_read.find(key);
        if (found != m_read.end() && Sorted(found->second) != Sorted(m_registry.Read(key))) {
            return key;
        }
    }
    return std::nullopt;
}

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
    return machine == IMAGE_FILE_MACHINE_I386 || machine == IMAGE_FILE_MACHINE_ARMNT
               ? std::optional<REGSAM>(KEY_WOW64_32KEY)
           : machine == IMAGE_FILE_MACHINE_AMD64 || machine == IMAGE_FILE_MACHINE_ARM64
               ? std::optional<REGSAM>(KEY_WOW64_64KEY)
               : std::nullopt;
}

std::wstring MachineName(WORD machine) {
    const wchar_t* const name = machine == IMAGE_FILE_MACHINE_I386    ? L"x86"
                                : machine == IMAGE_FILE_MACHINE_AMD64 ? L"x64"
                                : machine == IMAGE_FILE_MACHINE_ARM64 ? L"ARM64"
                                : machine == IMAGE_FILE_MACHINE_ARMNT ? L"ARM"
                                                                      : nullptr;
    wchar_t text[32] = {};
    if (name != nullptr) {
        swprintf(text, 32, L"%ls (%ls)", Bits(*ViewOf(machine)), name);
    } else {
        swprintf(text, 32, L"of machine 0x%04X", machine);
    }
    return text;
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
