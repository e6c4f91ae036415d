// The service's build: notes go to the trace (warnings also to the event log, as a setting whose
// default is used), and a key that cannot be opened fails the read, so that the bridge does not
// start serving.
#include "config_edge.h"

#include "debug.h"

void ConfigReport(bool warning, const char* text)
{
    if (warning)
        EventMessage(EVENT_CONFIG_FALLBACK, "%s\n", text);
    else
        TraceMessage("%s\n", text);
}

int ConfigReadResult(int keyOpened) { return keyOpened; }
