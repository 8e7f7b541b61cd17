// pelmora-register: points COM classes registered in this program's registry view at the host
// beside it, and back.
#include "ClassCheck.h"
#include "Registration.h"
#include "RegistrationLock.h"
#include "Text.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

// A console gets UTF-16; a file or pipe gets UTF-8 with CRLF, as the host writes.
template <DWORD Which> void Print(const std::wstring& line) {
    const HANDLE handle = GetStdHandle(Which);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        win::WriteText(handle, line + L"\r\n");
    }
}
const auto Out = Print<STD_OUTPUT_HANDLE>;
const auto Error = Print<STD_ERROR_HANDLE>;

const wchar_t* const kUsage[] = {
    L"usage: pelmora-register add [--force] <target>...",
    L"       pelmora-register remove [--force] <target>...",
    L"       pelmora-register list",
    L"       pelmora-register check [--json] <target>...",
    L"A target is a registered DLL's path (all its classes), a braced CLSID or a ProgID.",
    L"add points each class at pelmora-surrogate.exe beside this program; remove undoes that.",
    L"list names the classes served by that host.",
    L"check says, for 32-bit and 64-bit clients, whether each class will work through a host, and "
    L"what to do where not; it changes nothing.",
    L"--force: add replaces another host; remove puts back what add replaced even when it was "
    L"changed since.",
};

int Usage(const std::wstring& problem) {
    if (!problem.empty()) {
        Error(L"pelmora-register: " + problem);
    }
    for (const wchar_t* line : kUsage) {
        (problem.empty() ? Out : Error)(line);
    }
    return problem.empty() ? kExitOk : kExitUsage;
}

std::wstring HostBesideThisProgram() {
    const std::wstring folder = win::ProgramDirectory();
    return folder.empty() ? L"pelmora-surrogate.exe" : folder + L"\\pelmora-surrogate.exe";
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::vector<std::wstring> arguments(argv + 1, argv + argc);
    const std::wstring command = arguments.empty() ? L"" : arguments.front();
    if (command == L"-h" || command == L"--help" || command == L"/?" || command == L"help") {
        return Usage({});
    }
    const bool changes = command == L"add" || command == L"remove";
    bool force = false;
    bool json = false;
    std::vector<std::wstring> targets;
    for (size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i].rfind(L"--", 0) != 0) {
            targets.push_back(arguments[i]);
        } else if (arguments[i] == L"--force" && changes) {
            force = true;
        } else if (arguments[i] == L"--json" && command == L"check") {
            json = true;
        } else {
            return Usage(L"unknown option " + arguments[i]);
        }
    }
    if (command.empty() || (command != L"list" && command != L"check" && !changes)) {
        return Usage(command.empty() ? L"no command" : L"unknown command " + command);
    }
    if (targets.empty() != (command == L"list")) {
        return Usage(command == L"list" ? L"list takes no target" : command + L" needs a target");
    }
#ifdef _WIN64
    constexpr REGSAM kView = KEY_WOW64_64KEY;
#else
    constexpr REGSAM kView = KEY_WOW64_32KEY;
#endif
    CWinRegistry registry;
    const CWinFiles files;
    if (command == L"check") {
        // Reads only, so it neither waits for the lock nor needs elevation.
        const CheckReport report = CClassChecker(registry, files, kView).Check(targets);
        for (const std::wstring& line : report.errors) {
            Error(L"pelmora-register: " + line);
        }
        for (const std::wstring& line :
             json ? std::vector<std::wstring>{CheckJson(report)} : CheckLines(report)) {
            Out(line);
        }
        return report.code;
    }
    // From the first read to the last write, so that two tools never interleave.
    CRegistrationLock lock;
    if (const std::wstring locked = lock.Acquire(120000); !locked.empty()) {
        Error(L"pelmora-register: " + locked);
        return kExitFailed;
    }
    const Command run{changes ? (command == L"add" ? Command::kAdd : Command::kRemove)
                              : Command::kList,
                      targets, force};
    CRegistrar registrar(registry, files, kView, HostBesideThisProgram());
    return registrar.Apply(registrar.MakePlan(run), Out, Error);
}
