// When a host that the runtime cannot release decides that it is unused, with the clock and the
// hosted DLL's answer under the test's control.
#include "IdleWatch.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

TEST(IdleSeconds, ParsesOnlyWholeNumbers) {
    const struct {
        const wchar_t* text;
        std::optional<unsigned long> seconds;
    } cases[] = {
        {L"30", 30},           {L"0", 0},           {L"007", 7},
        {L"999999999", 999999999ul},                {L"", std::nullopt},
        {L"-1", std::nullopt}, {L"+5", std::nullopt}, {L"1.5", std::nullopt},
        {L" 30", std::nullopt}, {L"30 ", std::nullopt}, {L"30s", std::nullopt},
        {L"abc", std::nullopt}, {L"1000000000", std::nullopt},
        // Past 32 bits, where a check after the multiplication would see a wrapped value.
        {L"4294967296", std::nullopt}, {L"4294967297", std::nullopt},
        {L"5000000000", std::nullopt}, {L"9999999999", std::nullopt}, {L"0000000030", 30},
        {L"99999999999999999999999", std::nullopt}, {L"\x0663", std::nullopt}, // Arabic-Indic 3
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseIdleSeconds(c.text), c.seconds) << std::string(c.text, c.text + wcslen(c.text));
    }
}

using Step = CIdleWatch::Step;
constexpr ULONGLONG kGrace = 10000;
constexpr ULONGLONG kDrain = 3000;

class IdleWatch : public ::testing::Test {
protected:
    CIdleWatch Watch() {
        return CIdleWatch(m_activity, [this] { return m_dllInUse; }, kGrace, kDrain, 0);
    }

    CServerActivity m_activity;
    bool m_dllInUse = false;
};

TEST_F(IdleWatch, AnUnusedHostWithdrawsAfterTheGraceAndEndsAfterTheDrain) {
    CIdleWatch watch = Watch();
    EXPECT_EQ(watch.Poll(1000), Step::Serve);
    EXPECT_EQ(watch.Poll(kGrace - 1), Step::Serve);
    EXPECT_EQ(watch.Poll(kGrace), Step::Withdraw);
    EXPECT_EQ(watch.Poll(kGrace + kDrain - 1), Step::Serve);
    EXPECT_EQ(watch.Poll(kGrace + kDrain), Step::End);
}

// Short-lived objects are never seen alive by a poll; the calls that made them still count.
TEST_F(IdleWatch, ActivityBetweenPollsRestartsThePeriod) {
    CIdleWatch watch = Watch();
    for (ULONGLONG now = 1000; now <= 60000; now += 1000) {
        m_activity.CallStarted();
        m_activity.CallEnded();
        ASSERT_EQ(watch.Poll(now), Step::Serve) << now;
    }
    EXPECT_EQ(watch.Poll(60000 + kGrace - 1), Step::Serve);
    EXPECT_EQ(watch.Poll(60000 + kGrace), Step::Withdraw);
}

TEST_F(IdleWatch, AnyUseKeepsTheHostForAsLongAsItLasts) {
    const struct {
        const char* name;
        void (*begin)(CServerActivity&, bool&);
        void (*end)(CServerActivity&, bool&);
    } uses[] = {
        {"a call in progress", [](CServerActivity& a, bool&) { a.CallStarted(); },
         [](CServerActivity& a, bool&) { a.CallEnded(); }},
        {"a server lock", [](CServerActivity& a, bool&) { a.Locked(); },
         [](CServerActivity& a, bool&) { a.Unlocked(); }},
        {"a live object of the DLL", [](CServerActivity&, bool& inUse) { inUse = true; },
         [](CServerActivity&, bool& inUse) { inUse = false; }},
    };
    for (const auto& use : uses) {
        SCOPED_TRACE(use.name);
        CServerActivity activity;
        bool inUse = false;
        CIdleWatch watch(activity, [&inUse] { return inUse; }, kGrace, kDrain, 0);
        use.begin(activity, inUse);
        for (ULONGLONG now = 1000; now <= 5 * kGrace; now += 1000) {
            ASSERT_EQ(watch.Poll(now), Step::Serve) << now;
        }
        use.end(activity, inUse);
        EXPECT_EQ(watch.Poll(5 * kGrace + 1000), Step::Serve);
        EXPECT_EQ(watch.Poll(6 * kGrace + 999), Step::Serve);
        EXPECT_EQ(watch.Poll(6 * kGrace + 1000), Step::Withdraw);
    }
}

// A client's stray unlock must not cancel another client's lock.
TEST_F(IdleWatch, AnUnlockWithoutALockDoesNotCancelALaterLock) {
    CIdleWatch watch = Watch();
    m_activity.Unlocked();
    m_activity.Locked();
    EXPECT_EQ(watch.Poll(kGrace * 3), Step::Serve);
    EXPECT_EQ(watch.Poll(kGrace * 5), Step::Serve);
    EXPECT_TRUE(m_activity.Busy());
}

// Work that arrives after the withdrawal is served; the host ends once unused again.
TEST_F(IdleWatch, WorkDuringTheDrainPostponesTheEnd) {
    CIdleWatch watch = Watch();
    ASSERT_EQ(watch.Poll(kGrace), Step::Withdraw);
    m_activity.CallStarted();
    EXPECT_EQ(watch.Poll(kGrace + 1000), Step::Serve);
    EXPECT_EQ(watch.Poll(kGrace + 2 * kDrain), Step::Serve);
    m_activity.CallEnded();
    m_dllInUse = true;
    EXPECT_EQ(watch.Poll(kGrace + 3 * kDrain), Step::Serve);
    m_dllInUse = false;
    EXPECT_EQ(watch.Poll(kGrace + 4 * kDrain), Step::Serve);
    EXPECT_EQ(watch.Poll(kGrace + 5 * kDrain - 1), Step::Serve);
    EXPECT_EQ(watch.Poll(kGrace + 5 * kDrain), Step::End);
}

} // namespace
