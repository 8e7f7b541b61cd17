// The check fixtures (tests/check) and what clients of both bitnesses get from a DLL of the other
// build registered in the ways an installer leaves it. This test process is of one bitness; the
// DLL, its proxy/stub DLL and the host it is pointed at are the other build's, so each case runs
// clients of both bitnesses against a host that is never of this process's bitness. The same
// cases are put to the other build's pelmora-register check, whose verdict per bitness must be
// the outcome a client of that bitness gets on Windows.
#include "CheckFixture.h"
#include "CheckRegistration.h"
#include "ChildProcess.h"
#include "Paths.h"
#include "Platform.h"
#include "Processes.h"
#include "RegistrySnapshot.h"
#include "Strings.h"
#include "Unique.h"

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

#ifdef _WIN64
constexpr int kOwnBits = 64;
constexpr REGSAM kOwnView = KEY_WOW64_64KEY;
constexpr REGSAM kDllView = KEY_WOW64_32KEY;
#else
constexpr int kOwnBits = 32;
constexpr REGSAM kOwnView = KEY_WOW64_32KEY;
constexpr REGSAM kDllView = KEY_WOW64_64KEY;
#endif
constexpr int kDllBits = kOwnBits == 64 ? 32 : 64;
constexpr bool kDllIs32 = kDllBits == 32;
const wchar_t* const kDllPlatform = kDllIs32 ? L"win32" : L"win64";

// Every key the cases write, removed before and after each in every root and view.
std::vector<std::wstring> FixtureKeys() {
    return {std::wstring(L"CLSID\\") + check::kClsidDualText,
            std::wstring(L"CLSID\\") + check::kClsidCustomText,
            std::wstring(L"CLSID\\") + check::kClsidProxyStubText,
            std::wstring(L"AppID\\") + check::kClsidDualText,
            std::wstring(L"AppID\\") + check::kClsidCustomText,
            std::wstring(L"Interface\\") + check::kIidDualText,
            std::wstring(L"Interface\\") + check::kIidCustomText,
            std::wstring(L"TypeLib\\") + check::kLibIdText};
}

std::wstring FixtureState() {
    std::wstring state;
    for (const std::wstring& key : FixtureKeys()) {
        state += SnapshotEverywhere(key);
    }
    return state;
}

// --- Registrations and the clients of both bitnesses ------------------------------------------

enum class Class { Dual, Custom };
// Missing: DllSurrogate names a file that is not there. AnotherExecutable: DllSurrogateExecutable
// names another program (the DLL's build's pelmora-register), which CreateProcess then starts.
enum class Host { Present, Missing, AnotherExecutable };
enum class Views { None, DllOnly, Both };
enum class TypeLibs { None, DllPlatformInDllView, BothPlatformsInBothViews };

struct Outcome {
    bool client32;
    bool client64;
};

struct CheckCase {
    const char* name;
    Class kind;
    Host host;
    Views appId;
    Views interfaces;
    TypeLibs typeLib;
    Views proxyStub; // of IPelmoraCustom, the DLL of the DLL's bitness
    Outcome windows; // clients on Windows, and so pelmora-register check's verdict
    Outcome wine;    // clients under Wine
};

void PrintTo(const CheckCase& row, std::ostream* out) {
    *out << row.name;
}

std::vector<REGSAM> ViewsOf(Views views) {
    switch (views) {
    case Views::None:
        return {};
    case Views::DllOnly:
        return {kDllView};
    case Views::Both:
        break;
    }
    return {kDllView, kOwnView};
}

struct ClientResult {
    bool ended = false;
    DWORD exitCode = STILL_ACTIVE;
    std::string line;
    ULONGLONG ms = 0;
};

// Under Wine a host ends by itself once unused for this long (BREVANIX_IDLE_SECONDS), which
// also takes its class registration with it; a killed host's stays until the wineserver ends.
constexpr const wchar_t* kGraceSeconds = L"2";

