#pragma once

#include "CheckReport.h"
#include "ClassFacts.h"
#include "Files.h"
#include "Registry.h"

#include <string>
#include <vector>

// Checks, for clients of each bitness, whether classes will work through a host: reads each
// class's registration once (ClassFacts), and judges it (Findings). Reads only.
class CClassChecker {
public:
    // ownView: the tool's, whose refusal a target naming no class in either view gets.
    CClassChecker(const IRegistry& registry, const IFiles& files, REGSAM ownView)
        : m_registry(registry), m_files(files), m_ownView(ownView),
          m_reader(registry, files, ownView) {}

    CheckReport Check(const std::vector<std::wstring>& targets);

private:
    const IRegistry& m_registry;
    const IFiles& m_files;
    REGSAM m_ownView;
    CClassReader m_reader;
};
