// Measures the host serving the sample calculator from the client side: activation latency,
// throughput from concurrent client processes and the host's memory across many activations.
// An activation is: create the object out of process, one call, release. Prints "name value"
// lines; scripts/bench.sh adds the cold activations and the idle host's CPU and makes the table.
//
//   pelmora-bench.exe once [CLASS]       one activation; prints "once_us <microseconds>"
//   pelmora-bench.exe worker MS [CLASS]  activations for MS after the start signal;
//                                        prints "<activations> <failures>"
//   pelmora-bench.exe run [CLASS]        the warm measurements
//   pelmora-bench.exe load CLIENT32 CLIENT64 COUNT [CLASS]
//                                        4 sample clients of each bitness at once, COUNT
//                                        activations each, against one warm host
//   pelmora-bench.exe side-by-side CLASS...
//                                        warm activations of several classes (each a ProgID or
//                                        a braced CLSID), taken in turns so that the machine's
//                                        state weighs on all alike; prints "side_<i>_median_us"
//
// CLASS is a ProgID; by default the 32-bit sample calculator.
#include "ChildProcess.h"
#include "Processes.h"
#include "SampleDispatch.h"
#include "Unique.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

const wchar_t* const kReadyName = L"Local\\PelmoraBenchReady";
const wchar_t* const kStartName = L"Local\\PelmoraBenchStart";

double NowUs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

struct Spread {
    double median;
    double p95;
};

Spread Percentiles(std::vector<double> samples) {
    if (samples.empty()) {
        return {0, 0};
    }
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1) + 0.5)];
    };
    return {at(0.5), at(0.95)};
}

int Once(REFCLSID clsid) {
    const double start = NowUs();
    const HRESULT status = ActivateSample(clsid);
    const double elapsed = NowUs() - start;
    if (FAILED(status)) {
        std::printf("failed 0x%08lX\n", static_cast<unsigned long>(status));
        return 1;
    }
    std::printf("once_us %.0f\n", elapsed);
    return 0;
}

int Worker(REFCLSID clsid, DWORD durationMs) {
    const HANDLE ready = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, kReadyName);
    const HANDLE start = OpenEventW(SYNCHRONIZE, FALSE, kStartName);
    if (ready == nullptr || start == nullptr) {
        std::printf("0 1\n");
        return 1;
    }
    ActivateSample(clsid); // the process's own first activation, outside the measured time
    ReleaseSemaphore(ready, 1, nullptr);
    WaitForSingleObject(start, INFINITE);
    unsigned long count = 0;
    unsigned long failures = 0;
    const ULONGLONG deadline = GetTickCount64() + durationMs;
    while (GetTickCount64() < deadline) {
        (SUCCEEDED(ActivateSample(clsid)) ? count : failures) += 1;
    }
    std::printf("%lu %lu\n", count, failures);
    return 0;
}

struct Throughput {
    double perSecond;
    unsigned long failures;
};

// Worker processes started together, each activating for durationMs.
Throughput Concurrent(const wchar_t* progId, int clients, DWORD durationMs) {
    const win::UniqueHandle ready(CreateSemaphoreW(nullptr, 0, 64, kReadyName));
    const win::UniqueHandle start(CreateEventW(nullptr, TRUE, FALSE, kStartName));
    std::wstring self(MAX_PATH, L'\0');
    self.resize(GetModuleFileNameW(nullptr, &self[0], MAX_PATH));
    std::vector<std::unique_ptr<CChildProcess>> workers;
    for (int i = 0; i < clients; ++i) {
        workers.push_back(std::make_unique<CChildProcess>());
        workers.back()->Start(QuoteArgument(self) + L" worker " + std::to_wstring(durationMs) +
                              L" " + progId);
    }
    for (int i = 0; i < clients; ++i) {
        WaitForSingleObject(ready.Get(), 60000);
    }
    SetEvent(start.Get());
    Throughput total = {0, 0};
    for (auto& worker : workers) {
        worker->Wait(durationMs + 60000);
        unsigned long count = 0;
        unsigned long failures = 1;
        const std::string output = worker->Output();
        char* end = nullptr;
        count = std::strtoul(output.c_str(), &end, 10);
        failures = end != output.c_str() ? std::strtoul(end, nullptr, 10) : 1;
        total.perSecond += count * 1000.0 / durationMs;
        total.failures += failures;
    }
    return total;
}

struct Memory {
    double workingSetMb;
    double privateMb;
    int threads;
};

int ThreadCount(DWORD processId) {
    const win::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) {
        return -1;
    }
    int count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot.Get(), &entry); more;
         more = Thread32Next(snapshot.Get(), &entry)) {
        count += entry.th32OwnerProcessID == processId ? 1 : 0;
    }
    return count;
}

