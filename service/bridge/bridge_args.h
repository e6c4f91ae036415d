// How the bridge reads its own command line: the trace destination.
#pragma once

// Options are matched without case, and only ASCII letters fold: the command line's code page
// is not known here, and no option has another letter.
char AsciiLower(char c);

// The rest of text after prefix when text starts with it (letters compared without case) and
// has at least one more character; otherwise none.
const char* MatchOptionPrefix(const char* text, const char* prefix);

// The trace name chosen by the first "-logfile=NAME" or "/logfile=NAME" argument, or "-log NAME"
// or "/log NAME" (two arguments), whichever comes first (the program name included in the
// search); without one, "-" (standard error) in console debug mode and none otherwise.
const char* TraceNameFromArgs(unsigned argc, char** argv, bool consoleDebug);

// The communication log's file named by the first "-commlog=NAME" or "/commlog=NAME" argument,
// or none.
const char* CommLogNameFromArgs(unsigned argc, char** argv);

// Installs the chosen trace and writes the run separator into it.
void OpenTraceFromArgs(unsigned argc, char** argv);
