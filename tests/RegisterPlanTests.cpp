// pelmora-register's plans, driven directly against a model of 64-bit Windows's registry: each
// case is a starting state, the commands of one or more tools (with the edits an installer or a
// user makes between them), what each command says, and the state it leaves.
#include "Registration.h"
#include "RegistryModel.h"
#include "Registry.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

struct Tool {
    REGSAM view;
    std::wstring host;
};
const Tool kOwn{KEY_WOW64_64KEY, L"C:\\Pelmora\\x64\\pelmora-surrogate.exe"};
const Tool kOther{KEY_WOW64_32KEY, L"C:\\Pelmora\\x86\\pelmora-surrogate.exe"};
// A copy unpacked elsewhere earlier, since deleted by a case.
const Tool kEarlierCopy{KEY_WOW64_64KEY, L"C:\\Pelmora 1.1\\x64\\pelmora-surrogate.exe"};
const std::wstring kHost = kOwn.host;
const std::wstring kHostShortName = L"C:\\Pelmora\\x64\\PELMOR~1.EXE";
const std::wstring kOtherHost = L"\"C:\\Program Files\\Other\\surrogate.exe\"";
const std::wstring kDll = L"C:\\Vendor\\vendor.dll";
const std::wstring kOcx = L"C:\\Vendor\\vendor.ocx";

const std::wstring kP = L"{5E1C0A01-0000-4000-8000-00000000C001}";  // no AppID
const std::wstring kS1 = L"{5E1C0A01-0000-4000-8000-00000000C002}"; // AppID kA
const std::wstring kS2 = L"{5E1C0A01-0000-4000-8000-00000000C003}"; // AppID kA
const std::wstring kH = L"{5E1C0A01-0000-4000-8000-00000000C004}";  // AppID kH, another host
const std::wstring kO = L"{5E1C0A01-0000-4000-8000-00000000C005}";  // 32-bit view
const std::wstring kU = L"{5E1C0A01-0000-4000-8000-00000000C006}";  // per user
const std::wstring kQ = L"{5E1C0A01-0000-4000-8000-00000000C007}";
const std::wstring kA = L"{5E1C0A01-0000-4000-8000-00000000CA01}";
const std::wstring kV = L"{5E1C0A01-0000-4000-8000-00000000CA02}"; // a vendor's AppID
const std::wstring kUnknown = L"{5E1C0A01-0000-4000-8000-00000000FFFF}";

RegistryValue Sz(const std::wstring& text, DWORD type = REG_SZ) {
    return RegistryValue::String(text, type);
}

RegistryValue Raw(DWORD type, std::vector<BYTE> data) {
    return {type, std::move(data)};
}

RegistryValue MultiSz(const std::vector<std::wstring>& lines) {
    std::wstring text;
    for (const auto& line : lines) {
        text += line + L'\0';
    }
    return Sz(text, REG_MULTI_SZ);
}

// A key as "HKLM\CLSID\{...}": HKCU or HKLM, then 32 for the 32-bit view (the tool's own is the
// 64-bit one).
KeyName Key(const std::wstring& text) {
    const size_t slash = text.find(L'\\');
    const std::wstring root = text.substr(0, slash);
    return {root.compare(0, 4, L"HKCU") == 0 ? Root::kUser : Root::kMachine,
            static_cast<REGSAM>(root.size() > 4 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY),
            text.substr(slash + 1)};
}

const std::wstring kWholeKey = L"<key>";
const std::wstring kReadOnly = L"<read-only>";
const std::wstring kUnreadable = L"<unreadable>";

// A value set, or deleted (no value); with kWholeKey, the key created or deleted with its subkeys;
// with kReadOnly, the key made one that the user may not write; with kUnreadable, nor read.
struct Entry {
    std::wstring key;
    std::wstring name;
    std::optional<RegistryValue> value;
};
using Entries = std::vector<Entry>;

