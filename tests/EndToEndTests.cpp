// The real host started by the platform's COM runtime for the sample class, with clients of both
// bitnesses. Each test registers this build's sample DLL with this build's host as its surrogate;
// clients of the other bitness come from the other build beside this one.
#include "ChildProcess.h"
#include "SampleClasses.h"
#include "SampleDispatch.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cwctype>
#include <memory>
#include <string>
#include <vector>

namespace {

// Build folder names, such as mingw-x86 and mingw-x64.
constexpr const wchar_t* kOwnBuild = L"\\" PELMORA_OWN_BUILD L"\\";
constexpr const wchar_t* kOtherBuild = L"\\" PELMORA_OTHER_BUILD L"\\";

// The same file in the other bitness's build, or empty when that build is not there.
std::wstring OtherPath(const wchar_t* file) {
    std::wstring directory = ProgramDirectory();
    const auto at = directory.rfind(kOwnBuild);
    if (at == std::wstring::npos) {
        return {};
    }
    directory.replace(at, std::char_traits<wchar_t>::length(kOwnBuild), kOtherBuild);
    const std::wstring path = directory + L"\\" + file;
    return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES ? std::wstring() : path;
}

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

std::string Ascii(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return std::towlower(c); });
    return text;
}

// Writes a string value under HKEY_CLASSES_ROOT, creating the key.
bool SetClassesValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    return RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
}

// This build's sample, self-registered, with this build's host as the surrogate of its classes.
class CRegisteredSample {
public:
    CRegisteredSample() : m_module(LoadLibraryW(ProgramPath(L"pelmora-sample.dll").c_str())) {
        if (m_module == nullptr) {
            return;
        }
        const auto registerServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
            reinterpret_cast<void*>(GetProcAddress(m_module, "DllRegisterServer")));
        m_registered = registerServer != nullptr && SUCCEEDED(registerServer()) &&
                       SetSurrogate(kClsidCalculator) && SetSurrogate(kClsidRefusing);
    }
    CRegisteredSample(const CRegisteredSample&) = delete;
    CRegisteredSample& operator=(const CRegisteredSample&) = delete;
    ~CRegisteredSample() {
        if (m_module == nullptr) {
            return;
        }
        const auto unregisterServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
            reinterpret_cast<void*>(GetProcAddress(m_module, "DllUnregisterServer")));
        if (unregisterServer != nullptr) {
            unregisterServer();
        }
        FreeLibrary(m_module);
    }

    bool Registered() const { return m_registered; }

private:
    static bool SetSurrogate(REFCLSID clsid) {
        return SetClassesValue(L"AppID\\" + GuidText(clsid), L"DllSurrogate",
                               ProgramPath(L"pelmora-surrogate.exe"));
    }

    HMODULE m_module;
    bool m_registered = false;
};

// Ids of the running processes of this build's host.
std::vector<DWORD> HostProcesses() {
    const std::wstring host = Lower(ProgramPath(L"pelmora-surrogate.exe"));
    std::vector<DWORD> ids;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return ids;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (Lower(entry.szExeFile) != L"pelmora-surrogate.exe") {
            continue;
        }
        const HANDLE process =
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (process == nullptr) {
            continue;
        }
        wchar_t path[MAX_PATH] = {};
        DWORD length = MAX_PATH;
        if (QueryFullProcessImageNameW(process, 0, path, &length) && Lower(path) == host) {
            ids.push_back(entry.th32ProcessID);
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return ids;
}

struct ClientRun {
    DWORD exitCode = 0;
    std::string output;
    DWORD clientProcess = 0;
    DWORD objectProcess = 0;
    long sum = 0;
};

unsigned long NumberAfter(const std::string& output, const std::string& label) {
    const auto at = output.find(label);
    return at == std::string::npos ? 0 : std::stoul(output.substr(at + label.size()));
}

ClientRun Parse(CChildProcess& client) {
    ClientRun run;
    run.exitCode = client.ExitCode();
    run.output = client.Output();
    run.clientProcess = NumberAfter(run.output, "Client process : ");
    run.objectProcess = NumberAfter(run.output, "Object process : ");
    run.sum = static_cast<long>(NumberAfter(run.output, "Add(19, 23)    : "));
    return run;
}

std::wstring ClientCommand(const std::wstring& client, const wchar_t* progId, DWORD holdMs) {
    return QuoteArgument(client) + L" --hold " + std::to_wstring(holdMs) + L" " + progId;
}

ClientRun RunClient(const std::wstring& client, const wchar_t* progId, DWORD holdMs = 0) {
    CChildProcess child;
    if (!child.Start(ClientCommand(client, progId, holdMs)) || !child.Wait(60000)) {
        return {};
    }
    return Parse(child);
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        m_sample = std::make_unique<CRegisteredSample>();
        ASSERT_TRUE(m_sample->Registered());
        m_ownClient = ProgramPath(L"pelmora-sample-client.exe");
        m_otherClient = OtherPath(L"pelmora-sample-client.exe");
    }
    void TearDown() override {
        // Under Wine the runtime never frees a host; end the ones this test caused.
        for (const DWORD id : HostProcesses()) {
            const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
            if (process != nullptr) {
                TerminateProcess(process, 1);
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
            }
        }
        m_sample.reset();
        CoUninitialize();
    }

    // Clients of the other bitness are the point of the host; without that build the test says so.
    bool HaveOtherClient() {
        if (m_otherClient.empty()) {
            ADD_FAILURE() << "the other bitness's build is missing; build both presets";
            return false;
        }
        return true;
    }

    std::unique_ptr<CRegisteredSample> m_sample;
    std::wstring m_ownClient;
    std::wstring m_otherClient;
};

