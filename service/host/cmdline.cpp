#include "cmdline.h"

#include <cstdio>
#include <cstring>

#include "bridge_args.h"
#include "debug.h"

// What built this program, fixed at compile time.
#if defined(_M_IX86) || defined(__i386__)
#define BUILD_PROCESSOR "INTEL"
#elif defined(_M_X64) || defined(__x86_64__)
#define BUILD_PROCESSOR "AMD64"
#elif defined(_M_ARM64) || defined(__aarch64__)
#define BUILD_PROCESSOR "ARM64"
#else
#define BUILD_PROCESSOR "UNKNOWN"
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#define BUILD_STR2(x) #x
#define BUILD_STR(x) BUILD_STR2(x)
#define BUILD_COMPILER "Microsoft, _MSC_VER=" BUILD_STR(_MSC_VER)
#elif defined(__clang__)
#define BUILD_COMPILER "Clang " __clang_version__
#elif defined(__GNUC__)
#define BUILD_COMPILER "GCC " __VERSION__
#else
#define BUILD_COMPILER "unknown"
#endif

size_t SplitPointerSlots(size_t length) { return (length + 2) / 2 + 1; }

size_t SplitCharSlots(size_t length) { return length + 2; }

size_t SplitBlockSize(size_t length)
{
    return SplitPointerSlots(length) * sizeof(char*) + SplitCharSlots(length);
}

char** SplitIntoBlock(const char* text, void* block, int* count)
{
    size_t length = strlen(text);
    char** args = static_cast<char**>(block);
    char* out = reinterpret_cast<char*>(args + SplitPointerSlots(length));
    int argc = 0;
    bool inQuotes = false;
    bool inArg = false;
    bool atStart = true;

    for (const char* p = text; *p != '\0'; ++p) {
        char c = *p;
        if (inQuotes) {
            if (c == '"')
                inQuotes = false;
            else
                *out++ = c;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (inArg)
                *out++ = '\0';
            inArg = false;
            atStart = true;
        } else if (c == '"') {
            if (atStart)
                args[argc++] = out;
            inQuotes = true;
            inArg = true;
            atStart = false;
        } else {
            if (atStart)
                args[argc++] = out;
            *out++ = c;
            inArg = true;
            atStart = false;
        }
    }
    *out = '\0';
    args[argc] = nullptr;
    if (count != nullptr)
        *count = argc;
    return args;
}

namespace {

bool EqualsFolded(const char* text, const char* name)
{
    for (; *text != '\0' && *name != '\0'; ++text, ++name) {
        if (AsciiLower(*text) != *name)
            return false;
    }
    return *text == '\0' && *name == '\0';
}

} // namespace

RunOption MatchRunOption(int argc, char** argv)
{
    if (argc < 2 || argv == nullptr || argv[1] == nullptr)
        return OPTION_NONE;
    const char* arg = argv[1];
    if (arg[0] != '-' && arg[0] != '/')
        return OPTION_NONE;
    static const struct {
        const char* Name;
        RunOption Option;
    } names[] = {
        {"install", OPTION_INSTALL},
        {"remove", OPTION_REMOVE},
        {"debug", OPTION_DEBUG},
        {"win9x", OPTION_WIN9X},
    };
    for (const auto& n : names) {
        if (EqualsFolded(arg + 1, n.Name))
            return n.Option;
    }
    return OPTION_NONE;
}

int FormatBanner(char* buf, size_t size)
{
    return snprintf(buf, size,
                    "Platform:  Windows NT (" BUILD_PROCESSOR ")\n"
                    "Built On:  %s %s\n"
                    "Compiler:  " BUILD_COMPILER "\n"
                    "\n",
                    __DATE__, __TIME__);
}

int FormatUsage(char* buf, size_t size)
{
    return snprintf(buf, size,
                    "%s -install          to install the service\n"
                    "%s -remove           to remove the service\n"
                    "%s -debug <params>   to run as a console app for debugging\n"
                    "%s -log <file_name>  to log into (service or debug)\n"
                    "%s -commlog=<file_name> to log every message and datagram into (support only)\n",
                    ServiceName, ServiceName, ServiceName, ServiceName, ServiceName);
}
