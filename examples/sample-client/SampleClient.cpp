// Creates a sample calculator out of process (CLSCTX_LOCAL_SERVER) and shows where it lives.
//
//   pelmora-sample-client.exe [--hold MILLISECONDS] [CLASS]
//   pelmora-sample-client.exe --repeat COUNT [CLASS]
//
// CLASS is a ProgID or a braced CLSID; by default the calculator of the other bitness, the case
// a surrogate host exists for. --hold keeps the object that long before releasing it. --repeat
// activates COUNT times (create, one call, release) as a load, and reports the failures; a
// progress line every 100 activations lets a watcher tell a slow run from a stalled one.
// Exit codes: 0 success, 1 a COM call failed, 2 bad command line.
#include "SampleClasses.h"
#include "SampleDispatch.h"

#include <windows.h>
#include <oleauto.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

#ifdef _WIN64
constexpr const wchar_t* kDefaultClass = kProgIdCalculator32;
constexpr int kBitness = 64;
#else
constexpr const wchar_t* kDefaultClass = kProgIdCalculator64;
constexpr int kBitness = 32;
#endif

int Fail(const wchar_t* what, HRESULT result) {
    std::wprintf(L"Failed: %ls 0x%08lX\n", what, static_cast<unsigned long>(result));
    return 1;
}

HRESULT LookUp(const wchar_t* className, CLSID* clsid) {
    return className[0] == L'{' ? CLSIDFromString(className, clsid)
                                : CLSIDFromProgID(className, clsid);
}

int Repeat(const wchar_t* className, unsigned long count) {
    CLSID clsid = {};
    HRESULT status = LookUp(className, &clsid);
    if (FAILED(status)) {
        return Fail(L"class lookup", status);
    }
    unsigned long failures = 0;
    const wchar_t* firstStep = L"";
    HRESULT firstFailure = S_OK;
    for (unsigned long i = 0; i < count; ++i) {
        // The same steps as ActivateSample, each named, so that a failure says where it came from.
        const wchar_t* step = L"CoCreateInstance";
        IDispatch* object = nullptr;
        status = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                  reinterpret_cast<void**>(&object));
        if (SUCCEEDED(status)) {
            step = L"ProcessId";
            VARIANT result;
            VariantInit(&result);
            status = CallSample(object, L"ProcessId", nullptr, 0, &result);
            object->Release();
        }
        if (FAILED(status) && failures++ == 0) {
            firstStep = step;
            firstFailure = status;
        }
        if ((i + 1) % 100 == 0 && i + 1 < count) {
            std::wprintf(L"Progress       : %lu\n", i + 1);
            std::fflush(stdout);
        }
    }
    std::wprintf(L"Activations    : %lu, %lu failed (%d-bit client)\n", count, failures,
                 kBitness);
    std::fflush(stdout); // the count stands even if the teardown fails
    return failures == 0 ? 0 : Fail(firstStep, firstFailure);
}

int Run(const wchar_t* className, DWORD holdMs) {
    CLSID clsid = {};
    HRESULT status = LookUp(className, &clsid);
    if (FAILED(status)) {
        return Fail(L"class lookup", status);
    }
    std::wprintf(L"Client process : %lu (%d-bit)\n", GetCurrentProcessId(), kBitness);
    std::wprintf(L"Class          : %ls\n", className);

    IDispatch* object = nullptr;
    status = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(&object));
    if (FAILED(status)) {
        return Fail(L"CoCreateInstance", status);
    }
    // Released on every way out, after the hold.
    struct CReleaseOnExit {
        IDispatch* object;
        ~CReleaseOnExit() { object->Release(); }
    } releaseOnExit{object};

    VARIANT result;
    VariantInit(&result);
    status = CallSample(object, L"ProcessId", nullptr, 0, &result);
    if (FAILED(status)) {
        return Fail(L"ProcessId", status);
    }
    std::wprintf(L"Object process : %ld\n", result.lVal);

    VARIANT operands[2]; // last argument first
    VariantInit(&operands[0]);
    VariantInit(&operands[1]);
    operands[1].vt = VT_I4;
    operands[1].lVal = 19;
    operands[0].vt = VT_I4;
    operands[0].lVal = 23;
    VariantInit(&result);
    status = CallSample(object, L"Add", operands, 2, &result);
    if (FAILED(status)) {
        return Fail(L"Add", status);
    }
    std::wprintf(L"Add(19, 23)    : %ld\n", result.lVal);
    std::fflush(stdout);

    Sleep(holdMs);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const wchar_t* className = kDefaultClass;
    DWORD holdMs = 0;
    unsigned long repeat = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--hold") == 0 && i + 1 < argc) {
            holdMs = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
        } else if (std::wcscmp(argv[i], L"--repeat") == 0 && i + 1 < argc) {
            repeat = std::wcstoul(argv[++i], nullptr, 10);
        } else if (argv[i][0] != L'-') {
            className = argv[i];
        } else {
            std::fwprintf(stderr, L"usage: pelmora-sample-client [--hold MILLISECONDS | --repeat "
                                  L"COUNT] [CLASS]\n");
            return 2;
        }
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const int code = repeat > 0 ? Repeat(className, repeat) : Run(className, holdMs);
    CoUninitialize();
    return code;
}
