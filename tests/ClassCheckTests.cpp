// pelmora-register check's findings, as data: a class that works for clients of both bitnesses,
// one change to it per case, and what a client of one bitness is then told.
#include "ClassCheck.h"
#include "Registration.h"
#include "RegistryModel.h"

#include <gtest/gtest.h>

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
constexpr REGSAM k32 = KEY_WOW64_32KEY;
constexpr REGSAM k64 = KEY_WOW64_64KEY;

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
constexpr auto kProblem = CheckStep::kProblem;

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
    {"AppIdWithoutDllSurrogate",
     {{kAppId, L"DllSurrogate", std::nullopt}},
     k64,
     {kProblem, L"activation", L"neither view gives it an out-of-process server",
      L"run pelmora-register add {C4EC0000-0000-4000-8000-000000000001} with the 32-bit tool"},
     2},
    {"NoAppIdValue",
     {{kCls32, L"AppID", std::nullopt}},
     k32,
     {kProblem, L"AppID", L"the class has no AppID value", nullptr},
     2},
    {"AppIdKeyMissing",
     {Gone(kAppId)},
     k64,
     {kProblem, L"AppID", L"is not registered", nullptr},
     2},
    {"DllSurrogateNamesAMissingHost",
     {Set(kAppId, L"DllSurrogate", L"C:\\Old\\pelmora-surrogate.exe")},
     k64,
     {kProblem, L"AppID",
      L"DllSurrogate names C:\\Old\\pelmora-surrogate.exe, which does not exist",
      L"install the host there"},
     1},
    {"HostOfTheWrongBitness",
     {Set(kAppId, L"DllSurrogate", kHost64)},
     k64,
     {kProblem, L"AppID",
      L"is 64-bit (x64) and the DLL 32-bit (x86): a host loads DLLs of its own bitness only",
      L"with the 32-bit tool"},
     1},
    {"UnquotedPathWithSpaces",
     {Set(kAppId, L"DllSurrogate", L"C:\\Program Files\\Pelmora\\pelmora-surrogate.exe")},
     k32,
     {kProblem, L"AppID",
      L"has a space but no quotes, so the runtime may start C:\\Program instead",
      L"quote the path"},
     1},
    {"QuotedPathWithSpacesIsFine",
     {Set(kAppId, L"DllSurrogate", L"\"" + kHost32 + L"\"")},
     k32,
     {kOk, L"AppID",
      L"DllSurrogate C:\\Pelmora\\x86\\pelmora-surrogate.exe, 32-bit (x86), as the DLL", nullptr},
     0},
    {"EmptyDllSurrogateIsTheSystemsOwn",
     {Set(kAppId, L"DllSurrogate", L"")},
     k64,
     {kOk, L"AppID", L"the system's own surrogate", nullptr},
     0},
    {"SecuritySettingsAreNotedNotJudged",
     {Set(kAppId, L"RunAs", L"Interactive User")},
     k64,
     {kNote, L"AppID", L"RunAs Interactive User is set: it decides the account the host runs as",
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
     {kProblem, L"DLL", L"InprocServer32 C:\\Gone\\legacy.dll names no file", nullptr},
     1},
    {"DllOfTheOtherMachineThanItsHost",
     {},
     k64,
     {kProblem, L"AppID", L"the DLL 64-bit (x64)", nullptr},
     1,
     {IMAGE_FILE_MACHINE_AMD64, IMAGE_FILE_MACHINE_I386, true}},
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
     {Set(L"HKLM32\\CLSID\\" + kStubs + L"\\InprocServer32", L"",
          L"%SystemRoot%\\System32\\legacyps.dll"),
      Set(L"HKLM64\\CLSID\\" + kStubs + L"\\InprocServer32", L"", L"legacyps.dll")},
     k64,
     {kOk, L"interfaces", L"ICustom", nullptr},
     0},
    {"TheHostNeedsTheStubOfItsBitnessToo",
     {Gone(L"HKLM32\\CLSID\\" + kStubs)},
     k64,
     {kProblem, L"interfaces", L"in the host (32-bit)", L"as 32-bit"},
     1},
    {"DualInterfaceInTheDllsViewOnly",
     {Gone(L"HKLM64\\Interface\\" + kDual), Gone(L"HKLM32\\TypeLib\\" + kLib + L"\\1.0\\0\\win64")},
     k64,
     {kOk, L"interfaces",
      L"the type-library marshaler, with TypeLib {C4EC0000-0000-4000-8000-0000000000B1}, "
      L"registered in the 32-bit view only, which the runtime also reads; the library is "
      L"registered for win32 only, which LoadRegTypeLib falls back to",
      nullptr},
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
    files.AddImage(kHost32, row.files.host32);
    files.AddImage(L"C:\\windows\\system32\\legacyps.dll", IMAGE_FILE_MACHINE_AMD64);
    files.AddImage(L"C:\\windows\\SysWOW64\\legacyps.dll", IMAGE_FILE_MACHINE_I386);
    files.AddImage(kHost64, IMAGE_FILE_MACHINE_AMD64);
    files.AddImage(L"C:\\Vendor\\legacy.exe", IMAGE_FILE_MACHINE_I386);
    files.AddImage(L"C:\\Vendor\\x64\\legacy.exe", IMAGE_FILE_MACHINE_AMD64);
    files.AddImage(L"C:\\Vendor\\x64\\legacy.dll", IMAGE_FILE_MACHINE_AMD64);

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
            (step.status == row.finding.status && step.step == row.finding.step &&
             step.text.find(row.finding.says) != std::wstring::npos &&
             (row.finding.fix == nullptr || step.fix.find(row.finding.fix) != std::wstring::npos));
    }
    EXPECT_TRUE(found) << "wanted: " << std::wstring(row.finding.says) << "\nsteps:\n" << all;
    EXPECT_EQ(client.Problems(), row.problems) << all;
    const bool anyProblem =
        report.classes[0].clients[0].Problems() + report.classes[0].clients[1].Problems() > 0;
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
    files.AddImage(kHost32, IMAGE_FILE_MACHINE_I386);
    const CheckReport found =
        CClassChecker(registry, files, k64).Check({L"Legacy.Calculator", kDll, kClass});
    ASSERT_EQ(found.classes.size(), 1u);
    EXPECT_EQ(found.classes[0].progId, L"Legacy.Calculator");
    EXPECT_TRUE(found.errors.empty());

    const CheckReport refused = CClassChecker(registry, files, k64).Check({L"No.Such.Class"});
    EXPECT_EQ(refused.code, kExitNotRegistered);
    ASSERT_EQ(refused.errors.size(), 1u);
    EXPECT_EQ(refused.errors[0],
              L"pelmora-register: the ProgID No.Such.Class is not registered in "
              L"the 64-bit registry view: run the 64-bit regsvr32 "
              L"(%SystemRoot%\\System32\\regsvr32.exe) on its DLL first (and the 32-bit "
              L"view has no such class either)");
}

