#include "Registry.h"

#include <tuple>

namespace {

int Compare(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) -
           CSTR_EQUAL;
}

} // namespace

bool SameName(const std::wstring& a, const std::wstring& b) {
    return Compare(a, b) == 0;
}

bool StartsWithName(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() && SameName(text.substr(0, prefix.size()), prefix);
}

bool KeyName::operator<(const KeyName& other) const {
    return root != other.root || view != other.view
               ? std::tie(root, view) < std::tie(other.root, other.view)
               : Compare(path, other.path) < 0;
}

std::wstring KeyName::Text() const {
    return std::wstring(RootName(root)) + L"\\Software\\Classes\\" + path;
}

std::optional<RegistryValue> ValueOf(const Values& values, const std::wstring& name) {
    for (const auto& [valueName, value] : values) {
        if (SameName(valueName, name)) {
            return value;
        }
    }
    return std::nullopt;
}
