#include "SurrogateUndo.h"

#include "Registry.h"

#include <algorithm>

const wchar_t* const CSurrogateUndo::kSurrogateName = L"DllSurrogate";
const wchar_t* const CSurrogateUndo::kExecutableName = L"DllSurrogateExecutable";
const wchar_t* const CSurrogateUndo::kUndoName = L"PelmoraRegisterUndo";

namespace {

// A class's record is a multi-string of the lines "layer <n>", "replaced <state>" and
// "written <value>", and "executable <value>" where add replaced a DllSurrogateExecutable too. A
// state is "no-key", "no-value" or a value, and a value is its type in decimal and its bytes in
// hex ("1 43003a00..."); it is named "PelmoraRegisterUndo <view> <CLSID>". 1.0.0 kept one record
// per AppID, named "PelmoraRegisterUndo": the DllSurrogate it replaced ("no-key", "no-value",
// "string:<text>" or "expand:<text>"), then the CLSIDs of the classes relying on it, of either
// view.
constexpr const wchar_t* kNoKey = L"no-key";
constexpr const wchar_t* kNoValue = L"no-value";

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

// 1.0.0's first line: how DllSurrogate was, as a string of the type it had.
std::optional<SurrogateState> ParseOldMarker(const std::wstring& marker) {
    for (const auto& [prefix, type] : {std::pair<std::wstring, DWORD>{L"string:", REG_SZ},
                                       std::pair<std::wstring, DWORD>{L"expand:", REG_EXPAND_SZ}}) {
        if (marker.compare(0, prefix.size(), prefix) == 0) {
            return SurrogateState{SurrogateState::kValue,
                                  RegistryValue::String(marker.substr(prefix.size()), type)};
        }
    }
    return marker == kNoKey || marker == kNoValue ? ParseState(marker) : std::nullopt;
}

// 1.0.0 wrote the full path of the host beside it, quoted when it had a space. It may have moved
// since, so any such path is taken as its.
bool IsOldHostValue(const RegistryValue& value) {
    std::wstring path = value.type == REG_SZ ? value.Text() : L"";
    const bool quoted = path.size() >= 2 && path.front() == L'"' && path.back() == L'"';
    if (quoted) {
        path = path.substr(1, path.size() - 2);
    }
    const std::wstring file = L"\\pelmora-surrogate.exe";
    return path.find(L'"') == std::wstring::npos &&
           quoted == (path.find(L' ') != std::wstring::npos) && path.size() > file.size() &&
           SameName(path.substr(path.size() - file.size()), file);
}

std::vector<std::wstring> Lines(const RegistryValue& value) {
    std::vector<std::wstring> lines;
    const std::wstring text = value.type == REG_MULTI_SZ ? value.Text() : L"";
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find(L'\0', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

RegistryValue MultiString(const std::vector<std::wstring>& lines) {
    std::wstring text;
    for (const auto& line : lines) {
        text += line + L'\0';
    }
    return RegistryValue::String(text, REG_MULTI_SZ);
}

} // namespace

std::wstring CSurrogateUndo::Entry::Name() const {
    return std::wstring(kUndoName) + L" " + view + L" " + clsid;
}

RegistryValue CSurrogateUndo::Entry::Record() const {
    std::vector<std::wstring> lines = {
        L"layer " + std::to_wstring(layer),
        L"replaced " + (replaced.kind == SurrogateState::kNoKey     ? std::wstring(kNoKey)
                        : replaced.kind == SurrogateState::kNoValue ? std::wstring(kNoValue)
                                                                    : ValueText(replaced.value)),
        L"written " + ValueText(*written)};
    if (replaced.executable) {
        lines.push_back(L"executable " + ValueText(*replaced.executable));
    }
    return MultiString(lines);
}

bool CSurrogateUndo::Entry::Parse(const RegistryValue& value) {
    const std::vector<std::wstring> lines = Lines(value);
    const auto after = [&](size_t line, const std::wstring& word) {
        return lines.size() > line && StartsWithName(lines[line], word + L" ")
                   ? lines[line].substr(word.size() + 1)
                   : L"?";
    };
    const std::wstring number = after(0, L"layer");
    const auto state = ParseState(after(1, L"replaced"));
    written = ParseValue(after(2, L"written"));
    const auto executable = ParseValue(after(3, L"executable"));
    if ((lines.size() != 3 && !(lines.size() == 4 && executable)) || !state || !written ||
        number.empty() || number.find_first_not_of(L"0123456789") != std::wstring::npos) {
        return false;
    }
    layer = std::wcstoul(number.c_str(), nullptr, 10);
    replaced = *state;
    replaced.executable = executable;
    return true;
}

CSurrogateUndo::CSurrogateUndo(bool keyExists, const Values& values, SameHost sameHost)
    : m_current{keyExists ? SurrogateState::kNoValue : SurrogateState::kNoKey, {}},
      m_sameHost(std::move(sameHost)), m_keyExists(keyExists) {
    const std::wstring prefix = std::wstring(kUndoName) + L" ";
    for (const auto& [name, value] : values) {
        if (SameName(name, kSurrogateName)) {
            m_current.kind = SurrogateState::kValue;
            m_current.value = value;
        } else if (SameName(name, kExecutableName)) {
            m_current.executable = value;
        } else if (SameName(name, kUndoName)) {
            const std::vector<std::wstring> lines = Lines(value);
            m_oldMarker = lines.empty() ? std::wstring() : lines.front();
            const auto replaced = ParseOldMarker(m_oldMarker);
            for (size_t i = 1; i < lines.size() && !lines[i].empty(); ++i) {
                if (replaced) {
                    m_entries.push_back({L"", lines[i], 0, *replaced, std::nullopt});
                } else {
                    m_unreadable.emplace_back(L"", lines[i]);
                }
            }
        } else if (StartsWithName(name, prefix)) {
            const size_t space = name.rfind(L' ');
            Entry entry{name.substr(prefix.size(), space - prefix.size()), name.substr(space + 1)};
            if (entry.Parse(value)) {
                m_entries.push_back(entry);
            } else {
                m_unreadable.emplace_back(entry.view, entry.clsid);
            }
        }
    }
    m_storedCurrent = m_current;
    m_storedEntries = m_entries;
}

bool CSurrogateUndo::IsUnreadable(const std::wstring& view, const std::wstring& clsid) const {
    return std::any_of(m_unreadable.begin(), m_unreadable.end(), [&](const auto& record) {
        return SameName(record.second, clsid) &&
               (record.first.empty() || SameName(record.first, view));
    });
}

const CSurrogateUndo::Entry* CSurrogateUndo::Find(const std::wstring& view,
                                                  const std::wstring& clsid) const {
    // A record of its own view first, then one of 1.0.0, which stands for either view.
    for (const bool ownView : {true, false}) {
        for (const Entry& entry : m_entries) {
            if (SameName(entry.clsid, clsid) &&
                (ownView ? SameName(entry.view, view) : entry.view.empty())) {
                return &entry;
            }
        }
    }
    return nullptr;
}

void CSurrogateUndo::Erase(const Entry* entry) {
    m_entries.erase(m_entries.begin() + (entry - m_entries.data()));
}

bool CSurrogateUndo::Wrote(const Entry& entry, const SurrogateState& state) const {
    if (state.kind != SurrogateState::kValue) {
        return false;
    }
    if (!entry.written) {
        return IsOldHostValue(state.value);
    }
    return state.value == *entry.written || (m_sameHost && m_sameHost(*entry.written, state.value));
}

bool CSurrogateUndo::HasRecord(const std::wstring& view, const std::wstring& clsid,
                               bool anyView) const {
    const auto listed = [&](const std::wstring& entryView, const std::wstring& entryClsid) {
        return SameName(entryClsid, clsid) && (anyView || SameName(entryView, view));
    };
    return std::any_of(m_entries.begin(), m_entries.end(),
                       [&](const Entry& entry) { return listed(entry.view, entry.clsid); }) ||
           std::any_of(m_unreadable.begin(), m_unreadable.end(),
                       [&](const auto& record) { return listed(record.first, record.second); });
}

bool CSurrogateUndo::HoldsWritten(const std::wstring& view, const std::wstring& clsid) const {
    const Entry* own = Find(view, clsid);
    return own != nullptr &&
           std::none_of(m_entries.begin(), m_entries.end(),
                        [&](const Entry& entry) { return entry.layer > own->layer; }) &&
           Matches(*own, m_current);
}

std::vector<std::pair<std::wstring, std::wstring>>
CSurrogateUndo::Sharers(const std::wstring& view, const std::wstring& clsid) const {
    std::vector<std::pair<std::wstring, std::wstring>> sharers;
    const Entry* own = Find(view, clsid);
    for (const Entry& entry : m_entries) {
        if (own != nullptr && &entry != own && entry.layer == own->layer) {
            sharers.emplace_back(entry.view, entry.clsid);
        }
    }
    return sharers;
}

std::optional<SurrogateState> CSurrogateUndo::Replaced(const std::wstring& view,
                                                       const std::wstring& clsid) const {
    const Entry* own = Find(view, clsid);
    return own == nullptr ? std::nullopt : std::optional<SurrogateState>(own->replaced);
}

CSurrogateUndo::Outcome CSurrogateUndo::Add(const std::wstring& view, const std::wstring& clsid,
                                            const RegistryValue& host, const NamesHost& namesHost,
                                            bool force) {
    if (IsUnreadable(view, clsid)) {
        return Outcome::kUnreadable;
    }
    const auto top = [this] {
        return std::max_element(m_entries.begin(), m_entries.end(),
                                [](const Entry& a, const Entry& b) { return a.layer < b.layer; });
    };
    // No DllSurrogate yet is for add to write, as a form to mend is; no DllSurrogateExecutable
    // leaves DllSurrogate to name the program.
    const Naming surrogate =
        m_current.kind == SurrogateState::kValue ? namesHost(m_current.value) : Naming::kHostToMend;
    const Naming executable =
        m_current.executable ? namesHost(*m_current.executable) : Naming::kHost;
    const bool hostThere = surrogate == Naming::kHost && executable == Naming::kHost;
    const bool other = surrogate == Naming::kOther || executable == Naming::kOther;
    if (const Entry* own = Find(view, clsid)) {
        if (hostThere && own->layer == top()->layer && Matches(*own, m_current)) {
            return Outcome::kUnchanged;
        }
        if (!force && (hostThere || other)) {
            return hostThere ? Outcome::kUnchanged : Outcome::kOtherHost;
        }
        // Out of date (another copy's host, or changed since): taken out as remove would,
        // leaving a changed DllSurrogate as it is now.
        if (Remove(view, clsid, false) == Outcome::kChangedSince) {
            Erase(Find(view, clsid));
        }
    }
    if (hostThere) {
        // Added before for other classes: this one relies on it too. Named so by hand, there is
        // nothing to undo.
        if (!m_entries.empty() && Matches(*top(), m_current)) {
            const Entry shared = *top();
            m_entries.push_back({view, clsid, shared.layer, shared.replaced, m_current.value});
            return Outcome::kJoined;
        }
        return Outcome::kUnchanged;
    }
    if (other && !force) {
        return Outcome::kOtherHost;
    }
    const unsigned layer = m_entries.empty() ? 1 : top()->layer + 1;
    m_entries.push_back({view, clsid, layer, m_current, host});
    m_current = {SurrogateState::kValue, host, std::nullopt};
    return Outcome::kAdded;
}

CSurrogateUndo::Outcome CSurrogateUndo::Remove(const std::wstring& view, const std::wstring& clsid,
                                               bool force) {
    if (IsUnreadable(view, clsid)) {
        return Outcome::kUnreadable;
    }
    const Entry* own = Find(view, clsid);
    if (own == nullptr) {
        return Outcome::kNotListed;
    }
    const unsigned layer = own->layer;
    if (std::count_if(m_entries.begin(), m_entries.end(),
                      [&](const Entry& entry) { return entry.layer == layer; }) == 1) {
        // The value this add wrote is now in DllSurrogate, or was replaced by the layer above.
        Entry* above = nullptr;
        for (Entry& entry : m_entries) {
            if (entry.layer > layer && (above == nullptr || entry.layer < above->layer)) {
                above = &entry;
            }
        }
        // Each value as this add left it or as it found it, which an add stopped midway leaves.
        const SurrogateState now = above != nullptr ? above->replaced : m_current;
        const SurrogateState& was = own->replaced;
        if (!((Wrote(*own, now) || now.SameSurrogate(was)) &&
              (!now.executable || now.executable == was.executable)) &&
            !force) {
            return Outcome::kChangedSince;
        }
        for (Entry& entry : m_entries) {
            if (above != nullptr && entry.layer == above->layer) {
                entry.replaced = was;
            }
        }
        if (above == nullptr) {
            m_current = was;
        }
    }
    // Otherwise other classes still rely on the value.
    Erase(own);
    return Outcome::kRemoved;
}

std::vector<RegistryWrite> CSurrogateUndo::Writes(const KeyName& key) const {
    // The record of this version that has the entry's name, if any.
    const auto named = [](const std::vector<Entry>& entries, const Entry& like) -> const Entry* {
        const auto found = std::find_if(entries.begin(), entries.end(), [&](const Entry& entry) {
            return !entry.view.empty() && entry.Name() == like.Name();
        });
        return found == entries.end() ? nullptr : &*found;
    };
    std::vector<RegistryWrite> writes;
    for (const Entry& entry : m_entries) {
        const Entry* before = named(m_storedEntries, entry);
        if (!entry.view.empty() && (before == nullptr || before->Record() != entry.Record())) {
            writes.push_back({RegistryWrite::kSet, key, entry.Name(), entry.Record()});
        }
    }
    if (m_current.kind == SurrogateState::kValue && !m_current.SameSurrogate(m_storedCurrent)) {
        writes.push_back({RegistryWrite::kSet, key, kSurrogateName, m_current.value});
    } else if (m_current.kind != SurrogateState::kValue &&
               m_storedCurrent.kind == SurrogateState::kValue) {
        writes.push_back({RegistryWrite::kDelete, key, kSurrogateName});
    }
    if (m_current.executable != m_storedCurrent.executable) {
        writes.push_back(
            m_current.executable
                ? RegistryWrite{RegistryWrite::kSet, key, kExecutableName, *m_current.executable}
                : RegistryWrite{RegistryWrite::kDelete, key, kExecutableName});
    }
    for (const Entry& before : m_storedEntries) {
        if (!before.view.empty() && named(m_entries, before) == nullptr) {
            writes.push_back({RegistryWrite::kDelete, key, before.Name()});
        }
    }
    const auto oldLines = [this](const std::vector<Entry>& entries) {
        std::vector<std::wstring> lines = {m_oldMarker};
        for (const Entry& entry : entries) {
            if (entry.view.empty()) {
                lines.push_back(entry.clsid);
            }
        }
        return lines;
    };
    if (const auto lines = oldLines(m_entries); lines != oldLines(m_storedEntries)) {
        writes.push_back(lines.size() > 1 ? RegistryWrite{RegistryWrite::kSet, key, kUndoName,
                                                          MultiString(lines)}
                                          : RegistryWrite{RegistryWrite::kDelete, key, kUndoName});
    }
    if (m_current.kind == SurrogateState::kNoKey && m_keyExists && !writes.empty()) {
        writes.push_back({RegistryWrite::kDeleteKeyIfEmpty, key});
    }
    return writes;
}
