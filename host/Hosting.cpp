#include "Hosting.h"

int RunSurrogate(const std::wstring&) {
    return 0;
}
