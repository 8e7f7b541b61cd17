// pelmora-register.exe run as users run it, against classes this test writes into the registry
// view of its own bitness (the tool's too).
#include "ChildProcess.h"
#include "ClassRegistry.h"
#include "RegistrySnapshot.h"
#include "SampleClasses.h"

#include <aclapi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Made-up classes, each with the registration one case needs.
const std::wstring kPlain = L"{5E1C0A01-0000-4000-8000-00000000A001}";     // no AppID
const std::wstring kSharerOne = L"{5E1C0A01-0000-4000-8000-00000000A002}"; // AppID kShared
const std::wstring kSharerTwo = L"{5E1C0A01-0000-4000-8000-00000000A003}"; // AppID kShared
const std::wstring kShared = L"{5E1C0A01-0000-4000-8000-00000000AAAA}";
const std::wstring kHosted = L"{5E1C0A01-0000-4000-8000-00000000A004}"; // another host
const std::wstring kExe = L"{5E1C0A01-0000-4000-8000-00000000A005}";    // LocalServer32
const std::wstring kBare = L"{5E1C0A01-0000-4000-8000-00000000A006}";   // no InprocServer32
const std::wstring kLocked = L"{5E1C0A01-0000-4000-8000-00000000A007}"; // read-only key
const std::wstring kUnknown = L"{5E1C0A01-0000-4000-8000-00000000FFFF}";
const std::wstring kOtherHost = L"\"C:\\Program Files\\Other\\surrogate.exe\"";
const std::vector<std::wstring> kClasses = {kPlain, kSharerOne, kSharerTwo, kHosted,
                                            kExe,   kBare,      kLocked};

std::string Ascii(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

std::wstring Temp() {
    wchar_t path[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, path);
    return path;
}

// What the tool in folder writes as DllSurrogate.
std::wstring HostValue(const std::wstring& folder) {
    const std::wstring path = folder + L"\\pelmora-surrogate.exe";
    return path.find(L' ') == std::wstring::npos ? path : L"\"" + path + L"\"";
}

std::wstring ValueOf(const std::wstring& key, const wchar_t* name) {
    wchar_t data[1024] = {};
    DWORD size = sizeof(data);
    return RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, data,
                        &size) == ERROR_SUCCESS
               ? data
               : L"<absent>";
}

// Only the owner's right to change the DACL is left, as on a key an administrator wrote.
bool MakeReadOnly(const std::wstring& key, bool readOnly) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, WRITE_DAC, &handle) != ERROR_SUCCESS) {
        return false;
    }
    EXPLICIT_ACCESSW access = {};
    wchar_t everyone[] = L"EVERYONE";
    BuildExplicitAccessWithNameW(&access, everyone, readOnly ? KEY_READ : KEY_ALL_ACCESS,
                                 SET_ACCESS, NO_INHERITANCE);
    PACL acl = nullptr;
    bool done = SetEntriesInAclW(1, &access, nullptr, &acl) == ERROR_SUCCESS &&
                SetSecurityInfo(handle, SE_REGISTRY_KEY,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, acl, nullptr) == ERROR_SUCCESS;
    LocalFree(acl);
    RegCloseKey(handle);
    return done;
}

