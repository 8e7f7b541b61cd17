#include "SurrogateUndo.h"

#include "Registry.h"

#include <algorithm>
#include <cwctype>

const wchar_t* const CSurrogateUndo::kSurrogateName = L"DllSurrogate";
const wchar_t* const CSurrogateUndo::kUndoName = L"PelmoraRegisterUndo";

namespace {

// A record is a multi-string of three lines: "layer <n>", "replaced <state>" and
// "written <value>", where a state is "no-key", "no-value" or a value, and a value is its type in
// decimal and its bytes in hex ("1 43003a00..."). The record of a class is named
// "PelmoraRegisterUndo <view> <CLSID>". 1.0.0 kept one record per AppID, named
// "PelmoraRegisterUndo": the prior DllSurrogate ("no-key", "no-value", "string:<text>" or
// "expand:<text>"), then the CLSIDs of the classes relying on the change, of either view.
constexpr const wchar_t* kNoKey = L"no-key";
constexpr const wchar_t* kNoValue = L"no-value";
constexpr const wchar_t* kOldString = L"string:";
constexpr const wchar_t* kOldExpandString = L"expand:";
constexpr const wchar_t* kOldHostFile = L"\\pelmora-surrogate.exe";

std::wstring Upper(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
    return text;
}

std::vector<std::wstring> Lines(const RegistryValue& value) {
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

RegistryValue MultiString(const std::vector<std::wstring>& lines) {
    std::wstring text;
    for (const auto& line : lines) {
        text += line + L'\0';
    }
    return RegistryValue::String(text, REG_MULTI_SZ);
}

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

std::wstring StateText(const SurrogateState& state) {
    return state.kind == SurrogateState::kNoKey     ? kNoKey
           : state.kind == SurrogateState::kNoValue ? kNoValue
                                                    : ValueText(state.value);
}

std::optional<SurrogateState> ParseState(const std::wstring& text) {
    if (text == kNoKey) {
        return SurrogateState{SurrogateState::kNoKey, {}};
    }
    if (text == kNoValue) {
        return SurrogateState{SurrogateState::kNoValue, {}};
    }
    const auto value = ParseValue(text);
    return value ? std::optional<SurrogateState>({SurrogateState::kValue, *value}) : std::nullopt;
}

// 1.0.0's first line: how DllSurrogate was, as a string of the type it had.
std::optional<SurrogateState> ParseOldMarker(const std::wstring& marker) {
    if (marker == kNoKey || marker == kNoValue) {
        return ParseState(marker);
    }
    for (const auto& [prefix, type] :
         {std::pair<std::wstring, DWORD>{kOldString, REG_SZ}, {kOldExpandString, REG_EXPAND_SZ}}) {
        if (marker.compare(0, prefix.size(), prefix) == 0) {
            return SurrogateState{SurrogateState::kValue,
                                  RegistryValue::String(marker.substr(prefix.size()), type)};
        }
    }
    return std::nullopt;
}

// 1.0.0 wrote the full path of the host beside it, quoted when it had a space. It may have moved
// since, so any such path is taken as its.
bool IsOldHostValue(const RegistryValue& value) {
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

} // namespace

CSurrogateUndo::CSurrogateUndo(bool keyExists, const Values& values, SameHost sameHost)
    : m_current{keyExists ? SurrogateState::kNoValue : SurrogateState::kNoKey, {}},
      m_sameHost(std::move(sameHost)), m_keyExists(keyExists) {
    const std::wstring prefix = std::wstring(kUndoName) + L" ";
    for (const auto& [name, value] : values) {
        if (SameName(name, kSurrogateName)) {
            m_current = {SurrogateState::kValue, value};
        } else if (SameName(name, kUndoName)) {
            const std::vector<std::wstring> lines = Lines(value);
            if (lines.empty()) {
                continue;
            }
            m_oldMarker = lines.front();
            const auto replaced = ParseOldMarker(m_oldMarker);
            for (size_t i = 1; i < lines.size() && !lines[i].empty(); ++i) {
                if (replaced) {
                    m_entries.push_back({L"", lines[i], 0, *replaced, std::nullopt});
                } else {
                    m_unreadable.insert({L"", Upper(lines[i])});
                }
            }
        } else if (StartsWithName(name, prefix)) {
            const size_t space = name.rfind(L' ');
            Entry entry{name.substr(prefix.size(), space - prefix.size()),
                        name.substr(space + 1),
                        0,
                        {},
                        std::nullopt};
            const std::vector<std::wstring> lines = Lines(value);
            const auto replaced = lines.size() == 3 && StartsWithName(lines[1], L"replaced ")
                                      ? ParseState(lines[1].substr(9))
                                      : std::nullopt;
            const auto written = lines.size() == 3 && StartsWithName(lines[2], L"written ")
                                     ? ParseValue(lines[2].substr(8))
                                     : std::nullopt;
            if (replaced && written && StartsWithName(lines[0], L"layer ") && lines[0].size() > 6 &&
                lines[0].find_first_not_of(L"0123456789", 6) == std::wstring::npos) {
                entry.layer = std::wcstoul(lines[0].c_str() + 6, nullptr, 10);
                entry.replaced = *replaced;
                entry.written = *written;
                m_entries.push_back(entry);
            } else {
                m_unreadable.insert({Upper(entry.view), Upper(entry.clsid)});
            }
        }
    }
    m_storedCurrent = m_current;
    m_storedEntries = m_entries;
}

bool CSurrogateUndo::IsUnreadable(const std::wstring& view, const std::wstring& clsid) const {
    return m_unreadable.count({Upper(view), Upper(clsid)}) != 0 ||
           m_unreadable.count({L"", Upper(clsid)}) != 0;
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

bool CSurrogateUndo::Matches(const Entry& entry, const SurrogateState& state) const {
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
    const bool hostThere = m_current.kind == SurrogateState::kValue && namesHost(m_current.value);
    if (const Entry* own = Find(view, clsid)) {
        if (hostThere && own->layer == top()->layer && Matches(*own, m_current)) {
            return Outcome::kUnchanged;
        }
        if (!force) {
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
    if (m_current.kind == SurrogateState::kValue && !force) {
        return Outcome::kOtherHost;
    }
    const unsigned layer = m_entries.empty() ? 1 : top()->layer + 1;
    m_entries.push_back({view, clsid, layer, m_current, host});
    m_current = {SurrogateState::kValue, host};
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
    const auto inLayer = [&](unsigned n) {
        return std::count_if(m_entries.begin(), m_entries.end(),
                             [&](const Entry& entry) { return entry.layer == n; });
    };
    if (inLayer(layer) == 1) {
        // The value this add wrote is now in DllSurrogate, or was replaced by the layer above.
        std::optional<unsigned> above;
        for (const Entry& entry : m_entries) {
            if (entry.layer > layer && (!above || entry.layer < *above)) {
                above = entry.layer;
            }
        }
        const auto aboveEntry = [&] {
            return std::find_if(m_entries.begin(), m_entries.end(),
                                [&](const Entry& entry) { return entry.layer == *above; });
        };
        const SurrogateState now = above ? aboveEntry()->replaced : m_current;
        if (!Matches(*own, now) && !now.SameValue(own->replaced) && !force) {
            return Outcome::kChangedSince;
        }
        if (!above) {
            m_current = own->replaced;
        }
        for (Entry& entry : m_entries) {
            if (above && entry.layer == *above) {
                entry.replaced = own->replaced;
            }
        }
    }
    // Otherwise other classes still rely on the value.
    Erase(own);
    return Outcome::kRemoved;
}

std::vector<CSurrogateUndo::Write> CSurrogateUndo::Writes() const {
    const auto name = [](const Entry& entry) {
        return std::wstring(kUndoName) + L" " + entry.view + L" " + entry.clsid;
    };
    const auto record = [](const Entry& entry) {
        return MultiString({L"layer " + std::to_wstring(entry.layer),
                            L"replaced " + StateText(entry.replaced),
                            L"written " + ValueText(*entry.written)});
    };
    const auto stored = [&](const Entry& entry) {
        return std::find_if(m_storedEntries.begin(), m_storedEntries.end(), [&](const Entry& s) {
            return !s.view.empty() && name(s) == name(entry);
        });
    };
    std::vector<Write> writes;
    for (const Entry& entry : m_entries) {
        const auto before = stored(entry);
        if (!entry.view.empty() &&
            (before == m_storedEntries.end() || record(*before) != record(entry))) {
            writes.push_back({Write::kSet, name(entry), record(entry)});
        }
    }
    if (m_current.kind == SurrogateState::kValue && !m_current.SameValue(m_storedCurrent)) {
        writes.push_back({Write::kSet, kSurrogateName, m_current.value});
    } else if (m_current.kind != SurrogateState::kValue &&
               m_storedCurrent.kind == SurrogateState::kValue) {
        writes.push_back({Write::kDelete, kSurrogateName, {}});
    }
    for (const Entry& before : m_storedEntries) {
        if (!before.view.empty() &&
            std::none_of(m_entries.begin(), m_entries.end(), [&](const Entry& entry) {
                return !entry.view.empty() && name(entry) == name(before);
            })) {
            writes.push_back({Write::kDelete, name(before), {}});
        }
    }
    std::vector<std::wstring> oldLines = {m_oldMarker};
    std::vector<std::wstring> storedOldLines = {m_oldMarker};
    for (const Entry& entry : m_entries) {
        if (entry.view.empty()) {
            oldLines.push_back(entry.clsid);
        }
    }
    for (const Entry& entry : m_storedEntries) {
        if (entry.view.empty()) {
            storedOldLines.push_back(entry.clsid);
        }
    }
    if (oldLines != storedOldLines) {
        writes.push_back(oldLines.size() > 1 ? Write{Write::kSet, kUndoName, MultiString(oldLines)}
                                             : Write{Write::kDelete, kUndoName, {}});
    }
    if (m_current.kind == SurrogateState::kNoKey && m_keyExists && !writes.empty()) {
        writes.push_back({Write::kDeleteKeyIfEmpty, {}, {}});
    }
    return writes;
}

void CSurrogateUndo::Written() {
    m_keyExists = m_current.kind != SurrogateState::kNoKey || !m_entries.empty();
    m_storedCurrent = m_current;
    m_storedEntries = m_entries;
}
