#include "recovery.h"

namespace {

// The manager repeats the last action for every later failure: a third action, none, leaves a
// service that keeps failing stopped rather than restarting it for ever.
constexpr DWORD RESTART_DELAY_MS = 5000;
constexpr DWORD FAILURE_RESET_SECONDS = 24 * 60 * 60;

}  // namespace

BOOL SetRecoveryActions(SC_HANDLE service)
{
    SC_ACTION actions[3] = {
        {SC_ACTION_RESTART, RESTART_DELAY_MS},
        {SC_ACTION_RESTART, RESTART_DELAY_MS},
        {SC_ACTION_NONE, 0},
    };
    SERVICE_FAILURE_ACTIONSA failure = {};
    failure.dwResetPeriod = FAILURE_RESET_SECONDS;
    failure.cActions = sizeof actions / sizeof actions[0];
    failure.lpsaActions = actions;
    return ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
}
