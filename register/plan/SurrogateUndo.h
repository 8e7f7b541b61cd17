#pragma once

#include "Registry.h"

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// What starts for an AppID: no AppID key at all, a key without DllSurrogate, or its value; and a
// DllSurrogateExecutable, which CreateProcess then starts instead, with DllSurrogate as the
// command line.
struct SurrogateState {
    enum Kind { kNoKey, kNoValue, kValue };
    Kind kind = kNoKey;
    RegistryValue value = {}; // when kValue
    std::optional<RegistryValue> executable = {};

    // The same DllSurrogate for the runtime: no key and no value alike mean none.
    bool SameSurrogate(const SurrogateState& other) const {
        return (kind == kValue) == (other.kind == kValue) &&
               (kind != kValue || value == other.value);
    }
};

// The undo records kept in one AppID key, and what add and remove do to them and to the key's
// DllSurrogate and DllSurrogateExecutable. Works on a copy of the key's values; Writes() says how
// to store the result.
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
        kOtherHost,    // add: another program would start, and force was not given
        kChangedSince, // remove: the value is neither the one written nor the one replaced
        kUnreadable,   // the class's record cannot be read
    };
    // How a value names the host: not at all, as add writes it, or in a form add writes anew (a
    // path with a space but no quotes, which the runtime may take for another program).
    enum class Naming { kOther, kHost, kHostToMend };
    using NamesHost = std::function<Naming(const RegistryValue&)>;
    // Whether a DllSurrogate found now still names the host that add wrote, however it is
    // written (another letter case, say).
    using SameHost = std::function<bool(const RegistryValue& written, const RegistryValue& now)>;

    // keyExists: whether the AppID key exists; values: all of its values. sameHost: by default,
    // the same bytes.
    CSurrogateUndo(bool keyExists, const Values& values, SameHost sameHost = {});

    // view: "32-bit" or "64-bit"; clsid: braced, upper case. host: the value add writes;
    // namesHost: how a value names the host.
    Outcome Add(const std::wstring& view, const std::wstring& clsid, const RegistryValue& host,
                const NamesHost& namesHost, bool force);
    // force: put back the replaced values even when they were changed since.
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

    // The changes to the key since it was read, in an order that leaves an undoable key when
    // interrupted anywhere: records before the value they undo, and removed after it.
    std::vector<RegistryWrite> Writes(const KeyName& key) const;

    static const wchar_t* const kSurrogateName;  // DllSurrogate
    static const wchar_t* const kExecutableName; // DllSurrogateExecutable
    static const wchar_t* const kUndoName;       // the record's name, as 1.0.0 wrote it

private:
    struct Entry {
        std::wstring view; // empty in a record of 1.0.0, which names no view
        std::wstring clsid;
        unsigned layer = 0;
        SurrogateState replaced = {};
        std::optional<RegistryValue> written = {}; // none in a record of 1.0.0
        std::wstring Name() const;
        RegistryValue Record() const;
        // From a record's value; false when it is not one.
        bool Parse(const RegistryValue& value);
    };

    // The class's record, or nullptr.
    const Entry* Find(const std::wstring& view, const std::wstring& clsid) const;
    void Erase(const Entry* entry);
    bool IsUnreadable(const std::wstring& view, const std::wstring& clsid) const;
    // Whether DllSurrogate holds what the class's add wrote; and no DllSurrogateExecutable, as add
    // left it (exactly).
    bool Wrote(const Entry& entry, const SurrogateState& state) const;
    bool Matches(const Entry& entry, const SurrogateState& state) const {
        return Wrote(entry, state) && !state.executable;
    }

    SurrogateState m_current;
    std::vector<Entry> m_entries;
    std::wstring m_oldMarker; // the first line of a 1.0.0 record
    std::vector<std::pair<std::wstring, std::wstring>> m_unreadable; // (view, clsid)
    SameHost m_sameHost;

    // As read.
    bool m_keyExists;
    SurrogateState m_storedCurrent;
    std::vector<Entry> m_storedEntries;
};
