// The service's build: notes go to the trace (warnings also to the event log), and a key that
// cannot be opened fails the read, so that the bridge does not start serving.
#include "config_edge.h"

#include "debug.h"

void ConfigReport(bool warning, const char* text)
{
    if (warning)
        WarnMessage("%s\n", text);
    else
        TraceMessage("%s\n", text);
}

int ConfigReadResult(int keyOpened) { return keyOpened; }
