#pragma once

// pelmora-register's exit codes.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,            // unknown command or option, or no target
    kExitNotRegistered = 2,    // a target names no class registered in this view
    kExitLocalServer = 3,      // a class has its own server: LocalServer32, or its AppID's service
    kExitOtherHost = 4,        // a class's AppID starts another program (and no --force)
    kExitAccessDenied = 5,     // the keys may not be read or written
    kExitFailed = 6,           // the host is missing, an AppID is unusable, or the registry failed
    kExitChangedSince = 7,     // remove: a DllSurrogate was changed since add (and no --force)
    kExitSharedAppId = 8,      // add: the AppID is used by classes not being added (and no --force)
    kExitChangedMeanwhile = 9, // the keys changed between reading and writing; nothing written
    kExitOtherTool = 10,       // remove: the other bitness's pelmora-register added the class
    kExitProblems = 11,        // check: a client of either bitness would fail
};
