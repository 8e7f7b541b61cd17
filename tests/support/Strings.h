#pragma once

// Text helpers of the tests; GUID text is the programs' own (win/Text.h).
#include "Text.h"

#include <algorithm>
#include <cwctype>
#include <string>

using win::GuidText;

// Letters lowered, for comparing paths and file names.
inline std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

// ASCII text as the narrow output of a program shows it.
inline std::string Ascii(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}
