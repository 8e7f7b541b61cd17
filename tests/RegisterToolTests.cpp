// pelmora-register.exe run as users run it, against classes this test writes into the registry
// view of its own bitness (the tool's too), and into the other view where a case needs it. Every
// key a case may touch is compared in both roots and both views, and put back by the fixture
// whatever the case's outcome.
#include "ChildProcess.h"
#include "ClassRegistry.h"
#include "LongTests.h"
#include "Paths.h"
#include "Platform.h"
#include "Processes.h"
#include "RegistrySnapshot.h"
#include "SampleClasses.h"
#include "Strings.h"
#include "Unique.h"

#include <aclapi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <memory>
#include <string>
#include <vector>

namespace {

#ifdef _WIN64
constexpr REGSAM kOwnView = KEY_WOW64_64KEY;
constexpr REGSAM kOtherView = KEY_WOW64_32KEY;
#else
constexpr REGSAM kOwnView = KEY_WOW64_32KEY;
constexpr REGSAM kOtherView = KEY_WOW64_64KEY;
#endif

// Build folder names, such as mingw-x86 and mingw-x64.

// Made-up classes, each with the registration one case needs.
const std::wstring kPlain = L"{5E1C0A01-0000-4000-8000-00000000A001}";     // no AppID
const std::wstring kSharerOne = L"{5E1C0A01-0000-4000-8000-00000000A002}"; // AppID kShared
const std::wstring kSharerTwo = L"{5E1C0A01-0000-4000-8000-00000000A003}"; // AppID kShared
const std::wstring kShared = L"{5E1C0A01-0000-4000-8000-00000000AAAA}";
const std::wstring kHosted = L"{5E1C0A01-0000-4000-8000-00000000A004}"; // another host
const std::wstring kExe = L"{5E1C0A01-0000-4000-8000-00000000A005}";    // LocalServer32
const std::wstring kBare = L"{5E1C0A01-0000-4000-8000-00000000A006}";   // no InprocServer32
const std::wstring kLocked = L"{5E1C0A01-0000-4000-8000-00000000A007}"; // read-only key
const std::wstring kDword = L"{5E1C0A01-0000-4000-8000-00000000A008}";  // DllSurrogate REG_DWORD
const std::wstring kBinary = L"{5E1C0A01-0000-4000-8000-00000000A009}"; // DllSurrogate REG_BINARY
const std::wstring kExpand = L"{5E1C0A01-0000-4000-8000-00000000A00A}"; // REG_EXPAND_SZ
const std::wstring kSplit = L"{5E1C0A01-0000-4000-8000-00000000A00B}";  // partial in HKCU
const std::wstring kOverridden = L"{5E1C0A01-0000-4000-8000-00000000A00C}"; // AppID kUserApp
const std::wstring kUserApp = L"{5E1C0A01-0000-4000-8000-00000000ABBB}";    // in HKCU and HKLM
const std::wstring kForm = L"{5E1C0A01-0000-4000-8000-00000000A00D}";       // written by a case
const std::wstring kBoth = L"{5E1C0A01-0000-4000-8000-00000000A00E}"; // in both views, by a case
const std::wstring kUnknown = L"{5E1C0A01-0000-4000-8000-00000000FFFF}";
const std::wstring kOtherHost = L"\"C:\\Program Files\\Other\\surrogate.exe\"";
const std::wstring kExpandHost = L"%SystemRoot%\\Other\\surrogate.exe";
const std::wstring kElsewhere = L"C:\\windows\\system32\\pelmora-elsewhere.dll";
const std::wstring kFormName = L"pelmora-register-form.dll";
const std::vector<std::wstring> kClasses = {kPlain, kSharerOne,  kSharerTwo, kHosted, kExe,
                                            kBare,  kLocked,     kDword,     kBinary, kExpand,
                                            kSplit, kOverridden, kForm,      kBoth};
const std::vector<std::wstring> kAppIds = {kShared, kUserApp};
const std::vector<std::wstring> kProgIds = {
    L"Pelmora.Test.Plain",  L"Pelmora.Test.SharerOne",  L"Pelmora.Test.SharerTwo",
    L"Pelmora.Test.Hosted", L"Pelmora.Test.Exe",        L"Pelmora.Test.Locked",
    L"Pelmora.Test.Dword",  L"Pelmora.Test.Binary",     L"Pelmora.Test.Expand",
    L"Pelmora.Test.Split",  L"Pelmora.Test.Overridden", L"Pelmora.Test.Form",
    L"Pelmora.Test.Both",   L"Pelmora.Test.OtherView"};

std::wstring ShortPath(const std::wstring& path) {
    wchar_t shortPath[MAX_PATH] = {};
    const DWORD length = GetShortPathNameW(path.c_str(), shortPath, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? path : shortPath;
}

std::wstring PathVariable() {
    std::wstring value(32767, L'\0');
    value.resize(GetEnvironmentVariableW(L"PATH", &value[0], 32767));
    return value;
}

// What the tool in folder writes as DllSurrogate.
std::wstring HostValue(const std::wstring& folder) {
    const std::wstring path = folder + L"\\pelmora-surrogate.exe";
    return path.find(L' ') == std::wstring::npos ? path : L"\"" + path + L"\"";
}

// A string value of this view's classes as the runtime finds it: from HKCU's key, else HKLM's.
std::wstring ValueOf(const std::wstring& key, const wchar_t* name) {
    for (const HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        win::UniqueKey handle;
        if (RegOpenKeyExW(root, (L"Software\\Classes\\" + key).c_str(), 0, KEY_READ | kOwnView,
                          handle.Put()) != ERROR_SUCCESS) {
            continue;
        }
        wchar_t data[1024] = {};
        DWORD size = sizeof(data);
        const LONG error =
            RegGetValueW(handle.Get(), nullptr, name, RRF_RT_REG_SZ, nullptr, data, &size);
        return error == ERROR_SUCCESS ? data : L"<absent>";
    }
    return L"<absent>";
}

// Writes a value of any type under a root's Software\Classes in one view, creating the key.
bool SetRaw(HKEY root, REGSAM view, const std::wstring& key, const wchar_t* name, DWORD type,
            const void* data, size_t size) {
    win::UniqueKey handle;
    if (RegCreateKeyExW(root, (L"Software\\Classes\\" + key).c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE | view, nullptr, handle.Put(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return RegSetValueExW(handle.Get(), name, 0, type, static_cast<const BYTE*>(data),
                          static_cast<DWORD>(size)) == ERROR_SUCCESS;
}

bool SetText(HKEY root, REGSAM view, const std::wstring& key, const wchar_t* name,
             const std::wstring& text, DWORD type = REG_SZ) {
    return SetRaw(root, view, key, name, type, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

// HKLM of this view, where classes are registered for all users.
bool SetMachine(const std::wstring& key, const wchar_t* name, const std::wstring& text,
                DWORD type = REG_SZ) {
    return SetText(HKEY_LOCAL_MACHINE, kOwnView, key, name, text, type);
}

bool AddClass(const std::wstring& clsid, const std::wstring& progId, const std::wstring& dll,
              REGSAM view = kOwnView, DWORD type = REG_SZ) {
    const std::wstring key = L"CLSID\\" + clsid;
    const auto set = [view](const std::wstring& at, const wchar_t* name, const std::wstring& text,
                            DWORD valueType = REG_SZ) {
        return SetText(HKEY_LOCAL_MACHINE, view, at, name, text, valueType);
    };
    return set(key, nullptr, progId) && set(key + L"\\ProgID", nullptr, progId) &&
           set(key + L"\\InprocServer32", nullptr, dll, type) &&
           set(key + L"\\InprocServer32", L"ThreadingModel", L"Both") &&
           set(progId + L"\\CLSID", nullptr, clsid);
}

// Only the owner's right to change the DACL is left, as on a key an administrator wrote.
bool MakeReadOnly(const std::wstring& key, bool readOnly) {
    win::UniqueKey handle;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"Software\\Classes\\" + key).c_str(), 0,
                      WRITE_DAC | kOwnView, handle.Put()) != ERROR_SUCCESS) {
        return false;
    }
    EXPLICIT_ACCESSW access = {};
    wchar_t everyone[] = L"EVERYONE";
    BuildExplicitAccessWithNameW(&access, everyone, readOnly ? KEY_READ : KEY_ALL_ACCESS,
                                 SET_ACCESS, NO_INHERITANCE);
    win::UniqueLocalMemory<ACL> acl;
    return SetEntriesInAclW(1, &access, nullptr, acl.Put()) == ERROR_SUCCESS &&
           SetSecurityInfo(handle.Get(), SE_REGISTRY_KEY,
                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                           nullptr, nullptr, acl.Get(), nullptr) == ERROR_SUCCESS;
}

// kForm, its InprocServer32 naming a copy of the sample DLL in some form; file: that copy.
bool RegisterForm(const std::wstring& file, const std::wstring& inproc, DWORD type = REG_SZ) {
    return CopyFileW(ProgramPath(L"pelmora-sample.dll").c_str(), file.c_str(), FALSE) &&
           AddClass(kForm, L"Pelmora.Test.Form", inproc, kOwnView, type);
}

std::wstring PathFolder() {
    return TempDirectory() + L"pelmora-register-path";
}

// A case's own registration; file: what %FORM% stands for.
using Setup = bool (*)(std::wstring& file);

bool FormAs83Name(std::wstring& file) {
    file = TempDirectory() + kFormName;
    return CopyFileW(ProgramPath(L"pelmora-sample.dll").c_str(), file.c_str(), FALSE) &&
           ShortPath(file) != file && RegisterForm(file, ShortPath(file));
}

bool FormWithForwardSlashes(std::wstring& file) {
    file = TempDirectory() + kFormName;
    std::wstring slashes = file;
    std::replace(slashes.begin(), slashes.end(), L'\\', L'/');
    return RegisterForm(file, slashes);
}

bool FormInOtherCase(std::wstring& file) {
    file = TempDirectory() + kFormName;
    std::wstring upper = file;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
    return RegisterForm(file, upper);
}

bool FormWithSystemRoot(std::wstring& file) {
    file = WindowsDirectory() + L"\\" + kFormName;
    return RegisterForm(file, L"%SystemRoot%\\" + kFormName, REG_EXPAND_SZ);
}

bool FormBareInSystemDirectory(std::wstring& file) {
    file = SystemDirectory() + L"\\" + kFormName;
    return RegisterForm(file, kFormName);
}

bool FormBareOnPath(std::wstring& file) {
    CreateDirectoryW(PathFolder().c_str(), nullptr);
    file = PathFolder() + L"\\" + kFormName;
    return SetEnvironmentVariableW(L"PATH", (PathFolder() + L";" + PathVariable()).c_str()) &&
           RegisterForm(file, kFormName);
}

bool FormBareNowhere(std::wstring& file) {
    file = TempDirectory() + kFormName;
    return RegisterForm(file, kFormName);
}

bool FormRelative(std::wstring& file) {
    file = TempDirectory() + kFormName;
    return RegisterForm(file, L"pelmora\\" + kFormName);
}

class RegisterTool : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = win::ProgramDirectory();
        m_path = PathVariable();
        // A new prefix has no HKCU\Software\Classes; the cases create it.
        for (const wchar_t* parent :
             {L"Software\\Classes\\AppID", L"Software\\Classes\\CLSID", L"Software\\Classes"}) {
            win::UniqueKey key;
            if (RegOpenKeyExW(HKEY_CURRENT_USER, parent, 0, KEY_READ | kOwnView, key.Put()) !=
                ERROR_SUCCESS) {
                m_createdParents.push_back(parent);
            }
        }
        // A DLL of its own name, so that only these classes name it.
        m_dll = TempDirectory() + L"pelmora-register-fixture.dll";
        m_unregisteredDll = TempDirectory() + L"pelmora-register-unregistered.dll";
        ASSERT_TRUE(CopyFileW(ProgramPath(L"pelmora-sample.dll").c_str(), m_dll.c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(m_dll.c_str(), m_unregisteredDll.c_str(), FALSE));
        RemoveAll();
        const DWORD dword = 7;
        const BYTE binary[] = {0x50, 0x00, 0xff};
        ASSERT_TRUE(
            AddClass(kPlain, L"Pelmora.Test.Plain", m_dll) &&
            AddClass(kSharerOne, L"Pelmora.Test.SharerOne", m_dll) &&
            SetMachine(L"CLSID\\" + kSharerOne, L"AppID", kShared) &&
            AddClass(kSharerTwo, L"Pelmora.Test.SharerTwo", m_dll) &&
            SetMachine(L"CLSID\\" + kSharerTwo, L"AppID", kShared) &&
            SetMachine(L"AppID\\" + kShared, nullptr, L"Shared by two classes") &&
            AddClass(kHosted, L"Pelmora.Test.Hosted", kElsewhere) &&
            SetMachine(L"CLSID\\" + kHosted, L"AppID", kHosted) &&
            SetMachine(L"AppID\\" + kHosted, L"DllSurrogate", kOtherHost) &&
            AddClass(kExe, L"Pelmora.Test.Exe", kElsewhere) &&
            SetMachine(L"CLSID\\" + kExe + L"\\LocalServer32", nullptr,
                       L"C:\\windows\\system32\\notepad.exe") &&
            SetMachine(L"CLSID\\" + kBare, nullptr, L"No server") &&
            AddClass(kLocked, L"Pelmora.Test.Locked", kElsewhere) &&
            MakeReadOnly(L"CLSID\\" + kLocked, true) &&
            AddClass(kDword, L"Pelmora.Test.Dword", kElsewhere) &&
            SetMachine(L"CLSID\\" + kDword, L"AppID", kDword) &&
            SetRaw(HKEY_LOCAL_MACHINE, kOwnView, L"AppID\\" + kDword, L"DllSurrogate", REG_DWORD,
                   &dword, sizeof(dword)) &&
            AddClass(kBinary, L"Pelmora.Test.Binary", kElsewhere) &&
            SetMachine(L"CLSID\\" + kBinary, L"AppID", kBinary) &&
            SetRaw(HKEY_LOCAL_MACHINE, kOwnView, L"AppID\\" + kBinary, L"DllSurrogate", REG_BINARY,
                   binary, sizeof(binary)) &&
            AddClass(kExpand, L"Pelmora.Test.Expand", kElsewhere) &&
            SetMachine(L"CLSID\\" + kExpand, L"AppID", kExpand) &&
            SetMachine(L"AppID\\" + kExpand, L"DllSurrogate", kExpandHost, REG_EXPAND_SZ) &&
            // HKCU's key of the class holds only its ProgID; HKLM's has the server.
            AddClass(kSplit, L"Pelmora.Test.Split", kElsewhere) &&
            SetText(HKEY_CURRENT_USER, kOwnView, L"CLSID\\" + kSplit + L"\\ProgID", nullptr,
                    L"Pelmora.Test.Split") &&
            // HKCU's key of the AppID, without a DllSurrogate, hides HKLM's and its host.
            AddClass(kOverridden, L"Pelmora.Test.Overridden", kElsewhere) &&
            SetMachine(L"CLSID\\" + kOverridden, L"AppID", kUserApp) &&
            SetMachine(L"AppID\\" + kUserApp, L"DllSurrogate", kOtherHost) &&
            SetText(HKEY_CURRENT_USER, kOwnView, L"AppID\\" + kUserApp, nullptr, L"Per user"));
        m_before = State();
    }
    void TearDown() override {
        RemoveAll();
        SetEnvironmentVariableW(L"PATH", m_path.c_str());
        for (const std::wstring& file :
             {m_dll, m_unregisteredDll, TempDirectory() + kFormName,
              WindowsDirectory() + L"\\" + kFormName, SystemDirectory() + L"\\" + kFormName,
              PathFolder() + L"\\" + kFormName}) {
            DeleteFileW(file.c_str());
        }
        RemoveDirectoryW(PathFolder().c_str());
        for (const std::wstring& folder : m_copies) {
            DeleteCopy(folder);
        }
        for (const std::wstring& parent : m_createdParents) {
            // Only when nothing else was put there meanwhile.
            win::UniqueKey key;
            DWORD subkeys = 1;
            DWORD values = 1;
            if (RegOpenKeyExW(HKEY_CURRENT_USER, parent.c_str(), 0, KEY_READ | kOwnView,
                              key.Put()) == ERROR_SUCCESS) {
                RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                 &values, nullptr, nullptr, nullptr, nullptr);
            }
            if (subkeys == 0 && values == 0) {
                RegDeleteKeyExW(HKEY_CURRENT_USER, parent.c_str(), kOwnView, 0);
            }
        }
    }

    static void RemoveAll() {
        MakeReadOnly(L"CLSID\\" + kLocked, false);
        for (const std::wstring& progId : kProgIds) {
            DeleteEverywhere(progId);
        }
        for (const std::wstring& clsid : kClasses) {
            DeleteEverywhere(L"CLSID\\" + clsid);
            DeleteEverywhere(L"AppID\\" + clsid);
        }
        for (const std::wstring& appId : kAppIds) {
            DeleteEverywhere(L"AppID\\" + appId);
        }
    }

    // Every key a case may touch, in both roots and both views.
    static std::wstring State() {
        std::wstring state;
        for (const std::wstring& clsid : kClasses) {
            state +=
                SnapshotEverywhere(L"CLSID\\" + clsid) + SnapshotEverywhere(L"AppID\\" + clsid);
        }
        for (const std::wstring& appId : kAppIds) {
            state += SnapshotEverywhere(L"AppID\\" + appId);
        }
        return state;
    }

    // The tool and its host copied to a folder, deleted again by the teardown.
    std::wstring CopyTool(const std::wstring& folder) {
        CreateDirectoryW(folder.c_str(), nullptr);
        m_copies.push_back(folder);
        for (const wchar_t* file : {L"pelmora-register.exe", L"pelmora-surrogate.exe"}) {
            EXPECT_TRUE(
                CopyFileW(ProgramPath(file).c_str(), (folder + L"\\" + file).c_str(), FALSE));
        }
        return folder;
    }
    static void DeleteCopy(const std::wstring& folder) {
        for (const wchar_t* file : {L"pelmora-register.exe", L"pelmora-surrogate.exe"}) {
            DeleteFileW((folder + L"\\" + file).c_str());
        }
        RemoveDirectoryW(folder.c_str());
    }

    // %DLL%, %UNREGISTERED% and %FORM% replaced by those files' paths.
    std::wstring WithPaths(std::wstring text, const std::wstring& form = {}) const {
        for (const auto& [mark, path] : {std::pair<std::wstring, std::wstring>{L"%DLL%", m_dll},
                                         {L"%UNREGISTERED%", m_unregisteredDll},
                                         {L"%FORM%", form}}) {
            for (auto at = text.find(mark); at != std::wstring::npos; at = text.find(mark)) {
                text.replace(at, mark.size(), QuoteArgument(path));
            }
        }
        return text;
    }

    std::wstring m_folder;
    std::wstring m_path;
    std::vector<std::wstring> m_createdParents;
    std::wstring m_dll;
    std::wstring m_unregisteredDll;
    std::vector<std::wstring> m_copies;
    std::wstring m_before;
};

struct Served {
    std::wstring clsid;
    std::wstring appId; // the AppID whose DllSurrogate add sets for the class
};

struct RoundTrip {
    const char* name;
    std::wstring options; // of add only
    std::wstring target;  // %DLL% and %FORM% stand for the files' paths
    std::vector<Served> classes;
    Setup setup = nullptr;
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
    std::wstring form;
    if (trip.setup != nullptr) {
        ASSERT_TRUE(trip.setup(form));
        m_before = State();
    }
    const std::wstring target = WithPaths(trip.target, form);

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
        RoundTrip{"InprocServerAs83Name", {}, L"%FORM%", {{kForm, kForm}}, FormAs83Name},
        RoundTrip{"InprocServerWithForwardSlashes",
                  {},
                  L"%FORM%",
                  {{kForm, kForm}},
                  FormWithForwardSlashes},
        RoundTrip{"InprocServerInOtherCase", {}, L"%FORM%", {{kForm, kForm}}, FormInOtherCase},
        RoundTrip{
            "InprocServerWithSystemRoot", {}, L"%FORM%", {{kForm, kForm}}, FormWithSystemRoot},
        RoundTrip{"InprocServerBareNameInSystemDirectory",
                  {},
                  L"%FORM%",
                  {{kForm, kForm}},
                  FormBareInSystemDirectory},
        RoundTrip{"InprocServerBareNameOnPath", {}, L"%FORM%", {{kForm, kForm}}, FormBareOnPath}),
    [](const ::testing::TestParamInfo<RoundTrip>& info) { return info.param.name; });

struct Order {
    const char* name;
    bool ownRemovedFirst;
};

void PrintTo(const Order& order, std::ostream* out) {
    *out << order.name;
}

class RegisterToolBothViews : public RegisterTool, public ::testing::WithParamInterface<Order> {};

// One CLSID in both views, as a DLL shipped in both bitnesses is: each build's tool adds its class,
// and on 64-bit Windows both land in one AppID key. Removed in either order, nothing is lost.
TEST_P(RegisterToolBothViews, BothToolsAddAndRemoveInEitherOrder) {
    const std::wstring otherTool = OtherBuildPath(L"pelmora-register.exe");
    ASSERT_FALSE(otherTool.empty()) << "the other bitness's build is missing; build both presets";
    const std::wstring otherFolder = otherTool.substr(0, otherTool.rfind(L'\\'));
    ASSERT_TRUE(AddClass(kBoth, L"Pelmora.Test.Both", kElsewhere, kOwnView) &&
                AddClass(kBoth, L"Pelmora.Test.Both", kElsewhere, kOtherView));
    m_before = State();

    const ToolRun own = RunTool(L"add " + kBoth);
    ASSERT_EQ(0u, own.exitCode) << own.output;
    const ToolRun other = RunTool(L"add --force " + kBoth, otherFolder);
    ASSERT_EQ(0u, other.exitCode) << other.output;

    for (const bool ownTurn : {GetParam().ownRemovedFirst, !GetParam().ownRemovedFirst}) {
        const ToolRun removed =
            ownTurn ? RunTool(L"remove " + kBoth) : RunTool(L"remove " + kBoth, otherFolder);
        EXPECT_EQ(0u, removed.exitCode) << removed.output;
        EXPECT_NE(std::string::npos, removed.output.find(Ascii(L"removed: " + kBoth)))
            << removed.output;
    }
    EXPECT_EQ(m_before, State());
}

INSTANTIATE_TEST_SUITE_P(Orders, RegisterToolBothViews,
                         ::testing::Values(Order{"OwnViewRemovedFirst", true},
                                           Order{"OtherViewRemovedFirst", false}),
                         [](const ::testing::TestParamInfo<Order>& info) {
                             return info.param.name;
                         });

// A key the user may not write, found before anything is written: nothing changes, and so there
// is nothing for remove to undo.
TEST_F(RegisterTool, WriteDeniedOnOneKeyLeavesNothingToUndo) {
    const ToolRun added = RunTool(WithPaths(L"add Pelmora.Test.Plain %DLL% Pelmora.Test.Locked"));
    EXPECT_EQ(5u, added.exitCode) << added.output;
    EXPECT_EQ(m_before, State());
    const ToolRun removed = RunTool(L"remove Pelmora.Test.Plain");
    EXPECT_EQ(0u, removed.exitCode) << removed.output;
    EXPECT_NE(std::string::npos,
              removed.output.find("nothing to remove, not added by pelmora-register: "))
        << removed.output;
    EXPECT_EQ(m_before, State());
}

struct HostPath {
    const char* name;
    size_t length; // of DllSurrogate as written, quoted
    bool warned;
};

void PrintTo(const HostPath& host, std::ostream* out) {
    *out << host.name;
}

class RegisterToolHostPath : public RegisterTool, public ::testing::WithParamInterface<HostPath> {};

// Wine reads DllSurrogate into MAX_PATH + 1 characters, the null included, and starts its own
// surrogate when it does not fit.
TEST_P(RegisterToolHostPath, AddWarnsWhenTheQuotedPathIsLongerThanMaxPath) {
    const size_t folderLength =
        GetParam().length - 2 - std::wstring(L"\\pelmora-surrogate.exe").size();
    std::wstring folder = TempDirectory() + L"pelmora long ";
    folder.append(folderLength - folder.size(), L'x');
    CopyTool(folder);
    ASSERT_EQ(GetParam().length, HostValue(folder).size());

    const ToolRun added = RunTool(L"add Pelmora.Test.Plain", folder);
    EXPECT_EQ(0u, added.exitCode) << added.output;
    EXPECT_EQ(GetParam().warned,
              added.output.find("pelmora-register: warning: the host's path as written, " +
                                Ascii(HostValue(folder)) +
                                ", is longer than MAX_PATH (260 characters): Wine then starts its "
                                "default surrogate instead\r\n") != std::string::npos)
        << added.output;
    EXPECT_EQ(HostValue(folder), ValueOf(L"AppID\\" + kPlain, L"DllSurrogate"));
    EXPECT_EQ(0u, RunTool(L"remove Pelmora.Test.Plain", folder).exitCode);
    EXPECT_EQ(m_before, State());
}

INSTANTIATE_TEST_SUITE_P(Lengths, RegisterToolHostPath,
                         ::testing::Values(HostPath{"MaxPath", MAX_PATH, false},
                                           HostPath{"BeyondMaxPath", MAX_PATH + 1, true}),
                         [](const ::testing::TestParamInfo<HostPath>& info) {
                             return info.param.name;
                         });

struct Refusal {
    const char* name;
    std::wstring arguments; // %DLL%, %UNREGISTERED% and %FORM% stand for the files' paths
    DWORD exitCode;
    std::string reason; // in the one line on standard error
    Setup setup = nullptr;
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
    *out << refusal.name;
}

class RegisterToolRefusal : public RegisterTool, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RegisterToolRefusal, SaysWhyAndChangesNothing) {
    const Refusal& refusal = GetParam();
    std::wstring form;
    if (refusal.setup != nullptr) {
        ASSERT_TRUE(refusal.setup(form));
        m_before = State();
    }
    const ToolRun run = RunTool(WithPaths(refusal.arguments, form));
    EXPECT_EQ(refusal.exitCode, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find(refusal.reason)) << run.output;
    EXPECT_EQ(std::string::npos, run.output.find("added: ")) << run.output;
    EXPECT_EQ(m_before, State());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegisterToolRefusal,
    ::testing::Values(
        Refusal{"NoCommand", L"", 1, "pelmora-register: no command\r\n"},
        Refusal{"UsageNamesRemoveForce", L"", 1,
                "       pelmora-register remove [--force] <target>...\r\n"},
        Refusal{"UnknownCommand", L"register Pelmora.Test.Plain", 1, "unknown command register"},
        Refusal{"NoTarget", L"add", 1, "add needs a target"},
        Refusal{"UnknownOption", L"list --force", 1, "unknown option --force"},
        Refusal{"ListWithTarget", L"list Pelmora.Test.Plain", 1, "list takes no target"},
        Refusal{"NoSuchFile", L"add C:\\nowhere\\missing.dll", 2,
                "there is no file C:\\nowhere\\missing.dll"},
        Refusal{"DllWithoutClasses", L"add %UNREGISTERED%", 2, "as its InprocServer32: run "},
        Refusal{"InprocServerRelative", L"add %FORM%", 2,
                "as its InprocServer32, a path relative to a working directory: it cannot be told "
                "whether that is ",
                FormRelative},
        Refusal{"InprocServerBareNameNowhere", L"add %FORM%", 2,
                "as its InprocServer32, which is neither in the system directory nor on PATH",
                FormBareNowhere},
        Refusal{"NoRightToWrite", L"add Pelmora.Test.Locked", 5,
                "run this from an elevated prompt"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return info.param.name; });

// Whether AppID kShared's DllSurrogate names the host exactly while a record says that add wrote
// it, read under the lock every pelmora-register holds from its first read to its last write.
::testing::AssertionResult HostOnlyWhileRecorded(HANDLE lock, const std::wstring& host) {
    if (WaitForSingleObject(lock, 60000) != WAIT_OBJECT_0) {
        return ::testing::AssertionFailure() << "the tools' lock cannot be had";
    }
    bool recorded = false;
    std::wstring surrogate = L"<absent>";
    win::UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"Software\\Classes\\AppID\\" + kShared).c_str(), 0,
                      KEY_READ | kOwnView, key.Put()) == ERROR_SUCCESS) {
        wchar_t name[256];
        for (DWORD index = 0;; ++index) {
            DWORD length = 256;
            if (RegEnumValueW(key.Get(), index, name, &length, nullptr, nullptr, nullptr,
                              nullptr) != ERROR_SUCCESS) {
                break;
            }
            recorded =
                recorded || std::wstring(name, length).rfind(L"PelmoraRegisterUndo ", 0) == 0;
        }
        surrogate = ValueOf(L"AppID\\" + kShared, L"DllSurrogate");
    }
    ReleaseMutex(lock);
    if (recorded != (surrogate == host) || (!recorded && surrogate != L"<absent>")) {
        return ::testing::AssertionFailure()
               << (recorded ? "a record, and DllSurrogate " : "no record, and DllSurrogate ")
               << Ascii(surrogate);
    }
    return ::testing::AssertionSuccess();
}

