#pragma once

#include "RegistryValue.h"

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

// An AppID's DllSurrogate: no AppID key at all, a key without the value, or a value.
struct SurrogateState {
    enum Kind { kNoKey, kNoValue, kValue };
    Kind kind = kNoKey;
    RegistryValue value; // when kValue

    // The same DllSurrogate for the runtime: no key and no value alike mean none.
    bool SameValue(const SurrogateState& other) const {
        return (kind == kValue) == (other.kind == kValue) &&
               (kind != kValue || value == other.value);
    }
};

// The undo records kept in one AppID key, and what add and remove do to them and to the key's
// DllSurrogate. Works on a copy of the key's values; Writes() says how to store the result.
//
// Each class of each registry view that add pointed at the host has a record of its own: the
// DllSurrogate it replaced and the one it wrote. The AppID key is shared by both views, so its
// records form a stack of layers, numbered upwards: classes added onto the same value share a
// layer, and an add that replaces the value starts a new one on top. Removing a layer's last class
// puts back its replaced value, into DllSurrogate for the top layer, or into the replaced value of
// the layer above it otherwise, so that each later remove still restores the right thing.
class CSurrogateUndo {
public:
    enum class Outcome {
        kUnchanged,    // add: the class is already served by the host; nothing to record
        kAdded,        // add: DllSurrogate now names the host
        kJoined,       // add: DllSurrogate already named the host for classes added before
        kRemoved,      // remove: the record is gone, and the replaced value back where it belongs
        kNotListed,    // remove: there is no record of the class
        kOtherHost,    // add: another value is there and force was not given
        kChangedSince, // remove: the value is neither the one written nor the one replaced
        kUnreadable,   // the class's record cannot be read
    };
    using Values = std::vector<std::pair<std::wstring, RegistryValue>>;
    using NamesHost = std::function<bool(const RegistryValue&)>;
    // Whether a DllSurrogate found now still names the host that add wrote, however it is
    // written (another letter case, say).
    using SameHost = std::function<bool(const RegistryValue& written, const RegistryValue& now)>;

    // keyExists: whether the AppID key exists; values: all of its values. sameHost: by default,
    // the same bytes.
    CSurrogateUndo(bool keyExists, const Values& values, SameHost sameHost = {});

    // view: "32-bit" or "64-bit"; clsid: braced, upper case. host: the value add writes;
    // namesHost: whether a value names the host, however it is written.
    Outcome Add(const std::wstring& view, const std::wstring& clsid, const RegistryValue& host,
                const NamesHost& namesHost, bool force);
    // force: put back the replaced value even when DllSurrogate was changed since.
    Outcome Remove(const std::wstring& view, const std::wstring& clsid, bool force);

    const SurrogateState& Current() const { return m_current; }
    // What remove of the class would put back, when it has a record.
    std::optional<SurrogateState> Replaced(const std::wstring& view,
                                           const std::wstring& clsid) const;
    // Whether the key holds a record of the class, readable or not: of that view exactly, or
    // (anyView) of any view, 1.0.0's included.
    bool HasRecord(const std::wstring& view, const std::wstring& clsid, bool anyView) const;
    // Whether DllSurrogate now holds the value the class's add wrote.
    bool HoldsWritten(const std::wstring& view, const std::wstring& clsid) const;
    // The other classes (view, CLSID) that rely on the value the class's add wrote.
    std::vector<std::pair<std::wstring, std::wstring>> Sharers(const std::wstring& view,
                                                               const std::wstring& clsid) const;

    struct Write {
        enum Kind { kSet, kDelete, kDeleteKeyIfEmpty };
        Kind kind;
        std::wstring name;
        RegistryValue value; // for kSet
    };
    // The changes since the key was read, in an order that leaves an undoable key when
    // interrupted anywhere: records before the value they undo, and removed after it.
    std::vector<Write> Writes() const;
    // The writes are stored: they are the new starting point.
    void Written();

    static const wchar_t* const kSurrogateName; // DllSurrogate
    static const wchar_t* const kUndoName;      // the record's name, as 1.0.0 wrote it

private:
    struct Entry {
        std::wstring view; // empty in a record of 1.0.0, which names no view
        std::wstring clsid;
        unsigned layer = 0;
        SurrogateState replaced;
        std::optional<RegistryValue> written; // none in a record of 1.0.0
    };

    // The class's record, or nullptr.
    const Entry* Find(const std::wstring& view, const std::wstring& clsid) const;
    void Erase(const Entry* entry);
    bool IsUnreadable(const std::wstring& view, const std::wstring& clsid) const;
    bool Matches(const Entry& entry, const SurrogateState& state) const;

    SurrogateState m_current;
    std::vector<Entry> m_entries;
    std::wstring m_oldMarker; // the first line of a 1.0.0 record
    std::set<std::pair<std::wstring, std::wstring>> m_unreadable; // (view, clsid)
    SameHost m_sameHost;

    // As last read or written.
    bool m_keyExists;
    SurrogateState m_storedCurrent;
    std::vector<Entry> m_storedEntries;
};
