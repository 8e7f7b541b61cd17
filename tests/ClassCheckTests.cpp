// pelmora-register check's findings, as data: a class that works for clients of both bitnesses,
// one change to it per case, and what a client of one bitness is then told.
#include "ClassCheck.h"
#include "Registration.h"
#include "RegistryModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

const std::wstring kClass = L"{C4EC0000-0000-4000-8000-000000000001}";
const std::wstring kLib = L"{C4EC0000-0000-4000-8000-0000000000B1}";
const std::wstring kDual = L"{C4EC0000-0000-4000-8000-0000000000D1}";
const std::wstring kCustom = L"{C4EC0000-0000-4000-8000-0000000000C1}";
const std::wstring kStubs = kCustom; // the proxy/stub class, named after its first interface
const std::wstring kTypeLibMarshaler = L"{00020424-0000-0000-C000-000000000046}";
const std::wstring kDll = L"C:\\Vendor\\legacy.dll";
const std::wstring kStubs32 = L"C:\\Vendor\\legacyps.dll";
const std::wstring kStubs64 = L"C:\\Vendor\\x64\\legacyps.dll";
const std::wstring kHost32 = L"C:\\Pelmora\\x86\\pelmora-surrogate.exe";
const std::wstring kHost64 = L"C:\\Pelmora\\x64\\pelmora-surrogate.exe";
const std::wstring kHostSpaced = L"C:\\Program Files\\Pelmora\\x86\\pelmora-surrogate.exe";
constexpr REGSAM k32 = KEY_WOW64_32KEY;
constexpr REGSAM k64 = KEY_WOW64_64KEY;
constexpr PeImage kProgram = {0, false, false};

// "HKLM32\CLSID\..." or "HKCU64\...": the root and the view.
KeyName Key(const std::wstring& text) {
    const size_t slash = text.find(L'\\');
    return {text.compare(0, 4, L"HKCU") == 0 ? Root::kUser : Root::kMachine,
            static_cast<REGSAM>(text.compare(4, 2, L"32") == 0 ? k32 : k64),
            text.substr(slash + 1)};
}

struct Edit {
    std::wstring key;
    std::wstring name;
    std::optional<RegistryValue> value; // none: the whole key goes
};
using Edits = std::vector<Edit>;

Edit Set(const std::wstring& key, const std::wstring& name, const std::wstring& text) {
    return {key, name, RegistryValue::String(text)};
}
Edit SetExpand(const std::wstring& key, const std::wstring& name, const std::wstring& text) {
    return {key, name, RegistryValue::String(text, REG_EXPAND_SZ)};
}
Edit Gone(const std::wstring& key) {
    return {key, {}, std::nullopt};
}

// A 32-bit DLL registered by the 32-bit regsvr32 and added with the 32-bit tool; its type library
// and its custom interface's proxy/stub DLLs registered for both bitnesses.
Edits Working() {
    const std::wstring cls = L"HKLM32\\CLSID\\" + kClass;
    Edits edits = {
        Set(cls, L"", L"Legacy Calculator"),
        Set(cls, L"AppID", kClass),
        Set(cls + L"\\ProgID", L"", L"Legacy.Calculator"),
        Set(cls + L"\\InprocServer32", L"", kDll),
        Set(cls + L"\\InprocServer32", L"ThreadingModel", L"Apartment"),
        Set(cls + L"\\TypeLib", L"", kLib),
        Set(L"HKLM32\\AppID\\" + kClass, L"DllSurrogate", kHost32),
        Set(L"HKLM32\\TypeLib\\" + kLib + L"\\1.0\\0\\win32", L"", kDll),
        Set(L"HKLM32\\TypeLib\\" + kLib + L"\\1.0\\0\\win64", L"", kDll),
    };
    for (const wchar_t* view : {L"HKLM32", L"HKLM64"}) {
        const std::wstring dual = std::wstring(view) + L"\\Interface\\" + kDual;
        const std::wstring custom = std::wstring(view) + L"\\Interface\\" + kCustom;
        const std::wstring stubs = std::wstring(view) + L"\\CLSID\\" + kStubs + L"\\InprocServer32";
        edits.push_back(Set(dual + L"\\ProxyStubClsid32", L"", kTypeLibMarshaler));
        edits.push_back(Set(dual + L"\\TypeLib", L"", kLib));
        edits.push_back(Set(dual + L"\\TypeLib", L"Version", L"1.0"));
        edits.push_back(Set(custom + L"\\ProxyStubClsid32", L"", kStubs));
        edits.push_back(Set(stubs, L"", view == std::wstring(L"HKLM32") ? kStubs32 : kStubs64));
    }
    return edits;
}

