#include "RegistryReader.h"

#include <algorithm>

namespace {

// Values compared without regard to the order the registry lists them in.
std::optional<Values> Sorted(std::optional<Values> values) {
    if (values) {
        std::sort(values->begin(), values->end(), [](const auto& a, const auto& b) {
            return a.first != b.first ? a.first < b.first : a.second.type < b.second.type;
        });
    }
    return values;
}

bool Same(const std::optional<Values>& a, const std::optional<Values>& b) {
    if (a.has_value() != b.has_value()) {
        return false;
    }
    if (!a) {
        return true;
    }
    const auto left = Sorted(a);
    const auto right = Sorted(b);
    return std::equal(
        left->begin(), left->end(), right->begin(), right->end(),
        [](const auto& x, const auto& y) { return x.first == y.first && x.second == y.second; });
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
        if (found != m_read.end() && !Same(found->second, m_registry.Read(key))) {
            return key;
        }
    }
    return std::nullopt;
}
