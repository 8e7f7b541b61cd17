#include "AppIdSecurity.h"

#include "ComRuntime.h"
#include "Text.h"

#include <string>

ClassAppId ReadClassAppId(REFCLSID clsid, HKEY classesRoot) {
    const std::wstring key = L"CLSID\\" + win::GuidText(clsid);
    // Room for a GUID's 38 characters and its null, and more: a longer value is no GUID.
    wchar_t text[64] = {};
    DWORD size = sizeof(text);
    // A REG_EXPAND_SZ value is expanded and passes as REG_SZ; any other type is refused.
    const LSTATUS status =
        RegGetValueW(classesRoot, key.c_str(), L"AppID", RRF_RT_REG_SZ, nullptr, text, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        return {};
    }
    ClassAppId appId;
    appId.state = ClassAppId::State::Unreadable;
    // IIDFromString alone would take an empty text as the null GUID.
    if (status == ERROR_SUCCESS && wcslen(text) == 38 && text[0] == L'{' &&
        SUCCEEDED(IIDFromString(text, &appId.id))) {
        appId.state = ClassAppId::State::Found;
    }
    return appId;
}

bool ApplyAppIdSecurity(REFCLSID clsid, HKEY classesRoot) {
    ClassAppId appId = ReadClassAppId(clsid, classesRoot);
    switch (appId.state) {
    case ClassAppId::State::None:
        return true;
    case ClassAppId::State::Unreadable:
        return false;
    case ClassAppId::State::Found:
        break;
    }
    // With EOAC_APPID every other argument is ignored; these are the ones COM would accept anyway.
    return SUCCEEDED(
        ComRuntime::CoInitializeSecurity(&appId.id, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                         RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_APPID, nullptr));
}