// The host's memory once its RPC threads have settled: the least of a few readings, so that a
// thread stack in passing does not count as growth. The thread count tells when one stays.
Memory HostMemory(HANDLE process) {
    Memory least = {-1, -1, ThreadCount(GetProcessId(process))};
    for (int i = 0; i < 5; ++i) {
        Sleep(200);
        PROCESS_MEMORY_COUNTERS counters = {};
        counters.cb = sizeof(counters);
        if (!GetProcessMemoryInfo(process, &counters, sizeof(counters))) {
            continue;
        }
        const double workingSet = static_cast<double>(counters.WorkingSetSize) / (1024.0 * 1024.0);
        const double committed = static_cast<double>(counters.PagefileUsage) / (1024.0 * 1024.0);
        least.workingSetMb =
            least.workingSetMb < 0 ? workingSet : std::min(least.workingSetMb, workingSet);
        least.privateMb = least.privateMb < 0 ? committed : std::min(least.privateMb, committed);
    }
    return least;
}

void Report(const char* name, double value) {
    std::printf("%s %.2f\n", name, value);
}

void Report(const char* name, Spread spread) {
    std::printf("%s_median_us %.0f\n%s_p95_us %.0f\n", name, spread.median, name, spread.p95);
}

// Mixed-bitness clients at once: activations done and failed, clients that did not finish within
// the limit (hung), host processes seen while they ran, and the rate.
int Load(REFCLSID clsid, const wchar_t* progId, const std::wstring& client32,
         const std::wstring& client64, unsigned long count) {
    // The host serves beside the sample, in the clients' build folder.
    std::wstring host =
        client32.substr(0, client32.find_last_of(L"\\/") + 1) + L"pelmora-surrogate.exe";
    DWORD firstHost = 0;
    const HRESULT status = ActivateSample(clsid, &firstHost);
    if (FAILED(status)) {
        std::fprintf(stderr, "bench: the first activation failed: 0x%08lX\n",
                     static_cast<unsigned long>(status));
        return 1;
    }
    std::fprintf(stderr, "8 clients, %lu activations each...\n", count);
    std::vector<DWORD> hosts{firstHost};
    std::vector<std::unique_ptr<CChildProcess>> clients;
    const double start = NowUs();
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<CChildProcess>());
        clients.back()->Start(QuoteArgument(i % 2 == 0 ? client32 : client64) + L" --repeat " +
                              std::to_wstring(count) + L" " + progId);
    }
    // A hang shows as clients that never end; the limit is far above a healthy run's time.
    const ULONGLONG deadline = GetTickCount64() + 600000;
    for (;;) {
        for (const DWORD id : ProcessesOf(host)) {
            if (std::find(hosts.begin(), hosts.end(), id) == hosts.end()) {
                hosts.push_back(id);
            }
        }
        bool running = false;
        for (auto& client : clients) {
            running = running || !client->Wait(0);
        }
        if (!running || GetTickCount64() > deadline) {
            break;
        }
        Sleep(200);
    }
    const double seconds = (NowUs() - start) / 1e6;
    unsigned long done = 0;
    unsigned long failed = 0;
    unsigned long hung = 0;
    for (auto& client : clients) {
        if (!client->Wait(0)) {
            ++hung;
            client->Terminate();
            continue;
        }
        unsigned long total = 0;
        unsigned long failures = count;
        const std::string output = client->Output();
        const auto at = output.find("Activations    : ");
        if (at == std::string::npos ||
            std::sscanf(output.c_str() + at, "Activations    : %lu, %lu failed", &total,
                        &failures) != 2) {
            total = count;
        }
        done += total - failures;
        failed += failures;
    }
    std::printf("load_done %lu\nload_failed %lu\nload_hung %lu\nload_hosts %zu\n"
                "load_rate %.0f\n",
                done, failed, hung, hosts.size(), seconds > 0 ? done / seconds : 0.0);
    return 0;
}

