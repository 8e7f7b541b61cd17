#include "ClassRegistry.h"

#include "ChildProcess.h"
#include "Text.h"

bool SetClassesValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    return RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
}

void DeleteClassKeys(REFCLSID clsid) {
    const std::wstring text = win::GuidText(clsid);
    for (const std::wstring& key : {L"CLSID\\" + text, L"AppID\\" + text}) {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
        RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
    }
}

CSelfRegisteredDll::CSelfRegisteredDll(const std::wstring& path)
    : m_module(LoadLibraryW(path.c_str())) {
    m_registered = SUCCEEDED(Call("DllRegisterServer"));
}

CSelfRegisteredDll::~CSelfRegisteredDll() {
    if (m_registered) {
        Call("DllUnregisterServer");
    }
}

HRESULT CSelfRegisteredDll::Call(const char* entry) const {
    const auto function = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(m_module.Get(), entry)));
    return function == nullptr ? E_NOTIMPL : function();
}

CRegisteredClass::CRegisteredClass(REFCLSID clsid, const std::wstring& dll,
                                   const wchar_t* threadingModel)
    : m_clsid(clsid) {
    const std::wstring text = win::GuidText(clsid);
    const std::wstring server = L"CLSID\\" + text + L"\\InprocServer32";
    m_registered = SetClassesValue(L"CLSID\\" + text, L"AppID", text) &&
                   SetClassesValue(server, nullptr, dll) &&
                   (threadingModel == nullptr ||
                    SetClassesValue(server, L"ThreadingModel", threadingModel)) &&
                   SetClassesValue(L"AppID\\" + text, L"DllSurrogate",
                                   ProgramPath(L"pelmora-surrogate.exe"));
}
