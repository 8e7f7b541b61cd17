#include "RegistryModel.h"

#include <algorithm>
#include <cwctype>

namespace {

std::wstring UpperText(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
    return text;
}

// Only these are kept per view from Windows 7 on, of the keys COM classes use.
bool IsShared(const std::wstring& upperPath) {
    const std::wstring top = upperPath.substr(0, upperPath.find(L'\\'));
    return top != L"CLSID" && top != L"INTERFACE";
}

std::wstring Parent(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

} // namespace

CRegistryModel::KeyId CRegistryModel::Id(const KeyName& key) const {
    const std::wstring path = UpperText(key.path);
    return {IsShared(path) ? 0 : key.view, std::wstring(RootName(key.root)) + L"\\" + path};
}

std::optional<Values> CRegistryModel::Read(const KeyName& key, LONG* error) const {
    const auto found = m_keys.find(Id(key));
    const bool denied = m_unreadable.count(Id(key)) != 0;
    if (error != nullptr) {
        *error = denied                  ? ERROR_ACCESS_DENIED
                 : found == m_keys.end() ? ERROR_FILE_NOT_FOUND
                                         : ERROR_SUCCESS;
    }
    if (denied) {
        return std::nullopt;
    }
    return found == m_keys.end() ? std::nullopt : std::optional<Values>(found->second.values);
}

std::vector<std::wstring> CRegistryModel::Subkeys(const KeyName& key) const {
    const KeyId parent = Id(key);
    std::vector<std::wstring> names;
    for (const auto& [id, stored] : m_keys) {
        const bool below = id.second.size() > parent.second.size() + 1 &&
                           id.second.compare(0, parent.second.size(), parent.second) == 0 &&
                           id.second[parent.second.size()] == L'\\';
        if (id.first == parent.first && below &&
            id.second.find(L'\\', parent.second.size() + 1) == std::wstring::npos) {
            const std::wstring& path = stored.name.path;
            names.push_back(path.substr(path.rfind(L'\\') + 1));
        }
    }
    return names;
}

LONG CRegistryModel::CheckWrite(const KeyName& key) const {
    for (KeyName at = key;; at.path = Parent(at.path)) {
        if (m_readOnly.count(Id(at)) != 0) {
            return ERROR_ACCESS_DENIED;
        }
        if (m_keys.count(Id(at)) != 0 || at.path.empty()) {
            return ERROR_SUCCESS;
        }
    }
}

void CRegistryModel::CreateKey(const KeyName& key) {
    for (KeyName at = key; !at.path.empty(); at.path = Parent(at.path)) {
        m_keys.emplace(Id(at), Key{at, {}});
    }
}

LONG CRegistryModel::Set(const KeyName& key, const std::wstring& name, const RegistryValue& value) {
    if (CheckWrite(key) != ERROR_SUCCESS) {
        return ERROR_ACCESS_DENIED;
    }
    CreateKey(key);
    Values& values = m_keys.at(Id(key)).values;
    for (auto& [stored, old] : values) {
        if (UpperText(stored) == UpperText(name)) {
            old = value;
            return ERROR_SUCCESS;
        }
    }
    values.emplace_back(name, value);
    return ERROR_SUCCESS;
}

LONG CRegistryModel::Delete(const KeyName& key, const std::wstring& name) {
    if (m_readOnly.count(Id(key)) != 0) {
        return ERROR_ACCESS_DENIED;
    }
    const auto found = m_keys.find(Id(key));
    if (found != m_keys.end()) {
        Values& values = found->second.values;
        values.erase(std::remove_if(values.begin(), values.end(),
                                    [&](const auto& value) {
                                        return UpperText(value.first) == UpperText(name);
                                    }),
                     values.end());
    }
    return ERROR_SUCCESS;
}

LONG CRegistryModel::DeleteKeyIfEmpty(const KeyName& key) {
    const auto found = m_keys.find(Id(key));
    if (found != m_keys.end() && found->second.values.empty() && Subkeys(key).empty()) {
        m_keys.erase(found);
    }
    return ERROR_SUCCESS;
}

void CRegistryModel::DeleteTree(const KeyName& key) {
    const KeyId top = Id(key);
    for (auto at = m_keys.begin(); at != m_keys.end();) {
        const bool below =
            at->first.first == top.first &&
            (at->first.second == top.second || at->first.second.rfind(top.second + L"\\", 0) == 0);
        at = below ? m_keys.erase(at) : std::next(at);
    }
}

std::wstring CRegistryModel::Dump() const {
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    for (const auto& [id, key] : m_keys) {
        text += std::to_wstring(id.first) + L" " + id.second + L"\n";
        Values values = key.values;
        std::sort(values.begin(), values.end(), [](const auto& a, const auto& b) {
            return UpperText(a.first) < UpperText(b.first);
        });
        for (const auto& [name, value] : values) {
            text += L"  " + name + L" " + std::to_wstring(value.type) + L":";
            for (const BYTE b : value.data) {
                text += digits[b >> 4];
                text += digits[b & 15];
            }
            text += L"\n";
        }
    }
    return text;
}

std::wstring CFilesModel::Upper(std::wstring text) {
    return UpperText(std::move(text));
}

void CFilesModel::Add(const std::wstring& path, const std::wstring& file) {
    m_files[Upper(path)] = {path, Upper(file.empty() ? path : file)};
}

bool CFilesModel::Exists(const std::wstring& path) const {
    return m_files.count(Upper(path)) != 0;
}

bool CFilesModel::Same(const std::wstring& a, const std::wstring& b) const {
    const auto left = m_files.find(Upper(a));
    const auto right = m_files.find(Upper(b));
    if (left == m_files.end() || right == m_files.end()) {
        return Upper(a) == Upper(b);
    }
    return left->second.second == right->second.second;
}

std::vector<std::wstring> CFilesModel::Names(const std::wstring& path) const {
    std::vector<std::wstring> names;
    const auto found = m_files.find(Upper(path));
    for (const auto& [upper, entry] : m_files) {
        if (found != m_files.end() && entry.second == found->second.second &&
            Parent(upper) == Parent(found->first)) {
            names.push_back(entry.first.substr(entry.first.rfind(L'\\') + 1));
        }
    }
    return names;
}

std::wstring CFilesModel::Resolve(const CModulePath& module) const {
    if (module.IsFull()) {
        return module.Text();
    }
    if (module.IsRelative()) {
        return {};
    }
    const std::wstring system = L"C:\\windows\\system32\\" + module.FileName();
    return Exists(system) ? system : std::wstring();
}

void CFilesModel::AddImage(const std::wstring& path, WORD machine,
                           std::map<std::wstring, std::vector<ClassInterface>> classes,
                           PeImage image) {
    Add(path);
    Module& module = m_images[Upper(path)];
    module.image = image;
    module.image.machine = machine;
    for (auto& [clsid, interfaces] : classes) {
        module.classes[Upper(clsid)] = std::move(interfaces);
    }
}

PeImage CFilesModel::Image(const std::wstring& path) const {
    const auto file = m_files.find(Upper(path));
    const auto image = file == m_files.end() ? m_images.end() : m_images.find(file->second.second);
    return image == m_images.end() ? PeImage() : image->second.image;
}

std::optional<std::vector<ClassInterface>>
CFilesModel::Interfaces(const std::wstring& path, const std::wstring& clsid) const {
    const auto file = m_files.find(Upper(path));
    const auto image = file == m_files.end() ? m_images.end() : m_images.find(file->second.second);
    if (image == m_images.end()) {
        return std::nullopt;
    }
    const auto found = image->second.classes.find(Upper(clsid));
    return found == image->second.classes.end()
               ? std::nullopt
               : std::optional<std::vector<ClassInterface>>(found->second);
}