Entries operator+(Entries a, const Entries& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A class as regsvr32 registers it: its key, ProgID and InprocServer32. root: "HKLM", "HKCU",
// "HKLM32".
Entries Class(const std::wstring& clsid, const std::wstring& progId,
              const std::wstring& root = L"HKLM") {
    const std::wstring key = root + L"\\CLSID\\" + clsid;
    return {{key, L"", Sz(progId)},
            {key + L"\\ProgID", L"", Sz(progId)},
            {key + L"\\InprocServer32", L"", Sz(kDll)},
            {key + L"\\InprocServer32", L"ThreadingModel", Sz(L"Both")},
            {root + L"\\" + progId + L"\\CLSID", L"", Sz(clsid)}};
}

Entries Uninstalled(const std::wstring& clsid, const std::wstring& progId,
                    const std::wstring& root = L"HKLM") {
    return {{root + L"\\CLSID\\" + clsid, kWholeKey, std::nullopt},
            {root + L"\\" + progId, kWholeKey, std::nullopt}};
}

void Edit(CRegistryModel& registry, const Entries& entries) {
    for (const Entry& entry : entries) {
        const KeyName key = Key(entry.key);
        if (entry.name == kReadOnly) {
            registry.MakeReadOnly(key);
        } else if (entry.name == kUnreadable) {
            registry.MakeUnreadable(key);
        } else if (entry.name == kWholeKey) {
            entry.value ? registry.CreateKey(key) : registry.DeleteTree(key);
        } else if (entry.value) {
            registry.Set(key, entry.name, *entry.value);
        } else {
            registry.Delete(key, entry.name);
        }
    }
}

struct Step {
    std::wstring command; // add, remove or list with its options and targets; none: edits only
    const Tool* tool = &kOwn;
    Entries edits = {};                  // before the command
    Entries meanwhile = {};              // between its plan and its writes
    std::vector<std::wstring> said = {}; // each in its output
    int code = kExitOk;
    std::vector<std::wstring> filesGone = {};
};

struct PlanCase {
    const char* name;
    Entries start;
    std::vector<Step> steps;
    // After the last step: the starting state with only the edits made (every command undone),
    // or else unchanged by the last command (or, with values after, only those checked).
    bool restored = true;
    Entries after = {};  // values there after the last step; without a value, absent
    Entries leaves = {}; // when given, the whole state after the last step instead
};

void PrintTo(const PlanCase& plan, std::ostream* out) {
    *out << plan.name;
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

Command Parse(const std::wstring& line) {
    Command command;
    std::vector<std::wstring> words;
    for (size_t start = 0; start < line.size();) {
        const size_t end = std::min(line.find(L' ', start), line.size());
        words.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    command.kind = words[0] == L"add"      ? Command::kAdd
                   : words[0] == L"remove" ? Command::kRemove
                                           : Command::kList;
    for (size_t i = 1; i < words.size(); ++i) {
        if (words[i] == L"--force") {
            command.force = true;
        } else {
            command.targets.push_back(words[i]);
        }
    }
    return command;
}

class RegisterPlan : public ::testing::TestWithParam<PlanCase> {
protected:
    RegisterPlan() {
        for (const Tool* tool : {&kOwn, &kOther, &kEarlierCopy}) {
            m_files.Add(tool->host);
        }
        m_files.Add(kHostShortName, kHost);
        m_files.Add(kDll);
        m_files.Add(kOcx);
        m_files.Add(L"vendor.ocx", kOcx); // as the working directory names it
        m_files.AddImage(L"C:\\Vendor\\vendor32.dll", IMAGE_FILE_MACHINE_I386);
        m_files.AddImage(L"C:\\Vendor\\vendor.exe", IMAGE_FILE_MACHINE_AMD64, {},
                         {0, false, false});
        m_files.AddImage(L"C:\\Vendor\\managed.dll", IMAGE_FILE_MACHINE_I386, {}, {0, true, true});
    }

    CRegistryModel m_registry;
    CFilesModel m_files;
};

TEST_P(RegisterPlan, SaysWhatItDoesAndLeavesTheExpectedState) {
    const PlanCase& plan = GetParam();
    CRegistryModel edited; // the start with the edits alone
    for (CRegistryModel* registry : {&m_registry, &edited}) {
        // As on every machine.
        registry->CreateKey(Key(L"HKLM\\AppID"));
        registry->CreateKey(Key(L"HKCU\\AppID"));
        Edit(*registry, plan.start);
    }
    std::wstring beforeLast;
    for (const Step& step : plan.steps) {
        Edit(m_registry, step.edits);
        Edit(edited, step.edits);
        for (const std::wstring& file : step.filesGone) {
            m_files.Remove(file);
        }
        if (step.command.empty()) {
            continue;
        }
        std::wstring said;
        const auto print = [&](const std::wstring& line) { said += line + L"\n"; };
        CRegistrar registrar(m_registry, m_files, step.tool->view, step.tool->host);
        const Plan made = registrar.MakePlan(Parse(step.command));
        Edit(m_registry, step.meanwhile);
        Edit(edited, step.meanwhile);
        beforeLast = m_registry.Dump();
        const int code = registrar.Apply(made, print, print);
        EXPECT_EQ(step.code, code) << Narrow(step.command) << "\n" << Narrow(said);
        for (const std::wstring& text : step.said) {
            EXPECT_NE(std::wstring::npos, said.find(text))
                << Narrow(step.command) << " did not say " << Narrow(text) << "\n"
                << Narrow(said);
        }
    }
    CRegistryModel left;
    left.CreateKey(Key(L"HKLM\\AppID"));
    left.CreateKey(Key(L"HKCU\\AppID"));
    Edit(left, plan.leaves);
    if (plan.restored || plan.after.empty() || !plan.leaves.empty()) {
        EXPECT_EQ(Narrow(!plan.leaves.empty() ? left.Dump()
                         : plan.restored      ? edited.Dump()
                                              : beforeLast),
                  Narrow(m_registry.Dump()));
    }
    for (const Entry& entry : plan.after) {
        const auto values = m_registry.Read(Key(entry.key));
        const auto value = values ? ValueOf(*values, entry.name) : std::nullopt;
        EXPECT_EQ(entry.value.has_value(), value.has_value())
            << Narrow(entry.key + L" " + entry.name);
        if (entry.value && value) {
            EXPECT_TRUE(*entry.value == *value) << Narrow(entry.key + L" " + entry.name);
        }
    }
}

// The classes' keys and values as they are commonly found.
const Entries kShared = Class(kS1, L"Pelmora.S1") + Class(kS2, L"Pelmora.S2") +
                        Entries{{L"HKLM\\CLSID\\" + kS1, L"AppID", Sz(kA)},
                                {L"HKLM\\CLSID\\" + kS2, L"AppID", Sz(kA)},
                                {L"HKLM\\AppID\\" + kA, L"", Sz(L"Shared by two classes")}};
const Entries kHosted =
    Class(kH, L"Pelmora.H") + Entries{{L"HKLM\\CLSID\\" + kH, L"AppID", Sz(kH)},
                                      {L"HKLM\\AppID\\" + kH, L"DllSurrogate", Sz(kOtherHost)}};

Entries WithAppIdValue(const RegistryValue& value) {
    return Class(kP, L"Pelmora.P") + Entries{{L"HKLM\\CLSID\\" + kP, L"AppID", value},
                                             {L"HKLM\\AppID\\" + kA, kWholeKey, Sz(L"")}};
}

Entries WithSurrogate(const RegistryValue& value) {
    return Class(kH, L"Pelmora.H") + Entries{{L"HKLM\\CLSID\\" + kH, L"AppID", Sz(kH)},
                                             {L"HKLM\\AppID\\" + kH, L"DllSurrogate", value}};
}

const std::wstring kAdded = L"added: " + kP + L" Pelmora.P -> " + kHost;

INSTANTIATE_TEST_SUITE_P(
    Cases, RegisterPlan,
    ::testing::Values(
        // remove undoes exactly what add wrote, wherever the registration moved since.
        PlanCase{"VendorAppIdSetSinceAddIsKept",
                 Class(kP, L"Pelmora.P"),
                 {{L"add " + kP},
                  {L"remove " + kP,
                   &kOwn,
                   {{L"HKLM\\CLSID\\" + kP, L"AppID", Sz(kV)},
                    {L"HKLM\\AppID\\" + kV, L"RunAs", Sz(L"Interactive User")}},
                   {},
                   {L"removed: " + kP +
                    L" Pelmora.P; its AppID value (HKLM) is kept, as it was "
                    L"changed since add to " +
                    kV}}},
                 true,
                 {{L"HKLM\\AppID\\" + kP, L"DllSurrogate", std::nullopt}}},
        PlanCase{"AppIdValueMadeBinarySinceAddIsKept",
                 Class(kP, L"Pelmora.P"),
                 {{L"add " + kP},
                  {L"remove " + kP,
                   &kOwn,
                   {{L"HKLM\\CLSID\\" + kP, L"AppID", Raw(REG_BINARY, {1, 2})}},
                   {},
                   {L"is kept, as it was changed since add to a REG_BINARY value"}}}},
        PlanCase{
            "PerUserRegistrationSinceAdd",
            Class(kP, L"Pelmora.P"),
            {{L"add " + kP},
             {L"remove " + kP, &kOwn, Class(kP, L"Pelmora.P", L"HKCU"), {}, {L"removed: " + kP}}}},
        PlanCase{"UninstalledSharerIsRemovedByItsClsid",
                 kShared,
                 {{L"add " + kS1 + L" " + kS2},
                  {L"remove Pelmora.S1",
                   &kOwn,
                   Uninstalled(kS2, L"Pelmora.S2"),
                   {},
                   {L"removed: " + kS1 + L" Pelmora.S1; the host stays in AppID " + kA + L" for " +
                    kS2 + L" (64-bit), which add pointed at it too"}},
                  {L"remove " + kS2, &kOwn, {}, {}, {L"removed: " + kS2}}}},
        PlanCase{"ClassUnknownEverywhereIsNotRegistered",
                 Class(kP, L"Pelmora.P"),
                 {{L"remove " + kUnknown,
                   &kOwn,
                   {},
                   {},
                   {kUnknown + L" is not registered in the 64-bit registry view, and no record of "
                               L"add names it"},
                   kExitNotRegistered}}},
        PlanCase{"RecordOfTheOtherBitnessTool",
                 Class(kP, L"Pelmora.P") + Class(kP, L"Pelmora.P", L"HKLM32"),
                 {{L"add " + kP},
                  {L"remove " + kP,
                   &kOther,
                   {},
                   {},
                   {kP + L" Pelmora.P: the 64-bit pelmora-register added it, for the 64-bit "
                         L"registry view; run that one (beside the 64-bit host) to remove it"},
                   kExitOtherTool}},
                 false},
        PlanCase{"RecordOfTheOtherBitnessToolOfAClassOfItsViewOnly",
                 Class(kP, L"Pelmora.P"),
                 {{L"add " + kP},
                  {L"remove " + kP,
                   &kOther,
                   {},
                   {},
                   {L"the 64-bit pelmora-register added it"},
                   kExitOtherTool}},
                 false},
        // Only a full path names this host.
        PlanCase{"BareDllSurrogateIsAnotherHost",
                 WithSurrogate(Sz(L"pelmora-surrogate.exe")),
                 {{L"add " + kH,
                   &kOwn,
                   {},
                   {},
                   {L"already has another host, pelmora-surrogate.exe (--force replaces it)"},
                   kExitOtherHost}},
                 false},
        PlanCase{"RelativeDllSurrogateIsAnotherHost",
                 WithSurrogate(Sz(L"x64\\pelmora-surrogate.exe")),
                 {{L"add " + kH, &kOwn, {}, {}, {L"already has another host"}, kExitOtherHost}},
                 false},
        PlanCase{"HostBy83NameIsThisHost",
                 WithSurrogate(Sz(kHostShortName)),
                 {{L"add " + kH, &kOwn, {}, {}, {L"already added: " + kH}}},
                 false},
        // Every refusal, each naming its class, before anything is written.
        PlanCase{"TwoRefusalsAreBothNamed",
                 WithSurrogate(Sz(L"")) + Class(kO, L"Pelmora.O", L"HKLM32") +
                     Entries{{L"HKLM32\\CLSID\\" + kO, L"AppID", Sz(kH)}},
                 {{L"add " + kH,
                   &kOwn,
                   {},
                   {},
                   {L"pelmora-register: " + kH + L" Pelmora.H: its AppID " + kH +
                        L" already has another host, the system's default surrogate (--force "
                        L"replaces it)\n",
                    L"pelmora-register: " + kH + L" Pelmora.H: its AppID " + kH +
                        L" is also used by " + kO +
                        L" Pelmora.O (32-bit), which add would point at this host too (--force "
                        L"does so)\n"},
                   kExitOtherHost}},
                 false},
        PlanCase{"ForcedRefusalsAreBothNamed",
                 WithSurrogate(Sz(L"")) + Class(kO, L"Pelmora.O", L"HKLM32") +
                     Entries{{L"HKLM32\\CLSID\\" + kO, L"AppID", Sz(kH)}},
                 {{L"add --force " + kH,
                   &kOwn,
                   {},
                   {},
                   {L"pelmora-register: forced: " + kH + L" Pelmora.H: its AppID " + kH +
                        L" already has another host, the system's default surrogate\n",
                    L"pelmora-register: forced: " + kH + L" Pelmora.H: its AppID " + kH +
                        L" is also used by " + kO +
                        L" Pelmora.O (32-bit), which add would point "
                        L"at this host too\n",
                    L"added: " + kH}},
                  {L"remove " + kH}}},
        PlanCase{"RefusalsOfSeveralTargets",
                 Class(kP, L"Pelmora.P") + kHosted +
                     Entries{{L"HKLM\\CLSID\\" + kP + L"\\LocalServer32", L"", Sz(L"x.exe")}},
                 {{L"add " + kP + L" Pelmora.Nobody " + kH,
                   &kOwn,
                   {},
                   {},
                   {L"the ProgID Pelmora.Nobody is not registered"},
                   kExitNotRegistered},
                  {L"add " + kP + L" " + kH,
                   &kOwn,
                   {},
                   {},
                   {kP + L" Pelmora.P has LocalServer32", kH + L" Pelmora.H: its AppID"},
                   kExitLocalServer}},
                 false},
        PlanCase{"TargetsThatNameNoClass",
                 Class(kP, L"Pelmora.P") + Entries{{L"HKLM\\CLSID\\" + kQ, L"", Sz(L"No server")}},
                 {{L"add " + kUnknown + L" {5E1C0A01} " + kQ,
                   &kOwn,
                   {},
                   {},
                   {L"pelmora-register: " + kUnknown +
                        L" is not registered in the 64-bit registry view: run the 64-bit regsvr32 "
                        L"(%SystemRoot%\\System32\\regsvr32.exe) on its DLL first\n",
                    L"pelmora-register: {5E1C0A01} is not a CLSID\n",
                    L"pelmora-register: " + kQ +
                        L" has no InprocServer32 in the 64-bit registry "
                        L"view"},
                   kExitNotRegistered}},
                 false},
        // Keys that change between the plan and its writes: nothing is written.
        PlanCase{"ClassChangedWhileAdding",
                 Class(kP, L"Pelmora.P"),
                 {{L"add " + kP,
                   &kOwn,
                   {},
                   {{L"HKLM\\CLSID\\" + kP, L"AppID", Sz(kV)}},
                   {L"HKLM\\Software\\Classes\\CLSID\\" + kP +
                    L" changed while this command was reading the registry; nothing was written: "
                    L"run it again"},
                   kExitChangedMeanwhile}}},
        PlanCase{"HostChangedWhileRemoving",
                 Class(kP, L"Pelmora.P"),
                 {{L"add " + kP},
                  {L"remove " + kP,
                   &kOwn,
                   {},
                   {{L"HKLM\\AppID\\" + kP, L"DllSurrogate", Sz(kOtherHost)}},
                   {L"changed while"},
                   kExitChangedMeanwhile}},
                 false,
                 {{L"HKLM\\AppID\\" + kP, L"DllSurrogate", Sz(kOtherHost)}}},
        // The merged view: a per-user key of a class or ProgID hides HKLM's and all it holds.
        PlanCase{"PerUserClassHidesAMachineLocalServer",
                 Class(kU, L"Pelmora.U", L"HKCU") +
                     Entries{{L"HKLM\\CLSID\\" + kU + L"\\LocalServer32", L"", Sz(L"x.exe")}},
                 {{L"add " + kU, &kOwn, {}, {}, {L"added: " + kU}}, {L"remove " + kU}}},
        PlanCase{"PerUserClassWritesPerUser",
                 Class(kU, L"Pelmora.U", L"HKCU"),
                 {{L"add " + kU}},
                 false,
                 {{L"HKCU\\CLSID\\" + kU, L"AppID", Sz(kU)},
                  {L"HKCU\\AppID\\" + kU, L"DllSurrogate", Sz(kHost)},
                  {L"HKLM\\AppID\\" + kU, L"DllSurrogate", std::nullopt}}},
        PlanCase{"PartialPerUserClassHidesTheServer",
                 Class(kP, L"Pelmora.P") +
                     Entries{{L"HKCU\\CLSID\\" + kP + L"\\ProgID", L"", Sz(L"Pelmora.P")}},
                 {{L"add " + kP, &kOwn, {}, {}, {L"has no InprocServer32"}, kExitNotRegistered}},
                 false},
        PlanCase{"PerUserCurVerNamesTheRuntimesClass",
                 Class(kP, L"Pelmora.P") + Class(kQ, L"Pelmora.Q") +
                     Entries{{L"HKLM\\Pelmora.Ver\\CLSID", L"", Sz(kP)},
                             {L"HKCU\\Pelmora.Ver\\CurVer", L"", Sz(L"Pelmora.Q")}},
                 {{L"add Pelmora.Ver", &kOwn, {}, {}, {L"added: " + kQ}}, {L"remove " + kQ}}},
        PlanCase{"AppIdThatHkcuOverrides",
                 Class(kH, L"Pelmora.H") +
                     Entries{{L"HKLM\\CLSID\\" + kH, L"AppID", Sz(kA)},
                             {L"HKLM\\AppID\\" + kA, L"DllSurrogate", Sz(kOtherHost)},
                             {L"HKCU\\AppID\\" + kA, L"", Sz(L"Per user")}},
                 {{L"add " + kH, &kOwn, {}, {}, {L"added: " + kH}}, {L"remove " + kH}}},
        // The smaller cases.
        PlanCase{"HostNamedInAnotherCaseSinceAdd",
                 Class(kP, L"Pelmora.P"),
                 {{L"add " + kP},
                  {L"remove " + kP,
                   &kOwn,
                   {{L"HKLM\\AppID\\" + kP, L"DllSurrogate",
                     Sz(L"C:\\PELMORA\\X64\\Pelmora-Surrogate.EXE")}},
                   {},
                   {L"removed: " + kP}}},
                 true,
                 {},
                 Class(kP, L"Pelmora.P")},
        PlanCase{"ListNamesClassesOfAHostThatMoved",
                 Class(kP, L"Pelmora.P") + Class(kQ, L"Pelmora.Q"),
                 {{L"add " + kP, &kEarlierCopy},
                  {L"add " + kQ},
                  {L"list",
                   &kOwn,
                   {},
                   {},
                   {kQ + L" Pelmora.Q\n",
                    kP + L" Pelmora.P -> \"C:\\Pelmora 1.1\\x64\\pelmora-surrogate.exe\" (a host "
                         L"that is missing: run add again)\n"},
                   kExitOk,
                   {kEarlierCopy.host}}},
                 false},
        // Every type of a class's AppID value is kept exactly, or refused with nothing changed.
        PlanCase{
            "BinaryAppIdValueIsRefused",
            WithAppIdValue(Raw(REG_BINARY, {0x7b, 0})),
            {{L"add --force " + kP,
              &kOwn,
              {},
              {},
              {kP + L" Pelmora.P has an AppID value of type REG_BINARY, which the runtime does "
                    L"not take for an AppID: it is kept as it is, and the class is not "
                    L"changed"},
              kExitFailed},
             {L"remove " + kP, &kOwn, {}, {}, {L"nothing to remove"}}}},
        PlanCase{"DwordAppIdValueIsRefused",
                 WithAppIdValue(Raw(REG_DWORD, {1, 0, 0, 0})),
                 {{L"add " + kP, &kOwn, {}, {}, {L"of type REG_DWORD"}, kExitFailed}}},
        PlanCase{"MultiStringAppIdValueIsRefused",
                 WithAppIdValue(MultiSz({kA})),
                 {{L"add " + kP, &kOwn, {}, {}, {L"of type REG_MULTI_SZ"}, kExitFailed}}},
        PlanCase{"AppIdValueThatIsNoGuidIsRefused",
                 WithAppIdValue(Sz(L"Vendor.App")),
                 {{L"add " + kP,
                   &kOwn,
                   {},
                   {},
                   {L"has an AppID that is not a GUID: Vendor.App"},
                   kExitFailed}}},
        PlanCase{"ExpandStringAppIdValueIsKept",
                 WithAppIdValue(Sz(kA, REG_EXPAND_SZ)),
                 {{L"add " + kP, &kOwn, {}, {}, {kAdded}}, {L"remove " + kP}}},
        // Other hosts, replaced only when forced and put back exactly.
        PlanCase{"AnotherHost",
                 kHosted,
                 {{L"add Pelmora.H",
                   &kOwn,
                   {},
                   {},
                   {L"already has another host, " + kOtherHost + L" (--force replaces it)"},
                   kExitOtherHost}},
                 false},
        PlanCase{"ForcedOverAnotherHost", kHosted, {{L"add --force Pelmora.H"}, {L"remove " + kH}}},
        PlanCase{"ForcedOverADword",
                 WithSurrogate(Raw(REG_DWORD, {7, 0, 0, 0})),
                 {{L"add " + kH,
                   &kOwn,
                   {},
                   {},
                   {L"a REG_DWORD value (--force replaces it)"},
                   kExitOtherHost},
                  {L"add --force " + kH},
                  {L"remove " + kH}}},
        PlanCase{"ForcedOverBinary",
                 WithSurrogate(Raw(REG_BINARY, {0x50, 0, 0xff})),
                 {{L"add " + kH, &kOwn, {}, {}, {L"a REG_BINARY value"}, kExitOtherHost},
                  {L"add --force " + kH},
                  {L"remove " + kH}}},
        PlanCase{"ForcedOverAnExpandString",
                 WithSurrogate(Sz(L"%SystemRoot%\\Other\\surrogate.exe", REG_EXPAND_SZ)),
                 {{L"add " + kH,
                   &kOwn,
                   {},
                   {},
                   {L"already has another host, %SystemRoot%\\Other\\surrogate.exe (--force "
                    L"replaces it)"},
                   kExitOtherHost},
                  {L"add --force " + kH},
                  {L"remove " + kH}}},
        PlanCase{"ForcedOverAStringWithoutItsNull",
                 WithSurrogate(Raw(REG_SZ, {'C', 0, ':', 0, 'x', 0})),
                 {{L"add --force " + kH}, {L"remove " + kH}}},
        PlanCase{
            "ValueChangedSinceAddIsKeptUntilForced",
            kHosted,
            {{L"add --force " + kH},
             {L"remove " + kH,
              &kOwn,
              {{L"HKLM\\AppID\\" + kH, L"DllSurrogate", Sz(L"C:\\Changed\\by-hand.exe")}},
              {},
              {L"pelmora-register: " + kH + L" Pelmora.H: the DllSurrogate of its AppID " + kH +
               L" was changed since add, to neither the host add wrote nor what it replaced; "
               L"nothing changed (--force puts back what add replaced: " +
               kOtherHost + L")\n"},
              kExitChangedSince},
             {L"remove --force " + kH, &kOwn, {}, {}, {L"removed: " + kH}}},
            true,
            {},
            kHosted},
        PlanCase{
            "AddedByAnEarlierCopyIsAnotherHost",
            kHosted,
            {{L"add --force " + kH, &kEarlierCopy},
             {L"add " + kH, &kOwn, {}, {}, {L"already has another host"}, kExitOtherHost},
             {L"remove " + kH, &kOwn, {}, {}, {L"removed: " + kH}, kExitOk, {kEarlierCopy.host}}}},
        // Classes sharing an AppID.
        PlanCase{"AppIdUsedByAClassNotAdded",
                 kShared,
                 {{L"add Pelmora.S1",
                   &kOwn,
                   {},
                   {},
                   {L"pelmora-register: " + kS1 + L" Pelmora.S1: its AppID " + kA +
                    L" is also used by " + kS2 +
                    L" Pelmora.S2 (64-bit), which add would point at this host too (--force does "
                    L"so)\n"},
                   kExitSharedAppId}},
                 false},
        PlanCase{"AppIdUsedInTheOtherView",
                 kShared + Class(kO, L"Pelmora.O", L"HKLM32") +
                     Entries{{L"HKLM32\\CLSID\\" + kO, L"AppID", Sz(kA)}},
                 {{L"add Pelmora.S1 Pelmora.S2",
                   &kOwn,
                   {},
                   {},
                   {kO + L" Pelmora.O (32-bit)"},
                   kExitSharedAppId}},
                 false},
        PlanCase{"SharedAppIdKeepsTheHostUntilItsLastClassIsRemoved",
                 kShared,
                 {{L"add --force Pelmora.S1"},
                  {L"add Pelmora.S2"},
                  {L"remove Pelmora.S1", &kOwn, {}, {}, {L"the host stays in AppID " + kA}},
                  {L"remove Pelmora.S2"}}},
        PlanCase{"BothToolsOnOneClass",
                 Class(kP, L"Pelmora.P") + Class(kP, L"Pelmora.P", L"HKLM32"),
                 {{L"add " + kP},
                  {L"add --force " + kP, &kOther},
                  {L"remove " + kP},
                  {L"remove " + kP, &kOther, {}, {}, {L"removed: " + kP}}}},
        PlanCase{"BothToolsOnOneClassTheOtherRemovedFirst",
                 Class(kP, L"Pelmora.P") + Class(kP, L"Pelmora.P", L"HKLM32"),
                 {{L"add " + kP},
                  {L"add --force " + kP, &kOther},
                  {L"remove " + kP, &kOther},
                  {L"remove " + kP, &kOwn, {}, {}, {L"removed: " + kP}}}},
        // What 1.0.0's add left: one record per AppID, and the classes relying on it.
        PlanCase{"OldRecordOfTwoClasses",
                 kShared + Entries{{L"HKLM\\AppID\\" + kA, L"PelmoraRegisterUndo",
                                    MultiSz({L"no-value", kS1, kS2})},
                                   {L"HKLM\\AppID\\" + kA, L"DllSurrogate",
                                    Sz(L"\"C:\\Program Files\\Pelmora 1.0\\x64\\pelmora-"
                                       L"surrogate.exe\"")}},
                 {{L"remove Pelmora.S2 Pelmora.S1",
                   &kOwn,
                   {},
                   {},
                   {L"removed: " + kS1, L"removed: " + kS2}}},
                 true,
                 {},
                 kShared},
        PlanCase{"OldRecordOfAString",
                 kHosted + Entries{{L"HKLM\\AppID\\" + kH, L"PelmoraRegisterUndo",
                                    MultiSz({L"string:" + kOtherHost, kH})},
                                   {L"HKLM\\AppID\\" + kH, L"DllSurrogate",
                                    Sz(L"C:\\Pelmora-1.0\\pelmora-surrogate.exe")}},
                 {{L"remove " + kH, &kOwn, {}, {}, {L"removed: " + kH}}},
                 true,
                 {},
                 kHosted},
        PlanCase{"OldRecordOfAnExpandString",
                 WithSurrogate(Sz(L"C:\\Pelmora-1.0\\pelmora-surrogate.exe")) +
                     Entries{{L"HKLM\\AppID\\" + kH, L"PelmoraRegisterUndo",
                              MultiSz({L"expand:%SystemRoot%\\x.exe", kH})}},
                 {{L"remove " + kH, &kOwn, {}, {}, {L"removed: " + kH}}},
                 true,
                 {},
                 WithSurrogate(Sz(L"%SystemRoot%\\x.exe", REG_EXPAND_SZ))},
        PlanCase{
            "OldRecordThatCreatedTheAppId",
            Class(kP, L"Pelmora.P") +
                Entries{{L"HKLM\\AppID\\" + kP, L"PelmoraRegisterUndo", MultiSz({L"no-key", kP})},
                        {L"HKLM\\AppID\\" + kP, L"DllSurrogate",
                         Sz(L"C:\\Pelmora-1.0\\pelmora-surrogate.exe")},
                        {L"HKLM\\CLSID\\" + kP, L"PelmoraRegisterUndo", Sz(L"AppID")},
                        {L"HKLM\\CLSID\\" + kP, L"AppID", Sz(kP)}},
            {{L"remove " + kP, &kOwn, {}, {}, {L"removed: " + kP}}},
            true,
            {},
            Class(kP, L"Pelmora.P")},
        // add stopped after its record, after DllSurrogate, or before the class's AppID value.
        PlanCase{"StoppedAfterTheRecord",
                 Class(kP, L"Pelmora.P"),
                 {{L"add " + kP},
                  {L"remove " + kP,
                   &kOwn,
                   {{L"HKLM\\AppID\\" + kP, L"DllSurrogate", std::nullopt},
                    {L"HKLM\\CLSID\\" + kP, L"PelmoraRegisterUndo", std::nullopt},
                    {L"HKLM\\CLSID\\" + kP, L"AppID", std::nullopt}}}}},
        PlanCase{"StoppedAfterDllSurrogate",
                 Class(kP, L"Pelmora.P"),
                 {{L"add " + kP},
                  {L"remove " + kP,
                   &kOwn,
                   {{L"HKLM\\CLSID\\" + kP, L"PelmoraRegisterUndo", std::nullopt},
                    {L"HKLM\\CLSID\\" + kP, L"AppID", std::nullopt}}}}},
        PlanCase{"StoppedBeforeTheClassAppId",
                 Class(kP, L"Pelmora.P"),
                 {{L"add " + kP},
                  {L"remove " + kP, &kOwn, {{L"HKLM\\CLSID\\" + kP, L"AppID", std::nullopt}}}}},
        // What starts is what the runtime starts: an AppID's LocalService wins over everything,
        // and DllSurrogateExecutable over DllSurrogate.
        PlanCase{"AppIdWithALocalServiceIsRefused",
                 Class(kH, L"Pelmora.H") +
                     Entries{{L"HKLM\\CLSID\\" + kH, L"AppID", Sz(kH)},
                             {L"HKLM\\AppID\\" + kH, L"LocalService", Sz(L"VendorService")}},
                 {{L"add " + kH,
                   &kOwn,
                   {},
                   {},
                   {kH + L" Pelmora.H: its AppID " + kH +
                    L" has LocalService VendorService: the COM runtime would start that service, "
                    L"not the host"},
                   kExitLocalServer}},
                 false},
        PlanCase{"SurrogateExecutableOfAnotherProgramIsPutBack",
                 WithSurrogate(Sz(kHost)) +
                     Entries{{L"HKLM\\AppID\\" + kH, L"DllSurrogateExecutable", Sz(kOtherHost)}},
                 {{L"add " + kH,
                   &kOwn,
                   {},
                   {},
                   {L"already has another host, " + kHost + L" with DllSurrogateExecutable " +
                    kOtherHost + L", which the runtime starts instead (--force replaces it)"},
                   kExitOtherHost},
                  {L"add --force " + kH},
                  {L"remove " + kH, &kOwn, {}, {}, {L"removed: " + kH}}}},
        PlanCase{"ForcedOverASurrogateExecutable",
                 WithSurrogate(Sz(kHost)) +
                     Entries{{L"HKLM\\AppID\\" + kH, L"DllSurrogateExecutable", Sz(kOtherHost)}},
                 {{L"add --force " + kH, &kOwn, {}, {}, {L"added: " + kH}}},
                 false,
                 {{L"HKLM\\AppID\\" + kH, L"DllSurrogate", Sz(kHost)},
                  {L"HKLM\\AppID\\" + kH, L"DllSurrogateExecutable", std::nullopt}}},
        PlanCase{
            "SurrogateExecutableNamingThisHost",
            WithSurrogate(Sz(kHost)) +
                Entries{{L"HKLM\\AppID\\" + kH, L"DllSurrogateExecutable", Sz(kHostShortName)}},
            {{L"add " + kH, &kOwn, {}, {}, {L"already added: " + kH}}},
            false},
        // Unquoted with a space, the runtime may take C:\Pelmora.exe: add writes it quoted.
        PlanCase{"UnquotedHostIsMendedAndPutBack",
                 WithSurrogate(Sz(kEarlierCopy.host)),
                 {{L"add " + kH,
                   &kEarlierCopy,
                   {},
                   {},
                   {L"added: " + kH + L" Pelmora.H -> \"" + kEarlierCopy.host + L"\""}},
                  {L"remove " + kH, &kEarlierCopy, {}, {}, {L"removed: " + kH}}}},
        // Targets as users give them, and the next step for what a file is.
        PlanCase{"PathPastedWithItsQuotes",
                 Class(kP, L"Pelmora.P"),
                 {{L"add \"" + kDll + L"\"", &kOwn, {}, {}, {L"added: " + kP}}, {L"remove " + kP}}},
        PlanCase{"BareOcxNameIsAFile",
                 Class(kQ, L"Pelmora.Q") +
                     Entries{{L"HKLM\\CLSID\\" + kQ + L"\\InprocServer32", L"", Sz(kOcx)}},
                 {{L"add vendor.ocx", &kOwn, {}, {}, {L"added: " + kQ}}, {L"remove " + kQ}}},
        PlanCase{"DllOfTheOtherBitnessNamesTheOtherTool",
                 Class(kP, L"Pelmora.P"),
                 {{L"add C:\\Vendor\\vendor32.dll",
                   &kOwn,
                   {},
                   {},
                   {L"C:\\Vendor\\vendor32.dll is a 32-bit DLL: use the 32-bit tool, "
                    L"x86\\pelmora-register, beside the 32-bit host"},
                   kExitNotRegistered}},
                 false},
        PlanCase{"ProgramIsNoComDll",
                 Class(kP, L"Pelmora.P"),
                 {{L"add C:\\Vendor\\vendor.exe",
                   &kOwn,
                   {},
                   {},
                   {L"C:\\Vendor\\vendor.exe is a program, not a COM DLL"},
                   kExitNotRegistered}},
                 false},
        PlanCase{"DotNetAssemblyNeedsRegasm",
                 Class(kP, L"Pelmora.P"),
                 {{L"add C:\\Vendor\\managed.dll",
                   &kOwn,
                   {},
                   {},
                   {L"C:\\Vendor\\managed.dll is a .NET assembly: register it with the 64-bit "
                    L"regasm"},
                   kExitNotRegistered}},
                 false},
        PlanCase{"ClassKeyThatMayNotBeReadIsNotNotRegistered",
                 Class(kP, L"Pelmora.P") +
                     Entries{{L"HKLM\\CLSID\\" + kP, kUnreadable, std::nullopt}},
                 {{L"add " + kP,
                   &kOwn,
                   {},
                   {},
                   {L"reading HKLM\\Software\\Classes\\CLSID\\" + kP + L" is denied"},
                   kExitAccessDenied}},
                 false},
        // Keys the user may not write, found before anything is written.
        PlanCase{"NoRightToWriteOneOfTheKeys",
                 Class(kP, L"Pelmora.P") + kHosted +
                     Entries{{L"HKLM\\AppID\\" + kH, kReadOnly, std::nullopt}},
                 {{L"add --force " + kP + L" " + kH,
                   &kOwn,
                   {},
                   {},
                   {kH + L" Pelmora.H: no right to change its registration (HKLM); run this from "
                         L"an elevated prompt (as administrator)"},
                   kExitAccessDenied}},
                 false}),
    [](const ::testing::TestParamInfo<PlanCase>& info) { return info.param.name; });

struct Stored {
    const char* name;
    RegistryValue value;
};

void PrintTo(const Stored& stored, std::ostream* out) {
    *out << stored.name;
}

class RegisterRegistry : public ::testing::TestWithParam<Stored> {};

// The real registry stores what the plan writes byte for byte, a string without its terminating
// null included: RegSetValueEx counts one in when it follows the data in memory.
TEST_P(RegisterRegistry, StoresTheBytesExactly) {
    CWinRegistry registry;
    const KeyName key{Root::kUser, KEY_WOW64_64KEY, L"PelmoraRegisterTest"};
    RegistryValue value = GetParam().value;
    const size_t size = value.data.size();
    value.data.resize(size + 4, 0); // nulls after the data, where the system looks
    value.data.resize(size);
    ASSERT_EQ(ERROR_SUCCESS, registry.Set(key, L"Value", value));
    const auto values = registry.Read(key);
    ASSERT_TRUE(values);
    const auto stored = ValueOf(*values, L"Value");
    ASSERT_TRUE(stored);
    EXPECT_EQ(value.type, stored->type);
    EXPECT_EQ(value.data, stored->data);
    EXPECT_EQ(ERROR_SUCCESS, registry.Delete(key, L"Value"));
    EXPECT_EQ(ERROR_SUCCESS, registry.DeleteKeyIfEmpty(key));
    EXPECT_FALSE(registry.Read(key));
}

INSTANTIATE_TEST_SUITE_P(
    Values, RegisterRegistry,
    ::testing::Values(Stored{"StringWithItsNull", Sz(L"C:\\x.exe")},
                      Stored{"StringWithoutItsNull", Raw(REG_SZ, {'C', 0, ':', 0, 'x', 0})},
                      Stored{"ExpandStringWithoutItsNull", Raw(REG_EXPAND_SZ, {'%', 0, 'x', 0})},
                      Stored{"MultiStringWithOneNull", Raw(REG_MULTI_SZ, {'a', 0, 0, 0})},
                      Stored{"StringOfAnOddLength", Raw(REG_SZ, {'a', 0, 'b'})},
                      Stored{"EmptyString", Raw(REG_SZ, {})}),
    [](const ::testing::TestParamInfo<Stored>& info) { return info.param.name; });

} // namespace