class RegisterTool : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = ProgramDirectory();
        // A DLL of its own name, so that only these classes name it.
        m_dll = Temp() + L"pelmora-register-fixture.dll";
        m_unregisteredDll = Temp() + L"pelmora-register-unregistered.dll";
        ASSERT_TRUE(CopyFileW(ProgramPath(L"pelmora-sample.dll").c_str(), m_dll.c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(m_dll.c_str(), m_unregisteredDll.c_str(), FALSE));
        RemoveAll();
        const std::wstring elsewhere = L"C:\\windows\\system32\\pelmora-elsewhere.dll";
        ASSERT_TRUE(AddClass(kPlain, L"Pelmora.Test.Plain", m_dll) &&
                    AddClass(kSharerOne, L"Pelmora.Test.SharerOne", m_dll) &&
                    SetClassesValue(L"CLSID\\" + kSharerOne, L"AppID", kShared) &&
                    AddClass(kSharerTwo, L"Pelmora.Test.SharerTwo", m_dll) &&
                    SetClassesValue(L"CLSID\\" + kSharerTwo, L"AppID", kShared) &&
                    SetClassesValue(L"AppID\\" + kShared, nullptr, L"Shared by two classes") &&
                    AddClass(kHosted, L"Pelmora.Test.Hosted", elsewhere) &&
                    SetClassesValue(L"CLSID\\" + kHosted, L"AppID", kHosted) &&
                    SetClassesValue(L"AppID\\" + kHosted, L"DllSurrogate", kOtherHost) &&
                    AddClass(kExe, L"Pelmora.Test.Exe", elsewhere) &&
                    SetClassesValue(L"CLSID\\" + kExe + L"\\LocalServer32", nullptr,
                                    L"C:\\windows\\system32\\notepad.exe") &&
                    SetClassesValue(L"CLSID\\" + kBare, nullptr, L"No server") &&
                    AddClass(kLocked, L"Pelmora.Test.Locked", elsewhere) &&
                    MakeReadOnly(L"CLSID\\" + kLocked, true));
        m_before = State();
    }
    void TearDown() override {
        RemoveAll();
        DeleteFileW(m_dll.c_str());
        DeleteFileW(m_unregisteredDll.c_str());
    }

    static bool AddClass(const std::wstring& clsid, const std::wstring& progId,
                         const std::wstring& dll) {
        const std::wstring key = L"CLSID\\" + clsid;
        return SetClassesValue(key, nullptr, progId) &&
               SetClassesValue(key + L"\\ProgID", nullptr, progId) &&
               SetClassesValue(key + L"\\InprocServer32", nullptr, dll) &&
               SetClassesValue(key + L"\\InprocServer32", L"ThreadingModel", L"Both") &&
               SetClassesValue(progId + L"\\CLSID", nullptr, clsid);
    }

    static void RemoveAll() {
        MakeReadOnly(L"CLSID\\" + kLocked, false);
        for (const std::wstring& clsid : kClasses) {
            const std::wstring progId = ValueOf(L"CLSID\\" + clsid + L"\\ProgID", nullptr);
            if (progId != L"<absent>") {
                RegDeleteTreeW(HKEY_CLASSES_ROOT, progId.c_str());
                RegDeleteKeyW(HKEY_CLASSES_ROOT, progId.c_str());
            }
            CLSID guid = {};
            CLSIDFromString(clsid.c_str(), &guid);
            DeleteClassKeys(guid);
        }
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"AppID\\" + kShared).c_str());
        RegDeleteKeyW(HKEY_CLASSES_ROOT, (L"AppID\\" + kShared).c_str());
    }

    // Every key a case may touch.
    static std::wstring State() {
        std::wstring state;
        for (const std::wstring& clsid : kClasses) {
            state += Snapshot(L"CLSID\\" + clsid) + Snapshot(L"AppID\\" + clsid);
        }
        return state + Snapshot(L"AppID\\" + kShared);
    }

    std::wstring m_folder;
    std::wstring m_dll;
    std::wstring m_unregisteredDll;
    std::wstring m_before;
};

struct Served {
    std::wstring clsid;
    std::wstring appId; // the AppID whose DllSurrogate add sets for the class
};

struct RoundTrip {
    const char* name;
    std::wstring options; // of add only
    std::wstring target;  // %DLL% stands for the fixture DLL's path
    std::vector<Served> classes;
};

void PrintTo(const RoundTrip& trip, std::ostream* out) {
    *out << trip.name;
}

class RegisterToolRoundTrip : public RegisterTool,
                              public ::testing::WithParamInterface<RoundTrip> {};

