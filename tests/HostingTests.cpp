// The hosting phase in process, against the fake runtime: the trace, the calls it makes and the
// lifecycle that ends with FreeSurrogate, which Wine's runtime never sends.
#include "AppIdSecurity.h"
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

class Hosting : public ::testing::Test {
protected:
    void SetUp() override {
        g_event.Reset();
        ResetFake();
        Fake().clsidFromString = kClsid;
        Fake().progIdResult = S_OK;
        Fake().progId = L"Pelmora.Test.1";
        SetAppIdText(kClsid, win::GuidText(kAppId));
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
    void Start(CompletionEventFactory createEvent = RecordingEvent, HANDLE stopEvent = nullptr) {
        m_ended = false;
        m_thread = std::thread([this, createEvent, stopEvent] {
            m_result = RunSurrogate(kClsidText, createEvent, stopEvent);
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
    // The AppID's security before anything can be marshalled; the host's own server process
    // reference spans the run.
    EXPECT_EQ(fake.calls,
              (std::vector<std::wstring>{
                  L"CoInitializeEx", L"CLSIDFromString", L"CoInitializeSecurity",
                  L"CoAddRefServerProcess", L"CoRegisterSurrogate", L"ProgIDFromCLSID",
                  L"CoTaskMemFree", L"CoRegisterClassObject", L"CoRevokeClassObject",
                  L"CoReleaseServerProcess", L"CoUninitialize"}));
    ASSERT_EQ(fake.securityCalls.size(), 1u);
    EXPECT_EQ(fake.securityCalls[0].capabilities, static_cast<DWORD>(EOAC_APPID));
    EXPECT_TRUE(IsEqualGUID(fake.securityCalls[0].appId, kAppId));
    EXPECT_EQ(fake.securityCalls[0].authServiceCount, -1);
    EXPECT_TRUE(fake.securityCalls[0].otherPointersNull);
    EXPECT_EQ(fake.initializeReserved, nullptr);
    EXPECT_EQ(fake.initializeFlags, static_cast<DWORD>(COINIT_MULTITHREADED));
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
        {"no completion event", [] {}, NoEvent,
         L"Terminated due to failure in creating the completion event.",
         {L"CoInitializeEx", L"CLSIDFromString", L"CoInitializeSecurity", L"CoUninitialize"}},
        {"COM refuses the AppID's security",
         [] { Fake().initializeSecurityResult = E_ACCESSDENIED; }, RecordingEvent,
         L"Terminated due to failure in initializing COM security.", securityRefused},
        {"too late, already set", [] { Fake().initializeSecurityResult = RPC_E_TOO_LATE; },
         RecordingEvent, L"Terminated due to failure in initializing COM security.",
         securityRefused},
        {"an AppID value that is no GUID", [] { SetAppIdText(kClsid, L"Their.App"); },
         RecordingEvent, L"Terminated due to failure in initializing COM security.",
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
        const ClassAppId appId = ReadClassAppId(kClsid);
        EXPECT_EQ(appId.state, c.state);
        if (c.state == ClassAppId::State::Found) {
            EXPECT_TRUE(IsEqualGUID(appId.id, kAppId));
        }
        EXPECT_EQ(ApplyAppIdSecurity(kClsid), c.serves);
        const auto fake = FakeSnapshot();
        ASSERT_EQ(fake.securityCalls.size(), c.securityCalls);
        if (c.securityCalls > 0) {
            EXPECT_TRUE(IsEqualGUID(fake.securityCalls[0].appId, kAppId));
        }
    }
    SetAppIdValue(kClsid, REG_NONE, nullptr, 0);
    ResetFake();
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
    const auto at = [&](const wchar_t* call) {
        return std::find(fake.calls.begin(), fake.calls.end(), call) - fake.calls.begin();
    };
    auto holdAt = fake.calls.begin();
    for (int i = 0; i < 4; ++i) {
        holdAt = std::find(holdAt + (i > 0 ? 1 : 0), fake.calls.end(), L"CoMarshalInterface");
    }
    EXPECT_LT(at(L"CoRegisterClassObject"), holdAt - fake.calls.begin());
    EXPECT_LT(holdAt - fake.calls.begin(), at(L"CoFreeUnusedLibrariesEx"));
    const auto lastRelease =
        (fake.calls.rend() -
         std::find(fake.calls.rbegin(), fake.calls.rend(), L"CoReleaseMarshalData")) - 1;
    EXPECT_LT(at(L"CoMarshalInterface"), at(L"CoRegisterClassObject"));
    EXPECT_LT(lastRelease, at(L"CoUninitialize"));
    // Revoked once, before the drain; the factory then went with FreeSurrogate.
    EXPECT_EQ(fake.revoked, std::vector<DWORD>{fake.registrations.at(0).cookie});
    EXPECT_EQ(fake.countAfterRevoke.size(), 1u);
}

// A client that fetched the class object just before the revocation is still served, and its work
// keeps the host until it has been unused again.
TEST_F(SelfRelease, AClientOfTheWithdrawnClassIsServed) {
    Fake().onRevoke = [] {
        IClassFactory* const factory = ClassObject();
        IUnknown* object = nullptr;
        EXPECT_EQ(
            factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)),
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
        {"not a number", L"soon", L"CLSID  : " + kClsidText + L"\n" + warning +
                                      kServingTrace.substr(kServingTrace.find(L"ProgID"))},
        {"negative", L"-5", L"CLSID  : " + kClsidText + L"\n" + warning +
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
    }
    void TearDown() override {
        m_model.reset();
        Hosting::TearDown();
    }
    template <typename Predicate>
    static bool WaitUntil(Predicate done, int timeoutMs) {
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
    }

    std::optional<CWindowsRuntimeModel> m_model;
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
            const int asked = m_model->CanUnloadNowCalls();
            ASSERT_TRUE(
                WaitUntil([&] { return m_model->CanUnloadNowCalls() > asked + 1; }, kHangMs));
            m_model->Advance(31 * kSecond);
            EXPECT_FALSE(capture.WaitForLine(kDoneLine, 1500));
            EXPECT_FALSE(m_model->UnloadPending(kClsid));
            EXPECT_EQ(factory->LockServer(FALSE), S_OK);
            factory->Release();
        }
        ASSERT_TRUE(WaitUntil([this] { return m_model->UnloadPending(kClsid); }, kHangMs));
        m_model->Advance(29 * kSecond);
        EXPECT_FALSE(capture.WaitForLine(kDoneLine, 1500));
        m_model->Advance(2 * kSecond);
        ASSERT_TRUE(capture.WaitForLine(kDoneLine, kHangMs));
        EXPECT_EQ(Join(), 0);
        EXPECT_EQ(capture.Text(), kServingTrace + kDoneLine + L"\n");
        EXPECT_FALSE(m_model->Loaded(kClsid));
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
    } cases[] = {{"surrogate accepted", S_OK}, {"surrogate refused", E_NOTIMPL}};
    SetEnvironmentVariableW(L"BREVANIX_IDLE_SECONDS", L"0");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Fake().registerSurrogateResult = c.registerSurrogate;
        m_model->AddDll(kClsid);
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
