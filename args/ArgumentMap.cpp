#include "ArgumentMap.h"

#include <iostream>

namespace {

// Only ASCII letters are folded: the forms recognised below are ASCII, and folding anything
// else would make acceptance depend on the C runtime's tables.
std::wstring AsciiLower(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return text;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, std::char_traits<wchar_t>::length(prefix), prefix) == 0;
}

// The closing brace of a braced GUID text ("{" + 36 characters + "}").
constexpr std::wstring::size_type kBareGuidClose = 37;
// The same brace behind "/processid:" (11 characters).
constexpr std::wstring::size_type kProcessIdGuidClose = 11 + kBareGuidClose;

} // namespace

int CArgumentMap::Parse(int count, const wchar_t* const* vector) {
    if (count < 2 || vector == nullptr) {
        return -1;
    }
    for (int i = 1; i < count; ++i) {
        const std::wstring text = vector[i] != nullptr ? vector[i] : L"";
        const std::wstring lowered = AsciiLower(text);
        const auto lastBrace = lowered.rfind(L'}');

        if (StartsWith(lowered, L"{") && lastBrace == kBareGuidClose) {
            (*this)[L"guid"] = text;
        } else if (StartsWith(lowered, L"/processid:{") && lastBrace == kProcessIdGuidClose) {
            (*this)[L"guid"] = text.substr(text.find(L'{'));
        } else if (StartsWith(lowered, L"-embedding")) {
            (*this)[L"embedding"] = L"true";
        } else {
            std::wcout << L"WARNING: Unknown parameter.." << std::endl;
            std::wcout << L"Arg[" << i << L"]:[" << text << L"]" << std::endl;
        }
    }
    return 0;
}
