#pragma once

#include "Registry.h"

#include <map>

// Reads through to a registry once per key and keeps what it read, so that one command works on
// one state of each key, and can tell before it writes whether any of them changed since.
class CRegistryReader {
public:
    explicit CRegistryReader(const IRegistry& registry) : m_registry(registry) {}

    const std::optional<Values>& Read(const KeyName& key) const;
    std::vector<std::wstring> Subkeys(const KeyName& key) const { return m_registry.Subkeys(key); }

    // The first of these keys, read before, that no longer holds what was read, if any.
    std::optional<KeyName> Changed(const std::vector<KeyName>& keys) const;
    // The first key read that the user may not read: what is below it is unknown, not absent.
    const std::optional<KeyName>& Denied() const { return m_denied; }

private:
    const IRegistry& m_registry;
    mutable std::map<KeyName, std::optional<Values>> m_read;
    mutable std::optional<KeyName> m_denied;
};
