// Writes one informational and one warning event record, as a detached service would.
#include <windows.h>

#include "debug.h"

int main()
{
    ConsoleDebug = false;
    SetLastError(0);
    LogMessage("probe info %d\n", 1);
    SetLastError(ERROR_ACCESS_DENIED);
    LogMessage("probe warning %d\n", 2);
    return 0;
}