class CheckClients : public ::testing::TestWithParam<CheckCase> {
protected:
    void SetUp() override {
        m_started = GetTickCount64();
        SetEnvironmentVariableW(L"BREVANIX_IDLE_SECONDS", kGraceSeconds);
        m_server = OtherBuildPath(L"check\\pelmora-check-server.dll");
        m_proxyStub = OtherBuildPath(L"check\\pelmora-check-ps.dll");
        m_host = OtherBuildPath(L"pelmora-surrogate.exe");
        m_otherClient = OtherBuildPath(L"check\\pelmora-check-client.exe");
        m_ownClient = ProgramPath(L"check\\pelmora-check-client.exe");
        m_tool = OtherBuildPath(L"pelmora-register.exe");
        ASSERT_FALSE(m_server.empty() || m_proxyStub.empty() || m_host.empty() ||
                     m_otherClient.empty() || m_tool.empty())
            << "the other bitness's build is missing; build both presets";
        for (const std::wstring& key : FixtureKeys()) {
            DeleteEverywhere(key);
        }
        m_before = FixtureState();
    }
    void TearDown() override {
        EndHosts();
        m_registration.reset();
        SetEnvironmentVariableW(L"BREVANIX_IDLE_SECONDS", nullptr);
        EXPECT_EQ(m_before, FixtureState()) << "the registrations were not all removed";
        std::cout << GetParam().name << ": " << (GetTickCount64() - m_started) << " ms\n";
    }

    bool Register(const CheckCase& row) {
        m_registration = std::make_unique<CCheckRegistration>();
        CCheckRegistration& r = *m_registration;
        const bool dual = row.kind == Class::Dual;
        const GUID& clsid = dual ? check::kClsidDual : check::kClsidCustom;
        const std::wstring host =
            row.host == Host::Missing
                ? m_host.substr(0, m_host.rfind(L'\\')) + L"\\pelmora-surrogate-missing.exe"
                : m_host;
        const std::wstring executable = row.host == Host::AnotherExecutable ? m_tool : L"";
        bool done = r.AddClass(kDllView, clsid, m_server, check::kLibIdText);
        for (const REGSAM view : ViewsOf(row.appId)) {
            done = done && r.AddAppId(view, clsid, host, executable);
        }
        for (const REGSAM view : ViewsOf(row.interfaces)) {
            done = done && (dual ? r.AddInterface(view, check::kIidDual, L"IPelmoraDual",
                                                  check::kClsidTypeLibMarshalerText,
                                                  check::kLibIdText, L"1.0")
                                 : r.AddInterface(view, check::kIidCustom, L"IPelmoraCustom",
                                                  check::kClsidProxyStubText));
        }
        const std::wstring version = L"1.0";
        switch (row.typeLib) {
        case TypeLibs::None:
            break;
        case TypeLibs::DllPlatformInDllView:
            done = done && r.AddTypeLib(kDllView, check::kLibId, version, L"PelmoraCheckLib",
                                        {{kDllPlatform, m_server}});
            break;
        case TypeLibs::BothPlatformsInBothViews:
            for (const REGSAM view : ViewsOf(Views::Both)) {
                done = done && r.AddTypeLib(view, check::kLibId, version, L"PelmoraCheckLib",
                                            {{L"win32", m_server}, {L"win64", m_server}});
            }
            break;
        }
        for (const REGSAM view : ViewsOf(row.proxyStub)) {
            done = done && r.AddProxyStub(view, check::kClsidProxyStub, m_proxyStub);
        }
        return done;
    }

