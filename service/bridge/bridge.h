// The bridge's main routine: the whole working life of the service, run once by a runner.
#pragma once

#include <windows.h>

// ServiceMain's results; the service reports them as its service-specific exit code, so the
// values are fixed.
enum BridgeResult {
    BRIDGE_DONE = 0,           // orderly end: the stop event or ESC
    BRIDGE_NO_CONFIG = -1,     // the configuration key cannot be opened or created
    BRIDGE_NO_SOCKETS = -2,    // the socket library did not start
    BRIDGE_NO_LINKS = -3,      // a link to a terminal application could not be made
    BRIDGE_NO_PIPE = -4,       // the pipe server could not be created
    BRIDGE_NO_IDENT = -5,      // the status block could not be made: another copy serves
    BRIDGE_WAIT_FAILED = -6,   // the loop's wait failed
};

// Runs the bridge until TermEvent is set (or ESC in console debug mode, or a failed wait).
// Returns a BridgeResult: BRIDGE_DONE, or the start-up stage or the wait that failed.
int ServiceMain(unsigned argc, char** argv, HANDLE TermEvent);

struct AppEntry;
struct Terminal;
// Creates one Terminal per table entry (up to count, stopping at the end entry). Returns the
// number created, or 0 when one failed, in which case none remains open.
int CreateTerminals(const char* addr, int count, const AppEntry* table, Terminal** terms);
