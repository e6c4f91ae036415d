#include <cstdio>

#include "cmdline.h"
#include "debug.h"
#include "host.h"

int RunProcessEntry(int argc, char** argv)
{
    // Unbuffered: the modes print from control-handler threads and just before handing the
    // process to the dispatcher or detaching from the console.
    setvbuf(stdout, nullptr, _IONBF, 0);
    switch (MatchRunOption(argc, argv)) {
    case OPTION_INSTALL:
        if (IsNtFamily()) {
            InstallService();
        } else {
            InstallLegacyService();
            RunLegacyService(argc, argv);
        }
        return 0;
    case OPTION_REMOVE:
        if (IsNtFamily())
            RemoveService();
        else
            RemoveLegacyService();
        return 0;
    case OPTION_DEBUG:
        ConsoleDebug = true;
        RunConsoleDebug(argc, argv);
        return 0;
    case OPTION_WIN9X:
        if (!IsNtFamily()) {
            RunLegacyService(argc, argv);
            return 0;
        }
        break;
    case OPTION_NONE:
        break;
    }

    char text[1024];
    FormatBanner(text, sizeof text);
    fputs(text, stdout);
    FormatUsage(text, sizeof text);
    fputs(text, stdout);
    if (IsNtFamily()) {
        printf("\nStartServiceCtrlDispatcher being called.\n");
        printf("This may take several seconds.  Please wait.\n");
        SERVICE_TABLE_ENTRYA table[] = {
            {const_cast<char*>(ServiceName), ServiceEntry},
            {nullptr, nullptr},
        };
        if (!StartServiceCtrlDispatcherA(table))
            ReportServiceEvent("StartServiceCtrlDispatcher failed.");
    }
    return 1;
}
