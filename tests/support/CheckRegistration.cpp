#include "CheckRegistration.h"

#include "Text.h"
#include "Unique.h"

namespace {

const std::wstring kClasses = L"Software\\Classes\\";

} // namespace

void DeleteClassesKey(REGSAM view, const std::wstring& key) {
    win::UniqueKey classes;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes", 0, KEY_ALL_ACCESS | view,
                      classes.Put()) != ERROR_SUCCESS) {
        return;
    }
    win::UniqueKey handle;
    if (RegOpenKeyExW(classes.Get(), key.c_str(), 0, KEY_ALL_ACCESS | view, handle.Put()) ==
        ERROR_SUCCESS) {
        RegDeleteTreeW(handle.Get(), nullptr);
        handle.Reset();
        RegDeleteKeyExW(classes.Get(), key.c_str(), view, 0);
    }
}

CCheckRegistration::~CCheckRegistration() {
    // Newest first, so that nothing is removed from under a key written later.
    for (auto it = m_written.rbegin(); it != m_written.rend(); ++it) {
        DeleteClassesKey(it->view, it->key);
    }
}

bool CCheckRegistration::Create(REGSAM view, const std::wstring& key) {
    for (const Written& written : m_written) {
        if (written.view == view && written.key == key) {
            return true;
        }
    }
    win::UniqueKey handle;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kClasses + key).c_str(), 0, nullptr, 0,
                        KEY_READ | view, nullptr, handle.Put(), &disposition) != ERROR_SUCCESS) {
        return false;
    }
    if (disposition != REG_CREATED_NEW_KEY) {
        // Both views share AppID and TypeLib (on 64-bit Windows and under Wine alike): the key
        // may be the one this object created through the other view. Anyone else's is not ours
        // to change or remove.
        for (const Written& written : m_written) {
            if (written.key == key) {
                return true;
            }
        }
        return false;
    }
    m_written.push_back({view, key});
    return true;
}

bool CCheckRegistration::Set(REGSAM view, const std::wstring& key, const wchar_t* name,
                             const std::wstring& value) {
    win::UniqueKey handle;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kClasses + key).c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE | view, nullptr, handle.Put(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return RegSetValueExW(
               handle.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool CCheckRegistration::AddClass(REGSAM view, REFCLSID clsid, const std::wstring& server,
                                  const std::wstring& libId) {
    const std::wstring text = win::GuidText(clsid);
    const std::wstring key = L"CLSID\\" + text;
    return Create(view, key) && Set(view, key, L"AppID", text) &&
           Set(view, key + L"\\InprocServer32", nullptr, server) &&
           Set(view, key + L"\\InprocServer32", L"ThreadingModel", L"Both") &&
           (libId.empty() || Set(view, key + L"\\TypeLib", nullptr, libId));
}

bool CCheckRegistration::AddAppId(REGSAM view, REFGUID appId, const std::wstring& host,
                                  const std::wstring& executable) {
    const std::wstring key = L"AppID\\" + win::GuidText(appId);
    return Create(view, key) && Set(view, key, L"DllSurrogate", host) &&
           (executable.empty() || Set(view, key, L"DllSurrogateExecutable", executable));
}

bool CCheckRegistration::AddInterface(REGSAM view, REFIID iid, const std::wstring& name,
                                      const std::wstring& proxyStubClsid, const std::wstring& libId,
                                      const std::wstring& version) {
    const std::wstring key = L"Interface\\" + win::GuidText(iid);
    return Create(view, key) && Set(view, key, nullptr, name) &&
           Set(view, key + L"\\ProxyStubClsid32", nullptr, proxyStubClsid) &&
           (libId.empty() || (Set(view, key + L"\\TypeLib", nullptr, libId) &&
                              Set(view, key + L"\\TypeLib", L"Version", version)));
}

bool CCheckRegistration::AddTypeLib(
    REGSAM view, REFGUID libId, const std::wstring& version, const std::wstring& name,
    const std::vector<std::pair<std::wstring, std::wstring>>& platformFiles) {
    const std::wstring top = L"TypeLib\\" + win::GuidText(libId);
    const std::wstring key = top + L"\\" + version;
    if (!Create(view, top) || !Set(view, key, nullptr, name) ||
        !Set(view, key + L"\\FLAGS", nullptr, L"0")) {
        return false;
    }
    for (const auto& [platform, file] : platformFiles) {
        const std::wstring folder = file.substr(0, file.find_last_of(L"\\/"));
        if (!Set(view, key + L"\\0\\" + platform, nullptr, file) ||
            !Set(view, key + L"\\HELPDIR", nullptr, folder)) {
            return false;
        }
    }
    return true;
}

bool CCheckRegistration::AddProxyStub(REGSAM view, REFCLSID clsid, const std::wstring& dll) {
    const std::wstring key = L"CLSID\\" + win::GuidText(clsid);
    return Create(view, key) && Set(view, key, nullptr, L"PSFactoryBuffer") &&
           Set(view, key + L"\\InprocServer32", nullptr, dll) &&
           Set(view, key + L"\\InprocServer32", L"ThreadingModel", L"Both");
}
