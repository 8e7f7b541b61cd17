#pragma once

#include <optional>
#include <string>

// The apartment a hosted class is registered and served from, as its InprocServer32 key's
// ThreadingModel asks, so that its objects are created where they live, never through a hop to
// an apartment of the runtime's making.
enum class ApartmentKind {
    Multithreaded,      // Both, Free, Neutral: the multithreaded apartment, shared by all of them
    MainSingleThreaded, // no model, an empty or unknown one: the first single-threaded apartment
    OwnSingleThreaded,  // Apartment: a single-threaded apartment of the DLL's own
};

struct ClassPlacement {
    ApartmentKind apartment = ApartmentKind::Multithreaded;
    // The InprocServer32 path as registered (expanded, unquoted), or empty.
    std::wstring dll;
};

// threadingModel is the REG_SZ value, or nothing when absent or of another type. Letter case does
// not matter. An unknown value gets what a missing one gets: the main single-threaded apartment,
// where code of any model runs safely (older registrations write "Single" for just that).
ApartmentKind ApartmentFor(const std::optional<std::wstring>& threadingModel);

// The key under which classes of one DLL share their own apartment: the DLL's full path, in one
// letter case.
std::wstring DllApartmentKey(const std::wstring& dll);
