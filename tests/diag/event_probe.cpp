// Writes one informational and two warning event records, as a detached service would: the
// second warning from WarnMessage, which is a warning whatever the last error value is.
#include <windows.h>

#include "debug.h"

int main()
{
    ConsoleDebug = false;
    SetLastError(0);
    LogMessage("probe info %d\n", 1);
    SetLastError(ERROR_ACCESS_DENIED);
    LogMessage("probe warning %d\n", 2);
    SetLastError(0);
    WarnMessage("probe notice %d\n", 3);
    return 0;
}