void Apply(CRegistryModel& registry, const Edits& edits) {
    for (const Edit& edit : edits) {
        if (!edit.value) {
            edit.name.empty() ? registry.DeleteTree(Key(edit.key))
                              : (void)registry.Delete(Key(edit.key), edit.name);
        } else if (edit.name == L"<DWORD>") {
            const DWORD number = std::stoul(edit.value->Text());
            const auto* bytes = reinterpret_cast<const BYTE*>(&number);
            registry.Set(Key(edit.key), L"PreferredServerBitness",
                         {REG_DWORD, std::vector<BYTE>(bytes, bytes + sizeof(number))});
        } else {
            registry.Set(Key(edit.key), edit.name, *edit.value);
        }
    }
}

struct Files {
    WORD dll = IMAGE_FILE_MACHINE_I386;
    WORD host32 = IMAGE_FILE_MACHINE_I386;
    bool typeLibrary = true; // the DLL's type library describes the class
};

const std::wstring kCls32 = L"HKLM32\\CLSID\\" + kClass;
const std::wstring kCls64 = L"HKLM64\\CLSID\\" + kClass;
const std::wstring kAppId = L"HKLM32\\AppID\\" + kClass;

struct Finding {
    CheckStep::Status status;
    const wchar_t* step;
    const wchar_t* says; // in the text
    const wchar_t* fix;  // in the fix, or nullptr
};

struct CheckCase {
    const char* name;
    Edits edits; // on top of Working()
    REGSAM client;
    Finding finding;
    size_t problems; // the client's, all told
    Files files = {};
};

constexpr auto kOk = CheckStep::kOk;
constexpr auto kNote = CheckStep::kNote;
constexpr auto kWarning = CheckStep::kWarning;
constexpr auto kProblem = CheckStep::kProblem;

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

