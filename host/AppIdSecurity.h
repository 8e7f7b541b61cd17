#pragma once

#include <windows.h>
#include <objbase.h>

// A class's AppID value, as this process's registry view holds it: the view in which the runtime
// found the AppID's DllSurrogate that started this host.
struct ClassAppId {
    enum class State {
        None,       // no AppID value (or no class key): nothing configured for the class
        Found,      // a braced GUID, in id
        Unreadable, // a value that is not a braced GUID, or that cannot be read
    };
    State state = State::None;
    GUID id = {};
};

// From classesRoot (HKEY_CLASSES_ROOT, or the machine's classes only: see CClassesRoot).
ClassAppId ReadClassAppId(REFCLSID clsid, HKEY classesRoot);

// Sets the process's COM security from the class's AppID (its AccessPermission,
// AuthenticationLevel and the rest), as the platform's own surrogate does; must come before
// anything is marshalled, or COM settles on other settings for good. A class without an AppID
// value gets what COM applies by itself at the first marshal. False when the host must not serve:
// the AppID cannot be read, or COM refused its settings.
bool ApplyAppIdSecurity(REFCLSID clsid, HKEY classesRoot);
