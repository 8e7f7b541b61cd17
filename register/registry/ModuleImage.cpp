// What a module's file says of itself, read without loading it as code: its PE headers, and the
// interfaces its type library gives a class.
#include "Files.h"

#include "Text.h"
#include "Unique.h"

#include <oleauto.h>

#include <algorithm>
#include <memory>

namespace {

bool ReadAt(HANDLE file, LONG offset, void* buffer, DWORD size) {
    DWORD read = 0;
    return SetFilePointer(file, offset, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
           ReadFile(file, buffer, size, &read, nullptr) && read == size;
}

// The type's attributes, released with the last copy.
std::shared_ptr<const TYPEATTR> Attributes(ITypeInfo* info) {
    TYPEATTR* attributes = nullptr;
    if (FAILED(info->GetTypeAttr(&attributes)) || attributes == nullptr) {
        return nullptr;
    }
    return {attributes, [info](TYPEATTR* held) { info->ReleaseTypeAttr(held); }};
}

std::wstring NameOf(ITypeInfo* info) {
    BSTR name = nullptr;
    if (FAILED(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr)) ||
        name == nullptr) {
        return {};
    }
    std::wstring text(name, SysStringLen(name));
    SysFreeString(name);
    return text;
}

} // namespace

PeImage CWinFiles::Image(const std::wstring& path) const {
    const win::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                 nullptr));
    IMAGE_DOS_HEADER dos = {};
    DWORD signature = 0;
    IMAGE_FILE_HEADER header = {};
    if (!file || !ReadAt(file.Get(), 0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        dos.e_lfanew <= 0 || !ReadAt(file.Get(), dos.e_lfanew, &signature, sizeof(signature)) ||
        signature != IMAGE_NT_SIGNATURE ||
        !ReadAt(file.Get(), dos.e_lfanew + sizeof(signature), &header, sizeof(header))) {
        return {};
    }
    // The CLR header's directory, where the optional header is long enough to hold it.
    const LONG optional = dos.e_lfanew + sizeof(signature) + sizeof(header);
    IMAGE_OPTIONAL_HEADER32 pe32 = {};
    IMAGE_OPTIONAL_HEADER64 pe64 = {};
    ReadAt(file.Get(), optional, &pe32, std::min<DWORD>(header.SizeOfOptionalHeader, sizeof(pe32)));
    ReadAt(file.Get(), optional, &pe64, std::min<DWORD>(header.SizeOfOptionalHeader, sizeof(pe64)));
    const auto& clr = (pe64.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC
                           ? pe64.DataDirectory
                           : pe32.DataDirectory)[IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR];
    return {header.Machine, (header.Characteristics & IMAGE_FILE_DLL) != 0,
            clr.VirtualAddress != 0};
}

std::optional<std::vector<ClassInterface>> CWinFiles::Interfaces(const std::wstring& path,
                                                                 const std::wstring& clsid) const {
    GUID guid = {};
    win::ComPtr<ITypeLib> library;
    win::ComPtr<ITypeInfo> coclass;
    // A DLL's library is read as a resource, whatever the DLL's machine.
    if (FAILED(CLSIDFromString(clsid.c_str(), &guid)) ||
        FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.Put())) ||
        FAILED(library->GetTypeInfoOfGuid(guid, coclass.Put()))) {
        return std::nullopt;
    }
    const auto attributes = Attributes(coclass.Get());
    if (!attributes || attributes->typekind != TKIND_COCLASS) {
        return std::nullopt;
    }
    std::vector<ClassInterface> interfaces;
    for (UINT i = 0; i < attributes->cImplTypes; ++i) {
        HREFTYPE reference = 0;
        win::ComPtr<ITypeInfo> type;
        if (FAILED(coclass->GetRefTypeOfImplType(i, &reference)) ||
            FAILED(coclass->GetRefTypeInfo(reference, type.Put()))) {
            continue;
        }
        const auto implemented = Attributes(type.Get());
        if (!implemented) {
            continue;
        }
        ClassInterface found{win::GuidText(implemented->guid), NameOf(type.Get()),
                             ClassInterface::kCustom};
        if (implemented->wTypeFlags & TYPEFLAG_FDUAL) {
            found.kind = ClassInterface::kDual;
        } else if (implemented->typekind == TKIND_DISPATCH) {
            found.kind = ClassInterface::kDispatch;
        } else if (implemented->wTypeFlags & TYPEFLAG_FOLEAUTOMATION) {
            found.kind = ClassInterface::kOleAutomation;
        }
        interfaces.push_back(found);
    }
    return interfaces;
}
