// The hosting phase in process, against the fake runtime: the trace, the calls it makes and the
// lifecycle that ends with FreeSurrogate, which Wine's runtime never sends.
#include "AppIdSecurity.h"
#include "ClassesRoot.h"
#include "FakeComRuntime.h"
#include "HandleWatch.h"
#include "Hosting.h"
#include "Text.h"
#include "WindowsRuntimeModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace {

// {8F0E1D2C-3B4A-5968-7786-95A4B3C2D1E0}
constexpr CLSID kClsid = {
    0x8f0e1d2c, 0x3b4a, 0x5968, {0x77, 0x86, 0x95, 0xa4, 0xb3, 0xc2, 0xd1, 0xe0}};
const std::wstring kClsidText = L"{8F0E1D2C-3B4A-5968-7786-95A4B3C2D1E0}";
// The class's AppID, as the runtime found the host through it.
// {8F0E1D2C-3B4A-5968-7786-95A4B3C2D1AA}
constexpr GUID kAppId = {
    0x8f0e1d2c, 0x3b4a, 0x5968, {0x77, 0x86, 0x95, 0xa4, 0xb3, 0xc2, 0xd1, 0xaa}};
const std::wstring kWaitLine = L"Wait for Event Signal by ISurrogate::FreeSurrogate.";
const std::wstring kDoneLine = L"Pelmora COM Surrogate done.";

// Captures std::wcout, calling a hook with each line as it is flushed (on the printing thread).
class CCapture : public std::wstreambuf {
public:
    CCapture() : m_original(std::wcout.rdbuf(this)) {}
    ~CCapture() override { std::wcout.rdbuf(m_original); }

    std::function<void(const std::wstring&)> onLine;

    std::wstring Text() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_text;
    }
    bool WaitForLine(const std::wstring& line, int timeoutMs) {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                  [&] { return m_text.find(line + L"\n") != std::wstring::npos; });
    }

protected:
    int_type overflow(int_type ch) override {
        if (ch != traits_type::eof()) {
            m_pending.push_back(traits_type::to_char_type(ch));
        }
        return traits_type::not_eof(ch);
    }
    int sync() override {
        std::wstring line;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_text += m_pending;
            line = m_pending;
            m_pending.clear();
        }
        m_changed.notify_all();
        if (onLine && !line.empty()) {
            onLine(line.substr(0, line.size() - 1));
        }
        return 0;
    }

private:
    std::wstreambuf* m_original;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::wstring m_pending;
    std::wstring m_text;
};

// Bounds waits for what must happen; only a hang reaches it, however loaded the machine.
constexpr int kHangMs = 60000;

// The event handed to the hosting phase last.
CHandleWatch g_event;
HANDLE RecordingEvent() {
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_event.Watch(event);
    return event;
}
HANDLE NoEvent() {
    return nullptr;
}

// Calls FreeSurrogate on the registered surrogate from a thread of its own, as the runtime does.
HRESULT FreeFromAnotherThread() {
    ISurrogate* surrogate = FakeSnapshot().surrogates.at(0);
    HRESULT result = E_FAIL;
    std::thread([&] { result = surrogate->FreeSurrogate(); }).join();
    return result;
}

// Sets (or, for a null value, removes) clsid's AppID value under HKEY_CLASSES_ROOT.
void SetAppIdValue(REFCLSID clsid, DWORD type, const void* data, DWORD size) {
    const std::wstring key = L"CLSID\\" + win::GuidText(clsid);
    if (data == nullptr) {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
        RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
        return;
    }
    ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), L"AppID", type, data, size),
              ERROR_SUCCESS);
}
void SetAppIdText(REFCLSID clsid, const std::wstring& text, DWORD type = REG_SZ) {
    SetAppIdValue(clsid, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2));
}

// Registers clsid's in-process server with a ThreadingModel (none for nullptr).
void SetThreadingModel(REFCLSID clsid, const wchar_t* model) {
    const std::wstring key = L"CLSID\\" + win::GuidText(clsid) + L"\\InprocServer32";
    const std::wstring dll = L"pelmora-model-" + win::GuidText(clsid) + L".dll";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, REG_SZ, dll.c_str(),
                              static_cast<DWORD>((dll.size() + 1) * 2)),
              ERROR_SUCCESS);
    RegDeleteKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), L"ThreadingModel");
    if (model != nullptr) {
        ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), L"ThreadingModel", REG_SZ, model,
                                  static_cast<DWORD>((wcslen(model) + 1) * 2)),
                  ERROR_SUCCESS);
    }
}

class Hosting : public ::testing::Test {
protected:
    void SetUp() override {
        g_event.Reset();
        ResetFake();
        Fake().clsidFromString = kClsid;
        Fake().progIdResult = S_OK;
        Fake().progId = L"Pelmora.Test.1";
        SetAppIdText(kClsid, win::GuidText(kAppId));
        // Served from the multithreaded apartment, as the host's own calls show.
        SetThreadingModel(kClsid, L"Both");
    }
    void TearDown() override {
        // A test that failed half-way leaves the run waiting: free it, so the next test can start.
        // A run that ended has taken its surrogate with it.
        if (m_thread.joinable()) {
            if (!m_ended && !FakeSnapshot().surrogates.empty()) {
                FreeFromAnotherThread();
            }
            m_thread.join();
        }
        ResetFake();
        g_event.Reset();
        SetAppIdValue(kClsid, REG_NONE, nullptr, 0);
    }

    // Runs the hosting phase on its own thread; Join returns its exit code.
    void Start(CompletionEventFactory createEvent = RecordingEvent, HANDLE stopEvent = nullptr,
               TickSource ticks = SystemTicks) {
        m_ended = false;
        m_hostThread = 0;
        m_thread = std::thread([this, createEvent, stopEvent, ticks] {
            m_hostThread = GetCurrentThreadId();
            m_result = RunSurrogate(kClsidText, createEvent, stopEvent, ticks);
            m_ended = true;
        });
    }
    int Join() {
        m_thread.join();
        return m_result;
    }
    bool Finished(int timeoutMs) {
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        while (m_capture.Text().find(L"Pelmora COM Surrogate done.") == std::wstring::npos) {
            if (GetTickCount64() > deadline) {
                return false;
            }
            Sleep(10);
        }
        return true;
    }

    CCapture m_capture;
    std::thread m_thread;
    int m_result = 12345;
    std::atomic<bool> m_ended{false};
    std::atomic<DWORD> m_hostThread{0};
};

