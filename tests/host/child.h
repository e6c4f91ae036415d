// Runs a program to its end with its standard output and error captured.
#pragma once

#include <string>

struct ChildResult {
    bool Started = false;
    unsigned long ExitCode = 0xFFFFFFFF;
    std::string Output;
};

// commandLine as CreateProcessA takes it; waits at most timeoutMs for the end. The output
// comes back with CR LF turned into LF.
ChildResult RunChild(const std::string& commandLine, unsigned long timeoutMs = 60000);

// This test program's folder, with a trailing backslash.
std::string OwnFolder();