    // One client's run, and then the host it caused gone again, so that the next client starts
    // from nothing.
    ClientResult RunClient(const std::wstring& client, bool dual) {
        ClientResult result;
        const ULONGLONG started = GetTickCount64();
        const RunResult run = RunToEnd(QuoteArgument(client) + (dual ? L" dual" : L" custom"),
                                       CChildProcess::Handles::Pipe, 120000);
        result.ms = GetTickCount64() - started;
        result.ended = run.ended;
        result.exitCode = run.exitCode;
        result.line = run.output.substr(0, run.output.find_last_not_of("\r\n") + 1);
        // What the runtime started: a host lingers for the grace period after its client.
        for (const DWORD id : Hosts()) {
            std::cout << "running after the client: " << Ascii(ImagePath(id)) << "\n";
        }
        WaitForHostsToEnd(result.exitCode == 0);
        return result;
    }

    // A host ends after the grace period and the drain. One whose client could not unmarshal
    // the object never does under Wine, which does not run down a dead client's references, so
    // it gets less time before it is ended.
    void WaitForHostsToEnd(bool clientWorked) {
        const ULONGLONG emulated = platform::EmulatedI386() ? 3 : 1;
        const ULONGLONG deadline = GetTickCount64() + emulated * (clientWorked ? 20000 : 8000);
        while (!Hosts().empty() && GetTickCount64() < deadline) {
            Sleep(100);
        }
        EndHosts();
    }
    std::vector<DWORD> Hosts() const {
        std::vector<DWORD> hosts = ProcessesOf(m_host);
        for (const wchar_t* system : {L"\\system32\\dllhost.exe", L"\\syswow64\\dllhost.exe"}) {
            for (const DWORD id : ProcessesOf(WindowsDirectory() + system)) {
                hosts.push_back(id);
            }
        }
        return hosts;
    }
    void EndHosts() {
        for (const DWORD id : Hosts()) {
            std::cout << "a host (" << Ascii(ImagePath(id)) << ") was still running; ended\n";
            EndProcess(id);
            EndedClasses().insert(GetParam().kind);
        }
    }
    // The classes whose host a case ended: under Wine their registration with the
    // wineserver outlives the host, so no later case in this run can start a host for them.
    static std::set<Class>& EndedClasses() {
        static std::set<Class> classes;
        return classes;
    }

    std::wstring m_server;
    std::wstring m_proxyStub;
    std::wstring m_host;
    std::wstring m_ownClient;
    std::wstring m_otherClient;
    std::wstring m_tool;
    std::wstring m_before;
    std::unique_ptr<CCheckRegistration> m_registration;
    ULONGLONG m_started = 0;
};

