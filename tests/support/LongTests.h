#pragma once

#include <windows.h>

#include <string>

// How much of the long cases to run, from PELMORA_LONG_TESTS: "full" (the default); "short", for
// runs that only show concurrency works (a second Wine): the load with 100 activations per client
// instead of 750, and fewer pairs of the two registration tools at once; or "off", neither the
// load nor the come-and-go test, for runs whose host is the same code as one that passed them
// (the release zip's).
enum class LongTests { Full, Short, Off };

inline LongTests LongTestsSetting() {
    wchar_t value[16] = {};
    GetEnvironmentVariableW(L"PELMORA_LONG_TESTS", value, 16);
    const std::wstring setting = value;
    return setting == L"short" ? LongTests::Short
           : setting == L"off" ? LongTests::Off
                               : LongTests::Full;
}