const CheckCase kCases[] = {
    {"OtherBitnessFindsTheClassInTheOtherView",
     {},
     k64,
     {kOk, L"class", L"found in the other view only (HKLM, 32-bit view)", nullptr},
     0},
    {"OwnBitnessLoadsTheDllInProcessForClsctxAll",
     {},
     k32,
     {kNote, L"activation", L"CLSCTX_ALL loads C:\\Vendor\\legacy.dll into the client", nullptr},
     0},
    {"BothInterfacesMarshalForTheOtherBitness",
     {},
     k64,
     {kOk, L"interfaces",
      L"ICustom "
      L"{C4EC0000-0000-4000-8000-0000000000C1}: proxy/stub class",
      nullptr},
     0},
    {"PreferredServerBitnessRulesOutTheOtherView",
     {{kAppId, L"<DWORD>", RegistryValue::String(L"1")}},
     k64,
     {kProblem, L"activation", L"PreferredServerBitness 1 rules out the 32-bit server", nullptr},
     1},
    {"LocalServer32WinsOverTheSurrogate",
     {Set(kCls32 + L"\\LocalServer32", L"", L"C:\\Vendor\\legacy.exe")},
     k64,
     {kProblem, L"activation", L"starts its LocalServer32 (C:\\Vendor\\legacy.exe)",
      L"\\LocalServer32 if the host is to serve the class"},
     1},
    {"ALocalServerOfTheClientsOwnBitnessWins",
     {Set(kCls64 + L"\\LocalServer32", L"", L"C:\\Vendor\\x64\\legacy.exe")},
     k64,
     {kProblem, L"activation", L"from the 64-bit view, not a surrogate", nullptr},
     1},
    {"AnInprocServerOfItsOwnLeavesTheHostToTheOtherView",
     {Set(kCls64 + L"\\InprocServer32", L"", L"C:\\Vendor\\x64\\legacy.dll")},
     k64,
     {kOk, L"class", L"found in both views; out of process the runtime uses the other view's",
      nullptr},
     0},
    {"ThatLocalServerLeavesTheOtherBitnessAlone",
     {Set(kCls64 + L"\\LocalServer32", L"", L"C:\\Vendor\\x64\\legacy.exe")},
     k32,
     {kOk, L"activation", L"CLSCTX_LOCAL_SERVER starts the AppID's DllSurrogate", nullptr},
     0},
    // Where no view has a server, one problem says why, with one fix.
    {"AppIdWithoutDllSurrogate",
     {{kAppId, L"DllSurrogate", std::nullopt}},
     k64,
     {kProblem, L"appId",
      L"has no DllSurrogate, so no view gives the class an out-of-process server",
      L"run x86\\pelmora-register add {C4EC0000-0000-4000-8000-000000000001}"},
     1},
    {"NoAppIdValue",
     {{kCls32, L"AppID", std::nullopt}},
     k32,
     {kProblem, L"appId", L"the class has no AppID value", nullptr},
     1},
    {"AppIdKeyMissing",
     {Gone(kAppId)},
     k64,
     {kProblem, L"appId", L"is not registered", nullptr},
     1},
    // The runtime's order: the AppID's LocalService, then LocalServer32, then the surrogate.
    {"LocalServiceWinsOverTheSurrogate",
     {Set(kAppId, L"LocalService", L"LegacyService")},
     k64,
     {kProblem, L"activation",
      L"starts the service LegacyService that the AppID's LocalService names",
      L"delete LocalService from HKLM\\Software\\Classes\\AppID\\"},
     1},
    // CreateProcess is given DllSurrogateExecutable as the program, DllSurrogate as its command
    // line.
    {"SurrogateExecutableNamesAnotherProgram",
     {Set(kAppId, L"DllSurrogateExecutable", L"C:\\Vendor\\legacy.exe")},
     k64,
     {kProblem, L"appId",
      L"the runtime starts DllSurrogateExecutable C:\\Vendor\\legacy.exe, giving it DllSurrogate "
      L"C:\\Pelmora\\x86\\pelmora-surrogate.exe only as its command line",
      L"add --force {C4EC0000-0000-4000-8000-000000000001}, which replaces it"},
     1},
    {"SurrogateExecutableNamingTheSameHost",
     {Set(kAppId, L"DllSurrogateExecutable", kHost32)},
     k32,
     {kOk, L"appId",
      L"DllSurrogateExecutable C:\\Pelmora\\x86\\pelmora-surrogate.exe, 32-bit (x86)", nullptr},
     0},
    {"DllSurrogateNamesAMissingHost",
     {Set(kAppId, L"DllSurrogate", L"C:\\Old\\pelmora-surrogate.exe")},
     k64,
     {kProblem, L"appId",
      L"DllSurrogate names C:\\Old\\pelmora-surrogate.exe, which does not exist",
      L"install the host there"},
     1},
    // A host takes the class from its own view: a 64-bit one finds no class there.
    {"HostOfTheWrongBitness",
     {Set(kAppId, L"DllSurrogate", kHost64)},
     k64,
     {kProblem, L"dll",
      L"the host (64-bit) takes the class from the 64-bit view, where it has no InprocServer32",
      L"point the AppID at the 32-bit host: run x86\\pelmora-register add --force"},
     1},
    // Usually the right program starts; add writes it quoted.
    {"UnquotedPathWithSpaces",
     {Set(kAppId, L"DllSurrogate", kHostSpaced)},
     k32,
     {kWarning, L"appId",
      L"has a space but no quotes, so the runtime may start C:\\Program instead",
      L"which writes it quoted"},
     0},
    {"QuotedPathWithSpacesIsFine",
     {Set(kAppId, L"DllSurrogate", L"\"" + kHostSpaced + L"\"")},
     k32,
     {kOk, L"appId",
      L"DllSurrogate C:\\Program Files\\Pelmora\\x86\\pelmora-surrogate.exe, 32-bit (x86)",
      nullptr},
     0},
    {"EmptyDllSurrogateIsTheSystemsOwn",
     {Set(kAppId, L"DllSurrogate", L"")},
     k64,
     {kOk, L"appId", L"the system's own surrogate", nullptr},
     0},
    {"SecuritySettingsAreNotedNotJudged",
     {Set(kAppId, L"RunAs", L"Interactive User")},
     k64,
     {kNote, L"appId", L"RunAs Interactive User is set: it decides the account the host runs as",
      nullptr},
     0},
    {"PerUserRegistrationIsNoted",
     {Gone(kCls32), Set(L"HKCU32\\CLSID\\" + kClass, L"AppID", kClass),
      Set(L"HKCU32\\CLSID\\" + kClass + L"\\InprocServer32", L"", kDll)},
     k64,
     {kNote, L"class", L"registered for this user only", L"from an elevated prompt"},
     0},
    {"DllMissing",
     {Set(kCls32 + L"\\InprocServer32", L"", L"C:\\Gone\\legacy.dll")},
     k64,
     {kProblem, L"dll", L"InprocServer32 C:\\Gone\\legacy.dll names no file", nullptr},
     1},
    {"DllOfTheOtherMachineThanItsHost",
     {},
     k64,
     {kProblem, L"dll",
      L"the host (32-bit) cannot load C:\\Vendor\\legacy.dll, the DLL 64-bit (x64)",
      L"register it with the 64-bit regsvr32"},
     1,
     {IMAGE_FILE_MACHINE_AMD64, IMAGE_FILE_MACHINE_I386, true}},
    // One AppID names one host for both views: each client gets that host's DLL.
    {"BothViewsShareTheHostOfTheAppId",
     {Set(kCls64, L"AppID", kClass),
      Set(kCls64 + L"\\InprocServer32", L"", L"C:\\Vendor\\x64\\legacy.dll")},
     k64,
     {kNote, L"dll",
      L"the class is registered for both bitnesses, but its AppID names one host for both, so this "
      L"client gets the 32-bit DLL",
      L"to use C:\\Vendor\\x64\\legacy.dll, create the class in process"},
     0},
    {"BothViewsOnTheOtherHostServeEachClient",
     {Set(kCls64, L"AppID", kClass),
      Set(kCls64 + L"\\InprocServer32", L"", L"C:\\Vendor\\x64\\legacy.dll"),
      Set(kAppId, L"DllSurrogate", kHost64)},
     k32,
     {kNote, L"dll", L"so this client gets the 64-bit DLL", nullptr},
     0},
    // A .NET class's DLL is the runtime's mscoree.dll; regasm registers it.
    {"DotNetClassOfTheOtherViewGetsRegasmAdvice",
     {Gone(kCls32), Set(kCls64, L"AppID", kClass),
      Set(kCls64 + L"\\InprocServer32", L"", L"mscoree.dll")},
     k64,
     {kProblem, L"dll", L"the host (32-bit) takes the class from the 32-bit view",
      L"register the class's 32-bit DLL with the 32-bit regasm"},
     1},
    {"InprocServerOfTheWrongBitnessInTheClientsView",
     {Set(kCls64 + L"\\InprocServer32", L"", kDll)},
     k64,
     {kProblem, L"activation", L"CLSCTX_ALL tries to load C:\\Vendor\\legacy.dll into the 64-bit",
      L"ask for CLSCTX_LOCAL_SERVER"},
     1},
    {"ProxyStubOfOneBitnessOnly",
     {Gone(L"HKLM64\\CLSID\\" + kStubs)},
     k64,
     {kProblem, L"interfaces",
      L"its proxy/stub class {C4EC0000-0000-4000-8000-0000000000C1} is not registered in the "
      L"64-bit view, so in the client (64-bit)",
      L"build the proxy/stub DLL of ICustom {C4EC0000-0000-4000-8000-0000000000C1} as 64-bit"},
     1},
    {"ProxyStubOfOneBitnessOnlyServesItsOwn",
     {Gone(L"HKLM64\\CLSID\\" + kStubs)},
     k32,
     {kOk, L"interfaces", L"ICustom", nullptr},
     0},
    {"ProxyStubRegisteredWithTheOtherBitnesssDll",
     {Set(L"HKLM64\\CLSID\\" + kStubs + L"\\InprocServer32", L"", kStubs32)},
     k64,
     {kProblem, L"interfaces", L"names C:\\Vendor\\legacyps.dll, which is 32-bit (x86)", nullptr},
     1},
    {"EachBitnessLoadsFromItsOwnSystemDirectory",
     {SetExpand(L"HKLM32\\CLSID\\" + kStubs + L"\\InprocServer32", L"",
                L"%SystemRoot%\\System32\\legacyps.dll"),
      Set(L"HKLM64\\CLSID\\" + kStubs + L"\\InprocServer32", L"", L"legacyps.dll")},
     k64,
     {kOk, L"interfaces", L"ICustom", nullptr},
     0},
    // Values are read by type: only a REG_EXPAND_SZ is expanded.
    {"VariableInARegSzIsNotExpanded",
     {Set(L"HKLM32\\CLSID\\" + kStubs + L"\\InprocServer32", L"",
          L"%SystemRoot%\\System32\\legacyps.dll")},
     k64,
     {kProblem, L"interfaces",
      L"names %SystemRoot%\\System32\\legacyps.dll, which does not exist, so in the host (32-bit)",
      nullptr},
     1},
    {"TheHostNeedsTheStubOfItsBitnessToo",
     {Gone(L"HKLM32\\CLSID\\" + kStubs)},
     k64,
     {kProblem, L"interfaces", L"in the host (32-bit)", L"as 32-bit"},
     1},
    {"DualInterfaceInTheDllsViewOnly",
     {Gone(L"HKLM64\\Interface\\" + kDual), Gone(L"HKLM32\\TypeLib\\" + kLib + L"\\1.0\\0\\win64")},
     k64,
     {kOk, L"interfaces",
      L"the type-library marshaler, with TypeLib {C4EC0000-0000-4000-8000-0000000000B1}, its "
      L"Interface key in the 32-bit view only, which the runtime also reads; the library is "
      L"registered for win32 only, which LoadRegTypeLib falls back to",
      nullptr},
     0},
    // LoadTypeLib takes a path with the index of a type library resource.
    {"TypeLibPathWithAResourceIndex",
     {Set(L"HKLM32\\TypeLib\\" + kLib + L"\\1.0\\0\\win32", L"", kDll + L"\\1"),
      Set(L"HKLM32\\TypeLib\\" + kLib + L"\\1.0\\0\\win64", L"", kDll + L"\\1")},
     k64,
     {kOk, L"interfaces",
      L"IDual {C4EC0000-0000-4000-8000-0000000000D1}: the type-library marshaler", nullptr},
     0},
    {"TypeLibraryNotRegistered",
     {Gone(L"HKLM32\\TypeLib\\" + kLib)},
     k64,
     {kProblem, L"interfaces", L"which is not registered (TYPE_E_LIBNOTREGISTERED)", nullptr},
     1},
    {"InterfaceNotRegistered",
     {Gone(L"HKLM32\\Interface\\" + kCustom), Gone(L"HKLM64\\Interface\\" + kCustom)},
     k32,
     {kProblem, L"interfaces", L"no Interface key with a ProxyStubClsid32 in either view",
      L"proxy/stub DLL for both bitnesses"},
     1},
    {"EmbeddedTypeLibraryServesWithoutATypeLibKey",
     {Gone(kCls32 + L"\\TypeLib")},
     k64,
     {kOk, L"interfaces", L"IDual", nullptr},
     0},
    {"NoTypeLibrarySaysInterfacesWereNotChecked",
     {Gone(kCls32 + L"\\TypeLib")},
     k64,
     {kNote, L"interfaces", L"its custom interfaces could not be checked", nullptr},
     0,
     {IMAGE_FILE_MACHINE_I386, IMAGE_FILE_MACHINE_I386, false}},
};