// Two tools at once, each adding and removing its own class of one AppID over and over: neither
// ever says more than it did, and the AppID's DllSurrogate and records never disagree.
TEST_F(RegisterTool, TwoToolsAtOnceKeepTheHostAndItsRecordsInStep) {
    // A second Wine (PELMORA_LONG_TESTS=short) only shows that the lock works there too; 32-bit
    // tools under QEMU's emulation run several times slower, and fewer runs leave the emulator
    // fewer chances to crash one.
    const bool shortRun = LongTestsSetting() == LongTests::Short;
#ifdef _WIN64
    const bool emulated = false;
#else
    const bool emulated = platform::EmulatedI386();
#endif
    const int kPairs = emulated ? (shortRun ? 10 : 30) : (shortRun ? 25 : 100);
    const win::UniqueHandle lock(CreateMutexW(nullptr, FALSE, L"Global\\PelmoraRegister"));
    ASSERT_TRUE(lock);
    struct Lane {
        std::wstring clsid;
        std::wstring progId;
        int runs = 0;
        std::unique_ptr<CChildProcess> tool = nullptr;
    };
    Lane lanes[] = {{kSharerOne, L"Pelmora.Test.SharerOne"},
                    {kSharerTwo, L"Pelmora.Test.SharerTwo"}};
    const auto start = [](Lane& lane) {
        lane.tool = std::make_unique<CChildProcess>();
        return lane.tool->Start(QuoteArgument(ProgramPath(L"pelmora-register.exe")) +
                                (lane.runs % 2 == 0 ? L" add --force " : L" remove ") +
                                lane.progId);
    };
    for (Lane& lane : lanes) {
        ASSERT_TRUE(start(lane));
    }
    while (lanes[0].tool || lanes[1].tool) {
        std::vector<Lane*> running;
        std::vector<HANDLE> handles;
        for (Lane& lane : lanes) {
            if (lane.tool) {
                running.push_back(&lane);
                handles.push_back(lane.tool->Process());
            }
        }
        const DWORD ended = WaitForMultipleObjects(static_cast<DWORD>(handles.size()),
                                                   handles.data(), FALSE, 120000);
        ASSERT_LT(ended - WAIT_OBJECT_0, handles.size()) << "a tool is still running after 120 s";
        Lane& lane = *running[ended - WAIT_OBJECT_0];
        ASSERT_TRUE(lane.tool->Wait(30000));
        const std::string output = lane.tool->Output();
        const bool adding = lane.runs % 2 == 0;
        EXPECT_EQ(0u, lane.tool->ExitCode()) << output;
        EXPECT_NE(std::string::npos, output.find(Ascii((adding ? L"added: " : L"removed: ") +
                                                       lane.clsid + L" " + lane.progId)))
            << output;
        if (!adding) {
            EXPECT_TRUE(HostOnlyWhileRecorded(lock.Get(), HostValue(m_folder)))
                << "after run " << lane.runs;
        }
        lane.tool.reset();
        if (++lane.runs < 2 * kPairs) {
            ASSERT_TRUE(start(lane));
        }
    }
    EXPECT_EQ(m_before, State());
}

