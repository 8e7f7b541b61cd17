// The class factory and the surrogate against the recording fake runtime.
#include "ClassFactory.h"
#include "FakeComRuntime.h"
#include "HandleWatch.h"
#include "Surrogate.h"
#include "Unique.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <set>
#include <thread>
#include <vector>

namespace {

// The thread whose next non-throwing allocation fails, or 0. Bound to one thread so that no
// other thread's allocation can take the failure meant for the code under test.
std::atomic<DWORD> g_failNextNothrowNewOn{0};

void FailNextNothrowNewOnThisThread(bool fail) {
    g_failNextNothrowNewOn = fail ? GetCurrentThreadId() : 0;
}

} // namespace

// Lets a test make the next non-throwing allocation fail.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    DWORD self = GetCurrentThreadId();
    if (g_failNextNothrowNewOn.compare_exchange_strong(self, 0)) {
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}

namespace {

// {0B1C2D3E-4F50-6172-8394-A5B6C7D8E9F0}
constexpr CLSID kClsid = {
    0x0b1c2d3e, 0x4f50, 0x6172, {0x83, 0x94, 0xa5, 0xb6, 0xc7, 0xd8, 0xe9, 0xf0}};
// {0B1C2D3E-4F50-6172-8394-A5B6C7D8E9F1}
constexpr CLSID kClsid2 = {
    0x0b1c2d3e, 0x4f50, 0x6172, {0x83, 0x94, 0xa5, 0xb6, 0xc7, 0xd8, 0xe9, 0xf1}};
// An IID that differs from IUnknown's only in its last byte: all 16 bytes must be compared.
constexpr IID kNearUnknown = {
    0x00000000, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x47}};

class ComObjects : public ::testing::Test {
protected:
    void SetUp() override { ResetFake(); }
    void TearDown() override { ResetFake(); }
};

struct QueryCase {
    const char* name;
    IID iid;
    HRESULT result;
};

// The interfaces an object answers to; every other IID gets E_NOINTERFACE and a cleared pointer.
template <typename Object>
void CheckQueryInterface(Object& object, const std::vector<QueryCase>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        void* out = reinterpret_cast<void*>(0x1);
        const ULONG before = object.AddRef() - 1;
        object.Release();
        EXPECT_EQ(object.QueryInterface(c.iid, &out), c.result);
        if (c.result == S_OK) {
            EXPECT_EQ(out, static_cast<void*>(&object));
            EXPECT_EQ(object.AddRef(), before + 2);
            object.Release();
            object.Release();
        } else {
            EXPECT_EQ(out, nullptr);
            EXPECT_EQ(object.AddRef(), before + 1);
            object.Release();
        }
    }
    EXPECT_EQ(object.QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

// The factory answers for itself; any other interface a client asks the class object for is the
// DLL's own class object's, but never one through which the runtime would take the factory for
// another kind of object.
TEST_F(ComObjects, FactoryAnswersForItselfAndPassesOtherInterfacesToTheDllsClassObject) {
    enum class Answer { Factory, Dll, None };
    const struct {
        const char* name;
        IID iid;
        Answer answer;
        bool asksDll;
        HRESULT dllClassObject;
    } cases[] = {
        {"IUnknown", IID_IUnknown, Answer::Factory, false, S_OK},
        {"IClassFactory", IID_IClassFactory, Answer::Factory, false, S_OK},
        {"IMarshal", IID_IMarshal, Answer::Factory, false, S_OK},
        {"IClassFactory2", IID_IClassFactory2, Answer::Dll, true, S_OK},
        {"IClassFactory2, no DLL", IID_IClassFactory2, Answer::None, true, REGDB_E_CLASSNOTREG},
        {"ISurrogate, which the DLL's lacks", IID_ISurrogate, Answer::None, true, S_OK},
        {"near IUnknown", kNearUnknown, Answer::None, true, S_OK},
        {"IExternalConnection", IID_IExternalConnection, Answer::None, false, S_OK},
        {"IAgileObject", IID_IAgileObject, Answer::None, false, S_OK},
        {"INoMarshal", IID_INoMarshal, Answer::None, false, S_OK},
        {"IStdMarshalInfo", IID_IStdMarshalInfo, Answer::None, false, S_OK},
    };
    auto* factory = new CClassFactory(kClsid);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetFake();
        Fake().getClassObjectResult = c.dllClassObject;
        void* out = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(factory->QueryInterface(c.iid, &out),
                  c.answer == Answer::None ? E_NOINTERFACE : S_OK);
        const auto fake = FakeSnapshot();
        EXPECT_EQ(fake.classObjectContexts.size(), c.asksDll ? 1u : 0u);
        for (const DWORD context : fake.classObjectContexts) {
            EXPECT_EQ(context, static_cast<DWORD>(CLSCTX_INPROC_SERVER));
        }
        switch (c.answer) {
        case Answer::Factory:
            EXPECT_EQ(out, IsEqualIID(c.iid, IID_IMarshal)
                               ? static_cast<void*>(static_cast<IMarshal*>(factory))
                               : static_cast<void*>(static_cast<IClassFactory*>(factory)));
            EXPECT_EQ(factory->Release(), 1u);
            break;
        case Answer::Dll:
            ASSERT_NE(out, nullptr);
            EXPECT_NE(out, static_cast<void*>(static_cast<IClassFactory*>(factory)));
            static_cast<IUnknown*>(out)->Release();
            break;
        case Answer::None:
            EXPECT_EQ(out, nullptr);
            break;
        }
    }
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(factory->Release(), 0u);
}

