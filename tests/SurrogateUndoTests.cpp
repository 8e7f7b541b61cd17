// The undo records of an AppID key, driven directly against a model of the key as 64-bit Windows
// has it: one key that the tools of both bitnesses read and write. Each step is one run of a tool,
// which reads the key afresh and stores its writes.
#include "SurrogateUndo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

using Outcome = CSurrogateUndo::Outcome;

const std::wstring kClass = L"{5E1C0A01-0000-4000-8000-00000000B001}";
const std::wstring kOther = L"{5E1C0A01-0000-4000-8000-00000000B002}";

RegistryValue Sz(const std::wstring& text, DWORD type = REG_SZ) {
    return RegistryValue::String(text, type);
}

RegistryValue MultiSz(const std::vector<std::wstring>& lines) {
    std::wstring text;
    for (const auto& line : lines) {
        text += line + L'\0';
    }
    return RegistryValue::String(text, REG_MULTI_SZ);
}

RegistryValue Raw(DWORD type, std::vector<BYTE> data) {
    return {type, std::move(data)};
}

// What each build's tool writes: its host, in a folder of its own.
const RegistryValue kHost32 = Sz(L"C:\\Pelmora\\x86\\pelmora-surrogate.exe");
const RegistryValue kHost64 = Sz(L"C:\\Pelmora\\x64\\pelmora-surrogate.exe");
const RegistryValue kHand = Sz(L"C:\\Somebody\\else.exe");
const RegistryValue kOldCopy = Sz(L"C:\\Pelmora\\1.0\\pelmora-surrogate.exe");

struct Key {
    bool exists = false;
    Values values; // in name order

