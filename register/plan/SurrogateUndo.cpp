#include "SurrogateUndo.h"

#include "Registry.h"

#include <algorithm>
#include <cwctype>

const wchar_t* const CSurrogateUndo::kSurrogateName = L"DllSurrogate";
const wchar_t* const CSurrogateUndo::kExecutableName = L"DllSurrogateExecutable";
const wchar_t* const CSurrogateUndo::kUndoName = L"PelmoraRegisterUndo";

std::wstring CSurrogateUndo::Entry::Name() const {
    return std::wstring(kUndoName) + L" " + view + L" " + clsid;
}

namespace {

std::wstring Upper(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
    return text;
}

} // namespace

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
            const std::vector<std::wstring> lines = UndoRecord::Lines(value);
            if (lines.empty()) {
                continue;
            }
            m_oldMarker = lines.front();
            const auto replaced = UndoRecord::ParseOldMarker(m_oldMarker);
            for (size_t i = 1; i < lines.size() && !lines[i].empty(); ++i) {
                if (replaced) {
                    m_entries.push_back({L"", lines[i], 0, *replaced, std::nullopt});
                } else {
                    m_unreadable.insert({L"", Upper(lines[i])});
                }
            }
        } else if (StartsWithName(name, prefix)) {
            const size_t space = name.rfind(L' ');
            const std::wstring view = name.substr(prefix.size(), space - prefix.size());
            const std::wstring clsid = name.substr(space + 1);
            if (const auto record = UndoRecord::Parse(value)) {
                m_entries.push_back(
                    {view, clsid, record->layer, record->replaced, record->written});
            } else {
                m_unreadable.insert({Upper(view), Upper(clsid)});
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

bool CSurrogateUndo::Wrote(const Entry& entry, const SurrogateState& state) const {
    if (state.kind != SurrogateState::kValue) {
        return false;
    }
    if (!entry.written) {
        return UndoRecord::IsOldHostValue(state.value);
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
        // Each value as this add left it or as it found it, which an add stopped midway leaves.
        const SurrogateState now = above ? aboveEntry()->replaced : m_current;
        const SurrogateState& was = own->replaced;
        if (!((Wrote(*own, now) || now.SameSurrogate(was)) &&
              (!now.executable || now.executable == was.executable)) &&
            !force) {
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

std::vector<RegistryWrite> CSurrogateUndo::Writes(const KeyName& key) const {
    const auto record = [](const Entry& entry) {
        return UndoRecord{entry.layer, entry.replaced, *entry.written}.Value();
    };
    const auto stored = [&](const Entry& entry) {
        return std::find_if(m_storedEntries.begin(), m_storedEntries.end(), [&](const Entry& s) {
            return !s.view.empty() && s.Name() == entry.Name();
        });
    };
    std::vector<RegistryWrite> writes;
    for (const Entry& entry : m_entries) {
        const auto before = stored(entry);
        if (!entry.view.empty() &&
            (before == m_storedEntries.end() || record(*before) != record(entry))) {
            writes.push_back({RegistryWrite::kSet, key, entry.Name(), record(entry)});
        }
    }
    if (m_current.kind == SurrogateState::kValue && !m_current.SameSurrogate(m_storedCurrent)) {
        writes.push_back({RegistryWrite::kSet, key, kSurrogateName, m_current.value});
    } else if (m_current.kind != SurrogateState::kValue &&
               m_storedCurrent.kind == SurrogateState::kValue) {
        writes.push_back({RegistryWrite::kDelete, key, kSurrogateName, {}});
    }
    if (m_current.executable != m_storedCurrent.executable) {
        writes.push_back(
            m_current.executable
                ? RegistryWrite{RegistryWrite::kSet, key, kExecutableName, *m_current.executable}
                : RegistryWrite{RegistryWrite::kDelete, key, kExecutableName, {}});
    }
    for (const Entry& before : m_storedEntries) {
        if (!before.view.empty() &&
            std::none_of(m_entries.begin(), m_entries.end(), [&](const Entry& entry) {
                return !entry.view.empty() && entry.Name() == before.Name();
            })) {
            writes.push_back({RegistryWrite::kDelete, key, before.Name(), {}});
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
        writes.push_back(oldLines.size() > 1
                             ? RegistryWrite{RegistryWrite::kSet, key, kUndoName,
                                             UndoRecord::MultiString(oldLines)}
                             : RegistryWrite{RegistryWrite::kDelete, key, kUndoName, {}});
    }
    if (m_current.kind == SurrogateState::kNoKey && m_keyExists && !writes.empty()) {
        writes.push_back({RegistryWrite::kDeleteKeyIfEmpty, key, {}, {}});
    }
    return writes;
}
