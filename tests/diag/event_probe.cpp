// Writes one record of each type, as a detached service would: an information of its own id, a
// failed call's error with the last error value, and WarnMessage's warning. A plain logged line
// writes none.
#include <windows.h>

#include "debug.h"

int main()
{
    ConsoleDebug = false;
    EventMessage(EVENT_SERVICE_STARTED, "probe info %d\n", 1);
    SetLastError(ERROR_ACCESS_DENIED);
    ReportServiceEvent("probe error 2");
    SetLastError(ERROR_IO_PENDING);
    LogMessage("probe trace only %d\n", 4);
    SetLastError(0);
    WarnMessage("probe notice %d\n", 3);
    return 0;
}