TEST_F(EndToEnd, ClientsOfBothBitnessesAreServedByOneHostProcess) {
    ASSERT_TRUE(HaveOtherClient());

    const ClientRun other = RunClient(m_otherClient, kProgIdCalculator);
    ASSERT_EQ(other.exitCode, 0u) << other.output;
    EXPECT_NE(other.objectProcess, other.clientProcess);
    EXPECT_EQ(other.sum, 42);
    // The object lives in this build's host, started by the runtime.
    EXPECT_EQ(HostProcesses(), std::vector<DWORD>{other.objectProcess});

    const ClientRun own = RunClient(m_ownClient, kProgIdCalculator);
    ASSERT_EQ(own.exitCode, 0u) << own.output;
    EXPECT_NE(own.clientProcess, own.objectProcess);
    EXPECT_EQ(own.objectProcess, other.objectProcess);
    EXPECT_EQ(own.sum, 42);

    const ClientRun again = RunClient(m_otherClient, kProgIdCalculator);
    ASSERT_EQ(again.exitCode, 0u) << again.output;
    EXPECT_EQ(again.objectProcess, other.objectProcess);

    DWORD objectProcess = 0;
    ASSERT_EQ(ActivateSample(kClsidCalculator, &objectProcess), S_OK);
    EXPECT_EQ(objectProcess, other.objectProcess);
    EXPECT_NE(objectProcess, GetCurrentProcessId());
    EXPECT_EQ(HostProcesses().size(), 1u);
}

TEST_F(EndToEnd, ConcurrentClientsAreServedByOneHostProcess) {
    ASSERT_TRUE(HaveOtherClient());
    // A first activation starts the host; the rest arrive together while it serves.
    const ClientRun first = RunClient(m_ownClient, kProgIdCalculator);
    ASSERT_EQ(first.exitCode, 0u) << first.output;

    std::vector<std::unique_ptr<CChildProcess>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<CChildProcess>());
        const std::wstring& exe = i % 2 == 0 ? m_otherClient : m_ownClient;
        ASSERT_TRUE(clients.back()->Start(ClientCommand(exe, kProgIdCalculator, 500)));
    }
    for (auto& client : clients) {
        ASSERT_TRUE(client->Wait(60000));
        const ClientRun run = Parse(*client);
        EXPECT_EQ(run.exitCode, 0u) << run.output;
        EXPECT_EQ(run.objectProcess, first.objectProcess) << run.output;
        EXPECT_EQ(run.sum, 42);
    }
    EXPECT_EQ(HostProcesses(), std::vector<DWORD>{first.objectProcess});
}

TEST_F(EndToEnd, CreationFailureReachesTheClientUnchangedAndTheHostGoesOn) {
    ASSERT_TRUE(HaveOtherClient());
    EXPECT_EQ(ActivateSample(kClsidRefusing), kSampleRefusal);
    const std::vector<DWORD> hosts = HostProcesses();
    ASSERT_EQ(hosts.size(), 1u);

    // The same host answers the next request, from a client of the other bitness.
    const std::wstring refusing = GuidText(kClsidRefusing);
    const ClientRun other = RunClient(m_otherClient, refusing.c_str());
    EXPECT_EQ(other.exitCode, 1u);
    EXPECT_NE(other.output.find("Failed: CoCreateInstance 0x80047E57"), std::string::npos)
        << other.output;
    EXPECT_EQ(ActivateSample(kClsidRefusing), kSampleRefusal);
    EXPECT_EQ(HostProcesses(), hosts);

    // And the calculator, in a host of its own, is unaffected.
    DWORD objectProcess = 0;
    EXPECT_EQ(ActivateSample(kClsidCalculator, &objectProcess), S_OK);
    EXPECT_NE(objectProcess, hosts[0]);
    EXPECT_EQ(HostProcesses().size(), 2u);
}

