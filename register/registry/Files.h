#pragma once

#include "ModulePath.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// An interface a class implements, as its type library describes it.
struct ClassInterface {
    // How the runtime can marshal it without a proxy/stub DLL of its own: a dispinterface only
    // through IDispatch; dual and oleautomation ones through the type library.
    enum Kind { kCustom, kOleAutomation, kDual, kDispatch };
    std::wstring iid; // braced, upper case
    std::wstring name;
    Kind kind = kCustom;
};

// What a PE image's headers say of it.
struct PeImage {
    WORD machine = 0;     // IMAGE_FILE_MACHINE_I386, _AMD64, ...; 0: no PE image, or unreadable
    bool dll = false;     // a DLL, not a program
    bool managed = false; // a .NET assembly: it has a CLR header
};

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
    virtual PeImage Image(const std::wstring& path) const = 0;
    // The interfaces the class implements, from the type library in the file (a .tlb, or one
    // embedded in a DLL); nothing when the file has none or it does not describe the class.
    virtual std::optional<std::vector<ClassInterface>>
    Interfaces(const std::wstring& path, const std::wstring& clsid) const = 0;
};

// This machine's file system.
class CWinFiles : public IFiles {
public:
    bool Exists(const std::wstring& path) const override;
    std::wstring FullPath(const std::wstring& path) const override;
    bool Same(const std::wstring& a, const std::wstring& b) const override;
    std::vector<std::wstring> Names(const std::wstring& path) const override;
    std::wstring Resolve(const CModulePath& module) const override;
    PeImage Image(const std::wstring& path) const override;
    std::optional<std::vector<ClassInterface>> Interfaces(const std::wstring& path,
                                                          const std::wstring& clsid) const override;
};