int RunAll(REFCLSID clsid, const wchar_t* progId) {
    DWORD hostId = 0;
    HRESULT status = ActivateSample(clsid, &hostId);
    if (FAILED(status)) {
        std::fprintf(stderr, "bench: the first activation failed: 0x%08lX\n",
                     static_cast<unsigned long>(status));
        return 1;
    }
    const win::UniqueHandle host(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, hostId));

    // Long enough for the runtime's RPC threads in the host to reach their working number: each
    // one alive adds about 1 MB to the host's memory under Wine.
    std::fprintf(stderr, "warm activations...\n");
    for (int i = 0; i < 2500; ++i) {
        ActivateSample(clsid);
    }
    std::vector<double> warm;
    for (int i = 0; i < 1000; ++i) {
        const double start = NowUs();
        ActivateSample(clsid);
        warm.push_back(NowUs() - start);
    }
    Report("warm", Percentiles(warm));

    std::fprintf(stderr, "10,000 activations...\n");
    const Memory before = HostMemory(host.Get());
    unsigned long failures = 0;
    for (int i = 0; i < 10000; ++i) {
        failures += FAILED(ActivateSample(clsid)) ? 1 : 0;
    }
    const Memory after = HostMemory(host.Get());
    Report("ws_before_mb", before.workingSetMb);
    Report("ws_after_mb", after.workingSetMb);
    Report("private_before_mb", before.privateMb);
    Report("private_after_mb", after.privateMb);
    Report("threads_before", before.threads);
    Report("threads_after", after.threads);
    Report("failures_10000", failures);

    // For comparison: one call on an object already held, no activation.
    IDispatch* object = nullptr;
    if (SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                   reinterpret_cast<void**>(&object)))) {
        std::vector<double> calls;
        for (int i = 0; i < 1000; ++i) {
            VARIANT result;
            VariantInit(&result);
            const double start = NowUs();
            CallSample(object, L"ProcessId", nullptr, 0, &result);
            calls.push_back(NowUs() - start);
        }
        object->Release();
        Report("call", Percentiles(calls));
    }

    for (const int clients : {1, 4, 8}) {
        std::fprintf(stderr, "%d concurrent client process(es)...\n", clients);
        const Throughput rate = Concurrent(progId, clients, 3000);
        std::printf("rate_%d %.0f\nrate_failures_%d %lu\n", clients, rate.perSecond, clients,
                    rate.failures);
    }
    return 0;
}

// Warm activations of each class, in rounds that visit every class in turn.
int SideBySide(const std::vector<CLSID>& classes) {
    constexpr int kRounds = 10;
    constexpr int kPerRound = 40;
    std::vector<std::vector<double>> times(classes.size());
    for (size_t i = 0; i < classes.size(); ++i) {
        // The host's start, and a warm-up, outside the measured time.
        for (int j = 0; j < 50; ++j) {
            HRESULT status = ActivateSample(classes[i]);
            // Now and then Wine fails to start a process at all; a user would try again.
            if (FAILED(status) && j == 0) {
                status = ActivateSample(classes[i]);
            }
            if (FAILED(status)) {
                std::fprintf(stderr, "bench: class %zu failed: 0x%08lX\n", i,
                             static_cast<unsigned long>(status));
                return 1;
            }
        }
    }
    for (int round = 0; round < kRounds; ++round) {
        for (size_t i = 0; i < classes.size(); ++i) {
            for (int j = 0; j < kPerRound; ++j) {
                const double start = NowUs();
                ActivateSample(classes[i]);
                times[i].push_back(NowUs() - start);
            }
        }
    }
    for (size_t i = 0; i < classes.size(); ++i) {
        std::printf("side_%zu_median_us %.0f\n", i, Percentiles(times[i]).median);
    }
    return 0;
}

// A ProgID or a braced CLSID.
bool ClassOf(const wchar_t* name, CLSID* clsid) {
    return SUCCEEDED(name[0] == L'{' ? CLSIDFromString(name, clsid) : CLSIDFromProgID(name, clsid));
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pelmora-bench once|worker MS|run|load ... [CLASS]\n");
        return 2;
    }
    const std::wstring mode = argv[1];
    if (mode == L"side-by-side") {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        std::vector<CLSID> classes;
        for (int i = 2; i < argc; ++i) {
            CLSID clsid = {};
            if (!ClassOf(argv[i], &clsid)) {
                std::fprintf(stderr, "bench: unknown class %ls\n", argv[i]);
                CoUninitialize();
                return 2;
            }
            classes.push_back(clsid);
        }
        const int code = classes.empty() ? 2 : SideBySide(classes);
        CoUninitialize();
        return code;
    }
    int next = 2;
    DWORD durationMs = 0;
    if (mode == L"worker" && next < argc) {
        durationMs = static_cast<DWORD>(std::wcstoul(argv[next++], nullptr, 10));
    }
    std::wstring client32;
    std::wstring client64;
    unsigned long count = 0;
    if (mode == L"load") {
        if (argc < 5) {
            std::fprintf(stderr, "usage: pelmora-bench load CLIENT32 CLIENT64 COUNT [CLASS]\n");
            return 2;
        }
        client32 = argv[2];
        client64 = argv[3];
        count = std::wcstoul(argv[4], nullptr, 10);
        next = 5;
    }
    const wchar_t* progId = next < argc ? argv[next] : L"Pelmora.Sample32.Calculator";

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CLSID clsid = {};
    int code = 2;
    if (FAILED(CLSIDFromProgID(progId, &clsid))) {
        std::fprintf(stderr, "bench: unknown class %ls\n", progId);
    } else if (mode == L"once") {
        code = Once(clsid);
    } else if (mode == L"worker") {
        code = Worker(clsid, durationMs);
    } else if (mode == L"run") {
        code = RunAll(clsid, progId);
    } else if (mode == L"load") {
        code = Load(clsid, progId, client32, client64, count);
    }
    CoUninitialize();
    return code;
}