// DllSurrogate starts a command line: a host whose path has a space gets it quoted, and the
// runtime starts it so.
TEST_F(RegisterTool, HostPathWithASpaceIsQuotedAndServes) {
    const std::wstring folder = CopyTool(TempDirectory() + L"pelmora register tests");
    const CSelfRegisteredDll sample(ProgramPath(L"pelmora-sample.dll"));
    ASSERT_TRUE(sample.Registered());

    const ToolRun added = RunTool(std::wstring(L"add ") + kProgIdCalculator, folder);
    EXPECT_EQ(0u, added.exitCode) << added.output;
    EXPECT_EQ(L"\"" + folder + L"\\pelmora-surrogate.exe\"",
              ValueOf(L"AppID\\" + GuidText(kClsidCalculator), L"DllSurrogate"));

    std::vector<DWORD> hosts;
    {
        const win::ComInitialization com;
        ASSERT_TRUE(SUCCEEDED(com.Result()));
        win::ComPtr<IUnknown> object;
        EXPECT_EQ(S_OK, CoCreateInstance(kClsidCalculator, nullptr, CLSCTX_LOCAL_SERVER,
                                         IID_IUnknown, object.PutVoid()));
        hosts = ProcessesOf(folder + L"\\pelmora-surrogate.exe");
        EXPECT_EQ(1u, hosts.size());
    }
    for (const DWORD id : hosts) {
        EndProcess(id);
    }

    EXPECT_EQ(0u, RunTool(std::wstring(L"remove ") + kProgIdCalculator, folder).exitCode);
    EXPECT_EQ(L"<absent>", ValueOf(L"AppID\\" + GuidText(kClsidCalculator), L"DllSurrogate"));
}

} // namespace