const std::wstring kServingTrace = L"CLSID  : " + kClsidText +
                                   L"\nProgID : Pelmora.Test.1\n\nsurrogate.LoadDllServer.\n" +
                                   kWaitLine + L"\n";

TEST_F(Hosting, FreeSurrogateDuringAWaitEndsTheRun) {
    Start();
    ASSERT_TRUE(m_capture.WaitForLine(kWaitLine, kHangMs));
    // Nothing shows when the thread is inside a wait, but waits last a second and the gaps between
    // them 10 ms, so the free nearly always lands in one. Where it lands decides only which path
    // is taken, never the outcome the test expects.
    Sleep(300);
    EXPECT_EQ(g_event.OtherHandles(), 1);
    EXPECT_EQ(FreeFromAnotherThread(), S_OK);
    ASSERT_TRUE(Finished(kHangMs));
    EXPECT_EQ(Join(), 0);

    EXPECT_EQ(m_capture.Text(), kServingTrace + L"Pelmora COM Surrogate done.\n");
    EXPECT_EQ(g_event.OtherHandles(), 0);
    const auto fake = FakeSnapshot();
    // The AppID's security before anything can be marshalled, then the end of the host at a crash
    // in hosted code; the host's own server process reference spans the run.
    EXPECT_EQ(
        CallsOn(fake, m_hostThread),
        (std::vector<std::wstring>{
            L"CoInitializeEx", L"CLSIDFromString", L"CoInitializeSecurity", L"SetGlobalOption",
            L"CoAddRefServerProcess", L"CoRegisterSurrogate", L"ProgIDFromCLSID", L"CoTaskMemFree",
            L"CoRegisterClassObject", L"CoReleaseServerProcess", L"CoUninitialize"}));
    // Revoked by FreeSurrogate, on the runtime's thread.
    EXPECT_EQ(fake.revoked.size(), 1u);
    EXPECT_EQ(fake.globalOptions,
              (std::vector<std::pair<GLOBALOPT_PROPERTIES, ULONG_PTR>>{
                  {COMGLB_EXCEPTION_HANDLING, COMGLB_EXCEPTION_DONOT_HANDLE_ANY}}));
    // The main single-threaded apartment is the host's, made before the runtime could load a
    // class, and ended before the host uninitialises COM.
    ASSERT_EQ(fake.initializations.size(), 2u);
    const DWORD mainApartmentThread = fake.initializations[1].first;
    EXPECT_EQ(fake.initializations[1].second, static_cast<DWORD>(COINIT_APARTMENTTHREADED));
    EXPECT_EQ(fake.mainApartment, 1);
    const auto at = [&](DWORD thread, const wchar_t* call, bool last) {
        size_t found = fake.calls.size();
        for (size_t i = 0; i < fake.calls.size(); ++i) {
            if (fake.callThreads[i] == thread && fake.calls[i] == call) {
                found = i;
                if (!last) {
                    break;
                }
            }
        }
        return found;
    };
    EXPECT_LT(at(mainApartmentThread, L"CoInitializeEx", false),
              at(m_hostThread, L"CoRegisterSurrogate", false));
    EXPECT_LT(at(mainApartmentThread, L"CoUninitialize", true),
              at(m_hostThread, L"CoUninitialize", true));
    ASSERT_EQ(fake.securityCalls.size(), 1u);
    EXPECT_EQ(fake.securityCalls[0].capabilities, static_cast<DWORD>(EOAC_APPID));
    EXPECT_TRUE(IsEqualGUID(fake.securityCalls[0].appId, kAppId));
    EXPECT_EQ(fake.securityCalls[0].authServiceCount, -1);
    EXPECT_TRUE(fake.securityCalls[0].otherPointersNull);
    EXPECT_EQ(fake.initializeReserved, nullptr);
    EXPECT_EQ(fake.initializations.at(0).first, m_hostThread);
    EXPECT_EQ(fake.initializations.at(0).second, static_cast<DWORD>(COINIT_MULTITHREADED));
    EXPECT_EQ(fake.clsidTexts, std::vector<std::wstring>{kClsidText});
    EXPECT_TRUE(IsEqualCLSID(fake.progIdLookups.at(0), kClsid));
    EXPECT_EQ(fake.freed, std::vector<void*>{fake.progIdGiven});
    ASSERT_EQ(fake.registrations.size(), 1u);
    EXPECT_TRUE(IsEqualCLSID(fake.registrations[0].clsid, kClsid));
    // The factory was destroyed: the surrogate's reference was the last after revocation.
    EXPECT_EQ(fake.countAfterRevoke, std::vector<ULONG>{1});
}

// Signalled before the main thread waits again: the signal stays set until the next wait.
TEST_F(Hosting, FreeSurrogateBetweenWaitsIsNotLost) {
    m_capture.onLine = [](const std::wstring& line) {
        if (line == kWaitLine) {
            EXPECT_EQ(FreeFromAnotherThread(), S_OK);
        }
    };
    Start();
    ASSERT_TRUE(Finished(kHangMs));
    EXPECT_EQ(Join(), 0);
    EXPECT_EQ(m_capture.Text(), kServingTrace + L"Pelmora COM Surrogate done.\n");
    EXPECT_EQ(g_event.OtherHandles(), 0);
}

// Freed after registration but before the class is loaded: nothing to free, so the run goes on
// serving until a later FreeSurrogate.
TEST_F(Hosting, FreeSurrogateBeforeLoadDoesNotEndTheWait) {
    m_capture.onLine = [](const std::wstring& line) {
        if (line == L"surrogate.LoadDllServer.") {
            EXPECT_EQ(FreeFromAnotherThread(), S_OK);
        }
    };
    Start();
    ASSERT_TRUE(m_capture.WaitForLine(kWaitLine, kHangMs));
    EXPECT_FALSE(Finished(2500)); // more than two waits
    EXPECT_EQ(FakeSnapshot().registrations.size(), 1u);
    EXPECT_EQ(FreeFromAnotherThread(), S_OK);
    ASSERT_TRUE(Finished(kHangMs));
    EXPECT_EQ(Join(), 0);
    EXPECT_EQ(FakeSnapshot().revoked.size(), 1u);
}

TEST_F(Hosting, ReportsAMissingProgIdAndGoesOn) {
    Fake().progIdResult = REGDB_E_CLASSNOTREG;
    Start();
    ASSERT_TRUE(m_capture.WaitForLine(kWaitLine, kHangMs));
    EXPECT_EQ(FreeFromAnotherThread(), S_OK);
    EXPECT_EQ(Join(), 0);
    EXPECT_EQ(m_capture.Text(), L"CLSID  : " + kClsidText +
                                    L"\nProgID : N/A.\n\nsurrogate.LoadDllServer.\n" + kWaitLine +
                                    L"\nPelmora COM Surrogate done.\n");
    EXPECT_TRUE(FakeSnapshot().freed.empty());
}

