// The built pelmora-surrogate.exe as a file: subsystem, imports and resources.
#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// Just enough of the PE format to read the subsystem and the names of imported DLLs.
class CPeFile {
public:
    explicit CPeFile(const std::wstring& path) {
        std::ifstream file(path.c_str(), std::ios::binary);
        m_bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    bool Valid() const { return Headers() != nullptr; }

    WORD Subsystem() const {
        const auto* nt = Headers();
        return IsPe32Plus()
                   ? reinterpret_cast<const IMAGE_NT_HEADERS64*>(nt)->OptionalHeader.Subsystem
                   : reinterpret_cast<const IMAGE_NT_HEADERS32*>(nt)->OptionalHeader.Subsystem;
    }

    std::vector<std::string> ImportedDlls() const {
        const auto* nt = Headers();
        const IMAGE_DATA_DIRECTORY& directory =
            IsPe32Plus()
                ? reinterpret_cast<const IMAGE_NT_HEADERS64*>(nt)->OptionalHeader.DataDirectory[1]
                : reinterpret_cast<const IMAGE_NT_HEADERS32*>(nt)->OptionalHeader.DataDirectory[1];
        std::vector<std::string> names;
        for (DWORD rva = directory.VirtualAddress;; rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            const auto* descriptor = At<IMAGE_IMPORT_DESCRIPTOR>(rva);
            if (descriptor == nullptr || descriptor->Name == 0) {
                break;
            }
            const char* name = At<char>(descriptor->Name);
            if (name == nullptr) {
                break;
            }
            names.emplace_back(name);
        }
        return names;
    }

private:
    const IMAGE_NT_HEADERS32* Headers() const {
        if (m_bytes.size() < sizeof(IMAGE_DOS_HEADER)) {
            return nullptr;
        }
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(m_bytes.data());
        if (dos->e_magic != IMAGE_DOS_SIGNATURE ||
            static_cast<size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64) > m_bytes.size()) {
            return nullptr;
        }
        const auto* nt =
            reinterpret_cast<const IMAGE_NT_HEADERS32*>(m_bytes.data() + dos->e_lfanew);
        return nt->Signature == IMAGE_NT_SIGNATURE ? nt : nullptr;
    }

    bool IsPe32Plus() const {
        return Headers()->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    }

    // The file data at a relative virtual address, or nullptr outside every section.
    template <typename T> const T* At(DWORD rva) const {
        const auto* nt = Headers();
        const auto* section = IMAGE_FIRST_SECTION(nt);
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
            if (rva >= section->VirtualAddress &&
                rva < section->VirtualAddress + section->SizeOfRawData) {
                const size_t offset = section->PointerToRawData + (rva - section->VirtualAddress);
                return offset + sizeof(T) <= m_bytes.size()
                           ? reinterpret_cast<const T*>(m_bytes.data() + offset)
                           : nullptr;
            }
        }
        return nullptr;
    }

    std::vector<char> m_bytes;
};

TEST(Image, IsAWindowsGuiProgram) {
    const CPeFile image(ProgramPath(L"pelmora-surrogate.exe"));
    ASSERT_TRUE(image.Valid());
    EXPECT_EQ(image.Subsystem(), IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

// Self-contained: every DLL the image imports is one the system itself provides, so no compiler
// runtime (libstdc++, libgcc, winpthread, a Visual C++ redistributable) has to be shipped beside
// it.
TEST(Image, ImportsOnlySystemDlls) {
    const CPeFile image(ProgramPath(L"pelmora-surrogate.exe"));
    ASSERT_TRUE(image.Valid());
    wchar_t system[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    const auto imports = image.ImportedDlls();
    EXPECT_FALSE(imports.empty());
    for (const auto& name : imports) {
        const std::wstring path =
            std::wstring(system) + L"\\" + std::wstring(name.begin(), name.end());
        EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << name;
    }
}

BOOL CALLBACK CollectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
    reinterpret_cast<std::vector<LPWSTR>*>(param)->push_back(name);
    return TRUE;
}

TEST(Image, CarriesOneManifestRequestingAsInvokerWithoutUiAccess) {
    const HMODULE module =
        LoadLibraryExW(ProgramPath(L"pelmora-surrogate.exe").c_str(), nullptr,
                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    std::vector<LPWSTR> names;
    EnumResourceNamesW(module, RT_MANIFEST, CollectName, reinterpret_cast<LONG_PTR>(&names));
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], MAKEINTRESOURCEW(1));

    const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(resource, nullptr);
    const char* data = static_cast<const char*>(LockResource(LoadResource(module, resource)));
    ASSERT_NE(data, nullptr);
    const std::string manifest(data, SizeofResource(module, resource));
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos) << manifest;
    FreeLibrary(module);
}

TEST(Image, CarriesTheVersionAndProductName) {
    const std::wstring path = ProgramPath(L"pelmora-surrogate.exe");
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);

    wchar_t* product = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\ProductName",
                               reinterpret_cast<void**>(&product), &length));
    EXPECT_STREQ(product, L"Pelmora COM Surrogate");
}

} // namespace