// Marshalled as itself for its own interfaces, and as the DLL's class object for the others,
// always by the standard marshaler.
TEST_F(ComObjects, FactoryMarshalsOtherInterfacesAsTheDllsClassObject) {
    auto* factory = new CClassFactory(kClsid);
    IMarshal* marshal = nullptr;
    ASSERT_EQ(factory->QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&marshal)), S_OK);
    IUnknown* const self = static_cast<IClassFactory*>(factory);
    for (const IID& iid : {IID_IUnknown, IID_IClassFactory, IID_IClassFactory2}) {
        ResetFake();
        CLSID unmarshaler = {};
        EXPECT_EQ(marshal->GetUnmarshalClass(iid, self, MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL,
                                             &unmarshaler),
                  S_OK);
        EXPECT_TRUE(IsEqualCLSID(unmarshaler, CLSID_StdMarshal));
        DWORD size = 0;
        EXPECT_EQ(
            marshal->GetMarshalSizeMax(iid, self, MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL, &size),
            S_OK);
        EXPECT_EQ(
            marshal->MarshalInterface(nullptr, iid, self, MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL),
            S_OK);
        const auto fake = FakeSnapshot();
        ASSERT_EQ(fake.standardMarshals.size(), 3u);
        const bool own = !IsEqualIID(iid, IID_IClassFactory2);
        for (const auto& standard : fake.standardMarshals) {
            EXPECT_TRUE(IsEqualIID(standard.iid, iid));
            EXPECT_EQ(standard.object == self, own);
        }
        EXPECT_EQ(fake.classObjectContexts.size(), own ? 0u : 3u);
    }
    // Not to be had from the DLL: nothing is marshalled.
    ResetFake();
    Fake().getClassObjectResult = REGDB_E_CLASSNOTREG;
    EXPECT_EQ(marshal->MarshalInterface(nullptr, IID_IClassFactory2, self, MSHCTX_LOCAL, nullptr,
                                        MSHLFLAGS_NORMAL),
              REGDB_E_CLASSNOTREG);
    EXPECT_TRUE(FakeSnapshot().standardMarshals.empty());
    marshal->Release();
    EXPECT_EQ(factory->Release(), 0u);
}

// Created with its creator's reference.
TEST_F(ComObjects, FactoryCountsReferences) {
    auto* factory = new CClassFactory(kClsid);
    EXPECT_EQ(factory->AddRef(), 2u);
    EXPECT_EQ(factory->AddRef(), 3u);
    EXPECT_EQ(factory->Release(), 2u);
    EXPECT_EQ(factory->Release(), 1u);
    EXPECT_EQ(factory->Release(), 0u);
}

