#pragma once

#include <string>

// Whether the DLL registered at path (as the class's InprocServer32 names it) has a live object,
// by its own DllCanUnloadNow. False while it is not loaded into this process (or path is empty);
// a DLL without DllCanUnloadNow cannot say, and counts as in use. Asked from the apartment whose
// objects the DLL serves.
bool DllInUse(const std::wstring& path);