    void Set(const std::wstring& name, const RegistryValue& value) {
        exists = true;
        Erase(name);
        values.emplace_back(name, value);
        std::sort(values.begin(), values.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    void Erase(const std::wstring& name) {
        values.erase(std::remove_if(values.begin(), values.end(),
                                    [&](const auto& value) { return value.first == name; }),
                     values.end());
    }
    bool operator==(const Key& other) const {
        return exists == other.exists && values == other.values;
    }
};

void PrintTo(const Key& key, std::ostream* out) {
    *out << (key.exists ? "key" : "no key");
    for (const auto& [name, value] : key.values) {
        *out << "\n  " << std::string(name.begin(), name.end()) << " type " << value.type << ":";
        for (const BYTE b : value.data) {
            *out << " " << static_cast<int>(b);
        }
    }
}

Key WithSurrogate(const RegistryValue& value) {
    return {true, {{L"DllSurrogate", value}}};
}

struct Step {
    enum Kind { kAdd, kRemove, kByHand };
    Kind kind;
    const wchar_t* view; // "32-bit" or "64-bit"; for kByHand, unused
    std::wstring clsid;
    bool force;
    Outcome expected;
    // kByHand: the value's new data; kAdd: the host of another copy of the tool
    std::optional<RegistryValue> value;
    std::wstring name = L"DllSurrogate"; // kByHand: the value set
};

Step Add(const wchar_t* view, Outcome expected, bool force = false,
         const std::wstring& clsid = kClass) {
    return {Step::kAdd, view, clsid, force, expected, std::nullopt};
}
Step Remove(const wchar_t* view, Outcome expected, bool force = false,
            const std::wstring& clsid = kClass) {
    return {Step::kRemove, view, clsid, force, expected, std::nullopt};
}
Step AddFrom(const RegistryValue& host, const wchar_t* view, Outcome expected, bool force) {
    return {Step::kAdd, view, kClass, force, expected, host};
}
Step ByHand(const RegistryValue& value, const std::wstring& name = L"DllSurrogate") {
    return {Step::kByHand, L"", L"", false, Outcome::kUnchanged, value, name};
}

struct Case {
    const char* name;
    Key before;
    std::vector<Step> steps;
    std::optional<Key> after = std::nullopt; // after the last step; by default as before
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

// Stores writes as the tool does; a key is deleted only when nothing is left in it.
void Store(Key& key, const std::vector<RegistryWrite>& writes) {
    for (const auto& write : writes) {
        if (write.kind == RegistryWrite::kSet) {
            key.Set(write.name, write.value);
        } else if (write.kind == RegistryWrite::kDelete) {
            key.Erase(write.name);
        } else if (key.values.empty()) {
            key.exists = false;
        }
    }
}

class SurrogateUndoModel : public ::testing::TestWithParam<Case> {};

TEST_P(SurrogateUndoModel, EveryStepLeavesWhatTheNextCanUndo) {
    const Case& c = GetParam();
    Key key = c.before;
    for (size_t i = 0; i < c.steps.size(); ++i) {
        const Step& step = c.steps[i];
        if (step.kind == Step::kByHand) {
            key.Set(step.name, *step.value);
            continue;
        }
        CSurrogateUndo undo(key.exists, key.values);
        const RegistryValue& host = step.value                             ? *step.value
                                    : std::wstring(step.view) == L"32-bit" ? kHost32
                                                                           : kHost64;
        const auto namesHost = [&](const RegistryValue& value) {
            return value == host ? CSurrogateUndo::Naming::kHost : CSurrogateUndo::Naming::kOther;
        };
        const Outcome outcome = step.kind == Step::kRemove
                                    ? undo.Remove(step.view, step.clsid, step.force)
                                    : undo.Add(step.view, step.clsid, host, namesHost, step.force);
        EXPECT_EQ(static_cast<int>(step.expected), static_cast<int>(outcome)) << "step " << i;
        const std::vector<RegistryWrite> writes = undo.Writes({});
        if (outcome == Outcome::kOtherHost || outcome == Outcome::kChangedSince ||
            outcome == Outcome::kNotListed || outcome == Outcome::kUnchanged ||
            outcome == Outcome::kUnreadable) {
            EXPECT_TRUE(writes.empty()) << "step " << i;
        }
        Store(key, writes);
    }
    EXPECT_EQ(c.after.value_or(c.before), key);
}

const Key kNoKey = {};
const Key kEmptyKey = {true, {}};
const Key kOldRecord = {
    true,
    {{L"DllSurrogate", Sz(L"\"C:\\Program Files\\Pelmora 1.0\\pelmora-surrogate.exe\"")},
     {L"PelmoraRegisterUndo",
      MultiSz({L"expand:%ProgramFiles%\\Other\\host.exe", kOther, kClass})}}};

INSTANTIATE_TEST_SUITE_P(
    Cases, SurrogateUndoModel,
    ::testing::Values(
        Case{"BothViewsRemovedInAddOrder",
             kNoKey,
             {Add(L"32-bit", Outcome::kAdded), Add(L"64-bit", Outcome::kOtherHost),
              Add(L"64-bit", Outcome::kAdded, true), Remove(L"32-bit", Outcome::kRemoved),
              Remove(L"64-bit", Outcome::kRemoved)}},
        Case{"BothViewsRemovedInReverseOrder",
             kEmptyKey,
             {Add(L"32-bit", Outcome::kAdded), Add(L"64-bit", Outcome::kAdded, true),
              Remove(L"64-bit", Outcome::kRemoved), Remove(L"32-bit", Outcome::kRemoved)}},
        Case{"BothViewsOverADword",
             WithSurrogate(Raw(REG_DWORD, {7, 0, 0, 0})),
             {Add(L"64-bit", Outcome::kOtherHost), Add(L"64-bit", Outcome::kAdded, true),
              Add(L"32-bit", Outcome::kAdded, true), Remove(L"64-bit", Outcome::kRemoved),
              Remove(L"32-bit", Outcome::kRemoved)}},
        Case{"ExactBytesOfAStringWithoutItsNull",
             WithSurrogate(Raw(REG_SZ, {'a', 0, 'b', 0})),
             {Add(L"32-bit", Outcome::kAdded, true), Remove(L"32-bit", Outcome::kRemoved)}},
        Case{"ClassesOfOneLayerKeepTheValueUntilTheLast",
             kNoKey,
             {Add(L"32-bit", Outcome::kAdded), Add(L"32-bit", Outcome::kJoined, false, kOther),
              Remove(L"32-bit", Outcome::kRemoved), Add(L"32-bit", Outcome::kJoined),
              Remove(L"32-bit", Outcome::kRemoved, false, kOther),
              Remove(L"32-bit", Outcome::kRemoved)}},
        Case{"PutBackByHandLeavesOnlyTheRecordToDrop",
             WithSurrogate(kHand),
             {Add(L"32-bit", Outcome::kAdded, true), ByHand(kHand),
              Remove(L"32-bit", Outcome::kRemoved)}},
        // The other view's record above a hand-made change: its remove puts back that change,
        // and this one's waits for --force.
        Case{"ChangedByHandBelowAnotherView",
             kNoKey,
             {Add(L"32-bit", Outcome::kAdded), ByHand(kHand), Add(L"64-bit", Outcome::kAdded, true),
              Remove(L"32-bit", Outcome::kChangedSince), Remove(L"64-bit", Outcome::kRemoved),
              Remove(L"32-bit", Outcome::kChangedSince),
              Remove(L"32-bit", Outcome::kRemoved, true)}},
        Case{"ForcedBelowAnotherView",
             kNoKey,
             {Add(L"32-bit", Outcome::kAdded), ByHand(kHand), Add(L"64-bit", Outcome::kAdded, true),
              Remove(L"32-bit", Outcome::kRemoved, true), Remove(L"64-bit", Outcome::kRemoved)}},
        // Added again after the other view covered it: the class moves to the top.
        Case{"ForcedAgainOverTheOtherView",
             kNoKey,
             {Add(L"32-bit", Outcome::kAdded), Add(L"64-bit", Outcome::kAdded, true),
              Add(L"32-bit", Outcome::kOtherHost), Add(L"32-bit", Outcome::kAdded, true),
              Remove(L"32-bit", Outcome::kRemoved), Remove(L"64-bit", Outcome::kRemoved)}},
        Case{"MovedToolAddedAgainKeepsWhatWasReplaced",
             WithSurrogate(kHand),
             {AddFrom(kOldCopy, L"32-bit", Outcome::kAdded, true),
              Add(L"32-bit", Outcome::kAdded, true), Add(L"32-bit", Outcome::kUnchanged),
              Remove(L"32-bit", Outcome::kRemoved)}},
        Case{"OldRecordUnderANewLayer",
             kOldRecord,
             {Add(L"32-bit", Outcome::kOtherHost, false, kOther),
              Add(L"64-bit", Outcome::kAdded, true, kOther), Remove(L"32-bit", Outcome::kRemoved),
              Remove(L"32-bit", Outcome::kNotListed, false, kOther),
              Remove(L"64-bit", Outcome::kRemoved, false, kOther)},
             WithSurrogate(Sz(L"%ProgramFiles%\\Other\\host.exe", REG_EXPAND_SZ))},
        Case{
            "OldRecordChangedByHand",
            {true,
             {{L"DllSurrogate", Sz(L"C:\\Somebody\\pelmora-surrogate.exe.bak")},
              {L"PelmoraRegisterUndo", MultiSz({L"no-key", kClass})}}},
            {Remove(L"32-bit", Outcome::kChangedSince), Remove(L"32-bit", Outcome::kRemoved, true)},
            kNoKey},
        // DllSurrogateExecutable is the program CreateProcess starts: another one is another
        // host, replaced only when forced, and put back.
        Case{"ExecutableOfAnotherProgramIsAnotherHost",
             {true, {{L"DllSurrogate", kHost32}, {L"DllSurrogateExecutable", kHand}}},
             {Add(L"32-bit", Outcome::kOtherHost), Add(L"32-bit", Outcome::kAdded, true),
              Remove(L"32-bit", Outcome::kRemoved)}},
        // Stopped after DllSurrogate but before the executable's deletion: either value as add
        // found it or left it can be undone.
        Case{"StoppedBetweenTheTwoValues",
             {true, {{L"DllSurrogate", kHand}, {L"DllSurrogateExecutable", kHand}}},
             {Add(L"32-bit", Outcome::kAdded, true), ByHand(kHand, L"DllSurrogateExecutable"),
              Remove(L"32-bit", Outcome::kRemoved)}},
        Case{"UnreadableRecord",
             {true,
              {{L"DllSurrogate", kHost32},
               {L"PelmoraRegisterUndo 32-bit " + kClass, MultiSz({L"layer x"})}}},
             {Remove(L"32-bit", Outcome::kUnreadable), Add(L"32-bit", Outcome::kUnreadable, true),
              Remove(L"64-bit", Outcome::kNotListed)}}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

} // namespace
