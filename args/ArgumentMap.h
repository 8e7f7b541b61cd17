#pragma once

#include <map>
#include <string>

// Named command-line parameters ("guid", "embedding"). operator[] is the inserting lookup.
class CArgumentMap : public std::map<std::wstring, std::wstring> {
public:
    // Fills the map from an argument vector whose element 0 is the program path, warning on
    // std::wcout about every later element it does not recognise. Returns -1, looking at
    // nothing, when count is below 2; otherwise 0.
    int Parse(int count, const wchar_t* const* vector);
};
