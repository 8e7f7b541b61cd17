// pelmora-register: points COM classes registered in this program's registry view at the host
// beside it, and back.
#include "ClassCheck.h"
#include "Registration.h"
#include "RegistrationLock.h"
#include "Text.h"
#include "WinRegistry.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

// A console gets UTF-16; a file or pipe gets UTF-8 with CRLF, as the host writes.
void PrintTo(DWORD which, const std::wstring& line) {
    const HANDLE handle = GetStdHandle(which);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        win::WriteText(handle, line + L"\r\n");
    }
}

void Out(const std::wstring& line) {
    PrintTo(STD_OUTPUT_HANDLE, line);
}

void Error(const std::wstring& line) {
    PrintTo(STD_ERROR_HANDLE, line);
}

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
    L"--force: add replaces another DllSurrogate; remove puts back the one add replaced even "
    L"when it was changed since.",
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
    if (arguments.empty()) {
        return Usage(L"no command");
    }
    const std::wstring& command = arguments.front();
    if (command == L"-h" || command == L"--help" || command == L"/?" || command == L"help") {
        return Usage({});
    }
    bool force = false;
    bool json = false;
    std::vector<std::wstring> targets;
    for (size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == L"--force" && (command == L"add" || command == L"remove")) {
            force = true;
        } else if (arguments[i] == L"--json" && command == L"check") {
            json = true;
        } else if (arguments[i].rfind(L"--", 0) == 0) {
            return Usage(L"unknown option " + arguments[i]);
        } else {
            targets.push_back(arguments[i]);
        }
    }
#ifdef _WIN64
    constexpr REGSAM kView = KEY_WOW64_64KEY;
#else
    constexpr REGSAM kView = KEY_WOW64_32KEY;
#endif
    if (command == L"check") {
        if (targets.empty()) {
            return Usage(L"check needs a target");
        }
        // Reads only, so it neither waits for the lock nor needs elevation.
        CWinRegistry registry;
        const CWinFiles files;
        const CheckReport report = CClassChecker(registry, files, kView).Check(targets);
        for (const std::wstring& line : report.errors) {
            Error(L"pelmora-register: " + line);
        }
        if (json) {
            Out(CheckJson(report));
        } else {
            for (const std::wstring& line : CheckLines(report)) {
                Out(line);
            }
        }
        return report.code;
    }
    Command run;
    if (command == L"list") {
        if (!targets.empty()) {
            return Usage(L"list takes no target");
        }
        run.kind = Command::kList;
    } else if (command == L"add" || command == L"remove") {
        if (targets.empty()) {
            return Usage(command + L" needs a target");
        }
        run = {command == L"add" ? Command::kAdd : Command::kRemove, targets, force};
    } else {
        return Usage(L"unknown command " + command);
    }
    // From the first read to the last write, so that two tools never interleave.
    CRegistrationLock lock;
    const std::wstring locked = lock.Acquire(120000);
    if (!locked.empty()) {
        Error(L"pelmora-register: " + locked);
        return kExitFailed;
    }
    CWinRegistry registry;
    const CWinFiles files;
    CRegistrar registrar(registry, files, kView, HostBesideThisProgram());
    return registrar.Run(run, Out, Error);
}