// A text the runtime cannot convert registers the all-zero CLSID, never leftover stack bytes.
TEST_F(Hosting, UnconvertibleTextRegistersTheNullClsid) {
    Fake().clsidFromStringResult = CO_E_CLASSSTRING;
    Fake().progIdResult = REGDB_E_CLASSNOTREG;
    Start();
    ASSERT_TRUE(m_capture.WaitForLine(kWaitLine, kHangMs));
    EXPECT_EQ(FreeFromAnotherThread(), S_OK);
    EXPECT_EQ(Join(), 0);
    const auto fake = FakeSnapshot();
    ASSERT_EQ(fake.registrations.size(), 1u);
    EXPECT_TRUE(IsEqualCLSID(fake.registrations[0].clsid, GUID_NULL));
}

// What the run needs before it can serve safely; without it the host registers nothing and ends.
TEST_F(Hosting, EndsAtOnceWithoutWhatItNeedsToServe) {
    const std::vector<std::wstring> securityRefused = {L"CoInitializeEx", L"CLSIDFromString",
                                                       L"CoInitializeSecurity", L"CoUninitialize"};
    const struct {
        const char* name;
        std::function<void()> arrange;
        CompletionEventFactory createEvent;
        std::wstring reason;
        std::vector<std::wstring> calls;
    } cases[] = {
        {"no completion event",
         [] {},
         NoEvent,
         L"Terminated due to failure in creating the completion event.",
         {L"CoInitializeEx", L"CLSIDFromString", L"CoInitializeSecurity", L"SetGlobalOption",
          L"CoUninitialize"}},
        {"COM refuses the AppID's security",
         [] { Fake().initializeSecurityResult = E_ACCESSDENIED; }, RecordingEvent,
         L"Terminated due to failure in initializing COM security.", securityRefused},
        {"too late, already set", [] { Fake().initializeSecurityResult = RPC_E_TOO_LATE; },
         RecordingEvent, L"Terminated due to failure in initializing COM security.",
         securityRefused},
        {"an AppID value that is no GUID",
         [] { SetAppIdText(kClsid, L"Their.App"); },
         RecordingEvent,
         L"Terminated due to failure in initializing COM security.",
         {L"CoInitializeEx", L"CLSIDFromString", L"CoUninitialize"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        c.arrange();
        CCapture capture;
        Start(c.createEvent);
        // A run that serves after all is freed: the case fails rather than hangs.
        const ULONGLONG deadline = GetTickCount64() + kHangMs;
        while (!m_ended && capture.Text().find(kWaitLine) == std::wstring::npos &&
               GetTickCount64() < deadline) {
            Sleep(10);
        }
        if (!m_ended) {
            FreeFromAnotherThread();
        }
        EXPECT_EQ(Join(), -1);
        EXPECT_EQ(capture.Text(), L"CLSID  : " + kClsidText + L"\n" + c.reason + L"\n");
        const auto fake = FakeSnapshot();
        EXPECT_EQ(fake.calls, c.calls);
        EXPECT_TRUE(fake.surrogates.empty());
        EXPECT_TRUE(fake.registrations.empty());
    }
}

// The AppID value as the host reads it, and what it then asks of COM. Only a braced GUID is an
// AppID; a class without one gets COM's own defaults, and anything else is not served.
TEST(AppIdSecurity, OnlyAReadableAppIdIsAppliedAndOnlyNoneIsLeftToCom) {
    const GUID appIdBytes = kAppId;
    const struct {
        const char* name;
        std::function<void()> arrange;
        ClassAppId::State state;
        bool serves;
        size_t securityCalls;
    } cases[] = {
        {"no class key", [] {}, ClassAppId::State::None, true, 0},
        {"no AppID value",
         [] {
             SetAppIdText(kClsid, L"x");
             RegDeleteKeyValueW(HKEY_CLASSES_ROOT, (L"CLSID\\" + win::GuidText(kClsid)).c_str(),
                                L"AppID");
         },
         ClassAppId::State::None, true, 0},
        {"a braced GUID", [] { SetAppIdText(kClsid, win::GuidText(kAppId)); },
         ClassAppId::State::Found, true, 1},
        {"in lower case", [] { SetAppIdText(kClsid, L"{8f0e1d2c-3b4a-5968-7786-95a4b3c2d1aa}"); },
         ClassAppId::State::Found, true, 1},
        {"REG_EXPAND_SZ", [] { SetAppIdText(kClsid, win::GuidText(kAppId), REG_EXPAND_SZ); },
         ClassAppId::State::Found, true, 1},
        {"empty", [] { SetAppIdText(kClsid, L""); }, ClassAppId::State::Unreadable, false, 0},
        {"without braces", [] { SetAppIdText(kClsid, L"8F0E1D2C-3B4A-5968-7786-95A4B3C2D1AA"); },
         ClassAppId::State::Unreadable, false, 0},
        {"trailing text", [] { SetAppIdText(kClsid, win::GuidText(kAppId) + L" "); },
         ClassAppId::State::Unreadable, false, 0},
        {"a ProgID", [] { SetAppIdText(kClsid, L"Their.App"); }, ClassAppId::State::Unreadable,
         false, 0},
        {"longer than any GUID", [] { SetAppIdText(kClsid, std::wstring(200, L'{')); },
         ClassAppId::State::Unreadable, false, 0},
        {"REG_BINARY", [&] { SetAppIdValue(kClsid, REG_BINARY, &appIdBytes, sizeof(appIdBytes)); },
         ClassAppId::State::Unreadable, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetAppIdValue(kClsid, REG_NONE, nullptr, 0);
        ResetFake();
        c.arrange();
        const ClassAppId appId = ReadClassAppId(kClsid, HKEY_CLASSES_ROOT);
        EXPECT_EQ(appId.state, c.state);
        if (c.state == ClassAppId::State::Found) {
            EXPECT_TRUE(IsEqualGUID(appId.id, kAppId));
        }
        EXPECT_EQ(ApplyAppIdSecurity(kClsid, HKEY_CLASSES_ROOT), c.serves);
        const auto fake = FakeSnapshot();
        ASSERT_EQ(fake.securityCalls.size(), c.securityCalls);
        if (c.securityCalls > 0) {
            EXPECT_TRUE(IsEqualGUID(fake.securityCalls[0].appId, kAppId));
        }
    }
    SetAppIdValue(kClsid, REG_NONE, nullptr, 0);
    ResetFake();
}

// Where a class is served, as its InprocServer32 key says and the runtime reads it: the model as
// REG_SZ only, in any letter case; the path as REG_SZ or expanded REG_EXPAND_SZ, unquoted.
TEST(ClassesRoot, PlacementFollowsTheRegisteredThreadingModel) {
    const std::wstring key = L"CLSID\\" + win::GuidText(kClsid) + L"\\InprocServer32";
    const auto set = [&](const wchar_t* name, DWORD type, const std::wstring& text) {
        RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name, type, text.c_str(),
                        static_cast<DWORD>((text.size() + 1) * 2));
    };
    const struct {
        const char* name;
        DWORD type; // REG_NONE: no ThreadingModel value
        std::wstring model;
        ApartmentKind apartment;
    } cases[] = {
        {"Both", REG_SZ, L"Both", ApartmentKind::Multithreaded},
        {"free", REG_SZ, L"free", ApartmentKind::Multithreaded},
        {"NEUTRAL", REG_SZ, L"NEUTRAL", ApartmentKind::Multithreaded},
        {"Apartment", REG_SZ, L"Apartment", ApartmentKind::OwnSingleThreaded},
        {"none", REG_NONE, L"", ApartmentKind::MainSingleThreaded},
        {"empty", REG_SZ, L"", ApartmentKind::MainSingleThreaded},
        {"unknown", REG_SZ, L"Single", ApartmentKind::MainSingleThreaded},
        {"with a trailing space", REG_SZ, L"Both ", ApartmentKind::MainSingleThreaded},
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, L"Both", ApartmentKind::MainSingleThreaded},
    };
    const CClassesRoot classes(true);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetAppIdValue(kClsid, REG_NONE, nullptr, 0);
        set(nullptr, REG_SZ, L"\"C:\\Their Folder\\their.dll\"");
        if (c.type != REG_NONE) {
            set(L"ThreadingModel", c.type, c.model);
        }
        const ClassPlacement placement = classes.Placement(kClsid);
        EXPECT_EQ(placement.apartment, c.apartment);
        EXPECT_EQ(placement.dll, L"C:\\Their Folder\\their.dll");
    }
    set(nullptr, REG_EXPAND_SZ, L"%SystemRoot%\\their.dll");
    wchar_t expanded[MAX_PATH] = {};
    ExpandEnvironmentStringsW(L"%SystemRoot%\\their.dll", expanded, MAX_PATH);
    EXPECT_EQ(classes.Placement(kClsid).dll, expanded);
    SetAppIdValue(kClsid, REG_NONE, nullptr, 0);
    const ClassPlacement unregistered = classes.Placement(kClsid);
    EXPECT_EQ(unregistered.apartment, ApartmentKind::MainSingleThreaded);
    EXPECT_EQ(unregistered.dll, L"");
    // Classes of one DLL share its apartment, however its path is written.
    EXPECT_EQ(DllApartmentKey(L"C:\\Their Folder\\.\\THEIR.dll"),
              DllApartmentKey(L"c:\\their folder\\their.dll"));
    EXPECT_NE(DllApartmentKey(L"C:\\Their Folder\\their.dll"),
              DllApartmentKey(L"C:\\Their Folder\\other.dll"));
}