// The printed report and the JSON document carry the same findings, and the verdicts close it.
TEST(ClassCheckOutput, LinesEndInAVerdictPerBitnessAndJsonEscapes) {
    CheckReport report;
    report.code = kExitProblems;
    report.classes.push_back(
        {kClass,
         L"Legacy.Calculator",
         {{k32, {{kOk, L"class", L"found", {}}}},
          {k64, {{kProblem, L"AppID", L"DllSurrogate \"C:\\x\"", L"quote it"}}}}});
    const std::vector<std::wstring> lines = CheckLines(report);
    const std::vector<std::wstring> expected = {
        kClass + L" Legacy.Calculator",
        L"  32-bit client:",
        L"    ok      class: found",
        L"  64-bit client:",
        L"    problem AppID: DllSurrogate \"C:\\x\"",
        L"            fix: quote it",
        L"  32-bit clients: ok",
        L"  64-bit clients: will fail (1 problem)",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(CheckJson(report),
              L"{\"exitCode\":11,\"errors\":[],\"classes\":[{\"clsid\":\"" + kClass +
                  L"\",\"progId\":\"Legacy.Calculator\",\"clients\":["
                  L"{\"bitness\":32,\"verdict\":\"ok\",\"problems\":0,\"steps\":[{\"step\":"
                  L"\"class\",\"status\":\"ok\",\"text\":\"found\",\"fix\":\"\"}]},"
                  L"{\"bitness\":64,\"verdict\":\"will fail\",\"problems\":1,\"steps\":[{\"step\":"
                  L"\"AppID\",\"status\":\"problem\",\"text\":\"DllSurrogate \\\"C:\\\\x\\\"\","
                  L"\"fix\":\"quote it\"}]}]}]}");
}

} // namespace
