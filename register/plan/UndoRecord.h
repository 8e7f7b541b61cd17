#pragma once

#include "RegistryValue.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

// What starts for an AppID: no AppID key at all, a key without DllSurrogate, or its value; and a
// DllSurrogateExecutable, which CreateProcess then starts instead, with DllSurrogate as the
// command line.
struct SurrogateState {
    enum Kind { kNoKey, kNoValue, kValue };
    Kind kind;
    RegistryValue value; // when kValue
    std::optional<RegistryValue> executable;

    SurrogateState(Kind kind = kNoKey, RegistryValue value = {},
                   std::optional<RegistryValue> executable = std::nullopt)
        : kind(kind), value(std::move(value)), executable(std::move(executable)) {}

    // The same DllSurrogate for the runtime: no key and no value alike mean none.
    bool SameSurrogate(const SurrogateState& other) const {
        return (kind == kValue) == (other.kind == kValue) &&
               (kind != kValue || value == other.value);
    }
    bool SameValue(const SurrogateState& other) const {
        return SameSurrogate(other) && executable == other.executable;
    }
};

// One class's undo record, as add keeps it in the AppID key: a multi-string of the lines
// "layer <n>", "replaced <state>" and "written <value>", and "executable <value>" when add
// replaced a DllSurrogateExecutable too. A state is "no-key", "no-value" or a value, and a value
// is its type in decimal and its bytes in hex ("1 43003a00..."). It is named
// "PelmoraRegisterUndo <view> <CLSID>".
//
// 1.0.0 kept one record per AppID, named "PelmoraRegisterUndo": the DllSurrogate it replaced
// ("no-key", "no-value", "string:<text>" or "expand:<text>"), then the CLSIDs of the classes
// relying on it, of either view.
struct UndoRecord {
    unsigned layer = 0;
    SurrogateState replaced;
    RegistryValue written;

    RegistryValue Value() const;
    // Nothing when the value is not a record of this form.
    static std::optional<UndoRecord> Parse(const RegistryValue& value);

    static std::vector<std::wstring> Lines(const RegistryValue& value);
    static RegistryValue MultiString(const std::vector<std::wstring>& lines);
    // 1.0.0's first line: how DllSurrogate was, as a string of the type it had.
    static std::optional<SurrogateState> ParseOldMarker(const std::wstring& marker);
    // Whether DllSurrogate holds what 1.0.0 wrote: the full path of the host beside it, quoted
    // when it has a space, wherever it has moved since.
    static bool IsOldHostValue(const RegistryValue& value);
};