// Above Medium, the host reads the machine's classes only: a user's own keys, which any of their
// programs can write, must not set an elevated host's security.
TEST(ClassesRoot, AnElevatedHostReadsOnlyTheMachinesClasses) {
    const struct {
        const char* name;
        DWORD level;
        bool perUser;
    } levels[] = {
        {"Untrusted", SECURITY_MANDATORY_UNTRUSTED_RID, true},
        {"Low", SECURITY_MANDATORY_LOW_RID, true},
        {"Medium", SECURITY_MANDATORY_MEDIUM_RID, true},
        {"Medium Plus", SECURITY_MANDATORY_MEDIUM_RID + 0x100, false},
        {"High", SECURITY_MANDATORY_HIGH_RID, false},
        {"System", SECURITY_MANDATORY_SYSTEM_RID, false},
    };
    for (const auto& level : levels) {
        SCOPED_TRACE(level.name);
        EXPECT_EQ(CClassesRoot::PerUserAllowed(level.level), level.perUser);
    }
    // Two trees stand for the merged HKEY_CLASSES_ROOT, where a user's own key wins, and the
    // machine's classes.
    const std::wstring tests = L"Software\\PelmoraTests";
    const std::wstring clsidKey = L"CLSID\\" + win::GuidText(kClsid);
    const std::wstring machineId = win::GuidText(kAppId);
    const std::wstring userId = L"{00000000-0000-0000-0000-0000000000AA}";
    win::UniqueKey merged;
    win::UniqueKey machine;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (tests + L"\\Merged").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, merged.Put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (tests + L"\\Machine").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, machine.Put(), nullptr),
              ERROR_SUCCESS);
    for (const auto& [root, id] : {std::pair<HKEY, std::wstring>{merged.Get(), userId},
                                   std::pair<HKEY, std::wstring>{machine.Get(), machineId}}) {
        ASSERT_EQ(RegSetKeyValueW(root, clsidKey.c_str(), L"AppID", REG_SZ, id.c_str(),
                                  static_cast<DWORD>((id.size() + 1) * 2)),
                  ERROR_SUCCESS);
    }
    EXPECT_EQ(CClassesRoot(true, merged.Get(), machine.Get()).ReadString(clsidKey, L"AppID"),
              userId);
    const CClassesRoot elevated(false, merged.Get(), machine.Get());
    EXPECT_EQ(elevated.ReadString(clsidKey, L"AppID"), machineId);
    const ClassAppId appId = ReadClassAppId(kClsid, elevated.Get());
    EXPECT_EQ(appId.state, ClassAppId::State::Found);
    EXPECT_TRUE(IsEqualGUID(appId.id, kAppId));
    merged.Reset();
    machine.Reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, tests.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, tests.c_str());

    // By default, the machine's own classes.
    const std::wstring key = L"Software\\Classes\\" + clsidKey;
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"AppID", REG_SZ, machineId.c_str(),
                              static_cast<DWORD>((machineId.size() + 1) * 2)),
              ERROR_SUCCESS);
    EXPECT_EQ(CClassesRoot(false).ReadString(clsidKey, L"AppID"), machineId);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
}

} // namespace

