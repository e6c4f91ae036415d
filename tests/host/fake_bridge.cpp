// Stand-in for the bridge's ServiceMain in the host's test programs. Its behaviour comes from
// its own arguments, so the service control manager, the console and the legacy runner can all
// drive it with nothing but a command line:
//   fakemode=wait|fail|keys   wait: report RUNNING, wait for TermEvent; fail: return at once;
//                             keys: read console keys until ESC (or fakepasses= passes)
//   fakeresult=N              the value returned (default 0)
//   fakelog=PATH              where the record goes (default: the program path plus ".log")
//   fakegate=NAME             a named event waited on before RUNNING is reported
//   fakehold=NAME             a named event waited on after TermEvent, before returning
//   fakepasses=N              keys mode: give up after N quiet passes
// The record lists the arguments and what happened, one line each, so tests assert exact text.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <windows.h>

#include "bridge.h"
#include "console_keys.h"
#include "debug.h"
#include "status.h"

namespace {

const char* Option(unsigned argc, char** argv, const char* name)
{
    size_t n = strlen(name);
    for (unsigned i = 0; i < argc; ++i) {
        if (argv[i] != nullptr && strncmp(argv[i], name, n) == 0)
            return argv[i] + n;
    }
    return nullptr;
}

FILE* OpenRecord(unsigned argc, char** argv)
{
    const char* path = Option(argc, argv, "fakelog=");
    char own[MAX_PATH + 8];
    if (path == nullptr) {
        DWORD n = GetModuleFileNameA(nullptr, own, MAX_PATH);
        own[n] = '\0';
        strcat(own, ".log");
        path = own;
    }
    return fopen(path, "a");
}

void WaitNamed(const char* name)
{
    if (name == nullptr)
        return;
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name);
    if (event == nullptr)
        return;
    WaitForSingleObject(event, 120000);
    CloseHandle(event);
}

} // namespace

int ServiceMain(unsigned argc, char** argv, HANDLE termEvent)
{
    FILE* record = OpenRecord(argc, argv);
    if (record == nullptr)
        return -99;
    const char* modeText = Option(argc, argv, "fakemode=");
    const char* resultText = Option(argc, argv, "fakeresult=");
    const char* passesText = Option(argc, argv, "fakepasses=");
    int result = resultText != nullptr ? atoi(resultText) : 0;
    char mode[16] = "wait";
    if (modeText != nullptr)
        snprintf(mode, sizeof mode, "%s", modeText);

    fprintf(record, "argc=%u\n", argc);
    for (unsigned i = 0; i < argc; ++i)
        fprintf(record, "argv[%u]=%s\n", i, argv[i]);
    fprintf(record, "console=%d event=%d\n", ConsoleDebug ? 1 : 0,
            termEvent != nullptr && WaitForSingleObject(termEvent, 0) == WAIT_TIMEOUT);
    fflush(record);

    if (strcmp(mode, "wait") == 0) {
        WaitNamed(Option(argc, argv, "fakegate="));
        ReportServiceStatus(SERVICE_RUNNING, 0, 0);
        fprintf(record, "running\n");
        fflush(record);
        DWORD w = WaitForSingleObject(termEvent, 120000);
        fprintf(record, w == WAIT_OBJECT_0 ? "stop event\n" : "no stop event\n");
        fflush(record);
        WaitNamed(Option(argc, argv, "fakehold="));
    } else if (strcmp(mode, "keys") == 0) {
        int passes = passesText != nullptr ? atoi(passesText) : 3000;
        fprintf(record, "running\n");
        fflush(record);
        int key = 0;
        for (int i = 0; i < passes && key != KEY_ESCAPE; ++i) {
            if (WaitForSingleObject(termEvent, 20) == WAIT_OBJECT_0)
                break;
            while ((key = ConsoleReadKey()) != 0) {
                fprintf(record, "key %02X\n", key);
                fflush(record);
                if (key == 'C')
                    ConsoleClear();
                if (key == KEY_ESCAPE)
                    break;
            }
        }
        fprintf(record, "keys done\n");
        fflush(record);
        ConsoleWaitChar();
        fprintf(record, "waited\n");
    }
    fprintf(record, "return %d\n", result);
    fclose(record);
    return result;
}
