#pragma once

#include "CheckReport.h"
#include "ClassFacts.h"

#include <vector>

// What a client of one bitness meets on its way to a class through a host, as 64-bit Windows
// documents it, judged from the class's facts alone: where the class is found, what activation
// starts (the AppID's LocalService, else LocalServer32, else the surrogate), which DLL that host
// loads, and what marshals each interface in the client and in the host.
std::vector<CheckStep> Judge(const ClassFacts& facts, REGSAM client);