void PrintTo(const CheckCase& row, std::ostream* out) {
    *out << row.name;
}

class ClassCheckFinding : public ::testing::TestWithParam<CheckCase> {};

TEST_P(ClassCheckFinding, TellsTheClientWhatItMeets) {
    const CheckCase& row = GetParam();
    CRegistryModel registry;
    Apply(registry, Working());
    Apply(registry, row.edits);
    CFilesModel files;
    std::map<std::wstring, std::vector<ClassInterface>> classes;
    if (row.files.typeLibrary) {
        classes[kClass] = {{kDual, L"IDual", ClassInterface::kDual},
                           {kCustom, L"ICustom", ClassInterface::kCustom}};
    }
    files.AddImage(kDll, row.files.dll, classes);
    files.AddImage(kStubs32, IMAGE_FILE_MACHINE_I386);
    files.AddImage(kStubs64, IMAGE_FILE_MACHINE_AMD64);
    files.AddImage(kHost32, row.files.host32, {}, kProgram);
    files.AddImage(L"C:\\windows\\system32\\legacyps.dll", IMAGE_FILE_MACHINE_AMD64);
    files.AddImage(L"C:\\windows\\SysWOW64\\legacyps.dll", IMAGE_FILE_MACHINE_I386);
    files.AddImage(kHost64, IMAGE_FILE_MACHINE_AMD64, {}, kProgram);
    files.AddImage(L"C:\\Vendor\\legacy.exe", IMAGE_FILE_MACHINE_I386, {}, kProgram);
    files.AddImage(L"C:\\Vendor\\x64\\legacy.exe", IMAGE_FILE_MACHINE_AMD64, {}, kProgram);
    files.AddImage(L"C:\\Vendor\\x64\\legacy.dll", IMAGE_FILE_MACHINE_AMD64);
    files.AddImage(kHostSpaced, IMAGE_FILE_MACHINE_I386, {}, kProgram);
    files.AddImage(L"C:\\windows\\system32\\mscoree.dll", IMAGE_FILE_MACHINE_AMD64);

    const CheckReport report = CClassChecker(registry, files, k64).Check({kClass});
    ASSERT_EQ(report.classes.size(), 1u);
    ASSERT_EQ(report.classes[0].clients.size(), 2u);
    const ClientCheck& client = report.classes[0].clients[row.client == k32 ? 0 : 1];
    std::wstring all;
    bool found = false;
    for (const CheckStep& step : client.steps) {
        all += std::to_wstring(step.status) + L" " + step.step + L": " + step.text + L" | " +
               step.fix + L"\n";
        found =
            found ||
            (step.status == row.finding.status && std::wstring(step.step) == row.finding.step &&
             step.text.find(row.finding.says) != std::wstring::npos &&
             (row.finding.fix == nullptr || step.fix.find(row.finding.fix) != std::wstring::npos));
    }
    EXPECT_TRUE(found) << "wanted: " << std::wstring(row.finding.says) << "\nsteps:\n" << all;
    EXPECT_EQ(client.Count(kProblem), row.problems) << all;
    const bool anyProblem = report.classes[0].clients[0].Count(kProblem) +
                                report.classes[0].clients[1].Count(kProblem) >
                            0;
    EXPECT_EQ(report.code, anyProblem ? kExitProblems : kExitOk);
}

