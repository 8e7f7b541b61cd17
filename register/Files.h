#pragma once

#include "ModulePath.h"

#include <string>
#include <vector>

// What the registration tool asks of the file system: the real one, or a model of it in the tests.
class IFiles {
public:
    virtual ~IFiles() = default;

    virtual bool Exists(const std::wstring& path) const = 0;
    virtual std::wstring FullPath(const std::wstring& path) const = 0;
    // Whether two paths name one file, whatever their form.
    virtual bool Same(const std::wstring& a, const std::wstring& b) const = 0;
    // The file's names in its folder: its long name and, when it has one, its 8.3 name.
    virtual std::vector<std::wstring> Names(const std::wstring& path) const = 0;
    // The file the loader takes for a registered module path; empty when that depends on a
    // working directory or is found nowhere.
    virtual std::wstring Resolve(const CModulePath& module) const = 0;
};

// This machine's file system.
class CWinFiles : public IFiles {
public:
    bool Exists(const std::wstring& path) const override;
    std::wstring FullPath(const std::wstring& path) const override;
    bool Same(const std::wstring& a, const std::wstring& b) const override;
    std::vector<std::wstring> Names(const std::wstring& path) const override;
    std::wstring Resolve(const CModulePath& module) const override;
};
