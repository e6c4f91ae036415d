// Feeds the command-line splitter any command line (up to the first NUL byte of the input), in
// a heap block of exactly the size the splitter asks for, then hands the vector to the run-option
// and trace-file matching that read it.
//
// The splitter is checked against a second, plainly written reading of the same rules, and for
// stability: the arguments it returns, re-quoted and joined, split into the same arguments.
#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bridge_args.h"
#include "cmdline.h"

namespace {

void Check(bool ok)
{
    if (!ok)
        abort();
}

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The rules read as: an argument is a maximal run of non-separators, where a quote toggles
// whether separators count, and quotes themselves vanish.
std::vector<std::string> Model(const std::string& text)
{
    std::vector<std::string> args;
    size_t i = 0;
    while (i < text.size()) {
        if (IsSeparator(text[i])) {
            ++i;
            continue;
        }
        std::string arg;
        bool quoted = false;
        for (; i < text.size() && (quoted || !IsSeparator(text[i])); ++i) {
            if (text[i] == '"')
                quoted = !quoted;
            else
                arg += text[i];
        }
        args.push_back(arg);
    }
    return args;
}

// Splits text in an exact-size heap block and checks the block's own invariants.
std::vector<std::string> Split(const std::string& text, int* argcOut, void** blockOut)
{
    size_t n = text.size();
    char* line = static_cast<char*>(malloc(n + 1));
    memcpy(line, text.c_str(), n + 1);
    size_t blockSize = SplitBlockSize(n);
    Check(blockSize == SplitPointerSlots(n) * sizeof(char*) + SplitCharSlots(n));
    void* block = malloc(blockSize);
    memset(block, 0xEE, blockSize);
    int argc = -1;
    char** argv = SplitIntoBlock(line, block, &argc);
    Check(argv == block);
    Check(argc >= 0);
    // Every argument takes a character and, but the last, a separator.
    Check(static_cast<size_t>(argc) <= (n + 1) / 2);
    Check(static_cast<size_t>(argc) + 1 <= SplitPointerSlots(n));
    Check(argv[argc] == nullptr);
    Check(SplitIntoBlock(line, block, nullptr) == argv);

    const char* chars = reinterpret_cast<const char*>(argv + SplitPointerSlots(n));
    const char* charsEnd = chars + SplitCharSlots(n);
    const char* previousEnd = chars;
    size_t total = 0;
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        Check(argv[i] >= previousEnd && argv[i] < charsEnd);
        size_t len = strnlen(argv[i], static_cast<size_t>(charsEnd - argv[i]));
        Check(argv[i] + len < charsEnd);
        Check(memchr(argv[i], '"', len) == nullptr);
        previousEnd = argv[i] + len + 1;
        total += len + 1;
        args.emplace_back(argv[i], len);
    }
    Check(total <= n + 1);
    free(line);
    *argcOut = argc;
    *blockOut = block;
    return args;
}

void CheckOptions(int argc, char** argv)
{
    RunOption option = MatchRunOption(argc, argv);
    RunOption expected = OPTION_NONE;
    if (argc >= 2 && (argv[1][0] == '-' || argv[1][0] == '/')) {
        std::string name(argv[1] + 1);
        for (char& c : name)
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (name == "install")
            expected = OPTION_INSTALL;
        else if (name == "remove")
            expected = OPTION_REMOVE;
        else if (name == "debug")
            expected = OPTION_DEBUG;
        else if (name == "win9x")
            expected = OPTION_WIN9X;
    }
    Check(option == expected);

    // The trace name is the non-empty rest of the first "-logfile=" or "/logfile=" argument, or
    // the non-empty argument after the first "-log" or "/log", whichever comes first.
    const char* name = TraceNameFromArgs(static_cast<unsigned>(argc), argv, false);
    const char* expectedName = nullptr;
    for (int i = 0; i < argc && expectedName == nullptr; ++i) {
        const char* a = argv[i];
        if ((a[0] == '-' || a[0] == '/') && strlen(a) > 9 && strncasecmp(a + 1, "logfile=", 8) == 0)
            expectedName = a + 9;
        else if ((a[0] == '-' || a[0] == '/') && strcasecmp(a + 1, "log") == 0 && i + 1 < argc &&
                 argv[i + 1][0] != '\0')
            expectedName = argv[i + 1];
    }
    Check(name == expectedName);
    const char* debugName = TraceNameFromArgs(static_cast<unsigned>(argc), argv, true);
    Check(expectedName != nullptr ? debugName == expectedName : strcmp(debugName, "-") == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    std::string line(text, strnlen(text, size));

    int argc = 0;
    void* block = nullptr;
    std::vector<std::string> args = Split(line, &argc, &block);
    Check(args == Model(line));
    CheckOptions(argc, static_cast<char**>(block));
    free(block);

    // Stable: each argument quoted whole and joined by one blank splits back into itself, and
    // so does the plain join when no argument is empty or holds a separator.
    std::string quoted;
    std::string plain;
    bool plainSafe = true;
    for (const std::string& a : args) {
        quoted += (quoted.empty() ? "\"" : " \"") + a + "\"";
        plain += (plain.empty() ? "" : " ") + a;
        for (char c : a)
            plainSafe = plainSafe && !IsSeparator(c);
        plainSafe = plainSafe && !a.empty();
    }
    int again = 0;
    Check(Split(quoted, &again, &block) == args);
    free(block);
    if (plainSafe) {
        Check(Split(plain, &again, &block) == args);
        free(block);
    }
    return 0;
}
