#include "ArgumentMap.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::wstring kZeroGuid = L"{00000000-0000-0000-0000-000000000000}";
// 36 characters between the braces that are no GUID: only the braces are checked.
const std::wstring kUncheckedBody = L"{" + std::wstring(36, L'z') + L"}";
const std::wstring kMixedGuid = L"{0002DF01-abCD-11cf-8Ef0-00aa00A1b2C3}";

// Routes std::wcout into a string while it lives.
class CCapturedOutput {
public:
    CCapturedOutput() : m_original(std::wcout.rdbuf(m_printed.rdbuf())) {}
    CCapturedOutput(const CCapturedOutput&) = delete;
    CCapturedOutput& operator=(const CCapturedOutput&) = delete;
    ~CCapturedOutput() { std::wcout.rdbuf(m_original); }
    std::wstring Text() const { return m_printed.str(); }

private:
    std::wostringstream m_printed;
    std::wstreambuf* m_original;
};

struct ParseOutcome {
    int result;
    CArgumentMap map;
    std::wstring printed;
};

// Parses "program.exe" followed by arguments, capturing what the parser prints.
ParseOutcome ParseArguments(const std::vector<std::wstring>& arguments) {
    std::vector<const wchar_t*> vector = {L"C:\\Program Files\\pelmora-surrogate.exe"};
    for (const auto& argument : arguments) {
        vector.push_back(argument.c_str());
    }
    CCapturedOutput printed;
    ParseOutcome outcome;
    outcome.result = outcome.map.Parse(static_cast<int>(vector.size()), vector.data());
    outcome.printed = printed.Text();
    return outcome;
}

std::wstring Warning(int index, const std::wstring& argument) {
    return L"WARNING: Unknown parameter..\nArg[" + std::to_wstring(index) + L"]:[" + argument +
           L"]\n";
}

TEST(Parse, RefusesVectorsWithoutArguments) {
    const wchar_t* const vector[] = {L"{00000000-0000-0000-0000-000000000000}", L"-embedding"};
    for (int count : {-5, 0, 1}) {
        SCOPED_TRACE(count);
        CArgumentMap map;
        CCapturedOutput printed;
        EXPECT_EQ(map.Parse(count, vector), -1);
        EXPECT_TRUE(map.empty());
        EXPECT_EQ(printed.Text(), L"");
    }
    CArgumentMap map;
    EXPECT_EQ(map.Parse(3, nullptr), -1);
}

struct GuidCase {
    const wchar_t* name;
    std::vector<std::wstring> arguments;
    std::wstring guid;
};

// Arguments that set "guid": the value is the braced text as written, case kept.
TEST(Parse, StoresTheGuidOfEachAcceptedForm) {
    const GuidCase cases[] = {
        {L"all-zero GUID", {kZeroGuid}, kZeroGuid},
        {L"mixed-case hex", {kMixedGuid}, kMixedGuid},
        {L"GUID followed by letters", {kZeroGuid + L"abc"}, kZeroGuid + L"abc"},
        {L"unvalidated body", {kUncheckedBody}, kUncheckedBody},
        {L"process-id form", {L"/processid:" + kMixedGuid}, kMixedGuid},
        {L"process-id form, capital prefix", {L"/ProcessId:" + kMixedGuid}, kMixedGuid},
        {L"process-id form as the runtime writes it", {L"/PROCESSID:" + kZeroGuid}, kZeroGuid},
        {L"process-id form with a tail", {L"/processid:" + kZeroGuid + L"xy"}, kZeroGuid + L"xy"},
        {L"two GUIDs: the later wins", {kZeroGuid, kMixedGuid}, kMixedGuid},
        {L"bare then process-id",
         {kMixedGuid, L"-embedding", L"/processid:" + kZeroGuid},
         kZeroGuid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ParseOutcome outcome = ParseArguments(c.arguments);
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.printed, L"");
        ASSERT_EQ(outcome.map.count(L"guid"), 1u);
        EXPECT_EQ(outcome.map.at(L"guid"), c.guid);
    }
}

// Arguments near an accepted form that must fall through to the warning.
TEST(Parse, WarnsAboutNearMisses) {
    const std::vector<std::wstring> cases = {
        kZeroGuid + L"}",                            // last brace at 38
        kZeroGuid.substr(0, 37),                     // no closing brace
        L"{abc}",                                    // last brace at 4
        L"00000000-0000-0000-0000-000000000000}x",   // no opening brace
        L" " + kZeroGuid,                            // leading space
        L"/processid:" + kZeroGuid.substr(1) + L"x", // no brace after the colon
        L"/processid:" + kZeroGuid + L"}",           // last brace at 49
        L"/processid" + kZeroGuid,                   // no colon
        L"processid:" + kZeroGuid,                   // no slash
        L"/embedding",
        L"embedding",
        L"-embeddin",
        L"\u0130/processid:" + kZeroGuid, // non-ASCII before the prefix
    };
    for (const auto& argument : cases) {
        SCOPED_TRACE(argument);
        const ParseOutcome outcome = ParseArguments({argument});
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.printed, Warning(1, argument));
        EXPECT_TRUE(outcome.map.empty());
    }
}

// Only ASCII letters are folded: letters that other tables would fold to a prefix letter
// (dotless i, capital I with dot) do not match.
TEST(Parse, FoldsOnlyAsciiLetters) {
    for (const std::wstring& argument :
         {L"/process\u0131d:" + kZeroGuid, L"/PROCESS\u0130D:" + kZeroGuid,
          std::wstring(L"-EMBEDD\u0130NG")}) {
        SCOPED_TRACE(argument);
        EXPECT_EQ(ParseArguments({argument}).printed, Warning(1, argument));
    }
}

TEST(Parse, AcceptsTheEmbeddingSwitchInAnyAsciiCase) {
    for (const wchar_t* argument :
         {L"-embedding", L"-Embedding", L"-EMBEDDING", L"-embeddingX", L"-embedding:{x}"}) {
        SCOPED_TRACE(argument);
        const ParseOutcome outcome = ParseArguments({argument});
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.printed, L"");
        EXPECT_EQ(outcome.map, (CArgumentMap{{{L"embedding", L"true"}}}));
    }
}

TEST(Parse, WarnsWithIndicesInOrderAndLeavesRecognisedArgumentsAlone) {
    const ParseOutcome outcome =
        ParseArguments({L"alpha", L"-embedding", L"", kZeroGuid, L"Gr\u00FC\u00DFe\u20AC"});
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.printed,
              Warning(1, L"alpha") + Warning(3, L"") + Warning(5, L"Gr\u00FC\u00DFe\u20AC"));
    EXPECT_EQ(outcome.map, (CArgumentMap{{{L"embedding", L"true"}, {L"guid", kZeroGuid}}}));
}

TEST(Parse, NeverLooksAtTheProgramPath) {
    const wchar_t* const vector[] = {L"anything at all", L"-embedding"};
    CArgumentMap map;
    CCapturedOutput printed;
    EXPECT_EQ(map.Parse(2, vector), 0);
    EXPECT_EQ(printed.Text(), L"");
    EXPECT_EQ(map.size(), 1u);
}

TEST(ArgumentMap, InsertingLookupAddsAMissingKeyEmpty) {
    CArgumentMap map;
    EXPECT_EQ(map[L"guid"], L"");
    EXPECT_EQ(map.count(L"guid"), 1u);
}

} // namespace