namespace {

// A runtime that refuses the surrogate, as Wine's does: the host pins the interfaces it serves and
// releases itself once unused.
class SelfRelease : public Hosting {
protected:
    void SetUp() override {
        Hosting::SetUp();
        Fake().registerSurrogateResult = E_NOTIMPL;
        SetIdleSeconds(L"1");
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"BREVANIX_IDLE_SECONDS", nullptr);
        Hosting::TearDown();
    }
    static void SetIdleSeconds(const wchar_t* value) {
        SetEnvironmentVariableW(L"BREVANIX_IDLE_SECONDS", value);
    }
    // The class object as the runtime hands it to clients.
    static IClassFactory* ClassObject() {
        return static_cast<IClassFactory*>(FakeSnapshot().registrations.at(0).object);
    }
};

const std::wstring kReleaseLine = L"No client for 1 s: releasing the host.";

TEST_F(SelfRelease, AnUnusedHostReleasesItselfAndEndsNormally) {
    Start();
    ASSERT_TRUE(Finished(kHangMs)) << m_capture.Text();
    EXPECT_EQ(Join(), 0);
    EXPECT_EQ(m_capture.Text(), kServingTrace + kReleaseLine + L"\nPelmora COM Surrogate done.\n");

    const auto fake = FakeSnapshot();
    // Three pins of one host-owned object before the class is registered; the class object held
    // from its registration through the drain, once; every marshal released before
    // CoUninitialize.
    ASSERT_EQ(fake.marshals.size(), 4u);
    const IID pinned[] = {IID_IUnknown, IID_IDispatch, IID_IClassFactory};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(IsEqualIID(fake.marshals[i].iid, pinned[i])) << i;
        EXPECT_EQ(fake.marshals[i].object, fake.marshals[0].object);
        EXPECT_EQ(fake.marshals[i].flags, static_cast<DWORD>(MSHLFLAGS_TABLESTRONG));
        EXPECT_EQ(fake.marshals[i].destContext, static_cast<DWORD>(MSHCTX_LOCAL));
    }
    EXPECT_EQ(fake.marshals[3].object, fake.registrations.at(0).object);
    EXPECT_TRUE(IsEqualIID(fake.marshals[3].iid, IID_IClassFactory));
    EXPECT_EQ(fake.marshals[3].flags, static_cast<DWORD>(MSHLFLAGS_TABLESTRONG));
    for (const auto& marshal : fake.marshals) {
        EXPECT_FALSE(marshal.held);
    }
    // The host's own thread: its single-threaded apartment makes calls of its own meanwhile.
    const std::vector<std::wstring> calls = CallsOn(fake, m_hostThread);
    const auto at = [&](const wchar_t* call) {
        return std::find(calls.begin(), calls.end(), call) - calls.begin();
    };
    auto holdAt = calls.begin();
    for (int i = 0; i < 4; ++i) {
        holdAt = std::find(holdAt + (i > 0 ? 1 : 0), calls.end(), L"CoMarshalInterface");
    }
    EXPECT_LT(at(L"CoRegisterClassObject"), holdAt - calls.begin());
    EXPECT_LT(holdAt - calls.begin(), at(L"CoFreeUnusedLibrariesEx"));
    const auto lastRelease =
        (calls.rend() - std::find(calls.rbegin(), calls.rend(), L"CoReleaseMarshalData")) - 1;
    EXPECT_LT(at(L"CoMarshalInterface"), at(L"CoRegisterClassObject"));
    EXPECT_LT(lastRelease, at(L"CoUninitialize"));
    // Revoked once, before the drain; the factory then went with FreeSurrogate.
    EXPECT_EQ(fake.revoked, std::vector<DWORD>{fake.registrations.at(0).cookie});
    EXPECT_EQ(fake.countAfterRevoke.size(), 1u);
}

// An apartment-threaded class is registered, held, withdrawn and released in its own apartment,
// which has ended before the host uninitialises COM.
TEST_F(SelfRelease, AnApartmentThreadedClassIsReleasedInItsApartment) {
    SetThreadingModel(kClsid, L"Apartment");
    Start();
    ASSERT_TRUE(Finished(kHangMs)) << m_capture.Text();
    EXPECT_EQ(Join(), 0);
    EXPECT_EQ(m_capture.Text(), kServingTrace + kReleaseLine + L"\nPelmora COM Surrogate done.\n");
    const auto fake = FakeSnapshot();
    ASSERT_EQ(fake.registrations.size(), 1u);
    const int apartment = fake.registrations[0].apartment;
    EXPECT_GT(apartment, 0);
    EXPECT_NE(apartment, fake.mainApartment);
    EXPECT_FALSE(fake.registrations[0].held);
    EXPECT_TRUE(fake.wrongApartmentRevokes.empty());
    EXPECT_EQ(fake.revoked, std::vector<DWORD>{fake.registrations[0].cookie});
    // The hold was made, and given back, on the apartment's thread.
    DWORD apartmentThread = 0;
    for (const auto& initialization : fake.initializations) {
        if (initialization.second == COINIT_APARTMENTTHREADED) {
            apartmentThread = initialization.first; // the last one: the class's own
        }
    }
    const auto calls = CallsOn(fake, apartmentThread);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), L"CoRegisterClassObject"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), L"CoMarshalInterface"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), L"CoReleaseMarshalData"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), L"CoRevokeClassObject"), 1);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), L"CoUninitialize");
    const auto host = CallsOn(fake, m_hostThread);
    EXPECT_EQ(std::count(host.begin(), host.end(), L"CoRegisterClassObject"), 0);
    EXPECT_EQ(host.back(), L"CoUninitialize");
}

// A client that fetched the class object just before the revocation is still served, and its work
// keeps the host until it has been unused again.
TEST_F(SelfRelease, AClientOfTheWithdrawnClassIsServed) {
    Fake().onRevoke = [] {
        IClassFactory* const factory = ClassObject();
        IUnknown* object = nullptr;
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)),
                  S_OK);
        EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    };
    Start();
    ASSERT_TRUE(m_capture.WaitForLine(kReleaseLine, kHangMs));
    EXPECT_FALSE(Finished(3000));
    EXPECT_EQ(ClassObject()->LockServer(FALSE), S_OK);
    ASSERT_TRUE(Finished(kHangMs)) << m_capture.Text();
    EXPECT_EQ(Join(), 0);
    EXPECT_EQ(FakeSnapshot().creations.size(), 1u);
}