// The verdict line pelmora-register check ends with for one bitness: "ok", "will fail (...)",
// or empty when there is no such line.
std::string Verdict(const std::string& output, int bits) {
    const std::string label = std::to_string(bits) + "-bit clients: ";
    const auto at = output.rfind(label);
    if (at == std::string::npos) {
        return {};
    }
    const auto end = output.find_first_of("\r\n", at);
    return output.substr(at + label.size(),
                         end == std::string::npos ? std::string::npos : end - at - label.size());
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool IsVerdict(const std::string& verdict, bool ok) {
    if (ok) {
        return verdict == "ok";
    }
    return verdict.rfind("will fail (", 0) == 0 &&
           (EndsWith(verdict, " problem)") || EndsWith(verdict, " problems)"));
}

TEST_P(CheckClients, EachBitnessGetsWhatTheRegistrationGivesIt) {
    const CheckCase& row = GetParam();
    const bool dual = row.kind == Class::Dual;
    if (platform::UnderWine() && EndedClasses().count(row.kind) != 0) {
        GTEST_SKIP() << "an earlier case ended a host of this class, whose registration Wine "
                        "keeps until the wineserver restarts: run this case on its own";
    }
    ASSERT_TRUE(Register(row));
    const Outcome expected = platform::UnderWine() ? row.wine : row.windows;

    const ToolRun tool =
        RunTool(L"check " + std::wstring(dual ? check::kClsidDualText : check::kClsidCustomText),
                m_tool.substr(0, m_tool.rfind(L'\\')));
    std::cout << "pelmora-register check: exit code " << tool.exitCode << "\n" << tool.output;
    const bool bothOk = row.windows.client32 && row.windows.client64;
    EXPECT_EQ(tool.exitCode, bothOk ? 0u : 11u) << tool.output;
    EXPECT_TRUE(IsVerdict(Verdict(tool.output, 32), row.windows.client32)) << tool.output;
    EXPECT_TRUE(IsVerdict(Verdict(tool.output, 64), row.windows.client64)) << tool.output;

    // The DLL's bitness first: where only the other fails, its host is the one left behind.
    const ClientResult other = RunClient(m_otherClient, dual);
    const ClientResult own = RunClient(m_ownClient, dual);
    const ClientResult& client32 = kOwnBits == 32 ? own : other;
    const ClientResult& client64 = kOwnBits == 64 ? own : other;
    for (const auto& [bits, run, works] :
         {std::tuple<int, const ClientResult&, bool>{32, client32, expected.client32},
          std::tuple<int, const ClientResult&, bool>{64, client64, expected.client64}}) {
        std::cout << bits << "-bit client: " << run.line << " (exit code " << run.exitCode << ", "
                  << run.ms << " ms)\n";
        EXPECT_TRUE(run.ended) << bits << "-bit client did not end";
        EXPECT_EQ(run.exitCode, works ? 0u : 1u) << bits << "-bit client: " << run.line;
        // A failure is the runtime's answer, never a hang cut short by the client's bound.
        EXPECT_EQ(run.line.find("0x800705B4"), std::string::npos) << run.line;
        EXPECT_EQ(run.line.rfind("create=0x", 0), 0u) << run.line;
    }
}

// Each row: the class, its host, where the AppID, the interface's key, the type library and the
// proxy/stub class are registered (the class key is in the DLL's view only), and the outcome for
// the 32-bit and the 64-bit client on Windows and under Wine.
INSTANTIATE_TEST_SUITE_P(
    Registrations, CheckClients,
    ::testing::Values(
        CheckCase{"Works",
                  Class::Dual,
                  Host::Present,
                  Views::Both,
                  Views::Both,
                  TypeLibs::BothPlatformsInBothViews,
                  Views::None,
                  {true, true},
                  {true, true}},
        // Windows starts DllSurrogateExecutable, a program that serves nothing; Wine ignores it
        // and starts the host that DllSurrogate names.
        CheckCase{"SurrogateExecutableNamesAnotherProgram",
                  Class::Dual,
                  Host::AnotherExecutable,
                  Views::Both,
                  Views::Both,
                  TypeLibs::BothPlatformsInBothViews,
                  Views::None,
                  {false, false},
                  {true, true}},
        CheckCase{"MissingHost",
                  Class::Dual,
                  Host::Missing,
                  Views::Both,
                  Views::Both,
                  TypeLibs::BothPlatformsInBothViews,
                  Views::None,
                  {false, false},
                  {false, false}},
        // Both runtimes find ProxyStubClsid32 in the other view too. Windows falls back from
        // either platform's library to the other; Wine's marshaler only from win64 to win32.
        CheckCase{"DualInterfaceInTheDllsViewOnly",
                  Class::Dual,
                  Host::Present,
                  Views::DllOnly,
                  Views::DllOnly,
                  TypeLibs::DllPlatformInDllView,
                  Views::None,
                  {true, true},
                  {kDllIs32, true}},
        // Last of the custom class's cases: the host that served the failing client keeps an
        // object that client never got, and is ended.
        CheckCase{"ProxyStubForOneBitnessOnly",
                  Class::Custom,
                  Host::Present,
                  Views::DllOnly,
                  Views::Both,
                  TypeLibs::None,
                  Views::DllOnly,
                  {kDllIs32, !kDllIs32},
                  {kDllIs32, !kDllIs32}}),
    [](const ::testing::TestParamInfo<CheckCase>& info) { return info.param.name; });

} // namespace
