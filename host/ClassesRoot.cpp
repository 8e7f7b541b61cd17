#include "ClassesRoot.h"

#include "Text.h"

#include <vector>

namespace {

// The mandatory label's level of this process's token; High when it cannot be read, so that a
// token of unknown standing takes the machine's settings only.
DWORD ProcessIntegrityLevel() {
    win::UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put())) {
        return SECURITY_MANDATORY_HIGH_RID;
    }
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenIntegrityLevel, nullptr, 0, &size);
    std::vector<BYTE> label(size);
    if (size == 0 ||
        !GetTokenInformation(token.Get(), TokenIntegrityLevel, label.data(), size, &size)) {
        return SECURITY_MANDATORY_HIGH_RID;
    }
    const PSID sid = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(label.data())->Label.Sid;
    const UCHAR count = *GetSidSubAuthorityCount(sid);
    return count == 0 ? SECURITY_MANDATORY_HIGH_RID : *GetSidSubAuthority(sid, count - 1u);
}

} // namespace

CClassesRoot::CClassesRoot() : CClassesRoot(PerUserAllowed(ProcessIntegrityLevel())) {}

CClassesRoot::CClassesRoot(bool perUserAllowed, HKEY merged, HKEY machine)
    : m_perUser(perUserAllowed), m_merged(merged), m_given(machine) {
    if (!m_perUser && m_given == nullptr) {
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes", 0, KEY_READ, m_machine.Put());
    }
}

bool CClassesRoot::PerUserAllowed(DWORD integrityLevel) {
    return integrityLevel <= SECURITY_MANDATORY_MEDIUM_RID;
}

std::optional<std::wstring> CClassesRoot::ReadString(const std::wstring& key, const wchar_t* value,
                                                     bool expandable) const {
    const DWORD flags = RRF_RT_REG_SZ | (expandable ? 0 : RRF_NOEXPAND);
    DWORD size = 0;
    if (Get() == nullptr ||
        RegGetValueW(Get(), key.c_str(), value, flags, nullptr, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegGetValueW(Get(), key.c_str(), value, flags, nullptr, text.data(), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(text.data());
}

ClassPlacement CClassesRoot::Placement(REFCLSID clsid) const {
    const std::wstring key = L"CLSID\\" + win::GuidText(clsid) + L"\\InprocServer32";
    ClassPlacement placement;
    // The runtime reads the model as REG_SZ only.
    placement.apartment = ApartmentFor(ReadString(key, L"ThreadingModel", false));
    std::wstring path = ReadString(key, nullptr).value_or(L"");
    if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"') {
        path = path.substr(1, path.size() - 2);
    }
    placement.dll = path;
    return placement;
}
