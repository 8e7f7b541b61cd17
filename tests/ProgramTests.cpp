// The real pelmora-surrogate.exe, started as a child process, as users and the COM runtime start
// it.
#include "Banner.h"
#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Line(const std::string& text) {
    return text + "\r\n";
}

std::string Warning(int index, const std::string& argument) {
    return Line("WARNING: Unknown parameter..") +
           Line("Arg[" + std::to_string(index) + "]:[" + argument + "]");
}

const std::string kInvalid = Line("Terminated due to invalid argument.");
const std::string kMissing = Line("Terminated due to missing argument.");
constexpr DWORD kRefused = 4294967295u; // -1 as the parent sees it

struct RefusalCase {
    const char* name;
    std::vector<std::wstring> arguments;
    std::string warnings; // printed before the banner
    std::string reason;   // printed after it
};

// UTF-8 of the non-ASCII argument below.
const std::string kGreetingUtf8 = "Gr\xC3\xBC\xC3\x9F"
                                  "e\xE2\x82\xAC";

const RefusalCase kRefusals[] = {
    {"no arguments", {}, "", kInvalid},
    {"only the switch", {L"-embedding"}, "", kMissing},
    {"one unknown word", {L"serve"}, Warning(1, "serve"), kMissing},
    {"unknown words around the switch",
     {L"alpha", L"-Embedding", L"beta"},
     Warning(1, "alpha") + Warning(3, "beta"),
     kMissing},
    {"empty argument", {L"-embedding", L"", L"x"}, Warning(2, "") + Warning(3, "x"), kMissing},
    {"non-ASCII argument then another",
     {L"Gr\u00FC\u00DFe\u20AC", L"next"},
     Warning(1, kGreetingUtf8) + Warning(2, "next"),
     kMissing},
    {"GUID with a second closing brace",
     {L"{00000000-0000-0000-0000-000000000000}}"},
     Warning(1, "{00000000-0000-0000-0000-000000000000}}"),
     kMissing},
    {"process id without its brace",
     {L"/processid:00000000-0000-0000-0000-000000000000}"},
     Warning(1, "/processid:00000000-0000-0000-0000-000000000000}"),
     kMissing},
    {"quoted text with spaces", {L"a b  c"}, Warning(1, "a b  c"), kMissing},
};

TEST(Program, RefusalsPrintExactLinesAndExitWithMinusOne) {
    for (const auto& c : kRefusals) {
        SCOPED_TRACE(c.name);
        CChildProcess child;
        ASSERT_TRUE(child.Start(HostCommandLine(c.arguments)));
        ASSERT_TRUE(child.Wait(30000));
        EXPECT_EQ(child.ExitCode(), kRefused);
        EXPECT_EQ(child.Output(), c.warnings + Banner(child.Id(), "\r\n") + c.reason);
    }
}

// Started as the COM runtime starts a server: no console, no standard handles. Every line is
// lost, but nothing else may change, including the exit code, and the C runtime must not end the
// process over the missing streams.
TEST(Program, RunsTheSameWithoutStandardHandles) {
    const std::vector<std::vector<std::wstring>> commandLines = {
        {}, {L"-embedding"}, {L"Gr\u00FC\u00DFe\u20AC", L"serve"}};
    for (const auto& arguments : commandLines) {
        const RunResult result = RunToEnd(HostCommandLine(arguments), CChildProcess::Handles::None);
        EXPECT_TRUE(result.ended) << result.output;
        EXPECT_EQ(result.exitCode, kRefused);
    }
}

} // namespace
