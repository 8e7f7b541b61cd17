#include "UndoRecord.h"

#include "Registry.h"

#include <algorithm>

namespace {

constexpr const wchar_t* kNoKey = L"no-key";
constexpr const wchar_t* kNoValue = L"no-value";
constexpr const wchar_t* kOldHostFile = L"\\pelmora-surrogate.exe";

std::wstring ValueText(const RegistryValue& value) {
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text = std::to_wstring(value.type) + L" ";
    for (const BYTE b : value.data) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::optional<RegistryValue> ParseValue(const std::wstring& text) {
    const size_t space = text.find(L' ');
    if (space == 0 || space == std::wstring::npos || (text.size() - space - 1) % 2 != 0 ||
        text.find_first_not_of(L"0123456789") < space ||
        text.find_first_not_of(L"0123456789abcdefABCDEF", space + 1) != std::wstring::npos) {
        return std::nullopt;
    }
    RegistryValue value;
    value.type = std::wcstoul(text.substr(0, space).c_str(), nullptr, 10);
    for (size_t i = space + 1; i < text.size(); i += 2) {
        value.data.push_back(static_cast<BYTE>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return value;
}

std::optional<SurrogateState> ParseState(const std::wstring& text) {
    if (text == kNoKey || text == kNoValue) {
        return SurrogateState{text == kNoKey ? SurrogateState::kNoKey : SurrogateState::kNoValue};
    }
    const auto value = ParseValue(text);
    return value ? std::optional<SurrogateState>({SurrogateState::kValue, *value}) : std::nullopt;
}

// The line's text after its word, when it starts with that word and a space.
std::optional<std::wstring> After(const std::wstring& line, const std::wstring& word) {
    return StartsWithName(line, word + L" ")
               ? std::optional<std::wstring>(line.substr(word.size() + 1))
               : std::nullopt;
}

} // namespace

RegistryValue UndoRecord::Value() const {
    const SurrogateState& state = replaced;
    std::vector<std::wstring> lines = {
        L"layer " + std::to_wstring(layer),
        L"replaced " + (state.kind == SurrogateState::kNoKey     ? std::wstring(kNoKey)
                        : state.kind == SurrogateState::kNoValue ? std::wstring(kNoValue)
                                                                 : ValueText(state.value)),
        L"written " + ValueText(written)};
    if (state.executable) {
        lines.push_back(L"executable " + ValueText(*state.executable));
    }
    return MultiString(lines);
}

std::optional<UndoRecord> UndoRecord::Parse(const RegistryValue& value) {
    const std::vector<std::wstring> lines = Lines(value);
    if (lines.size() != 3 && lines.size() != 4) {
        return std::nullopt;
    }
    const auto layer = After(lines[0], L"layer");
    const auto replaced = ParseState(After(lines[1], L"replaced").value_or(L""));
    const auto written = ParseValue(After(lines[2], L"written").value_or(L""));
    const auto executable = lines.size() == 4
                                ? ParseValue(After(lines[3], L"executable").value_or(L""))
                                : std::optional<RegistryValue>();
    if (!layer || layer->empty() || layer->find_first_not_of(L"0123456789") != std::wstring::npos ||
        !replaced || !written || (lines.size() == 4 && !executable)) {
        return std::nullopt;
    }
    UndoRecord record{static_cast<unsigned>(std::wcstoul(layer->c_str(), nullptr, 10)), *replaced,
                      *written};
    record.replaced.executable = executable;
    return record;
}

std::vector<std::wstring> UndoRecord::Lines(const RegistryValue& value) {
    std::vector<std::wstring> lines;
    if (value.type != REG_MULTI_SZ) {
        return lines;
    }
    const std::wstring text = value.Text();
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find(L'\0', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

RegistryValue UndoRecord::MultiString(const std::vector<std::wstring>& lines) {
    std::wstring text;
    for (const auto& line : lines) {
        text += line + L'\0';
    }
    return RegistryValue::String(text, REG_MULTI_SZ);
}

std::optional<SurrogateState> UndoRecord::ParseOldMarker(const std::wstring& marker) {
    if (marker == kNoKey || marker == kNoValue) {
        return ParseState(marker);
    }
    for (const auto& [prefix, type] : {std::pair<std::wstring, DWORD>{L"string:", REG_SZ},
                                       std::pair<std::wstring, DWORD>{L"expand:", REG_EXPAND_SZ}}) {
        if (marker.compare(0, prefix.size(), prefix) == 0) {
            return SurrogateState{SurrogateState::kValue,
                                  RegistryValue::String(marker.substr(prefix.size()), type)};
        }
    }
    return std::nullopt;
}

bool UndoRecord::IsOldHostValue(const RegistryValue& value) {
    if (value.type != REG_SZ) {
        return false;
    }
    std::wstring path = value.Text();
    const bool quoted = path.size() >= 2 && path.front() == L'"' && path.back() == L'"';
    if (quoted) {
        path = path.substr(1, path.size() - 2);
    }
    const std::wstring file = kOldHostFile;
    return path.find(L'"') == std::wstring::npos &&
           quoted == (path.find(L' ') != std::wstring::npos) && path.size() > file.size() &&
           SameName(path.substr(path.size() - file.size()), file);
}