std::string ServingTrace(DWORD processId, const std::string& clsid, const std::string& progId) {
    return "Pelmora COM Surrogate Ver.1.0.0\r\nCurrent Process ID : " + std::to_string(processId) +
           "\r\n\r\nCLSID  : " + clsid + "\r\nProgID : " + progId +
           "\r\n\r\nsurrogate.LoadDllServer.\r\nWait for Event Signal by "
           "ISurrogate::FreeSurrogate.\r\n";
}

struct DirectCase {
    const char* name;
    std::wstring argument;
    std::string clsid;
    std::string progId;
};

// Started by hand rather than by the runtime, the host serves and waits the same way.
TEST_F(EndToEnd, HostStartedDirectlyTracesAndKeepsWaiting) {
    const DirectCase cases[] = {
        {"all-zero GUID", L"{00000000-0000-0000-0000-000000000000}",
         "{00000000-0000-0000-0000-000000000000}", "N/A."},
        {"registered class", L"/processid:" + GuidText(kClsidCalculator),
         Ascii(GuidText(kClsidCalculator)), Ascii(kProgIdCalculator)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CChildProcess host;
        ASSERT_TRUE(host.Start(HostCommandLine({c.argument, L"-embedding"})));
        const std::string trace = ServingTrace(host.Id(), c.clsid, c.progId);
        EXPECT_TRUE(host.WaitForOutput("FreeSurrogate.\r\n", 30000)) << host.Output();
        EXPECT_FALSE(host.Wait(1500));
        EXPECT_EQ(host.Output(), trace);
        host.Terminate();
    }
}

} // namespace

namespace {

// A class registered for this build's host whose DLL does not exist.
// {5D1C7E2A-9B04-4F6E-8A13-C2D7B5E9F041}
constexpr CLSID kClsidMissingDll = {
    0x5d1c7e2a, 0x9b04, 0x4f6e, {0x8a, 0x13, 0xc2, 0xd7, 0xb5, 0xe9, 0xf0, 0x41}};

class CMissingDllClass {
public:
    CMissingDllClass() {
        const std::wstring clsid = GuidText(kClsidMissingDll);
        const std::wstring dll = ProgramPath(L"no-such-sample.dll");
        const std::wstring host = ProgramPath(L"pelmora-surrogate.exe");
        m_registered = SetClassesValue(L"CLSID\\" + clsid, L"AppID", clsid) &&
                       SetClassesValue(L"CLSID\\" + clsid + L"\\InprocServer32", nullptr, dll) &&
                       SetClassesValue(L"AppID\\" + clsid, L"DllSurrogate", host);
    }
    CMissingDllClass(const CMissingDllClass&) = delete;
    CMissingDllClass& operator=(const CMissingDllClass&) = delete;
    ~CMissingDllClass() {
        const std::wstring clsid = GuidText(kClsidMissingDll);
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + clsid).c_str());
        RegDeleteKeyW(HKEY_CLASSES_ROOT, (L"CLSID\\" + clsid).c_str());
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"AppID\\" + clsid).c_str());
        RegDeleteKeyW(HKEY_CLASSES_ROOT, (L"AppID\\" + clsid).c_str());
    }
    bool Registered() const { return m_registered; }

private:
    bool m_registered = false;
};

// Faults a user meets; none of them may stop a host from serving.
using UserFaults = EndToEnd;

TEST_F(UserFaults, AClientKilledWhileHoldingAnObjectDoesNotStopTheHost) {
    CChildProcess doomed;
    ASSERT_TRUE(doomed.Start(ClientCommand(m_ownClient, kProgIdCalculator, 60000)));
    ASSERT_TRUE(doomed.WaitForOutput("Add(19, 23)", 60000)) << doomed.Output();
    const DWORD host = Parse(doomed).objectProcess;
    doomed.Terminate();

    const ClientRun next = RunClient(m_ownClient, kProgIdCalculator);
    EXPECT_EQ(next.exitCode, 0u) << next.output;
    EXPECT_EQ(next.objectProcess, host);
    EXPECT_EQ(next.sum, 42);
    if (HaveOtherClient()) {
        const ClientRun other = RunClient(m_otherClient, kProgIdCalculator);
        EXPECT_EQ(other.exitCode, 0u) << other.output;
        EXPECT_EQ(other.objectProcess, host);
    }
}

TEST_F(UserFaults, AClassWhoseDllIsMissingFailsAndTheHostGoesOn) {
    CMissingDllClass missing;
    ASSERT_TRUE(missing.Registered());
    const HRESULT first = ActivateSample(kClsidMissingDll);
    EXPECT_TRUE(FAILED(first)) << std::hex << first;
    const std::vector<DWORD> hosts = HostProcesses();
    ASSERT_EQ(hosts.size(), 1u);

    EXPECT_EQ(ActivateSample(kClsidMissingDll), first);
    EXPECT_EQ(HostProcesses(), hosts);
}

} // namespace