INSTANTIATE_TEST_SUITE_P(Findings, ClassCheckFinding, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Targets are found in either view; one that names nothing anywhere is refused as add refuses it.
TEST(ClassCheckTargets, FindsProgIdsOfEitherViewAndRefusesUnknownOnes) {
    CRegistryModel registry;
    Apply(registry, Working());
    Apply(registry, {Set(L"HKLM32\\Legacy.Calculator\\CLSID", L"", kClass)});
    CFilesModel files;
    files.AddImage(kDll, IMAGE_FILE_MACHINE_I386);
    files.AddImage(kHost32, IMAGE_FILE_MACHINE_I386, {}, kProgram);
    const CheckReport found =
        CClassChecker(registry, files, k64).Check({L"Legacy.Calculator", kDll, kClass});
    ASSERT_EQ(found.classes.size(), 1u);
    EXPECT_EQ(found.classes[0].progId, L"Legacy.Calculator");
    EXPECT_TRUE(found.errors.empty());

    const CheckReport refused = CClassChecker(registry, files, k64).Check({L"No.Such.Class"});
    EXPECT_EQ(refused.code, kExitNotRegistered);
    ASSERT_EQ(refused.errors.size(), 1u);
    EXPECT_EQ(refused.errors[0],
              L"the ProgID No.Such.Class is not registered in "
              L"the 64-bit registry view: run the 64-bit regsvr32 "
              L"(%SystemRoot%\\System32\\regsvr32.exe) on its DLL first (and the 32-bit "
              L"view has no such class either)");
}

// A JSON value as parsed from the report, for tests of its shape: kind, and what it holds.
struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject };
    Kind kind = kNull;
    double number = 0;
    std::wstring text;
    std::vector<Json> items;
    std::map<std::wstring, Json> members;
    const Json& operator[](const std::string& key) const {
        return members.at(std::wstring(key.begin(), key.end()));
    }
};

