#pragma once

#include "Registry.h"

// The registry of this machine and user.
class CWinRegistry : public IRegistry {
public:
    std::optional<Values> Read(const KeyName& key, LONG* error = nullptr) const override;
    std::vector<std::wstring> Subkeys(const KeyName& key) const override;
    LONG CheckWrite(const KeyName& key) const override;
    LONG Set(const KeyName& key, const std::wstring& name, const RegistryValue& value) override;
    LONG Delete(const KeyName& key, const std::wstring& name) override;
    LONG DeleteKeyIfEmpty(const KeyName& key) override;
    bool TwoViews() const override;
};
