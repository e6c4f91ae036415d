// Plain pieces of the process entry and the service runner: command-line splitting, option
// recognition and the build banner. No platform calls, so they build and test natively.
#pragma once

#include <cstddef>

// Room the one argument block needs for a command line of length characters: the pointer area
// ((length + 2) / 2 + 1 pointers, enough since every argument takes a character and a
// separator) followed by the character area (length + 2 characters).
size_t SplitPointerSlots(size_t length);
size_t SplitCharSlots(size_t length);
size_t SplitBlockSize(size_t length);

// Splits text into block, which must hold SplitBlockSize(strlen(text)) bytes and be aligned for
// pointers. Returns the argument vector (the start of block), ended by a null pointer; stores
// the argument count when count is given. Double quotes only join blanks into an argument and
// are dropped; a backslash is an ordinary character.
char** SplitIntoBlock(const char* text, void* block, int* count);

// The run modes the first argument can select.
enum RunOption { OPTION_NONE, OPTION_INSTALL, OPTION_REMOVE, OPTION_DEBUG, OPTION_WIN9X };

// Looks only at argv[1]: "-" or "/" followed by an option name, whole, ASCII case folded.
RunOption MatchRunOption(int argc, char** argv);

// The build banner and the usage text; each returns what snprintf returns for its text.
int FormatBanner(char* buf, size_t size);
int FormatUsage(char* buf, size_t size);
