// Clients and DLLs that nobody here wrote, through the host: Wine's Windows Script Host of the
// other bitness runs VBScript against Wine's scrrun.dll classes of this bitness, registered for
// this build's host with pelmora-register. As on a machine where a DLL exists in one bitness
// only, the other bitness's in-process registration of the classes is hidden for the test. And
// classes registered by the tool under an AppID they share, activated by the platform's runtime.
#include "ChildProcess.h"
#include "ClassRegistry.h"
#include "Paths.h"
#include "Platform.h"
#include "Processes.h"
#include "RegistrySnapshot.h"
#include "SampleClasses.h"
#include "Strings.h"
#include "TempFolder.h"
#include "Unique.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

#ifdef _WIN64
constexpr REGSAM kOtherView = KEY_WOW64_32KEY;
constexpr const wchar_t* kOtherScriptHost = L"\\syswow64\\cscript.exe";
#else
constexpr REGSAM kOtherView = KEY_WOW64_64KEY;
// From a 32-bit process, system32 is redirected to syswow64; sysnative is the real one.
constexpr const wchar_t* kOtherScriptHost = L"\\sysnative\\cscript.exe";
#endif

const std::wstring kDictionary = L"{EE09B103-97E0-11CF-978F-00A02463E06F}";
const std::wstring kFileSystemObject = L"{0D43FE01-F093-11CF-8940-00A0C9054228}";

// Takes a class's InprocServer32 key out of the other registry view, and puts it back.
class CHiddenInprocServer {
public:
    explicit CHiddenInprocServer(const std::wstring& clsid)
        : m_path(L"Software\\Classes\\CLSID\\" + clsid + L"\\InprocServer32") {
        win::UniqueKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_path.c_str(), 0, KEY_READ | kOtherView,
                          key.Put()) != ERROR_SUCCESS) {
            return;
        }
        for (DWORD index = 0;; ++index) {
            wchar_t name[256];
            DWORD nameLength = 256;
            BYTE data[2048];
            DWORD size = sizeof(data);
            DWORD type = 0;
            if (RegEnumValueW(key.Get(), index, name, &nameLength, nullptr, &type, data, &size) !=
                ERROR_SUCCESS) {
                break;
            }
            m_values.push_back({std::wstring(name, nameLength), type, {data, data + size}});
        }
        m_hidden =
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, m_path.c_str(), kOtherView, 0) == ERROR_SUCCESS;
    }
    CHiddenInprocServer(const CHiddenInprocServer&) = delete;
    CHiddenInprocServer& operator=(const CHiddenInprocServer&) = delete;
    ~CHiddenInprocServer() {
        win::UniqueKey key;
        if (!m_hidden ||
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_path.c_str(), 0, nullptr, 0,
                            KEY_WRITE | kOtherView, nullptr, key.Put(), nullptr) != ERROR_SUCCESS) {
            return;
        }
        for (const Value& value : m_values) {
            RegSetValueExW(key.Get(), value.name.c_str(), 0, value.type, value.data.data(),
                           static_cast<DWORD>(value.data.size()));
        }
    }

    bool Hidden() const { return m_hidden; }

private:
    struct Value {
        std::wstring name;
        DWORD type;
        std::vector<BYTE> data;
    };
    std::wstring m_path;
    std::vector<Value> m_values;
    bool m_hidden = false;
};