TEST_F(SelfRelease, AServerLockKeepsTheHost) {
    m_capture.onLine = [](const std::wstring& line) {
        if (line == kWaitLine) {
            EXPECT_EQ(ClassObject()->LockServer(TRUE), S_OK);
        }
    };
    Start();
    ASSERT_TRUE(m_capture.WaitForLine(kWaitLine, kHangMs));
    EXPECT_FALSE(Finished(3500));
    EXPECT_EQ(ClassObject()->LockServer(FALSE), S_OK);
    ASSERT_TRUE(Finished(kHangMs)) << m_capture.Text();
    EXPECT_EQ(Join(), 0);
}

struct SettingCase {
    const char* name;
    const wchar_t* value;
    std::wstring trace; // up to the wait line
};

// 0 turns the release off; anything but a whole number gets the default with a warning. Either
// way the pins are made, the class object is held, and the host waits for FreeSurrogate.
TEST_F(SelfRelease, SettingsThatDoNotReleaseWithinSeconds) {
    const std::wstring warning =
        L"WARNING: BREVANIX_IDLE_SECONDS is not a whole number of seconds; using 30.\n";
    const SettingCase cases[] = {
        {"zero", L"0", kServingTrace},
        {"not a number", L"soon",
         L"CLSID  : " + kClsidText + L"\n" + warning +
             kServingTrace.substr(kServingTrace.find(L"ProgID"))},
        {"negative", L"-5",
         L"CLSID  : " + kClsidText + L"\n" + warning +
             kServingTrace.substr(kServingTrace.find(L"ProgID"))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetFake();
        SetUp();
        SetIdleSeconds(c.value);
        CCapture capture;
        std::thread host([] { RunSurrogate(kClsidText, RecordingEvent); });
        ASSERT_TRUE(capture.WaitForLine(kWaitLine, kHangMs));
        Sleep(1500); // past the first poll, which would release a 1 s host
        EXPECT_EQ(capture.Text(), c.trace);
        EXPECT_EQ(FakeSnapshot().marshals.size(), 4u); // the pins and the class object
        EXPECT_EQ(FreeFromAnotherThread(), S_OK);
        host.join();
    }
}

// Where the runtime accepts the surrogate, nothing of the above happens.
TEST_F(Hosting, AnAcceptedSurrogateWaitsForFreeSurrogateOnly) {
    SetEnvironmentVariableW(L"BREVANIX_IDLE_SECONDS", L"1");
    Start();
    ASSERT_TRUE(m_capture.WaitForLine(kWaitLine, kHangMs));
    EXPECT_FALSE(Finished(3500));
    EXPECT_EQ(FreeFromAnotherThread(), S_OK);
    ASSERT_TRUE(Finished(kHangMs));
    EXPECT_EQ(Join(), 0);
    SetEnvironmentVariableW(L"BREVANIX_IDLE_SECONDS", nullptr);
    EXPECT_EQ(m_capture.Text(), kServingTrace + L"Pelmora COM Surrogate done.\n");
    const auto fake = FakeSnapshot();
    EXPECT_TRUE(fake.marshals.empty());
    EXPECT_EQ(fake.revoked.size(), 1u);
}

} // namespace

namespace {

// {8F0E1D2C-3B4A-5968-7786-95A4B3C2D1E1}, a second class sharing the host's AppID.
constexpr CLSID kClsid2 = {
    0x8f0e1d2c, 0x3b4a, 0x5968, {0x77, 0x86, 0x95, 0xa4, 0xb3, 0xc2, 0xd1, 0xe1}};

// The host as Windows drives it, against a model of the documented runtime: the runtime accepts
// the surrogate, frees it once its DLLs have unloaded, and loads further classes into it.
class WindowsRuntime : public Hosting {
protected:
    void SetUp() override {
        Hosting::SetUp();
        m_model.emplace();
        s_model = &*m_model;
    }
    void TearDown() override {
        s_model = nullptr;
        m_model.reset();
        Hosting::TearDown();
    }
    // The hosting loop's clock moves with the model's.
    static ULONGLONG ModelTicks() {
        CWindowsRuntimeModel* const model = s_model;
        return GetTickCount64() + (model != nullptr ? model->Advanced() : 0);
    }
    void Start() { Hosting::Start(RecordingEvent, nullptr, ModelTicks); }
    void Start(CompletionEventFactory createEvent, HANDLE stopEvent) {
        Hosting::Start(createEvent, stopEvent, ModelTicks);
    }
    // Moves time on by more than the unload delay, each time once the host has asked its DLLs
    // again, until the host has ended; false when it has not after a few delays.
    bool AdvanceUntilDone(CCapture& capture) {
        for (int i = 0; i < 4; ++i) {
            const int asked = m_model->CanUnloadNowCalls();
            m_model->Advance(31000);
            const auto ended = [&] { return capture.Text().find(kDoneLine) != std::wstring::npos; };
            WaitUntil([&] { return m_model->CanUnloadNowCalls() > asked || ended(); }, kHangMs);
            if (capture.WaitForLine(kDoneLine, 300)) {
                return true;
            }
        }
        return capture.WaitForLine(kDoneLine, kHangMs);
    }
    template <typename Predicate> static bool WaitUntil(Predicate done, int timeoutMs) {
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        while (!done()) {
            if (GetTickCount64() > deadline) {
                return false;
            }
            Sleep(10);
        }
        return true;
    }
    // The host has revoked every class it registered, and released every factory.
    static void ExpectEveryClassRevoked() {
        const auto fake = FakeSnapshot();
        const auto uninitialized =
            std::find(fake.calls.begin(), fake.calls.end(), L"CoUninitialize");
        EXPECT_EQ(std::find(uninitialized, fake.calls.end(), L"CoRevokeClassObject"),
                  fake.calls.end());
        for (const auto& registration : fake.registrations) {
            EXPECT_FALSE(registration.held);
        }
        for (const ULONG count : fake.countAfterRevoke) {
            EXPECT_EQ(count, 1u); // the surrogate's own reference, released next
        }
        EXPECT_TRUE(fake.wrongApartmentRevokes.empty());
    }