// Strict enough to reject what a script's parser would: every byte is consumed, or it fails.
class JsonParser {
public:
    explicit JsonParser(const std::wstring& text) : m_text(text) {}
    bool Parse(Json& value) { return Value(value) && (Blank(), m_at == m_text.size()); }

private:
    void Blank() {
        while (m_at < m_text.size() && std::wcschr(L" \t\r\n", m_text[m_at]) != nullptr) {
            ++m_at;
        }
    }
    bool Take(wchar_t c) {
        Blank();
        return m_at < m_text.size() && m_text[m_at] == c && (++m_at, true);
    }
    bool Word(const wchar_t* word) {
        const size_t length = std::wcslen(word);
        return m_text.compare(m_at, length, word) == 0 && (m_at += length, true);
    }
    bool String(std::wstring& text) {
        if (!Take(L'"')) {
            return false;
        }
        for (; m_at < m_text.size() && m_text[m_at] != L'"'; ++m_at) {
            wchar_t c = m_text[m_at];
            if (c < 0x20) {
                return false;
            }
            if (c == L'\\') {
                const wchar_t e = m_text.at(++m_at);
                c = e == L'n' ? L'\n' : e == L't' ? L'\t' : e;
                if (e == L'u') {
                    c = static_cast<wchar_t>(std::stoul(m_text.substr(m_at + 1, 4), nullptr, 16));
                    m_at += 4;
                }
            }
            text += c;
        }
        return Take(L'"');
    }
    bool Value(Json& value) {
        Blank();
        if (Word(L"null")) {
            return true;
        }
        if (Word(L"true") || Word(L"false")) {
            value.kind = Json::kBool;
            return true;
        }
        if (m_at < m_text.size() && m_text[m_at] == L'"') {
            value.kind = Json::kString;
            return String(value.text);
        }
        if (Take(L'[')) {
            value.kind = Json::kArray;
            if (Take(L']')) {
                return true;
            }
            do {
                value.items.emplace_back();
            } while (Value(value.items.back()) && Take(L','));
            return Take(L']');
        }
        if (Take(L'{')) {
            value.kind = Json::kObject;
            if (Take(L'}')) {
                return true;
            }
            std::wstring key;
            do {
                key.clear();
            } while (String(key) && Take(L':') && Value(value.members[key]) && Take(L','));
            return Take(L'}');
        }
        size_t used = 0;
        value.kind = Json::kNumber;
        value.number = std::stod(m_text.substr(m_at), &used);
        m_at += used;
        return used > 0;
    }