// add points every class of the target at the host, once however often it runs; remove puts
// back exactly what was there before, once however often it runs.
TEST_P(RegisterToolRoundTrip, AddsOnceAndRemoveRestoresThePriorState) {
    const RoundTrip& trip = GetParam();
    std::wstring target = trip.target;
    if (target == L"%DLL%") {
        target = QuoteArgument(m_dll);
    }

    const ToolRun added = RunTool(L"add " + trip.options + target);
    EXPECT_EQ(0u, added.exitCode) << added.output;
    for (const Served& served : trip.classes) {
        const std::wstring progId = ValueOf(L"CLSID\\" + served.clsid + L"\\ProgID", nullptr);
        EXPECT_NE(std::string::npos,
                  added.output.find(Ascii(L"added: " + served.clsid + L" " + progId + L" -> " +
                                          HostValue(m_folder) + L"\r\n")))
            << added.output;
        EXPECT_EQ(served.appId, ValueOf(L"CLSID\\" + served.clsid, L"AppID"));
        EXPECT_EQ(HostValue(m_folder), ValueOf(L"AppID\\" + served.appId, L"DllSurrogate"));
    }
    const std::wstring afterAdd = State();
    const ToolRun listed = RunTool(L"list");
    EXPECT_EQ(0u, listed.exitCode);
    for (const Served& served : trip.classes) {
        EXPECT_NE(std::string::npos, listed.output.find(Ascii(served.clsid))) << listed.output;
    }

    const ToolRun again = RunTool(L"add " + trip.options + target);
    EXPECT_EQ(0u, again.exitCode) << again.output;
    size_t already = 0;
    for (size_t at = again.output.find("already added: "); at != std::string::npos;
         at = again.output.find("already added: ", at + 1)) {
        ++already;
    }
    EXPECT_EQ(trip.classes.size(), already) << again.output;
    EXPECT_EQ(afterAdd, State());

    const ToolRun removed = RunTool(L"remove " + target);
    EXPECT_EQ(0u, removed.exitCode) << removed.output;
    EXPECT_NE(std::string::npos, removed.output.find(Ascii(L"removed: " + trip.classes[0].clsid)))
        << removed.output;
    EXPECT_EQ(m_before, State());

    const ToolRun removedAgain = RunTool(L"remove " + target);
    EXPECT_EQ(0u, removedAgain.exitCode) << removedAgain.output;
    EXPECT_NE(std::string::npos,
              removedAgain.output.find("nothing to remove, not added by pelmora-register: "))
        << removedAgain.output;
    EXPECT_EQ(m_before, State());
}

INSTANTIATE_TEST_SUITE_P(
    Targets, RegisterToolRoundTrip,
    ::testing::Values(
        RoundTrip{"ByDllPath",
                  {},
                  L"%DLL%",
                  {{kPlain, kPlain}, {kSharerOne, kShared}, {kSharerTwo, kShared}}},
        RoundTrip{"ByClsid", {}, L"{5e1c0a01-0000-4000-8000-00000000a001}", {{kPlain, kPlain}}},
        RoundTrip{
            "ByProgIdWithItsOwnAppId", {}, L"Pelmora.Test.SharerOne", {{kSharerOne, kShared}}},
        RoundTrip{
            "ForcedOverAnotherHost", L"--force ", L"Pelmora.Test.Hosted", {{kHosted, kHosted}}}),
    [](const ::testing::TestParamInfo<RoundTrip>& info) { return info.param.name; });

// Classes sharing an AppID share its host: it stays until the last of them is removed.
TEST_F(RegisterTool, SharedAppIdKeepsTheHostUntilItsLastClassIsRemoved) {
    ASSERT_EQ(0u, RunTool(L"add Pelmora.Test.SharerOne").exitCode);
    ASSERT_EQ(0u, RunTool(L"add Pelmora.Test.SharerTwo").exitCode);
    ASSERT_EQ(0u, RunTool(L"remove Pelmora.Test.SharerOne").exitCode);
    EXPECT_EQ(HostValue(m_folder), ValueOf(L"AppID\\" + kShared, L"DllSurrogate"));
    ASSERT_EQ(0u, RunTool(L"remove Pelmora.Test.SharerTwo").exitCode);
    EXPECT_EQ(m_before, State());
}

struct Refusal {
    const char* name;
    std::wstring arguments; // %DLL% and %UNREGISTERED% stand for the fixture DLLs' paths
    DWORD exitCode;
    std::string reason; // in the one line on standard error
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
    *out << refusal.name;
}

