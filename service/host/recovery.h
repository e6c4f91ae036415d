// The service's recovery actions, set by -install and by both installers alike.
#pragma once

#include <windows.h>

// Restart after 5 s on the first and second failure, then nothing, the count
// reset after a day without failure. service needs SERVICE_CHANGE_CONFIG and SERVICE_START.
BOOL SetRecoveryActions(SC_HANDLE service);