std::string ReadAll(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string WithoutCarriageReturns(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

// Runs a script with the other bitness's console script host, its output to a file (a pipe
// would be held open by the hosts the runtime starts from it).
std::string RunScript(const std::string& script) {
    const CTempFolder folder(L"pelmora-script-host-test");
    const std::wstring scriptPath = folder.File(L"test.vbs");
    const std::wstring outputPath = folder.File(L"output.txt");
    std::ofstream(scriptPath.c_str(), std::ios::binary) << script;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    win::UniqueFileHandle output(CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                             &inherit, CREATE_ALWAYS, 0, nullptr));
    if (!output) {
        return "<no output file>";
    }
    CChildProcess host;
    const bool started = host.StartWithOutput(QuoteArgument(WindowsDirectory() + kOtherScriptHost) +
                                                  L" //nologo " + QuoteArgument(scriptPath),
                                              output.Get());
    output.Reset();
    if (!started) {
        return "<cscript did not start>";
    }
    if (!host.Wait(120000)) {
        return "<cscript did not end within 120 s>";
    }
    return WithoutCarriageReturns(ReadAll(outputPath));
}


struct ScriptCase {
    const char* name;
    std::wstring target;            // what pelmora-register adds
    std::vector<std::wstring> used; // the classes the script creates, each in a host
    std::string script;
    std::string expected;
};

void PrintTo(const ScriptCase& test, std::ostream* out) {
    *out << test.name;
}

// Each case is a ctest test of its own, whose Wine processes (the hosts too) end with it: a host
// ended earlier would leave its class registered with Wine's runtime until the wineserver ends.
class ScriptHost : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(ScriptHost, OtherBitnessScriptUsesTheClassesThroughTheHost) {
    const ScriptCase& test = GetParam();
    ASSERT_TRUE(HostProcesses().empty());
    std::vector<std::unique_ptr<CHiddenInprocServer>> hidden;
    std::wstring before;
    for (const std::wstring& clsid : test.used) {
        hidden.push_back(std::make_unique<CHiddenInprocServer>(clsid));
        ASSERT_TRUE(hidden.back()->Hidden()) << "no other-bitness registration of " << clsid;
        before += Snapshot(L"CLSID\\" + clsid) + Snapshot(L"AppID\\" + clsid);
    }

    const ToolRun added = RunTool(L"add " + QuoteArgument(test.target));
    ASSERT_EQ(0u, added.exitCode) << added.output;
    const std::string output = RunScript(test.script);
    const size_t hosts = HostProcesses().size();
    const ToolRun removed = RunTool(L"remove " + QuoteArgument(test.target));

    EXPECT_EQ(test.expected, output);
    // Each class is served by a host of its own under Wine.
    EXPECT_EQ(test.used.size(), hosts);
    EXPECT_EQ(0u, removed.exitCode) << removed.output;
    std::wstring after;
    for (const std::wstring& clsid : test.used) {
        after += Snapshot(L"CLSID\\" + clsid) + Snapshot(L"AppID\\" + clsid);
    }
    EXPECT_EQ(before, after);
}

INSTANTIATE_TEST_SUITE_P(
    Scrrun, ScriptHost,
    ::testing::Values(
        ScriptCase{"DictionaryByProgId",
                   L"Scripting.Dictionary",
                   {kDictionary},
                   "Set d = CreateObject(\"Scripting.Dictionary\")\r\n"
                   "d.Add \"a\", \"alpha\"\r\n"
                   "d.Add \"b\", \"beta\"\r\n"
                   "WScript.Echo \"count=\" & d.Count & \" a=\" & d.Item(\"a\")\r\n"
                   "d.Remove \"a\"\r\n"
                   "WScript.Echo \"a? \" & d.Exists(\"a\") & \" b? \" & d.Exists(\"b\") & "
                   "\" count=\" & d.Count\r\n",
                   "count=2 a=alpha\na? False b? True count=1\n"},
        // The DLL's path as registered: for this bitness's tool it names this bitness's DLL.
        ScriptCase{
            "TwoClassesByDllPath",
            L"C:\\windows\\system32\\scrrun.dll",
            {kDictionary, kFileSystemObject},
            "Set f = CreateObject(\"Scripting.FileSystemObject\")\r\n"
            "Set d = CreateObject(\"Scripting.Dictionary\")\r\n"
            "d.Add \"path\", f.BuildPath(\"C:\\data\", \"report.txt\")\r\n"
            "WScript.Echo d.Item(\"path\") & \" \" & f.GetExtensionName(d.Item(\"path\"))\r\n"
            "WScript.Echo \"windows exists: \" & f.FolderExists(\"C:\\windows\")\r\n",
            "C:\\data\\report.txt txt\nwindows exists: True\n"}),
    [](const ::testing::TestParamInfo<ScriptCase>& info) { return info.param.name; });

// The runtime starts the host with the activated class's CLSID, whatever the class's AppID: two
// classes sharing an AppID of their own are both served, by one host on Windows and each by its
// own under Wine.
TEST(SharedAppId, EachClassIsServedByTheHost) {
    const std::wstring appId = L"{5E1C0A01-0000-4000-8000-0000000000AB}";
    const CSelfRegisteredDll sample(ProgramPath(L"pelmora-sample.dll"));
    ASSERT_TRUE(sample.Registered());
    ASSERT_TRUE(SetClassesValue(L"CLSID\\" + GuidText(kClsidCalculator), L"AppID", appId) &&
                SetClassesValue(L"CLSID\\" + GuidText(kClsidRefusing), L"AppID", appId));
    const std::wstring target = QuoteArgument(ProgramPath(L"pelmora-sample.dll"));
    const ToolRun added = RunTool(L"add " + target);
    ASSERT_EQ(0u, added.exitCode) << added.output;

    {
        const win::ComInitialization com;
        ASSERT_TRUE(SUCCEEDED(com.Result()));
        win::ComPtr<IUnknown> object;
        EXPECT_EQ(S_OK, CoCreateInstance(kClsidCalculator, nullptr, CLSCTX_LOCAL_SERVER,
                                         IID_IUnknown, object.PutVoid()));
        win::ComPtr<IUnknown> refused;
        EXPECT_EQ(kSampleRefusal, CoCreateInstance(kClsidRefusing, nullptr, CLSCTX_LOCAL_SERVER,
                                                   IID_IUnknown, refused.PutVoid()));
        EXPECT_EQ(platform::ClassesSharingAnAppIdShareAHost() ? 1u : 2u, HostProcesses().size());
    }

    const ToolRun removed = RunTool(L"remove " + target);
    EXPECT_EQ(0u, removed.exitCode) << removed.output;
    EXPECT_EQ(L"<absent>", Snapshot(L"AppID\\" + appId));
}

} // namespace