class RegisterToolRefusal : public RegisterTool, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RegisterToolRefusal, SaysWhyAndChangesNothing) {
    const Refusal& refusal = GetParam();
    std::wstring arguments = refusal.arguments;
    for (const auto& [mark, path] : {std::pair<std::wstring, std::wstring>{L"%DLL%", m_dll},
                                     {L"%UNREGISTERED%", m_unregisteredDll}}) {
        const auto at = arguments.find(mark);
        if (at != std::wstring::npos) {
            arguments.replace(at, mark.size(), QuoteArgument(path));
        }
    }
    const ToolRun run = RunTool(arguments);
    EXPECT_EQ(refusal.exitCode, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find(refusal.reason)) << run.output;
    EXPECT_EQ(std::string::npos, run.output.find("added: ")) << run.output;
    EXPECT_EQ(m_before, State());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegisterToolRefusal,
    ::testing::Values(
        Refusal{"NoCommand", L"", 1, "pelmora-register: no command\r\n"},
        Refusal{"UnknownCommand", L"register Pelmora.Test.Plain", 1, "unknown command register"},
        Refusal{"NoTarget", L"add", 1, "add needs a target"},
        Refusal{"UnknownOption", L"remove --force Pelmora.Test.Plain", 1, "unknown option --force"},
        Refusal{"ListWithTarget", L"list Pelmora.Test.Plain", 1, "list takes no target"},
        Refusal{"UnknownClsid", L"add " + kUnknown, 2,
                Ascii(kUnknown) + " is not registered in the "},
        Refusal{"UnknownProgId", L"add Pelmora.Test.Nobody", 2,
                "the ProgID Pelmora.Test.Nobody is not registered"},
        Refusal{"NotAGuid", L"add {5E1C0A01}", 2, "{5E1C0A01} is not a CLSID"},
        Refusal{"NoSuchFile", L"add C:\\nowhere\\missing.dll", 2,
                "there is no file C:\\nowhere\\missing.dll"},
        Refusal{"DllWithoutClasses", L"add %UNREGISTERED%", 2, "as its InprocServer32: run "},
        Refusal{"NoInprocServer", L"add " + kBare, 2, "has no InprocServer32"},
        Refusal{"LocalServer", L"add Pelmora.Test.Exe", 3, "has LocalServer32"},
        Refusal{"AnotherHost", L"add Pelmora.Test.Hosted", 4,
                "already has another host, \"C:\\Program Files\\Other\\surrogate.exe\" "
                "(--force replaces it)"},
        // One refused class keeps every other target as it was.
        Refusal{"OneBadTargetOfMany", L"add Pelmora.Test.Plain %DLL% Pelmora.Test.Hosted", 4,
                "already has another host"},
        Refusal{"NoRightToWrite", L"add Pelmora.Test.Locked", 5,
                "run this from an elevated prompt"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return info.param.name; });

// DllSurrogate starts a command line: a host whose path has a space gets it quoted, and the
// runtime starts it so.
TEST_F(RegisterTool, HostPathWithASpaceIsQuotedAndServes) {
    const std::wstring folder = Temp() + L"pelmora register tests";
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const wchar_t* file : {L"pelmora-register.exe", L"pelmora-surrogate.exe"}) {
        ASSERT_TRUE(CopyFileW(ProgramPath(file).c_str(), (folder + L"\\" + file).c_str(), FALSE));
    }
    const HMODULE sample = LoadLibraryW(ProgramPath(L"pelmora-sample.dll").c_str());
    ASSERT_NE(nullptr, sample);
    const auto registerServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(sample, "DllRegisterServer")));
    ASSERT_TRUE(SUCCEEDED(registerServer()));

    const ToolRun added = RunTool(std::wstring(L"add ") + kProgIdCalculator, folder);
    EXPECT_EQ(0u, added.exitCode) << added.output;
    EXPECT_EQ(L"\"" + folder + L"\\pelmora-surrogate.exe\"",
              ValueOf(L"AppID\\" + GuidText(kClsidCalculator), L"DllSurrogate"));

    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    IUnknown* object = nullptr;
    EXPECT_EQ(S_OK, CoCreateInstance(kClsidCalculator, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                     reinterpret_cast<void**>(&object)));
    const std::vector<DWORD> hosts = ProcessesOf(folder + L"\\pelmora-surrogate.exe");
    EXPECT_EQ(1u, hosts.size());
    if (object != nullptr) {
        object->Release();
    }
    CoUninitialize();
    for (const DWORD id : hosts) {
        const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (process != nullptr) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }

    EXPECT_EQ(0u, RunTool(std::wstring(L"remove ") + kProgIdCalculator, folder).exitCode);
    EXPECT_EQ(L"<absent>", ValueOf(L"AppID\\" + GuidText(kClsidCalculator), L"DllSurrogate"));
    const auto unregisterServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(sample, "DllUnregisterServer")));
    unregisterServer();
    FreeLibrary(sample);
    for (const wchar_t* file : {L"pelmora-register.exe", L"pelmora-surrogate.exe"}) {
        DeleteFileW((folder + L"\\" + file).c_str());
    }
    RemoveDirectoryW(folder.c_str());
}

} // namespace
