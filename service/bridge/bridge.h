// The bridge's main routine: the whole working life of the service, run once by a runner.
#pragma once

#include <windows.h>

// Runs the bridge until TermEvent is set (or ESC in console debug mode, or a failed wait).
// Returns 0 for an orderly end, or the negative code of the start-up stage that failed.
int ServiceMain(unsigned argc, char** argv, HANDLE TermEvent);

struct AppEntry;
struct Terminal;
// Creates one Terminal per table entry (up to count, stopping at the end entry). Returns the
// number created, or 0 when one failed, in which case none remains open.
int CreateTerminals(const char* addr, int count, const AppEntry* table, Terminal** terms);
