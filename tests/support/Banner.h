#pragma once

#include <windows.h>

#include <string>

// The host's banner as it prints it, with the project's one version: the product line, the
// process id and an empty line, each ended by newline.
inline std::string Banner(DWORD processId, const std::string& newline) {
    return "Pelmora COM Surrogate Ver." PELMORA_VERSION + newline +
           "Current Process ID : " + std::to_string(processId) + newline + newline;
}
