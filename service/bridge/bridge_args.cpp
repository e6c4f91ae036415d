#include "bridge_args.h"

#include <cstddef>

#include "debug.h"

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

const char* MatchOptionPrefix(const char* text, const char* prefix)
{
    if (text == nullptr || prefix == nullptr)
        return nullptr;
    // The text's end is tested before the prefix's: "logfile=" with nothing after it is no match.
    for (size_t i = 0;; ++i) {
        if (text[i] == '\0')
            return nullptr;
        if (prefix[i] == '\0')
            return text + i;
        if (AsciiLower(text[i]) != AsciiLower(prefix[i]))
            return nullptr;
    }
}

const char* TraceNameFromArgs(unsigned argc, char** argv, bool consoleDebug)
{
    for (unsigned i = 0; argv != nullptr && i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr || (arg[0] != '-' && arg[0] != '/'))
            continue;
        if (const char* name = MatchOptionPrefix(arg + 1, "logfile="))
            return name;
        // The usage text's form, "-log <file_name>": the name is the next argument.
        const char* rest = MatchOptionPrefix(arg + 1, "lo");
        if (rest != nullptr && AsciiLower(rest[0]) == 'g' && rest[1] == '\0' && i + 1 < argc &&
            argv[i + 1] != nullptr && argv[i + 1][0] != '\0')
            return argv[i + 1];
    }
    return consoleDebug ? "-" : nullptr;
}

const char* CommLogNameFromArgs(unsigned argc, char** argv)
{
    for (unsigned i = 0; argv != nullptr && i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr || (arg[0] != '-' && arg[0] != '/'))
            continue;
        if (const char* name = MatchOptionPrefix(arg + 1, "commlog="))
            return name;
    }
    return nullptr;
}

void OpenTraceFromArgs(unsigned argc, char** argv)
{
    OpenTrace(TraceNameFromArgs(argc, argv, ConsoleDebug));
    TraceMessage("\n\n==================================================================\n\n");
}