    std::optional<CWindowsRuntimeModel> m_model;
    static inline std::atomic<CWindowsRuntimeModel*> s_model{nullptr};
};

// The runtime frees the host once its DLL has answered that it can unload for 30 s in a row, and
// the DLL cannot while a client holds a lock on the class object, even without any object.
TEST_F(WindowsRuntime, FreedOnlyOnceTheDllHasBeenUnusedForTheUnloadDelay) {
    constexpr ULONGLONG kSecond = 1000;
    const struct {
        const char* name;
        bool locked;
    } cases[] = {{"the last object released", false}, {"a lock and no object", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        m_model->AddDll(kClsid);
        CCapture capture;
        Start();
        ASSERT_TRUE(capture.WaitForLine(kWaitLine, kHangMs));
        IUnknown* object = nullptr;
        ASSERT_EQ(m_model->Activate(kClsid, &object), S_OK);
        ASSERT_TRUE(m_model->Loaded(kClsid));
        IClassFactory* factory = nullptr;
        if (c.locked) {
            ASSERT_EQ(m_model->GetClassObject(kClsid, &factory), S_OK);
            EXPECT_EQ(factory->LockServer(TRUE), S_OK);
        }
        object->Release();
        if (c.locked) {
            for (int i = 0; i < 2; ++i) {
                const int asked = m_model->CanUnloadNowCalls();
                m_model->Advance(31 * kSecond);
                ASSERT_TRUE(
                    WaitUntil([&] { return m_model->CanUnloadNowCalls() > asked; }, kHangMs));
            }
            EXPECT_FALSE(capture.WaitForLine(kDoneLine, 1500));
            EXPECT_FALSE(m_model->UnloadPending(kClsid));
            EXPECT_EQ(factory->LockServer(FALSE), S_OK);
            factory->Release();
        }
        // Asked no more often than the delay: the first poll after it finds the DLL unused...
        m_model->Advance(31 * kSecond);
        ASSERT_TRUE(WaitUntil([this] { return m_model->UnloadPending(kClsid); }, kHangMs));
        EXPECT_FALSE(capture.WaitForLine(kDoneLine, 1500));
        // ...and the next, a delay later, unloads it.
        m_model->Advance(31 * kSecond);
        ASSERT_TRUE(capture.WaitForLine(kDoneLine, kHangMs));
        for (const auto& call : FakeSnapshot().unloadCalls) {
            if (call.first == kMultithreadedApartment) {
                EXPECT_EQ(call.second, 30000u);
            }
        }
        EXPECT_EQ(Join(), 0);
        EXPECT_EQ(capture.Text(), kServingTrace + kDoneLine + L"\n");
        EXPECT_FALSE(m_model->Loaded(kClsid));
        EXPECT_EQ(m_model->FreeSurrogateCalls(), 1);
        ExpectEveryClassRevoked();
    }
}

// Each class is registered, served and freed in the apartment its ThreadingModel asks for, with
// no hop to an apartment of the runtime's making, and the host's release revokes it there.
TEST_F(WindowsRuntime, EachThreadingModelIsServedAndFreedInItsApartment) {
    enum class Where { Multithreaded, Main, Own };
    const struct {
        const char* name;
        const wchar_t* model;
        Where where;
    } cases[] = {
        {"Both", L"Both", Where::Multithreaded},
        {"Free, any letter case", L"fREE", Where::Multithreaded},
        {"Neutral", L"Neutral", Where::Multithreaded},
        {"Apartment", L"apartment", Where::Own},
        {"none", nullptr, Where::Main},
        {"unknown", L"Single", Where::Main},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        SetThreadingModel(kClsid, c.model);
        m_model->AddDll(kClsid, false, c.model);
        CCapture capture;
        Start();
        ASSERT_TRUE(capture.WaitForLine(kWaitLine, kHangMs));
        IUnknown* object = nullptr;
        ASSERT_EQ(m_model->Activate(kClsid, &object), S_OK);
        const auto fake = FakeSnapshot();
        ASSERT_EQ(fake.registrations.size(), 1u);
        const int registered = fake.registrations[0].apartment;
        switch (c.where) {
        case Where::Multithreaded:
            EXPECT_EQ(registered, kMultithreadedApartment);
            break;
        case Where::Main:
            EXPECT_EQ(registered, fake.mainApartment);
            break;
        case Where::Own:
            EXPECT_GT(registered, 0);
            EXPECT_NE(registered, fake.mainApartment);
            break;
        }
        EXPECT_EQ(m_model->Hops(), 0);
        object->Release();
        // A single-threaded apartment frees its DLLs at once, the multithreaded one after the
        // delay.
        ASSERT_TRUE(c.where == Where::Multithreaded ? AdvanceUntilDone(capture)
                                                    : capture.WaitForLine(kDoneLine, kHangMs));
        EXPECT_EQ(Join(), 0);
        EXPECT_FALSE(m_model->LoadedInto(kClsid).empty());
        EXPECT_EQ(m_model->UnloadedFrom(kClsid), m_model->LoadedInto(kClsid));
        EXPECT_EQ(m_model->FreeSurrogateCalls(), 1);
        ExpectEveryClassRevoked();
    }
}

TEST_F(WindowsRuntime, ADllThatNeverCanUnloadKeepsTheHost) {
    m_model->AddDll(kClsid, true);
    Start();
    ASSERT_TRUE(m_capture.WaitForLine(kWaitLine, kHangMs));
    IUnknown* object = nullptr;
    ASSERT_EQ(m_model->Activate(kClsid, &object), S_OK);
    object->Release();
    ASSERT_TRUE(WaitUntil([this] { return m_model->CanUnloadNowCalls() > 0; }, kHangMs));
    m_model->Advance(10 * 60 * 1000);
    EXPECT_FALSE(Finished(2500));
    EXPECT_TRUE(m_model->Loaded(kClsid));
    EXPECT_EQ(FreeFromAnotherThread(), S_OK);
    EXPECT_EQ(Join(), 0);
}

TEST_F(WindowsRuntime, ClassesSharingTheHostAreAllServedAndAllRevoked) {
    m_model->AddDll(kClsid);
    m_model->AddDll(kClsid2);
    Start();
    ASSERT_TRUE(m_capture.WaitForLine(kWaitLine, kHangMs));
    EXPECT_EQ(m_model->LoadFurtherClass(kClsid2), S_OK);
    // Loading a class that is loaded already changes nothing.
    EXPECT_EQ(m_model->LoadFurtherClass(kClsid), S_OK);
    EXPECT_EQ(m_model->LoadFurtherClass(kClsid2), S_OK);
    EXPECT_EQ(FakeSnapshot().registrations.size(), 2u);
    for (const CLSID& clsid : {kClsid, kClsid2}) {
        IUnknown* object = nullptr;
        ASSERT_EQ(m_model->Activate(clsid, &object), S_OK);
        object->Release();
    }
    EXPECT_EQ(FreeFromAnotherThread(), S_OK);
    ASSERT_TRUE(Finished(kHangMs));
    EXPECT_EQ(Join(), 0);
    EXPECT_EQ(FakeSnapshot().revoked.size(), 2u);
    ExpectEveryClassRevoked();
}

// The runtime may load a class while it frees the surrogate; the host still ends, and revokes it.
TEST_F(WindowsRuntime, AClassLoadedWhileTheHostIsFreedIsRevokedBeforeItEnds) {
    m_model->AddDll(kClsid);
    m_model->AddDll(kClsid2);
    Fake().onRevoke = [this] {
        Fake().onRevoke = nullptr;
        EXPECT_EQ(m_model->LoadFurtherClass(kClsid2), S_OK);
    };
    Start();
    ASSERT_TRUE(m_capture.WaitForLine(kWaitLine, kHangMs));
    EXPECT_EQ(FreeFromAnotherThread(), S_OK);
    ASSERT_TRUE(Finished(kHangMs));
    EXPECT_EQ(Join(), 0);
    EXPECT_EQ(FakeSnapshot().registrations.size(), 2u);
    ExpectEveryClassRevoked();
}

// A client's unlock, matched or not, never takes the process's count to zero, which would
// suspend every class: later clients would each get a new host.
TEST_F(WindowsRuntime, NoClientLockOrUnlockSuspendsTheHost) {
    m_model->AddDll(kClsid);
    Start();
    ASSERT_TRUE(m_capture.WaitForLine(kWaitLine, kHangMs));
    const struct {
        const char* name;
        std::vector<BOOL> locks;
    } cases[] = {
        {"lock, then unlock", {TRUE, FALSE}},
        {"an unlock without a lock", {FALSE}},
        {"one more unlock than locks", {TRUE, TRUE, FALSE, FALSE, FALSE}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IClassFactory* factory = nullptr;
        ASSERT_EQ(m_model->GetClassObject(kClsid, &factory), S_OK);
        for (const BOOL lock : c.locks) {
            EXPECT_EQ(factory->LockServer(lock), S_OK);
        }
        factory->Release();
        EXPECT_FALSE(m_model->Suspended());
        IUnknown* object = nullptr;
        ASSERT_EQ(m_model->Activate(kClsid, &object), S_OK);
        object->Release();
    }
    EXPECT_EQ(FreeFromAnotherThread(), S_OK);
    EXPECT_EQ(Join(), 0);
}

// Ctrl+C, Ctrl+Break or closing the console ends the run as FreeSurrogate does: every class
// revoked while COM runs, so that new activations start a new host, then the closing line and 0.
// The same where the runtime refused the surrogate: the pins and the class object's hold go too.
TEST_F(WindowsRuntime, AConsoleControlEventEndsTheRunInOrder) {
    const struct {
        const char* name;
        HRESULT registerSurrogate;
        const wchar_t* model;
    } cases[] = {{"surrogate accepted", S_OK, L"Both"},
                 {"surrogate refused", E_NOTIMPL, L"Both"},
                 {"accepted, apartment-threaded", S_OK, L"Apartment"},
                 {"refused, apartment-threaded", E_NOTIMPL, L"Apartment"}};
    SetEnvironmentVariableW(L"BREVANIX_IDLE_SECONDS", L"0");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Fake().registerSurrogateResult = c.registerSurrogate;
        SetThreadingModel(kClsid, c.model);
        m_model->AddDll(kClsid, false, c.model);
        // What the console's handler signals.
        const win::UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        CCapture capture;
        Start(RecordingEvent, stop.Get());
        ASSERT_TRUE(capture.WaitForLine(kWaitLine, kHangMs));
        IUnknown* object = nullptr;
        ASSERT_EQ(m_model->Activate(kClsid, &object), S_OK);
        EXPECT_FALSE(capture.WaitForLine(kDoneLine, 1500));
        std::thread([&] { SetEvent(stop.Get()); }).join();
        ASSERT_TRUE(capture.WaitForLine(kDoneLine, kHangMs));
        EXPECT_EQ(Join(), 0);
        object->Release();
        EXPECT_EQ(capture.Text().substr(capture.Text().find(kWaitLine)),
                  kWaitLine + L"\n" + kDoneLine + L"\n");
        ExpectEveryClassRevoked();
        const auto fake = FakeSnapshot();
        EXPECT_EQ(fake.revoked.size(), 1u);
        for (const auto& marshal : fake.marshals) {
            EXPECT_FALSE(marshal.held);
        }
    }
    SetEnvironmentVariableW(L"BREVANIX_IDLE_SECONDS", nullptr);
}

// Runs the hosting phase on a fiber whose stack is freed as soon as it returns, so that any later
// use of its frame faults at once rather than going unnoticed.
class CFrameThatGoes {
public:
    explicit CFrameThatGoes(std::function<void()> body) : m_body(std::move(body)) {
        m_thread = std::thread([this] {
            m_caller = ConvertThreadToFiber(nullptr);
            void* const fiber = CreateFiber(0, &CFrameThatGoes::Run, this);
            SwitchToFiber(fiber);
            DeleteFiber(fiber);
            ConvertFiberToThread();
        });
    }
    CFrameThatGoes(const CFrameThatGoes&) = delete;
    CFrameThatGoes& operator=(const CFrameThatGoes&) = delete;
    ~CFrameThatGoes() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    void Join() { m_thread.join(); }

private:
    static void WINAPI Run(void* self) {
        auto* const that = static_cast<CFrameThatGoes*>(self);
        that->m_body();
        SwitchToFiber(that->m_caller);
    }

    std::function<void()> m_body;
    void* m_caller = nullptr;
    std::thread m_thread;
};

// A client's proxy, or a hosted DLL's thread, may call the factory after the hosting phase has
// returned and its frame is gone.
TEST_F(Hosting, AFactoryCalledAfterTheRunEndedStillWorks) {
    int result = 12345;
    CFrameThatGoes run([&result] { result = RunSurrogate(kClsidText, RecordingEvent); });
    ASSERT_TRUE(m_capture.WaitForLine(kWaitLine, kHangMs));
    IClassFactory* factory = nullptr;
    ASSERT_EQ(FakeSnapshot().registrations.at(0).object->QueryInterface(
                  IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    EXPECT_EQ(FreeFromAnotherThread(), S_OK);
    run.Join();
    EXPECT_EQ(result, 0);
    Fake().createResult = S_FALSE;
    void* object = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &object), S_FALSE);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(factory->Release(), 0u);
}

} // namespace
