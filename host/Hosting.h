#pragma once

#include <string>

// Serves the class named by clsidText until the COM runtime frees the surrogate; returns the
// exit code.
int RunSurrogate(const std::wstring& clsidText);