    const std::wstring& m_text;
    size_t m_at = 0;
};

bool IsIdentifier(const std::wstring& text) {
    return !text.empty() && std::iswlower(text[0]) &&
           std::all_of(text.begin(), text.end(), [](wchar_t c) { return std::iswalnum(c) != 0; });
}

// Every member's kind, every identifier's form, and nothing else: what a script may rely on.
TEST(ClassCheckOutput, JsonHasTheShapeAScriptReliesOn) {
    CRegistryModel registry;
    Apply(registry, Working());
    Apply(registry, {Gone(L"HKLM64\\CLSID\\" + kStubs), Set(kCls32, L"AppID", kClass),
                     Set(kAppId, L"DllSurrogate", L"C:\\Program Files\\x\" \\ \"\t.exe")});
    CFilesModel files;
    files.AddImage(kDll, IMAGE_FILE_MACHINE_I386,
                   {{kClass, {{kCustom, L"ICustom", ClassInterface::kCustom}}}});
    CheckReport report = CClassChecker(registry, files, k64).Check({kClass, L"No.Such.Class"});
    report.classes.push_back({L"{C4EC0000-0000-4000-8000-000000000002}", L"", {}});

    Json document;
    ASSERT_TRUE(JsonParser(CheckJson(report)).Parse(document)) << Narrow(CheckJson(report));
    ASSERT_EQ(document.kind, Json::kObject);
    EXPECT_EQ(document["schemaVersion"].number, 1);
    EXPECT_EQ(document["exitCode"].number, report.code);
    ASSERT_EQ(document["errors"].items.size(), 1u);
    EXPECT_EQ(document["errors"].items[0].text.rfind(L"the ProgID No.Such.Class", 0), 0u);
    ASSERT_EQ(document["classes"].items.size(), 2u);
    EXPECT_EQ(document["classes"].items[1]["progId"].kind, Json::kNull);
    const Json& cls = document["classes"].items[0];
    EXPECT_EQ(cls["clsid"].text, kClass);
    EXPECT_EQ(cls["progId"].text, L"Legacy.Calculator");
    ASSERT_EQ(cls["clients"].items.size(), 2u);
    const std::set<std::wstring> steps = {L"class", L"activation", L"appId", L"dll", L"interfaces"};
    const std::set<std::wstring> statuses = {L"ok", L"note", L"warning", L"problem"};
    std::set<std::wstring> ids;
    for (size_t c = 0; c < 2; ++c) {
        const Json& client = cls["clients"].items[c];
        EXPECT_EQ(client.members.size(), 5u);
        EXPECT_EQ(client["bitness"].number, c == 0 ? 32 : 64);
        size_t problems = 0;
        size_t warnings = 0;
        for (const Json& step : client["steps"].items) {
            EXPECT_EQ(step.members.size(), 6u);
            EXPECT_EQ(steps.count(step["step"].text), 1u) << Narrow(step["step"].text);
            EXPECT_EQ(statuses.count(step["status"].text), 1u);
            EXPECT_EQ(step["text"].kind, Json::kString);
            const bool ok = step["status"].text == L"ok";
            EXPECT_EQ(step["id"].kind, ok ? Json::kNull : Json::kString);
            EXPECT_TRUE(ok || IsIdentifier(step["id"].text)) << Narrow(step["id"].text);
            ids.insert(step["id"].text);
            const Json& hresult = step["hresult"];
            EXPECT_TRUE(
                hresult.kind == Json::kNull ||
                (hresult.text.size() == 10 && hresult.text.rfind(L"0x", 0) == 0 &&
                 hresult.text.find_first_not_of(L"0123456789ABCDEF", 2) == std::wstring::npos))
                << Narrow(hresult.text);
            EXPECT_TRUE(step["fix"].kind == Json::kNull ||
                        (step["fix"].kind == Json::kString && !step["fix"].text.empty()));
            problems += step["status"].text == L"problem";
            warnings += step["status"].text == L"warning";
        }
        EXPECT_EQ(client["problems"].number, problems);
        EXPECT_EQ(client["warnings"].number, warnings);
        EXPECT_EQ(client["verdict"].text, problems == 0 ? L"ok" : L"willFail");
    }
    // The host path's quotes, backslash and tab come back as written.
    EXPECT_EQ(ids.count(L"unquotedHostPath") + ids.count(L"hostMissing"), 2u);
    bool found = false;
    for (const Json& step : cls["clients"].items[1]["steps"].items) {
        found = found || step["text"].text.find(L"x\" \\ \"\t.exe") != std::wstring::npos;
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(cls["clients"].items[1]["verdict"].text, L"willFail");
}

// The printed verdicts: a warning alone leaves a bitness ok, a problem makes it fail.
TEST(ClassCheckOutput, LinesEndInAVerdictPerBitness) {
    CheckReport report;
    report.classes.push_back(
        {kClass,
         L"Legacy.Calculator",
         {{k32, {{kWarning, L"appId", L"unquotedHostPath", S_OK, L"unquoted", L"quote it"}}},
          {k64, {{kProblem, L"dll", L"dllMissing", E_FAIL, L"gone"}, {kProblem, L"dll"}}}}});
    const std::vector<std::wstring> lines = CheckLines(report);
    const std::vector<std::wstring> expected = {
        kClass + L" Legacy.Calculator",
        L"  32-bit client:",
        L"    warning appId: unquoted",
        L"            fix: quote it",
        L"  64-bit client:",
        L"    problem dll: gone",
        L"    problem dll: ",
        L"  32-bit clients: ok (1 warning)",
        L"  64-bit clients: will fail (2 problems)",
    };
    EXPECT_EQ(lines, expected);
}

} // namespace
