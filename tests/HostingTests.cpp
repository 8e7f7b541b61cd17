// The hosting phase in process, against the fake runtime: the trace, the calls it makes and the
// lifecycle that ends with FreeSurrogate, which Wine's runtime never sends.
#include "FakeComRuntime.h"
#include "HandleWatch.h"
#include "Hosting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

namespace {

// {8F0E1D2C-3B4A-5968-7786-95A4B3C2D1E0}
constexpr CLSID kClsid = {
    0x8f0e1d2c, 0x3b4a, 0x5968, {0x77, 0x86, 0x95, 0xa4, 0xb3, 0xc2, 0xd1, 0xe0}};
const std::wstring kClsidText = L"{8F0E1D2C-3B4A-5968-7786-95A4B3C2D1E0}";
const std::wstring kWaitLine = L"Wait for Event Signal by ISurrogate::FreeSurrogate.";

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

class Hosting : public ::testing::Test {
protected:
    void SetUp() override {
        g_event.Reset();
        ResetFake();
        Fake().clsidFromString = kClsid;
        Fake().progIdResult = S_OK;
        Fake().progId = L"Pelmora.Test.1";
    }
    void TearDown() override {
        ResetFake();
        g_event.Reset();
    }

    // Runs the hosting phase on its own thread; Join returns its exit code.
    void Start(CompletionEventFactory createEvent = RecordingEvent) {
        m_thread =
            std::thread([this, createEvent] { m_result = RunSurrogate(kClsidText, createEvent); });
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
    EXPECT_EQ(fake.calls, (std::vector<std::wstring>{L"CoInitializeEx", L"CoRegisterSurrogate",
                                                     L"CLSIDFromString", L"ProgIDFromCLSID",
                                                     L"CoTaskMemFree", L"CoRegisterClassObject",
                                                     L"CoRevokeClassObject", L"CoUninitialize"}));
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

TEST_F(Hosting, EndsAtOnceWhenTheCompletionEventCannotBeCreated) {
    Start(NoEvent);
    EXPECT_EQ(Join(), -1);
    EXPECT_EQ(m_capture.Text(),
              L"CLSID  : " + kClsidText +
                  L"\nTerminated due to failure in creating the completion event.\n");
    EXPECT_EQ(FakeSnapshot().calls,
              (std::vector<std::wstring>{L"CoInitializeEx", L"CoUninitialize"}));
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
    // through the drain; every marshal released before CoUninitialize.
    ASSERT_EQ(fake.marshals.size(), 4u);
    const IID pinned[] = {IID_IUnknown, IID_IDispatch, IID_IClassFactory};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(IsEqualIID(fake.marshals[i].iid, pinned[i])) << i;
        EXPECT_EQ(fake.marshals[i].object, fake.marshals[0].object);
        EXPECT_EQ(fake.marshals[i].flags, static_cast<DWORD>(MSHLFLAGS_TABLESTRONG));
        EXPECT_EQ(fake.marshals[i].destContext, static_cast<DWORD>(MSHCTX_LOCAL));
    }
    EXPECT_EQ(fake.marshals[3].object, fake.registrations.at(0).object);
    for (const auto& marshal : fake.marshals) {
        EXPECT_FALSE(marshal.held);
    }
    const auto at = [&](const wchar_t* call) {
        return std::find(fake.calls.begin(), fake.calls.end(), call) - fake.calls.begin();
    };
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
// way the pins are made and the host waits for FreeSurrogate.
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
        EXPECT_EQ(FakeSnapshot().marshals.size(), 3u);
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
