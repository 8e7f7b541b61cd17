#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Ids of the running processes whose image is this file (Wine lists only its prefix's).
std::vector<DWORD> ProcessesOf(const std::wstring& path);

// The full image path of a process; empty when it cannot be read.
std::wstring ImagePath(DWORD processId);

// Ids of the running processes of this build's host.
std::vector<DWORD> HostProcesses();

// Ends a process and waits (a few seconds at most) until it has gone. Under Wine the runtime
// never frees a host, so a test ends the ones it caused.
void EndProcess(DWORD id);
void EndHostProcesses();
