#pragma once

#include "Files.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// What a module's file says of itself, read without loading it as code: the machine in its PE
// header, and the interfaces its type library gives a class.
class CModuleFacts {
public:
    explicit CModuleFacts(std::wstring path) : m_path(std::move(path)) {}

    WORD Machine() const;
    std::optional<std::vector<ClassInterface>> Interfaces(const std::wstring& clsid) const;

private:
    std::wstring m_path;
};
