#pragma once

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

// A registry value as stored: its type and its bytes, whatever the type.
struct RegistryValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    // A string as RegSetValueEx stores it: the text and one terminating null.
    static RegistryValue String(const std::wstring& text, DWORD type = REG_SZ) {
        const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
        return {type, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t))};
    }

    bool IsString() const { return type == REG_SZ || type == REG_EXPAND_SZ; }

    // As the messages name the type: REG_SZ, REG_DWORD, ... or "type 42".
    std::wstring TypeName() const {
        static const wchar_t* const names[] = {L"REG_NONE",      L"REG_SZ",
                                               L"REG_EXPAND_SZ", L"REG_BINARY",
                                               L"REG_DWORD",     L"REG_DWORD_BIG_ENDIAN",
                                               L"REG_LINK",      L"REG_MULTI_SZ"};
        return type < 8            ? names[type]
               : type == REG_QWORD ? L"REG_QWORD"
                                   : L"type " + std::to_wstring(type);
    }

    // The text of a string value, without the nulls it may end with.
    std::wstring Text() const {
        std::wstring text(data.size() / sizeof(wchar_t), L'\0');
        if (!text.empty()) {
            std::memcpy(&text[0], data.data(), text.size() * sizeof(wchar_t));
        }
        return text.substr(0, text.find_last_not_of(L'\0') + 1);
    }

    bool operator==(const RegistryValue& other) const {
        return type == other.type && data == other.data;
    }
    bool operator!=(const RegistryValue& other) const { return !(*this == other); }
};