TEST_F(ComObjects, FactoryCountsAtomically) {
    auto* factory = new CClassFactory(kClsid);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([factory] {
            for (int i = 0; i < 100000; ++i) {
                factory->AddRef();
                factory->Release();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(factory->Release(), 0u);
}

TEST_F(ComObjects, FactoryCreatesInProcessAndPassesTheResultBack) {
    auto* factory = new CClassFactory(kClsid);
    IUnknown* const outer = reinterpret_cast<IUnknown*>(0x1234);
    for (const HRESULT result : {S_OK, S_FALSE, E_NOINTERFACE, CLASS_E_NOAGGREGATION, E_OUTOFMEMORY,
                                 static_cast<HRESULT>(0x80047E57)}) {
        SCOPED_TRACE(result);
        ResetFake();
        Fake().createResult = result;
        void* out = nullptr;
        EXPECT_EQ(factory->CreateInstance(outer, IID_IDispatch, &out), result);
        const auto fake = FakeSnapshot();
        ASSERT_EQ(fake.creations.size(), 1u);
        EXPECT_TRUE(IsEqualCLSID(fake.creations[0].clsid, kClsid));
        EXPECT_EQ(fake.creations[0].outer, outer);
        EXPECT_EQ(fake.creations[0].context, static_cast<DWORD>(CLSCTX_INPROC_SERVER));
        EXPECT_TRUE(IsEqualIID(fake.creations[0].iid, IID_IDispatch));
        EXPECT_EQ(fake.creations[0].out, &out);
    }
    // No checks of its own: even a missing output pointer goes to the runtime.
    ResetFake();
    Fake().createResult = E_POINTER;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(FakeSnapshot().creations.size(), 1u);
    factory->Release();
}

// Each lock also locks the hosted DLL through its own class object, fetched in-process, and each
// matching unlock gives that back.
TEST_F(ComObjects, FactoryLockMovesTheServerProcessCountAndLocksTheDll) {
    auto* factory = new CClassFactory(kClsid);
    const struct {
        BOOL lock;
        long count;
        long dllLocks;
    } steps[] = {
        {TRUE, 1, 1}, {2, 2, 2}, {FALSE, 1, 1}, {FALSE, 0, 0}, {FALSE, 0, 0} /* never locked */,
        {TRUE, 1, 1}};
    for (const auto& step : steps) {
        EXPECT_EQ(factory->LockServer(step.lock), S_OK);
        EXPECT_EQ(FakeSnapshot().serverProcessCount, step.count);
        EXPECT_EQ(*FakeSnapshot().dllLocks, step.dllLocks);
    }
    for (const DWORD context : FakeSnapshot().classObjectContexts) {
        EXPECT_EQ(context, static_cast<DWORD>(CLSCTX_INPROC_SERVER));
    }
    // A factory that goes while locked gives the DLL's lock back.
    factory->Release();
    EXPECT_EQ(*FakeSnapshot().dllLocks, 0);

    // A DLL whose class object cannot be had is not locked; the process still is.
    ResetFake();
    Fake().getClassObjectResult = REGDB_E_CLASSNOTREG;
    factory = new CClassFactory(kClsid);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    const auto fake = FakeSnapshot();
    EXPECT_EQ(fake.serverProcessCount, 0);
    EXPECT_EQ(*fake.dllLocks, 0);
    factory->Release();
}

// The DLL's code runs under no lock of the factory's: a DLL whose LockServer calls back into the
// host's class object (a single-threaded apartment that pumps messages while it waits can) must
// not deadlock it.
TEST_F(ComObjects, FactoryHoldsNoLockWhileTheDllRuns) {
    auto* factory = new CClassFactory(kClsid);
    std::atomic<int> reentered{0};
    Fake().onDllLock = [&](BOOL lock) {
        if (reentered++ == 0) {
            factory->LockServer(lock);
        }
    };
    const win::UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread locking([&] {
        factory->LockServer(TRUE);
        reentered = 0;
        factory->LockServer(FALSE);
        SetEvent(done.Get());
    });
    if (WaitForSingleObject(done.Get(), 10000) != WAIT_OBJECT_0) {
        locking.detach(); // deadlocked: it never returns
        FAIL() << "a DLL calling back into the factory deadlocked it";
    }
    locking.join();
    Fake().onDllLock = nullptr;
    const auto fake = FakeSnapshot();
    EXPECT_EQ(fake.serverProcessCount, 0);
    EXPECT_EQ(*fake.dllLocks, 0);
    EXPECT_EQ(factory->Release(), 0u);
}

TEST_F(ComObjects, SurrogateAnswersOnlyForIUnknownAndISurrogate) {
    CSurrogate surrogate;
    CheckQueryInterface(surrogate, {{"IUnknown", IID_IUnknown, S_OK},
                                    {"ISurrogate", IID_ISurrogate, S_OK},
                                    {"IClassFactory", IID_IClassFactory, E_NOINTERFACE},
                                    {"near IUnknown", kNearUnknown, E_NOINTERFACE}});
}

TEST_F(ComObjects, SurrogateReleaseNeverDestroys) {
    CSurrogate surrogate;
    EXPECT_EQ(surrogate.AddRef(), 1u);
    EXPECT_EQ(surrogate.Release(), 0u);
    void* out = nullptr;
    EXPECT_EQ(surrogate.QueryInterface(IID_ISurrogate, &out), S_OK);
    EXPECT_EQ(surrogate.Release(), 0u);
}

TEST_F(ComObjects, FreeBeforeLoadChangesNothing) {
    CSurrogate surrogate;
    EXPECT_EQ(surrogate.FreeSurrogate(), S_OK);
    EXPECT_TRUE(FakeSnapshot().revoked.empty());
    EXPECT_EQ(WaitForSingleObject(surrogate.Event(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(ComObjects, LoadRegistersAFactoryAndFreeRevokesItOnce) {
    Fake().nextCookie = 0xC00C1E;
    Fake().revokeResult = static_cast<HRESULT>(0x8000FFFF);
    CSurrogate surrogate;

    EXPECT_EQ(surrogate.LoadDllServer(kClsid), S_OK);
    auto fake = FakeSnapshot();
    ASSERT_EQ(fake.registrations.size(), 1u);
    const auto& registration = fake.registrations[0];
    EXPECT_TRUE(IsEqualCLSID(registration.clsid, kClsid));
    EXPECT_EQ(registration.context, static_cast<DWORD>(CLSCTX_LOCAL_SERVER));
    EXPECT_EQ(registration.flags, 10u);
    EXPECT_EQ(registration.cookieOnEntry, 0u);
    // Registered as a factory for the CLSID.
    IClassFactory* factory = nullptr;
    ASSERT_EQ(
        registration.object->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory)),
        S_OK);
    factory->Release();

    EXPECT_EQ(surrogate.FreeSurrogate(), static_cast<HRESULT>(0x8000FFFF));
    fake = FakeSnapshot();
    EXPECT_EQ(fake.revoked, std::vector<DWORD>{0xC00C1E});
    // Only the surrogate's own reference was left once the runtime let go.
    EXPECT_EQ(fake.countAfterRevoke, std::vector<ULONG>{1});
    EXPECT_EQ(WaitForSingleObject(surrogate.Event(), 0), WAIT_OBJECT_0);

    EXPECT_EQ(surrogate.FreeSurrogate(), S_OK);
    EXPECT_EQ(FakeSnapshot().revoked.size(), 1u);
    EXPECT_EQ(WaitForSingleObject(surrogate.Event(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(ComObjects, FailedRegistrationIsReturnedAndItsCookieStillRevoked) {
    Fake().registerResult = CO_E_OBJISREG;
    Fake().nextCookie = 77;
    CSurrogate surrogate;
    EXPECT_EQ(surrogate.LoadDllServer(kClsid), CO_E_OBJISREG);
    EXPECT_EQ(surrogate.FreeSurrogate(), S_OK);
    EXPECT_EQ(FakeSnapshot().revoked, std::vector<DWORD>{77});
    EXPECT_EQ(WaitForSingleObject(surrogate.Event(), 0), WAIT_OBJECT_0);
}

// A client still holding the factory when the surrogate is freed keeps it alive; it goes with
// that client's last Release.
TEST_F(ComObjects, FreeReleasesOnlyTheSurrogatesOwnReference) {
    CSurrogate surrogate;
    ASSERT_EQ(surrogate.LoadDllServer(kClsid), S_OK);
    IClassFactory* held = nullptr;
    ASSERT_EQ(FakeSnapshot().registrations[0].object->QueryInterface(
                  IID_IClassFactory, reinterpret_cast<void**>(&held)),
              S_OK);
    EXPECT_EQ(surrogate.FreeSurrogate(), S_OK);
    EXPECT_EQ(FakeSnapshot().countAfterRevoke, std::vector<ULONG>{2});
    Fake().createResult = S_FALSE;
    void* out = nullptr;
    EXPECT_EQ(held->CreateInstance(nullptr, IID_IUnknown, &out), S_FALSE);
    EXPECT_EQ(held->Release(), 0u);
}

TEST_F(ComObjects, LoadReportsOutOfMemoryInsteadOfThrowing) {
    CSurrogate surrogate;
    FailNextNothrowNewOnThisThread(true);
    EXPECT_EQ(surrogate.LoadDllServer(kClsid), E_OUTOFMEMORY);
    FailNextNothrowNewOnThisThread(false);
    EXPECT_TRUE(FakeSnapshot().registrations.empty());
    EXPECT_EQ(surrogate.FreeSurrogate(), S_OK);
    EXPECT_EQ(WaitForSingleObject(surrogate.Event(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// The runtime's threads may load classes and free the surrogate at the same time: every
// registration is revoked exactly once, and only registrations that exist are revoked.
TEST_F(ComObjects, ConcurrentLoadsAndFreesRevokeEachRegistrationOnce) {
    CSurrogate surrogate;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&surrogate, t] {
            for (int i = 0; i < 2000; ++i) {
                if ((i + t) % 2 == 0) {
                    surrogate.LoadDllServer(t < 2 ? kClsid : kClsid2);
                } else {
                    surrogate.FreeSurrogate();
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    surrogate.FreeSurrogate();
    const auto fake = FakeSnapshot();
    std::set<DWORD> issued;
    for (const auto& registration : fake.registrations) {
        issued.insert(registration.cookie);
    }
    std::set<DWORD> revoked;
    for (const DWORD cookie : fake.revoked) {
        EXPECT_TRUE(revoked.insert(cookie).second) << "revoked twice: " << cookie;
        EXPECT_EQ(issued.count(cookie), 1u) << "never issued: " << cookie;
    }
    EXPECT_EQ(revoked, issued);
    for (const ULONG count : fake.countAfterRevoke) {
        EXPECT_EQ(count, 1u);
    }
}

TEST_F(ComObjects, SurrogateClosesItsEventOnDestruction) {
    CHandleWatch event;
    {
        CSurrogate surrogate;
        ASSERT_NE(surrogate.Event(), nullptr);
        ASSERT_TRUE(event.Watch(surrogate.Event()));
        EXPECT_EQ(event.OtherHandles(), 1);
    }
    EXPECT_EQ(event.OtherHandles(), 0);
}

// INVALID_HANDLE_VALUE means nothing held however it reaches a file handle's owner; the handle it
// replaces is closed.
TEST(Owners, FileHandleHoldsNothingForInvalidHandleValueOnEveryWayIn) {
    const struct {
        const char* name;
        void (*give)(win::UniqueFileHandle& owner);
    } cases[] = {
        {"moved in from the constructor",
         [](win::UniqueFileHandle& owner) { owner = win::UniqueFileHandle(INVALID_HANDLE_VALUE); }},
        {"Reset", [](win::UniqueFileHandle& owner) { owner.Reset(INVALID_HANDLE_VALUE); }},
        {"written through Put",
         [](win::UniqueFileHandle& owner) { *owner.Put() = INVALID_HANDLE_VALUE; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        win::UniqueFileHandle owner(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ASSERT_TRUE(owner);
        CHandleWatch event;
        ASSERT_TRUE(event.Watch(owner.Get()));
        c.give(owner);
        EXPECT_EQ(event.OtherHandles(), 0);
        EXPECT_FALSE(owner);
        EXPECT_EQ(owner.Get(), nullptr);
        EXPECT_EQ(owner.Detach(), nullptr);
    }
}

} // namespace
